#!/usr/bin/env bash
# Whether a backup makes the disk it protects fill up: the source's disk usage before and after its first backup
# and after a second one with 1 % of the files rewritten, on a fresh loop-mounted ext4 image made with mkfs's
# defaults (256-byte inodes), the benchmark's tree of small files (1 to 32 KiB). The records the run leaves on
# the source's files must fit into the room the inode keeps for attributes; a record that does not costs each
# file a block of its own. Prints `du` (blocks used, and the apparent size) of the source at each step.
#
#   bench/quellplatz.sh [--dateien N] [--ordner DIR]     (default 100,000 files in 2,000 folders, /tmp; root)
set -euo pipefail
hier=$(cd "$(dirname "$0")/.." && pwd)
dateien=100000; ordner=/tmp
while (($#)); do
    case $1 in
        --dateien) dateien=$2; shift ;;
        --ordner) ordner=$2; shift ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
    shift
done
if [[ $(id -u) != 0 ]]; then
    echo "bench/quellplatz.sh needs root: the source is made on a loop-mounted ext4 image" >&2
    exit 1
fi
source "$hier/bench/release.sh"
baue_release tresor-ix
prog="$bau/app/tresor-ix"

arbeit=$(mktemp -d "$ordner/tresor-quellplatz-XXXXXX")
mnt="$arbeit/mnt"; mkdir -p "$mnt" "$arbeit/ziel"
aufraeumen() {
    mountpoint -q "$mnt" && umount "$mnt"
    rm -rf "$arbeit"
}
trap aufraeumen EXIT
truncate -s $(( dateien * 40 * 1024 + (1 << 30) )) "$arbeit/bild.img"
mkfs.ext4 -q -F "$arbeit/bild.img"
mount -o loop "$arbeit/bild.img" "$mnt"
src="$mnt/quelle"
python3 "$hier/bench/baum.py" klein "$src" "$dateien" $(( dateien / 50 ))
sync
zeige() {
    sync
    printf '%-34s %12s KiB used %12s bytes apparent\n' "$1" "$(du -sk "$src" | cut -f1)" \
        "$(du -sb --apparent-size "$src" | cut -f1)"
}
echo "inode size: $(tune2fs -l "$arbeit/bild.img" | awk -F: '/^Inode size/ { gsub(/ /, "", $2); print $2 }') bytes"
zeige "before any backup"
"$prog" --quelle "$src" --ziel "$arbeit/ziel" >/dev/null
zeige "after the full backup"
python3 "$hier/bench/baum.py" aendern "$src" 100 >/dev/null
zeige "after 1 % rewritten"
sleep 1
"$prog" --quelle "$src" --ziel "$arbeit/ziel" >/dev/null
zeige "after the backup of that 1 %"

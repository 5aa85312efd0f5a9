#!/usr/bin/env bash
# Time and peak memory of backups from an exFAT stick through FUSE, whose records live in the user's state
# file: a full backup and two backups with nothing to do, of N small files in one folder, for each size.
# Not part of the test command.
#
#   bash bench/zustand_exfat.sh [--dateien "N ..."] [--grenze SECONDS] [--ordner DIR]
#
#   --dateien L   the sizes (default "20000 100000")
#   --grenze S    a run still going after S seconds is stopped (status 124; default 1800)
#   --ordner D    where the images and targets are made (default /tmp); needs root, /dev/fuse, loop devices
set -euo pipefail
hier=$(cd "$(dirname "$0")/.." && pwd)

ordner=/tmp; groessen="20000 100000"; grenze=1800
while (($#)); do
    case $1 in
        --dateien) groessen=$2; shift ;;
        --grenze) grenze=$2; shift ;;
        --ordner) ordner=$2; shift ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
    shift
done
if [[ $(id -u) != 0 ]]; then
    echo "bench/zustand_exfat.sh needs root: the stick is a loop device mounted through FUSE" >&2
    exit 1
fi
command -v mount.exfat-fuse >/dev/null && command -v mkfs.exfat >/dev/null || {
    echo "missing: exfat-fuse, exfatprogs" >&2
    exit 1
}

source "$hier/bench/release.sh"
baue_release tresor-ix
prog="$bau/app/tresor-ix"

arbeit=$(mktemp -d "$ordner/tresor-exfat-XXXXXX")
mnt="$arbeit/mnt"; mkdir -p "$mnt"
geraet=
aufraeumen() {
    mountpoint -q "$mnt" && umount "$mnt"
    [[ -n $geraet ]] && losetup -d "$geraet"
    rm -rf "$arbeit"
}
trap aufraeumen EXIT
export XDG_STATE_HOME="$arbeit/zustand"

# One run, timed; prints "<label> <seconds> <peak MiB> <status>".
lauf() {
    local label=$1; shift
    local start ende status=0
    start=$(date +%s.%N)
    /usr/bin/time -f "%M" -o "$arbeit/zeit" timeout "$grenze" "$@" >/dev/null 2>"$arbeit/fehler" || status=$?
    ende=$(date +%s.%N)
    printf '%-12s %10s %10.2f %10.1f %8s\n' "$label" "$n" "$(echo "$ende - $start" | bc)" \
        "$(echo "$(tail -1 "$arbeit/zeit") / 1024" | bc -l)" "$status"
}

printf '%-12s %10s %10s %10s %8s\n' run files seconds "peak MiB" status
for n in $groessen; do
    bild="$arbeit/stick-$n.img"
    truncate -s $(( n * 4096 * 2 + (256 << 20) )) "$bild"
    # Clusters of 4 KiB: the files are small, and a large card's default of 32 KiB would need eight times the room.
    mkfs.exfat -c 4K "$bild" >/dev/null
    geraet=$(losetup -f --show "$bild")
    mount.exfat-fuse "$geraet" "$mnt" 2>/dev/null
    python3 "$hier/bench/baum.py" winzig "$mnt/DCIM" "$n" 1
    sync
    ziel="$arbeit/ziel-$n"; mkdir -p "$ziel"
    rm -rf "$XDG_STATE_HOME"
    sleep 1
    lauf voll "$prog" --quelle "$mnt/DCIM" --ziel "$ziel"
    sleep 1
    lauf nichts "$prog" --quelle "$mnt/DCIM" --ziel "$ziel"
    lauf nichts2 "$prog" --quelle "$mnt/DCIM" --ziel "$ziel"
    ls -l "$XDG_STATE_HOME/tresor-ix" | tail -n +2 | awk '{ print "  state file: " $5 " bytes " $9 }'
    umount "$mnt"; losetup -d "$geraet"; geraet=
    rm -rf "$bild" "$ziel"
done

#!/usr/bin/env bash
# Measures backups onto an sshfs mount against `rsync -a` to the same mount, in the same run.
#
#   bench/netzziel.sh [--quick] [--runden N] [--ordner DIR] [--programm PATH]
#
# OpenSSH's server is started on a free port of 127.0.0.1 with a key made here; its folder is mounted with
# sshfs (ServerAliveInterval as the README advises). The small tree of bench/run (100,000 files of 1 to 32 KiB
# in 2,000 folders; --quick: 10,000 in 200) is backed up by tresor-ix and copied by `rsync -a` into folders of
# the mount: a full backup, a run with nothing to back up, and a run after 1 % of the files were rewritten; the
# order of the two tools turns from round to round, each round on fresh folders of the mount and a fresh source.
# Prints each time, the medians and the median of the per-round ratios. Needs root (sshd), /dev/fuse and the packages of
# tools/abhaengigkeiten.sh. The reflink gain of copies within one file system: bench/run's large files on a
# btrfs image, see --reflink.
#   --runden N    rounds (default 3, quick 1)
#   --ordner D    where the trees, the server's folder and the mount are made (default /tmp)
#   --programm P  the tresor-ix to measure (default: a Release build in build/bench)
#   --reflink     instead: 4 x 256 MiB backed up within one btrfs image (reflinks) against `cp -a
#                 --reflink=never` and `rsync -a` on the same image
set -euo pipefail
hier=$(cd "$(dirname "$0")/.." && pwd)
. "$hier/bench/release.sh"

quick=0; runden=; ordner=/tmp; prog=; reflink=0
while (($#)); do
    case $1 in
        --quick) quick=1 ;;
        --runden) runden=$2; shift ;;
        --ordner) ordner=$2; shift ;;
        --programm) prog=$(realpath "$2"); shift ;;
        --reflink) reflink=1 ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
    shift
done
if ((quick)); then klein=10000; ordnerzahl=200; runden=${runden:-1}
else klein=100000; ordnerzahl=2000; runden=${runden:-3}; fi

if [[ -z $prog ]]; then
    baue_release tresor-ix
    prog="$bau/app/tresor-ix"
fi

arbeit=$(mktemp -d "$ordner/tresor-netz-XXXXXX")
sshd_pid=; punkt="$arbeit/mnt"; bild=
aufraeumen() {
    fusermount -u "$punkt" 2>/dev/null || true
    [[ -n $sshd_pid ]] && kill "$sshd_pid" 2>/dev/null || true
    [[ -n $bild ]] && umount "$arbeit/btrfs" 2>/dev/null || true
    rm -rf "$arbeit"
}
trap aufraeumen EXIT

# Seconds, with milliseconds, that a command takes.
dauer() {
    local a e
    a=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; return 1; }
    e=$(date +%s.%N)
    python3 -c "print('%.3f' % ($e - $a))"
}
median() { python3 -c "import statistics,sys; print('%.3f' % statistics.median(float(x) for x in sys.argv[1:]))" "$@"; }

if ((reflink)); then
    bild="$arbeit/btrfs.img"
    truncate -s 3G "$bild"
    mkfs.btrfs -q -f "$bild"
    mkdir -p "$arbeit/btrfs"
    mount -o loop "$bild" "$arbeit/btrfs"
    declare -A zeiten=()
    for ((r = 1; r <= runden; r++)); do
        # A fresh source each round: tresor-ix would find nothing to copy in one it backed up before.
        q="$arbeit/btrfs/gross$r"
        python3 "$hier/bench/baum.py" gross "$q" 4 256
        sync
        for werk in tresor-ix "cp -a --reflink=never" "rsync -a"; do
            z="$arbeit/btrfs/ziel$r-${werk%% *}"; mkdir -p "$z"
            case $werk in
                tresor-ix) t=$(dauer bash -c "'$prog' --quelle '$q' --ziel '$z' && sync") ;;
                cp*) t=$(dauer bash -c "cp -a --reflink=never '$q' '$z/' && sync") ;;
                rsync*) t=$(dauer bash -c "rsync -a '$q/' '$z/' && sync") ;;
            esac
            zeiten[$werk]+=" $t"; echo "round $r  $werk  ${t}s"
            rm -rf "$z"; sync
        done
        rm -rf "$q"
    done
    echo
    echo "| 4 x 256 MiB within one btrfs | median s | median of the rounds' ratios to tresor-ix |"
    echo "|---|---|---|"
    for werk in tresor-ix "cp -a --reflink=never" "rsync -a"; do
        echo "| $werk | $(median ${zeiten[$werk]}) | $(median_der_verhaeltnisse "${zeiten[$werk]}" "${zeiten[tresor-ix]}") |"
    done
    exit 0
fi

# The server: a key of its own, a free port, the folder served.
mkdir -p "$arbeit/server/ziel" /run/sshd
ssh-keygen -q -t ed25519 -N '' -f "$arbeit/server/wirt"
ssh-keygen -q -t ed25519 -N '' -f "$arbeit/server/nutzer"
cp "$arbeit/server/nutzer.pub" "$arbeit/server/erlaubt"
port=$(python3 -c "import socket; s=socket.socket(); s.bind(('127.0.0.1',0)); print(s.getsockname()[1])")
cat >"$arbeit/server/sshd_config" <<EOF
ListenAddress 127.0.0.1
Port $port
HostKey $arbeit/server/wirt
AuthorizedKeysFile $arbeit/server/erlaubt
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
UsePAM no
StrictModes no
PidFile none
Subsystem sftp internal-sftp
EOF
/usr/sbin/sshd -D -f "$arbeit/server/sshd_config" -E "$arbeit/server/log" &
sshd_pid=$!
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.05; done
mkdir -p "$punkt"
sshfs -p "$port" -o "IdentityFile=$arbeit/server/nutzer,StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null,BatchMode=yes,ServerAliveInterval=15,ServerAliveCountMax=3" \
    "root@127.0.0.1:$arbeit/server/ziel" "$punkt"

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
declare -A zeiten=()
for ((r = 1; r <= runden; r++)); do
    src="$arbeit/quelle$r"
    python3 "$hier/bench/baum.py" klein "$src" "$klein" "$ordnerzahl"
    sync
    if ((r % 2)); then werke=(tresor-ix rsync); else werke=(rsync tresor-ix); fi
    for lauf in voll nichts prozent; do
        [[ $lauf == prozent ]] && { python3 "$hier/bench/baum.py" aendern "$src" 100; sync; }
        for werk in "${werke[@]}"; do
            case $werk in
                tresor-ix) mkdir -p "$punkt/t$r"
                    t=$(dauer "$prog" --quelle "$src" --ziel "$punkt/t$r") ;;
                rsync) t=$(dauer rsync -a "$src/" "$punkt/r$r/") ;;
            esac
            zeiten[$lauf-$werk]+=" $t"
            echo "round $r  $lauf  $werk  ${t}s"
        done
    done
    rm -rf "$src" "$arbeit/server/ziel/t$r" "$arbeit/server/ziel/r$r"
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| $klein files onto sshfs | tresor-ix median s | rsync -a median s | median of the rounds' tresor-ix / rsync |"
echo "|---|---|---|---|"
for lauf in voll nichts prozent; do
    a=${zeiten[$lauf-tresor-ix]}; b=${zeiten[$lauf-rsync]}
    echo "| $lauf | $(median $a) | $(median $b) | $(median_der_verhaeltnisse "$a" "$b") |"
done

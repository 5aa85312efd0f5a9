#!/usr/bin/env bash
# A folder tree thousands of levels deep, one file at the bottom, backed up by tresor-ix: the run must end
# within a bound and with flat memory, however deep the tree (a user's tree must not stretch root's nightly
# run for hours). Prints the time (elapsed, and the processor time the run used, user plus system) and the
# peak memory (GNU time), and fails when the processor time or the memory exceeds its bound. The bound is on
# processor time because the elapsed time on a shared machine says more about the others' load.
#
#   bench/tiefer_baum.sh [--stufen N] [--name TEXT] [--programm PATH] [--sekunden S] [--mib M]
#
#   --stufen N      levels of the tree (default 2000)
#   --name TEXT     the name of each level (default "d"; a long name makes long paths)
#   --programm P    the program to run (default build/dev/app/tresor-ix)
#   --sekunden S    the bound of the run's processor time (default 30)
#   --mib M         the bound of its peak memory in MiB (default 200)
set -euo pipefail
hier=$(cd "$(dirname "$0")/.." && pwd)
stufen=2000; name=d; programm="$hier/build/dev/app/tresor-ix"; sekunden=30; mib=200
while (($#)); do
    case $1 in
        --stufen) stufen=$2; shift ;;
        --name) name=$2; shift ;;
        --programm) programm=$2; shift ;;
        --sekunden) sekunden=$2; shift ;;
        --mib) mib=$2; shift ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
    shift
done
[[ -x /usr/bin/time ]] || { echo "GNU time (/usr/bin/time) is missing: bash tools/abhaengigkeiten.sh" >&2; exit 2; }

ordner=$(mktemp -d /tmp/tresor-tief-XXXXXX)
trap 'rm -rf "$ordner"' EXIT
mkdir -p "$ordner/quelle" "$ordner/ziel"
# The chain is made through descriptors, so its length is no matter of PATH_MAX.
python3 - "$ordner/quelle" "$stufen" "$name" <<'PY'
import os, sys
wurzel, stufen, name = sys.argv[1], int(sys.argv[2]), sys.argv[3]
fd = os.open(wurzel, os.O_RDONLY | os.O_DIRECTORY)
for _ in range(stufen):
    os.mkdir(name, dir_fd=fd)
    neu = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
    os.close(fd)
    fd = neu
d = os.open("unten.txt", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
os.write(d, b"ganz unten\n")
os.close(d)
os.close(fd)
PY

messung="$ordner/zeit.txt"
status=0
/usr/bin/time -f '%e %U %S %M' -o "$messung" "$programm" --quelle "$ordner/quelle" --ziel "$ordner/ziel" >/dev/null || status=$?
read -r wand nutzer system kib < "$messung"
dauer=$(awk -v u="$nutzer" -v s="$system" 'BEGIN { printf "%.2f", u + s }')
echo "Stufen: $stufen, Name: ${#name} Bytes, Zeit: ${wand} s (Prozessor: ${dauer} s = ${nutzer} s Nutzer + ${system} s System), Spitzenspeicher: $((kib / 1024)) MiB, Rückgabewert: $status"
[[ $status -eq 0 ]] || { echo "FEHLER: der Lauf endete mit $status" >&2; exit 1; }
# The copy reached the bottom.
python3 - "$ordner/ziel" "$stufen" "$name" "$ordner/quelle" <<'PY'
import os, sys
ziel, stufen, name, quelle = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
(sicherung,) = os.listdir(ziel)
fd = os.open(os.path.join(ziel, sicherung, quelle.lstrip("/")), os.O_RDONLY | os.O_DIRECTORY)
for _ in range(stufen):
    neu = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
    os.close(fd)
    fd = neu
d = os.open("unten.txt", os.O_RDONLY, dir_fd=fd)
assert os.read(d, 100) == b"ganz unten\n", "the copy at the bottom differs"
PY
awk -v d="$dauer" -v s="$sekunden" 'BEGIN { exit !(d <= s) }' || { echo "FEHLER: ${dauer} s > ${sekunden} s" >&2; exit 1; }
((kib / 1024 <= mib)) || { echo "FEHLER: $((kib / 1024)) MiB > ${mib} MiB" >&2; exit 1; }
echo "in den Grenzen: höchstens ${sekunden} s und ${mib} MiB"

#!/usr/bin/env bash
# Thinning a large target: the benchmark's small-file tree (100,000 files in 2,000 folders), 30 backup runs with
# 1 % of the files rewritten, one file added and one deleted before each run after the first, then
# `--aufraeumen --behalte-letzte 7`. Prints the dry run's figure, the bytes the thinning freed and the disk
# space it gave back, its wall time and peak memory (/usr/bin/time -v), the load of the machine before and
# after, and then restores each of the 7 points that stay and compares it with the snapshot of the source
# taken at its run (paths, kinds, permission bits, sizes, modification times and the bytes of every file).
# Not part of the test command: it takes a quarter of an hour and about 4 GB in the work folder.
#
#   bench/ausduennung.sh [--quick] [--ordner DIR]
#
#   --quick     10,000 files in 200 folders
set -euo pipefail
hier=$(cd "$(dirname "$0")/.." && pwd)
dateien=100000; ordnerzahl=2000; ordner=/tmp; punkte=30; behalten=7
while (($#)); do
    case $1 in
        --quick) dateien=10000; ordnerzahl=200 ;;
        --ordner) ordner=$2; shift ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
    shift
done

cmake -S "$hier" -B "$hier/build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRESOR_BUILD_TESTS=OFF >/dev/null
cmake --build "$hier/build/bench" -j2 --target tresor-ix >/dev/null
p="$hier/build/bench/app/tresor-ix"
arbeit=$(mktemp -d "$ordner/tresor-ausduennung-XXXXXX")
trap 'chmod -R u+w "$arbeit" 2>/dev/null; rm -rf "$arbeit"' EXIT
src="$arbeit/quelle"; ziel="$arbeit/ziel"; mkdir -p "$ziel" "$arbeit/schnapp"
python3 "$hier/bench/baum.py" klein "$src" "$dateien" "$ordnerzahl"

# The snapshot of a tree: one line per entry, sorted; a file with the hash of its bytes.
schnappe() {
    python3 - "$1" <<'PY'
import hashlib, os, stat, sys
wurzel = sys.argv[1]
zeilen = []
for ordner, unter, dateien in os.walk(wurzel):
    for name in unter + dateien:
        p = os.path.join(ordner, name)
        st = os.lstat(p)
        rel = os.path.relpath(p, wurzel)
        inhalt = ""
        if stat.S_ISREG(st.st_mode):
            with open(p, "rb") as f:
                inhalt = hashlib.sha256(f.read()).hexdigest()
        elif stat.S_ISLNK(st.st_mode):
            inhalt = os.readlink(p)
        zeit = st.st_mtime_ns if not stat.S_ISDIR(st.st_mode) else 0
        zeilen.append("%r %o %d %d %s" % (rel, st.st_mode, st.st_size if not stat.S_ISDIR(st.st_mode) else 0, zeit, inhalt))
print("\n".join(sorted(zeilen)))
PY
}

staende=()
for ((r = 1; r <= punkte; r++)); do
    if ((r > 1)); then
        python3 "$hier/bench/baum.py" aendern "$src" 100
        head -c 5000 /dev/urandom >"$src/neu-$r.dat"
        rm -f "$(find "$src" -name 'datei*.dat' -type f | sort | sed -n "${r}p")"
        sleep 1 # each run's folder is named by its second
    fi
    "$p" --quelle "$src" --ziel "$ziel" >/dev/null
    stand=$(ls "$ziel" | grep '^Sicherung-' | tail -n 1)
    staende+=("${stand#Sicherung-}")
    if ((r > punkte - behalten)); then
        schnappe "$src" >"$arbeit/schnapp/${stand#Sicherung-}"
    fi
    echo "run $r of $punkte: $stand" >&2
done

vorher=$(du -sb "$ziel" | cut -f1)
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg) (load averages 1, 5, 15 min; $(nproc) cores)"
"$p" --aufraeumen --ziel "$ziel" --quelle "$src" --behalte-letzte "$behalten" --probe >"$arbeit/probe.txt"
echo "dry run: $(tail -n 1 "$arbeit/probe.txt")"
sync
/usr/bin/time -v -o "$arbeit/zeit.txt" "$p" --aufraeumen --ziel "$ziel" --quelle "$src" --behalte-letzte "$behalten" \
    >"$arbeit/aufraeumen.txt"
sync
nachher=$(du -sb "$ziel" | cut -f1)
echo "thinning: $(tail -n 1 "$arbeit/aufraeumen.txt")"
echo "wall time: $(grep 'Elapsed (wall clock)' "$arbeit/zeit.txt" | sed 's/.*: //')," \
    "peak memory: $(grep 'Maximum resident' "$arbeit/zeit.txt" | sed 's/.*: //') KiB"
echo "disk space of the target before $vorher bytes, after $nachher bytes: $((vorher - nachher)) bytes given back" \
    "(du -sb, folders included)"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "points left: $(ls "$ziel" | grep -c '^Sicherung-')"

fehler=0
for s in "${staende[@]: -$behalten}"; do
    "$p" --pruefen --ziel "$ziel" --quelle "$src" --stand "$s" >/dev/null || { echo "check of $s failed"; fehler=1; }
    rm -rf "$arbeit/zurueck"
    "$p" --wiederherstellen --ziel "$ziel" --quelle "$src" --stand "$s" --nach "$arbeit/zurueck" >/dev/null ||
        { echo "restore of $s failed"; fehler=1; }
    if cmp -s <(schnappe "$arbeit/zurueck") "$arbeit/schnapp/$s"; then
        echo "point $s restores exactly"
    else
        echo "point $s differs from its snapshot"; fehler=1
    fi
done
exit $fehler

#!/usr/bin/env bash
# Measures the restore of a point in time against `cp -a` of the same tree, on the same data in the same run.
#
#   bench/wiederherstellen.sh [--quick] [--runden N] [--ordner DIR] [--kalt] [--programm PATH]
#
# The small tree of bench/run (100,000 files of 1 to 32 KiB in 2,000 folders; --quick: 10,000 in 200) is
# backed up five times, 1 % of its files rewritten before each later run, so that the newest point gathers
# its versions from five backup folders. Then each round restores that point into a new folder with
# `tresor-ix --wiederherstellen` and copies the source with `cp -a` into another, the order turning from
# round to round; the table shows the medians, the rates and the ratio. The last restore is compared with
# the source (content, modes, times) before the table is printed, so a wrong restore is never measured.
#   --runden N    rounds (default 5, quick 3)
#   --ordner D    where the trees are made (default /tmp); the full setting needs about 2 GiB per round
#   --kalt        drop the page cache before every timed run (root only)
#   --programm P  the tresor-ix to measure (default: a Release build in build/bench)
set -euo pipefail
hier=$(cd "$(dirname "$0")/.." && pwd)

quick=0; runden=; ordner=/tmp; kalt=0; prog=
while (($#)); do
    case $1 in
        --quick) quick=1 ;;
        --runden) runden=$2; shift ;;
        --ordner) ordner=$2; shift ;;
        --kalt) kalt=1 ;;
        --programm) prog=$(realpath "$2"); shift ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
    shift
done
if ((quick)); then klein=10000; ordnerzahl=200; runden=${runden:-3}
else klein=100000; ordnerzahl=2000; runden=${runden:-5}; fi

[[ -x /usr/bin/time ]] || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq time >/dev/null
if [[ -z $prog ]]; then
    bash "$hier/tools/abhaengigkeiten.sh"
    bau="$hier/build/bench"
    cmake -S "$hier" -B "$bau" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRESOR_BUILD_UI=ON -DTRESOR_BUILD_TESTS=OFF >/dev/null
    cmake --build "$bau" -j2 --target tresor-ix >/dev/null
    prog="$bau/app/tresor-ix"
fi

noetig_kib=$(( klein * 20 * (3 + 2 * runden) ))
frei_kib=$(df -Pk "$ordner" | awk 'NR == 2 { print $4 }')
if (( frei_kib < noetig_kib )); then
    echo "not enough room in $ordner: $(( noetig_kib / 1048576 )) GiB needed, $(( frei_kib / 1048576 )) GiB free" >&2
    exit 1
fi

arbeit=$(mktemp -d "$ordner/tresor-wiederherstellen-XXXXXX")
trap 'chmod -R u+w "$arbeit" 2>/dev/null; rm -rf "$arbeit"' EXIT
src="$arbeit/klein"; ziel="$arbeit/ziel"; mkdir -p "$ziel"
ergebnisse="$arbeit/ergebnisse.tsv"; : >"$ergebnisse"

echo "generating the tree in $arbeit ..." >&2
python3 "$hier/bench/baum.py" klein "$src" "$klein" "$ordnerzahl"
for lauf in 1 2 3 4 5; do
    if ((lauf > 1)); then
        python3 "$hier/bench/baum.py" aendern "$src" 100
        sleep 1 # a new second: a new backup folder name
    fi
    "$prog" --quelle "$src" --ziel "$ziel" >/dev/null
done
ls "$ziel" >&2
"$prog" --pruefen --ziel "$ziel" --quelle "$src" >&2
sync

dateien=$(find "$src" -type f | wc -l)
bytes=$(find "$src" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
leeren() { if ((kalt)); then sync; echo 3 >/proc/sys/vm/drop_caches; fi; }
messe() { leeren; python3 "$hier/bench/messen.py" "$ergebnisse" "$@"; }
for ((r = 1; r <= runden; r++)); do
    wieder=(restore "tresor-ix --wiederherstellen" "$dateien" "$bytes" "$prog" --wiederherstellen --ziel "$ziel"
            --quelle "$src" --nach "$arbeit/wieder$r")
    kopie=(restore "cp -a" "$dateien" "$bytes" cp -a "$src" "$arbeit/kopie$r")
    if ((r % 2)); then messe "${wieder[@]}"; messe "${kopie[@]}"
    else messe "${kopie[@]}"; messe "${wieder[@]}"; fi
    # Keep the disk in the same state for every round: the copies go once measured.
    if ((r < runden)); then rm -rf "$arbeit/wieder$r" "$arbeit/kopie$r"; sync; fi
done

# The restore must be the source: every file's bytes, every entry's mode and modification time.
stand() { (cd "$1" && find . -printf '%y %m %T@ %s %p\n' | sort); }
if ! diff <(stand "$src") <(stand "$arbeit/wieder$runden") >/dev/null || ! diff -r "$src" "$arbeit/wieder$runden" >/dev/null; then
    echo "the restore differs from the source" >&2
    exit 1
fi

python3 - "$ergebnisse" <<'PY'
import statistics, sys
zeilen = [z.rstrip("\n").split("\t") for z in open(sys.argv[1])]
werte = {}
for last, werkzeug, sek, kib, dateien, bytes_ in zeilen:
    werte.setdefault(werkzeug, []).append((float(sek), int(kib), int(dateien), int(bytes_)))
print(f"{'tool':<28}{'median s':>10}{'files/s':>10}{'MiB/s':>9}{'peak MiB':>10}  runs")
median = {}
for werkzeug, w in werte.items():
    s = statistics.median(x[0] for x in w)
    median[werkzeug] = s
    dateien, bytes_ = w[0][2], w[0][3]
    print(f"{werkzeug:<28}{s:>10.2f}{dateien / s:>10.0f}{bytes_ / s / 1048576:>9.1f}"
          f"{max(x[1] for x in w) / 1024:>10.1f}  " + " ".join(f"{x[0]:.2f}" for x in w))
t, c = median.get("tresor-ix --wiederherstellen"), median.get("cp -a")
if t and c:
    print(f"ratio tresor-ix / cp -a: {t / c:.2f}")
PY

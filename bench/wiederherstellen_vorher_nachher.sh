#!/usr/bin/env bash
# The restore of the benchmark's small tree (100,000 files in 2,000 folders, five backups, 1 % rewritten
# before each later one) by two programs, in alternating order each round: before and after a change.
#   bench/wiederherstellen_vorher_nachher.sh VORHER NACHHER [RUNDEN]    two tresor-ix programs, e.g. of two commits
set -euo pipefail
hier=$(cd "$(dirname "$0")/.." && pwd)
vorher=$1; nachher=$2; runden=${3:-5}
arbeit=$(mktemp -d /tmp/tresor-messung-XXXXXX)
trap 'chmod -R u+w "$arbeit" 2>/dev/null; rm -rf "$arbeit"' EXIT
src="$arbeit/klein"; ziel="$arbeit/ziel"; mkdir -p "$ziel"
ergebnisse="$arbeit/ergebnisse.tsv"; : >"$ergebnisse"
python3 "$hier/bench/baum.py" klein "$src" 100000 2000
for lauf in 1 2 3 4 5; do
    if ((lauf > 1)); then python3 "$hier/bench/baum.py" aendern "$src" 100; sleep 1; fi
    "$nachher" --quelle "$src" --ziel "$ziel" >/dev/null
done
"$nachher" --pruefen --ziel "$ziel" --quelle "$src" >&2
sync
dateien=$(find "$src" -type f | wc -l)
bytes=$(find "$src" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
messe() { python3 "$hier/bench/messen.py" "$ergebnisse" "$@"; }
for ((r = 1; r <= runden; r++)); do
    a=(restore vorher "$dateien" "$bytes" "$vorher" --wiederherstellen --ziel "$ziel" --quelle "$src" --nach "$arbeit/vorher$r")
    b=(restore nachher "$dateien" "$bytes" "$nachher" --wiederherstellen --ziel "$ziel" --quelle "$src" --nach "$arbeit/nachher$r")
    if ((r % 2)); then messe "${a[@]}"; messe "${b[@]}"; else messe "${b[@]}"; messe "${a[@]}"; fi
    stand() { (cd "$1" && find . -printf '%y %m %T@ %s %p\n' | sort); }
    for w in vorher nachher; do
        diff <(stand "$src") <(stand "$arbeit/$w$r") >/dev/null || { echo "$w: restore differs" >&2; exit 1; }
    done
    rm -rf "$arbeit/vorher$r" "$arbeit/nachher$r"; sync
done
python3 - "$ergebnisse" <<'PY'
import statistics, sys
zeilen = [z.rstrip("\n").split("\t") for z in open(sys.argv[1])]
v = [float(z[2]) for z in zeilen if z[1] == "vorher"]
n = [float(z[2]) for z in zeilen if z[1] == "nachher"]
print("vorher  s:", " ".join(f"{x:.2f}" for x in v), " median", f"{statistics.median(v):.2f}")
print("nachher s:", " ".join(f"{x:.2f}" for x in n), " median", f"{statistics.median(n):.2f}")
q = [b / a for a, b in zip(v, n)]
print("per-round ratio nachher/vorher:", " ".join(f"{x:.3f}" for x in q), " median", f"{statistics.median(q):.3f}")
PY

#!/usr/bin/env bash
# System calls of the restore of a point, per file, by two programs on the same backups: 10,000 files in
# 200 folders, five backups, 1 % rewritten before each later one; each restore under strace -f, every call
# counted from the full trace.
#   bench/aufrufe_vorher_nachher.sh VORHER NACHHER
set -euo pipefail
hier=$(cd "$(dirname "$0")/.." && pwd)
vorher=$1; nachher=$2
arbeit=$(mktemp -d /tmp/tresor-aufrufe-XXXXXX)
trap 'chmod -R u+w "$arbeit" 2>/dev/null; rm -rf "$arbeit"' EXIT
src="$arbeit/klein"; ziel="$arbeit/ziel"; mkdir -p "$ziel"
python3 "$hier/bench/baum.py" klein "$src" 10000 200
for lauf in 1 2 3 4 5; do
    if ((lauf > 1)); then python3 "$hier/bench/baum.py" aendern "$src" 100; sleep 1; fi
    "$nachher" --quelle "$src" --ziel "$ziel" >/dev/null
done
for w in vorher nachher; do
    prog=${!w}
    strace -f -qq -o "$arbeit/$w.trace" "$prog" --wiederherstellen --ziel "$ziel" --quelle "$src" --nach "$arbeit/$w" >/dev/null
    n=$(grep -cvE '^[0-9]+ +(\+\+\+|---)' "$arbeit/$w.trace")
    echo "$w: $n calls, $(python3 -c "print(round($n/10000, 2))") per file"
    sed -E 's/^[0-9]+ +//; s/\(.*//' "$arbeit/$w.trace" | grep -vE '^(\+\+\+|---)' | sort | uniq -c | sort -rn | head -12
done

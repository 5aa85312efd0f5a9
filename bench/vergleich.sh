#!/usr/bin/env bash
# Before and after a change, in the same run: builds tresor-ix at the git revision REV (Release, in a folder
# of its own) and from this work tree, and times both on the same generated small-file tree for the full
# backup, the run with nothing to back up, the run after 1 % of the files were rewritten and the run after one
# file late in the walk was rewritten. The order of the two turns from round to round. Prints the table of
# medians; the last column is this tree's time over REV's (below 1: faster now).
#
#   bench/vergleich.sh REV [--quick] [--runden N] [--ordner DIR]
#
#   --quick     10,000 files in 200 folders instead of 100,000 in 2,000
#   --runden N  rounds (default 5)
set -euo pipefail
hier=$(cd "$(dirname "$0")/.." && pwd)
rev=${1:?"usage: bench/vergleich.sh REV [--quick] [--runden N] [--ordner DIR]"}
shift
klein=100000; ordnerzahl=2000; runden=5; ordner=/tmp
while (($#)); do
    case $1 in
        --quick) klein=10000; ordnerzahl=200 ;;
        --runden) runden=$2; shift ;;
        --ordner) ordner=$2; shift ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
    shift
done

bash "$hier/tools/abhaengigkeiten.sh"
arbeit=$(mktemp -d "$ordner/tresor-vergleich-XXXXXX")
trap 'chmod -R u+w "$arbeit" 2>/dev/null; rm -rf "$arbeit"' EXIT

# Both programs, built alike.
baue() { # SOURCE BUILD
    cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRESOR_BUILD_TESTS=OFF >/dev/null
    cmake --build "$2" -j2 --target tresor-ix >/dev/null
}
mkdir -p "$arbeit/vorher-quelle"
git -C "$hier" archive "$rev" | tar -x -C "$arbeit/vorher-quelle"
baue "$arbeit/vorher-quelle" "$arbeit/vorher-bau"
baue "$hier" "$hier/build/bench"
declare -A prog=([tresor-ix]="$hier/build/bench/app/tresor-ix" ["tresor-ix $rev"]="$arbeit/vorher-bau/app/tresor-ix")

src="$arbeit/klein"; ziele="$arbeit/ziele"; ergebnisse="$arbeit/ergebnisse.tsv"
mkdir -p "$ziele"; : >"$ergebnisse"
python3 "$hier/bench/baum.py" klein "$src" "$klein" "$ordnerzahl"
kleinbytes=$(du -sb --apparent-size "$src" | cut -f1)
archiv_setzen() { find "$1" -type f -print0 | xargs -0 -r setfattr -x user.tresor-ix.archiv 2>/dev/null || true; }
messe() { python3 "$hier/bench/messen.py" "$ergebnisse" "$@"; }

for ((r = 1; r <= runden; r++)); do
    echo "round $r of $runden" >&2
    if ((r % 2)); then reihe=("tresor-ix" "tresor-ix $rev"); else reihe=("tresor-ix $rev" "tresor-ix"); fi
    for w in "${reihe[@]}"; do
        p=${prog[$w]}; z="$ziele/$r-${w// /_}"
        # One target for the three runs: each target is complete on its own, so a run into another, empty
        # target would be a full backup again.
        mkdir -p "$z/ziel"
        archiv_setzen "$src"; sync
        messe voll "$w" "$klein" "$kleinbytes" bash -c "'$p' --quelle '$src' --ziel '$z/ziel' && sync"
        sync
        messe nichts "$w" "$klein" 0 "$p" --quelle "$src" --ziel "$z/ziel"
        python3 "$hier/bench/baum.py" aendern "$src" 100; sync
        messe prozent "$w" $(( (klein + 99) / 100 )) $(( kleinbytes / 100 )) \
            bash -c "'$p' --quelle '$src' --ziel '$z/ziel' && sync"
        # One file rewritten late in the walk, in a second of its own (a backup folder is named by its second).
        python3 "$hier/bench/baum.py" spaet "$src"; sync
        s=$(date +%s); while [[ $(date +%s) == "$s" ]]; do sleep 0.05; done
        messe spaet "$w" 1 0 bash -c "'$p' --quelle '$src' --ziel '$z/ziel' && sync"
        rm -rf "$z"
    done
done
python3 "$hier/bench/tabelle.py" "$ergebnisse" | sed '/^targets/,$d'

#!/usr/bin/env bash
# Measures the restore of a point in time against `cp -a` of the same tree (and `cp -a` + sync, as a restore
# makes what it wrote durable before it ends), on the same data in the same run,
# for two trees: the small tree of bench/run (100,000 files of 1 to 32 KiB in 2,000 folders; --quick: 10,000 in
# 200) and a real one, a copy of a source checkout or header tree of a few thousand files (default
# /usr/include; --echt DIR).
#
#   bench/wiederherstellen.sh [--quick] [--runden N] [--ordner DIR] [--kalt] [--programm PATH] [--echt DIR]
#                             [--ergebnisse FILE]
#
# Each tree is backed up five times, 1 % of its files rewritten before each later run, so that the newest
# point gathers its versions from five backup folders. Then each round restores that point into a new folder
# with `tresor-ix --wiederherstellen` and copies the source with `cp -a` into another, the order turning from
# round to round; the table (bench/tabelle.py) shows the medians, the rates, the peak memory and the median
# of the per-round ratios. The copies are kept until the end: on ext4 a new file's inode is searched past every inode freed in
# the last minutes, so deleting a tree just before a run would slow the next run's file creation. The last
# restore is compared with the source (content, modes, times) before the table is printed, so a wrong restore
# is never measured.
#   --runden N    rounds (default 5, quick 3)
#   --ordner D    where the trees are made (default /tmp); the full setting needs about 2 GiB per round
#   --kalt        drop the page cache before every timed run (root only)
#   --programm P  the tresor-ix to measure (default: a Release build in build/bench)
#   --echt D      the real tree (default /usr/include)
#   --ergebnisse F  append the runs to the results file F of bench/run and print no table
set -euo pipefail
hier=$(cd "$(dirname "$0")/.." && pwd)

quick=0; runden=; ordner=/tmp; kalt=0; prog=; echt=/usr/include; ergebnisse=
while (($#)); do
    case $1 in
        --quick) quick=1 ;;
        --runden) runden=$2; shift ;;
        --ordner) ordner=$2; shift ;;
        --kalt) kalt=1 ;;
        --programm) prog=$(realpath "$2"); shift ;;
        --echt) echt=$(realpath "$2"); shift ;;
        --ergebnisse) ergebnisse=$(realpath "$2"); shift ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
    shift
done
if ((quick)); then klein=10000; ordnerzahl=200; runden=${runden:-3}
else klein=100000; ordnerzahl=2000; runden=${runden:-5}; fi

[[ -x /usr/bin/time ]] || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq time >/dev/null
if [[ -z $prog ]]; then
    source "$hier/bench/release.sh"
    baue_release tresor-ix
    prog="$bau/app/tresor-ix"
fi

echtkib=$(du -sk "$echt" | cut -f1)
noetig_kib=$(( (klein * 20 + echtkib) * (3 + 2 * runden) ))
frei_kib=$(df -Pk "$ordner" | awk 'NR == 2 { print $4 }')
if (( frei_kib < noetig_kib )); then
    echo "not enough room in $ordner: $(( noetig_kib / 1048576 )) GiB needed, $(( frei_kib / 1048576 )) GiB free" >&2
    exit 1
fi

arbeit=$(mktemp -d "$ordner/tresor-wiederherstellen-XXXXXX")
trap 'chmod -R u+w "$arbeit" 2>/dev/null; rm -rf "$arbeit"' EXIT
tabelle=0
[[ -n $ergebnisse ]] || { ergebnisse="$arbeit/ergebnisse.tsv"; : >"$ergebnisse"; tabelle=1; }
leeren() { if ((kalt)); then sync; echo 3 >/proc/sys/vm/drop_caches; fi; }
messe() { leeren; python3 "$hier/bench/messen.py" "$ergebnisse" "$@"; }
# The snapshot of a tree: kind, mode, modification time and size of every entry but a folder (whose size is
# that of its list of names, which grows with the names it ever held).
stand() { (cd "$1" && find . -printf '%y %m %T@ %s %p\n' | awk '$1 == "d" { $4 = "-" } 1' | sort); }

# vergleiche NAME WORKLOAD SOURCE: five backups of SOURCE (a tree of its own in the work folder), then the
# rounds, as WORKLOAD in the results.
vergleiche() {
    local name=$1 last=$2 src=$3 ziel="$arbeit/ziel-$1" lauf r
    mkdir -p "$ziel"
    for lauf in 1 2 3 4 5; do
        if ((lauf > 1)); then
            python3 "$hier/bench/baum.py" aendern "$src" 100
            sleep 1 # a new second: a new backup folder name
        fi
        "$prog" --quelle "$src" --ziel "$ziel" >/dev/null
    done
    "$prog" --pruefen --ziel "$ziel" --quelle "$src" >&2
    sync
    local dateien bytes
    dateien=$(find "$src" -type f | wc -l)
    bytes=$(find "$src" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
    for ((r = 1; r <= runden; r++)); do
        wieder=("$last" "tresor-ix" "$dateien" "$bytes" "$prog" --wiederherstellen --ziel "$ziel"
                --quelle "$src" --nach "$arbeit/wieder-$name$r")
        kopie=("$last" "cp -a" "$dateien" "$bytes" cp -a "$src" "$arbeit/kopie-$name$r")
        # A restore ends once what it wrote is on the disk; `cp -a` does not wait for that, `cp -a` + sync does.
        kopiesync=("$last" "cp -a+sync" "$dateien" "$bytes" bash -c "cp -a '$src' '$arbeit/kopiesync-$name$r' && sync")
        if ((r % 2)); then messe "${wieder[@]}"; messe "${kopie[@]}"; messe "${kopiesync[@]}"
        else messe "${kopiesync[@]}"; messe "${kopie[@]}"; messe "${wieder[@]}"; fi
        sync
    done
    # The restore must be the source: every file's bytes, every entry's mode and modification time.
    if ! diff <(stand "$src") <(stand "$arbeit/wieder-$name$runden") >/dev/null ||
        ! diff -r --no-dereference "$src" "$arbeit/wieder-$name$runden" >/dev/null; then
        echo "the restore of $name differs from the source" >&2
        exit 1
    fi
}

echo "generating the trees in $arbeit ..." >&2
python3 "$hier/bench/baum.py" klein "$arbeit/klein" "$klein" "$ordnerzahl"
cp -a "$echt" "$arbeit/echt"
vergleiche klein wiederherstellen "$arbeit/klein"
vergleiche echt wiederherstellenecht "$arbeit/echt"
if ((tabelle)); then python3 "$hier/bench/tabelle.py" "$ergebnisse"; fi

#!/usr/bin/env bash
# Counts the system calls of tresor-ix per file: a full backup of a generated tree of small files (every
# archive bit set), a run with nothing to back up on the same tree (the first after the backup, which writes the
# folders' maps of their backed-up files) and another one (the nights after), and a run after every 100th file was
# rewritten (the nightly case: a scan until the first change, then the copy pass over the whole tree), each
# under strace.
#
#   bench/systemaufrufe.sh [--dateien N] [--ordner DIR]     (default 10,000 files in 200 folders, /tmp)
#
# Prints, for each run, the calls by name and the total per file. strace's own summary (-c) leaves out
# calls it has no name for (getxattrat and its siblings in older versions), so every call is counted
# from the full trace instead.
set -euo pipefail
hier=$(cd "$(dirname "$0")/.." && pwd)
dateien=10000; ordner=/tmp
while (($#)); do
    case $1 in
        --dateien) dateien=$2; shift ;;
        --ordner) ordner=$2; shift ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
    shift
done
. "$hier/bench/release.sh"
baue_release tresor-ix
prog="$bau/app/tresor-ix"

arbeit=$(mktemp -d "$ordner/tresor-aufrufe-XXXXXX")
trap 'chmod -R u+w "$arbeit" 2>/dev/null; rm -rf "$arbeit"' EXIT
python3 "$hier/bench/baum.py" klein "$arbeit/quelle" "$dateien" $(( dateien / 50 > 0 ? dateien / 50 : 1 ))
# One target for all four runs: each target is complete on its own, so a run into another, empty target would be
# a full backup again.
mkdir -p "$arbeit/ziel"
sync
# A backup folder is named by the second its run starts in: each run starts in a second of its own.
naechste_sekunde() { local s; s=$(date +%s); while [[ $(date +%s) == "$s" ]]; do sleep 0.05; done; }

zaehle() {
    # strace -f lines: "PID name(args) = result"; an interrupted call appears once as "unfinished" and
    # once as "resumed", and is counted once.
    awk '$2 !~ /^<\.\.\./ && $2 !~ /^\+\+\+/ && $2 !~ /^---/ {
             n = $2; sub(/\(.*/, "", n)
             if (n == "syscall_0x1cf") n = "setxattrat"
             if (n == "syscall_0x1d0") n = "getxattrat"
             if (n == "syscall_0x1d1") n = "listxattrat"
             if (n == "syscall_0x1d2") n = "removexattrat"
             z[n]++; s++
         }
         END { for (n in z) printf "  %8d  %s\n", z[n], n; printf "  %8d  total\n", s }' "$1" | sort -rn
}

geaendert=$(( (dateien + 99) / 100 ))
for lauf in voll nichts wieder prozent; do
    [[ $lauf == prozent ]] && python3 "$hier/bench/baum.py" aendern "$arbeit/quelle" 100 && sync
    naechste_sekunde
    strace -f -o "$arbeit/$lauf.trace" "$prog" --quelle "$arbeit/quelle" --ziel "$arbeit/ziel" >/dev/null
    case $lauf in
        voll) echo "== voll: full backup, $dateien files copied" ;;
        nichts) echo "== nichts: nothing to back up, first run after the backup, $dateien files scanned" ;;
        wieder) echo "== wieder: nothing to back up again, $dateien files scanned" ;;
        prozent) echo "== prozent: $geaendert of $dateien files rewritten and copied" ;;
    esac
    zaehle "$arbeit/$lauf.trace" | tee "$arbeit/$lauf.zahlen"
    gesamt=$(awk '$2 == "total" { print $1 }' "$arbeit/$lauf.zahlen")
    awk -v g="$gesamt" -v d="$dateien" 'BEGIN { printf "  %8.2f  calls per file\n", g / d }'
    [[ $lauf == prozent ]] && awk -v g="$gesamt" -v d="$geaendert" 'BEGIN { printf "  %8.2f  calls per copied file\n", g / d }'
done

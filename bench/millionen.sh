#!/usr/bin/env bash
# Time and peak memory of each kind of run at 100,000 and at 3,000,000 files: whether they stay flat in memory
# and linear in time as the number of files grows. Called as `bench/run --millionen`; not part of the test
# command (the 3,000,000-file setting takes most of an hour on two cores).
#
#   bench/run --millionen [--ordner DIR] [--dateien "N ..."] [--ein-ordner] [--programm PATH]
#
# For each size, a tree of N files in N/50 folders (up to 5 levels deep, files of 1 to 48 bytes, which ext4 with
# inline_data keeps in the inode: millions of files in little room) is made on a fresh loop-mounted ext4 image,
# and one run of each kind is timed with its peak resident memory (/usr/bin/time): a full backup (and sync), the
# first and a second backup with nothing to do, one with 1 % of the files rewritten (and sync), the listing of
# the source's points, the check of the newest (alone, and beside the source), its restore into a new folder (and sync), and the thinning to
# the newest point; and first, as the disk's own measure, `cp -a` of the source into a new folder (and sync). The table
# shows seconds, microseconds per file of wall time and of processor time (user and system, and each apart), the
# peak in MiB, what the run read from the image's device (MiB; nothing where what it looks at was in memory), and for each kind the time per file at the largest size against the smallest, of wall and of
# processor time (and of user and system time apart: user time is ours, system time the kernel's for us): where
# the wall time grows faster than the processor time, the run waits for the disk (the writeback of what it
# wrote), and `cp -a` shows how much the same disk makes any copy of the tree wait.
#
#   --ordner D    where the images are made (default /tmp); needs root for the loop mounts
#   --dateien L   the sizes, smallest first (default "100000 3000000")
#   --ein-ordner  all files in one folder instead of N/50 folders (a browser cache, a mail folder): whether a
#                 run holds a folder's files compactly
#   --programm P  measures the program P (e.g. an earlier version's build) instead of this tree's Release build
set -euo pipefail
hier=$(cd "$(dirname "$0")/.." && pwd)

ordner=/tmp; groessen="100000 3000000"; ein_ordner=0; programm=
while (($#)); do
    case $1 in
        --ordner) ordner=$2; shift ;;
        --dateien) groessen=$2; shift ;;
        --ein-ordner) ein_ordner=1 ;;
        --programm) programm=$2; shift ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
    shift
done
if [[ $(id -u) != 0 ]]; then
    echo "bench/run --millionen needs root: the trees are made on loop-mounted ext4 images" >&2
    exit 1
fi
[[ -x /usr/bin/time ]] || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq time >/dev/null
command -v mkfs.ext4 >/dev/null || { echo "missing: mkfs.ext4" >&2; exit 1; }

if [[ -n $programm ]]; then
    bash "$hier/tools/abhaengigkeiten.sh"
    prog=$(realpath "$programm")
else
    source "$hier/bench/release.sh"
    baue_release tresor-ix
    prog="$bau/app/tresor-ix"
fi

arbeit=$(mktemp -d "$ordner/tresor-millionen-XXXXXX")
mnt="$arbeit/mnt"; mkdir -p "$mnt"
ergebnisse="$arbeit/ergebnisse.tsv"; : >"$ergebnisse"
# What each run read from the image's device: a run that finds the inodes it looks at in memory reads nothing;
# where it reads, the kernel had let them go (to make room for what the runs before it wrote).
gelesen="$arbeit/gelesen.tsv"; : >"$gelesen"
# The table of what was measured: printed at the end, and also where a run failed, so that the runs measured
# before it are not lost.
tafel() {
    python3 - "$ergebnisse" "$gelesen" <<'PY'
import sys
zeilen = [z.rstrip("\n").split("\t") for z in open(sys.argv[1])]
gelesen = {}
for z in open(sys.argv[2]):
    art, n, b = z.rstrip("\n").split("\t")
    gelesen[(art, int(n))] = int(b)
arten = []
werte = {}
for art, n, sek, kib, _dateien, _bytes, cpu, nutzer in zeilen:
    if art not in arten:
        arten.append(art)
    werte.setdefault(art, []).append((int(n), float(sek), int(kib), float(cpu), float(nutzer)))
print(f"{'run':<18}{'files':>10}{'seconds':>10}{'us/file':>10}{'cpu s':>10}{'cpu us/f':>10}{'user us/f':>10}"
      f"{'sys us/f':>10}{'peak MiB':>10}{'read MiB':>10}")
for art in arten:
    for n, sek, kib, cpu, nutzer in werte[art]:
        print(f"{art:<18}{n:>10}{sek:>10.2f}{sek / n * 1e6:>10.2f}{cpu:>10.2f}{cpu / n * 1e6:>10.2f}"
              f"{nutzer / n * 1e6:>10.2f}{(cpu - nutzer) / n * 1e6:>10.2f}{kib / 1024:>10.1f}"
              f"{gelesen.get((art, n), -1048576) / 1048576:>10.1f}")
    w = werte[art]
    if len(w) > 1:
        (n0, s0, _, c0, u0), (n1, s1, _, c1, u1) = w[0], w[-1]

        def verhaeltnis(a0, a1):
            return f"{(a1 / n1) / (a0 / n0):.2f}x" if a0 > 0 else "-"

        print(f"{'':<18}per file at {n1} against {n0}: wall {(s1 / n1) / (s0 / n0):.2f}x, processor "
              f"{verhaeltnis(c0, c1)} (user {verhaeltnis(u0, u1)}, system {verhaeltnis(c0 - u0, c1 - u1)})")
PY
}
aufraeumen() {
    [[ -s $ergebnisse ]] && tafel
    mountpoint -q "$mnt" && umount "$mnt"
    rm -rf "$arbeit"
}
trap aufraeumen EXIT
# Bytes read from the device of the mounted image so far.
gelesen_bytes() {
    local geraet
    geraet=$(basename "$(findmnt -no SOURCE "$mnt")")
    echo $(( $(awk '{ print $3 }' "/sys/block/$geraet/stat") * 512 ))
}
messe() {
    local vorher
    vorher=$(gelesen_bytes)
    python3 "$hier/bench/messen.py" "$ergebnisse" "$@"
    printf '%s\t%s\t%s\n' "$1" "$2" $(( $(gelesen_bytes) - vorher )) >>"$gelesen"
    tail -n 1 "$ergebnisse" | cut -f 1-4 >&2
}

for n in $groessen; do
    ordnerzahl=$(( n / 50 ))
    (( ein_ordner )) && ordnerzahl=1
    # Inodes: the source, the full backup, the restore, the copy by `cp -a`, and the folders every later run
    # mirrors, with room to spare; bytes: the inode tables, the folders' blocks of five trees, six records of
    # ~150 bytes per entry.
    inodes=$(( n * 9 / 2 + ordnerzahl * 5 + 100000 ))
    bytes=$(( inodes * 512 + ordnerzahl * 4096 * 10 + n * 150 * 6 + (2 << 30) ))
    frei=$(( $(df -Pk "$ordner" | awk 'NR == 2 { print $4 }') * 1024 ))
    if (( frei < bytes + (1 << 30) )); then
        echo "not enough room in $ordner for $n files: $(( bytes >> 30 )) GiB needed, $(( frei >> 30 )) GiB free" >&2
        exit 1
    fi
    bild="$arbeit/bild-$n.img"
    truncate -s "$bytes" "$bild"
    # Inodes of 512 bytes: with inline data, a 256-byte inode has no room left for a file's archive record
    # beside the entry of its data, and each source file would get a block for it (4 GiB at a million files).
    mkfs.ext4 -q -F -O inline_data -N "$inodes" -I 512 "$bild"
    # noinit_itable: the kernel would otherwise zero the inode tables of the fresh image in the background,
    # gigabytes at millions of inodes, written amid the runs measured.
    mount -o loop,noinit_itable "$bild" "$mnt"
    src="$mnt/quelle"; ziel="$mnt/ziel"; mkdir -p "$ziel"
    echo "$n files: making the tree ..." >&2
    python3 "$hier/bench/baum.py" winzig "$src" "$n" "$ordnerzahl"
    sync
    echo "$n files: the runs ..." >&2
    # Before the first backup: the source's files carry no records yet, as a restored tree does not.
    messe cp-a "$n" "$n" 0 bash -c "cp -a '$src' '$mnt/kopie' && sync"
    messe voll "$n" "$n" 0 bash -c "'$prog' --quelle '$src' --ziel '$ziel' && sync"
    sleep 1
    messe nichtserst "$n" "$n" 0 "$prog" --quelle "$src" --ziel "$ziel"
    sleep 1
    messe nichts "$n" "$n" 0 "$prog" --quelle "$src" --ziel "$ziel"
    python3 "$hier/bench/baum.py" aendern "$src" 100; sync; sleep 1
    messe prozent "$n" "$n" 0 bash -c "'$prog' --quelle '$src' --ziel '$ziel' && sync"
    messe liste "$n" "$n" 0 "$prog" --liste --ziel "$ziel" --quelle "$src"
    messe pruefen "$n" "$n" 0 "$prog" --pruefen --ziel "$ziel" --quelle "$src"
    messe pruefen-quelle "$n" "$n" 0 "$prog" --pruefen --mit-quelle --ziel "$ziel" --quelle "$src"
    messe wiederherstellen "$n" "$n" 0 bash -c "'$prog' --wiederherstellen --ziel '$ziel' --quelle '$src' --nach '$mnt/wieder' && sync"
    messe ausduennen "$n" "$n" 0 "$prog" --aufraeumen --ziel "$ziel" --quelle "$src" --behalte-letzte 1
    umount "$mnt"
    rm -f "$bild"
done

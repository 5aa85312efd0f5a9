#!/usr/bin/env bash
# Runs every reliability test and prints the report: injected and real faults, the crash test on the full
# tree (3,000 files and three large files, killed 30 times), the hostile names and shapes, and the same
# tests of the file-system layer and the engine under AddressSanitizer and UndefinedBehaviorSanitizer.
# Needs root for the loop mounts and the runs as another user (the tests skip those otherwise, with a note).
set -euo pipefail
hier=$(cd "$(dirname "$0")/.." && pwd)
bash "$hier/tools/abhaengigkeiten.sh"
bau="$hier/build/test"
san="$hier/build/test-san"
cmake -S "$hier" -B "$bau" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRESOR_WERROR=ON >/dev/null
cmake --build "$bau" -j2
cmake -S "$hier" -B "$san" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRESOR_WERROR=ON -DTRESOR_SANITIZE=ON \
    -DTRESOR_BUILD_UI=OFF >/dev/null
cmake --build "$san" -j2

bericht=$(mktemp)
trap 'rm -f "$bericht"' EXIT
status=0
TRESOR_BERICHT="$bericht" TRESOR_ABSTURZ_UMFANG=voll \
    ctest --test-dir "$bau" -L zuverlaessigkeit -j2 --output-on-failure --timeout 1800 || status=1
TRESOR_BERICHT= ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$san" -j2 --output-on-failure --timeout 900 || status=1

summe() { awk -v k="$1" '$1 == k { s += $2 } END { print s + 0 }' "$bericht"; }
echo
echo "Zuverlässigkeit von tresor-ix"
printf '  %-34s %s\n' "Fehler versucht:" "$(summe fehler)"
printf '  %-34s %s von 30 (%s Abbrüche gesetzt)\n' "Abbrüche mit SIGKILL überstanden:" "$(summe abbruch)" "$(summe abbruchversuch)"
# Where the kills met the runs, as the crash test logged it.
grep -h -E '^(Dateien: |  getroffen in )' "$bau/Testing/Temporary/LastTest.log" 2>/dev/null | sed 's/^ */    /' || true
printf '  %-34s %s\n' "Feindliche Eingaben versucht:" "$(summe eingabe)"
printf '  %-34s %s\n' "Verlorene Dateien:" "$(summe verlust)"
if ((status != 0)); then
    echo "Mindestens ein Test ist fehlgeschlagen (siehe oben)."
fi
exit "$status"

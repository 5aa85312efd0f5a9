#!/usr/bin/env bash
# Installs what is missing, checks the format, builds everything with warnings as errors, runs the short
# clang-tidy pass and every test (at once); then builds the
# file-system layer, the engine and the command line once more with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs their tests, the reliability tests among them, in that build too; last
# builds, checks, installs and purges the Debian package.
set -euo pipefail
hier=$(cd "$(dirname "$0")/.." && pwd)
bash "$hier/tools/abhaengigkeiten.sh"
bash "$hier/tools/format.sh"
bau="$hier/build/test"
cmake -S "$hier" -B "$bau" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRESOR_WERROR=ON >/dev/null
cmake --build "$bau" -j2
# clang-tidy works the processor while the tests mostly wait for the disk: both run at once, and the tidy
# pass's findings are shown once the tests are through.
bash "$hier/tools/tidy.sh" "$bau" >"$bau/tidy.out" 2>&1 &
tidy=$!
export QT_QPA_PLATFORM=offscreen
tests=0
ctest --test-dir "$bau" -j2 --output-on-failure --timeout 600 || tests=$?
befund=0
wait "$tidy" || befund=$?
cat "$bau/tidy.out"
((tests == 0 && befund == 0))

san="$hier/build/test-san"
cmake -S "$hier" -B "$san" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRESOR_WERROR=ON -DTRESOR_SANITIZE=ON \
    -DTRESOR_BUILD_UI=OFF >/dev/null
cmake --build "$san" -j2
# The sanitizer run does not count into a reliability report of the normal build.
TRESOR_BERICHT= ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$san" -j2 --output-on-failure --timeout 900

# The Debian package, built from the tested build folder: the distribution's validators, then (as root) an
# installation with apt-get, a use of the installed program and a purge. It runs after every other test, as it
# changes the machine.
bash "$hier/tools/paket.sh" "$bau" | tee "$bau/paket.log"
paket=$(tail -n 1 "$bau/paket.log")
bash "$hier/tests/paket/validieren.sh" "$paket"
bash "$hier/tests/paket/installation.sh" "$paket"

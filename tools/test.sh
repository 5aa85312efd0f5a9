#!/usr/bin/env bash
# Installs what is missing, checks the format, builds everything with warnings as errors, runs the short
# clang-tidy pass and every test; then builds the
# file-system layer, the engine and the command line once more with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs their tests, the reliability tests among them, in that build too.
set -euo pipefail
hier=$(cd "$(dirname "$0")/.." && pwd)
bash "$hier/tools/abhaengigkeiten.sh"
bash "$hier/tools/format.sh"
bau="$hier/build/test"
cmake -S "$hier" -B "$bau" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRESOR_WERROR=ON >/dev/null
cmake --build "$bau" -j2
bash "$hier/tools/tidy.sh" "$bau"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$bau" -j2 --output-on-failure --timeout 600

san="$hier/build/test-san"
cmake -S "$hier" -B "$san" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRESOR_WERROR=ON -DTRESOR_SANITIZE=ON \
    -DTRESOR_BUILD_UI=OFF >/dev/null
cmake --build "$san" -j2
# The sanitizer run does not count into a reliability report of the normal build.
TRESOR_BERICHT= ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$san" -j2 --output-on-failure --timeout 900

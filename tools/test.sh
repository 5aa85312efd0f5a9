#!/usr/bin/env bash
# Installs what is missing, builds everything with warnings as errors and runs every test.
set -euo pipefail
hier=$(cd "$(dirname "$0")/.." && pwd)
bash "$hier/tools/abhaengigkeiten.sh"
bau="$hier/build/test"
cmake -S "$hier" -B "$bau" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRESOR_WERROR=ON >/dev/null
cmake --build "$bau" -j2
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$bau" -j2 --output-on-failure --timeout 600

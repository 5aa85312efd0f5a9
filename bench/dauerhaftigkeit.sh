#!/usr/bin/env bash
# What the flushes before clearing archive bits cost: 20,000 small files copied by the engine with and
# without them. Usage: bench/dauerhaftigkeit.sh [--dateien N] [--runden R] [--ordner DIR]
set -euo pipefail
hier=$(cd "$(dirname "$0")/.." && pwd)
bash "$hier/tools/abhaengigkeiten.sh"
bau="$hier/build/bench"
cmake -S "$hier" -B "$bau" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTRESOR_BUILD_UI=ON -DTRESOR_BUILD_TESTS=OFF >/dev/null
cmake --build "$bau" -j2 --target dauerhaftigkeit
"$bau/bench/dauerhaftigkeit" "$@"

#!/usr/bin/env bash
# Installs the Debian packages that are missing, builds the program (Ninja, two jobs) and starts the window.
set -euo pipefail
hier=$(cd "$(dirname "$0")/.." && pwd)
bash "$hier/tools/abhaengigkeiten.sh"
bau="$hier/build/start"
cmake -S "$hier" -B "$bau" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$bau" -j2 --target tresor-ix
exec "$bau/app/tresor-ix"

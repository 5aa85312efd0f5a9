#!/usr/bin/env bash
# Builds the Debian package tresor-ix_VERSION_ARCH.deb with CPack and prints its path as the last line.
# Without an argument it installs what is missing and builds the program in build/paket; given a
# configured build folder (tools/test.sh passes build/test) it packages what is built there.
set -euo pipefail
hier=$(cd "$(dirname "$0")/.." && pwd)
if (($# == 0)); then
    bash "$hier/tools/abhaengigkeiten.sh"
    bau="$hier/build/paket"
    cmake -S "$hier" -B "$bau" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRESOR_BUILD_TESTS=OFF >/dev/null
else
    bau=$(cd "$1" && pwd)
fi
cmake --build "$bau" -j2
rm -f "$bau"/*.deb
cpack --config "$bau/CPackConfig.cmake" -B "$bau"
pakete=("$bau"/*.deb)
[[ ${#pakete[@]} -eq 1 && -f ${pakete[0]} ]] || { echo "paket.sh: no single .deb in $bau" >&2; exit 1; }
echo "${pakete[0]}"

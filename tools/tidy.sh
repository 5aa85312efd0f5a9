#!/usr/bin/env bash
# The short clang-tidy pass (.clang-tidy: checks that find bugs) over the program's own sources, fs, engine,
# command line and window, with the compile commands of a build folder (default build/test).
set -euo pipefail
hier=$(cd "$(dirname "$0")/.." && pwd)
bau=${1:-$hier/build/test}
cd "$hier"
mapfile -t dateien < <(git ls-files 'fs/*.cpp' 'engine/*.cpp' 'app/*.cpp' 'ui/*.cpp')
# Qt's generated sources are looked up through the build folder; the window's sources need them built.
printf '%s\n' "${dateien[@]}" | xargs -P 2 -n 4 clang-tidy -p "$bau" --quiet 2>&1 |
    grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter' |
    tee "$bau/tidy.log" || true
if grep -q -E 'error:|warning:' "$bau/tidy.log"; then
    echo "clang-tidy: findings above." >&2
    exit 1
fi
echo "clang-tidy: ${#dateien[@]} files without findings."

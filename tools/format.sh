#!/usr/bin/env bash
# The format check: every C++ file that git tracks is laid out as .clang-format says. With --fix the files
# are formatted in place instead of checked.
set -euo pipefail
hier=$(cd "$(dirname "$0")/.." && pwd)
cd "$hier"
mapfile -t dateien < <(git ls-files '*.cpp' '*.h')
if [[ ${1:-} == --fix ]]; then
    clang-format -i "${dateien[@]}"
    exit 0
fi
if ! clang-format --dry-run --Werror "${dateien[@]}"; then
    echo "Format: the files above differ from .clang-format; 'bash tools/format.sh --fix' formats them." >&2
    exit 1
fi
echo "Format: ${#dateien[@]} files as .clang-format says."

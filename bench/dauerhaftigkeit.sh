#!/usr/bin/env bash
# What the flushes before clearing archive bits cost: 20,000 small files copied by the engine with and
# without them. Usage: bench/dauerhaftigkeit.sh [--dateien N] [--runden R] [--ordner DIR]
set -euo pipefail
hier=$(cd "$(dirname "$0")/.." && pwd)
. "$hier/bench/release.sh"
baue_release dauerhaftigkeit
"$bau/bench/dauerhaftigkeit" "$@"

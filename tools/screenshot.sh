#!/usr/bin/env bash
# Takes a picture of the window as a person sees it: builds the program if needed, starts it on a virtual
# X display (the real xcb platform, not offscreen), photographs the screen and crops it to the window.
# Writes docs/window.png; then the window Sicherungen under a window manager (openbox), as a person sees it
# with its frame: docs/sicherungen-stand.png (a point open), sicherungen-wiederherstellung.png (a restore
# running), sicherungen-konflikt.png (the conflict question), taken by tests/ui/Bildschirmfotos.cpp, which
# makes its own source and backups in a temporary folder. TRESOR_BAU names another build folder.
set -euo pipefail
hier=$(cd "$(dirname "$0")/.." && pwd)
bau="${TRESOR_BAU:-$hier/build/start}"
if [[ ! -x "$bau/app/tresor-ix" ]]; then
    bash "$hier/tools/abhaengigkeiten.sh"
    cmake -S "$hier" -B "$bau" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$bau" -j2 --target tresor-ix bildschirmfotos
mkdir -p "$hier/docs"
roh=$(mktemp --suffix=.png)
trap 'rm -f "$roh"' EXIT
# On the black ground of the virtual screen the window is the only thing that is not black.
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1024x768x24 -br" bash -c '
    "$1" & programm=$!
    sleep 3
    import -window root "$2"
    kill "$programm"
' _ "$bau/app/tresor-ix" "$roh"
convert "$roh" -bordercolor black -border 1 -trim +repage "$hier/docs/window.png"
echo "written: $hier/docs/window.png ($(identify -format '%wx%h' "$hier/docs/window.png"))"

QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    openbox & wm=$!
    "$1" "$2"; status=$?
    kill "$wm"
    exit "$status"
' _ "$bau/tests/ui/bildschirmfotos" "$hier/docs"

#!/usr/bin/env bash
# Draws the program's icon: a bright-green capital T with a dark edge on a transparent ground, in the
# sizes 16, 32 and 48 pixels (the window's icon), and 64 and 128 pixels for the menus and software centres
# of the desktop, as 8-bit palette PNGs with a 1-bit transparency mask (ui/icons/).
set -euo pipefail
hier=$(cd "$(dirname "$0")/.." && pwd)
ziel="$hier/ui/icons"
mkdir -p "$ziel"
for g in 16 32 48 64 128; do
    # Draw large and scale down, so the letter keeps its shape at 16 pixels; then cut the alpha
    # channel to on/off for the 1-bit mask.
    gross=$((g * 8))
    rand=$((gross / 10))
    convert -size ${gross}x${gross} xc:none \
        -fill '#00ff00' -stroke '#004d00' -strokewidth "$rand" \
        -draw "rectangle $((gross * 8 / 100)),$((gross * 8 / 100)) $((gross * 92 / 100)),$((gross * 32 / 100))" \
        -draw "rectangle $((gross * 36 / 100)),$((gross * 8 / 100)) $((gross * 64 / 100)),$((gross * 94 / 100))" \
        -stroke none \
        -draw "rectangle $((gross * 8 / 100 + rand / 2)),$((gross * 8 / 100 + rand / 2)) $((gross * 92 / 100 - rand / 2)),$((gross * 32 / 100 - rand / 2))" \
        -draw "rectangle $((gross * 36 / 100 + rand / 2)),$((gross * 8 / 100 + rand / 2)) $((gross * 64 / 100 - rand / 2)),$((gross * 94 / 100 - rand / 2))" \
        -filter Box -resize ${g}x${g} \
        -channel A -threshold 50% +channel \
        -colors 256 -strip "PNG8:$ziel/tresor-ix-$g.png"
done
echo "written: $ziel/tresor-ix-{16,32,48,64,128}.png"

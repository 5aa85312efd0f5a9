#!/usr/bin/env bash
# The layering of the rooms: every #include "..." of the program's own sources must name a header of a room
# that the including room may use (the same table as the link dependencies in fs/ and engine/). Prints each
# include against it and exits 1; the build runs it, so a wrong include fails the build.
set -euo pipefail
hier=$(cd "$(dirname "$0")/.." && pwd)
cd "$hier"

# room: the rooms (or single headers) it may include, besides its own.
declare -A darf=(
    [fs/system]=""
    [fs]="fs/system"
    [fs/ablage]="fs fs/system"
    [fs/posix]="fs fs/system fs/ablage"
    [engine/bestand]="fs fs/posix/Eintragszugriff.h fs/system/Faden.h fs/system/Inhaltssumme.h"
    [engine/ausduennung]="fs fs/posix/Eintragszugriff.h fs/posix/Zielbaum.h engine/bestand"
    [engine/sicherung]="fs fs/posix/Eintragszugriff.h engine/bestand engine/ausduennung"
    [engine/wiederherstellung]="fs fs/posix/Eintragszugriff.h fs/system/Inhaltssumme.h engine/bestand engine/sicherung engine/ausduennung"
    [ui]="fs engine/bestand engine/sicherung engine/ausduennung engine/wiederherstellung"
    [app]="fs fs/posix/PosixDateisystem.h engine/bestand engine/sicherung engine/wiederherstellung engine/ausduennung ui"
)

fehler=0
while IFS= read -r datei; do
    raum=$(dirname "$datei")
    [[ -v "darf[$raum]" ]] || continue
    erlaubt=" $raum ${darf[$raum]} "
    while IFS= read -r zeile; do
        kopf=${zeile#*\"}
        kopf=${kopf%%\"*}
        [[ $kopf == */* ]] || continue
        [[ $erlaubt == *" $(dirname "$kopf") "* || $erlaubt == *" $kopf "* ]] && continue
        echo "$datei: includes $kopf, which its room ($raum) may not use (tools/schichten.sh)" >&2
        fehler=1
    done < <(grep -E '^#include "' "$datei" || true)
done < <(git ls-files 'fs/*.h' 'fs/*.cpp' 'engine/*.h' 'engine/*.cpp' 'ui/*.h' 'ui/*.cpp' 'app/*.h' 'app/*.cpp')
exit $fehler

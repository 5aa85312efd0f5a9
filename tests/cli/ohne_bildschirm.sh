#!/usr/bin/env bash
# The program binary as a scheduled job sees it: no display, POSIX paths, exit statuses, output streams.
set -euo pipefail
prog=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
fail() { echo "FAILED: $*" >&2; exit 1; }

[[ $("$prog" --version | head -n 1) == "tresor-ix 1.0.25" ]] || fail "--version"
# The whole help read first: grep -q leaves at the first match, and the program writing the rest into the closed
# pipe would fail the pipeline.
hilfe=$("$prog" --help) || fail "--help exit status"
[[ $hilfe == *Rückgabewerte* ]] || fail "--help"

mkdir -p "$tmp/quelle/unter" "$tmp/ziel"
echo eins >"$tmp/quelle/a.txt"
echo zwei >"$tmp/quelle/unter/b.txt"

set +e
"$prog" --quelle "$tmp/quelle" --ziel "$tmp/ziel" >"$tmp/aus" 2>"$tmp/fehler"; rc=$?
set -e
[[ $rc -eq 0 ]] || fail "first run exit $rc: $(cat "$tmp/fehler")"
grep -q "^Alle Dateien sind in den Ordner: C:.*Sicherung-[0-9-]* gesichert. $" "$tmp/aus" || fail "success text: $(cat "$tmp/aus")"
[[ ! -s "$tmp/fehler" ]] || fail "stderr not empty"
kopie=$(find "$tmp/ziel" -name b.txt)
[[ -n $kopie && $(cat "$kopie") == zwei ]] || fail "copy missing"

sleep 1.1
set +e
"$prog" --quelle "$tmp/quelle" --ziel "$tmp/ziel" >"$tmp/aus" 2>"$tmp/fehler"; rc=$?
set -e
[[ $rc -eq 0 ]] || fail "second run exit $rc"
[[ $(cat "$tmp/aus") == "Keine Dateien zum Sichern gefunden ! " ]] || fail "nothing-found text"

set +e
"$prog" --quelle "$tmp/quelle" --ziel "$tmp/quelle/unter" >"$tmp/aus" 2>"$tmp/fehler"; rc=$?
set -e
[[ $rc -eq 2 ]] || fail "overlap exit $rc"
[[ ! -s "$tmp/aus" ]] && grep -q "überschneiden sich" "$tmp/fehler" || fail "overlap streams"

set +e
"$prog" --quelle "$tmp/gibtsnicht" --ziel "$tmp/ziel" >"$tmp/aus" 2>"$tmp/fehler"; rc=$?
set -e
[[ $rc -eq 2 ]] || fail "bad argument exit $rc"

# The command line loads no library of the window; without arguments the window's program is started, and
# where it is missing the program says so in German and ends with 1.
if ldd "$prog" | grep 'libQt6' >/dev/null; then fail "the command line links the window's libraries"; fi
mkdir "$tmp/allein"
cp "$prog" "$tmp/allein/tresor-ix"
set +e
"$tmp/allein/tresor-ix" >"$tmp/aus" 2>"$tmp/fehler"; rc=$?
set -e
[[ $rc -eq 1 ]] || fail "without the window's program: exit $rc"
grep -q "^tresor-ix: das Fenster kann nicht gestartet werden: Datei oder Ordner nicht gefunden$" "$tmp/fehler" ||
    fail "without the window's program: $(cat "$tmp/fehler")"
echo "1 passed, 0 failed"

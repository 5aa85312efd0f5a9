#!/usr/bin/env bash
# Installs the built package on this machine as a user does (apt-get install ./….deb), uses what it
# installed (the program from /usr/bin, the systemd user units, the command line of the scheduled
# backup), and purges it again, leaving nothing behind. Changes the machine: needs root and runs only
# from tools/test.sh, after the tests that use the program of the build folder. An installation of
# tresor-ix found before is purged first (the test needs a fresh one) and is not restored.
set -euo pipefail
deb=$(realpath "$1")
fail() { echo "FAILED: $*" >&2; exit 1; }

if [[ $(id -u) -ne 0 ]]; then
    echo "SKIPPED: installing a package needs root"
    exit 0
fi
# Other worktrees on this machine may run this test at the same time: one at a time.
exec 9>/run/lock/tresor-ix-paketprobe.lock
flock 9

export DEBIAN_FRONTEND=noninteractive
apt=(apt-get -y -q -o DPkg::Lock::Timeout=600)
tmp=$(mktemp -d)
installiert=nein
aufraeumen() {
    if [[ $installiert == ja ]]; then "${apt[@]}" purge tresor-ix >>"$tmp/apt.log" 2>&1 || true; fi
    rm -rf "$tmp"
}
trap aufraeumen EXIT
zustand() { dpkg-query -W -f='${db:Status-Status}' tresor-ix 2>/dev/null || true; }
apt_get() { "${apt[@]}" "$@" >>"$tmp/apt.log" 2>&1 || { cat "$tmp/apt.log"; fail "apt-get $*"; }; }

if [[ -n $(zustand) && $(zustand) != not-installed ]]; then
    echo "note: tresor-ix was on this machine ($(zustand)); purging it first"
    apt_get purge tresor-ix
fi

# apt's download user must be able to read the file.
chmod 755 "$tmp"
cp "$deb" "$tmp/"
chmod 644 "$tmp/$(basename "$deb")"
installiert=ja
apt_get install "$tmp/$(basename "$deb")"
[[ $(zustand) == installed ]] || fail "not installed after apt-get install: $(zustand)"
version=$(dpkg-deb -f "$deb" Version)
[[ $(dpkg-query -W -f='${Version}' tresor-ix) == "$version" ]] || fail "installed version"

echo "== files"
dpkg -L tresor-ix >"$tmp/liste"
for datei in /usr/bin/tresor-ix /usr/lib/tresor-ix/tresor-ix-fenster /usr/share/man/man1/tresor-ix.1.gz /usr/share/applications/tresor-ix.desktop \
    /usr/share/icons/hicolor/{16x16,32x32,48x48,64x64,128x128}/apps/tresor-ix.png /usr/share/metainfo/tresor-ix.metainfo.xml \
    /usr/lib/systemd/user/tresor-ix@.service /usr/lib/systemd/user/tresor-ix@.timer \
    /usr/share/doc/tresor-ix/copyright /usr/share/doc/tresor-ix/changelog.gz; do
    grep -qxF "$datei" "$tmp/liste" || fail "the package does not list $datei"
    [[ -f $datei ]] || fail "$datei is missing"
done
while IFS= read -r eintrag; do
    [[ -e $eintrag ]] || fail "listed but missing: $eintrag"
done <"$tmp/liste"
[[ -x /usr/bin/tresor-ix ]] || fail "/usr/bin/tresor-ix is not executable"
if command -v man >/dev/null; then
    [[ $(man -w tresor-ix) == /usr/share/man/man1/tresor-ix.1.gz || -e /usr/local/share/man/man1/tresor-ix.1.gz ]] ||
        fail "man does not find the manual page: $(man -w tresor-ix 2>&1)"
fi
echo "$(while IFS= read -r e; do [[ -f $e ]] && echo; done <"$tmp/liste" | wc -l) files, all present"

echo "== the program from /usr/bin"
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
[[ $(/usr/bin/tresor-ix --version | head -n 1) == "tresor-ix $version" ]] || fail "--version: $(/usr/bin/tresor-ix --version)"
mkdir -p "$tmp/quelle/unter" "$tmp/ziel"
echo eins >"$tmp/quelle/a.txt"
echo zwei >"$tmp/quelle/unter/b c.txt"
/usr/bin/tresor-ix --quelle "$tmp/quelle" --ziel "$tmp/ziel" >"$tmp/aus" 2>"$tmp/fehler" ||
    fail "backup exit $?: $(cat "$tmp/fehler")"
kopie=$(find "$tmp/ziel" -name 'b c.txt')
[[ -n $kopie && $(cat "$kopie") == zwei ]] || fail "backup: copy missing; $(cat "$tmp/aus")"
cat "$tmp/aus"
# Without arguments the window's program of the package takes over the process.
HOME="$tmp" XDG_RUNTIME_DIR="$tmp" QT_QPA_PLATFORM=offscreen /usr/bin/tresor-ix >"$tmp/fenster.log" 2>&1 &
fenster=$!
for _ in $(seq 50); do
    [[ $(readlink "/proc/$fenster/exe" 2>/dev/null) == /usr/lib/tresor-ix/tresor-ix-fenster ]] && break
    sleep 0.1
done
[[ $(readlink "/proc/$fenster/exe" 2>/dev/null) == /usr/lib/tresor-ix/tresor-ix-fenster ]] ||
    fail "the window's program did not start: $(cat "$tmp/fenster.log")"
kill "$fenster"; wait "$fenster" 2>/dev/null || true
echo "the window's program started"

echo "== systemd units"
einheiten=/usr/lib/systemd/user
grep -qx 'Persistent=true' "$einheiten/tresor-ix@.timer" || fail "the timer is not persistent"
grep -qx 'OnCalendar=.*' "$einheiten/tresor-ix@.timer" || fail "the timer has no OnCalendar"
# An instance of each template, as systemctl --user enable tresor-ix@probe.timer makes it.
mkdir "$tmp/einheiten"
cp "$einheiten/tresor-ix@.service" "$tmp/einheiten/tresor-ix@probe.service"
cp "$einheiten/tresor-ix@.timer" "$tmp/einheiten/tresor-ix@probe.timer"
if ! command -v systemd-analyze >/dev/null; then
    echo "note: systemd-analyze is missing; the units are not verified"
# As the user manager loads them; without a running one, systemd-analyze needs a runtime folder of its own.
elif ! (cd "$tmp/einheiten" && mkdir -m 700 "$tmp/laufzeit" && XDG_RUNTIME_DIR="$tmp/laufzeit" \
    systemd-analyze --user verify --man=no tresor-ix@probe.service tresor-ix@probe.timer) >"$tmp/verify" 2>&1 ||
    [[ -s "$tmp/verify" ]]; then
    cat "$tmp/verify"
    fail "systemd-analyze verify found the faults above"
else
    echo "systemd-analyze --user verify tresor-ix@probe.service tresor-ix@probe.timer: no findings"
fi

# The service's command line, run as the service manager runs it: each word of ExecStart= with the
# instance name for %i, the program found on systemd's search path, the user's HOME and nothing else
# of this shell's environment.
echo "== the service's command line"
zeilen=$(grep -c '^ExecStart=' "$einheiten/tresor-ix@.service")
[[ $zeilen -eq 1 ]] || fail "the service has $zeilen ExecStart= lines"
befehl=$(sed -n 's/^ExecStart=//p' "$einheiten/tresor-ix@.service")
[[ $befehl != *[\"\'\$\\]* && ${befehl//%i/} != *%* ]] || fail "ExecStart= needs more than this test expands: $befehl"
read -ra woerter <<<"${befehl//%i/probe-1}"
if [[ ${woerter[0]} != /* ]]; then
    [[ -e /usr/local/bin/${woerter[0]} ]] && echo "note: systemd would start /usr/local/bin/${woerter[0]}; this test starts /usr/bin/${woerter[0]}"
    woerter[0]=/usr/bin/${woerter[0]}
fi
heim="$tmp/heim mit Blank"
quelle="$tmp/Meine Dateien \$HOME 'x' "$'\xff'
ziel="$tmp/Ziel ordner"
mkdir -p "$heim/.config/tresor-ix" "$quelle/unter" "$ziel"
echo drei >"$quelle/unter/c.txt"
printf '# Probe\nQUELLE=%s\nZIEL=%s\n' "$quelle" "$ziel" >"$heim/.config/tresor-ix/probe-1.conf"
lauf() { env -i HOME="$heim" PATH=/usr/bin:/bin LANG=C.UTF-8 "$@" >"$tmp/aus" 2>"$tmp/fehler"; }
lauf "${woerter[@]}" || fail "service command exit $?: $(cat "$tmp/fehler")"
kopie=$(find "$ziel" -name c.txt)
[[ -n $kopie && $(cat "$kopie") == drei && $kopie == *"/Meine Dateien \$HOME 'x' "$'\xff'/unter/c.txt ]] ||
    fail "service command: copy missing or misplaced: $kopie"
cat "$tmp/aus"
sleep 1.1 # a new second, so that the run is not refused for an existing backup folder of the same name
lauf "${woerter[@]}" || fail "second run exit $?"
[[ $(cat "$tmp/aus") == "Keine Dateien zum Sichern gefunden ! " ]] || fail "second run: $(cat "$tmp/aus")"
# A job without its file fails, and the journal names the file to write.
set +e
lauf "${woerter[0]}" --auftrag fehlt
rc=$?
set -e
[[ $rc -eq 2 ]] || fail "missing job exit $rc"
grep -qF "Die Auftragsdatei »$heim/.config/tresor-ix/fehlt.conf« existiert nicht." "$tmp/fehler" ||
    fail "missing job message: $(cat "$tmp/fehler")"
cat "$tmp/fehler"

echo "== purge"
apt_get purge tresor-ix
installiert=nein
[[ $(zustand) == not-installed || -z $(zustand) ]] || fail "still known to dpkg after purge: $(zustand)"
while IFS= read -r eintrag; do
    if [[ -d $eintrag && ! -L $eintrag ]]; then
        # A folder stays only where another package owns it.
        dpkg -S "$eintrag" >/dev/null 2>&1 || fail "folder left after purge: $eintrag ($(ls -A "$eintrag" | head -3))"
    elif [[ -e $eintrag || -L $eintrag ]]; then
        fail "left after purge: $eintrag"
    fi
done <"$tmp/liste"
echo "nothing of tresor-ix left"
echo "1 passed, 0 failed"

#!/usr/bin/env bash
# Checks the files the package ships, as the distribution's tools check them: the desktop entry
# (desktop-file-validate), the software-centre entry (appstreamcli, offline) and the package itself
# (lintian). Prints every finding; fails on any error and on any warning that is not listed below with
# its reason.
set -euo pipefail
deb=$(realpath "$1")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

# Warnings we keep, each with its reason:
# - cid-desktopapp-is-not-rdns: the component is called tresor-ix like its desktop entry and its
#   program; a reverse domain name would need a domain that the project does not have.
appstream_bekannt='^ *W: [^ ]+ cid-desktopapp-is-not-rdns '

dpkg-deb -x "$deb" "$tmp/baum"

echo "== desktop-file-validate usr/share/applications/tresor-ix.desktop"
desktop-file-validate "$tmp/baum/usr/share/applications/tresor-ix.desktop" >"$tmp/desktop" 2>&1 || {
    cat "$tmp/desktop"
    fail "desktop-file-validate"
}
cat "$tmp/desktop"
[[ ! -s "$tmp/desktop" ]] || fail "desktop-file-validate reported the findings above"
echo "(no findings)"

# validate-tree also checks that the metainfo and the desktop entry it names belong together.
echo "== appstreamcli validate-tree --no-net --pedantic"
set +e
appstreamcli validate-tree --no-net --pedantic --no-color "$tmp/baum" >"$tmp/appstream" 2>&1
rc=$?
set -e
cat "$tmp/appstream"
grep -q '^ *E: ' "$tmp/appstream" && fail "appstreamcli reported errors"
if grep '^ *W: ' "$tmp/appstream" | grep -Ev "$appstream_bekannt"; then fail "appstreamcli: warnings above"; fi
# Exit status 3 means warnings only (all of them known, see above); anything else but 0 is a failure.
[[ $rc -eq 0 || $rc -eq 3 ]] || fail "appstreamcli exit status $rc"
grep -q 'tresor-ix.metainfo.xml' "$tmp/appstream" || grep -q 'Validation was successful' "$tmp/appstream" ||
    fail "appstreamcli did not look at the metainfo file"

echo "== lintian --pedantic --display-info"
set +e
lintian --pedantic --display-info --fail-on error,warning "$deb" 2>&1 | grep -v '^running with root privileges' \
    >"$tmp/lintian"
rc=${PIPESTATUS[0]}
set -e
cat "$tmp/lintian"
[[ -s "$tmp/lintian" ]] || echo "(no findings)"
[[ $rc -eq 0 ]] || fail "lintian found errors or warnings (exit status $rc)"
echo "1 passed, 0 failed"

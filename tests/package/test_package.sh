#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks the built package with lintian, installs it on this machine with apt-get, starts the
# installed program on the launcher's private X server with its tray host (trayer), waits until its
# icon is docked in the tray, ends it with SIGTERM and removes the package again, checking that
# none of its files stay behind.
# usage: test_package.sh BUILD_DIR VERSION        (as root)
set -euo pipefail
build=$(cd "$1" && pwd)
version=$2

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

[ "$(id -u)" -eq 0 ] || fail "installing a package needs root"
for tool in apt-get dpkg-query lintian xwininfo; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/bootstrap installs it)"
done

shopt -s nullglob
debs=("$build"/wardlatch_"$version"_*.deb)
[ ${#debs[@]} -eq 1 ] || fail "expected one wardlatch_${version}_<arch>.deb in $build, found ${#debs[@]}"

# Errors and warnings fail; the informational tags are shown for whoever reads the log.
changes=("$build"/wardlatch_"$version"_*.changes)
[ ${#changes[@]} -eq 1 ] || fail "expected one wardlatch_${version}_<arch>.changes in $build"
lintian --fail-on error,warning --display-info "${changes[0]}" || fail "lintian found errors or warnings"

installed() {
    [ "$(dpkg-query -W -f='${db:Status-Status}' wardlatch 2>/dev/null)" = installed ]
}

tmp=$(mktemp -d)
app=
cleanup() {
    if [ -n "$app" ]; then
        kill "$app" 2>/dev/null || true
        wait "$app" 2>/dev/null || true
    fi
    if installed; then
        DEBIAN_FRONTEND=noninteractive apt-get remove -y wardlatch >/dev/null 2>&1 || true
    fi
    rm -rf "$tmp"
}
trap cleanup EXIT

# Runs "$@" every 50 ms until it succeeds; fails after $1 seconds.
wait_for() {
    local seconds=$1
    shift
    local deadline=$((SECONDS + seconds))
    until "$@"; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.05
    done
}

if installed; then
    fail "wardlatch is already installed here; remove it before running this test"
fi

export DEBIAN_FRONTEND=noninteractive
# Recommends are left out: the test must not reach for the network.
(cd "$build" && apt-get install -y --no-install-recommends "./$(basename "${debs[0]}")") >"$tmp/install.log" 2>&1 ||
    fail "apt-get install failed: $(cat "$tmp/install.log")"
installed || fail "the package is not installed after apt-get install"
dpkg-query -L wardlatch >"$tmp/files"
[ -x /usr/bin/wardlatch ] || fail "/usr/bin/wardlatch is missing after install"
# Every file in its standard place, under the application id but for the program and its manual;
# lintian has checked the icons' sizes, the menu entry and the manual page themselves.
id=org.wardlatch.Wardlatch
for path in /usr/share/applications/$id.desktop /usr/share/metainfo/$id.metainfo.xml \
    /usr/share/man/man1/wardlatch.1.gz /usr/share/icons/hicolor/scalable/apps/$id.svg \
    /usr/share/icons/hicolor/{16x16,24x24,32x32,48x48,64x64,128x128,256x256}/apps/$id.png; do
    grep -qx "$path" "$tmp/files" || fail "$path is not installed"
done
icon=$(sed -n 's/^Icon=//p' /usr/share/applications/$id.desktop)
[ -f "/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "the menu entry's Icon=$icon is not installed"

# The test runs under the test launcher, which gives it a private X server with a tray host.
[ -n "${DISPLAY:-}" ] || fail "no DISPLAY: run this under tests/support/services.py --x11 xembed"

# The program with a scratch home, no session or system bus, on the X server only.
mkdir -m 700 "$tmp/run"
HOME="$tmp/home" XDG_CONFIG_HOME="$tmp/home/.config" XDG_RUNTIME_DIR="$tmp/run" \
    DBUS_SESSION_BUS_ADDRESS=disabled: DBUS_SYSTEM_BUS_ADDRESS=disabled: QT_QPA_PLATFORM=xcb \
    /usr/bin/wardlatch >"$tmp/wardlatch.log" 2>&1 &
app=$!

# Docked: a small window of instance name wardlatch (the class is the application's name)
# inside the panel window of trayer.
icon_docked() {
    kill -0 "$app" 2>/dev/null || fail "wardlatch exited early: $(cat "$tmp/wardlatch.log")"
    xwininfo -root -tree 2>/dev/null | awk '
        /\("panel" "trayer"\)/ { match($0, /^ */); depth = RLENGTH; inside = 1; next }
        inside { match($0, /^ */); if (RLENGTH <= depth) inside = 0 }
        inside && /\("wardlatch" "[^"]*"\)/ && match($0, / [0-9]+x[0-9]+[+-]/) {
            split(substr($0, RSTART + 1, RLENGTH - 2), size, "x")
            if (size[1] > 0 && size[1] <= 64 && size[2] > 0 && size[2] <= 64) found = 1
        }
        END { exit !found }'
}
wait_for 60 icon_docked || fail "no tray icon of wardlatch docked in trayer:
$(xwininfo -root -tree 2>&1)
wardlatch said: $(cat "$tmp/wardlatch.log")"

kill -TERM "$app"
wait_for 10 eval '! kill -0 '"$app"' 2>/dev/null' || fail "wardlatch did not end on SIGTERM"
status=0
wait "$app" || status=$?
[ $status -eq 0 ] || fail "wardlatch exited with status $status on SIGTERM: $(cat "$tmp/wardlatch.log")"

apt-get remove -y wardlatch >"$tmp/remove.log" 2>&1 ||
    fail "apt-get remove failed: $(cat "$tmp/remove.log")"
installed && fail "the package is still installed after apt-get remove"
[ ! -e /usr/bin/wardlatch ] || fail "/usr/bin/wardlatch is still there after removal"
while read -r path; do
    [ -d "$path" ] || [ ! -e "$path" ] || fail "$path is still there after removal"
done <"$tmp/files"

echo "package: installed, icon docked in the tray, ended on SIGTERM, removed cleanly"

#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs a build into a temporary DESTDIR under /usr and checks that exactly the expected files
# landed in their standard places, and that they fit together: the menu entry starts the installed
# program and names an installed icon, each PNG has its folder's size, the man page renders.
# usage: test_install.sh BUILD_DIR
set -euo pipefail
build=$1
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

DESTDIR="$dest" cmake --install "$build" --prefix /usr >/dev/null

sizes=(16 24 32 48 64 128 256)
# The menu entry, the metainfo and the icons carry the application id; the program its short name.
id=org.wardlatch.Wardlatch
expected=(
    usr/bin/wardlatch
    "usr/share/applications/$id.desktop"
    "usr/share/icons/hicolor/scalable/apps/$id.svg"
    usr/share/man/man1/wardlatch.1
    "usr/share/metainfo/$id.metainfo.xml"
)
for s in "${sizes[@]}"; do
    expected+=("usr/share/icons/hicolor/${s}x${s}/apps/$id.png")
done
want=$(printf '%s\n' "${expected[@]}" | sort)
got=$(cd "$dest" && find . -type f -printf '%P\n' | sort)
[ "$want" = "$got" ] || fail "installed files differ from the expected list:
$(diff <(echo "$want") <(echo "$got") || true)"

[ -x "$dest/usr/bin/wardlatch" ] || fail "usr/bin/wardlatch is not executable"

# A PNG's width and height are big-endian 32-bit numbers at bytes 16 and 20.
for s in "${sizes[@]}"; do
    png="$dest/usr/share/icons/hicolor/${s}x${s}/apps/$id.png"
    [ "$(head -c 8 "$png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] ||
        fail "$png is not a PNG"
    read -r w h < <(od -An -tu4 --endian=big -j16 -N8 "$png")
    [ "$w" = "$s" ] && [ "$h" = "$s" ] || fail "$png is ${w}x${h}, its folder says ${s}x${s}"
done

desktop="$dest/usr/share/applications/$id.desktop"
report=$(desktop-file-validate "$desktop") || fail "installed desktop entry does not validate: $report"
[ -z "$report" ] || fail "desktop entry hints: $report"
exec_line=$(sed -n '0,/^Exec=/s/^Exec=//p' "$desktop")
[ -x "$dest/usr/bin/${exec_line%% *}" ] || fail "Exec=$exec_line is not the installed program"
icon=$(sed -n 's/^Icon=//p' "$desktop")
[ -f "$dest/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "Icon=$icon is not installed"

metainfo="$dest/usr/share/metainfo/$id.metainfo.xml"
grep -q "<id>$id</id>" "$metainfo" || fail "metainfo id is not $id"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" ||
    fail "metainfo does not launch the entry"

warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$dest/usr/share/man/man1/wardlatch.1" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man page warnings: $warnings"
MANWIDTH=80 man -l "$dest/usr/share/man/man1/wardlatch.1" 2>/dev/null | grep -q '^NAME' ||
    fail "man page does not render"

echo "install: ${#expected[@]} files in place"

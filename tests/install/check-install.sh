#!/usr/bin/env bash
# Installs the build tree into a temporary prefix and checks what the desktop sees there: the
# program and its bundle, a valid .desktop entry that takes project files, and a MIME type that
# the desktop's own tools give a project file, inside a private XDG data folder.
# Usage: check-install.sh BUILD_DIR APPLICATION_ID MIME_TYPE EXTENSION
set -euo pipefail
build=$1 app_id=$2 mime=$3 ext=$4
work=$(mktemp -d /tmp/kestrom-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "check-install: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/prefix" >/dev/null
share=$work/prefix/share
[ -x "$work/prefix/bin/kestrom" ] || fail "no program in bin/"
[ -f "$share/kestrom/bundle/Info.plist" ] || fail "no bundle in share/kestrom/bundle"
desktop=$share/applications/$app_id.desktop
[ -f "$desktop" ] || fail "no $desktop"
desktop-file-validate "$desktop" || fail "desktop-file-validate refused $desktop"
grep -qx "MimeType=$mime;" "$desktop" || fail "the entry does not take $mime"
grep -q '^Exec=kestrom %F$' "$desktop" || fail "the entry does not hand files to the program"
[ -f "$share/mime/packages/$app_id.xml" ] || fail "no MIME description"

# The install refreshed the caches of its tree; the desktop reads them through XDG_DATA_HOME.
export XDG_DATA_HOME=$share XDG_DATA_DIRS=/usr/share XDG_CONFIG_HOME=$work/config
export XDG_CURRENT_DESKTOP=GNOME  # xdg-mime then asks GIO, which reads shared-mime-info
# (GIO calls every empty file text/plain, so both files have content.)
echo "not a zip" > "$work/Robot.$ext"
printf 'PK\003\004' > "$work/Zipped.$ext"
for file in "$work/Robot.$ext" "$work/Zipped.$ext"; do
  found=$(xdg-mime query filetype "$file")
  [ "$found" = "$mime" ] || fail "xdg-mime gives $found for $(basename "$file"), not $mime"
done
default=$(xdg-mime query default "$mime")
[ "$default" = "$app_id.desktop" ] || fail "the default application for $mime is '$default'"
echo "check-install: ok"

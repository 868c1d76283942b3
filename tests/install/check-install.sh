#!/usr/bin/env bash
# Installs the build tree into a temporary prefix and checks what the desktop sees there: the
# program, the headless host and their bundle, a valid .desktop entry that names the installed program by its absolute
# path and takes project files, the application's icon in the hicolor theme, and a MIME type that
# the desktop's own tools give a project file, inside a private XDG data folder, with the prefix's
# bin folder not on PATH (as on a desktop session that started before it existed); then uninstalls
# as the README says and checks that nothing of the program is left.
# Usage: check-install.sh BUILD_DIR APPLICATION_ID MIME_TYPE EXTENSION
set -euo pipefail
build=$1 app_id=$2 mime=$3 ext=$4
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrom-install-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "check-install: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/prefix" >/dev/null
share=$work/prefix/share
[ -x "$work/prefix/bin/kestrom" ] || fail "no program in bin/"
[ -x "$work/prefix/bin/kestrom-host" ] || fail "no kestrom-host in bin/"
[ -f "$share/kestrom/bundle/Info.plist" ] || fail "no bundle in share/kestrom/bundle"
desktop=$share/applications/$app_id.desktop
[ -f "$desktop" ] || fail "no $desktop"
desktop-file-validate "$desktop" || fail "desktop-file-validate refused $desktop"
grep -qx "MimeType=$mime;" "$desktop" || fail "the entry does not take $mime"
exec_line=$(grep '^Exec=' "$desktop") || fail "the entry has no Exec line"
[ "$exec_line" = "Exec=$work/prefix/bin/kestrom %F" ] || fail "the entry does not start the installed program with the files: $exec_line"
icon=$(grep '^Icon=' "$desktop" | cut -d= -f2-)
[ "$icon" = "$app_id" ] || fail "the entry's icon is '$icon', not $app_id"
[ -f "$share/icons/hicolor/scalable/apps/$app_id.svg" ] || fail "no icon in share/icons/hicolor/scalable/apps"
grep -q '<svg' "$share/icons/hicolor/scalable/apps/$app_id.svg" || fail "the icon is no SVG"
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
# GIO drops an entry whose program it cannot find; the prefix's bin folder is not on PATH here.
gio_default=$(gio mime "$mime" 2>&1 | sed -n 1p)  # sed reads to the end: no SIGPIPE for gio under pipefail
[[ "$gio_default" == "Default application for "?"$mime"?": $app_id.desktop" ]] ||
  fail "GIO finds no default application for $mime: $gio_default"

# The README's uninstall leaves nothing of the program: no file or folder with its name, and no
# application for project files.
xargs -d '\n' rm -f < "$build/install_manifest.txt" && rm -rf "$share/kestrom"
update-mime-database "$share/mime" && update-desktop-database "$share/applications"
left=$(find "$work/prefix" -iname '*kestrom*')
[ -z "$left" ] || fail "the uninstall left $left"
[ -z "$(xdg-mime query default "$mime")" ] || fail "after the uninstall $mime still has an application"
echo "check-install: ok"

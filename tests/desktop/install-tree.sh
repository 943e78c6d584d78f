#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# `cmake --install` to a scratch prefix yields the whole product, and its desktop files pass the validators.
# Usage: install-tree.sh BUILD_DIR
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null

status=0
for f in bin/orvane-companion libexec/orvane-companion/macmon \
         share/applications/app.orvane.Companion.desktop \
         share/metainfo/app.orvane.Companion.metainfo.xml \
         share/icons/hicolor/scalable/apps/app.orvane.Companion.svg \
         share/orvane-companion/translations/orvane-companion_de.qm \
         share/man/man1/orvane-companion.1.gz share/man/man1/macmon.1.gz \
         share/doc/orvane-companion/copyright share/doc/orvane-companion/changelog.Debian.gz; do
  [ -e "$prefix/$f" ] || { echo "missing from the install tree: $f"; status=1; }
done
for f in bin/orvane-companion libexec/orvane-companion/macmon; do
  [ -x "$prefix/$f" ] || { echo "not executable: $f"; status=1; }
done

desktop-file-validate "$prefix/share/applications/app.orvane.Companion.desktop" || status=1
# The bus starts the installed program by the name the desktop entry is activated by.
service=$prefix/share/dbus-1/services/app.orvane.Companion.service
grep -qx 'Name=app.orvane.Companion' "$service" && grep -qx "Exec=$prefix/bin/orvane-companion" "$service" ||
  { echo "wrong or missing D-Bus service file: $service"; status=1; }
grep -qx 'DBusActivatable=true' "$prefix/share/applications/app.orvane.Companion.desktop" ||
  { echo "the desktop entry is not D-Bus activatable"; status=1; }
for page in orvane-companion macmon; do
  man --warnings -l "$prefix/share/man/man1/$page.1.gz" 2>&1 >/dev/null | grep . && { echo "man page warnings: $page"; status=1; }
done
appstreamcli validate --no-net "$prefix/share/metainfo/app.orvane.Companion.metainfo.xml" || status=1

# The installed program finds the tool beside it in its own tree, not in the build tree.
"$prefix/libexec/orvane-companion/macmon" --version >/dev/null || { echo "the installed tool does not run"; status=1; }
# Without any display: --help and --version still answer, and a plain start says why it cannot run.
nodisplay=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/orvane-companion")
"${nodisplay[@]}" --version | grep -qx 'orvane-companion [0-9.]*' || { echo "--version needs a display"; status=1; }
"${nodisplay[@]}" --help | grep -q '^Usage: orvane-companion' || { echo "--help needs a display"; status=1; }
said=$("${nodisplay[@]}" 2>&1) && { echo "started without a display"; status=1; }
[ "$said" = "orvane-companion: no graphical display found (DISPLAY/WAYLAND_DISPLAY unset)" ] ||
  { echo "without a display it said: $said"; status=1; }
exit $status

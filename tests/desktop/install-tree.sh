#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# `cmake --install` to a scratch prefix yields the whole product, and its desktop files pass the validators.
# Usage: install-tree.sh BUILD_DIR
set -euo pipefail
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$1" --prefix "$prefix" >/dev/null
status=0
complain() { echo "$*"; status=1; }

app=app.orvane.Companion
units=lib/systemd/system
for f in bin/orvane-companion libexec/orvane-companion/macmon libexec/orvane-companion/orvane-powerd \
         $units/orvane-power.socket $units/orvane-power.service share/applications/$app.desktop \
         share/metainfo/$app.metainfo.xml share/icons/hicolor/scalable/apps/$app.svg \
         share/orvane-companion/translations/orvane-companion_de.qm \
         share/man/man1/orvane-companion.1.gz share/man/man1/macmon.1.gz \
         share/doc/orvane-companion/copyright share/doc/orvane-companion/changelog.Debian.gz; do
  [ -e "$prefix/$f" ] || complain "missing from the install tree: $f"
  [[ $f != *bin/* && $f != libexec/* || -x $prefix/$f ]] || complain "not executable: $f"
done

desktop-file-validate "$prefix/share/applications/$app.desktop" || status=1
# The bus starts the installed program by the name the desktop entry is activated by.
service=$prefix/share/dbus-1/services/$app.service
grep -qx "Name=$app" "$service" && grep -qx "Exec=$prefix/bin/orvane-companion" "$service" ||
  complain "wrong or missing D-Bus service file: $service"
grep -qx 'DBusActivatable=true' "$prefix/share/applications/$app.desktop" ||
  complain "the desktop entry is not D-Bus activatable"
for page in orvane-companion macmon; do
  man --warnings -l "$prefix/share/man/man1/$page.1.gz" 2>&1 >/dev/null | grep . && complain "man page warnings: $page"
done
appstreamcli validate --no-net "$prefix/share/metainfo/$app.metainfo.xml" || status=1

# The power helper's service runs the installed helper, and its sandbox leaves an exposure of 2.0 at most.
units=$prefix/$units
grep -qx "ExecStart=$prefix/libexec/orvane-companion/orvane-powerd" "$units/orvane-power.service" ||
  complain "the power helper's service does not run the installed helper"
said=$(systemd-analyze verify --man=no "$units/orvane-power.socket" "$units/orvane-power.service" 2>&1) && [ -z "$said" ] ||
  complain "the power helper's units do not verify: $said"
systemd-analyze security --offline=true --threshold=20 "$units/orvane-power.service" >/dev/null ||
  complain "the power helper's service is exposed above 2.0"

# The installed program finds the tool beside it in its own tree, not in the build tree.
"$prefix/libexec/orvane-companion/macmon" --version >/dev/null || complain "the installed tool does not run"
# Without any display: --help and --version still answer, and a plain start says why it cannot run.
nodisplay=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/orvane-companion")
"${nodisplay[@]}" --version | grep -qx 'orvane-companion [0-9.]*' || complain "--version needs a display"
"${nodisplay[@]}" --help | grep -q '^Usage: orvane-companion' || complain "--help needs a display"
said=$("${nodisplay[@]}" 2>&1) && complain "started without a display"
[ "$said" = "orvane-companion: no graphical display found (DISPLAY/WAYLAND_DISPLAY unset)" ] ||
  complain "without a display it said: $said"
exit $status

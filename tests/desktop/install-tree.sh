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
         share/orvane-companion/translations/orvane-companion_de.qm; do
  [ -e "$prefix/$f" ] || { echo "missing from the install tree: $f"; status=1; }
done
for f in bin/orvane-companion libexec/orvane-companion/macmon; do
  [ -x "$prefix/$f" ] || { echo "not executable: $f"; status=1; }
done

desktop-file-validate "$prefix/share/applications/app.orvane.Companion.desktop" || status=1
appstreamcli validate --no-net "$prefix/share/metainfo/app.orvane.Companion.metainfo.xml" || status=1

# The installed program finds the tool beside it in its own tree, not in the build tree.
"$prefix/libexec/orvane-companion/macmon" --version >/dev/null || { echo "the installed tool does not run"; status=1; }
exit $status

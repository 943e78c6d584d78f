#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian 12 packages a task needs; does nothing when they are all there.
# Usage: scripts/deps.sh run|package|test|bench
set -euo pipefail

build=(build-essential cmake ninja-build pkg-config
       qt6-base-dev qt6-svg-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools qt6-qpa-plugins
       qcoro-qt6-dev nlohmann-json3-dev libcurl4-openssl-dev libsystemd-dev fonts-dejavu-core)
test=(xvfb xauth xdotool dbus dbus-x11 at-spi2-core python3-pyatspi iproute2 desktop-file-utils appstream dpkg-dev file procps psmisc curl python3 systemd
      libgtest-dev weston qt6-wayland python3-pil dbus-user-session systemd-container xdg-utils)
bench=(wrk prometheus-node-exporter time)

case "${1:-}" in
  run) want=("${build[@]}") ;;
  package) want=("${build[@]}" dpkg-dev file lintian) ;;
  test) want=("${build[@]}" "${test[@]}") ;;
  bench) want=("${build[@]}" "${test[@]}" "${bench[@]}") ;;
  *) echo "usage: $0 run|package|test|bench" >&2; exit 2 ;;
esac

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"

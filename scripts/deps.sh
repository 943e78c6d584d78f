#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian 12 packages a task needs; does nothing when they are all there.
# Usage: scripts/deps.sh run|package|test|bench|cross
set -euo pipefail

build=(build-essential cmake ninja-build pkg-config
       qt6-base-dev qt6-svg-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools qt6-qpa-plugins
       qcoro-qt6-dev nlohmann-json3-dev libcurl4-openssl-dev libsystemd-dev fonts-dejavu-core)
test=(xvfb xauth xdotool dbus dbus-x11 at-spi2-core python3-pyatspi iproute2 desktop-file-utils appstream dpkg-dev file procps psmisc curl python3 systemd
      libgtest-dev weston qt6-wayland python3-pil dbus-user-session systemd-container xdg-utils)
bench=(wrk prometheus-node-exporter time)
# The service programs for arm64, their tests run under qemu: Debian's cross compiler and arm64 libraries.
cross=(build-essential cmake ninja-build pkg-config python3 nlohmann-json3-dev g++-aarch64-linux-gnu qemu-user
       libgtest-dev:arm64 libsystemd-dev:arm64)

case "${1:-}" in
  run) want=("${build[@]}") ;;
  package) want=("${build[@]}" dpkg-dev file lintian) ;;
  test) want=("${build[@]}" "${test[@]}") ;;
  bench) want=("${build[@]}" "${test[@]}" "${bench[@]}") ;;
  cross) want=("${cross[@]}") ;;
  *) echo "usage: $0 run|package|test|bench|cross" >&2; exit 2 ;;
esac

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
# Packages of another architecture (name:arm64) come from that architecture's index.
for arch in $(printf '%s\n' "${missing[@]}" | sed -n 's/.*:\(.*\)/\1/p' | sort -u); do
  dpkg --print-foreign-architectures | grep -qx "$arch" || "${sudo[@]}" dpkg --add-architecture "$arch"
done
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The sensor service and its power helper built for arm64 with Debian's cross toolchain, and their unit tests
# run under qemu-user: another architecture's char (unsigned there), alignment and libc.
# Tests that start the built program as a child (the command line, the install) need the kernel to run arm64
# programs (binfmt_misc), which a container rarely lets register; they are left to a native machine.
# Usage: scripts/cross.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh cross
build=build/cross-arm64
start=$(date +%s)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANE_BUILD_COMPANION=OFF -DORVANE_WERROR=ON \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" >/dev/null
cmake --build "$build"
file "$build"/libexec/orvane-companion/macmon | grep -q aarch64
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" -E '^(macmon_cli|macmon_install|powerd_helper)$'
echo "cross: arm64 built and tested in $(($(date +%s) - start)) s"

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Renders the companion's window offscreen in its four looks (not running, a failed install, busy, running) into
# docs/screenshots, driven by a local test service and a stand-in tool.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test
cmake -S . -B build/screenshots -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_BUILD_TESTS=ON >/dev/null
cmake --build build/screenshots -j "$(nproc)" --target companion-screenshots
QT_QPA_PLATFORM=offscreen QT_SCALE_FACTOR=2 build/screenshots/bin/companion-screenshots docs/screenshots

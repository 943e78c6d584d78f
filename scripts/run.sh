#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the companion and its sensor tool, then starts the companion.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh run
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANE_SANITIZE=OFF -DORVANE_WERROR=ON
cmake --build build/release -j "$(nproc)" --target orvane-companion macmon
exec build/release/bin/orvane-companion "$@"

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package of the whole product into build/package/ and checks it with lintian.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh package
cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANE_BUILD_TESTS=OFF -DORVANE_SANITIZE=OFF
cmake --build build/package -j "$(nproc)"
(cd build/package && cpack -G DEB)
ls build/package/*.deb
# No error allowed; the warnings left are explained in the README.
lintian --fail-on error --info build/package/*.deb

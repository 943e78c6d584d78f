#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package of the whole product into build/package/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh run
dpkg-query -W -f='${Status}' dpkg-dev 2>/dev/null | grep -q "install ok installed" ||
  { [ "$(id -u)" -eq 0 ] && apt-get install -y -qq dpkg-dev || sudo apt-get install -y -qq dpkg-dev; }
cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVANE_BUILD_TESTS=OFF -DORVANE_SANITIZE=OFF
cmake --build build/package -j "$(nproc)"
(cd build/package && cpack -G DEB)
ls build/package/*.deb

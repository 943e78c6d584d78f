#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs one fuzz target under libFuzzer with ASan and UBSan: scripts/fuzz.sh head|sysfs|document [SECONDS]
# Needs clang and its runtime (Debian: clang, libclang-rt-dev). The committed corpus in tests/fuzz/corpus seeds
# the run; what it finds new goes to build/fuzz/corpus/TARGET, a crashing input to build/fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:?usage: scripts/fuzz.sh head|sysfs|document [seconds]}
seconds=${2:-600}
command -v clang++ >/dev/null || { echo "fuzz.sh: clang++ is not installed" >&2; exit 1; }

cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORVANE_FUZZ=ON -DORVANE_BUILD_TESTS=ON >/dev/null
cmake --build build/fuzz --target "fuzz_$target"
mkdir -p "build/fuzz/corpus/$target"
cd build/fuzz
exec "bin/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 -max_len=12288 \
  "corpus/$target" "../../tests/fuzz/corpus/$target"

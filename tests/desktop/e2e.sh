#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The installed companion and the real service, as a user meets them: a scratch prefix, HOME and XDG folders,
# a private network (so port 9090 is ours alone), a virtual display and a session bus, and a dead proxy set.
# Usage: e2e.sh BUILD_DIR FIXTURE_ROOT
set -euo pipefail
build=$1 fixture=$2
here=$(cd "$(dirname "$0")" && pwd)

scratch=$(mktemp -d)
# The processes running a program from the scratch tree.
ours() {
  for p in /proc/[0-9]*; do
    case "$(readlink "$p/exe" 2>/dev/null)" in "$scratch"/*) echo "${p#/proc/}" ;; esac
  done
}
cleanup() {
  # Whatever happened, nothing of ours may outlive the test.
  for pid in $(ours); do kill -9 "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT

prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
mkdir -p "$scratch"/{home,config,data,state,cache,tmp} && mkdir -m 700 "$scratch/run"

marker=$scratch/marker
touch "$marker"
sleep 1

env -i PATH="/usr/sbin:/usr/bin:/sbin:/bin" LANG=C.UTF-8 \
  HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/config" XDG_DATA_HOME="$scratch/data" \
  XDG_STATE_HOME="$scratch/state" XDG_CACHE_HOME="$scratch/cache" XDG_RUNTIME_DIR="$scratch/run" \
  XDG_DATA_DIRS="$prefix/share:/usr/local/share:/usr/share" TMPDIR="$scratch/tmp" \
  MACMON_SYSFS_ROOT="$fixture/sys" MACMON_PROCFS_ROOT="$fixture/proc" \
  http_proxy=http://127.0.0.1:9 https_proxy=http://127.0.0.1:9 all_proxy=http://127.0.0.1:9 \
  HTTP_PROXY=http://127.0.0.1:9 HTTPS_PROXY=http://127.0.0.1:9 ALL_PROXY=http://127.0.0.1:9 \
  ASAN_OPTIONS="${ASAN_OPTIONS:-}" LSAN_OPTIONS="${LSAN_OPTIONS:-}" UBSAN_OPTIONS="${UBSAN_OPTIONS:-}" \
  unshare --net $([ "$(id -u)" -eq 0 ] || echo --map-root-user) \
  "$here/session.sh" "$scratch/display" /usr/bin/python3 "$here/e2e.py" "$prefix" 2>&1 |
  grep -v -e 'Failed to set fd limit' -e 'Activating service' -e 'Successfully activated' -e 'SpiRegistry daemon' \
    -e 'X connection to .* broken'

leftovers=$(ours)
[ -z "$leftovers" ] || { echo "e2e: FAIL: processes left running:" $leftovers; exit 1; }

written=$(find "$HOME" /etc /run/user /tmp/runtime-"$(id -un)" -xdev -newer "$marker" \
  -not -path "$build/*" -not -path "$here/*" 2>/dev/null | head -n 20 || true)
[ -z "$written" ] || { echo "e2e: FAIL: files written outside the scratch folders:"; echo "$written"; exit 1; }
echo "e2e: no process left, nothing written outside the scratch folders"

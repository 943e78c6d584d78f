#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The installed companion and the real service, as users meet them, in two sessions (session.sh): on X11 with
# no service manager (XDG autostart), on weston under a systemd user manager. Each has scratch HOME and XDG
# folders, a private network (port 9090 is its own), a session bus and a dead proxy set.
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

manager=$([ "$(id -u)" -eq 0 ] && echo systemd || echo none) # its cgroup needs root

session() { # NAME DISPLAY MANAGER
  local s=$scratch/$1
  mkdir -p "$s"/{home,config,data,state,cache,tmp} && mkdir -m 700 "$s/run"
  env -i PATH="/usr/sbin:/usr/bin:/sbin:/bin" LANG=C.UTF-8 REAL_HOME="$HOME" \
    HOME="$s/home" XDG_CONFIG_HOME="$s/config" XDG_DATA_HOME="$s/data" \
    XDG_STATE_HOME="$s/state" XDG_CACHE_HOME="$s/cache" XDG_RUNTIME_DIR="$s/run" \
    XDG_DATA_DIRS="$prefix/share:/usr/local/share:/usr/share" TMPDIR="$s/tmp" \
    MACMON_SYSFS_ROOT="$fixture/sys" MACMON_PROCFS_ROOT="$fixture/proc" \
    http_proxy=http://127.0.0.1:9 https_proxy=http://127.0.0.1:9 all_proxy=http://127.0.0.1:9 \
    HTTP_PROXY=http://127.0.0.1:9 HTTPS_PROXY=http://127.0.0.1:9 ALL_PROXY=http://127.0.0.1:9 \
    ASAN_OPTIONS="${ASAN_OPTIONS:-}" LSAN_OPTIONS="${LSAN_OPTIONS:-}" UBSAN_OPTIONS="${UBSAN_OPTIONS:-}" \
    unshare --net --mount $([ "$(id -u)" -eq 0 ] || echo --map-root-user) "$here/session.sh" "$s" "$2" "$3" \
    /usr/bin/python3 "$here/e2e.py" "$prefix" "$2" "$3" 2>&1 |
    grep -v -e 'Failed to set fd limit' -e 'Activating service' -e 'Successfully activated' \
      -e 'SpiRegistry daemon' -e 'X connection to .* broken' -e 'debug protocol has been enabled'
  [ -z "$(find "$s/writes" -mindepth 2)" ] || { echo "e2e: FAIL: written outside scratch folders:"; find "$s/writes"; exit 1; }
}
session x11 x11 none
session wayland wayland "$manager"

leftovers=$(ours)
[ -z "$leftovers" ] || { echo "e2e: FAIL: processes left running:" $leftovers; exit 1; }
echo "e2e: no process left, nothing written outside the scratch folders"

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The installed companion and the real service, as users meet them, in two sessions: an X server where no
# service manager answers (the service starts from XDG autostart), and a Wayland compositor under a real
# systemd user manager. Each has a scratch HOME and XDG folders, a private network (port 9090 is its own), a
# virtual display, a session bus and a dead proxy set (session.sh).
# Usage: e2e.sh BUILD_DIR FIXTURE_ROOT PLUGIN_DIR
set -euo pipefail
build=$1 fixture=$2 plugins=$3
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
marker=$scratch/marker
touch "$marker"
sleep 1

# A user manager needs a cgroup of its own, which only root can make here.
manager=systemd
[ "$(id -u)" -eq 0 ] || { manager=none; echo "e2e: not root: the Wayland session runs without a user manager"; }

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
    /usr/bin/python3 "$here/e2e.py" "$prefix" "$2" "$3" "$plugins" 2>&1 |
    grep -v -e 'Failed to set fd limit' -e 'Activating service' -e 'Successfully activated' \
      -e 'SpiRegistry daemon' -e 'X connection to .* broken' -e 'debug protocol has been enabled'
  written=$(find "$s/writes" -mindepth 2 | head -n 20)
  [ -z "$written" ] || { echo "e2e: FAIL: files written outside the scratch folders:"; echo "$written"; exit 1; }
}
session x11 x11 none
session wayland wayland "$manager"

leftovers=$(ours)
[ -z "$leftovers" ] || { echo "e2e: FAIL: processes left running:" $leftovers; exit 1; }
written=$(find /tmp/runtime-"$(id -un)" -newer "$marker" 2>/dev/null | head -n 20 || true)
[ -z "$written" ] || { echo "e2e: FAIL: files written outside the scratch folders:"; echo "$written"; exit 1; }
echo "e2e: no process left, nothing written outside the scratch folders"

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# One desktop session in private network and mount namespaces: loopback, a private /run, the real home and
# /etc behind overlays that keep the session's writes in SESSION_DIR/writes, an X server (with weston on it),
# a session bus or a systemd user manager in a cgroup of its own; then the command.
# Usage: session.sh SESSION_DIR x11|wayland none|systemd COMMAND...
set -euo pipefail
dir=$1 display=$2 manager=$3
shift 3
ip link set lo up
mount -t tmpfs -o mode=755 tmpfs /run
for real in "$REAL_HOME" /etc; do
  mkdir -p "$dir/writes$real" "$dir/work$real"
  mount -t overlay overlay -o "lowerdir=$real,upperdir=$dir/writes$real,workdir=$dir/work$real" "$real"
done
pids=() cgroups=()
cleanup() { # the manager first, which stops what it runs and so leaves its cgroups empty
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true; done
  for cgroup in "${cgroups[@]}"; do find "$cgroup" -depth -type d -exec rmdir {} + 2>/dev/null || true; done
}
trap cleanup EXIT

# Its number comes once its socket listens, or never: no race. -noreset: a short-lived client leaving (the
# screen reader reading the accessibility bus's address) must not reset it under one that is connecting.
mkfifo "$dir/displayfd"
Xvfb -displayfd 3 -noreset -screen 0 1280x800x24 -nolisten tcp 3>"$dir/displayfd" 2>/dev/null &
pids=($! "${pids[@]}")
read -r -t 20 number <"$dir/displayfd" || { echo "e2e: FAIL: Xvfb did not start"; exit 1; }
export DISPLAY=:$number
if [ "$display" = wayland ]; then
  # On the X server, whose keyboard reaches weston's shortcuts (headless weston has no seat); --debug: screenshots.
  weston --backend=x11-backend.so --use-pixman --width=1024 --height=640 --idle-time=0 --debug \
    --socket=wayland-e2e --log="$dir/weston.log" &
  pids=($! "${pids[@]}")
  export WAYLAND_DISPLAY=wayland-e2e
  for _ in $(seq 200); do weston-info >/dev/null 2>&1 && break; sleep 0.05; done
fi

[ "$manager" = systemd ] || { dbus-run-session -- "$@"; exit; }
mkdir -p /run/systemd/system # systemctl and the manager take it as the sign that systemd runs the machine
for hierarchy in /sys/fs/cgroup/unified /sys/fs/cgroup/systemd /sys/fs/cgroup; do
  [ -e "$hierarchy/cgroup.procs" ] && mkdir "$hierarchy/orvane-e2e-$$" && cgroups+=("$hierarchy/orvane-e2e-$$")
done
(for cgroup in "${cgroups[@]}"; do echo "$BASHPID" >"$cgroup/cgroup.procs"; done; exec /lib/systemd/systemd --user) \
  >"$dir/manager.log" 2>&1 &
pids=($! "${pids[@]}")
export DBUS_SESSION_BUS_ADDRESS=unix:path=$XDG_RUNTIME_DIR/bus
for _ in $(seq 100); do systemctl --user is-system-running --wait 2>/dev/null | grep -qx 'running\|degraded' && break; sleep 0.1; done
"$@"

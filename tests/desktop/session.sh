#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# One desktop session in private network and mount namespaces: loopback up, a private /run, the real home
# and /etc seen through overlays that keep the session's writes in SESSION/writes, the display server, a
# session bus (with systemd: a real user manager in a cgroup of its own, and its bus), then the command.
# Usage: session.sh SESSION_DIR x11|wayland none|systemd COMMAND...
set -euo pipefail
dir=$1 display=$2 manager=$3
shift 3
ip link set lo up
mount -t tmpfs -o mode=755 tmpfs /run
# Other programs may write there meanwhile (a compiler cache); only what this session writes lands here.
for real in "$REAL_HOME" /etc; do
  mkdir -p "$dir/writes$real" "$dir/work$real"
  mount -t overlay overlay -o "lowerdir=$real,upperdir=$dir/writes$real,workdir=$dir/work$real" "$real"
done

pids=() cgroups=()
cleanup() {
  # The manager first: it stops what it runs, and leaves its cgroup empty.
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true; done
  for cgroup in "${cgroups[@]}"; do
    find "$cgroup" -name cgroup.procs -exec cat {} + | xargs -r kill -9 2>/dev/null || true
    for _ in $(seq 50); do find "$cgroup" -depth -type d -exec rmdir {} + 2>/dev/null && break; sleep 0.1; done
  done
}
trap cleanup EXIT

if [ "$display" = x11 ]; then
  # The server writes its number once its socket listens, or nothing when it fails: reading it cannot race.
  # -noreset: a short-lived client leaving (the screen reader looking up the accessibility bus) must not
  # reset the server under a client that is just connecting.
  mkfifo "$dir/displayfd"
  Xvfb -displayfd 3 -noreset -screen 0 1280x800x24 -nolisten tcp 3>"$dir/displayfd" 2>/dev/null &
  pids=($! "${pids[@]}")
  read -r -t 20 number <"$dir/displayfd" || { echo "e2e: FAIL: Xvfb did not start"; exit 1; }
  export DISPLAY=:$number
else
  # --debug lets the test take screenshots.
  weston --backend=headless-backend.so --use-pixman --width=1024 --height=640 --idle-time=0 --debug \
    --socket=wayland-e2e --log="$dir/weston.log" &
  pids=($! "${pids[@]}")
  export WAYLAND_DISPLAY=wayland-e2e
  # Clients are taken once the socket listens, and answered once the compositor has set up.
  python3 -c '
import socket, sys, time
for _ in range(400):
    try:
        socket.socket(socket.AF_UNIX).connect(sys.argv[1]); sys.exit(0)
    except OSError:
        time.sleep(0.025)
sys.exit("e2e: FAIL: weston takes no clients")' "$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY"
fi

if [ "$manager" = none ]; then
  dbus-run-session -- "$@"
  exit
fi
# systemctl and the manager take /run/systemd/system as the sign that systemd runs the machine.
mkdir -p /run/systemd/system
for hierarchy in /sys/fs/cgroup/unified /sys/fs/cgroup/systemd /sys/fs/cgroup; do
  [ -e "$hierarchy/cgroup.procs" ] && mkdir "$hierarchy/orvane-e2e-$$" && cgroups+=("$hierarchy/orvane-e2e-$$")
done
(
  for cgroup in "${cgroups[@]}"; do echo "$BASHPID" >"$cgroup/cgroup.procs"; done
  exec /lib/systemd/systemd --user
) >"$dir/manager.log" 2>&1 &
pids=($! "${pids[@]}")
export DBUS_SESSION_BUS_ADDRESS=unix:path=$XDG_RUNTIME_DIR/bus
for _ in $(seq 100); do
  case $(systemctl --user is-system-running --wait 2>/dev/null) in running | degraded) break ;; esac
  sleep 0.1
done
"$@"

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Inside a private network: loopback up, a virtual display that is ready before anything draws on it,
# and a session bus; then the given command. Usage: session.sh DISPLAY_FILE COMMAND...
set -euo pipefail
display_file=$1
shift
ip link set lo up
# -displayfd: the server writes its display number once it accepts clients, so no start-up race.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$display_file" 2>/dev/null &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null || true' EXIT
for _ in $(seq 200); do
  [ -s "$display_file" ] && break
  kill -0 "$xvfb" 2>/dev/null || { echo "e2e: FAIL: Xvfb did not start"; exit 1; }
  sleep 0.05
done
DISPLAY=:$(head -n 1 "$display_file")
export DISPLAY
# Xvfb may report its number a moment before its socket takes clients; wait until one gets through.
python3 -c '
import socket, sys, time
path = "\0/tmp/.X11-unix/X" + sys.argv[1]
for _ in range(200):
    try:
        socket.socket(socket.AF_UNIX).connect(path); sys.exit(0)
    except OSError:
        time.sleep(0.025)
sys.exit("e2e: FAIL: the virtual display takes no clients")' "${DISPLAY#:}"
dbus-run-session -- "$@"

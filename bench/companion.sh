#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The companion beside a bare Qt Widgets window (one label), both under Xvfb, polling our own service on the
# amd-desktop recording: start to first painted frame, resident and proportional memory after 10 s, CPU over
# 60 s of idle polling. Then the poll alone, without a window, beside a floor that runs the same timer and
# parse with no request: CPU per poll, and per minute at the ticker's pace.
# Usage: bench/companion.sh [start runs, default 15] [poll rounds, default 3]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-15}
rounds=${2:-3}
scripts/deps.sh bench
# A desktop session has a bus; without one each Qt program would start a bus daemon of its own.
[ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ] || exec dbus-run-session -- "$0" "$@"

build=build/bench-companion
cmake -S bench/companion -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target bench-floor bench-floor-curl bench-companion bench-poll macmon >/dev/null
bin=$PWD/$build/bin
machine=$PWD/tests/fixtures/sysfs/amd-desktop

scratch=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

# Scratch home and runtime folders: the companion's single-instance socket must not meet a real one.
export HOME=$scratch/home XDG_RUNTIME_DIR=$scratch/runtime XDG_CONFIG_HOME=$scratch/home/.config \
  XDG_CACHE_HOME=$scratch/home/.cache XDG_DATA_HOME=$scratch/home/.local/share
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

# Our service on the recorded machine, on a free port.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$PWD/$build/libexec/orvane-companion/macmon" serve --port "$port" \
  --sysfs-root "$machine/sys" --procfs-root "$machine/proc" &
pids+=($!)
# Waits on the service itself; a failed try only retries (set -e ignores a failure inside &&).
for _ in $(seq 100); do
  curl -fsS -o "$scratch/json" "http://127.0.0.1:$port/json" 2>/dev/null && break
  sleep 0.1
done
[ -s "$scratch/json" ] || { echo "the local service did not start" >&2; exit 1; }

display=
for n in $(seq 90 140); do
  [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] || { display=:$n; break; }
done
Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display QT_QPA_PLATFORM=xcb
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done 2>/dev/null || sleep 2

# Milliseconds from exec to the first painted frame of one run.
start_ms() {
  local began out
  began=$(date +%s%N)
  out=$("$@" 2>/dev/null)
  echo "$out" | awk -v b="$began" '/^first_paint_ns/ { printf "%.1f\n", ($2 - b) / 1e6 }'
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
value() { awk -v k="$2" '$1 == k { print $2 }' "$1"; }

# Alternating, so a change in the machine's load falls on all three alike.
: > "$scratch/floor.starts"; : > "$scratch/curl.starts"; : > "$scratch/companion.starts"
for _ in $(seq "$runs"); do
  start_ms "$bin/bench-floor" start >> "$scratch/floor.starts"
  start_ms "$bin/bench-floor-curl" start >> "$scratch/curl.starts"
  start_ms "$bin/bench-companion" start "$port" >> "$scratch/companion.starts"
done
floor_start=$(median < "$scratch/floor.starts")
curl_start=$(median < "$scratch/curl.starts")
companion_start=$(median < "$scratch/companion.starts")

# CPU per poll: many polls close together, alternating floor and poll, median of the rounds.
for r in $(seq "$rounds"); do
  "$bin/bench-poll" floor "$scratch/json" 20 250 > "$scratch/fast-floor.$r"
  "$bin/bench-poll" poll "$port" 20 250 > "$scratch/fast-poll.$r"
done

echo "Idle runs: 70 s for the windows, beside $rounds rounds of 60 s polling at the ticker's pace..." >&2
"$bin/bench-floor" idle > "$scratch/floor.out" 2>/dev/null &
floor_pid=$!
"$bin/bench-floor-curl" idle > "$scratch/curl.out" 2>/dev/null &
curl_pid=$!
"$bin/bench-companion" idle "$port" > "$scratch/companion.out" 2>/dev/null &
companion_pid=$!
# Per minute at the ticker's pace: 24 polls 2.5 s apart; floor and poll side by side in each round.
for r in $(seq "$rounds"); do
  "$bin/bench-poll" floor "$scratch/json" 2500 24 > "$scratch/minute-floor.$r" &
  minute_floor=$!
  "$bin/bench-poll" poll "$port" 2500 24 > "$scratch/minute-poll.$r"
  wait "$minute_floor"
done
wait "$floor_pid" "$curl_pid" "$companion_pid"

rounds_median() { for f in "$scratch/$1".*; do value "$f" "$2"; done | median; }
floor_rss=$(value "$scratch/floor.out" rss_kb)
companion_rss=$(value "$scratch/companion.out" rss_kb)
curl_rss=$(value "$scratch/curl.out" rss_kb)
floor_pss=$(value "$scratch/floor.out" pss_kb)
companion_pss=$(value "$scratch/companion.out" pss_kb)
floor_cpu=$(value "$scratch/floor.out" idle_cpu_ms)
companion_cpu=$(value "$scratch/companion.out" idle_cpu_ms)

awk -v fs="$floor_start" -v ls="$curl_start" -v cs="$companion_start" -v fr="$floor_rss" -v cr="$companion_rss" \
    -v lr="$curl_rss" -v fp="$floor_pss" -v cp="$companion_pss" \
    -v fc="$floor_cpu" -v cc="$companion_cpu" -v runs="$runs" -v rounds="$rounds" \
    -v fpp="$(rounds_median fast-floor per_poll_ms)" -v ppp="$(rounds_median fast-poll per_poll_ms)" \
    -v fpm="$(rounds_median minute-floor cpu_ms)" -v ppm="$(rounds_median minute-poll cpu_ms)" \
    -v first="$(rounds_median fast-poll first_poll_cpu_ms)" 'BEGIN {
  printf "%-46s %10s %10s %8s %10s\n", "measure", "floor", "companion", "ratio", "target"
  printf "%-46s %10.1f %10.1f %8.2f %10s\n", "start to first frame (ms, median of " runs ")", fs, cs, cs / fs, "<= 1.5x"
  printf "%-46s %10.1f %10.1f %8.2f %10s\n", "  the floor with libcurl loaded (ms)", fs, ls, ls / fs, ""
  printf "%-46s %10.1f %10.1f %8.2f %10s\n", "resident memory after 10 s (MB)", fr / 1024, cr / 1024, cr / fr, "<= 1.25x"
  printf "%-46s %10.1f %10.1f %8.2f %10s\n", "  the floor with libcurl loaded (MB)", fr / 1024, lr / 1024, lr / fr, ""
  printf "%-46s %10.1f %10.1f %8.2f %10s\n", "  proportional (PSS, MB)", fp / 1024, cp / 1024, cp / fp, ""
  printf "%-46s %10.1f %10.1f %8.2f %10s\n", "window CPU over 60 s idle polling (ms)", fc, cc, (fc > 0 ? cc / fc : 0), ""
  printf "%-46s %10s %10s\n", "the poll alone, median of " rounds " rounds", "timer+parse", "poll"
  printf "%-46s %10.3f %10.3f %8.2f %10s\n", "  CPU per poll (ms, 250 polls 20 ms apart)", fpp, ppp, ppp / fpp, ""
  printf "%-46s %10.2f %10.2f %8.2f %10s\n", "  CPU per minute at 2.5 s (ms, 24 polls)", fpm, ppm, ppm / fpm, "<= 10 ms"
  printf "%-46s %10s %10.2f\n", "  first poll, libcurl set up once (CPU ms)", "", first
}'

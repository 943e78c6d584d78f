#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The companion's footprint beside a bare Qt Widgets window (one label), both under Xvfb:
# start to first painted frame, resident memory after 10 s, CPU time over 60 s of idle polling.
# Usage: bench/companion.sh [start runs, default 15]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-15}
scripts/deps.sh test
# A desktop session has a bus; without one each Qt program would start a bus daemon of its own.
[ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ] || exec dbus-run-session -- "$0" "$@"

build=build/bench-companion
cmake -S bench/companion -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target bench-floor bench-companion >/dev/null
floor_bin=$PWD/$build/bin/bench-floor
companion_bin=$PWD/$build/bin/bench-companion

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

# A local metrics service whose answer never changes, on an ephemeral port.
mkdir -p "$scratch/www"
printf '%s' '{"temp":{"cpu_temp_avg":51.5,"gpu_temp_avg":44},"soc":{"chip_name":"Bench"},"sys_power":7.25,"gpu_usage":[1398,0.25]}' \
  > "$scratch/www/json"
python3 -u -m http.server --bind 127.0.0.1 --directory "$scratch/www" 0 > "$scratch/http.log" 2>&1 &
pids+=($!)
port=
for _ in $(seq 50); do
  port=$(sed -n 's/.* port \([0-9]*\).*/\1/p' "$scratch/http.log" | head -1)
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "the local service did not start" >&2; exit 1; }

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

floor_starts=() companion_starts=()
for _ in $(seq "$runs"); do
  floor_starts+=("$(start_ms "$floor_bin" start)")
  companion_starts+=("$(start_ms "$companion_bin" start "$port")")
done
floor_start=$(printf '%s\n' "${floor_starts[@]}" | median)
companion_start=$(printf '%s\n' "${companion_starts[@]}" | median)

echo "Idle run: 10 s to settle, then 60 s of polling an unchanging service (about 70 s)..." >&2
"$floor_bin" idle > "$scratch/floor.out" 2>/dev/null &
floor_pid=$!
"$companion_bin" idle "$port" > "$scratch/companion.out" 2>/dev/null &
companion_pid=$!
wait "$floor_pid" "$companion_pid"
value() { awk -v k="$2" '$1 == k { print $2 }' "$1"; }
floor_rss=$(value "$scratch/floor.out" rss_kb)
companion_rss=$(value "$scratch/companion.out" rss_kb)
floor_cpu=$(value "$scratch/floor.out" idle_cpu_ms)
companion_cpu=$(value "$scratch/companion.out" idle_cpu_ms)
polls=$(grep -c 'GET /json' "$scratch/http.log" || true)

awk -v fs="$floor_start" -v cs="$companion_start" -v fr="$floor_rss" -v cr="$companion_rss" \
    -v fc="$floor_cpu" -v cc="$companion_cpu" -v runs="$runs" -v polls="$polls" 'BEGIN {
  printf "%-34s %12s %12s %8s %10s\n", "measure", "floor", "companion", "ratio", "target"
  printf "%-34s %12.1f %12.1f %8.2f %10s\n", "start to first frame (ms, median of " runs ")", fs, cs, cs / fs, "<= 1.25x"
  printf "%-34s %12.1f %12.1f %8.2f %10s\n", "resident memory after 10 s (MB)", fr / 1024, cr / 1024, cr / fr, "<= 1.25x"
  printf "%-34s %12.1f %12.1f %8.2f %10s\n", "CPU over 60 s idle polling (ms)", fc, cc, (fc > 0 ? cc / fc : 0), "< 30 ms"
  printf "service requests served during the whole bench: %d\n", polls
}'

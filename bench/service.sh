#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Our sensor service against Prometheus's node_exporter with only its hwmon, thermal_zone and rapl
# collectors, both reading the same tree on loopback, loaded alike with wrk: the recorded amd-desktop and
# synthetic trees of 100 and 500 chips. Every figure is the median of 3 alternating runs. Meanwhile three
# services sit with no client, to count their CPU, wake-ups and reads while asleep.
# Usage: bench/service.sh [seconds per wrk run] [idle seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-5}
idle=${2:-60}

scripts/deps.sh bench
cmake -S bench/macmon -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/bench >/dev/null
macmon=build/bench/libexec/orvane-companion/macmon
work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
cpu_ms() { awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) * 1000 / hz }' "/proc/$1/stat"; }
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
# PSS shares each library page among the processes that map it, which RSS counts in full.
pss_kib() { awk '/^Pss:/ { print $2 }' "/proc/$1/smaps_rollup"; }
# Voluntary switches of every thread: each is a wake-up after a wait.
switches() { cat /proc/"$1"/task/*/status | awk '/^voluntary_ctxt_switches/ { s += $2 } END { print s }'; }
reads() { awk '/^syscr/ { print $2 }' "/proc/$1/io"; }
median() { sort -g | sed -n 2p; }
to_ms() { awk '{ v = $1 + 0; if ($1 ~ /us$/) v /= 1000; else if ($1 ~ /ms$/) v *= 1; else if ($1 ~ /s$/) v *= 1000; printf "%.3f", v }'; }
# Ready means answering with 200, not merely listening: the first sample may still be under way.
wait_for() { for _ in $(seq 100); do curl -fs -o /dev/null "$1" && return 0; sleep 0.1; done; echo "no answer at $1" >&2; exit 1; }

start_macmon() { # tree port
  "$macmon" serve --port "$2" --sysfs-root "$1/sys" --procfs-root "$1/proc" &
  pids+=($!); started=$!
  wait_for "http://127.0.0.1:$2/json"
}
start_exporter() { # tree port
  prometheus-node-exporter --web.listen-address="127.0.0.1:$2" --collector.disable-defaults \
    --collector.hwmon --collector.thermal_zone --collector.rapl \
    --path.sysfs="$1/sys" --path.procfs="$1/proc" --path.rootfs="$1" --log.level=error >/dev/null 2>&1 &
  pids+=($!); started=$!
  wait_for "http://127.0.0.1:$2/metrics"
}

# One wrk run: prints "requests/s p99-ms cpu-us-per-request".
run() { # pid url
  local before after out requests
  before=$(cpu_ms "$1")
  out=$(wrk -t2 -c16 -d"${seconds}s" --latency "$2")
  after=$(cpu_ms "$1")
  requests=$(awk '/requests in/ { print $1 }' <<<"$out")
  printf '%s %s %s\n' "$(awk '/^Requests\/sec:/ { print $2 }' <<<"$out")" \
    "$(awk '$1 == "99%" { print $2 }' <<<"$out" | to_ms)" \
    "$(awk -v a="$after" -v b="$before" -v n="$requests" 'BEGIN { printf "%.1f", (a - b) * 1000 / n }')"
}

amd=$(realpath tests/fixtures/sysfs/amd-desktop)
python3 bench/macmon/synthetic_tree.py 100 "$amd" "$work/chips-100"
python3 bench/macmon/synthetic_tree.py 500 "$amd" "$work/chips-500"

# Idle: asked once, then left alone; the window starts once the sampler has had time to fall asleep.
idlers=()
for _ in 1 2 3; do start_macmon "$amd" "$(free_port)"; idlers+=("$started"); done
sleep 12
declare -A cpu0 sw0 rd0
for p in "${idlers[@]}"; do cpu0[$p]=$(cpu_ms "$p"); sw0[$p]=$(switches "$p"); rd0[$p]=$(reads "$p"); done
idle_start=$(date +%s)

echo "wrk -t2 -c16, ${seconds} s a run, $(nproc) cores shared; medians of 3 alternating runs"
row='%-12s %-14s %12s %9s %13s %9s %9s %22s\n'
printf "$row" tree server requests/s "p99 ms" "CPU us/req" "RSS KiB" "PSS KiB" "one fresh sample us"
declare -A steady
for tree in "$amd" "$work/chips-100" "$work/chips-500"; do
  name=${tree##*/}
  ours=$(free_port); start_macmon "$tree" "$ours"; o=$started
  theirs=$(free_port); start_exporter "$tree" "$theirs"; t=$started
  : >"$work/o"; : >"$work/t"
  for _ in 1 2 3; do
    run "$o" "http://127.0.0.1:$ours/json" >>"$work/o"
    run "$t" "http://127.0.0.1:$theirs/metrics" >>"$work/t"
  done
  for _ in 1 2 3; do build/bench/macmon_sample_bench "$tree/sys" "$tree/proc"; done >"$work/s"
  steady[$name]=$(awk '{ print $1 }' "$work/s" | median)
  first=$(awk '{ print $2 }' "$work/s" | median)
  for who in o t; do
    col() { awk -v c="$1" '{ print $c }' "$work/$who" | median; }
    if [ $who = o ]; then server=macmon; pid=$o; fresh="${steady[$name]} (first ${first})"
    else server=node_exporter; pid=$t; fresh="scrape $(col 3)"; fi
    printf "$row" "$name" "$server" "$(col 1)" "$(col 2)" "$(col 3)" "$(rss_kib "$pid")" "$(pss_kib "$pid")" "$fresh"
    if [ $who = o ]; then o_rss=$(rss_kib "$pid"); o_pss=$(pss_kib "$pid"); else t_rss=$(rss_kib "$pid"); t_pss=$(pss_kib "$pid"); fi
  done
  [ "$name" = amd-desktop ] && memory="memory macmon/node_exporter on amd-desktop: RSS $(awk -v a="$o_rss" -v b="$t_rss" 'BEGIN { printf "%.3f", a / b }'), PSS $(awk -v a="$o_pss" -v b="$t_pss" 'BEGIN { printf "%.3f", a / b }') (target <= 0.25)"
  kill "$o" "$t"
done
echo "$memory"
awk -v a="${steady[chips-500]}" -v b="${steady[amd-desktop]}" \
  'BEGIN { printf "sample cost, 500 chips against the recording'\''s 4: %.2fx (target <= 2)\n", a / b }'

left=$(( idle - ($(date +%s) - idle_start) ))
[ "$left" -gt 0 ] && sleep "$left"
span=$(( $(date +%s) - idle_start ))
: >"$work/idle"
for p in "${idlers[@]}"; do
  echo "$(awk -v a="$(cpu_ms "$p")" -v b="${cpu0[$p]}" 'BEGIN { print a - b }') $(( $(switches "$p") - ${sw0[$p]} )) $(( $(reads "$p") - ${rd0[$p]} ))" >>"$work/idle"
done
icol() { awk -v c="$1" '{ print $c }' "$work/idle" | median; }
echo "idle ${span} s with no client: CPU $(icol 1) ms, wake-ups (voluntary switches, all threads) $(icol 2), read calls $(icol 3) (targets 0 reads, <= 2 wake-ups)"
: >"$work/wake"
for p in "${idlers[@]}"; do
  port=$(tr '\0' ' ' <"/proc/$p/cmdline" | awk '{ for (i = 1; i < NF; i++) if ($i == "--port") print $(i + 1) }')
  curl -fs -o /dev/null -w '%{time_total}\n' "http://127.0.0.1:$port/json" >>"$work/wake"
done
echo "first request after the sleep answered in $(median <"$work/wake" | awk '{ printf "%.1f", $1 * 1000 }') ms (target <= 250 ms)"

# The power helper is asked only without RAPL: the recording without its powercap, no helper, then a stand-in.
cp -a "$amd" "$work/no-rapl" && rm -rf "$work/no-rapl/sys/class/powercap"
python3 -c 'import socket, sys
s = socket.socket(socket.AF_UNIX); s.bind(sys.argv[1]); s.listen(64)
while True:
    c, _ = s.accept(); c.sendall(b"17\n"); c.close()' "$work/helper.sock" &
pids+=($!)
for _ in $(seq 50); do [ -S "$work/helper.sock" ] && break; sleep 0.1; done
wall() { for _ in 1 2 3; do build/bench/macmon_sample_bench "$work/no-rapl/sys" "$work/no-rapl/proc" "$@"; done | awk '{ print $3 }' | median; }
without=$(wall "$work/absent.sock"); with=$(wall "$work/helper.sock")
echo "one sample without RAPL: ${without} us with no helper, ${with} us asking a stand-in helper (round trip $(awk -v a="$with" -v b="$without" 'BEGIN { printf "%.1f", a - b }') us, target < 200 us)"

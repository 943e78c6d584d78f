#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Our sensor service against Prometheus's node_exporter, both reading the same recorded machine,
# both on loopback, loaded alike with wrk. Usage: bench/service.sh [seconds per run] [machine]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
machine=tests/fixtures/sysfs/${2:-amd-desktop}
[ -d "$machine" ] || { echo "no recorded machine at $machine" >&2; exit 2; }
machine=$(realpath "$machine")

scripts/deps.sh bench
cmake -S bench/macmon -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/bench >/dev/null

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
cpu_ms() { awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) * 1000 / hz }' "/proc/$1/stat"; }
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
# PSS shares each library page among the processes that map it, which RSS counts in full.
pss_kib() { awk '/^Pss:/ { print $2 }' "/proc/$1/smaps_rollup"; }
to_ms() { awk '{ v = $1 + 0; if ($1 ~ /us$/) v /= 1000; else if ($1 ~ /ms$/) v *= 1; else if ($1 ~ /s$/) v *= 1000; printf "%.3f", v }'; }

pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT

ours=$(free_port)
build/bench/libexec/orvane-companion/macmon serve --port "$ours" \
  --sysfs-root "$machine/sys" --procfs-root "$machine/proc" &
pids+=($!)
theirs=$(free_port)
prometheus-node-exporter --web.listen-address="127.0.0.1:$theirs" --path.sysfs="$machine/sys" \
  --path.procfs="$machine/proc" --path.rootfs="$machine" --log.level=error >/dev/null 2>&1 &
pids+=($!)

wait_for() { for _ in $(seq 100); do curl -fs -o /dev/null "$1" && return 0; sleep 0.1; done; echo "no answer at $1" >&2; exit 1; }
wait_for "http://127.0.0.1:$ours/json"
wait_for "http://127.0.0.1:$theirs/metrics"

# One run: prints "requests/s p50(ms) p99(ms) cpu-ms-per-10k rss-KiB pss-KiB".
run() {
  local pid=$1 url=$2 before after out requests
  before=$(cpu_ms "$pid")
  out=$(wrk -t2 -c16 -d"${seconds}s" --latency "$url")
  after=$(cpu_ms "$pid")
  requests=$(awk '/requests in/ { print $1 }' <<<"$out")
  printf '%s %s %s %s %s %s\n' \
    "$(awk '/^Requests\/sec:/ { print $2 }' <<<"$out")" \
    "$(awk '$1 == "50%" { print $2 }' <<<"$out" | to_ms)" \
    "$(awk '$1 == "99%" { print $2 }' <<<"$out" | to_ms)" \
    "$(awk -v c="$(awk -v a="$after" -v b="$before" 'BEGIN { print a - b }')" -v n="$requests" \
        'BEGIN { printf "%.1f", c / n * 10000 }')" \
    "$(rss_kib "$pid")" "$(pss_kib "$pid")"
}

read -r o_rps o_p50 o_p99 o_cpu o_rss o_pss < <(run "${pids[0]}" "http://127.0.0.1:$ours/json")
read -r t_rps t_p50 t_p99 t_cpu t_rss t_pss < <(run "${pids[1]}" "http://127.0.0.1:$theirs/metrics")
sample_us=$(build/bench/macmon_sample_bench "$machine/sys" "$machine/proc")

echo "machine: ${machine##*/}, ${seconds} s per run, wrk -t2 -c16, $(nproc) cores"
row='%-16s %12s %10s %10s %18s %10s %10s\n'
printf "$row" "" "requests/s" "p50 ms" "p99 ms" "CPU ms/10k req" "RSS KiB" "PSS KiB"
printf "$row" "macmon" "$o_rps" "$o_p50" "$o_p99" "$o_cpu" "$o_rss" "$o_pss"
printf "$row" "node_exporter" "$t_rps" "$t_p50" "$t_p99" "$t_cpu" "$t_rss" "$t_pss"
awk -v or="$o_rps" -v tr="$t_rps" -v om="$o_rss" -v tm="$t_rss" -v op="$o_pss" -v tp="$t_pss" \
    -v oc="$o_cpu" -v tc="$t_cpu" -v s="$sample_us" 'BEGIN {
  printf "ratios: requests/s %.1fx (target >= 20x); memory RSS %.3f, PSS %.3f (target < 0.25); CPU per request %.4f\n", or / tr, om / tm, op / tp, (tc > 0 ? oc / tc : 0)
  printf "CPU per sample: %.1f us (target < 1000 us)\n", s
}'

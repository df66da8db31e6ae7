#!/usr/bin/env bash
# Measures how fast zephon-trace reads a large log: writes a synthetic zephon
# log of about 1 GiB to /tmp (a driver touching 119 registers, polling loops,
# writes, a few warnings), runs `zephon-trace summary` on it three times under
# /usr/bin/time -v, prints the throughput and the peak resident memory, then
# sequence and export once each, and deletes the log. Then `compare` three
# times on the real recording in tests/data (300 177 lines) against its own
# conversion to an mmiotrace. Exits 1 when summary reads slower than 200 MB/s
# or compare takes a second or more.
#
# Usage: tools/trace-bench.sh [--colour]
#   ZEPHON_BUILD       build directory (default build/release; built if needed)
#   TRACE_BENCH_BYTES  log size in bytes (default 1073741824)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZEPHON_BUILD:-$root/build/release}
bytes=${TRACE_BENCH_BYTES:-1073741824}
colour=()
[ "${1:-}" = "--colour" ] && colour=(--colour)
target_mbps=200

trace=$build/tools/trace/zephon-trace
loggen=$build/tools/trace/trace-loggen
if [ ! -x "$trace" ] || [ ! -x "$loggen" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j "$(nproc)" --target zephon-trace trace-loggen
fi
[ -x /usr/bin/time ] || { echo "trace-bench: /usr/bin/time is missing (apt-get install time)" >&2; exit 2; }

log=$(mktemp /tmp/zephon-trace-bench.XXXXXX)
trap 'rm -f "$log" "$log.time" "$log.probe" "$log.mmio"' EXIT
"$loggen" "$bytes" "${colour[@]}" > "$log"
size=$(stat -c %s "$log")
echo "log: $size bytes, $(wc -l < "$log") lines${colour:+, coloured}"

# Prints "MB/s RSS_KB" for one run of zephon-trace with the given arguments.
measure() {
  local start end
  start=$(date +%s%N)
  /usr/bin/time -v -o "$log.time" "$trace" "$@" --quiet "$log" > /dev/null
  end=$(date +%s%N)
  local rss
  rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$log.time")
  awk -v b="$size" -v ns=$((end - start)) -v rss="$rss" 'BEGIN { printf "%.1f %d %.3f\n", b / (ns / 1e9) / 1e6, rss, ns / 1e9 }'
}

best=0
for run in 1 2 3; do
  read -r mbps rss secs < <(measure summary)
  printf 'summary  run %d: %.3f s, %8.1f MB/s, max RSS %d KiB\n' "$run" "$secs" "$mbps" "$rss"
  best=$(awk -v a="$best" -v b="$mbps" 'BEGIN { print (b > a) ? b : a }')
done
read -r mbps rss secs < <(measure sequence)
printf 'sequence:        %.3f s, %8.1f MB/s, max RSS %d KiB\n' "$secs" "$mbps" "$rss"
read -r mbps rss secs < <(measure export --format=csv)
printf 'export csv:      %.3f s, %8.1f MB/s, max RSS %d KiB\n' "$secs" "$mbps" "$rss"

rm -f "$log"
gzip -dc "$root/tests/data/display-driver-probe.log.gz" > "$log.probe"
"$trace" export --format=mmiotrace --quiet "$log.probe" > "$log.mmio"
slowest=0
for run in 1 2 3; do
  /usr/bin/time -f '%e %U %S %M' -o "$log.time" "$trace" compare --quiet "$log.probe" "$log.mmio" > /dev/null
  read -r real user sys rss < "$log.time"
  printf 'compare  run %d: %s s (user %s s, sys %s s), max RSS %d KiB\n' "$run" "$real" "$user" "$sys" "$rss"
  slowest=$(awk -v a="$slowest" -v b="$real" 'BEGIN { print (b > a) ? b : a }')
done

echo "zephon-trace summary: best $best MB/s (target $target_mbps MB/s); compare: slowest $slowest s (target under 1 s)"
awk -v b="$best" -v t="$target_mbps" -v c="$slowest" 'BEGIN { exit (b >= t && c < 1) ? 0 : 1 }'

#!/usr/bin/env bash
# Installs what the benchmark needs, builds zephon optimised, and measures it
# against the reference server: the round-trip table, the system calls per
# request and the peak RSS over a million requests. Arguments are passed to
# the round-trip benchmark (zephon_bench --help lists them).
#
#   tools/bench.sh [--repetitions R] [--requests N] ...
#   BUILD_DIR=... JOBS=... tools/bench.sh   # where to build, how many jobs
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build/bench}
jobs=${JOBS:-$(nproc)}

"$root/tools/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DZEPHON_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target zephon_bench >/dev/null

status=0
echo "== Round trips: zephon against the reference server"
"$build/bench/zephon_bench" "$@" || status=1
echo
echo "== System calls per request"
"$root/bench/count_syscalls.sh" "$build" || status=1
echo "== Peak RSS over a million requests"
"$build/bench/zephon_bench" --rss --count 1000000 || status=1
exit $status

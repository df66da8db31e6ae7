#!/usr/bin/env bash
# Runs one fuzz target under AFL++ for a given time on top of the checked-in
# seed corpus, and fails if AFL++ found any crash (a sanitizer report, a leak
# or one of the target's own checks all abort).
# Usage: fuzz/run.sh TARGET SECONDS [WORK_DIR]
#   TARGET   connection or capabilities
#   WORK_DIR AFL++'s output directory (default: a fresh one under /tmp); a
#            directory that already has a campaign in it is resumed.
# Builds the targets first (fuzz/build.sh); BUILD_DIR overrides where.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
target=${1:?target: connection or capabilities}
seconds=${2:?seconds}
work=${3:-$(mktemp -d "/tmp/zephon-fuzz-$target.XXXXXX")}
build=${BUILD_DIR:-$root/build-fuzz}

case $target in connection|capabilities) ;; *) echo "unknown target $target" >&2; exit 2 ;; esac
"$root/tools/install-deps.sh" afl++
"$root/fuzz/build.sh" "$build" >/dev/null

# Leaks are findings: LeakSanitizer must run and abort like the others.
export ASAN_OPTIONS=abort_on_error=1:symbolize=0:detect_leaks=1:allocator_may_return_null=0:detect_odr_violation=0
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:symbolize=0:print_stacktrace=0
export AFL_SKIP_CPUFREQ=1 AFL_I_DONT_CARE_ABOUT_MISSING_CRASHES=1 AFL_NO_AFFINITY=1 AFL_NO_UI=1
# Classic afl-g++ instrumentation writes into a 64 KiB map; without this
# afl-fuzz would scan a default 8 MiB one after every run.
export AFL_MAP_SIZE=${AFL_MAP_SIZE:-65536}

input=$root/fuzz/corpus/$target
if [ -f "$work/default/fuzzer_stats" ]; then input=-; fi

# afl-fuzz sets a crashing seed aside with a warning; every seed is run here
# first so that one is a failure.
for seed in "$root/fuzz/corpus/$target"/*; do
  if ! timeout 60 "$build/${target}_fuzz" "$seed" >/dev/null 2>"$build/seed.err"; then
    echo "$target: seed $seed fails:" >&2
    tail -n 30 "$build/seed.err" >&2
    exit 1
  fi
done
mkdir -p "$work"
echo "fuzzing $target for ${seconds}s in $work"
afl-fuzz -i "$input" -o "$work" -x "$root/fuzz/$target.dict" -t 5000 -V "$seconds" \
  -- "$build/${target}_fuzz" >"$work/afl.log" 2>&1 || {
  echo "afl-fuzz failed:" >&2
  tail -n 30 "$work/afl.log" >&2
  exit 1
}

stats=$work/default/fuzzer_stats
grep -E '^(run_time|execs_done|execs_per_sec|corpus_count|bitmap_cvg|edges_found|total_edges|saved_crashes|saved_hangs|stability)\b' \
  "$stats" | sed 's/^/  /'
crashes=$(find "$work/default/crashes" -type f -name 'id:*' 2>/dev/null | wc -l)
hangs=$(find "$work/default/hangs" -type f -name 'id:*' 2>/dev/null | wc -l)
failed=0
if [ "$crashes" -ne 0 ]; then
  echo "$target: $crashes crashing input(s) in $work/default/crashes" >&2
  for c in "$work"/default/crashes/id:*; do
    echo "--- $c" >&2
    ASAN_OPTIONS=${ASAN_OPTIONS/symbolize=0/symbolize=1} "$build/${target}_fuzz" "$c" 2>&1 | tail -n 30 >&2 || true
  done
  failed=1
fi
# A run that timed out under a busy fuzzer is tried again with time to spare;
# only one that still does not end is a finding (the loop must end when the
# stream does).
for h in "$work"/default/hangs/id:*; do
  [ -e "$h" ] || continue
  if ! timeout 60 "$build/${target}_fuzz" "$h" >/dev/null 2>&1; then
    echo "$target: $h does not end, or fails, when run on its own" >&2
    failed=1
  fi
done
[ "$failed" -eq 0 ] || exit 1
echo "$target: no crash ($hangs slow input(s) all ended when run again)"

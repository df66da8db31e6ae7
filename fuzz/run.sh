#!/usr/bin/env bash
# Runs one libFuzzer target for a given time on a copy of its checked-in seed
# corpus, prints libFuzzer's summary, and fails if it found anything (a
# sanitizer report, a leak, a time-out or one of the target's own checks).
# Usage: fuzz/run.sh TARGET SECONDS [WORK_DIR]
#   TARGET   connection, capabilities, cli, trace_line or trace_dump
#   WORK_DIR where the corpus grows and findings are saved (default: a fresh
#            directory under /tmp); a corpus already there is fuzzed further.
# Builds the targets first (fuzz/build.sh); BUILD_DIR overrides where, and
# FUZZ_TIMEOUT the seconds one input may take (default 25).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
target=${1:?target: connection, capabilities, cli, trace_line, trace_dump or script}
seconds=${2:?seconds}
work=${3:-$(mktemp -d "/tmp/zephon-fuzz-$target.XXXXXX")}
build=${BUILD_DIR:-$root/build/fuzz}

case $target in connection | capabilities | cli | trace_line | trace_dump | script) ;;
  *) echo "unknown target $target" >&2; exit 2 ;;
esac
"$root/tools/install-deps.sh" clang-19 libclang-rt-19-dev
"$root/fuzz/build.sh" "$build" >/dev/null

mkdir -p "$work/corpus"
# Seeds already in a corpus that is fuzzed further are left as they are.
for seed in "$root/fuzz/corpus/$target"/*; do
  [ -e "$work/corpus/${seed##*/}" ] || cp "$seed" "$work/corpus/"
done
options=(-max_total_time="$seconds" -timeout="${FUZZ_TIMEOUT:-25}" -print_final_stats=1
         -artifact_prefix="$work/")
if [ -f "$root/fuzz/$target.dict" ]; then options+=(-dict="$root/fuzz/$target.dict"); fi
# Leaks are findings, and UndefinedBehaviorSanitizer's reports show where.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

echo "fuzzing $target for ${seconds}s in $work"
status=0
"$build/fuzz/${target}_fuzz" "${options[@]}" "$work/corpus" >"$work/fuzz.log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
  echo "$target: finding (libFuzzer exit status $status):" >&2
  { grep -v -E '^#[0-9]+' "$work/fuzz.log" || true; } | tail -n 60 >&2
  for artifact in "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*; do
    [ -e "$artifact" ] && echo "input saved as $artifact" >&2
  done
  exit 1
fi
# The last status line (executions, cov: edges, ft: features, corp: corpus
# entries/bytes, exec/s) and the final statistics.
grep -E '^#[0-9]+[[:space:]]+DONE' "$work/fuzz.log" | sed 's/^/  /'
grep -E '^(Done [0-9]+ runs|stat::)' "$work/fuzz.log" | sed 's/^/  /'
echo "$target: no finding; corpus of $(find "$work/corpus" -type f | wc -l) inputs in $work/corpus"

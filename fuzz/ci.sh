#!/usr/bin/env bash
# CI's fuzz step: every fuzz target for a short, bounded time on top of the
# checked-in seed corpus. Runs them all, then fails if any found something.
# FUZZ_SECONDS sets the time per target (default 30).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/zephon-fuzz-ci.XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=()
for target in connection capabilities cli trace_line trace_dump script; do
  "$root/fuzz/run.sh" "$target" "${FUZZ_SECONDS:-30}" "$work/$target" || failed+=("$target")
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzzing found something in: ${failed[*]}" >&2
  exit 1
fi

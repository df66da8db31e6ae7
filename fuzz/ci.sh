#!/usr/bin/env bash
# CI's fuzz step: every fuzz target for a short, bounded time on top of the
# checked-in seed corpus. Fails on any crash, sanitizer report or leak.
# FUZZ_SECONDS sets the time per target (default 25).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /tmp/zephon-fuzz-ci.XXXXXX)
trap 'rm -rf "$work"' EXIT
for target in connection capabilities; do
  "$root/fuzz/run.sh" "$target" "${FUZZ_SECONDS:-25}" "$work/$target"
done

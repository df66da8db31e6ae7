#!/usr/bin/env bash
# Configures and builds the libFuzzer targets with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, in a build directory of their own.
# Usage: fuzz/build.sh [BUILD_DIR]   (default: build/fuzz at the top of the repo)
# Leaves BUILD_DIR/fuzz/TARGET_fuzz for each target. FUZZ_CXX names the
# compiler (default clang++-19), FUZZ_JOBS the parallel jobs (default 1).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/fuzz}
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S "$root" -B "$out" -DCMAKE_CXX_COMPILER="${FUZZ_CXX:-clang++-19}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZEPHON_FUZZ=ON -DZEPHON_TESTS=OFF -DZEPHON_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build "$out" -j"${FUZZ_JOBS:-1}" --target fuzz_targets

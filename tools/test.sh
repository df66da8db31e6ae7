#!/usr/bin/env bash
# Builds zephon four ways and runs every test in each: g++ Release (what a
# packager builds), g++ RelWithDebInfo, clang-19 against the same libstdc++,
# and g++ Debug with AddressSanitizer and UndefinedBehaviorSanitizer. Every
# build treats warnings as errors.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/install-deps.sh"
jobs=$(nproc)

run_build() {
  local dir=$1; shift
  echo "== $dir"
  cmake -S "$root" -B "$dir" -DZEPHON_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300
}

run_build "$root/build/gcc-release" -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Release
run_build "$root/build/release" -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_build "$root/build/clang" -DCMAKE_CXX_COMPILER=clang++-19 -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_build "$root/build/sanitize" -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Debug -DZEPHON_SANITIZE=ON \
  -DZEPHON_BENCH=OFF

#!/usr/bin/env bash
# Builds zephon and runs every test, with warnings as errors.
#
#   tools/test.sh         one build (g++, RelWithDebInfo: the default build
#                         type) and every test in it: the answer a change
#                         needs, in minutes
#   tools/test.sh --all   four builds, every test in each: g++ Release (what a
#                         packager builds), g++ RelWithDebInfo, clang-19 against
#                         the same libstdc++, and g++ Debug with AddressSanitizer
#                         and UndefinedBehaviorSanitizer; what CI runs
#
# JOBS sets the parallel jobs of builds and tests (default: the CPUs).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-$(nproc)}

case ${1:-} in
  "") all=0 ;;
  --all) all=1 ;;
  *) echo "usage: tools/test.sh [--all]" >&2; exit 2 ;;
esac

"$root/tools/install-deps.sh"

run_build() {
  local dir=$1; shift
  echo "== $dir"
  cmake -S "$root" -B "$dir" -DZEPHON_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300
}

# The one build is also the matrix's second, so --all after it rebuilds
# nothing there.
if [ "$all" = 0 ]; then
  run_build "$root/build/release" -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
  exit 0
fi

run_build "$root/build/gcc-release" -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Release
run_build "$root/build/release" -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_build "$root/build/clang" -DCMAKE_CXX_COMPILER=clang++-19 -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_build "$root/build/sanitize" -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Debug -DZEPHON_SANITIZE=ON \
  -DZEPHON_BENCH=OFF

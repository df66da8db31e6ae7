#!/usr/bin/env bash
# Replays corpora through a fuzz target built with clang's source-based
# coverage, and prints the line and branch coverage of each of the project's
# source files that the target links.
# Usage: fuzz/coverage.sh TARGET CORPUS_DIR...
#   TARGET connection, capabilities, cli, trace_line or trace_dump
# BUILD_DIR overrides where the coverage build goes (default build/fuzz-coverage).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
target=${1:?target: connection, capabilities, cli, trace_line or trace_dump}
shift
[ $# -gt 0 ] || { echo "no corpus given" >&2; exit 2; }
build=${BUILD_DIR:-$root/build/fuzz-coverage}

"$root/tools/install-deps.sh" clang-19 libclang-rt-19-dev llvm-19
coverage=(-fprofile-instr-generate -fcoverage-mapping)
cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++-19 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZEPHON_FUZZ=ON -DZEPHON_TESTS=OFF -DZEPHON_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="${coverage[*]}" -DCMAKE_EXE_LINKER_FLAGS="${coverage[*]}" >/dev/null
cmake --build "$build" -j"${FUZZ_JOBS:-1}" --target "${target}_fuzz" >/dev/null

profiles=$build/profiles/$target
rm -rf "$profiles"
mkdir -p "$profiles"
# -runs=0: run every input of the corpora once, and do no fuzzing.
LLVM_PROFILE_FILE="$profiles/%p.profraw" "$build/fuzz/${target}_fuzz" -runs=0 "$@" >"$profiles/replay.log" 2>&1 || {
  echo "an input fails; see $profiles/replay.log" >&2
  exit 1
}
llvm-profdata-19 merge -sparse "$profiles"/*.profraw -o "$profiles/merged.profdata"
# The targets' own code and the system headers are left out of the figures.
cd "$root"
llvm-cov-19 report "$build/fuzz/${target}_fuzz" -instr-profile="$profiles/merged.profdata" \
  -ignore-filename-regex='(^/usr/|fuzz/)' -show-region-summary=false -show-instantiation-summary=false

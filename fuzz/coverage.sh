#!/usr/bin/env bash
# Replays a corpus through a fuzz target built for gcov, and prints the line
# coverage of each of the project's source files that the corpus reaches.
# Usage: fuzz/coverage.sh TARGET CORPUS_DIR... (TARGET: connection or capabilities)
# BUILD_DIR overrides where (default: build-fuzz/coverage).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
target=${1:?target: connection or capabilities}
shift
out=${BUILD_DIR:-$root/build-fuzz/coverage}/$target
rm -rf "$out"
mkdir -p "$out"

flags=(-std=c++23 -O0 -g --coverage -I"$root/vfio_user/include" -I"$root/vfio_user/src" -I"$root/src")
sources=("$root"/vfio_user/src/*.cpp)
for s in "$root"/src/*.cpp; do
  [ "$(basename "$s")" = main.cpp ] || sources+=("$s")
done
sources+=("$root/fuzz/${target}_fuzz.cpp" "$root/fuzz/fuzz_input.cpp")
[ "$target" = connection ] && sources+=("$root/fuzz/connection_peer.cpp")

objects=()
for s in "${sources[@]}"; do
  rel=${s#"$root"/}
  o="$out/${rel//\//_}.o"
  g++ "${flags[@]}" -c "$s" -o "$o"
  objects+=("$o")
done
g++ "${flags[@]}" "${objects[@]}" -lfmt -lpthread -o "$out/${target}_fuzz"

count=0
for dir in "$@"; do
  for f in "$dir"/*; do
    [ -f "$f" ] || continue
    timeout 60 "$out/${target}_fuzz" "$f" >/dev/null 2>&1 || true
    count=$((count + 1))
  done
done
echo "$target: $count inputs replayed"

cd "$out"
total=0
covered=0
for s in "${sources[@]}"; do
  case $s in */fuzz/*) continue ;; esac
  rel=${s#"$root"/}
  summary=$(gcov -n -o "$out/${rel//\//_}.o" "$s" 2>/dev/null | grep -A1 -F "File '$s'" |
            sed -n 's/^Lines executed:\(.*\)$/\1/p' | head -1)
  [ -n "$summary" ] || continue
  pct=${summary%%%*}
  # Files the target never enters (the command line, the listening socket)
  # are left out of the figures.
  [ "$pct" != "0.00" ] || continue
  lines=${summary##* of }
  printf '  %-40s %6s%% of %s lines\n' "${s#"$root"/}" "$pct" "$lines"
  total=$((total + lines))
  covered=$(awk -v t="$covered" -v p="$pct" -v n="$lines" 'BEGIN { printf "%d", t + p * n / 100 + 0.5 }')
done
awk -v c="$covered" -v t="$total" 'BEGIN { printf "  total: %d of %d lines (%.1f%%)\n", c, t, 100 * c / t }'

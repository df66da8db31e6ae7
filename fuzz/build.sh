#!/usr/bin/env bash
# Builds the fuzz targets with AFL++'s GCC instrumentation, AddressSanitizer
# and UndefinedBehaviorSanitizer, apart from the normal CMake build.
# Usage: fuzz/build.sh [BUILD_DIR]   (default: build-fuzz at the top of the repo)
# Leaves BUILD_DIR/connection_fuzz and BUILD_DIR/capabilities_fuzz.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build-fuzz}
mkdir -p "$out/obj"

# Classic afl-g++ rewrites the assembly that g++ itself emits, so the code can
# keep using g++ 12's <expected>; Debian's GCC plugin for afl++ refuses this
# g++ build.
export AFL_QUIET=1
cxx=${AFL_CXX_WRAPPER:-afl-g++}
# g++ 12 reports std::variant moves as maybe-uninitialized once the sanitizers
# and -O1 meet; the normal builds keep the warning.
flags=(-std=c++23 -O1 -g -Wall -Wextra -Werror -Wno-maybe-uninitialized
       -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
       -I"$root/vfio_user/include" -I"$root/vfio_user/src" -I"$root/src")

sources=("$root"/vfio_user/src/*.cpp)
for s in "$root"/src/*.cpp; do
  [ "$(basename "$s")" = main.cpp ] || sources+=("$s")
done

objects=()
peer_objects=()
support=("$root"/fuzz/fuzz_input.cpp "$root"/fuzz/*_peer.cpp)
for s in "${sources[@]}" "$root"/fuzz/*_fuzz.cpp "${support[@]}"; do
  rel=${s#"$root"/}
  o="$out/obj/${rel//\//_}.o"
  # Rebuilt when the source or any header of the project is newer.
  if [ ! -f "$o" ] || [ -n "$(find "$s" "$root/src" "$root/vfio_user" "$root/fuzz" -name '*.h' -newer "$o" -o -samefile "$s" -newer "$o" | head -1)" ]; then
    echo "compile $rel"
    # The fuzz targets' own input reading and client side are not what is
    # being explored.
    case $s in *_peer.cpp | */fuzz_input.cpp) compiler=g++ ;; *) compiler=$cxx ;; esac
    "$compiler" "${flags[@]}" -c "$s" -o "$o"
  fi
  case $s in
    *_fuzz.cpp) ;;
    */fuzz_input.cpp) input_object=$o ;;
    *_peer.cpp) peer_objects+=("$o") ;;
    *) objects+=("$o") ;;
  esac
done

for target in connection_fuzz capabilities_fuzz; do
  echo "link $target"
  extra=("$input_object")
  [ "$target" = connection_fuzz ] && extra+=("${peer_objects[@]}")
  "$cxx" "${flags[@]}" "$out/obj/fuzz_$target.cpp.o" "${extra[@]}" "${objects[@]}" -lfmt -lpthread -o "$out/$target"
done

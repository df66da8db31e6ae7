#!/usr/bin/env bash
# Builds zephon, serves a small sample ROM, drives the device with
# zephon-probe, and shows what each side recorded: the probe's view, the
# register log and the register dump.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/demo"
deadline_s=10

step() { printf '\n==> %s\n' "$*"; }
fail() { printf 'demo: %s\n' "$*" >&2; exit 1; }

step "Installing build dependencies"
"$root/tools/install-deps.sh"

step "Configuring and building in $build"
cmake -S "$root" -B "$build" -DZEPHON_TESTS=OFF -DZEPHON_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
zephon="$build/src/zephon"
probe="$build/tools/probe/zephon-probe"
[ -x "$zephon" ] || fail "no zephon binary at $zephon"
[ -x "$probe" ] || fail "no zephon-probe binary at $probe"

work=$(mktemp -d "${TMPDIR:-/tmp}/zephon-demo.XXXXXX")
zephon_pid=
cleanup() {
  # Only the server this script started is stopped, and only if it is
  # still running because something went wrong.
  if [ -n "$zephon_pid" ] && kill -0 "$zephon_pid" 2>/dev/null; then
    kill "$zephon_pid" 2>/dev/null || true
    wait "$zephon_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

sock="$work/zephon.sock"
rom="$work/sample-rom.bin"
dump="$work/dump.bin"
log="$work/zephon.log"

step "Making a 4 KiB sample ROM (55 AA signature, then a byte ramp)"
python3 - "$rom" <<'PY'
import sys
data = bytes([0x55, 0xAA]) + bytes(i & 0xFF for i in range(2, 4096))
open(sys.argv[1], "wb").write(data)
PY
od -A x -t x1 -N 16 "$rom"

step "Starting: zephon $sock $rom > dump.bin 2> zephon.log"
NO_COLOR=1 "$zephon" "$sock" "$rom" >"$dump" 2>"$log" &
zephon_pid=$!

end=$((SECONDS + deadline_s))
until [ -S "$sock" ]; do
  kill -0 "$zephon_pid" 2>/dev/null || { cat "$log" >&2; fail "zephon exited before creating its socket"; }
  [ $SECONDS -lt $end ] || fail "no socket at $sock after ${deadline_s}s"
  sleep 0.05
done

step "Probing (one connection; the reset clears what was written before it)"
probe_status=0
timeout "$deadline_s" "$probe" "$sock" \
  info \
  write bar2 0x0 0xcafef00d \
  write bar2 0x10 0x12345678 \
  write bar2 0x3fffc 0x1 \
  read bar2 0x10 \
  reset \
  write bar2 0x20 0xdeadbeef \
  write-posted bar2 0x24 0x2 \
  read bar2 0x24 || probe_status=$?
[ "$probe_status" -eq 0 ] || fail "zephon-probe failed with status $probe_status"

step "Waiting for zephon to write its dump and exit"
end=$((SECONDS + deadline_s))
while kill -0 "$zephon_pid" 2>/dev/null; do
  [ $SECONDS -lt $end ] || fail "zephon still running ${deadline_s}s after the probe disconnected"
  sleep 0.05
done
zephon_status=0
wait "$zephon_pid" || zephon_status=$?
zephon_pid=
[ "$zephon_status" -eq 0 ] || { cat "$log" >&2; fail "zephon exited with status $zephon_status"; }
[ ! -e "$sock" ] || fail "zephon left its socket behind"

step "zephon's log (standard error)"
cat "$log"

step "The register dump (standard output)"
size=$(stat -c %s "$dump")
echo "dump.bin: $size bytes"
[ "$size" -eq 262144 ] || fail "expected a 262144-byte dump"
python3 - "$dump" <<'PY'
import struct, sys
regs = struct.unpack("<65536I", open(sys.argv[1], "rb").read())
nonzero = [(i, v) for i, v in enumerate(regs) if v]
print(f"{len(nonzero)} non-zero register(s) of {len(regs)}:")
for i, v in nonzero:
    print(f"  regs[{i:#06x}]  offset {4 * i:#07x}  = {v:#010x}")
PY

step "Done: zephon exited with status 0"

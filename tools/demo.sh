#!/usr/bin/env bash
# Builds zephon, serves a video BIOS made by zephon-rom, drives the device with
# zephon-probe, and shows what each side recorded: the probe's view, the
# register log and the register dump. Then the same session once more with a
# device script (examples/status-ready.lua): what the script changed in the
# probe's view and the log, and zephon-trace's sequence of that run with
# register names (examples/demo-registers.csv).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/demo"
deadline_s=10
script="$root/examples/status-ready.lua"
names="$root/examples/demo-registers.csv"

step() { printf '\n==> %s\n' "$*"; }
fail() { printf 'demo: %s\n' "$*" >&2; exit 1; }

# --- The ROM image ----------------------------------------------------------
# Everything the demo does to make the ROM zephon serves is here: make_rom
# writes the image to the path it is given and shows its first bytes.
rom_description="a video BIOS for the device (zephon-rom build --video-bios)"
make_rom() {
  "$romtool" build --video-bios --size 40K -o "$1"
  "$romtool" inspect "$1" >"$1.inspect"
  head -n 14 "$1.inspect"
}
# -----------------------------------------------------------------------------

step "Installing build dependencies"
"$root/tools/install-deps.sh"

step "Configuring and building in $build"
cmake -S "$root" -B "$build" -DZEPHON_TESTS=OFF -DZEPHON_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
zephon="$build/src/zephon"
probe="$build/tools/probe/zephon-probe"
trace="$build/tools/trace/zephon-trace"
romtool="$build/tools/rom/zephon-rom"
for binary in "$zephon" "$probe" "$trace" "$romtool"; do
  [ -x "$binary" ] || fail "no binary at $binary"
done

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
rom="$work/vbios.rom"

step "Making $rom_description"
make_rom "$rom"

# One connection: the reset clears what was written before it; then the
# "driver" starts an engine (ENGINE_CONTROL) and polls its status register
# (ENGINE_STATUS, offset 0x40) seven times for bit 0.
session=(
  info
  write bar2 0x0 0xcafef00d
  write bar2 0x10 0x12345678
  write bar2 0x3fffc 0x1
  read bar2 0x10
  reset
  write bar2 0x20 0xdeadbeef
  write-posted bar2 0x24 0x2
  read bar2 0x24
  write bar2 0x44 0x1
)
for _ in 1 2 3 4 5 6 7; do session+=(read bar2 0x40); done

# run_session NAME [VAR=VALUE...]: serves the session once, zephon's
# environment extended by the assignments; leaves $work/NAME.probe (the
# probe's output), NAME.log (standard error) and NAME.dump (standard output).
run_session() {
  local name=$1; shift
  local log="$work/$name.log" dump="$work/$name.dump"
  env NO_COLOR=1 "$@" "$zephon" "$sock" "$rom" >"$dump" 2>"$log" &
  zephon_pid=$!

  local end=$((SECONDS + deadline_s))
  until [ -S "$sock" ]; do
    kill -0 "$zephon_pid" 2>/dev/null || { cat "$log" >&2; fail "zephon exited before creating its socket"; }
    [ $SECONDS -lt $end ] || fail "no socket at $sock after ${deadline_s}s"
    sleep 0.05
  done

  local probe_status=0
  timeout "$deadline_s" "$probe" "$sock" "${session[@]}" >"$work/$name.probe" || probe_status=$?
  [ "$probe_status" -eq 0 ] || { cat "$work/$name.probe"; fail "zephon-probe failed with status $probe_status"; }

  end=$((SECONDS + deadline_s))
  while kill -0 "$zephon_pid" 2>/dev/null; do
    [ $SECONDS -lt $end ] || fail "zephon still running ${deadline_s}s after the probe disconnected"
    sleep 0.05
  done
  local zephon_status=0
  wait "$zephon_pid" || zephon_status=$?
  zephon_pid=
  [ "$zephon_status" -eq 0 ] || { cat "$log" >&2; fail "zephon exited with status $zephon_status"; }
  [ ! -e "$sock" ] || fail "zephon left its socket behind"
  [ "$(stat -c %s "$dump")" -eq 262144 ] || fail "expected a 262144-byte dump"
}

# Prints the lines of file B that file A does not have in the same place.
added_lines() { diff --changed-group-format='%>' --unchanged-group-format='' "$1" "$2" || true; }
# Prints a log without its timestamps, so two runs compare line by line.
untimed() { sed -E 's/^[^ ]+ //' "$1"; }

step "Starting zephon $sock $rom > dump.bin 2> zephon.log, and probing"
run_session plain
cat "$work/plain.probe"

step "zephon's log (standard error)"
cat "$work/plain.log"

step "The register dump (standard output)"
echo "dump.bin: $(stat -c %s "$work/plain.dump") bytes"
python3 - "$work/plain.dump" <<'PY'
import struct, sys
regs = struct.unpack("<65536I", open(sys.argv[1], "rb").read())
nonzero = [(i, v) for i, v in enumerate(regs) if v]
print(f"{len(nonzero)} non-zero register(s) of {len(regs)}:")
for i, v in nonzero:
    print(f"  regs[{i:#06x}]  offset {4 * i:#07x}  = {v:#010x}")
PY
echo "ENGINE_STATUS never had bit 0 set: a driver would still be polling."

step "The same session with a device script: ZEPHON_SCRIPT=${script#"$root"/}"
grep -v -e '^ *--' -e '^$' "$script"
run_session scripted ZEPHON_SCRIPT="$script"

step "What the probe saw differently (a scripted device also offers interrupts)"
added_lines "$work/plain.probe" "$work/scripted.probe"

step "Log lines of the scripted run that the plain run does not have"
added_lines <(untimed "$work/plain.log") <(untimed "$work/scripted.log")

step "zephon-trace sequence --names=${names#"$root"/} of the scripted run"
"$trace" sequence --names="$names" "$work/scripted.log"

step "Done: zephon exited with status 0 both times"

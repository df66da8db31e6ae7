#!/usr/bin/env bash
# Counts the system calls zephon (and, beside it, the reference server and
# the framed reference) makes per request of each kind, with strace -c.
#
#   bench/count_syscalls.sh BUILD_DIR [REQUESTS]
#
# Each server runs under strace twice per kind: once for a connection with
# REQUESTS requests and once for the same connection with none (both end with
# one read, which settles posted writes). The difference, divided by
# REQUESTS, is what one request costs; start-up, handshake, dump and exit
# cancel out. zephon logs to a file, as a traced driver's log would.
set -euo pipefail

build=${1:?usage: count_syscalls.sh BUILD_DIR [REQUESTS]}
requests=${2:-2000}
zephon=$build/src/zephon
reference=$build/bench/reference_server
bench=$build/bench/zephon_bench
command -v strace >/dev/null || { echo "count_syscalls.sh: strace is not installed (tools/install-deps.sh)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/zephon-syscalls.XXXXXX")
strace_pid=
# Only the strace this script started is ever signalled; killed, it takes the
# server it started down with it.
stop_strace() {
  if [ -n "$strace_pid" ]; then kill -KILL "$strace_pid" 2>/dev/null || true; wait "$strace_pid" 2>/dev/null || true; fi
  strace_pid=
}
# Returns once strace (and its server) ended, or fails after 60 s.
wait_strace() {
  local i
  for ((i = 0; i < 6000; i++)); do
    if ! kill -0 "$strace_pid" 2>/dev/null; then wait "$strace_pid"; strace_pid=; return 0; fi
    sleep 0.01
  done
  stop_strace
  return 1
}
cleanup() {
  stop_strace
  rm -rf "$work"
}
trap cleanup EXIT
python3 -c "import sys; sys.stdout.buffer.write(bytes((i * 7 + 1) & 255 for i in range(65536)))" >"$work/rom.bin"

# run SERVER KIND COUNT: writes strace's summary to $work/SERVER.KIND.COUNT
run() {
  local server=$1 kind=$2 count=$3 sock=$work/s.sock handshake=()
  local summary=$work/$server.$kind.$count
  rm -f "$sock"
  if [ "$server" = zephon ]; then
    NO_COLOR=1 strace -f -c -o "$summary" "$zephon" "$sock" "$work/rom.bin" >/dev/null 2>"$work/zephon.log" &
    handshake=(--handshake)
  elif [ "$server" = framed ]; then
    strace -f -c -o "$summary" "$reference" "$sock" --framed 2>"$work/framed.log" &
  else
    strace -f -c -o "$summary" "$reference" "$sock" &
  fi
  strace_pid=$!
  # The driver bounds its own waits (connect, every reply, the whole loop).
  if ! "$bench" --drive "$kind" --socket "$sock" --count "$count" "${handshake[@]}" >/dev/null; then
    echo "count_syscalls.sh: $kind against $server failed" >&2
    exit 1
  fi
  if ! wait_strace; then
    echo "count_syscalls.sh: $server did not exit after $kind" >&2
    exit 1
  fi
}

# per_request A B N: "name=x.xx ..." for each syscall whose count differs.
per_request() {
  awk -v n="$3" '
    function load(file, into,   line, f) {
      while ((getline line < file) > 0) {
        split(line, f, " ")
        # Data rows: % time, seconds, usecs/call, calls, [errors,] name.
        if (f[1] ~ /^[0-9.]+$/ && f[4] ~ /^[0-9]+$/ && line !~ /total$/) into[f[length(f)]] = f[4]
      }
    }
    BEGIN {
      load(ARGV[1], a); load(ARGV[2], b)
      for (k in b) names[k] = 1
      for (k in a) names[k] = 1
      total = 0; out = ""
      for (k in names) {
        if (b[k] == a[k]) continue
        d = (b[k] - a[k]) / n
        out = out sprintf(d < 0.1 && d > -0.1 ? "%s %.3f, " : "%s %.2f, ", k, d); total += d
      }
      sub(/, $/, "", out)
      if (out == "") out = "none (all came in the final reads)"
      printf (total < 0.1 ? "%.3f|%s\n" : "%.2f|%s\n"), total, out
      exit
    }' "$1" "$2"
}

kinds=(config-read bar2-read bar2-write bar2-posted-write bar0-read rom-read)
declare -A label=([config-read]="config-space read, 4 B" [bar2-read]="BAR 2 read, 4 B" [bar2-write]="BAR 2 write, 4 B"
                  [bar2-posted-write]="posted BAR 2 write" [bar0-read]="BAR 0 read, 4 B" [rom-read]="ROM read, 64 KiB")
declare -A target=([config-read]=2 [bar2-read]=3 [bar2-write]=3 [bar2-posted-write]=2 [bar0-read]=- [rom-read]=-)

echo "System calls per request, server side (strace -c, $requests requests minus none, zephon logging to a file):"
echo
echo "| kind | zephon | target | met? | zephon's calls per request | reference | reference's calls per request | framed ref |"
echo "|---|---:|---:|---|---|---:|---|---:|"
all_met=1
for kind in "${kinds[@]}"; do
  for server in zephon reference framed; do
    run "$server" "$kind" 0
    run "$server" "$kind" "$requests"
  done
  IFS='|' read -r z_total z_detail < <(per_request "$work/zephon.$kind.0" "$work/zephon.$kind.$requests" "$requests")
  IFS='|' read -r r_total r_detail < <(per_request "$work/reference.$kind.0" "$work/reference.$kind.$requests" "$requests")
  IFS='|' read -r f_total f_detail < <(per_request "$work/framed.$kind.0" "$work/framed.$kind.$requests" "$requests")
  t=${target[$kind]} met=-
  if [ "$t" != - ]; then
    if awk -v z="$z_total" -v t="$t" 'BEGIN { exit !(z <= t + 0.005) }'; then met=yes; else met=NO; all_met=0; fi
  fi
  echo "| ${label[$kind]} | $z_total | $t | $met | $z_detail | $r_total | $r_detail | $f_total |"
done
echo
[ "$all_met" = 1 ]

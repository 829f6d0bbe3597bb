#!/bin/bash
# Soak and fault test of the event daemon: runs orvikevtd on 127.0.0.1 with
# real TLS for a fixed time under a mix of clients (tests/soak/soak_clients.py:
# steady streams, clients that vanish mid-record, handshakes that never end,
# a burst up to the daemon's descriptor limit, the project's own load
# generator) while the verifying module (tests/soak/verify_module.cc) is slow
# for a while, so that the pool cap pushes back on the clients. The shipped
# counting and event-log modules (to /dev/null) come after it. Then checks:
#   - every complete record a client finished writing before it closed
#     reached the module once and in order (per connection); nothing arrived
#     twice, out of order or corrupted; the last partly filled queue is
#     pushed through with queuesize + 1 further records; the counting
#     module counted as many;
#   - peak memory (VmHWM) stayed under MAXQUEUES x QUEUESIZE x 408 bytes plus
#     the allowance below;
#   - the descriptors the daemon holds after the clients are gone are as
#     many as before they came;
#   - SIGTERM, given while a bench run pushes against the slow module (pool
#     at its cap, intake paused), still ends it within a second with
#     "Caught signal 15" and "Server shutdown." and status 0, and no module
#     is called while the process exits (the verifying module's exit probe);
#   - with --drain, that SIGTERM stops it in order instead: within the drain
#     time and a second, status 0, the log ends with "Caught signal 15",
#     "Drain complete: R events received since start, 0 not handed to the
#     modules." and "Server shutdown.", and the reports the verifying and
#     counting modules write at module_cleanup count exactly R records, none
#     twice: nothing the daemon had read is lost.
# Prints the figures and exits non-zero when a check fails.
#
# Cross builds: ORVIK_TEST_EMULATOR (e.g. "qemu-arm -L /") runs the daemon and
# the bench tool through the emulator; the Python clients stay native. Every
# time limit here and in the clients is multiplied by ORVIK_TIME_SCALE (1 by
# default). CTest sets both from the build (see tests/test_target.h). Under
# emulation the descriptors counted are the emulator's (the daemon's own plus
# a fixed few of the emulator), and the resident size is the emulator's
# (the daemon's memory, the emulator's and its translated code; the latter
# are in the size measured after start-up, see the allowance below).
#
# Memory allowance: the resident size right after "System ready." (code,
# libraries, TLS context, the initial queues) + the descriptor limit x 128 KiB
# (a connection's TLS session, its 64 KiB read buffer and its record
# buffer, at most one connection per descriptor) + 16 MiB for allocator
# arenas and caches. So a pool that grows beyond the cap fails the check.
#
# Usage: scripts/soak.sh [options]
#   --duration SECONDS   client phase (default 60; SOAK_SECONDS overrides)
#   --build-dir DIR      where the daemon, module and tools were built (build)
#   --daemon/--module/--bench/--count-module/--eventlog-module PATH
#                        explicit paths ('' leaves bench or a shipped module out)
#   --nofile N           the daemon's descriptor limit (default 128)
#   --queuesize N        QUEUESIZE (default 500)
#   --maxqueues N        MAXQUEUES (default 16, at least 10; 0, no cap, shows
#                        that the memory check fails when the pool grows)
#   --queueflush SECONDS QUEUEFLUSH; the last queue must then arrive by
#                        itself, without the push of queuesize + 1 records
#   --no-memory-check    report memory without checking it (sanitizer builds)
#   --keep               keep the temporary folder (log, report, samples)
#   --shutdown-only      no client mix: only SIGTERM under load (needs bench)
#   --drain SECONDS      SHUTDOWNDRAIN (default 0: the stop at once)
set -u

top=$(cd "$(dirname "$0")/.." && pwd)
duration=${SOAK_SECONDS:-60}
build_dir="$top/build"
daemon="" module="" bench="unset" count_module="unset" eventlog_module="unset"
nofile=128 queuesize=500 maxqueues=16 queueflush=0
memory_check=1 keep=0 shutdown_only=0 drain=0
emulator=${ORVIK_TEST_EMULATOR:-}
scale=${ORVIK_TIME_SCALE:-1}

while [ $# -gt 0 ]; do
  case "$1" in
    --duration) duration=${SOAK_SECONDS:-$2}; shift ;;
    --build-dir) build_dir=$2; shift ;;
    --daemon) daemon=$2; shift ;;
    --module) module=$2; shift ;;
    --bench) bench=$2; shift ;;
    --count-module) count_module=$2; shift ;;
    --eventlog-module) eventlog_module=$2; shift ;;
    --nofile) nofile=$2; shift ;;
    --queuesize) queuesize=$2; shift ;;
    --maxqueues) maxqueues=$2; shift ;;
    --queueflush) queueflush=$2; shift ;;
    --no-memory-check) memory_check=0 ;;
    --keep) keep=1 ;;
    --shutdown-only) shutdown_only=1 ;;
    --drain) drain=$2; shift ;;
    -h|--help) sed -n '2,/^set -u/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "soak: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
[ -n "$daemon" ] || daemon="$build_dir/src/orvikevtd/orvikevtd"
[ -n "$module" ] || module="$build_dir/tests/orvikevtd_soak_verify.so"
[ "$bench" != unset ] || bench="$build_dir/tools/orvikevt-bench"
[ "$count_module" != unset ] || count_module="$build_dir/modules/orvik_count.so"
[ "$eventlog_module" != unset ] || eventlog_module="$build_dir/modules/orvik_eventlog.so"
for file in "$daemon" "$module" ${bench:+"$bench"} ${count_module:+"$count_module"} \
  ${eventlog_module:+"$eventlog_module"}; do
  if [ ! -x "$file" ] && [ ! -f "$file" ]; then
    echo "soak: $file is missing (build first: cmake --build build)" >&2
    exit 2
  fi
done
case "$duration$nofile$queuesize$maxqueues$scale" in
  *[!0-9]*) echo "soak: numbers expected" >&2; exit 2 ;;
esac
case "$drain" in
  ''|*[!0-9.]*|*.*.*) echo "soak: --drain takes seconds" >&2; exit 2 ;;
esac
# The drain's bound in milliseconds: the drain time and a second.
drain_ms=$(awk -v s="$drain" 'BEGIN { printf "%d", s * 1000 }')
if [ "$maxqueues" -ne 0 ] && [ "$maxqueues" -lt 10 ]; then
  echo "soak: --maxqueues below the 10 initial queues" >&2
  exit 2
fi

[ "$scale" -ge 1 ] || { echo "soak: ORVIK_TIME_SCALE below 1" >&2; exit 2; }
# A time in seconds (may have decimals) multiplied by the scale.
scaled() { awk -v t="$1" -v s="$scale" 'BEGIN { print t * s }'; }

work=$(mktemp -d "${TMPDIR:-/tmp}/orvikevtd-soak.XXXXXX")
pid="" sampler="" loader=""
cleanup() {
  # Only the processes this script started, by their PIDs.
  for helper in "$sampler" "$loader"; do
    if [ -n "$helper" ]; then kill "$helper" 2>/dev/null; wait "$helper" 2>/dev/null; fi
  done
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  fi
  if [ "$keep" = 1 ]; then echo "soak: kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
  -keyout "$work/server.key" -out "$work/server.pem" -days 2 -subj /CN=localhost \
  -addext "subjectAltName=IP:127.0.0.1" 2>/dev/null || { echo "soak: openssl failed" >&2; exit 2; }
mkdir "$work/module"

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}

# Starts the daemon with its descriptor limit; 0 once "System ready." is
# logged, 1 when the port was taken (try another), 2 on any other failure.
start_daemon() {
  port=$(free_port)
  cat >"$work/orvikevtd.conf" <<CONF
PUBLICKEY $work/server.pem
PRIVATEKEY $work/server.key
EVENTPORT $port
QUEUESIZE $queuesize
MAXQUEUES $maxqueues
QUEUEFLUSH $queueflush
FLUSHLOG yes
MODULE $module $work/module
CONF
  # Without --drain the configuration has no drain line: the default stop.
  [ "$drain_ms" = 0 ] || echo "SHUTDOWNDRAIN $drain" >>"$work/orvikevtd.conf"
  # The shipped modules after it: every record goes through all in order.
  [ -z "$count_module" ] || echo "MODULE $count_module $work/count.txt" >>"$work/orvikevtd.conf"
  [ -z "$eventlog_module" ] || echo "MODULE $eventlog_module /dev/null" >>"$work/orvikevtd.conf"
  : >"$work/orvikevtd.log"
  (
    # Descriptors this shell inherited stay out of the daemon's count.
    for fd in $(ls /proc/$BASHPID/fd); do
      [ "$fd" -gt 2 ] && eval "exec $fd>&-"
    done
    # shellcheck disable=SC2086 # the emulator's words
    ulimit -n "$nofile" && exec $emulator "$daemon" -D -f "$work/orvikevtd.conf" -l "$work/orvikevtd.log"
  ) >"$work/stdout" 2>"$work/stderr" &
  pid=$!
  for _ in $(seq $((100 * scale))); do
    grep -q "System ready\.$" "$work/orvikevtd.log" && return 0
    if ! kill -0 "$pid" 2>/dev/null; then
      wait "$pid" 2>/dev/null
      pid=""
      grep -q "Failed to bind to port" "$work/orvikevtd.log" && return 1
      return 2
    fi
    sleep 0.1
  done
  return 2
}

started=2
for _ in 1 2 3; do
  start_daemon
  started=$?
  [ "$started" = 1 ] || break
done
if [ "$started" != 0 ]; then
  echo "soak: the daemon did not start:" >&2
  cat "$work/orvikevtd.log" "$work/stderr" >&2
  exit 1
fi

# After an orderly stop: the daemon's own count of the records it received
# against what the modules' final reports (written at module_cleanup) got.
check_drain() {
  local drained received report total
  drained=$(printf '%s\n' "$last_lines" | sed -n 2p)
  received=$(printf '%s\n' "$drained" |
    sed -n 's/^Drain complete: \([0-9]*\) events received since start, 0 not handed to the modules\.$/\1/p')
  if [ -z "$received" ] || [ "$(printf '%s\n' "$last_lines" | sed -n '1p;3p' | tr '\n' '|')" != \
    "Caught signal 15|Server shutdown.|" ]; then
    fail "log does not end with the drain's lines:"
    tail -4 "$log"
    return
  fi
  report="$work/module/report"
  total=$(sed -n 's/^total=//p' "$report")
  grep -qx "cleanup=1" "$report" || fail "the verifying module's cleanup did not write its report"
  [ "$total" = "$received" ] ||
    fail "the daemon received $received records, the verifying module got ${total:-none}"
  # No record twice, out of order, missing inside a stream or corrupted (a
  # stream's behind, skipped and corrupt columns). Only in the run without
  # the client mix, whose canary sends such records on purpose.
  local bad='$1 == "S" && $6 + $7 + $8 > 0'
  if [ "$shutdown_only" = 1 ] && [ -n "$(awk "$bad" "$report")" ]; then
    fail "records arrived twice, out of order, with gaps or corrupted: $(awk "$bad" "$report" | head -3)"
  fi
  if [ -n "$count_module" ]; then
    counted=$(sed -n 's/^count=//p' "$work/count.txt")
    [ "$counted" = "$received" ] ||
      fail "the daemon received $received records, the counting module counted ${counted:-none}"
  fi
  drain_figures=" $received records received, all handed over"
}

fd_count() { ls "/proc/$pid/fd" 2>/dev/null | wc -l; }
status_kb() { awk -v key="$1:" '$1 == key { print $2 }' "/proc/$pid/status" 2>/dev/null; }

# The module's report thread starts with the first record; let start-up settle.
sleep "$(scaled 0.5)"
fds_before=$(fd_count)
rss_ready_kb=$(status_kb VmRSS)
bound_kb=$((maxqueues * queuesize * 408 / 1024))
allowance_kb=$((rss_ready_kb + nofile * 128 + 16 * 1024))

log="$work/orvikevtd.log"
if [ "$shutdown_only" = 0 ]; then
  # Samples resident size and descriptors every 0.2 s while the daemon lives
  # (bounded by the longest the run can take).
  (
    end=$((SECONDS + duration + 300))
    while [ "$SECONDS" -lt "$end" ] && kill -0 "$pid" 2>/dev/null; do
      echo "$(status_kb VmRSS) $(fd_count)"
      sleep 0.2
    done
  ) >"$work/samples" &
  sampler=$!

  echo "soak: orvikevtd pid $pid on 127.0.0.1:$port for ${duration} s; QUEUESIZE $queuesize," \
    "MAXQUEUES $maxqueues, QUEUEFLUSH $queueflush, descriptor limit $nofile"
  started_at=$SECONDS
  timeout --kill-after=10 $((duration + 150 * scale)) python3 "$top/tests/soak/soak_clients.py" \
    --port "$port" --dir "$work/module" --ca "$work/server.pem" --duration "$duration" \
    --queuesize "$queuesize" --queueflush "$queueflush" --nofile "$nofile" --pid "$pid" \
    --log "$work/orvikevtd.log" ${bench:+--bench "$bench"} --time-scale "$scale" \
    ${emulator:+--emulator "$emulator"} | tee "$work/clients.out"
  clients_status=${PIPESTATUS[0]}
  [ "$clients_status" = 0 ] || fail "client checks (status $clients_status)"

  if ! kill -0 "$pid" 2>/dev/null; then
    fail "the daemon is gone"
    tail -20 "$work/orvikevtd.log" "$work/stderr"
    wait "$pid"
    echo "daemon status $?"
    keep=1
    pid=""
    exit 1
  fi

  # Descriptors: every client is gone; the daemon closes the last handshakes
  # within its timeout.
  fds_after=$(fd_count)
  for _ in $(seq $((150 * scale))); do
    [ "$fds_after" -le "$fds_before" ] && break
    sleep 0.1
    fds_after=$(fd_count)
  done
  if [ "$fds_after" -gt "$fds_before" ]; then
    fail "descriptors: $fds_before before the clients, $fds_after after"
    ls -l "/proc/$pid/fd"
  fi
  kill "$sampler" 2>/dev/null
  wait "$sampler" 2>/dev/null
  sampler=""
  fds_peak=$(awk 'BEGIN { m = 0 } $2 > m { m = $2 } END { print m }' "$work/samples")
  rss_peak_sampled_kb=$(awk 'BEGIN { m = 0 } $1 > m { m = $1 } END { print m }' "$work/samples")
  hwm_kb=$(status_kb VmHWM)
  rss_end_kb=$(status_kb VmRSS)
  # The kernel's counters are approximate: the higher of the peak it kept and
  # the peak sampled here counts.
  peak_kb=$((hwm_kb > rss_peak_sampled_kb ? hwm_kb : rss_peak_sampled_kb))
  if [ "$memory_check" = 1 ] && [ "$peak_kb" -gt $((bound_kb + allowance_kb)) ]; then
    fail "peak memory ${peak_kb} kB over the pool bound ${bound_kb} kB + allowance ${allowance_kb} kB"
  fi

  # The counting module saw the same records; its sequence check finds the
  # canary's duplicate and gap, nothing else.
  records=$(sed -n 's/^SOAK-CLIENTS records=\([0-9]*\).*/\1/p' "$work/clients.out")
  if [ -n "$count_module" ]; then
    counted=$(sed -n 's/^count=//p' "$work/count.txt")
    sequence_errors=$(sed -n 's/^sequence_errors=//p' "$work/count.txt")
    [ "$counted" = "$records" ] || fail "the counting module counted $counted records, not $records"
    [ "$sequence_errors" = 2 ] ||
      fail "the counting module found $sequence_errors sequence errors, not 2"
  fi

  count() { grep -c -- "$1" "$log"; }
  new_queues=$(count "Allocating a new inqueue!")
  accept_limit=$(count "comm_accept(): failed rc=2[34]")
  read_errors=$(count "openssl_comm_read(): rc=")
  modules_wanted=1
  [ -z "$count_module" ] || modules_wanted=$((modules_wanted + 1))
  [ -z "$eventlog_module" ] || modules_wanted=$((modules_wanted + 1))
  [ "$(count "Module loaded successfully.")" = "$modules_wanted" ] ||
    fail "not all $modules_wanted modules loaded"
  if [ "$maxqueues" -gt 0 ]; then
    if [ "$new_queues" -gt $((maxqueues - 10)) ]; then
      fail "$new_queues queues made beyond the 10 initial ones, cap $maxqueues"
    fi
    [ "$new_queues" -eq $((maxqueues - 10)) ] ||
      fail "the slow module did not bring the pool to its cap"
  fi
  [ "$accept_limit" -gt 0 ] || fail "the burst never reached the descriptor limit"
  for bad in "Enqueue failed" "Failed to allocate a new inqueue" "Module method returned" \
    "Failed to hand over" "Failed to return an empty queue" "calloc(): failed"; do
    if grep -q -- "$bad" "$log"; then fail "log: $(grep -m1 -- "$bad" "$log")"; fi
  done

fi

# SIGTERM under load: the module slow again and a bench run pushing, so the
# pool is at its cap and intake paused; the daemon must still end within a
# second with the two lines (the processing thread may log a mean time
# between them) and status 0. With a drain it must instead hand everything
# it holds over within the drain time (the module is slowed less, so that a
# full pool takes seconds, not minutes).
under_load=""
if [ "$shutdown_only" = 1 ] && [ -z "$bench" ]; then
  echo "soak: --shutdown-only needs orvikevt-bench" >&2
  exit 2
fi
if [ -n "$bench" ]; then
  if [ "$drain_ms" -gt 0 ]; then echo 200 >"$work/module/slow"; else echo 2000 >"$work/module/slow"; fi
  # shellcheck disable=SC2086 # the emulator's words
  $emulator "$bench" -k -H 127.0.0.1 -p "$port" -j 2 -n 1000000 -b 40 >"$work/bench-final.out" 2>&1 &
  loader=$!
  sleep "$(scaled 2)"
  under_load=" under load"
fi
# The second counts until "Server shutdown." is logged; a sanitizer's exit
# may take longer after that.
signalled_ns=$(date +%s%N)
kill -TERM "$pid"
term_ms=""
# The drain time is the daemon's own bound; only the slack is scaled.
for _ in $(seq $((500 * scale + drain_ms / 10))); do
  if [ -z "$term_ms" ] && grep -q "Server shutdown\.$" "$log"; then
    term_ms=$((($(date +%s%N) - signalled_ns) / 1000000))
  fi
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.01
done
exit_ms=$((($(date +%s%N) - signalled_ns) / 1000000))
if kill -0 "$pid" 2>/dev/null; then
  fail "SIGTERM did not end the daemon within $((drain_ms / 1000 + 5 * scale)) s"
  kill -KILL "$pid"
fi
[ -n "$term_ms" ] || term_ms=$exit_ms
[ "$term_ms" -le $((drain_ms + 1000 * scale)) ] || fail "SIGTERM acted on only after ${term_ms} ms"
wait "$pid"
exit_status=$?
pid=""
if [ -n "$loader" ]; then
  # Its connections end with the daemon; it stops by itself.
  for _ in $(seq $((100 * scale))); do kill -0 "$loader" 2>/dev/null || break; sleep 0.1; done
  kill "$loader" 2>/dev/null
  wait "$loader" 2>/dev/null
  loader=""
fi
[ "$exit_status" = 0 ] || fail "exit status $exit_status after SIGTERM"
if [ -e "$work/module/called-during-exit" ]; then
  fail "a module was called while the process exited after SIGTERM"
fi
last_lines=$(sed -n '/Caught signal 15$/,$p' "$log" | cut -d' ' -f3- |
  grep -v "Module processing avg")
if [ "$drain_ms" -gt 0 ]; then
  check_drain
elif [ "$last_lines" != "$(printf 'Caught signal 15\nServer shutdown.')" ]; then
  fail "log does not end with the shutdown lines:"
  tail -3 "$log"
fi

if [ "$shutdown_only" = 0 ]; then
  elapsed=$((SECONDS - started_at))
  rate=$((${records:-0} / (duration > 0 ? duration : 1)))
  connections=$(sed -n 's/.*Handled \([0-9]*\) connections so far.*/\1/p' "$log" | tail -1)
  checked=""
  [ "$memory_check" = 1 ] || checked=" (not checked)"
  echo "---- soak figures ----"
  echo "records handled by the module: ${records:-0} in ${elapsed} s" \
    "(${duration} s of clients, ${rate} records/s)"
  echo "connections accepted: ${connections:-0} or more (logged every hundred)"
  echo "queues made beyond the initial 10: $new_queues (cap $maxqueues);" \
    "accepts refused for lack of descriptors: $accept_limit; read errors logged: $read_errors"
  echo "memory: ready ${rss_ready_kb} kB, peak (VmHWM) ${hwm_kb} kB," \
    "peak sampled ${rss_peak_sampled_kb} kB, at the end ${rss_end_kb} kB"
  echo "        bound: pool ${bound_kb} kB + allowance ${allowance_kb} kB =" \
    "$((bound_kb + allowance_kb)) kB${checked}"
  echo "descriptors: before ${fds_before}, peak ${fds_peak}, after ${fds_after} (limit ${nofile})"
  echo "SIGTERM${under_load}: shut down after ${term_ms} ms, exited after ${exit_ms} ms," \
    "status ${exit_status};${drain_figures:-} log ends: $(echo "$last_lines" | tr '\n' '|')"
else
  echo "SIGTERM${under_load}: shut down after ${term_ms} ms, exited after ${exit_ms} ms," \
    "status ${exit_status};${drain_figures:-} log ends: $(echo "$last_lines" | tr '\n' '|')"
fi
if [ "$failures" -gt 0 ]; then
  echo "soak: $failures check(s) failed"
  keep=1
  exit 1
fi
echo "soak: passed"

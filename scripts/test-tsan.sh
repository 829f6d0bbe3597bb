#!/bin/sh
# Builds the ThreadSanitizer preset (build-tsan/) and runs the tests of the
# threaded parts under it: the comm layer, the daemon's unit tests (queue
# pool, processing thread, log) and its end-to-end tests (the real daemon,
# its processing thread and signal path, with TLS clients), the sink runtime
# and the modules on it (their writer threads), orvik_nats with the NATS
# library's threads against real servers, the acknowledged protocol, the
# client library's sender threads, and the whole delivery test.
#
#   scripts/test-tsan.sh [gtest arguments, e.g. --gtest_filter=DaemonSignals.*]
#
# Every process the tests start (the daemon, the tools) is instrumented too;
# all of them write their reports under build-tsan/tsan-reports/, and the
# script fails when any report was written, even by a process whose exit
# status a test does not look at.
set -eu
cd "$(dirname "$0")/.."

gtest_args=$*
tests="comm_loop_test comm_tls_test comm_plugin_test comm_client_io_test orvikevtd_unit_test
  orvikevtd_e2e_test orvikevtd_ack_e2e_test sink_test orvikevtd_modules_test nats_e2e_test
  orvikclient_library_test promise_e2e_test"
cmake --preset tsan >/dev/null
set --
for t in $tests; do set -- "$@" --target "$t"; done
cmake --build --preset tsan -j "${JOBS:-2}" "$@"

reports=$PWD/build-tsan/tsan-reports
rm -rf "$reports"
mkdir -p "$reports"
# halt_on_error=0: a test goes on after a report, so one run shows them all.
export TSAN_OPTIONS="log_path=$reports/tsan second_deadlock_stack=1 halt_on_error=0 ${TSAN_OPTIONS:-}"

status=0
start=$(date +%s)
cd build-tsan/tests
for t in $tests; do
  echo "=== $t"
  t_start=$(date +%s)
  # shellcheck disable=SC2086
  ./"$t" $gtest_args >"$reports/../$t.log" 2>&1 || { status=1; echo "$t FAILED"; }
  tail -n 3 "$reports/../$t.log"
  echo "($(($(date +%s) - t_start)) s)"
done
cd - >/dev/null
echo "ThreadSanitizer tests took $(($(date +%s) - start)) s"

if [ -n "$(ls -A "$reports")" ]; then
  echo "ThreadSanitizer reports:" >&2
  for report in "$reports"/*; do
    echo "== $report" >&2
    cat "$report" >&2
  done
  exit 1
fi
exit "$status"

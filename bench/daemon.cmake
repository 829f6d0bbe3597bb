# Event daemon end to end: a script (bench_daemon in the build's bench folder,
# run by scripts/bench.sh with the others) that drives orvikevt-bench against
# orvikevtd with the counting module, next to bench_comm's bare OpenSSL sink.
set(ORVIKEVTD_BIN $<TARGET_FILE:orvikevtd>)
set(COUNT_MODULE $<TARGET_FILE:orvik_count>)
set(ORVIKEVT_BENCH_BIN $<TARGET_FILE:orvikevt-bench>)
if(TARGET bench_comm)
  set(COMM_BENCH_BIN $<TARGET_FILE:bench_comm>)
else()
  set(COMM_BENCH_BIN "")
endif()
orvik_add_bench_script(bench_daemon ${CMAKE_CURRENT_SOURCE_DIR}/daemon_bench.sh.in)
add_custom_target(bench_daemon_programs ALL DEPENDS orvikevtd orvik_count orvikevt-bench)

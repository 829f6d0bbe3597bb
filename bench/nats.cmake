# orvik_nats end to end: a script (bench_nats, run by scripts/bench.sh) that
# drives orvikevt-bench through orvikevtd into a JetStream stream of 1 and 3
# replicas, next to a bare NATS client loop publishing the same payloads to a
# stream of the same kind, in the same run.
if(TARGET orvik_nats AND EXISTS /usr/sbin/nats-server)
  add_executable(nats_bench ${CMAKE_CURRENT_SOURCE_DIR}/nats_bench.cc)
  target_link_libraries(nats_bench PRIVATE orvikevt_client PkgConfig::NATS)
  orvik_warnings(nats_bench)
  set(ORVIKEVTD_BIN $<TARGET_FILE:orvikevtd>)
  set(NATS_MODULE $<TARGET_FILE:orvik_nats>)
  set(ORVIKEVT_BENCH_BIN $<TARGET_FILE:orvikevt-bench>)
  set(NATS_BENCH_BIN $<TARGET_FILE:nats_bench>)
  orvik_add_bench_script(bench_nats ${CMAKE_CURRENT_SOURCE_DIR}/nats_bench.sh.in)
  add_custom_target(bench_nats_programs ALL DEPENDS orvikevtd orvik_nats orvikevt-bench nats_bench)
endif()

# Acknowledged against unacknowledged intake: a script (bench_ack, run by
# scripts/bench.sh with the others) that drives orvikevt-bench with and
# without -a through the same daemon build, with the counting module and
# then with SQLite.
set(ORVIKEVTD_BIN $<TARGET_FILE:orvikevtd>)
set(COUNT_MODULE $<TARGET_FILE:orvik_count>)
set(SQLITE_MODULE $<TARGET_FILE:orvik_sqlite>)
set(ORVIKEVT_BENCH_BIN $<TARGET_FILE:orvikevt-bench>)
orvik_add_bench_script(bench_ack ${CMAKE_CURRENT_SOURCE_DIR}/ack_bench.sh.in)
add_custom_target(bench_ack_programs ALL DEPENDS orvikevtd orvik_count orvik_sqlite orvikevt-bench)

# orvik_sqlite end to end: a script (bench_sqlite, run by scripts/bench.sh)
# that drives orvikevt-bench against orvikevtd with the SQLite module, next to
# a bare C loop inserting the same rows (bench_sqlite_bare) in the same run.
add_executable(bench_sqlite_bare sqlite_bare_insert.c)
target_link_libraries(bench_sqlite_bare PRIVATE SQLite::SQLite3 ${CMAKE_DL_LIBS})
target_include_directories(bench_sqlite_bare PRIVATE ${PROJECT_SOURCE_DIR}/include)
set(ORVIKEVTD_BIN $<TARGET_FILE:orvikevtd>)
set(COUNT_MODULE $<TARGET_FILE:orvik_count>)
set(EVENTLOG_MODULE $<TARGET_FILE:orvik_eventlog>)
set(ORVIKEVT_BENCH_BIN $<TARGET_FILE:orvikevt-bench>)
set(SQLITE_MODULE $<TARGET_FILE:orvik_sqlite>)
set(SQLITE_BARE_BIN $<TARGET_FILE:bench_sqlite_bare>)
orvik_add_bench_script(bench_sqlite ${CMAKE_CURRENT_SOURCE_DIR}/sqlite_bench.sh.in)
add_custom_target(bench_sqlite_programs ALL
                  DEPENDS orvikevtd orvik_sqlite orvik_count orvik_eventlog orvikevt-bench
                          bench_sqlite_bare)

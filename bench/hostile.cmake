# One hostile host against the daemon: a script (bench_hostile in the build's
# bench folder) that measures how long it keeps a legitimate client out, with
# idle TLS connections or raw ones reopened as they are dropped, at the
# defaults and at the shipped settings.
set(ORVIKEVTD_BIN $<TARGET_FILE:orvikevtd>)
orvik_add_bench_script(bench_hostile ${CMAKE_CURRENT_SOURCE_DIR}/hostile_bench.py.in)

# Containers of libtarnu against the standard library: AVL tree vs std::set,
# ring queue vs plain memcpy.
orvik_add_bench(bench_containers SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/containers_bench.cc
                LIBS tarnu)

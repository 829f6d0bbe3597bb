# bench_ser: the serialization encoder and decoders against msgpack-c packing
# and unpacking the same values.
pkg_check_modules(MSGPACK REQUIRED IMPORTED_TARGET msgpack)
orvik_add_bench(bench_ser SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ser_bench.cc
                LIBS tarnu PkgConfig::MSGPACK)

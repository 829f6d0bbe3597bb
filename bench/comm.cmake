# libcomm: records/s through the comm_openssl transport against a bare
# OpenSSL sink measured in the same run.
orvik_add_bench(bench_comm
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/comm_bench.cc ${CMAKE_CURRENT_SOURCE_DIR}/comm_bare_sink.cc
  LIBS comm tarnu OpenSSL::SSL OpenSSL::Crypto)
target_include_directories(bench_comm PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})

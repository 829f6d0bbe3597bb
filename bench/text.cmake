# Benchmarks of the text and encoding utilities against OpenSSL and zlib.
find_package(ZLIB REQUIRED)
orvik_add_bench(bench_text SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/text_bench.cc
                LIBS tarnu_testing OpenSSL::Crypto ZLIB::ZLIB)

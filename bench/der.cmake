# DER codec: encode and decode of one document against OpenSSL's ASN.1
# routines, libtasn1 and a bare loop over the same octets (the floor).
pkg_check_modules(TASN1 REQUIRED IMPORTED_TARGET libtasn1)
orvik_add_bench(bench_der SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/der_bench.cc
                LIBS tarnu OpenSSL::Crypto PkgConfig::TASN1)
target_compile_definitions(bench_der PRIVATE
  DER_BENCH_ASN1_FILE="${CMAKE_CURRENT_SOURCE_DIR}/der_bench.asn")

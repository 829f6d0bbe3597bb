# Decoder of the DER codec: no input may crash it, and what it accepts in the
# canonical form must encode back to the same octets.
orvik_add_fuzzer(fuzz_der_decode SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/der_decode_fuzz.cc
                 LIBS tarnu_testing)

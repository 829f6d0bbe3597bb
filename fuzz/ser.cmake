# Serialization decoders: the plain one and the caching one in its reuse cycle.
orvik_add_fuzzer(ser_deserialize SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ser_deserialize_fuzz.cc
                 LIBS tarnu_testing)
orvik_add_fuzzer(ser_deserialize_c SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ser_deserialize_c_fuzz.cc
                 LIBS tarnu_testing)

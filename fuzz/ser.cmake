# Serialization decoders: the plain one and the caching one in its reuse cycle.
# The module's sources are compiled into each target (rather than taken from
# the uninstrumented library objects) so that libFuzzer sees their coverage.
file(GLOB SER_FUZZ_LIB_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/lib/ser_*.cc)
list(APPEND SER_FUZZ_LIB_SOURCES ${PROJECT_SOURCE_DIR}/lib/alloc.cc)
foreach(target ser_deserialize ser_deserialize_c)
  orvik_add_fuzzer(${target} SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/${target}_fuzz.cc
                   ${SER_FUZZ_LIB_SOURCES})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/include)
endforeach()

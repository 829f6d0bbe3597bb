# Serialization decoders: the plain one and the caching one in its reuse cycle.
foreach(target ser_deserialize ser_deserialize_c)
  orvik_add_fuzzer(${target} LIBS tarnu_testing)
endforeach()

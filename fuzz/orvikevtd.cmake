# The daemon's record intake on a byte stream split at arbitrary points.
orvik_add_fuzzer(orvikevtd_intake
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/orvikevtd_intake_fuzzer.cc
  LIBS orvikevtd_core)

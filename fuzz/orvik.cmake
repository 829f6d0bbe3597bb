# The configuration-file reader of liborvik on arbitrary file contents.
orvik_add_fuzzer(configfile_search
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/configfile_search_fuzzer.cc
  LIBS orvik)

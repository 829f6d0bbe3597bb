# Fuzz targets of the text and encoding utilities.
orvik_add_fuzzer(base64_decode SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/base64_decode_fuzzer.cc
                 LIBS tarnu_testing)
orvik_add_fuzzer(url_new_parse SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/url_new_parse_fuzzer.cc
                 LIBS tarnu_testing)
orvik_add_fuzzer(strnsplit SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/strnsplit_fuzzer.cc
                 LIBS tarnu_testing)

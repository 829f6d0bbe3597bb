# The XML-RPC document readers on arbitrary text, one target per reader built
# from one source, each with a write/read round trip of whatever reads. They
# share one dictionary.
foreach(reader request response)
  set(target xmlrpc_${reader}_parse_xml)
  orvik_add_fuzzer(${target}
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/xmlrpc_parse_xml_fuzzer.cc
    LIBS tarnu_testing
    DICT ${CMAKE_CURRENT_SOURCE_DIR}/xmlrpc.dict)
  if(reader STREQUAL response)
    target_compile_definitions(${target} PRIVATE XMLRPC_FUZZ_RESPONSE=1)
  endif()
endforeach()

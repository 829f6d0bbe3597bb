# The XML-RPC reader on arbitrary text: request and response documents, and a
# write/read round trip of whatever reads.
orvik_add_fuzzer(xmlrpc_parse
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/xmlrpc_parse_fuzzer.cc
  LIBS tarnu_testing)

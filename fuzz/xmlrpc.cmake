# The XML-RPC document readers on arbitrary text, one target per reader, each
# with a write/read round trip of whatever reads (xmlrpc_fuzz_common.h).
foreach(reader request response)
  orvik_add_fuzzer(xmlrpc_${reader}_parse_xml LIBS tarnu_testing)
endforeach()

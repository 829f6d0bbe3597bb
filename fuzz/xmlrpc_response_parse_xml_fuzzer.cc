// The XML-RPC methodResponse reader on arbitrary text, with a write/read round
// trip of whatever it accepts.
#include "xmlrpc_fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  xmlrpc_fuzz::CheckRoundTrip(data, size, xmlrpc_response_parse_xml, xmlrpc_response_serialize,
                              xmlrpc_response_free);
  return 0;
}

// One XML-RPC document reader on arbitrary text: the methodCall reader, or
// the methodResponse reader when XMLRPC_FUZZ_RESPONSE is 1 (one target each).
// Whatever the reader accepts must write again, and the written document must
// read back and write to the same text, so the writer and the reader agree on
// everything either accepts. A rejected document must leave the handle null.

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tarnu/xmlrpc.h"

namespace {

void Silent(void *, const char *, ...) {}

template <typename Record>
std::string Written(Record *record, int (*serialize)(Record *, char **, int *)) {
  char *xml = nullptr;
  int length = 0;
  if (serialize(record, &xml, &length) != 0) std::abort();
  std::string text(xml, static_cast<std::size_t>(length));
  xmlFree(xml);
  return text;
}

// Reads data, writes what was read, reads that and writes it again; the two
// written documents must be equal.
template <typename Record>
void CheckRoundTrip(const uint8_t *data, std::size_t size, int (*parse)(Record **, char *, int),
                    int (*serialize)(Record *, char **, int *), int (*release)(Record **)) {
  if (size == 0 || size > INT_MAX) return;
  std::string text(reinterpret_cast<const char *>(data), size);
  Record *first = nullptr;
  if (parse(&first, text.data(), static_cast<int>(text.size())) != 0) {
    if (first != nullptr) std::abort();
    return;
  }
  std::string written = Written(first, serialize);
  release(&first);
  Record *second = nullptr;
  if (parse(&second, written.data(), static_cast<int>(written.size())) != 0) std::abort();
  if (Written(second, serialize) != written) std::abort();
  release(&second);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  xmlInitParser();
  xmlSetGenericErrorFunc(nullptr, Silent);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
#if XMLRPC_FUZZ_RESPONSE
  CheckRoundTrip(data, size, xmlrpc_response_parse_xml, xmlrpc_response_serialize,
                 xmlrpc_response_free);
#else
  CheckRoundTrip(data, size, xmlrpc_request_parse_xml, xmlrpc_request_serialize,
                 xmlrpc_request_free);
#endif
  return 0;
}

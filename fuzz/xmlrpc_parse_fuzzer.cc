// Feeds arbitrary text to both document readers. Whatever reads must write
// again, and the written document must read back to the same document: the
// writer and the reader agree on everything either of them accepts.
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

// Reads text, writes what was read, reads that and writes it again; the two
// written documents must be equal.
template <typename Record>
void CheckRoundTrip(const std::string &text, int (*parse)(Record **, char *, int),
                    int (*serialize)(Record *, char **, int *), int (*release)(Record **)) {
  Record *first = nullptr;
  if (parse(&first, const_cast<char *>(text.data()), static_cast<int>(text.size())) != 0) {
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
  if (size == 0 || size > INT_MAX) return 0;
  std::string text(reinterpret_cast<const char *>(data), size);
  CheckRoundTrip(text, xmlrpc_request_parse_xml, xmlrpc_request_serialize, xmlrpc_request_free);
  CheckRoundTrip(text, xmlrpc_response_parse_xml, xmlrpc_response_serialize, xmlrpc_response_free);
  return 0;
}

// Shared by the XML-RPC reader fuzz targets (one per document reader; each
// includes this once, so it also defines their common libFuzzer set-up).
// Whatever the reader accepts must write again, and the written document must
// read back and write to the same text, so the writer and the reader agree on
// everything either accepts. A rejected document must leave the handle null.
#ifndef TARNU_FUZZ_XMLRPC_FUZZ_COMMON_H_
#define TARNU_FUZZ_XMLRPC_FUZZ_COMMON_H_

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tarnu/xmlrpc.h"

namespace xmlrpc_fuzz {

inline void Silent(void *, const char *, ...) {}

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

}  // namespace xmlrpc_fuzz

// libxml2 set up once, with its error reports silenced.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  xmlInitParser();
  xmlSetGenericErrorFunc(nullptr, xmlrpc_fuzz::Silent);
  return 0;
}

#endif  // TARNU_FUZZ_XMLRPC_FUZZ_COMMON_H_

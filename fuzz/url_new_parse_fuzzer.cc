// Fuzzes the URL parser: whatever it accepts must construct (unless too long)
// to text that parses back to the same protocol, host name, port, path and
// parameters. Parameters whose name or value holds "&" (only possible in the
// 32nd, which takes the rest of the query) are split anew and not compared.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "tarnu/url.h"

namespace {

struct Snapshot {
  std::string protocol, hostname, path;
  int port = 0;
  bool has_path = false;
  std::map<std::string, std::string> params;  // "\x01" stands for no value
  bool ampersand = false;
};

Snapshot Take(Url *url) {
  Snapshot s;
  char *text = nullptr;
  if (url_get_protocol(url, &text) != 0) abort();
  s.protocol = text;
  if (url_get_hostname(url, &text) != 0) abort();
  s.hostname = text;
  if (url_get_path(url, &text) != 0) abort();
  s.path = text;
  s.has_path = url->path != nullptr;
  if (url_get_port(url, &s.port) != 0 || s.port < 0 || s.port > 65535) abort();
  if (s.protocol.empty() || s.hostname.empty()) abort();
  for (Attribute *node = url->attrib; node != nullptr; node = node->next) {
    if (node->name == nullptr || node->name[0] == '\0') abort();
    const std::string value = node->value != nullptr ? node->value : "\x01";
    if (!s.params.emplace(node->name, value).second) abort();  // names are unique
    if (std::strchr(node->name, '&') != nullptr || value.find('&') != std::string::npos) {
      s.ampersand = true;
    }
  }
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string input(reinterpret_cast<const char *>(data), size);
  Url *url = nullptr;
  const int status = url_new_parse(&url, input.data());
  if (status != 0) {
    if (url != nullptr || (status != 22 && status != 12)) abort();
    return 0;
  }
  const Snapshot first = Take(url);
  char *text = nullptr;
  const int built = url_construct(url, &text);
  url_free(&url);
  if (built == 75) return 0;
  if (built != 0 || text == nullptr || std::strlen(text) > 255) abort();

  Url *again = nullptr;
  if (url_new_parse(&again, text) != 0) abort();
  std::free(text);
  const Snapshot second = Take(again);
  url_free(&again);
  if (second.protocol != first.protocol || second.hostname != first.hostname ||
      second.port != first.port || second.path != first.path || second.has_path != first.has_path) {
    abort();
  }
  if (!first.ampersand && second.params != first.params) abort();
  return 0;
}

// Fuzzes the URL parser: whatever it accepts must construct (unless too long)
// to text that parses back to the same protocol, host name, port, path and
// parameters. Parameters whose name or value holds "&" (only possible in the
// 32nd, which takes the rest of the query) are split anew and not compared.
// A path that starts with "/" (from text like "p://h/?/x") cannot be written
// back unambiguously, so such records are only constructed. Likewise the first parameter written,
// right after the
// "?", loses the "?" characters its name starts with.
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
  std::string head;  // name of the first parameter in list order
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
  if (url->attrib != nullptr) s.head = url->attrib->name;
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

  if (first.path[0] == '/') {
    std::free(text);
    return 0;
  }
  // A first parameter named only "?" leaves a nameless one behind, refused.
  if (!first.head.empty() && first.head.find_first_not_of('?') == std::string::npos) {
    std::free(text);
    return 0;
  }
  Url *again = nullptr;
  const int again_status = url_new_parse(&again, text);
  std::free(text);
  // A value holding "&" splits anew, perhaps into a nameless parameter.
  if (again_status != 0 && first.ampersand) return 0;
  if (again_status != 0) abort();
  const Snapshot second = Take(again);
  url_free(&again);
  if (second.protocol != first.protocol || second.hostname != first.hostname ||
      second.port != first.port || second.path != first.path || second.has_path != first.has_path) {
    abort();
  }
  if (first.ampersand) return 0;
  std::map<std::string, std::string> expected = first.params;
  const std::size_t name_start = first.head.find_first_not_of('?');
  if (!first.head.empty() && name_start != 0) {
    const std::string value = expected[first.head];
    expected.erase(first.head);
    if (!expected.emplace(first.head.substr(name_start), value).second) return 0;
  }
  if (second.params != expected) abort();
  return 0;
}

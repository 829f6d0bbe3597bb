// Fuzzes strnsplit against a straightforward model of its rules, and strnchug.
// Input: the delimiter, the maximum number of fields, then the text.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tarnu/globals.h"

namespace {

// Non-empty runs between delimiters; with more than `max`, the last allowed
// field runs from its first character to the end of the text.
std::vector<std::string> ModelSplit(const std::string &text, char delimiter, int max) {
  std::vector<std::string> fields;
  std::size_t pos = 0;
  while (static_cast<int>(fields.size()) < max) {
    pos = text.find_first_not_of(delimiter, pos);
    if (pos == std::string::npos) break;
    std::size_t end = text.find(delimiter, pos);
    if (static_cast<int>(fields.size()) == max - 1 || end == std::string::npos) end = text.size();
    fields.push_back(text.substr(pos, end - pos));
    pos = end;
  }
  return fields;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  const char delimiter = static_cast<char>(data[0]);
  const int max = data[1] % 40 + 1;
  const std::string text(reinterpret_cast<const char *>(data + 2), size - 2);

  char **array = nullptr;
  int items = max;
  const int status =
      strnsplit(text.data(), static_cast<int>(text.size()), delimiter, &array, &items);
  if (text.empty()) {
    if (status != 22) abort();
  } else {
    if (status != 0 || array == nullptr) abort();
    const std::vector<std::string> expected = ModelSplit(text, delimiter, max);
    if (items != static_cast<int>(expected.size())) abort();
    for (int i = 0; i < items; ++i) {
      // Fields are compared as C strings: a zero octet ends the copy's text.
      if (std::string(array[i]) != std::string(expected[static_cast<std::size_t>(i)].c_str())) {
        abort();
      }
    }
    for (int i = items; i <= max; ++i) {
      if (array[i] != nullptr) abort();
    }
    if (strarray_free(&array) != 0 || array != nullptr) abort();
  }

  // strnchug on the text as a buffer of its own length, with a terminator
  // that may or may not fall inside len.
  std::string buffer = text;
  buffer.push_back('\0');
  const int len = std::max(1, static_cast<int>(text.size()) - data[1] % 3);
  const std::string before = buffer;
  if (strnchug(buffer.data(), len) != 0) abort();
  const std::string visible(before.c_str(), strnlen(before.c_str(), static_cast<size_t>(len)));
  const std::size_t first = visible.find_first_not_of(' ');
  const std::string expected = visible.empty() || visible[0] != ' ' ? std::string(before.c_str())
                               : first == std::string::npos         ? std::string()
                                                                    : visible.substr(first);
  if (std::string(buffer.c_str()) != expected) abort();
  // Nothing at or beyond len changed.
  if (buffer.compare(static_cast<std::size_t>(len), std::string::npos, before,
                     static_cast<std::size_t>(len), std::string::npos) != 0) {
    abort();
  }
  return 0;
}

// String splitting and trimming.
#include <cerrno>
#include <cstring>
#include <span>

#include "alloc.h"
#include "tarnu/strfuncs.h"

using tarnu::detail::Calloc;
using tarnu::detail::Free;
using tarnu::detail::Malloc;

namespace {

// A zero-terminated copy of `text`, which may hold zero octets; null when the
// allocation fails.
char *CopyField(std::span<const char> text) {
  char *copy = static_cast<char *>(Malloc(text.size() + 1));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

// Releases the first `count` strings of `array` and the array itself.
void FreeFields(char **array, int count) {
  for (int i = 0; i < count; ++i) Free(array[i]);
  Free(array);
}

}  // namespace

extern "C" {

int strnsplit(const char *str, int len, char delimiter, char ***destarray, int *destitems) {
  if (str == nullptr || len < 1 || destarray == nullptr || destitems == nullptr || *destitems < 1) {
    return EINVAL;
  }
  *destarray = nullptr;
  const int max_fields = *destitems;
  auto **array =
      static_cast<char **>(Calloc(static_cast<std::size_t>(max_fields) + 1, sizeof(char *)));
  if (array == nullptr) {
    *destitems = 0;
    return ENOMEM;
  }

  const std::span<const char> text(str, static_cast<std::size_t>(len));
  int found = 0;
  std::size_t field_start = 0;
  // Position text.size() is the end of the text and counts as a delimiter. The
  // character "before" position 0 is the one at position 0 itself, so a
  // leading delimiter never ends a field.
  for (std::size_t pos = 0; pos <= text.size() && found < max_fields; ++pos) {
    const bool at_delimiter = pos == text.size() || text[pos] == delimiter;
    const bool after_delimiter = text[pos == 0 ? 0 : pos - 1] == delimiter;
    if (!at_delimiter) {
      if (after_delimiter) field_start = pos;
      continue;
    }
    if (after_delimiter) continue;
    // The last allowed field takes the rest of the text, delimiters included.
    const std::size_t field_end = found == max_fields - 1 ? text.size() : pos;
    char *field = CopyField(text.subspan(field_start, field_end - field_start));
    if (field == nullptr) {
      FreeFields(array, found);
      *destitems = found;
      return ENOMEM;
    }
    array[found++] = field;
  }
  *destarray = array;
  *destitems = found;
  return 0;
}

int strarray_free(char ***strarray) {
  if (strarray == nullptr || *strarray == nullptr) return EINVAL;
  char **array = *strarray;
  for (char **slot = array; *slot != nullptr; ++slot) Free(*slot);
  Free(array);
  *strarray = nullptr;
  return 0;
}

int strnchug(char *str, int len) {
  if (str == nullptr || len < 1) return EINVAL;
  if (str[0] != ' ') return 0;
  // Looks no further than the terminator or the end of the buffer.
  const std::size_t text_length = strnlen(str, static_cast<std::size_t>(len));
  std::size_t first = 0;
  while (first < text_length && str[first] == ' ') ++first;
  const std::size_t kept = text_length - first;
  std::memmove(str, str + first, kept);
  str[kept] = '\0';
  return 0;
}

}  // extern "C"

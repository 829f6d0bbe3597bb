// The escaping of client text (see text_escape.h).
#include "text_escape.h"

namespace orvikevt {
namespace {

// The escape of one byte into sequence (at most four bytes); its length.
size_t EscapeByte(unsigned char c, char (&sequence)[4]) {
  static constexpr char kHex[] = "0123456789abcdef";
  char named = 0;
  switch (c) {
    case '\\':
    case '"':
      named = static_cast<char>(c);
      break;
    case '\n':
      named = 'n';
      break;
    case '\r':
      named = 'r';
      break;
    case '\t':
      named = 't';
      break;
    default:
      if (c >= 0x20 && c < 0x7f) {
        sequence[0] = static_cast<char>(c);
        return 1;
      }
      sequence[0] = '\\';
      sequence[1] = 'x';
      sequence[2] = kHex[c >> 4];
      sequence[3] = kHex[c & 15];
      return 4;
  }
  sequence[0] = '\\';
  sequence[1] = named;
  return 2;
}

}  // namespace

size_t EscapeText(std::string_view text, std::span<char> out) {
  if (out.empty()) return 0;
  size_t used = 0;
  for (unsigned char c : text) {
    char sequence[4];
    size_t length = EscapeByte(c, sequence);
    if (used + length >= out.size()) break;
    for (size_t i = 0; i < length; ++i) out[used++] = sequence[i];
  }
  out[used] = '\0';
  return used;
}

}  // namespace orvikevt

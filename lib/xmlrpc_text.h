// Private to libtarnu: text rules shared by the XML-RPC writers.
//
// Text written into a document must be something XML 1.0 can carry: valid
// UTF-8 of characters in the XML Char range (no control characters other
// than tab, line feed and carriage return). Anything else would be dropped
// by libxml2 while writing, so the writers refuse it with 22 instead.
#ifndef TARNU_LIB_XMLRPC_TEXT_H_
#define TARNU_LIB_XMLRPC_TEXT_H_

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace tarnu::xmlrpc {

// Decodes the UTF-8 sequence starting at text[*pos] into *codepoint and
// advances *pos. False for malformed, overlong or surrogate sequences and for
// code points that are not XML characters.
inline bool DecodeXmlChar(std::string_view text, std::size_t *pos, uint32_t *codepoint) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(*pos);
  int extra = 0;
  uint32_t cp = 0;
  if (lead < 0x80) {
    cp = lead;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1;
    cp = lead & 0x1Fu;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2;
    cp = lead & 0x0Fu;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3;
    cp = lead & 0x07u;
  } else {
    return false;
  }
  if (*pos + static_cast<std::size_t>(extra) >= text.size()) return false;
  for (int i = 1; i <= extra; ++i) {
    unsigned char next = byte(*pos + static_cast<std::size_t>(i));
    if ((next & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (next & 0x3Fu);
  }
  static constexpr uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
  if (cp < kSmallest[extra]) return false;
  bool xml_char = cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
                  (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
  if (!xml_char) return false;
  *pos += static_cast<std::size_t>(extra) + 1;
  *codepoint = cp;
  return true;
}

// True when every character of text can be carried by an XML document.
inline bool IsXmlText(std::string_view text) {
  std::size_t pos = 0;
  uint32_t cp = 0;
  while (pos < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[pos]);
    if (c >= 0x20 && c < 0x80) {
      ++pos;
      continue;
    }
    if (!DecodeXmlChar(text, &pos, &cp)) return false;
  }
  return true;
}

// Text of a number as the documents carry it: ints and booleans in decimal,
// doubles in fixed notation with six decimals, in full (the widest double
// takes 317 characters).
using NumberText = std::array<char, 400>;

inline std::string_view FormatInt(const void *data, NumberText *out) {
  int32_t number = 0;
  std::memcpy(&number, data, sizeof number);
  int n = std::snprintf(out->data(), out->size(), "%ld", static_cast<long>(number));
  return {out->data(), static_cast<std::size_t>(n)};
}

inline std::string_view FormatDouble(const void *data, NumberText *out) {
  double number = 0;
  std::memcpy(&number, data, sizeof number);
  int n = std::snprintf(out->data(), out->size(), "%f", number);
  return {out->data(), static_cast<std::size_t>(n)};
}

}  // namespace tarnu::xmlrpc

#endif  // TARNU_LIB_XMLRPC_TEXT_H_

// Text from a client, made safe to write into a line of a log or file: the
// one escaping that the daemon's log, the event-log module and
// orvikevt-read share. Printable ASCII stays; backslash and double quote
// are preceded by a backslash; line feed, carriage return and tab are
// written \n \r \t; every other byte (control characters, DEL, bytes of
// 0x80 and above) is \xHH. So a client can never end or start a line.
#ifndef ORVIKEVT_MODULES_TEXT_ESCAPE_H_
#define ORVIKEVT_MODULES_TEXT_ESCAPE_H_

#include <cstddef>
#include <span>
#include <string_view>

namespace orvikevt {

// The room an escaped text needs: four bytes per byte, and a terminating zero.
constexpr size_t EscapedSize(size_t length) {
  return 4 * length + 1;
}

// Writes text escaped and zero-terminated into out, cut at a whole escape
// when out is too small; returns the length written.
size_t EscapeText(std::string_view text, std::span<char> out);

// A fixed-size text field of a record: up to its first zero byte, never
// past the field.
template <size_t kSize>
std::string_view TextField(const char (&field)[kSize]) {
  size_t length = 0;
  while (length < kSize && field[length] != '\0') ++length;
  return {field, length};
}

}  // namespace orvikevt

#endif  // ORVIKEVT_MODULES_TEXT_ESCAPE_H_

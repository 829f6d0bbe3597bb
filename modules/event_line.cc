// The event-log line (see event_line.h).
#include "event_line.h"

#include <cinttypes>
#include <cstdio>
#include <string_view>

namespace orvikevt {
namespace {

// Appends text escaped to out (which has room for 4 bytes per input byte plus
// one); returns the new end.
char *escape(std::string_view text, char *out) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (unsigned char c : text) {
    switch (c) {
      case '\\':
        *out++ = '\\';
        *out++ = '\\';
        break;
      case '"':
        *out++ = '\\';
        *out++ = '"';
        break;
      case '\n':
        *out++ = '\\';
        *out++ = 'n';
        break;
      case '\r':
        *out++ = '\\';
        *out++ = 'r';
        break;
      case '\t':
        *out++ = '\\';
        *out++ = 't';
        break;
      default:
        if (c >= 0x20 && c < 0x7f) {
          *out++ = static_cast<char>(c);
        } else {
          *out++ = '\\';
          *out++ = 'x';
          *out++ = kHex[c >> 4];
          *out++ = kHex[c & 15];
        }
    }
  }
  *out = '\0';
  return out;
}

// A text field: up to its first zero byte, never past the field.
std::string_view text_field(const char (&field)[EVENTDATA_TEXT_SIZE]) {
  size_t length = 0;
  while (length < sizeof(field) && field[length] != '\0') ++length;
  return {field, length};
}

}  // namespace

size_t FormatEventLine(const EventData &event, time_t when, char (&line)[kEventLineSize]) {
  char host[EVENTDATA_TEXT_SIZE * 4 + 1];
  char object[EVENTDATA_TEXT_SIZE * 4 + 1];
  char data[EVENTDATA_DATA_SIZE * 4 + 1];
  escape(text_field(event.hostname), host);
  escape(text_field(event.object), object);
  uint32_t datalen = event.datalen < EVENTDATA_DATA_SIZE ? event.datalen : EVENTDATA_DATA_SIZE;
  escape({reinterpret_cast<const char *>(event.data), datalen}, data);

  struct tm local = {};
  localtime_r(&when, &local);
  int length = std::snprintf(
      line, sizeof(line),
      "%04d-%02d-%02d %02d:%02d:%02d ts=%" PRIu64 " host=%s object=%s flags=0x%08" PRIx32
      " rc=%" PRIu32 " data=\"%s\"\n",
      local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
      local.tm_sec, event.timestamp, host, object, event.flags, event.rc, data);
  return length < 0 ? 0 : static_cast<size_t>(length);
}

}  // namespace orvikevt

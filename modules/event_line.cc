// The event-log line (see event_line.h).
#include "event_line.h"

#include <cinttypes>
#include <cstdio>
#include <string_view>

#include "text_escape.h"

namespace orvikevt {

size_t FormatEventLine(const EventData &event, time_t when, char (&line)[kEventLineSize]) {
  char host[EscapedSize(EVENTDATA_TEXT_SIZE)];
  char object[EscapedSize(EVENTDATA_TEXT_SIZE)];
  char data[EscapedSize(EVENTDATA_DATA_SIZE)];
  EscapeText(TextField(event.hostname), host);
  EscapeText(TextField(event.object), object);
  uint32_t datalen = event.datalen < EVENTDATA_DATA_SIZE ? event.datalen : EVENTDATA_DATA_SIZE;
  EscapeText({reinterpret_cast<const char *>(event.data), datalen}, data);

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

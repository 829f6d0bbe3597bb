// The event-log line: one event as one line of text, written by the
// event-log module and by orvikevt-read.
//
//   2026-12-07 21:40:00 ts=<timestamp> host=<text> object=<text>
//   flags=0x<8 hex digits> rc=<decimal> data="<text>"
//
// The first two fields are a local time given by the caller (when the event
// was handled, or stored); every text is escaped: printable ASCII stays,
// backslash and double quote are preceded by a backslash, \n \r \t are
// written so, and every other byte is \xHH. The data is the record's first
// datalen bytes (at most 256). The record is in host byte order.
#ifndef ORVIKEVT_MODULES_EVENT_LINE_H_
#define ORVIKEVT_MODULES_EVENT_LINE_H_

#include <orvik/event_p.h>

#include <cstddef>
#include <ctime>

namespace orvikevt {

// Room for the longest line: the fixed fields plus four bytes per text and
// data byte, the line end and a terminating zero.
inline constexpr size_t kEventLineSize = 160 + 4 * (2 * EVENTDATA_TEXT_SIZE + EVENTDATA_DATA_SIZE);

// Writes the line of event, handled or stored at when (local time), ending
// in '\n', zero-terminated, into line. Returns its length.
size_t FormatEventLine(const EventData &event, time_t when, char (&line)[kEventLineSize]);

}  // namespace orvikevt

#endif  // ORVIKEVT_MODULES_EVENT_LINE_H_

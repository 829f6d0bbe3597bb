// orvik_eventlog: a handler module that appends one line per event to a file.
//
// MODULE /usr/lib/orvikevtd/orvik_eventlog.so /var/log/orvik/events.log
//
// Line format (one event, fields separated by one blank):
//   2026-12-07 21:40:00 ts=<timestamp> host=<text> object=<text>
//   flags=0x<8 hex digits> rc=<decimal> data="<text>"
// where the first two fields are the local time the event was handled and
// every text is escaped: printable ASCII stays, backslash and double quote
// are preceded by a backslash, \n \r \t are written so, and every other byte
// is \xHH. The data is the record's first datalen bytes (at most 256).
//
// Output is buffered and written out at least once a second by a flushing
// thread, and when the module is cleaned up, which also closes the file.
// handle_event returns 5 (EIO) when the stream reports a write error. A file
// that cannot be opened or written is reported in the daemon's log, once per
// episode: the episode ends when the buffered lines are written out again.
#include <orvik/event_p.h>
#include <stdio_ext.h>
#include <sys/types.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "module_log.h"
#include "periodic.h"

namespace {

constexpr size_t kStreamBuffer = 64 * 1024;

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

class EventLog {
 public:
  EventLog(FILE *file, std::string path)
      : file_(file),
        path_(std::move(path)),
        flusher_(std::chrono::milliseconds(1000), [this] { Flush(); }) {}
  ~EventLog() {
    flusher_.Stop();
    std::lock_guard lock(mutex_);
    std::fclose(file_);
  }

  int Write(const EventData &event) {
    char host[EVENTDATA_TEXT_SIZE * 4 + 1];
    char object[EVENTDATA_TEXT_SIZE * 4 + 1];
    char data[EVENTDATA_DATA_SIZE * 4 + 1];
    escape(text_field(event.hostname), host);
    escape(text_field(event.object), object);
    uint32_t datalen = event.datalen < EVENTDATA_DATA_SIZE ? event.datalen : EVENTDATA_DATA_SIZE;
    escape({reinterpret_cast<const char *>(event.data), datalen}, data);

    time_t now = std::time(nullptr);
    struct tm local = {};
    localtime_r(&now, &local);
    flusher_.Start();
    std::lock_guard lock(mutex_);
    std::fprintf(file_,
                 "%04d-%02d-%02d %02d:%02d:%02d ts=%" PRIu64 " host=%s object=%s flags=0x%08" PRIx32
                 " rc=%" PRIu32 " data=\"%s\"\n",
                 local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                 local.tm_sec, event.timestamp, host, object, event.flags, event.rc, data);
    if (!std::ferror(file_)) return 0;
    ReportWriteError(errno);
    return EIO;
  }

  void Flush() {
    std::lock_guard lock(mutex_);
    // Only lines really written end a failure episode: flushing an empty
    // buffer succeeds even while the file cannot take anything.
    size_t pending = __fpending(file_);
    if (std::fflush(file_) == 0 && !std::ferror(file_)) {
      if (pending > 0) write_failure_.Succeeded();
      return;
    }
    ReportWriteError(errno);
  }

  void StopFlushing() { flusher_.Stop(); }

 private:
  // The stream's error indicator is cleared once reported, so that a later
  // flush that succeeds (space was freed) ends the episode.
  void ReportWriteError(int error) {
    write_failure_.Failed("orvik_eventlog: cannot write %s: %s", path_.c_str(),
                          std::strerror(error != 0 ? error : EIO));
    std::clearerr(file_);
  }

  std::mutex mutex_;
  FILE *const file_;
  const std::string path_;
  orvikevt::FailureEpisode write_failure_;
  orvikevt::PeriodicTask flusher_;
};

// Made by module_init, deleted by module_cleanup. When the daemon ends on a
// signal it is left alone: the process's exit writes the stream's buffer.
EventLog *event_log = nullptr;

// When the daemon ends on a signal it exits with the module still loaded and
// module_cleanup never called. The flushing thread is stopped here, while the
// process's static objects are destroyed: that comes before the C library
// flushes and frees every stream buffer, which it does without their locks.
struct StopFlushingAtExit {
  ~StopFlushingAtExit() {
    if (event_log != nullptr) event_log->StopFlushing();
  }
} stop_flushing_at_exit;

// The file is appended to for ever: on a 32-bit target it must still grow
// beyond 2 GiB, and its stamps must go on after 2038 (the build asks for
// 64-bit file offsets and times).
static_assert(sizeof(off_t) == 8, "the event log needs 64-bit file offsets");
static_assert(sizeof(time_t) == 8, "the event log's stamps need a 64-bit time_t");

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int module_init(char *args) {
  if (args == nullptr || args[0] == '\0' || event_log != nullptr) return EINVAL;
  FILE *file = std::fopen(args, "a");
  if (file == nullptr) {
    int error = errno != 0 ? errno : EIO;
    orvikevt::module_log("orvik_eventlog: cannot open %s: %s", args, std::strerror(error));
    return error;
  }
  std::setvbuf(file, nullptr, _IOFBF, kStreamBuffer);
  try {
    event_log = new EventLog(file, args);
  } catch (const std::bad_alloc &) {
    std::fclose(file);
    return ENOMEM;
  }
  return 0;
}

__attribute__((visibility("default"))) int handle_event(EventData *event) {
  if (event == nullptr || event_log == nullptr) return EINVAL;
  return event_log->Write(*event);
}

__attribute__((visibility("default"))) int module_cleanup(void) {
  delete event_log;
  event_log = nullptr;
  return 0;
}

}  // extern "C"

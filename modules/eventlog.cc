// orvik_eventlog: a handler module that appends one line per event to a file.
//
// MODULE /usr/lib/orvikevtd/orvik_eventlog.so /var/log/orvik/events.log
//
// One line per event in the event-log line format (event_line.h), whose
// first two fields are the local time the event was handled.
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
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "event_line.h"
#include "module_log.h"
#include "periodic.h"

namespace {

constexpr size_t kStreamBuffer = 64 * 1024;

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
    char line[orvikevt::kEventLineSize];
    size_t length = orvikevt::FormatEventLine(event, std::time(nullptr), line);
    flusher_.Start();
    std::lock_guard lock(mutex_);
    std::fwrite(line, 1, length, file_);
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
  // Close-on-exec: no program started from the daemon inherits the file.
  FILE *file = std::fopen(args, "ae");
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

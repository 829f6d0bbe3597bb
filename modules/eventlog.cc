// orvik_eventlog: a handler module that appends one line per event to a file.
//
// MODULE /usr/lib/orvikevtd/orvik_eventlog.so /var/log/orvik/events.log
//
// One line per event in the event-log line format (event_line.h), whose
// first two fields are the local time the event was handled.
//
// Output is buffered and written out at least once a second by a flushing
// thread, and when the module is cleaned up, which also closes the file.
// module_reopen (the daemon calls it on SIGUSR1, after logrotate renamed the
// file) writes the buffered lines into the renamed file and opens the path
// anew; if that fails, lines go on into the file already open.
// handle_event returns 5 (EIO) when the stream reports a write error. A file
// that cannot be opened or written is reported in the daemon's log, once per
// episode: the episode ends when the buffered lines are written out again.
//
// module_committed counts the events whose lines are on disk: each flush that
// wrote something is followed by one fdatasync (so one per second, not per
// event), and the lines handed before that flush then count, as do all of
// them at module_cleanup. A failed write drops the lines the stream held
// (stdio discards its buffer), so after one the count stands still for the
// rest of the module's life: no later event may count while earlier ones
// are lost.
#include <orvik/event_p.h>
#include <orvik/files.h>
#include <stdio_ext.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
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

// Events on disk since the module was loaded (module_committed).
std::atomic<uint64_t> committed{0};

class EventLog {
 public:
  EventLog(FILE *file, std::string path)
      : file_(file),
        path_(std::move(path)),
        flusher_(std::chrono::milliseconds(1000), [this] { Flush(); }) {}
  ~EventLog() {
    flusher_.Stop();
    Flush();  // the last lines, on disk before the file is closed
    std::lock_guard lock(mutex_);
    std::fclose(file_);
  }

  int Write(const EventData &event) {
    char line[orvikevt::kEventLineSize];
    size_t length = orvikevt::FormatEventLine(event, std::time(nullptr), line);
    flusher_.Start();
    std::lock_guard lock(mutex_);
    std::fwrite(line, 1, length, file_);
    if (!std::ferror(file_)) {
      ++handed_;
      return 0;
    }
    ReportWriteError(errno);
    return EIO;
  }

  // Writes the buffered lines out and, when there are lines not yet on disk,
  // syncs the file outside the lock (handle_event goes on meanwhile).
  void Flush() {
    uint64_t handed = 0;
    int written_to = -1;
    {
      std::lock_guard lock(mutex_);
      // Only lines really written end a failure episode: flushing an empty
      // buffer succeeds even while the file cannot take anything.
      size_t pending = __fpending(file_);
      if (std::fflush(file_) != 0 || std::ferror(file_)) {
        ReportWriteError(errno);
        return;
      }
      if (pending > 0) write_failure_.Succeeded();
      if (lines_lost_ || handed_ <= committed.load()) return;
      handed = handed_;
      // A descriptor of its own: the stream may be closed meanwhile.
      written_to = dup(fileno(file_));
    }
    if (written_to < 0) return;  // tried again at the next flush
    bool synced = SyncFile(written_to);
    close(written_to);
    if (synced) committed.store(handed);
  }

  void StopFlushing() { flusher_.Stop(); }

  // 0, or the errno of the failed open.
  int Reopen() {
    FILE *file = OpenForAppending(path_.c_str());
    if (file == nullptr) {
      int error = errno != 0 ? errno : EIO;
      orvikevt::module_log("orvik_eventlog: cannot reopen %s: %s", path_.c_str(),
                           std::strerror(error));
      return error;
    }
    std::lock_guard lock(mutex_);
    // The renamed file's lines reach the disk before it is closed: the
    // count committed later, from syncing the new file, includes them.
    if (std::fflush(file_) != 0 || std::ferror(file_)) {
      ReportWriteError(errno);
    } else if (fdatasync(fileno(file_)) != 0 && errno != EINVAL) {
      lines_lost_ = true;
      LogWriteFailure(errno);
    }
    std::fclose(file_);
    file_ = file;
    return 0;
  }

  static FILE *OpenForAppending(const char *path) {
    // Close-on-exec: no program started from the daemon inherits the file.
    FILE *file = orvik::open_output(path, O_APPEND, orvik::kPrivateFileMode);
    if (file != nullptr) std::setvbuf(file, nullptr, _IOFBF, kStreamBuffer);
    return file;
  }

 private:
  // The stream's error indicator is cleared once reported, so that a later
  // flush that succeeds (space was freed) ends the episode.
  // REQUIRES: mutex_ held.
  void ReportWriteError(int error) {
    lines_lost_ = true;
    LogWriteFailure(error);
    std::clearerr(file_);
  }

  // A file that cannot be synced (a pipe, a terminal) holds what was written.
  bool SyncFile(int fd) {
    if (fdatasync(fd) == 0 || errno == EINVAL) return true;
    int error = errno;
    std::lock_guard lock(mutex_);
    lines_lost_ = true;  // the kernel may have dropped the pages
    LogWriteFailure(error);
    return false;
  }

  void LogWriteFailure(int error) {
    write_failure_.Failed("orvik_eventlog: cannot write %s: %s", path_.c_str(),
                          std::strerror(error != 0 ? error : EIO));
  }

  std::mutex mutex_;
  FILE *file_;
  const std::string path_;
  uint64_t handed_ = committed.load();  // lines taken by handle_event
  bool lines_lost_ = false;             // a write failed: the count stands still
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

// The path as reopened later: the daemon leaves its folder when it
// detaches, after module_init.
std::string absolute_path(const char *path) {
  if (path[0] == '/') return path;
  char folder[PATH_MAX];
  if (getcwd(folder, sizeof(folder)) == nullptr) return path;
  return std::string(folder) + "/" + path;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int module_init(char *args) {
  if (args == nullptr || args[0] == '\0' || event_log != nullptr) return EINVAL;
  FILE *file = EventLog::OpenForAppending(args);
  if (file == nullptr) {
    int error = errno != 0 ? errno : EIO;
    orvikevt::module_log("orvik_eventlog: cannot open %s: %s", args, std::strerror(error));
    return error;
  }
  try {
    event_log = new EventLog(file, absolute_path(args));
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

__attribute__((visibility("default"))) int module_reopen(void) {
  if (event_log == nullptr) return EINVAL;
  return event_log->Reopen();
}

__attribute__((visibility("default"))) int module_cleanup(void) {
  delete event_log;
  event_log = nullptr;
  return 0;
}

__attribute__((visibility("default"))) uint64_t module_committed(void) {
  return committed.load();
}

}  // extern "C"

// orvik_count: a handler module that counts events and checks generated
// sequences, writing its figures to a file that tests and benchmarks read.
//
// MODULE /usr/lib/orvikevtd/orvik_count.so /var/lib/orvik/count.txt
//
// The file is rewritten whole (a new file renamed over the old one, so a
// reader never sees half of it) about ten times a second while events come
// in, and at module_cleanup. It holds one "name=value" per line:
//   count            events handled
//   data_bytes       sum of the events' datalen
//   streams          generated streams seen (see tools/sequence.h)
//   sequence_errors  generated events that were not the next of their stream
//   last_ns          wall clock (ns) when the last event was handled, read from the
//                    coarse clock (a few milliseconds' resolution, cheap per event)
//   first, last      host|object|flags|rc|timestamp of the first and last event
// A file that cannot be written is reported in the daemon's log, once until
// a later write succeeds.
//
// The module exports no module_committed: it keeps no events, so an event is
// done with when handle_event returns, which is what the daemon assumes of a
// module without that export.
#include <orvik/event_p.h>
#include <orvik/files.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

#include "module_log.h"
#include "periodic.h"
#include "sequence.h"

namespace {

struct Summary {
  char host[EVENTDATA_TEXT_SIZE + 1] = {};
  char object[EVENTDATA_TEXT_SIZE + 1] = {};
  uint32_t flags = 0;
  uint32_t rc = 0;
  uint64_t timestamp = 0;
};

Summary summarize(const EventData &event) {
  Summary summary;
  // Text fields may fill all 64 bytes without a terminating zero.
  for (size_t i = 0; i < EVENTDATA_TEXT_SIZE && event.hostname[i] != '\0'; ++i) {
    summary.host[i] = event.hostname[i];
  }
  for (size_t i = 0; i < EVENTDATA_TEXT_SIZE && event.object[i] != '\0'; ++i) {
    summary.object[i] = event.object[i];
  }
  summary.flags = event.flags;
  summary.rc = event.rc;
  summary.timestamp = event.timestamp;
  return summary;
}

struct Figures {
  uint64_t count = 0;
  uint64_t data_bytes = 0;
  uint64_t sequence_errors = 0;
  uint64_t streams = 0;
  uint64_t last_ns = 0;
  Summary first;
  Summary last;
};

uint64_t realtime_ns() {
  timespec now = {};
  clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

class Counter {
 public:
  explicit Counter(std::string path)
      : path_(std::move(path)), writer_(std::chrono::milliseconds(100), [this] { Publish(); }) {}
  ~Counter() { writer_.Stop(); }

  void StopWriting() { writer_.Stop(); }

  void Count(const EventData &event) {
    writer_.Start();
    std::lock_guard lock(mutex_);
    if (figures_.count == 0) figures_.first = summarize(event);
    ++figures_.count;
    figures_.data_bytes += event.datalen;
    if (event.flags & orvikevt::kSequencedFlag) CheckSequence(event.rc, event.timestamp);
    // Only the fields a summary shows: the integers and the two texts.
    std::memcpy(&last_event_, &event, offsetof(EventData, data));
    figures_.last_ns = realtime_ns();
    changed_ = true;
  }

  // Writes the figures when they changed since the last write; false when
  // the file cannot be written.
  bool Publish(bool always = false) {
    Figures figures;
    {
      std::lock_guard lock(mutex_);
      if (!changed_ && !always) return true;
      changed_ = false;
      figures = figures_;
      if (figures.count > 0) figures.last = summarize(last_event_);
    }
    if (!WriteFile(figures)) {
      int error = errno != 0 ? errno : EIO;
      {
        // Written again at the next turn, when the file may be writable.
        std::lock_guard lock(mutex_);
        changed_ = true;
      }
      write_failure_.Failed("orvik_count: cannot write %s: %s", path_.c_str(),
                            std::strerror(error));
      errno = error;
      return false;
    }
    write_failure_.Succeeded();
    return true;
  }

 private:
  void CheckSequence(uint32_t stream, uint64_t position) {
    auto [entry, added] = next_position_.try_emplace(stream, 0);
    if (added) ++figures_.streams;
    if (entry->second != position) ++figures_.sequence_errors;
    entry->second = position + 1;
  }

  bool WriteFile(const Figures &figures) const {
    std::string temporary = path_ + ".tmp";
    // Close-on-exec: a program started meanwhile must not inherit it.
    FILE *file = orvik::open_output(temporary.c_str(), O_TRUNC, orvik::kFiguresFileMode);
    if (file == nullptr) return false;
    auto print_summary = [file](const char *name, const Summary &summary) {
      std::fprintf(file, "%s=%s|%s|%" PRIu32 "|%" PRIu32 "|%" PRIu64 "\n", name, summary.host,
                   summary.object, summary.flags, summary.rc, summary.timestamp);
    };
    std::fprintf(file,
                 "count=%" PRIu64 "\ndata_bytes=%" PRIu64 "\nstreams=%" PRIu64
                 "\nsequence_errors=%" PRIu64 "\nlast_ns=%" PRIu64 "\n",
                 figures.count, figures.data_bytes, figures.streams, figures.sequence_errors,
                 figures.last_ns);
    print_summary("first", figures.first);
    print_summary("last", figures.last);
    bool written = std::fclose(file) == 0;
    return written && std::rename(temporary.c_str(), path_.c_str()) == 0;
  }

  const std::string path_;
  std::mutex mutex_;
  Figures figures_;
  EventData last_event_ = {};
  bool changed_ = true;
  std::unordered_map<uint32_t, uint64_t> next_position_;
  orvikevt::FailureEpisode write_failure_;
  orvikevt::PeriodicTask writer_;
};

// Made by module_init, deleted by module_cleanup; left alone when the daemon
// ends on a signal.
Counter *counter = nullptr;

// When the daemon ends on a signal it exits with the module still loaded and
// module_cleanup never called. The writing thread is stopped here, while the
// process's static objects are destroyed, before the C library tears down its
// streams without their locks.
struct StopWritingAtExit {
  ~StopWritingAtExit() {
    if (counter != nullptr) counter->StopWriting();
  }
} stop_writing_at_exit;

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int module_init(char *args) {
  if (args == nullptr || args[0] == '\0' || counter != nullptr) return EINVAL;
  try {
    counter = new Counter(args);
  } catch (const std::bad_alloc &) {
    return ENOMEM;
  }
  // An unwritable path is reported now rather than at the first event.
  if (!counter->Publish(true)) {
    int error = errno != 0 ? errno : EIO;
    delete counter;
    counter = nullptr;
    return error;
  }
  return 0;
}

__attribute__((visibility("default"))) int handle_event(EventData *event) {
  if (event == nullptr || counter == nullptr) return EINVAL;
  try {
    counter->Count(*event);
  } catch (const std::bad_alloc &) {
    return ENOMEM;
  }
  return 0;
}

__attribute__((visibility("default"))) int module_cleanup(void) {
  if (counter != nullptr) counter->Publish(true);
  delete counter;
  counter = nullptr;
  return 0;
}

}  // extern "C"

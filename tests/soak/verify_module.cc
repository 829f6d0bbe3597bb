// orvikevtd_soak_verify: a handler module for the soak test. It checks that
// every generated stream arrives once and in order, that the records are not
// corrupted on the way, and it can be made slow for a while so that the
// daemon's pool cap (back-pressure) engages.
//
// MODULE .../orvikevtd_soak_verify.so DIR
//
// Records carry the numbering of tools/sequence.h: kSequencedFlag in flags,
// the stream in rc, the position (0, 1, 2, ...) in timestamp. Records whose
// host name begins with "soak" also carry the text "soak <stream> <position>"
// (hexadecimal, 8 and 16 digits) as their data, which the module compares.
//
// DIR/report is rewritten whole (a new file renamed over the old one) about
// ten times a second while events come in, and at module_cleanup:
//   total=N          records handled
//   unsequenced=N    records without kSequencedFlag
//   streams=N        streams seen
//   cleanup=1        only in the report module_cleanup writes
//   S <stream> <kind> <count> <next> <behind> <skipped> <corrupt>
// per stream, where kind is "soak" or "other" (by host name), count the
// records of the stream, next the position after the highest seen, behind
// the records at or below a position already seen (duplicates or records out
// of order), skipped the positions jumped over (missing records), and
// corrupt the soak records whose data did not match their numbering.
//
// While DIR/slow exists and holds a number of microseconds, every record
// sleeps that long (looked at every 10 ms).
//
// Exit probe: when the process exits, the module's destructor marks it and
// waits 50 ms; a record handed to the module after the mark creates the file
// DIR/called-during-exit. The daemon must keep its processing thread out of
// the modules while it exits (stdio buffers are being flushed and freed).
#include <fcntl.h>
#include <orvik/event_p.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "periodic.h"
#include "sequence.h"

namespace {

struct StreamFigures {
  bool soak = false;
  uint64_t count = 0;
  uint64_t next = 0;
  uint64_t behind = 0;
  uint64_t skipped = 0;
  uint64_t corrupt = 0;
};

int64_t monotonic_us() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// The data a soak record at this stream and position carries.
std::string soak_data(uint32_t stream, uint64_t position) {
  char text[48];
  int length =
      std::snprintf(text, sizeof(text), "soak %08" PRIx32 " %016" PRIx64, stream, position);
  return std::string(text, static_cast<size_t>(length));
}

bool is_soak_record(const EventData &event) {
  return std::strncmp(event.hostname, "soak", 4) == 0;
}

bool data_matches(const EventData &event, uint32_t stream, uint64_t position) {
  std::string expected = soak_data(stream, position);
  return event.datalen == expected.size() &&
         std::memcmp(event.data, expected.data(), expected.size()) == 0;
}

class Verifier {
 public:
  explicit Verifier(std::string dir)
      : dir_(std::move(dir)), writer_(std::chrono::milliseconds(100), [this] { Publish(); }) {}
  ~Verifier() { writer_.Stop(); }

  void StopWriting() { writer_.Stop(); }

  void Handle(const EventData &event) {
    writer_.Start();
    {
      std::lock_guard lock(mutex_);
      ++total_;
      changed_ = true;
      if (event.flags & orvikevt::kSequencedFlag) {
        Check(event);
      } else {
        ++unsequenced_;
      }
    }
    if (long delay = SlowDelayUs(); delay > 0) {
      timespec pause = {delay / 1000000, (delay % 1000000) * 1000};
      while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
      }
    }
  }

  // The final report, written by module_cleanup, says so.
  void MarkCleanedUp() {
    std::lock_guard lock(mutex_);
    cleaned_up_ = true;
  }

  // Writes the report when it changed; false when it cannot be written.
  bool Publish(bool always = false) {
    std::string text;
    {
      std::lock_guard lock(mutex_);
      if (!changed_ && !always) return true;
      changed_ = false;
      text = Report();
    }
    std::string path = dir_ + "/report";
    std::string temporary = path + ".tmp";
    FILE *file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr) return false;
    bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    written = std::fclose(file) == 0 && written;
    return written && std::rename(temporary.c_str(), path.c_str()) == 0;
  }

 private:
  void Check(const EventData &event) {
    uint32_t stream = event.rc;
    uint64_t position = event.timestamp;
    StreamFigures &figures = streams_[stream];
    if (figures.count == 0) figures.soak = is_soak_record(event);
    ++figures.count;
    if (position < figures.next) {
      ++figures.behind;
    } else {
      figures.skipped += position - figures.next;
      figures.next = position + 1;
    }
    if (figures.soak && !data_matches(event, stream, position)) ++figures.corrupt;
  }

  std::string Report() const {
    std::string text = "total=" + std::to_string(total_) +
                       "\nunsequenced=" + std::to_string(unsequenced_) +
                       "\nstreams=" + std::to_string(streams_.size()) + "\n";
    if (cleaned_up_) text += "cleanup=1\n";
    char line[160];
    for (const auto &[stream, f] : streams_) {
      std::snprintf(
          line, sizeof(line),
          "S %" PRIu32 " %s %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 "\n", stream,
          f.soak ? "soak" : "other", f.count, f.next, f.behind, f.skipped, f.corrupt);
      text += line;
    }
    return text;
  }

  // The delay DIR/slow asks for, looked up at most every 10 ms.
  long SlowDelayUs() {
    int64_t now = monotonic_us();
    if (now - slow_checked_us_ < 10000) return slow_delay_us_;
    slow_checked_us_ = now;
    slow_delay_us_ = 0;
    std::string path = dir_ + "/slow";
    if (FILE *file = std::fopen(path.c_str(), "r")) {
      long delay = 0;
      if (std::fscanf(file, "%ld", &delay) == 1 && delay > 0 && delay < 1000000) {
        slow_delay_us_ = delay;
      }
      std::fclose(file);
    }
    return slow_delay_us_;
  }

  const std::string dir_;
  std::mutex mutex_;
  uint64_t total_ = 0;
  uint64_t unsequenced_ = 0;
  std::map<uint32_t, StreamFigures> streams_;
  bool changed_ = true;
  bool cleaned_up_ = false;
  // Only the processing thread looks at the slow file.
  int64_t slow_checked_us_ = 0;
  long slow_delay_us_ = 0;
  orvikevt::PeriodicTask writer_;
};

// Made by module_init, deleted by module_cleanup; left alone when the daemon
// ends on a signal (the report is rewritten as events come in).
Verifier *verifier = nullptr;

// Where a call during the process's exit is recorded (set by module_init).
char exit_marker[4096] = {};
std::atomic<bool> process_exiting{false};

// Destroyed by exit(): marks the exit and gives a processing thread that is
// not held back time to call the module.
struct ExitProbe {
  ExitProbe() = default;
  ExitProbe(const ExitProbe &) = delete;
  ExitProbe &operator=(const ExitProbe &) = delete;
  ~ExitProbe() {
    process_exiting = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
} exit_probe;

// Records a call made while the process exits, without stdio.
void note_call_during_exit() {
  int fd = open(exit_marker, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  static constexpr char kLine[] = "handle_event called during exit\n";
  [[maybe_unused]] ssize_t written = write(fd, kLine, sizeof(kLine) - 1);
  close(fd);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int module_init(char *args) {
  if (args == nullptr || args[0] == '\0' || verifier != nullptr) return EINVAL;
  int length = std::snprintf(exit_marker, sizeof(exit_marker), "%s/called-during-exit", args);
  if (length < 0 || static_cast<size_t>(length) >= sizeof(exit_marker)) return ENAMETOOLONG;
  try {
    verifier = new Verifier(args);
  } catch (const std::bad_alloc &) {
    return ENOMEM;
  }
  if (!verifier->Publish(true)) {
    int error = errno != 0 ? errno : EIO;
    delete verifier;
    verifier = nullptr;
    return error;
  }
  return 0;
}

__attribute__((visibility("default"))) int handle_event(EventData *event) {
  if (event == nullptr || verifier == nullptr) return EINVAL;
  if (process_exiting.load()) note_call_during_exit();
  try {
    verifier->Handle(*event);
  } catch (const std::bad_alloc &) {
    return ENOMEM;
  }
  return 0;
}

__attribute__((visibility("default"))) int module_cleanup(void) {
  if (verifier != nullptr) {
    // The writing thread stops first: no periodic report can replace the
    // final one.
    verifier->StopWriting();
    verifier->MarkCleanedUp();
    verifier->Publish(true);
  }
  delete verifier;
  verifier = nullptr;
  return 0;
}

}  // extern "C"

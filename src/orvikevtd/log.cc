// The daemon's log: one entry per call, a local time stamp followed by the
// message, written whole under logmutex. Callers on both threads; the signal
// path logs from the main thread, never from a handler.
//
// A flood of one message (a scanner resetting thousands of connections a
// second, a module failing every record) is held to a few entries a second:
// entries are told apart by their format, which names the call site, so an
// address or a number in them does not make a flood look like many
// messages. A text handed over whole ("%s", as modules log) is told apart by
// the text itself. The first entries of every second are written as they
// are; one line then counts the rest. Start-up is not held back: it logs
// each module and directive once, however many there are.
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "evtserver.h"

namespace orvikevtd {
namespace {

// The log grows without a bound of its own (rotation is up to logrotate): on
// a 32-bit target it must still grow beyond 2 GiB, and its stamps must go on
// after 2038 (the build asks for 64-bit file offsets and times).
static_assert(sizeof(off_t) == 8, "the log needs 64-bit file offsets");
static_assert(sizeof(time_t) == 8, "the log's stamps need a 64-bit time_t");

constexpr int64_t kLimitWindowNs = 1000000000;

void write_stamped(FILE *file, const char *message) {
  time_t now = std::time(nullptr);
  struct tm local = {};
  localtime_r(&now, &local);
  std::fprintf(file, "%04d-%02d-%02d %02d:%02d:%02d ", local.tm_year + 1900, local.tm_mon + 1,
               local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  // The message is written as data, never used as a format again, so a '%'
  // in a host name or object reaches the log unchanged.
  std::fputs(message, file);
}

uint64_t fnv1a(const char *text) {
  uint64_t hash = 14695981039346656037ull;
  for (; *text != '\0'; ++text) {
    hash ^= static_cast<unsigned char>(*text);
    hash *= 1099511628211ull;
  }
  return hash;
}

uint64_t kind_key(const char *format, const char *message) {
  bool passed_through = std::strcmp(format, "%s") == 0 || std::strcmp(format, "%s\n") == 0;
  uint64_t key = fnv1a(passed_through ? message : format);
  return key != 0 ? key : 1;
}

// "Left out N more lines like: <message>", cut to the entry's 255
// characters and ended by a newline whatever the cut.
void write_left_out(FILE *file, LogLimiter::Kind &kind) {
  if (kind.left_out == 0) return;
  char line[kLogBufferSize];
  int length = static_cast<int>(std::strcspn(kind.last, "\n"));
  int used = std::snprintf(line, sizeof(line), "Left out %lu more lines like: %.*s\n",
                           kind.left_out, length, kind.last);
  if (used >= static_cast<int>(sizeof(line))) line[sizeof(line) - 2] = '\n';
  write_stamped(file, line);
  kind.left_out = 0;
}

// The slot of key: its own, else a free one, else the one whose second
// began longest ago (its count is written out first).
LogLimiter::Kind &kind_of(FILE *file, LogLimiter &limiter, uint64_t key) {
  LogLimiter::Kind *oldest = &limiter.kinds[0];
  for (LogLimiter::Kind &kind : limiter.kinds) {
    if (kind.key == key) return kind;
    if (kind.key == 0) {
      oldest = &kind;
      break;
    }
    if (kind.window_start < oldest->window_start) oldest = &kind;
  }
  write_left_out(file, *oldest);
  *oldest = LogLimiter::Kind{};
  oldest->key = key;
  return *oldest;
}

// True when the entry in logbuffer is to be written; counts it otherwise.
bool admit(EvtServer &server, const char *format) REQUIRES(server.logmutex) {
  LogLimiter &limiter = server.loglimiter;
  if (!limiter.active) return true;
  int64_t now = monotonic_ns();
  LogLimiter::Kind &kind = kind_of(server.logfile, limiter, kind_key(format, server.logbuffer));
  if (kind.written == 0 || now - kind.window_start >= kLimitWindowNs) {
    write_left_out(server.logfile, kind);
    kind.window_start = now;
    kind.written = 0;
  }
  if (kind.written < limiter.burst) {
    ++kind.written;
    return true;
  }
  ++kind.left_out;
  std::memcpy(kind.last, server.logbuffer, sizeof(kind.last));
  return false;
}

void summarize_all(EvtServer &server, bool only_past) REQUIRES(server.logmutex) {
  int64_t now = monotonic_ns();
  for (LogLimiter::Kind &kind : server.loglimiter.kinds) {
    if (kind.left_out == 0 || (only_past && now - kind.window_start < kLimitWindowNs)) continue;
    write_left_out(server.logfile, kind);
    kind.written = 0;
  }
}

// log_file as an absolute path: the daemon leaves its folder when it
// detaches, and a reopened relative path would land in "/".
std::string absolute_path(const char *path) {
  if (path[0] == '/') return path;
  char folder[PATH_MAX];
  if (getcwd(folder, sizeof(folder)) == nullptr) return path;
  return std::string(folder) + "/" + path;
}

}  // namespace

bool log_open(EvtServer &server) {
  // localtime_r does not itself read the zone; read it once here.
  tzset();
  // Close-on-exec: no program a module starts inherits the log.
  FILE *file = orvik::open_output(server.log_file, O_APPEND, orvik::kPrivateFileMode);
  if (file == nullptr) return false;
  server.log_path = absolute_path(server.log_file);
  MutexLock lock(&server.logmutex);
  server.logfile = file;
  return true;
}

void log_close(EvtServer &server) {
  MutexLock lock(&server.logmutex);
  if (server.logfile == nullptr) return;
  summarize_all(server, false);
  std::fclose(server.logfile);
  server.logfile = nullptr;
}

void log_flush(EvtServer &server) {
  MutexLock lock(&server.logmutex);
  if (server.logfile != nullptr) std::fflush(server.logfile);
}

int log_reopen(EvtServer &server) {
  FILE *file = orvik::open_output(server.log_path.c_str(), O_APPEND, orvik::kPrivateFileMode);
  if (file == nullptr) return errno != 0 ? errno : EIO;
  MutexLock lock(&server.logmutex);
  if (server.logfile == nullptr) {
    std::fclose(file);
    return 0;
  }
  // Everything written so far goes to the renamed file, which the old
  // stream still holds; every later entry goes to the new one.
  std::fclose(server.logfile);
  server.logfile = file;
  return 0;
}

void log_limit_repeats(EvtServer &server) {
  MutexLock lock(&server.logmutex);
  server.loglimiter.active = true;
}

void log_summarize_left_out(EvtServer &server) {
  MutexLock lock(&server.logmutex);
  if (server.logfile == nullptr) return;
  summarize_all(server, true);
  if (server.flags & kFlagFlushLog) std::fflush(server.logfile);
}

int log_entry_v(EvtServer &server, const char *format, va_list args) {
  if (format == nullptr) return 1;
  MutexLock lock(&server.logmutex);
  if (server.logfile == nullptr) return 1;
  std::vsnprintf(server.logbuffer, sizeof(server.logbuffer), format, args);
  if (!admit(server, format)) return 0;
  write_stamped(server.logfile, server.logbuffer);
  // Flushed under the lock: the main thread may close the stream at any
  // moment during shutdown, and the other thread must not flush it then.
  if (server.flags & kFlagFlushLog) std::fflush(server.logfile);
  return 0;
}

int log_entry(EvtServer &server, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int result = log_entry_v(server, format, args);
  va_end(args);
  return result;
}

void log_startup_failure(EvtServer &server, const char *format, ...) {
  // Standard error takes the whole message; the log cuts it as every entry.
  char message[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof(message), format, args);
  va_end(args);
  log_entry(server, "%s", message);
  if (!server.check_only) std::fprintf(stderr, "orvikevtd: %s", message);
}

void log_use_stream(EvtServer &server, FILE *stream) {
  MutexLock lock(&server.logmutex);
  server.logfile = stream;
}

}  // namespace orvikevtd

extern "C" int orvikevtd_log_entry(const char *format, ...) {
  va_list args;
  va_start(args, format);
  int result = orvikevtd::log_entry_v(orvikevtd::orvikevtd_server(), format, args);
  va_end(args);
  return result;
}

// The daemon's log: one entry per call, a local time stamp followed by the
// message, written whole under logmutex. Callers on both threads; the signal
// path logs from the main thread, never from a handler.
#include <sys/types.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "evtserver.h"

namespace orvikevtd {

// The log is never rotated: on a 32-bit target it must still grow beyond
// 2 GiB, and its stamps must go on after 2038 (the build asks for 64-bit
// file offsets and times).
static_assert(sizeof(off_t) == 8, "the log needs 64-bit file offsets");
static_assert(sizeof(time_t) == 8, "the log's stamps need a 64-bit time_t");

bool log_open(EvtServer &server) {
  // localtime_r does not itself read the zone; read it once here.
  tzset();
  // Close-on-exec: no program a module starts inherits the log.
  FILE *file = std::fopen(server.log_file, "ae");
  if (file == nullptr) return false;
  MutexLock lock(&server.logmutex);
  server.logfile = file;
  return true;
}

void log_close(EvtServer &server) {
  MutexLock lock(&server.logmutex);
  if (server.logfile != nullptr) std::fclose(server.logfile);
  server.logfile = nullptr;
}

void log_flush(EvtServer &server) {
  MutexLock lock(&server.logmutex);
  if (server.logfile != nullptr) std::fflush(server.logfile);
}

int log_entry_v(EvtServer &server, const char *format, va_list args) {
  if (format == nullptr) return 1;
  MutexLock lock(&server.logmutex);
  if (server.logfile == nullptr) return 1;
  time_t now = std::time(nullptr);
  struct tm local = {};
  localtime_r(&now, &local);
  std::fprintf(server.logfile, "%04d-%02d-%02d %02d:%02d:%02d ", local.tm_year + 1900,
               local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  // The formatted message is written as data, never used as a format again,
  // so a '%' in a host name or object reaches the log unchanged.
  std::vsnprintf(server.logbuffer, sizeof(server.logbuffer), format, args);
  std::fputs(server.logbuffer, server.logfile);
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

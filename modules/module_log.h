// Logging for handler modules: a module writes lines into the daemon's own
// log through the orvikevtd_log_entry that the daemon's executable exports.
//
// The function is looked up at run time with dlsym(RTLD_DEFAULT, ...), never
// linked against, so a module still loads in a host without it (another
// program, a unit test); there every line is dropped. Each line gets the
// daemon's time stamp and is cut to 255 characters; a line without a final
// newline gets one. The text is passed on as data, so a '%' in a path or a
// host name is written verbatim. Safe on any thread: the daemon's log
// serialises whole entries.
//
// FailureEpisode keeps a module to one line per failure episode: the first
// failure logs, later ones stay quiet until a success ends the episode.
#ifndef ORVIKEVT_MODULES_MODULE_LOG_H_
#define ORVIKEVT_MODULES_MODULE_LOG_H_

#include <dlfcn.h>
#include <orvik/episode.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace orvikevt {

using DaemonLogFunction = int (*)(const char *format, ...);

// The host's log function, or null when the host exports none.
inline DaemonLogFunction daemon_log_function() {
  static const DaemonLogFunction function =
      reinterpret_cast<DaemonLogFunction>(dlsym(RTLD_DEFAULT, "orvikevtd_log_entry"));
  return function;
}

// Formats one line and hands it to the daemon's log. False when the host has
// no log function or its log is closed.
inline bool module_log_v(const char *format, va_list args) __attribute__((format(printf, 1, 0)));
inline bool module_log_v(const char *format, va_list args) {
  DaemonLogFunction log = daemon_log_function();
  if (log == nullptr || format == nullptr) return false;
  // The daemon's entries hold at most 255 characters.
  char line[256];
  int length = std::vsnprintf(line, sizeof(line), format, args);
  if (length < 0) return false;
  size_t used = std::strlen(line);
  if (used == 0 || line[used - 1] != '\n') {
    if (used == sizeof(line) - 1) --used;
    line[used] = '\n';
    line[used + 1] = '\0';
  }
  return log("%s", line) == 0;
}

inline bool module_log(const char *format, ...) __attribute__((format(printf, 1, 2)));
inline bool module_log(const char *format, ...) {
  va_list args;
  va_start(args, format);
  bool written = module_log_v(format, args);
  va_end(args);
  return written;
}

// One module's failure state for one kind of failure (writing its file, say).
// Failed and Succeeded may be called from different threads.
class FailureEpisode {
 public:
  // Logs the line when this failure starts an episode; quiet otherwise.
  void Failed(const char *format, ...) __attribute__((format(printf, 2, 3))) {
    if (!episode_.Begin()) return;
    va_list args;
    va_start(args, format);
    module_log_v(format, args);
    va_end(args);
  }
  // Ends the episode: the next failure logs again.
  void Succeeded() { episode_.End(); }
  bool failing() const { return episode_.active(); }

 private:
  orvik::OncePerEpisode episode_;
};

}  // namespace orvikevt

#endif  // ORVIKEVT_MODULES_MODULE_LOG_H_

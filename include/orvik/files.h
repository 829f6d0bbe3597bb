/* Files the daemon and its shipped modules create. A detached daemon runs
 * with umask 0, so a file made with the default mode of fopen would be
 * writable by every user (a forged log line, a changed count): each is made
 * with its own mode, which the umask narrows further where one is set (the
 * service's). Header-only; C++ only. */
#ifndef ORVIK_FILES_H_
#define ORVIK_FILES_H_

#ifdef __cplusplus

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace orvik {

// Logs and event data: the service's user writes, its group reads.
inline constexpr mode_t kPrivateFileMode = 0640;
// Figures a collector of another user reads.
inline constexpr mode_t kFiguresFileMode = 0644;

// Opens path as a stream with the flags given (O_APPEND or O_TRUNC, say,
// besides O_WRONLY | O_CREAT | O_CLOEXEC), made with mode when it is new.
// Null with errno set on failure.
inline FILE *open_output(const char *path, int flags, mode_t mode) {
  int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC | flags, mode);
  if (fd < 0) return nullptr;
  FILE *file = fdopen(fd, (flags & O_APPEND) != 0 ? "a" : "w");
  if (file == nullptr) {
    int error = errno;
    close(fd);
    errno = error;
  }
  return file;
}

}  // namespace orvik

#endif  // __cplusplus

#endif  // ORVIK_FILES_H_

/* The clocks of the daemon and its shipped modules, one helper each: the
 * monotonic clock for intervals, deadlines and timed waits, and the wall
 * clock for time stamps that are stored or compared with other hosts'.
 * Header-only; C++ only. */
#ifndef ORVIK_CLOCK_H_
#define ORVIK_CLOCK_H_

#ifdef __cplusplus

#include <time.h>

#include <cstdint>

namespace orvik {

inline constexpr int64_t kNsPerSecond = 1000000000;

// CLOCK_MONOTONIC in nanoseconds.
inline int64_t monotonic_ns() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * kNsPerSecond + now.tv_nsec;
}

// A monotonic reading as the timespec that timed waits on CLOCK_MONOTONIC
// take (sem_clockwait, pthread_mutex_clocklock).
inline timespec monotonic_timespec(int64_t ns) {
  timespec at = {};
  at.tv_sec = static_cast<time_t>(ns / kNsPerSecond);
  at.tv_nsec = static_cast<long>(ns % kNsPerSecond);
  return at;
}

// CLOCK_REALTIME in microseconds since the epoch (64 bits on every target).
inline int64_t wall_clock_us() {
  timespec now = {};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

}  // namespace orvik

#endif  // __cplusplus

#endif  // ORVIK_CLOCK_H_

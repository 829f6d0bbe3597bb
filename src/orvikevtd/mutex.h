// Private to orvikevtd: a mutex and a condition variable over pthreads,
// annotated for clang's thread-safety analysis (-Wthread-safety) so that the
// daemon's lock discipline (which data each lock guards, and that no lock is
// held twice) is checked by the compiler. Under other compilers the
// annotations vanish. Neither type can fail after construction: the pthread
// results on a correctly used, default mutex are always 0. Beside them, a
// semaphore that a signal handler may post.
#ifndef ORVIKEVTD_MUTEX_H_
#define ORVIKEVTD_MUTEX_H_

#include <errno.h>
#include <orvik/clock.h>
#include <pthread.h>
#include <semaphore.h>
#include <time.h>

#if defined(__clang__)
#define ORVIKEVTD_TSA(x) __attribute__((x))
#else
#define ORVIKEVTD_TSA(x)
#endif

#define CAPABILITY(x) ORVIKEVTD_TSA(capability(x))
#define SCOPED_CAPABILITY ORVIKEVTD_TSA(scoped_lockable)
#define GUARDED_BY(x) ORVIKEVTD_TSA(guarded_by(x))
#define ACQUIRE(...) ORVIKEVTD_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) ORVIKEVTD_TSA(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) ORVIKEVTD_TSA(try_acquire_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS ORVIKEVTD_TSA(no_thread_safety_analysis)
#define REQUIRES(...) ORVIKEVTD_TSA(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) ORVIKEVTD_TSA(locks_excluded(__VA_ARGS__))

namespace orvikevtd {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  ~Mutex() { pthread_mutex_destroy(&mutex_); }
  Mutex(const Mutex &) = delete;
  Mutex &operator=(const Mutex &) = delete;

  void Lock() ACQUIRE() { pthread_mutex_lock(&mutex_); }
  void Unlock() RELEASE() { pthread_mutex_unlock(&mutex_); }
  // Takes the mutex if it comes free within milliseconds (monotonic clock);
  // false when the time ran out.
  bool LockWithin(long milliseconds) TRY_ACQUIRE(true) {
    timespec deadline =
        orvik::monotonic_timespec(orvik::monotonic_ns() + int64_t{milliseconds} * 1000000);
    return pthread_mutex_clocklock(&mutex_, CLOCK_MONOTONIC, &deadline) == 0;
  }

 private:
  friend class CondVar;
  pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
};

// Holds a Mutex for the lifetime of the scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex *mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_->Lock(); }
  ~MutexLock() RELEASE() { mutex_->Unlock(); }
  MutexLock(const MutexLock &) = delete;
  MutexLock &operator=(const MutexLock &) = delete;

 private:
  Mutex *const mutex_;
};

class CondVar {
 public:
  CondVar() = default;
  ~CondVar() { pthread_cond_destroy(&cond_); }
  CondVar(const CondVar &) = delete;
  CondVar &operator=(const CondVar &) = delete;

  // Releases mutex while waiting and holds it again on return; callers wait
  // in a loop on their own condition (wake-ups may be spurious).
  void Wait(Mutex *mutex) REQUIRES(mutex) { pthread_cond_wait(&cond_, &mutex->mutex_); }
  // Waits at most milliseconds (monotonic clock); false when they passed.
  bool WaitFor(Mutex *mutex, long milliseconds) REQUIRES(mutex) {
    timespec deadline =
        orvik::monotonic_timespec(orvik::monotonic_ns() + int64_t{milliseconds} * 1000000);
    return pthread_cond_clockwait(&cond_, &mutex->mutex_, CLOCK_MONOTONIC, &deadline) != ETIMEDOUT;
  }
  void Signal() { pthread_cond_signal(&cond_); }

 private:
  pthread_cond_t cond_ = PTHREAD_COND_INITIALIZER;
};

// A counting semaphore whose Post may be called from a signal handler.
class Semaphore {
 public:
  Semaphore() { sem_init(&sem_, 0, 0); }
  ~Semaphore() { sem_destroy(&sem_); }
  Semaphore(const Semaphore &) = delete;
  Semaphore &operator=(const Semaphore &) = delete;

  // Async-signal-safe.
  void Post() { sem_post(&sem_); }
  // Waits for a post until deadline (monotonic clock). False when the
  // deadline has passed; true on a post or an interrupting signal, so
  // callers look at their own condition again.
  bool WaitUntil(const timespec &deadline) {
    return sem_clockwait(&sem_, CLOCK_MONOTONIC, &deadline) == 0 || errno != ETIMEDOUT;
  }

 private:
  sem_t sem_;
};

}  // namespace orvikevtd

#endif  // ORVIKEVTD_MUTEX_H_

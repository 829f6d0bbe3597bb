// A background task for handler modules: runs a function every interval on
// its own thread until stopped.
//
// Modules start it from handle_event (after the daemon has detached: threads
// do not survive fork) and stop it in module_cleanup, before the module is
// closed. Start and Stop may be called from different threads; Stop joins.
#ifndef ORVIKEVT_MODULES_PERIODIC_H_
#define ORVIKEVT_MODULES_PERIODIC_H_

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

namespace orvikevt {

class PeriodicTask {
 public:
  PeriodicTask(std::chrono::milliseconds interval, std::function<void()> task)
      : interval_(interval), task_(std::move(task)) {}
  ~PeriodicTask() { Stop(); }
  PeriodicTask(const PeriodicTask &) = delete;
  PeriodicTask &operator=(const PeriodicTask &) = delete;

  // Starts the thread unless it runs already or the task was stopped.
  // False when the thread cannot be made (the caller goes on without it).
  bool Start() {
    std::lock_guard lock(mutex_);
    if (thread_.joinable() || stopping_) return true;
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::exception &) {
      return false;
    }
    return true;
  }

  // Stops the thread and waits for it; the task does not run again.
  void Stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Run() {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, interval_, [this] { return stopping_; })) {
      lock.unlock();
      task_();
      lock.lock();
    }
  }

  const std::chrono::milliseconds interval_;
  const std::function<void()> task_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace orvikevt

#endif  // ORVIKEVT_MODULES_PERIODIC_H_

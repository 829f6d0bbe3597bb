// The writer thread, buffer and retry loop behind sink modules (sink.h).
#include "sink.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <exception>
#include <system_error>
#include <utility>

#include "module_log.h"

namespace orvikevt::sink {
namespace {

using Clock = std::chrono::steady_clock;

// Longest error text quoted in a log line (an entry holds 255 characters).
constexpr size_t kMaxQuotedError = 160;

int64_t wall_clock_us() {
  timespec now = {};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

SinkOptions normalized(SinkOptions options) {
  options.batch_records = std::max<size_t>(options.batch_records, 1);
  options.max_buffered_records = std::max(options.max_buffered_records, options.batch_records);
  options.flush_interval = std::max(options.flush_interval, std::chrono::milliseconds(1));
  options.retry_min = std::max(options.retry_min, std::chrono::milliseconds(1));
  options.retry_max = std::max(options.retry_max, options.retry_min);
  options.tick_interval = std::max(options.tick_interval, std::chrono::milliseconds(1));
  return options;
}

std::string quoted_error(std::string error) {
  if (error.size() > kMaxQuotedError) error.resize(kMaxQuotedError);
  std::replace(error.begin(), error.end(), '\n', ' ');
  return error;
}

}  // namespace

std::string ModuleLine(const std::string &module, const std::string &message) {
  return "(" + module + ") " + message + "\n";
}

void LogLine(const std::string &module, const std::string &message) {
  module_log("%s", ModuleLine(module, message).c_str());
}

Sink::Sink(std::string name, SinkOptions options, std::unique_ptr<SinkBackend> backend)
    : name_(std::move(name)),
      options_(normalized(std::move(options))),
      backend_(std::move(backend)) {
  // Full batches waiting, one being written and one filling.
  size_t batches = options_.max_buffered_records / options_.batch_records + 2;
  filling_.reserve(options_.batch_records);
  spare_.resize(batches - 1);
  for (Batch &batch : spare_) batch.reserve(options_.batch_records);
}

Sink::~Sink() {
  StopAtExit();
}

int Sink::Accept(const EventData &event) {
  int64_t received_us = wall_clock_us();
  EventOrigin origin = current_event_origin();
  std::unique_lock lock(mutex_);
  if (closing_ || stopping_) return ECANCELED;
  if (!writer_.joinable() && !StartWriter()) return EAGAIN;
  room_.wait(lock,
             [this] { return buffered_ < options_.max_buffered_records || closing_ || stopping_; });
  if (closing_ || stopping_) return ECANCELED;
  if (filling_.capacity() == 0) {
    try {
      filling_.reserve(options_.batch_records);
    } catch (const std::bad_alloc &) {
      return ENOMEM;
    }
  }
  bool first = filling_.empty();
  if (first) filling_since_ = Clock::now();
  filling_.push_back(SinkRecord{event, received_us, origin});
  ++buffered_;
  if (filling_.size() >= options_.batch_records) {
    ready_.push_back(std::move(filling_));
    filling_ = Batch();
    if (!spare_.empty()) {
      filling_ = std::move(spare_.back());
      spare_.pop_back();
    }
    writer_wake_.notify_one();
  } else if (first) {
    writer_wake_.notify_one();  // the flush interval starts now
  }
  return 0;
}

int Sink::Close(Clock::time_point deadline) {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
    close_deadline_ = deadline;
  }
  writer_wake_.notify_all();
  room_.notify_all();
  std::lock_guard join(join_mutex_);
  if (writer_.joinable()) {
    writer_.join();
  } else {
    std::unique_lock lock(mutex_);
    if (!finished_ && !stopping_) FinishBackend(lock);
    finished_ = true;
  }
  std::lock_guard lock(mutex_);
  return all_written_ ? 0 : ETIMEDOUT;
}

void Sink::StopAtExit() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  writer_wake_.notify_all();
  room_.notify_all();
  std::lock_guard join(join_mutex_);
  if (writer_.joinable()) writer_.join();
}

bool Sink::StartWriter() {
  // Signals go to the daemon's main thread, never to the writer.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  bool started = true;
  try {
    writer_ = std::thread([this] { RunWriter(); });
  } catch (const std::system_error &) {
    started = false;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!started) Log("writer thread cannot be started, event not taken");
  return started;
}

void Sink::RunWriter() {
  std::unique_lock lock(mutex_);
  Batch batch;
  size_t lost = 0;
  while (NextBatch(lock, batch)) {
    bool written = WriteWithRetry(lock, batch);
    if (!written) {
      lost += batch.size();
      backend_->StopCounting();
    } else if (backend_->DurableOnWrite()) {
      backend_->AddCommitted(batch.size());
    }
    Recycle(batch);
    if (written) TickBackend(lock);
  }
  if (closing_ && !stopping_) {
    lost += buffered_;
    if (lost > 0) {
      all_written_ = false;
      lock.unlock();
      Log(std::to_string(lost) + " events not written by cleanup");
      lock.lock();
    }
    FinishBackend(lock);
  }
  finished_ = true;
}

bool Sink::NextBatch(std::unique_lock<std::mutex> &lock, Batch &batch) {
  Clock::time_point next_tick = Clock::now() + options_.tick_interval;
  for (;;) {
    if (stopping_) return false;
    if (!ready_.empty()) {
      batch = std::move(ready_.front());
      ready_.pop_front();
      return true;
    }
    Clock::time_point flush_due = filling_since_ + options_.flush_interval;
    if (!filling_.empty() && (closing_ || Clock::now() >= flush_due)) {
      batch = std::move(filling_);
      filling_ = Batch();
      if (!spare_.empty()) {
        filling_ = std::move(spare_.back());
        spare_.pop_back();
      }
      return true;
    }
    if (closing_) return false;  // everything written
    Clock::time_point wake = filling_.empty() ? next_tick : std::min(next_tick, flush_due);
    writer_wake_.wait_until(lock, wake);
    if (Clock::now() >= next_tick) {
      TickBackend(lock);
      next_tick = Clock::now() + options_.tick_interval;
    }
  }
}

bool Sink::WriteWithRetry(std::unique_lock<std::mutex> &lock, const Batch &batch) {
  std::chrono::milliseconds backoff = options_.retry_min;
  for (;;) {
    lock.unlock();
    std::string error;
    try {
      error = backend_->Write(std::span<const SinkRecord>(batch));
    } catch (const std::exception &exception) {
      error = std::string("exception: ") + exception.what();
    } catch (...) {
      error = "unknown exception";
    }
    lock.lock();
    if (error.empty()) {
      if (failed_attempts_ > 0) {
        std::string attempts = std::to_string(failed_attempts_);
        failed_attempts_ = 0;
        lock.unlock();
        Log("writing works again after " + attempts + " failed attempts");
        lock.lock();
      }
      return true;
    }
    if (failed_attempts_++ == 0) {
      lock.unlock();
      Log("writing failed, retrying: " + quoted_error(std::move(error)));
      lock.lock();
    }
    Clock::time_point retry_at = Clock::now() + backoff;
    if (closing_) retry_at = std::min(retry_at, close_deadline_);
    if (writer_wake_.wait_until(lock, retry_at, [this] { return stopping_ || GivingUp(); })) {
      return false;
    }
    backoff = std::min(backoff * 2, options_.retry_max);
  }
}

void Sink::Recycle(Batch &batch) {
  buffered_ -= batch.size();
  batch.clear();
  spare_.push_back(std::move(batch));
  batch = Batch();
  room_.notify_all();
}

void Sink::FinishBackend(std::unique_lock<std::mutex> &lock) {
  Clock::time_point deadline = close_deadline_;
  lock.unlock();
  bool finished = false;
  try {
    finished = backend_->Finish(deadline);
  } catch (...) {
    finished = false;
  }
  if (!finished) Log("backend not finished by cleanup");
  lock.lock();
  if (!finished) all_written_ = false;
}

void Sink::TickBackend(std::unique_lock<std::mutex> &lock) {
  lock.unlock();
  try {
    backend_->Tick();
  } catch (...) {
    // Housekeeping is tried again at the next tick.
  }
  lock.lock();
}

bool Sink::GivingUp() const {
  return closing_ && Clock::now() >= close_deadline_;
}

void Sink::Log(const std::string &message) const {
  if (options_.log) {
    options_.log(ModuleLine(name_, message));
  } else {
    LogLine(name_, message);
  }
}

}  // namespace orvikevt::sink

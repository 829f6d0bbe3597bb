// The writer thread, buffer and retry loop behind sink modules (sink.h).
#include "sink.h"

#include <dlfcn.h>
#include <orvik/clock.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <exception>
#include <new>
#include <string_view>
#include <system_error>
#include <utility>

#include "module_log.h"

namespace orvikevt::sink {
namespace {

using Clock = std::chrono::steady_clock;

// After Close's deadline the writer only winds up (Abandon, Finish with the
// passed deadline); Close waits this long for that, then leaves behind a
// writer that a backend call holds.
constexpr std::chrono::milliseconds kWindUp{100};

// Longest error text quoted in a log line (an entry holds 255 characters).
constexpr size_t kMaxQuotedError = 160;

using orvik::wall_clock_us;

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
  // Room for every batch there can be, so that recycling one never allocates.
  spare_.reserve(batches + 1);
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
  int writer = writer_.joinable() ? 0 : StartWriter();
  if (writer == 0) {
    room_.wait(lock, [this] {
      return buffered_ < options_.max_buffered_records || closing_ || stopping_;
    });
    if (closing_ || stopping_) return ECANCELED;
  } else if (buffered_ >= options_.max_buffered_records) {
    return writer;  // no writer makes room: the record is not taken
  }
  if (int held = Hold(event, received_us, origin); held != 0) return held;
  return writer;
}

int Sink::Hold(const EventData &event, int64_t received_us, const EventOrigin &origin) {
  // A full batch that could not be queued before goes first.
  if (filling_.size() >= options_.batch_records && !HandOverFilling()) return ENOMEM;
  if (filling_.capacity() == 0) {
    try {
      filling_.reserve(options_.batch_records);
    } catch (const std::bad_alloc &) {
      return ENOMEM;
    }
  }
  bool first = filling_.empty();
  if (first) filling_since_ = Clock::now();
  filling_.push_back(SinkRecord{event, received_us, origin});  // within the reserved room
  ++buffered_;
  if (filling_.size() >= options_.batch_records) {
    // Held either way: a batch the queue cannot take goes out from filling_
    // (the writer takes a full one at once) or at the next Accept.
    return HandOverFilling() ? 0 : ENOMEM;
  }
  if (first) writer_wake_.notify_one();  // the flush interval starts now
  return 0;
}

bool Sink::HandOverFilling() {
  try {
    ready_.push_back(std::move(filling_));
  } catch (const std::bad_alloc &) {
    writer_wake_.notify_one();
    return false;
  }
  filling_ = Batch();
  if (!spare_.empty()) {
    filling_ = std::move(spare_.back());
    spare_.pop_back();
  }
  writer_wake_.notify_one();
  return true;
}

int Sink::Close(Clock::time_point deadline) {
  std::unique_lock lock(mutex_);
  closing_ = true;
  close_deadline_ = deadline;
  // Records held while the writer could not be started get another chance.
  if (!writer_.joinable() && buffered_ > 0) StartWriter();
  lock.unlock();
  writer_wake_.notify_all();
  room_.notify_all();
  std::lock_guard join(join_mutex_);
  lock.lock();
  if (writer_.joinable()) {
    if (!writer_ended_.wait_until(lock, deadline + kWindUp, [this] { return finished_; })) {
      // The writer is still inside a backend call: Close keeps its deadline
      // and leaves the writer to end by itself.
      close_gave_up_ = true;
      all_written_ = false;
      ReportUnwritten(lock);
      return ETIMEDOUT;
    }
    lock.unlock();
    writer_.join();
    lock.lock();
  } else if (!finished_ && !stopping_) {
    ReportUnwritten(lock);
    FinishBackend(lock);
    finished_ = true;
  }
  return all_written_ ? 0 : ETIMEDOUT;
}

bool Sink::WriterEnded() {
  std::lock_guard lock(mutex_);
  return finished_ || !writer_started_;
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

int Sink::StartWriter() {
  // Signals go to the daemon's main thread, never to the writer.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  int result = 0;
  try {
    writer_ = std::thread([this] { RunWriter(); });
  } catch (const std::system_error &) {
    result = EAGAIN;
  } catch (const std::bad_alloc &) {
    result = ENOMEM;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  writer_started_ = result == 0;
  if (result != 0) Log("writer thread cannot be started; events wait for it");
  return result;
}

void Sink::RunWriter() {
  std::unique_lock lock(mutex_);
  Batch batch;
  while (NextBatch(lock, batch)) {
    bool written = WriteWithRetry(lock, batch);
    if (!written) {
      given_up_ += batch.size();
      backend_->StopCounting();
      AbandonBackend(lock, batch);
    } else if (backend_->DurableOnWrite()) {
      backend_->AddCommitted(batch.size());
    }
    Recycle(batch);
    if (written) TickBackend(lock);
  }
  if (closing_ && !stopping_ && !close_gave_up_) {
    ReportUnwritten(lock);
    FinishBackend(lock);
  }
  finished_ = true;
  writer_ended_.notify_all();
}

bool Sink::NextBatch(std::unique_lock<std::mutex> &lock, Batch &batch) {
  Clock::time_point next_tick = Clock::now() + options_.tick_interval;
  for (;;) {
    // Past Close's deadline nothing more is written.
    if (stopping_ || GivingUp()) return false;
    if (!ready_.empty()) {
      batch = std::move(ready_.front());
      ready_.pop_front();
      return true;
    }
    Clock::time_point flush_due = filling_since_ + options_.flush_interval;
    bool full = filling_.size() >= options_.batch_records;  // not queued for want of memory
    if (!filling_.empty() && (closing_ || full || Clock::now() >= flush_due)) {
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
    if (stopping_ || GivingUp()) {
      // The episode ends with this batch given up, not recovered.
      failed_attempts_ = 0;
      return false;
    }
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
    writer_wake_.wait_until(lock, retry_at, [this] { return stopping_ || GivingUp(); });
    backoff = std::min(backoff * 2, options_.retry_max);
  }
}

void Sink::Recycle(Batch &batch) {
  buffered_ -= batch.size();
  batch.clear();
  // Within the room reserved at construction; a batch beyond it is dropped.
  if (spare_.size() < spare_.capacity()) spare_.push_back(std::move(batch));
  batch = Batch();
  room_.notify_all();
}

void Sink::AbandonBackend(std::unique_lock<std::mutex> &lock, const Batch &batch) {
  lock.unlock();
  try {
    backend_->Abandon(std::span<const SinkRecord>(batch));
  } catch (...) {
    // Nothing to tell anyone: the batch is counted as not written.
  }
  lock.lock();
}

// The one line counting what Close did not get written: batches given up and
// everything still held, a batch inside a backend call too.
void Sink::ReportUnwritten(std::unique_lock<std::mutex> &lock) {
  if (unwritten_reported_) return;
  unwritten_reported_ = true;
  size_t unwritten = given_up_ + buffered_;
  if (unwritten == 0) return;
  all_written_ = false;
  lock.unlock();
  Log(std::to_string(unwritten) + " events not written by cleanup");
  lock.lock();
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

bool DestroyAfterClose(Sink *sink) {
  if (sink->WriterEnded()) {
    delete sink;
    return true;
  }
  // The daemon unloads the module after module_cleanup: a second reference,
  // never released, keeps its code mapped for the writer.
  Dl_info self = {};
  if (dladdr(reinterpret_cast<void *>(&DestroyAfterClose), &self) != 0 &&
      self.dli_fname != nullptr) {
    dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
  }
  return false;
}

void Sink::Log(std::string_view message) const {
  try {
    std::string text(message);
    if (options_.log) {
      options_.log(ModuleLine(name_, text));
    } else {
      LogLine(name_, text);
    }
  } catch (const std::bad_alloc &) {
    // The line is lost, not the caller's work.
  }
}

}  // namespace orvikevt::sink

// The store-and-forward runtime shared by sink modules (a database, a
// message bus): handle_event only copies the record into a bounded buffer,
// and a writer thread hands whole batches to the module's backend.
//
// Contract:
// - Sink::Accept (from handle_event, one caller at a time) copies the record,
//   its arrival time and its origin (event_origin.h, valid only during
//   handle_event) and returns 0. When the buffer holds
//   max_buffered_records it waits for room, so a slow or failing backend
//   slows intake down; nothing is dropped. It returns ECANCELED once the sink
//   is closed or stopped at exit. When the writer thread cannot be started
//   (EAGAIN, or ENOMEM for want of memory) or a full batch cannot be queued
//   for want of memory (ENOMEM), the record is still held and written later:
//   the next Accept, or Close, tries again. Only a record that finds no room
//   at all is not taken (with the same result).
// - The writer thread starts on the first Accept (module_init runs before the
//   daemon forks, and threads do not survive a fork). It hands a batch to
//   SinkBackend::Write when the batch holds batch_records, or when its oldest
//   record has waited flush_interval. Batches go out one at a time, in arrival
//   order. A failed Write is retried with the same records after a back-off
//   (retry_min doubling up to retry_max) until it succeeds; the first failure
//   of an episode and the recovery each give one log line. A batch given up
//   (Close's deadline, StopAtExit) ends its episode without a recovery line,
//   and the backend hears of it through Abandon.
// - Every backend call (Write, Abandon, Tick, Finish) runs on the writer
//   thread (Finish on Close's caller when no writer ever started), so a
//   backend needs no locks of its own. Tick runs after each written batch and
//   every tick_interval while idle. An exception from a backend call counts
//   as a failed Write (or is ignored for Tick and Finish).
// - Sink::Close (from module_cleanup, after the last Accept) writes out
//   everything held, the last partial batch too, then calls Finish, and stops
//   the writer. It gives up at its deadline: no Write starts after it, records
//   still unwritten are counted in one log line and Close returns ETIMEDOUT.
//   Close returns by its deadline (and a short wind-up) whatever the backend
//   does: a writer still inside a backend call then ends by itself once the
//   call returns, without calling Finish, and WriterEnded() says whether the
//   Sink may be destroyed without waiting for it (the destructor waits;
//   DestroyAfterClose does not).
// - The runtime counts the records the backend made durable, in arrival
//   order, for the module's module_committed: after each Write that succeeded
//   when SinkBackend::DurableOnWrite, otherwise as the backend reports them
//   through AddCommitted. Only records Accept took (or holds) count; once a
//   batch was given up, nothing more is counted (later records would not
//   follow on from the ones counted).
// - Sink::StopAtExit is for a static object's destructor, for when the daemon
//   ends on a signal without module_cleanup: it stops the writer after the
//   Write in progress, writes nothing more, and releases a waiting Accept.
// - Log lines go through the daemon's orvikevtd_log_entry ("(name) ...",
//   module_log.h), or through SinkOptions::log when it is set (tests).
#ifndef ORVIKEVT_MODULES_SINK_H_
#define ORVIKEVT_MODULES_SINK_H_

#include <orvik/event_p.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "event_origin.h"

namespace orvikevt::sink {

struct SinkRecord {
  EventData event;      // as handed to handle_event, host byte order
  int64_t received_us;  // wall clock, microseconds since the epoch, when Accept took it
  EventOrigin origin;   // the sender's stream and sequence number, when it gave them
};

class SinkBackend {
 public:
  virtual ~SinkBackend() = default;

  // Writes one whole batch (records in arrival order). Returns an empty
  // string when done, otherwise an error text: the runtime keeps the batch and
  // calls Write again with the same records, in the same order, after a
  // back-off. A retried Write must not store records twice that an earlier,
  // apparently failed, attempt did store.
  virtual std::string Write(std::span<const SinkRecord> batch) = 0;

  // The runtime gave this batch up after Write failed on it (or before any
  // Write, at Close's deadline): the next Write is another batch, never a
  // retry of this one.
  virtual void Abandon(std::span<const SinkRecord> batch) { (void)batch; }

  // Between batches and while idle: housekeeping (retention, acknowledgements).
  virtual void Tick() {}

  // Once at Close, after the last Write: waits until the backend holds nothing
  // unconfirmed, at most until deadline. False on time-out.
  virtual bool Finish(std::chrono::steady_clock::time_point deadline) {
    (void)deadline;
    return true;
  }

  // True when a Write that succeeded has made its records durable. A backend
  // that learns so later (a message bus's acknowledgement) returns false and
  // calls AddCommitted as its records become durable, in arrival order.
  virtual bool DurableOnWrite() const { return true; }

  // Records made durable so far, in arrival order; never decreases. Cheap:
  // module_committed reads it on the daemon's processing thread.
  uint64_t Committed() const { return committed_.load(std::memory_order_acquire); }
  // From any thread; ignored once counting has stopped.
  void AddCommitted(uint64_t records) {
    if (counting_.load(std::memory_order_acquire)) {
      committed_.fetch_add(records, std::memory_order_acq_rel);
    }
  }
  // Records were given up on: the ones after them are not counted either.
  void StopCounting() { counting_.store(false, std::memory_order_release); }

 private:
  std::atomic<uint64_t> committed_{0};
  std::atomic<bool> counting_{true};
};

struct SinkOptions {
  size_t batch_records = 1000;  // records per Write at most
  std::chrono::milliseconds flush_interval{200};
  size_t max_buffered_records = 4000;  // the memory bound: Accept waits beyond it
  std::chrono::milliseconds retry_min{10};
  std::chrono::milliseconds retry_max{1000};
  std::chrono::milliseconds tick_interval{100};
  // One complete log line (ending in "\n"); unset: the daemon's log.
  std::function<void(const std::string &line)> log;
};

// The log line "(module) message\n" that sinks and their modules write.
std::string ModuleLine(const std::string &module, const std::string &message);
// Writes that line through the daemon's log (module_log.h; dropped in a host
// without one). For module messages outside a Sink (module_init's complaints).
void LogLine(const std::string &module, const std::string &message);

// REQUIRES: options.batch_records > 0, max_buffered_records >= batch_records
// (Sink raises a smaller buffer to one batch), flush_interval > 0.
class Sink {
 public:
  // Allocates the whole buffer; throws std::bad_alloc.
  Sink(std::string name, SinkOptions options, std::unique_ptr<SinkBackend> backend);
  ~Sink();  // StopAtExit, then releases the backend
  Sink(const Sink &) = delete;
  Sink &operator=(const Sink &) = delete;

  int Accept(const EventData &event);

  // Writes out everything held and waits for it and for Finish, at most until
  // deadline. 0 when everything was written, otherwise ETIMEDOUT. Later
  // Accepts return ECANCELED.
  int Close(std::chrono::steady_clock::time_point deadline);

  // False while a writer that Close stopped waiting for is still inside a
  // backend call: destroying the Sink would wait for that call.
  bool WriterEnded();

  void StopAtExit();

  // The records made durable so far (SinkBackend::Committed).
  uint64_t Committed() const { return backend_->Committed(); }

 private:
  using Batch = std::vector<SinkRecord>;

  int StartWriter();  // 0, EAGAIN or ENOMEM; REQUIRES: mutex_ held
  // REQUIRES: mutex_ held.
  int Hold(const EventData &event, int64_t received_us, const EventOrigin &origin);
  bool HandOverFilling();  // REQUIRES: mutex_ held
  void RunWriter();
  bool NextBatch(std::unique_lock<std::mutex> &lock, Batch &batch);
  bool WriteWithRetry(std::unique_lock<std::mutex> &lock, const Batch &batch);
  void Recycle(Batch &batch);  // REQUIRES: mutex_ held
  void AbandonBackend(std::unique_lock<std::mutex> &lock, const Batch &batch);
  void ReportUnwritten(std::unique_lock<std::mutex> &lock);
  void FinishBackend(std::unique_lock<std::mutex> &lock);
  void TickBackend(std::unique_lock<std::mutex> &lock);
  bool GivingUp() const;                     // REQUIRES: mutex_ held
  void Log(std::string_view message) const;  // drops the line for want of memory

  const std::string name_;
  const SinkOptions options_;
  const std::unique_ptr<SinkBackend> backend_;

  std::mutex mutex_;
  std::condition_variable writer_wake_;  // records due, Close, StopAtExit
  std::condition_variable room_;         // the buffer has room again
  std::condition_variable writer_ended_;
  Batch filling_;
  std::chrono::steady_clock::time_point filling_since_;
  std::deque<Batch> ready_;  // full batches, oldest first
  std::vector<Batch> spare_;
  size_t buffered_ = 0;  // records in filling_, ready_ and the batch being written
  bool closing_ = false;
  bool stopping_ = false;  // StopAtExit
  bool writer_started_ = false;
  bool finished_ = false;  // the writer has ended
  bool all_written_ = true;
  size_t given_up_ = 0;              // records of batches given up
  bool unwritten_reported_ = false;  // the one line counting them is out
  bool close_gave_up_ = false;       // Close returned before the writer ended
  // Failed Writes since the last one that succeeded: a failure episode,
  // logged when it starts and when it ends.
  unsigned failed_attempts_ = 0;
  std::chrono::steady_clock::time_point close_deadline_;
  std::thread writer_;
  std::mutex join_mutex_;  // Close and StopAtExit may race to join
};

// For module_cleanup, after Close: destroys sink, or, when its writer is
// still inside a backend call (Close kept its deadline), leaves the Sink to
// that writer and keeps the calling module loaded until the process ends,
// since the writer runs the module's code. True when destroyed.
bool DestroyAfterClose(Sink *sink);

}  // namespace orvikevt::sink

#endif  // ORVIKEVT_MODULES_SINK_H_

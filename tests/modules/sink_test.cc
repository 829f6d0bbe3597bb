// The sink runtime with a backend that fails, stalls and recovers on demand:
// records reach it in order, each once, in whole batches, and intake waits
// when the buffer is full.
#include "sink.h"

#include <gtest/gtest.h>
#include <orvik/event_p.h>

#include "failing_allocations.h"
#include "test_target.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace {

// What the test host's orvikevtd_event_origin answers for the record being
// accepted: nothing set means a record without origin.
std::mutex origin_mutex;
std::optional<orvikevt::EventOrigin> host_origin;

void set_host_origin(std::optional<orvikevt::EventOrigin> origin) {
  std::lock_guard lock(origin_mutex);
  host_origin = origin;
}

using namespace std::chrono_literals;
using orvikevt::sink::Sink;
using orvikevt::sink::SinkBackend;
using orvikevt::sink::SinkOptions;
using orvikevt::sink::SinkRecord;
using Clock = std::chrono::steady_clock;

bool wait_for(const std::function<bool()> &condition, std::chrono::milliseconds timeout = 20s) {
  auto deadline = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() > deadline) return condition();
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

EventData numbered(uint64_t number) {
  EventData event = {};
  event.timestamp = number;
  event.datalen = 8;
  std::memcpy(event.data, &number, sizeof(number));
  std::strcpy(event.hostname, "host");
  return event;
}

// What the backend saw and what it is told to do, shared with the test.
struct Script {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<uint64_t> stored;               // timestamps of written records, in order
  std::vector<std::vector<uint64_t>> writes;  // every Write attempt
  std::vector<size_t> batch_sizes;            // successful Writes
  unsigned fail_next = 0;                     // the next n Writes fail
  bool fail_always = false;
  bool stall = false;  // Write waits while set
  bool stalled = false;
  bool throw_next = false;
  Clock::time_point fail_until;                  // Writes starting before it fail
  std::chrono::milliseconds write_time{0};       // how long each Write takes
  std::vector<Clock::time_point> write_starts;   // every Write attempt
  std::vector<std::vector<uint64_t>> abandoned;  // batches given up
  bool finish_result = true;
  int finish_calls = 0;
  size_t stored_at_finish = 0;
  int ticks = 0;
  std::thread::id writer;
  bool other_thread = false;  // a backend call came from another thread
  Clock::time_point first_write;

  size_t stored_count() {
    std::lock_guard lock(mutex);
    return stored.size();
  }
  void set(const std::function<void(Script &)> &change) {
    {
      std::lock_guard lock(mutex);
      change(*this);
    }
    changed.notify_all();
  }
  void note_thread() {
    if (writer == std::thread::id()) writer = std::this_thread::get_id();
    if (writer != std::this_thread::get_id()) other_thread = true;
  }
};

std::vector<uint64_t> timestamps(std::span<const SinkRecord> batch) {
  std::vector<uint64_t> numbers;
  for (const SinkRecord &record : batch) numbers.push_back(record.event.timestamp);
  return numbers;
}

class FakeBackend : public SinkBackend {
 public:
  explicit FakeBackend(Script &script) : script_(script) {}

  std::string Write(std::span<const SinkRecord> batch) override {
    std::unique_lock lock(script_.mutex);
    script_.note_thread();
    if (script_.writes.empty()) script_.first_write = Clock::now();
    std::vector<uint64_t> attempt = timestamps(batch);
    script_.writes.push_back(attempt);
    Clock::time_point started = Clock::now();
    script_.write_starts.push_back(started);
    if (script_.write_time > 0ms) {
      lock.unlock();
      std::this_thread::sleep_for(script_.write_time);
      lock.lock();
    }
    script_.stalled = script_.stall;
    script_.changed.notify_all();
    script_.changed.wait(lock, [this] { return !script_.stall; });
    script_.stalled = false;
    if (script_.throw_next) {
      script_.throw_next = false;
      throw std::runtime_error("backend threw");
    }
    if (script_.fail_always || started < script_.fail_until) return "disk on fire";
    if (script_.fail_next > 0) {
      --script_.fail_next;
      return "temporary\nfailure";
    }
    script_.stored.insert(script_.stored.end(), attempt.begin(), attempt.end());
    script_.batch_sizes.push_back(batch.size());
    return "";
  }
  void Abandon(std::span<const SinkRecord> batch) override {
    std::lock_guard lock(script_.mutex);
    script_.note_thread();
    script_.abandoned.push_back(timestamps(batch));
  }
  void Tick() override {
    std::lock_guard lock(script_.mutex);
    script_.note_thread();
    ++script_.ticks;
  }
  bool Finish(Clock::time_point) override {
    std::lock_guard lock(script_.mutex);
    script_.note_thread();
    ++script_.finish_calls;
    script_.stored_at_finish = script_.stored.size();
    return script_.finish_result;
  }

 private:
  Script &script_;
};

// Keeps every record written, whole.
struct Capture : SinkBackend {
  std::mutex mutex;
  std::vector<SinkRecord> records;
  std::string Write(std::span<const SinkRecord> batch) override {
    std::lock_guard lock(mutex);
    records.insert(records.end(), batch.begin(), batch.end());
    return "";
  }
};

// Accepts records 0 .. count-1 on its own thread, stopping at a failure.
struct Intake {
  Intake(Sink &sink, uint64_t count)
      : thread([this, &sink, count] {
          for (uint64_t n = 0; n < count; ++n) {
            int result = sink.Accept(numbered(n));
            if (result != 0) {
              last_result = result;
              return;
            }
            accepted = n + 1;
          }
        }) {}
  std::atomic<uint64_t> accepted{0};
  std::atomic<int> last_result{0};
  std::thread thread;  // last: starts once the counters exist
};

class SinkTest : public ::testing::Test {
 protected:
  std::unique_ptr<Sink> make(SinkOptions options) {
    options.log = [this](const std::string &line) {
      std::lock_guard lock(log_mutex_);
      log_.push_back(line);
    };
    return std::make_unique<Sink>("test", std::move(options),
                                  std::make_unique<FakeBackend>(script_));
  }
  // Batches of batch_records that go out when full (or at Close), failed
  // Writes retried after retry_min doubling up to retry_max.
  std::unique_ptr<Sink> make_batched(size_t batch_records,
                                     std::chrono::milliseconds retry_min = 10ms,
                                     std::chrono::milliseconds retry_max = 1000ms) {
    SinkOptions options;
    options.batch_records = batch_records;
    options.flush_interval = 1h;
    options.retry_min = retry_min;
    options.retry_max = retry_max;
    return make(options);
  }
  std::vector<std::string> log() {
    std::lock_guard lock(log_mutex_);
    return log_;
  }
  size_t log_count(const std::string &part) {
    size_t count = 0;
    for (const std::string &line : log()) count += line.find(part) != std::string::npos;
    return count;
  }
  static std::vector<uint64_t> sequence(uint64_t from, uint64_t to) {
    std::vector<uint64_t> numbers;
    for (uint64_t n = from; n < to; ++n) numbers.push_back(n);
    return numbers;
  }

  Script script_;
  std::mutex log_mutex_;
  std::vector<std::string> log_;
};

TEST_F(SinkTest, FullBatchesGoOutInOrderWithoutWaitingForTheInterval) {
  SinkOptions options;
  options.batch_records = 10;
  options.flush_interval = 1h;
  auto sink = make(options);
  for (uint64_t n = 0; n < 100; ++n) ASSERT_EQ(sink->Accept(numbered(n)), 0);
  ASSERT_TRUE(wait_for([&] { return script_.stored_count() == 100; }));
  {
    std::lock_guard lock(script_.mutex);
    EXPECT_EQ(script_.stored, sequence(0, 100));
    EXPECT_EQ(script_.batch_sizes, std::vector<size_t>(10, 10));
  }
  EXPECT_EQ(sink->Close(Clock::now() + 10s), 0);
  EXPECT_FALSE(script_.other_thread);
  EXPECT_EQ(script_.finish_calls, 1);
}

TEST(Sink, RecordsCarryTheirArrivalTimeAndWholeContent) {
  auto capture = std::make_unique<Capture>();
  Capture &seen = *capture;
  Sink own("capture", SinkOptions(), std::move(capture));
  auto wall_us = [] {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  EventData event = numbered(7);
  for (size_t i = 0; i < sizeof(event.data); ++i) event.data[i] = static_cast<unsigned char>(i);
  event.flags = 0xffffffffu;
  int64_t before = wall_us();
  ASSERT_EQ(own.Accept(event), 0);
  int64_t after = wall_us();
  ASSERT_EQ(own.Close(Clock::now() + 10s), 0);
  ASSERT_EQ(seen.records.size(), 1u);
  EXPECT_EQ(std::memcmp(&seen.records[0].event, &event, sizeof(event)), 0);
  EXPECT_GE(seen.records[0].received_us, before);
  EXPECT_LE(seen.records[0].received_us, after);
}

TEST_F(SinkTest, APartialBatchWaitsTheFlushIntervalThenGoesOut) {
  SinkOptions options;
  options.batch_records = 1000;
  options.flush_interval = 100ms;
  auto sink = make(options);
  Clock::time_point accepted = Clock::now();
  for (uint64_t n = 0; n < 3; ++n) ASSERT_EQ(sink->Accept(numbered(n)), 0);
  ASSERT_TRUE(wait_for([&] { return script_.stored_count() == 3; }));
  {
    std::lock_guard lock(script_.mutex);
    EXPECT_GE(script_.first_write - accepted, 100ms);
    EXPECT_EQ(script_.batch_sizes, std::vector<size_t>{3});
  }
  // The interval counts from the oldest record of the next batch.
  ASSERT_EQ(sink->Accept(numbered(3)), 0);
  ASSERT_TRUE(wait_for([&] { return script_.stored_count() == 4; }));
  EXPECT_EQ(sink->Close(Clock::now() + 10s), 0);
}

TEST_F(SinkTest, FailedWritesAreRetriedWithTheSameBatchAndLoggedOncePerEpisode) {
  SinkOptions options;
  options.batch_records = 5;
  options.flush_interval = 1h;
  options.retry_min = 1ms;
  options.retry_max = 4ms;
  auto sink = make(options);
  script_.set([](Script &s) { s.fail_next = 4; });
  for (uint64_t n = 0; n < 5; ++n) ASSERT_EQ(sink->Accept(numbered(n)), 0);
  ASSERT_TRUE(wait_for([&] { return script_.stored_count() == 5; }));
  script_.set([](Script &s) {
    s.fail_next = 2;
    s.throw_next = true;
  });
  for (uint64_t n = 5; n < 20; ++n) ASSERT_EQ(sink->Accept(numbered(n)), 0);
  EXPECT_EQ(sink->Close(Clock::now() + 10s), 0);
  std::lock_guard lock(script_.mutex);
  EXPECT_EQ(script_.stored, sequence(0, 20));
  // 5 attempts for the first batch, 4 (one exception, two failures) for the
  // second, one each for the last two.
  ASSERT_EQ(script_.writes.size(), 11u);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(script_.writes[i], sequence(0, 5));
  for (size_t i = 5; i < 9; ++i) EXPECT_EQ(script_.writes[i], sequence(5, 10));
  EXPECT_EQ(log_count("writing failed, retrying: temporary failure\n"), 1u);
  EXPECT_EQ(log_count("writing failed, retrying: exception: backend threw\n"), 1u);
  EXPECT_EQ(log_count("(test) writing works again after 4 failed attempts\n"), 1u);
  EXPECT_EQ(log_count("(test) writing works again after 3 failed attempts\n"), 1u);
  EXPECT_EQ(log().size(), 4u);
}

TEST_F(SinkTest, AFullBufferHoldsIntakeBackUntilTheBackendCatchesUp) {
  SinkOptions options;
  options.batch_records = 10;
  options.max_buffered_records = 30;
  options.flush_interval = 1ms;
  auto sink = make(options);
  script_.set([](Script &s) { s.stall = true; });
  Intake intake(*sink, 200);
  // The batch being written counts against the buffer.
  ASSERT_TRUE(wait_for([&] { return intake.accepted.load() == 30; }));
  std::this_thread::sleep_for(50ms);  // would run on without back-pressure
  EXPECT_EQ(intake.accepted.load(), 30u);
  {
    std::lock_guard lock(script_.mutex);
    EXPECT_TRUE(script_.stalled);
    EXPECT_TRUE(script_.stored.empty());
  }
  script_.set([](Script &s) { s.stall = false; });
  intake.thread.join();
  EXPECT_EQ(intake.last_result.load(), 0);
  EXPECT_EQ(sink->Close(Clock::now() + 10s), 0);
  std::lock_guard lock(script_.mutex);
  EXPECT_EQ(script_.stored, sequence(0, 200));
}

TEST_F(SinkTest, CloseWritesTheLastPartialBatchThenFinishesOnTheWriterThread) {
  SinkOptions options;
  options.batch_records = 100;
  options.flush_interval = 1h;
  auto sink = make(options);
  for (uint64_t n = 0; n < 250; ++n) ASSERT_EQ(sink->Accept(numbered(n)), 0);
  EXPECT_EQ(sink->Close(Clock::now() + 10s), 0);
  EXPECT_EQ(sink->Accept(numbered(250)), ECANCELED);
  std::lock_guard lock(script_.mutex);
  EXPECT_EQ(script_.stored, sequence(0, 250));
  EXPECT_EQ(script_.finish_calls, 1);
  EXPECT_EQ(script_.stored_at_finish, 250u);
  EXPECT_FALSE(script_.other_thread);
  EXPECT_TRUE(log().empty());
}

TEST_F(SinkTest, CloseGivesUpAtItsDeadlineAndSaysHowManyEventsWereNotWritten) {
  auto sink = make_batched(10, 5ms, 20ms);
  script_.set([](Script &s) { s.fail_always = true; });
  for (uint64_t n = 0; n < 25; ++n) ASSERT_EQ(sink->Accept(numbered(n)), 0);
  Clock::time_point start = Clock::now();
  EXPECT_EQ(sink->Close(start + 200ms), ETIMEDOUT);
  EXPECT_LT(Clock::now() - start, 5s);
  EXPECT_EQ(log_count("(test) 25 events not written by cleanup\n"), 1u);
  EXPECT_EQ(log_count("writing failed"), 1u);
  EXPECT_EQ(script_.finish_calls, 1);
}

TEST_F(SinkTest, AnUnfinishedBackendMakesCloseReportATimeOut) {
  auto sink = make(SinkOptions());
  script_.set([](Script &s) { s.finish_result = false; });
  // Without any event the writer never started: Finish runs on the caller.
  EXPECT_EQ(sink->Close(Clock::now() + 1s), ETIMEDOUT);
  EXPECT_EQ(script_.finish_calls, 1);
  EXPECT_EQ(log_count("(test) backend not finished by cleanup\n"), 1u);
}

TEST_F(SinkTest, TicksRunWhileIdleAndBetweenBatches) {
  SinkOptions options;
  options.batch_records = 1;
  options.tick_interval = 5ms;
  auto sink = make(options);
  ASSERT_EQ(sink->Accept(numbered(0)), 0);
  ASSERT_TRUE(wait_for([&] {
    std::lock_guard lock(script_.mutex);
    return script_.ticks >= 3;
  }));
  EXPECT_EQ(sink->Close(Clock::now() + 10s), 0);
  EXPECT_FALSE(script_.other_thread);
}

TEST_F(SinkTest, StopAtExitReleasesAWaitingAcceptAndWritesNothingMore) {
  SinkOptions options;
  options.batch_records = 10;
  options.max_buffered_records = 10;
  options.flush_interval = 1ms;
  auto sink = make(options);
  script_.set([](Script &s) { s.stall = true; });
  Intake intake(*sink, 100);
  ASSERT_TRUE(wait_for([&] {
    std::lock_guard lock(script_.mutex);
    return intake.accepted.load() == 10 && script_.stalled;
  }));
  std::thread stopper([&] { sink->StopAtExit(); });
  intake.thread.join();  // released although the backend still stalls
  EXPECT_EQ(intake.last_result.load(), ECANCELED);
  script_.set([](Script &s) { s.stall = false; });
  stopper.join();
  std::lock_guard lock(script_.mutex);
  EXPECT_EQ(script_.writes.size(), 1u);  // the stalled Write, not retried or followed
  EXPECT_EQ(script_.finish_calls, 0);
}

TEST(Sink, RecordsKeepTheOriginTheHostGaveWhileTheyWereAccepted) {
  auto capture = std::make_unique<Capture>();
  Capture &seen = *capture;
  SinkOptions options;
  options.flush_interval = 1h;  // written only at Close, long after each Accept returned
  Sink own("capture", options, std::move(capture));
  orvikevt::EventOrigin first;
  first.known = true;
  for (size_t i = 0; i < first.stream_id.size(); ++i)
    first.stream_id[i] = static_cast<unsigned char>(i + 1);
  first.sequence = 41;
  set_host_origin(first);
  ASSERT_EQ(own.Accept(numbered(0)), 0);
  orvikevt::EventOrigin second = first;
  second.stream_id[0] = 0xff;
  second.sequence = 0xfffffffffffffffeull;
  set_host_origin(second);
  ASSERT_EQ(own.Accept(numbered(1)), 0);
  set_host_origin(std::nullopt);
  ASSERT_EQ(own.Accept(numbered(2)), 0);
  ASSERT_EQ(own.Close(Clock::now() + 10s), 0);
  ASSERT_EQ(seen.records.size(), 3u);
  EXPECT_TRUE(seen.records[0].origin.known);
  EXPECT_EQ(seen.records[0].origin.stream_id, first.stream_id);
  EXPECT_EQ(seen.records[0].origin.sequence, 41u);
  EXPECT_TRUE(seen.records[1].origin.known);
  EXPECT_EQ(seen.records[1].origin.stream_id, second.stream_id);
  EXPECT_EQ(seen.records[1].origin.sequence, 0xfffffffffffffffeull);
  EXPECT_FALSE(seen.records[2].origin.known);
  EXPECT_EQ(seen.records[2].origin.sequence, 0u);
  EXPECT_EQ(seen.records[2].origin.stream_id, decltype(first.stream_id){});
}

TEST_F(SinkTest, CommittedCountsOnlyWrittenRecordsAndReachesEverythingAtClose) {
  auto sink = make_batched(5, 1ms, 4ms);
  script_.set([](Script &s) { s.fail_always = true; });
  for (uint64_t n = 0; n < 12; ++n) ASSERT_EQ(sink->Accept(numbered(n)), 0);
  ASSERT_TRUE(wait_for([&] {
    std::lock_guard lock(script_.mutex);
    return script_.writes.size() >= 3;
  }));
  EXPECT_EQ(sink->Committed(), 0u);  // a failing backend made nothing durable
  script_.set([](Script &s) { s.fail_always = false; });
  ASSERT_TRUE(wait_for([&] { return sink->Committed() == 10; }));
  EXPECT_EQ(script_.stored_count(), 10u);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(sink->Committed(), 10u);  // the partial batch waits for its interval
  EXPECT_EQ(sink->Close(Clock::now() + 10s), 0);
  EXPECT_EQ(sink->Committed(), 12u);
  EXPECT_EQ(script_.stored_count(), 12u);
}

TEST(Sink, ABackendThatConfirmsLaterReportsItsCommitsItself) {
  struct Confirming : SinkBackend {
    std::mutex mutex;
    std::vector<size_t> unconfirmed;  // batch sizes, oldest first
    std::string Write(std::span<const SinkRecord> batch) override {
      std::lock_guard lock(mutex);
      unconfirmed.push_back(batch.size());
      return "";
    }
    bool DurableOnWrite() const override { return false; }
    void ConfirmOldest() {
      std::lock_guard lock(mutex);
      AddCommitted(unconfirmed.front());
      unconfirmed.erase(unconfirmed.begin());
    }
    size_t waiting() {
      std::lock_guard lock(mutex);
      return unconfirmed.size();
    }
  };
  auto made = std::make_unique<Confirming>();
  Confirming &backend = *made;
  SinkOptions options;
  options.batch_records = 4;
  Sink own("confirming", options, std::move(made));
  for (uint64_t n = 0; n < 8; ++n) ASSERT_EQ(own.Accept(numbered(n)), 0);
  ASSERT_TRUE(wait_for([&] { return backend.waiting() == 2; }));
  EXPECT_EQ(own.Committed(), 0u);  // written is not yet durable
  backend.ConfirmOldest();
  EXPECT_EQ(own.Committed(), 4u);
  backend.ConfirmOldest();
  EXPECT_EQ(own.Committed(), 8u);
  EXPECT_EQ(own.Close(Clock::now() + 10s), 0);
  EXPECT_EQ(own.Committed(), 8u);
  // After records were given up, later confirmations would not follow on.
  backend.StopCounting();
  backend.AddCommitted(4);
  EXPECT_EQ(own.Committed(), 8u);
}

TEST_F(SinkTest, CloseStartsNoWriteAfterItsDeadlineAndCountsNoGivenUpBatchAsRecovered) {
  auto sink = make_batched(10, 5ms, 20ms);
  Clock::time_point start = Clock::now();
  Clock::time_point deadline = start + orvik_test::scaled(std::chrono::milliseconds(200));
  // The first batch fails until the deadline; 39 more wait behind it, each
  // Write taking 50 ms: one Write each after the deadline would take 2 s.
  // A writer that checked the deadline just in time may be held up (by the
  // load of others) before its Write notes the time: some slack for that.
  Clock::time_point last_start = deadline + orvik_test::scaled(std::chrono::milliseconds(25));
  script_.set([&](Script &s) {
    s.fail_until = last_start;
    s.write_time = 50ms;
  });
  for (uint64_t n = 0; n < 400; ++n) ASSERT_EQ(sink->Accept(numbered(n)), 0);
  EXPECT_EQ(sink->Close(deadline), ETIMEDOUT);
  EXPECT_LT(Clock::now() - deadline, orvik_test::scaled(std::chrono::milliseconds(1000)));
  ASSERT_TRUE(wait_for([&] { return sink->WriterEnded(); }));
  std::lock_guard lock(script_.mutex);
  for (Clock::time_point write : script_.write_starts) EXPECT_LT(write, last_start);
  EXPECT_TRUE(script_.stored.empty());
  EXPECT_EQ(script_.abandoned, std::vector<std::vector<uint64_t>>{sequence(0, 10)});
  EXPECT_EQ(log_count("(test) 400 events not written by cleanup\n"), 1u);
  EXPECT_EQ(log_count("works again"), 0u);
}

TEST_F(SinkTest, CloseKeepsItsDeadlineWhileAWriteHangs) {
  auto sink = make_batched(5);
  script_.set([](Script &s) { s.stall = true; });
  for (uint64_t n = 0; n < 12; ++n) ASSERT_EQ(sink->Accept(numbered(n)), 0);
  ASSERT_TRUE(wait_for([&] {
    std::lock_guard lock(script_.mutex);
    return script_.stalled;
  }));
  std::atomic<bool> closed{false};
  std::atomic<int> result{0};
  std::thread closer([&] {
    result = sink->Close(Clock::now() + 100ms);
    closed = true;
  });
  bool returned =
      wait_for([&] { return closed.load(); }, orvik_test::scaled(std::chrono::milliseconds(3000)));
  bool writer_ended_then = sink->WriterEnded();
  script_.set([](Script &s) { s.stall = false; });  // lets a Close that waited return
  closer.join();
  EXPECT_TRUE(returned) << "Close waited for the hanging Write";
  EXPECT_EQ(result.load(), ETIMEDOUT);
  EXPECT_FALSE(writer_ended_then);
  EXPECT_EQ(log_count("(test) 12 events not written by cleanup\n"), 1u);
  // The writer ends by itself once the Write returns, and writes nothing more.
  ASSERT_TRUE(wait_for([&] { return sink->WriterEnded(); }));
  sink.reset();
  std::lock_guard lock(script_.mutex);
  EXPECT_EQ(script_.writes.size(), 1u);
  EXPECT_EQ(script_.finish_calls, 0);
}

}  // namespace

namespace {

TEST_F(SinkTest, NoMemoryForTheWriterThreadIsReportedAndTheRecordKept) {
  auto sink = make(SinkOptions());
  int result = 0;
  {
    orvik_test::FailingAllocations failing;
    result = sink->Accept(numbered(0));
  }
  EXPECT_EQ(result, ENOMEM);
  EXPECT_EQ(sink->Accept(numbered(1)), 0);  // starts the writer
  EXPECT_EQ(sink->Close(Clock::now() + 10s), 0);
  std::lock_guard lock(script_.mutex);
  EXPECT_EQ(script_.stored, sequence(0, 2));
}

TEST_F(SinkTest, NoMemoryToQueueAFullBatchIsReportedAndTheRecordKept) {
  SinkOptions options;
  options.batch_records = 1;  // every record makes a full batch to queue
  options.max_buffered_records = 1000;
  options.flush_interval = 1h;
  auto sink = make(options);
  script_.set([](Script &s) { s.stall = true; });  // the queue grows
  ASSERT_EQ(sink->Accept(numbered(0)), 0);
  uint64_t refused = 0;
  uint64_t n = 1;
  for (; n < 500 && refused == 0; ++n) {
    orvik_test::FailingAllocations failing;
    int result = sink->Accept(numbered(n));
    if (result == ENOMEM) refused = n;
    ASSERT_TRUE(result == 0 || result == ENOMEM) << result;
  }
  ASSERT_NE(refused, 0u) << "the queue never needed memory";
  for (uint64_t more = n; more < n + 5; ++more) ASSERT_EQ(sink->Accept(numbered(more)), 0);
  script_.set([](Script &s) { s.stall = false; });
  EXPECT_EQ(sink->Close(Clock::now() + 10s), 0);
  std::lock_guard lock(script_.mutex);
  EXPECT_EQ(script_.stored, sequence(0, n + 5));
}

}  // namespace

// The daemon's origin function, which the runtime looks up at run time.
extern "C" __attribute__((visibility("default"))) int orvikevtd_event_origin(
    unsigned char stream_id[orvikevt::kStreamIdSize], uint64_t *sequence) {
  std::lock_guard lock(origin_mutex);
  if (!host_origin) return 2;
  std::memcpy(stream_id, host_origin->stream_id.data(), orvikevt::kStreamIdSize);
  *sequence = host_origin->sequence;
  return 0;
}

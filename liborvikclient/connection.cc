// The I/O thread: connects to the daemons in order, says hello, writes the
// records not yet delivered straight from their slots, reads
// acknowledgements, and after a failure goes on with the next daemon, with
// exponential back-off and jitter once a whole round has failed.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <random>

#include "client_p.h"
#include "comm/comm.h"

namespace orvikclient {

// Most bytes one write offers: the loop reads acknowledgements between
// writes.
constexpr size_t kWriteChunk = 256 * 1024;
// Longest sleep of an idle connection between looks at the stop flag.
constexpr int kIdleWaitMs = 1000;
// While records written earlier wait for their acknowledgement, a trickle
// of new ones is gathered for at most this long, or until this many are
// waiting, before it is written: one TLS record and one wake-up of the
// daemon for several events, instead of one each. A record of a quiet
// stream (nothing unacknowledged) goes at once, and a flush cuts the wait
// short.
constexpr int64_t kGatherUs = 2000;
constexpr uint64_t kGatherRecords = 64;

int64_t MonotonicUs() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

class Connection {
 public:
  Connection(Client &client, CommChannel *channel, bool acknowledging, uint64_t first)
      : client_(client), channel_(channel), acknowledging_(acknowledging), next_write_(first) {
    if (acknowledging_) {
      hello_ = BuildHello(client.stream_, first);
    } else {
      hello_written_ = kHelloSize;  // a connection without acknowledgements has no hello
    }
  }

  // Runs until the client stops (0) or the connection fails (its errno).
  int Serve();
  bool progressed() const { return progressed_; }

 private:
  bool HasOutput(uint64_t end) const {
    return !peer_stopped_ && (hello_written_ < kHelloSize || next_write_ < end);
  }
  int Write(uint64_t end, bool *wrote);
  int WriteOnce(uint64_t end, bool *wrote, bool *blocked);
  void RecordsWritten(uint64_t count);
  int Read(bool *got);
  // After a failed write: reads what the daemon wrote before the connection
  // broke, then gives the failure (or the end that the read found).
  int ReadLastAcknowledgements(int write_failure);
  int Acknowledged();
  // How long (µs) to go on gathering records before writing; 0: write now
  // (always when hurry).
  int64_t GatherFor(uint64_t end, bool hurry);
  // Sleeps until the connection can go on, a sender or a flush wakes the
  // thread, or timeout_ms. gathering: wake up only for a full batch.
  int Wait(uint64_t end, bool gathering, int timeout_ms);

  Client &client_;
  CommChannel *channel_;
  bool acknowledging_;
  std::array<unsigned char, kHelloSize> hello_{};
  size_t hello_written_ = 0;
  uint64_t next_write_;  // the record being written
  size_t offset_ = 0;    // bytes of it written
  unsigned char frame_[kAckSize] = {};
  size_t frame_filled_ = 0;
  bool peer_stopped_ = false;  // the daemon stopped reading: write nothing more
  bool progressed_ = false;
  int write_wants_ = 0;  // what the last blocked write waits for
  bool read_wants_write_ = false;
  int64_t gathering_since_us_ = 0;  // when unwritten records were first seen; 0: none
};

int Connection::Serve() {
  for (;;) {
    uint64_t end;
    bool hurry;
    {
      std::lock_guard<std::mutex> lock(client_.mutex_);
      if (client_.stop_) return 0;
      end = client_.next_;
      hurry = client_.flushes_waiting_ > 0 || !acknowledging_ ||
              client_.acknowledged_ + 1 >= next_write_;
    }
    bool wrote = false;
    bool got = false;
    int64_t gather_us = HasOutput(end) ? GatherFor(end, hurry) : 0;
    if (HasOutput(end) && gather_us == 0) {
      if (int rc = Write(end, &wrote); rc != 0) return ReadLastAcknowledgements(rc);
      if (next_write_ == end) gathering_since_us_ = 0;
    }
    if (int rc = Read(&got); rc != 0) return rc;
    if (wrote || got) continue;
    int timeout_ms = gather_us > 0 ? static_cast<int>((gather_us + 999) / 1000) : kIdleWaitMs;
    if (int rc = Wait(end, gather_us > 0, timeout_ms); rc != 0) return rc;
  }
}

int Connection::Write(uint64_t end, bool *wrote) {
  bool blocked = false;
  size_t rounds = 16;  // then read what came back before writing on
  while (!blocked && rounds-- > 0 && HasOutput(end)) {
    if (int rc = WriteOnce(end, wrote, &blocked); rc != 0) return rc;
  }
  return 0;
}

int Connection::WriteOnce(uint64_t end, bool *wrote, bool *blocked) {
  const char *bytes;
  size_t size;
  if (hello_written_ < kHelloSize) {
    bytes = reinterpret_cast<const char *>(hello_.data()) + hello_written_;
    size = kHelloSize - hello_written_;
  } else {
    uint64_t capacity = client_.settings_.buffer_records;
    uint64_t slot = (next_write_ - 1) % capacity;
    // Records up to end are in their slots and stay there until written:
    // only this thread frees slots.
    uint64_t records = std::min(end - next_write_, capacity - slot);
    bytes = reinterpret_cast<const char *>(&client_.slots_[slot]) + offset_;
    size = static_cast<size_t>(records) * sizeof(EventData) - offset_;
  }
  int len = static_cast<int>(std::min(size, kWriteChunk));
  int rc = comm_client_write_some(channel_, bytes, &len);
  if (rc == EAGAIN || rc == 3) {
    write_wants_ = rc == EAGAIN ? COMM_IO_READ : COMM_IO_WRITE;
    *blocked = true;
    return 0;
  }
  if (rc != 0) return rc;
  write_wants_ = 0;
  *wrote = true;
  if (hello_written_ < kHelloSize) {
    hello_written_ += static_cast<size_t>(len);
    return 0;
  }
  offset_ += static_cast<size_t>(len);
  uint64_t complete = offset_ / sizeof(EventData);
  offset_ %= sizeof(EventData);
  if (complete > 0) RecordsWritten(complete);
  return 0;
}

void Connection::RecordsWritten(uint64_t count) {
  std::lock_guard<std::mutex> lock(client_.mutex_);
  uint64_t last = next_write_ + count - 1;
  if (client_.written_max_ >= next_write_) {
    client_.resent_ += std::min(last, client_.written_max_) - next_write_ + 1;
  }
  client_.written_max_ = std::max(client_.written_max_, last);
  next_write_ += count;
  client_.written_ = last;
  if (!acknowledging_) {
    client_.delivered_ = std::max(client_.delivered_, last);
    progressed_ = true;
  }
  client_.ReleaseLocked();
}

int Connection::Read(bool *got) {
  for (;;) {
    int len = static_cast<int>(kAckSize - frame_filled_);
    int rc = comm_read(channel_, reinterpret_cast<char *>(frame_) + frame_filled_, &len);
    read_wants_write_ = rc == 3;
    // 11 or 2: nothing yet; 3: the session must write first.
    if (rc == EAGAIN || rc == ENOENT || rc == 3) return 0;
    // The daemon ends the connection: after its orderly stop, or otherwise.
    if (rc == ENODATA) return peer_stopped_ ? ESHUTDOWN : ECONNRESET;
    if (rc != 0) return rc;
    *got = true;
    // A daemon without acknowledgements writes nothing; stray bytes are
    // no reason to lose the connection.
    if (!acknowledging_) continue;
    frame_filled_ += static_cast<size_t>(len);
    if (frame_filled_ < kAckSize) continue;
    frame_filled_ = 0;
    if (int result = Acknowledged(); result != 0) return result;
  }
}

int Connection::ReadLastAcknowledgements(int write_failure) {
  // A daemon that ends with records of ours unread resets the connection,
  // and a write finds that first; the final position it sent before ending
  // is still in the socket, and without it everything it stored since the
  // last acknowledgement read would be sent again.
  bool got = false;
  int rc = Read(&got);
  return rc != 0 ? rc : write_failure;
}

int Connection::Acknowledged() {
  uint64_t position = 0;
  uint32_t status = 0;
  if (!ParseAck(frame_, &position, &status)) return EPROTO;
  std::lock_guard<std::mutex> lock(client_.mutex_);
  // The daemon cannot hold records that were never sent.
  if (position > client_.next_ - 1) return EPROTO;
  if (position > client_.acknowledged_) {
    client_.acknowledged_ = position;
    client_.delivered_ = std::max(client_.delivered_, position);
    progressed_ = true;
    client_.ReleaseLocked();
  }
  if (status == kAckStatusStopped) peer_stopped_ = true;
  return 0;
}

int64_t Connection::GatherFor(uint64_t end, bool hurry) {
  // Only whole records after the hello are held back, never a blocked
  // write (which must be offered again as it was).
  if (hurry || hello_written_ < kHelloSize || offset_ != 0 || write_wants_ != 0 ||
      end - next_write_ >= kGatherRecords) {
    return 0;
  }
  int64_t now = MonotonicUs();
  if (gathering_since_us_ == 0) gathering_since_us_ = now;
  int64_t left = gathering_since_us_ + kGatherUs - now;
  return left > 0 ? left : 0;
}

int Connection::Wait(uint64_t end, bool gathering, int timeout_ms) {
  int events = COMM_IO_READ;
  bool output = HasOutput(end);
  if ((output && write_wants_ == COMM_IO_WRITE) || read_wants_write_) events |= COMM_IO_WRITE;
  if (!output || gathering) {
    // Ask senders for a wake-up (at the next record, or when a batch is
    // full), unless it is already due.
    std::lock_guard<std::mutex> lock(client_.mutex_);
    uint64_t wake_at = gathering ? next_write_ + kGatherRecords - 1 : end;
    if (client_.stop_ || client_.next_ - 1 >= wake_at ||
        (gathering && client_.flushes_waiting_ > 0)) {
      return 0;
    }
    client_.wake_at_ = wake_at;
  }
  int ready = 0;
  int rc = comm_client_wait(channel_, events, client_.wake_fd_, timeout_ms, &ready);
  if (rc != 0 && rc != ETIMEDOUT) return rc;
  if ((ready & COMM_IO_WAKE) != 0) {
    uint64_t value;
    (void)!read(client_.wake_fd_, &value, sizeof value);
  }
  std::lock_guard<std::mutex> lock(client_.mutex_);
  client_.wake_at_ = 0;
  return 0;
}

bool Client::ConnectAndServe(const DaemonAddress &daemon) {
  CommChannel *channel = nullptr;
  int rc = comm_connect(module_, &channel, daemon.host.c_str(), daemon.port,
                        settings_.connect_timeout_ms);
  bool acknowledging = false;
  if (rc == 0 && settings_.delivery != Delivery::kFireAndForget) {
    char protocol[32] = "";
    acknowledging = comm_get_protocol(channel, protocol, sizeof protocol) == 0 &&
                    std::strcmp(protocol, kProtocol) == 0;
    if (!acknowledging && settings_.delivery == Delivery::kAcknowledged) {
      comm_close(&channel, 0);
      rc = ENOPROTOOPT;
    }
  }
  if (rc != 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    last_error_ = rc;
    ++failed_attempts_;
    progress_.notify_all();
    return false;
  }
  uint64_t first;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    first = released_ + 1;
    written_ = released_;
    acknowledging_ = acknowledging;
    last_error_ = 0;
    if (connected_before_) ++reconnects_;
    connected_before_ = true;
  }
  Connection connection(*this, channel, acknowledging, first);
  rc = connection.Serve();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    acknowledging_ = false;
    last_error_ = rc;
    progress_.notify_all();
  }
  // The closing notice goes out without waiting: a daemon that stopped
  // reading must not hold up a stop.
  comm_close(&channel, 0);
  return connection.progressed();
}

void Client::SleepBackoff(int milliseconds) {
  pollfd wake = {wake_fd_, POLLIN, 0};
  // Only a stop writes the descriptor while the thread is not connected.
  if (poll(&wake, 1, milliseconds) > 0) {
    uint64_t value;
    (void)!read(wake_fd_, &value, sizeof value);
  }
}

void Client::Run() {
  // Signals stay the application's: its handlers never run on this thread.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  // Jitter only has to differ between clients: the random stream id seeds it.
  uint32_t seed = 0;
  std::memcpy(&seed, stream_.data(), sizeof seed);
  std::minstd_rand random(seed);
  size_t index = 0;
  size_t failed_in_a_row = 0;
  int backoff = settings_.backoff_min_ms;
  while (!stopping()) {
    bool progressed = ConnectAndServe(settings_.daemons[index]);
    if (stopping()) break;
    if (progressed) {
      // The list is an order of preference: after a connection that
      // worked, start again from its head.
      index = 0;
      failed_in_a_row = 0;
      backoff = settings_.backoff_min_ms;
      continue;
    }
    index = (index + 1) % settings_.daemons.size();
    if (++failed_in_a_row < settings_.daemons.size()) continue;
    failed_in_a_row = 0;
    int jitter = static_cast<int>(random() % (static_cast<unsigned>(backoff) / 2 + 1));
    SleepBackoff(backoff - jitter);
    backoff = std::min(backoff > INT_MAX / 2 ? INT_MAX : backoff * 2, settings_.backoff_max_ms);
  }
}

}  // namespace orvikclient

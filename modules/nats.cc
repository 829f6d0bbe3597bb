// orvik_nats: a handler module that stores events in a NATS JetStream stream,
// for several daemons feeding one replicated stream.
//
// MODULE /usr/lib/orvikevtd/orvik_nats.so /etc/orvik/nats.conf
//
// The argument names the module's settings file (nats_config.h). Records go
// through the sink runtime (sink.h): handle_event copies them into a bounded
// buffer, and the writer thread publishes one message per batch of 1 to
// BATCH records.
//
// A message, the contract with consumers: the payload is the batch's
// EventData records back to back, each exactly as on the daemon's wire (408
// bytes, integers in network byte order), in arrival order; the header
// Orvik-Records holds their count in decimal, Nats-Msg-Id holds
// "<instance>-<sequence>": a random instance id taken at module_init (16 hex
// digits) and the message's number in this instance (1, 2, ...).
//
// Delivery: messages are published asynchronously, at most MAXPENDING without
// an acknowledgement. A message stays held until the stream acknowledges it;
// one whose publish fails, whose acknowledgement reports an error, or that
// gets no answer within kAckTimeout (lost on a dying server, a lost
// acknowledgement, a leader change) is published again with the same id, so
// that the stream stores it once (within its duplicate window). When
// MAXPENDING messages wait, the writer stops taking batches, the runtime's
// buffer fills and intake slows down: nothing is dropped. module_cleanup
// waits for every acknowledgement.
//
// module_committed counts the records of acknowledged messages, in arrival
// order: acknowledgements may come in any order, so records count up to the
// oldest message still waiting for its acknowledgement.
//
// The NATS library is first used on the writer thread: module_init runs
// before the daemon forks, and the library's threads would not survive it.
#include <orvik/event_p.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "module_log.h"
#include "nats_config.h"
#include "sink.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using orvikevt::nats::NatsConfig;

constexpr const char *kModuleName = "orvik_nats";
// How long a published message may wait for its acknowledgement before it
// is published again.
constexpr auto kAckTimeout = 5s;
// A message that the library never reported on (neither acknowledgement nor
// error) is published again after this long.
constexpr auto kSilentTimeout = 3 * kAckTimeout;
// After a failed publish or an error acknowledgement (no stream leader for
// the moment, a reconnect in progress), the next attempt waits this long.
constexpr auto kRetryDelay = 200ms;
// New connections (after a failed attempt, or after the library closed one
// for good) are made at most this often: a server that keeps refusing
// closes each one quickly.
constexpr auto kConnectPause = 1s;
// How long Write waits for room among the pending messages before it hands
// the batch back to the runtime (which logs the episode and tries again).
constexpr auto kRoomWait = 2s;
// How often waiting loops look at messages due again.
constexpr auto kPollInterval = 20ms;
// module_cleanup waits for the last acknowledgements at most this long; the
// daemon's orderly stop bounds it anyway.
constexpr auto kCleanupLimit = 5min;
// Runtime buffer, in messages' worth of records, in front of the pending ones.
constexpr size_t kBufferedBatches = 16;

void Log(const std::string &message) {
  orvikevt::sink::LogLine(kModuleName, message);
}

std::string RandomInstanceId() {
  unsigned char bytes[8] = {};
  size_t got = 0;
  while (got < sizeof(bytes)) {
    ssize_t n = getrandom(bytes + got, sizeof(bytes) - got, 0);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (errno != EINTR) {
      // No random source: the clock and the process id still tell instances apart.
      uint64_t fallback = static_cast<uint64_t>(Clock::now().time_since_epoch().count()) ^
                          (static_cast<uint64_t>(getpid()) << 40);
      std::memcpy(bytes, &fallback, sizeof(bytes));
      break;
    }
  }
  char text[sizeof(bytes) * 2 + 1];
  for (size_t i = 0; i < sizeof(bytes); ++i) std::snprintf(text + 2 * i, 3, "%02x", bytes[i]);
  return text;
}

using orvikevt::nats::Msg;

class NatsBackend : public orvikevt::sink::SinkBackend {
 public:
  NatsBackend(NatsConfig config, std::string instance)
      : config_(std::move(config)), instance_(std::move(instance)) {}
  ~NatsBackend() override { CloseConnection(); }

  std::string Write(std::span<const orvikevt::sink::SinkRecord> batch) override {
    if (std::string error = Prepare(); !error.empty()) return error;
    std::vector<char> payload(batch.size() * sizeof(EventData));
    char *at = payload.data();
    for (const orvikevt::sink::SinkRecord &record : batch) {
      EventData wire = record.event;
      eventdata_to_netorder(&wire);
      std::memcpy(at, &wire, sizeof(wire));
      at += sizeof(wire);
    }
    if (!WaitForRoom()) return DescribeFull();
    {
      std::lock_guard lock(mutex_);
      Pending &pending = pending_[next_sequence_++];
      pending.payload = std::move(payload);
      pending.records = static_cast<uint32_t>(batch.size());
      pending.records_before = records_published_;
      records_published_ += batch.size();
    }
    PublishDue();
    return "";
  }

  void Tick() override {
    // Nothing published yet, or nothing to publish on a connection that holds.
    if (!library_open_ || (connection_ && !connection_closed_ && !HoldsMessages())) return;
    if (Prepare().empty()) PublishDue();
  }

  // Records are durable once the stream acknowledged their message.
  bool DurableOnWrite() const override { return false; }

  bool Finish(Clock::time_point deadline) override {
    for (;;) {
      if (Prepare().empty()) PublishDue();
      std::unique_lock lock(mutex_);
      if (pending_.empty()) {
        if (duplicates_ > 0) {
          std::string count = std::to_string(duplicates_);
          lock.unlock();
          Log(count + " messages published again were stored already (not twice)");
        }
        return true;
      }
      if (Clock::now() >= deadline) {
        std::string count = std::to_string(pending_.size());
        lock.unlock();
        Log(count + " messages not acknowledged by cleanup");
        return false;
      }
      changed_.wait_until(lock, std::min(deadline, Clock::now() + kPollInterval));
    }
  }

  // Closes the connection and stops the library's threads (before the module
  // is unloaded, or when the process exits without module_cleanup).
  void CloseConnection() {
    closing_ = true;  // the connection's end is no news for the log
    context_.reset();
    connection_.reset();
    if (library_open_) {
      nats_CloseAndWait(5000);
      orvikevt::nats::ReleaseCompressionMethods();
    }
    library_open_ = false;
  }

 private:
  struct Pending {
    std::vector<char> payload;
    uint32_t records = 0;
    uint64_t records_before = 0;                       // in the messages before this one
    Clock::time_point due = Clock::time_point::min();  // next publish
    unsigned attempts = 0;
  };

  std::string MessageId(uint64_t sequence) const {
    return instance_ + "-" + std::to_string(sequence);
  }

  // The sequence in a message id of this instance; 0 for any other id.
  uint64_t SequenceOf(const char *id) const {
    if (id == nullptr || std::strncmp(id, instance_.c_str(), instance_.size()) != 0 ||
        id[instance_.size()] != '-') {
      return 0;
    }
    return std::strtoull(id + instance_.size() + 1, nullptr, 10);
  }

  // Connects (in the background when no server answers yet), then makes sure
  // the stream exists. Empty when messages can be published. A connection
  // the library gave up for good is replaced by a new one, and the stream is
  // looked up again (and made, where CREATESTREAM says so) after a publish
  // found no stream.
  std::string Prepare() {
    if (connection_ && connection_closed_) {
      if (Clock::now() < next_connect_) return "the NATS connection was closed";
      DropConnection();
    }
    if (!connection_) {
      if (Clock::now() < next_connect_) return "no connection to " + ServerList() + " yet";
      if (std::string error = Connect(); !error.empty()) return error;
    }
    if (stream_missing_.exchange(false) && stream_ready_) {
      stream_ready_ = false;
      Log("stream " + config_.stream + " no longer answers on " + config_.subject +
          "; looking it up again");
    }
    if (stream_ready_) return "";
    if (natsConnection_Status(connection_.get()) != NATS_CONN_STATUS_CONNECTED) {
      return "no connection to " + ServerList() + " yet";
    }
    return PrepareStream();
  }

  std::string ServerList() const { return orvikevt::nats::ServerList(config_); }

  // After the library closed the connection for good (repeated
  // authorization errors, for instance): what it still held is published
  // again on the next connection.
  void DropConnection() {
    const char *reason = nullptr;
    natsStatus status = natsConnection_GetLastError(connection_.get(), &reason);
    std::string why = reason != nullptr && reason[0] != '\0' ? reason : natsStatus_GetText(status);
    context_.reset();
    connection_.reset();
    stream_ready_ = false;
    {
      std::lock_guard lock(mutex_);
      for (auto &[sequence, pending] : pending_) pending.due = Clock::time_point::min();
    }
    connection_closed_episode_.Failed("(%s) the NATS connection was closed (%s); connecting again",
                                      kModuleName, why.c_str());
  }

  bool HoldsMessages() {
    std::lock_guard lock(mutex_);
    return !pending_.empty();
  }

  std::string Connect() {
    connection_closed_ = false;
    next_connect_ = Clock::now() + kConnectPause;
    orvikevt::nats::ConnectionSettings settings;
    settings.name = std::string(kModuleName) + " " + instance_;
    settings.keep_trying = true;
    int64_t message_bytes = static_cast<int64_t>(config_.batch) * sizeof(EventData) + 512;
    settings.reconnect_buffer =
        std::min<int64_t>(2 * message_bytes * config_.max_pending, 256 * 1024 * 1024);
    settings.disconnected = &NatsBackend::OnDisconnected;
    settings.reconnected = &NatsBackend::OnReconnected;
    settings.closed = &NatsBackend::OnClosed;
    settings.closure = this;
    natsOptions *made = nullptr;
    std::string error;
    library_open_ = true;
    if (orvikevt::nats::MakeOptions(config_, settings, &made, &error) != NATS_OK) return error;
    std::unique_ptr<natsOptions, orvikevt::nats::OptionsDeleter> options(made);
    natsConnection *connection = nullptr;
    natsStatus status = natsConnection_Connect(&connection, options.get());
    if (status != NATS_OK && status != NATS_NOT_YET_CONNECTED) {
      natsConnection_Destroy(connection);
      return "cannot connect to " + ServerList() + ": " + orvikevt::nats::StatusText(status);
    }
    orvikevt::nats::Connection owned(connection);
    jsOptions js_options;
    jsOptions_Init(&js_options);
    js_options.PublishAsync.MaxPending = 4 * static_cast<int64_t>(config_.max_pending);
    js_options.PublishAsync.AckHandler = &NatsBackend::OnAck;
    js_options.PublishAsync.AckHandlerClosure = this;
    js_options.PublishAsync.StallWait = 50;
    jsCtx *context = nullptr;
    status = natsConnection_JetStream(&context, connection, &js_options);
    if (status != NATS_OK) return "cannot use JetStream: " + orvikevt::nats::StatusText(status);
    connection_ = std::move(owned);
    context_.reset(context);
    if (natsConnection_Status(connection) != NATS_CONN_STATUS_CONNECTED) {
      connection_failure_.Failed("(%s) no NATS server of %s answers yet; trying on", kModuleName,
                                 ServerList().c_str());
    }
    return "";
  }

  std::string PrepareStream() {
    jsStreamInfo *info = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    natsStatus status =
        js_GetStreamInfo(&info, context_.get(), config_.stream.c_str(), nullptr, &code);
    if (status == NATS_NOT_FOUND || code == JSStreamNotFoundErr) {
      if (!config_.create_stream) return "stream " + config_.stream + " does not exist";
      status = CreateStream(&info, &code);
      if (status != NATS_OK) {
        return "cannot create stream " + config_.stream + ": " + orvikevt::nats::StatusText(status);
      }
    } else if (status != NATS_OK) {
      return "cannot look up stream " + config_.stream + ": " + orvikevt::nats::StatusText(status);
    }
    int64_t window_ns = info->Config != nullptr ? info->Config->Duplicates : 0;
    jsStreamInfo_Destroy(info);
    Log("publishing to stream " + config_.stream + " on " + config_.subject +
        " (duplicate window " + std::to_string(window_ns / 1000000000) + " s, instance " +
        instance_ + ")");
    stream_ready_ = true;
    connection_closed_episode_.Succeeded();
    return "";
  }

  natsStatus CreateStream(jsStreamInfo **info, jsErrCode *code) {
    jsStreamConfig stream;
    jsStreamConfig_Init(&stream);
    const char *subjects[] = {config_.subject.c_str()};
    stream.Name = config_.stream.c_str();
    stream.Subjects = subjects;
    stream.SubjectsLen = 1;
    stream.Storage = js_FileStorage;
    stream.Replicas = config_.replicas;
    natsStatus status = js_AddStream(info, context_.get(), &stream, nullptr, code);
    if (status == NATS_OK) {
      Log("created stream " + config_.stream + " (file storage, " +
          std::to_string(config_.replicas) + " replicas)");
    } else if (*code == JSStreamNameExistErr) {
      // Another daemon made it in the meantime.
      status = js_GetStreamInfo(info, context_.get(), config_.stream.c_str(), nullptr, code);
    }
    return status;
  }

  // Waits until fewer than MAXPENDING messages are unacknowledged, publishing
  // the ones due again meanwhile. False when none left within kRoomWait.
  bool WaitForRoom() {
    Clock::time_point give_up = Clock::now() + kRoomWait;
    std::unique_lock lock(mutex_);
    while (pending_.size() >= config_.max_pending) {
      if (Clock::now() >= give_up) return false;
      lock.unlock();
      PublishDue();
      lock.lock();
      changed_.wait_for(lock, kPollInterval,
                        [this] { return pending_.size() < config_.max_pending; });
    }
    return true;
  }

  std::string DescribeFull() {
    std::lock_guard lock(mutex_);
    bool connected = natsConnection_Status(connection_.get()) == NATS_CONN_STATUS_CONNECTED;
    return std::to_string(pending_.size()) + " messages wait for acknowledgement" +
           (connected ? "" : " (not connected)") +
           (last_error_.empty() ? "" : "; last error: " + last_error_);
  }

  // Publishes every held message whose time has come: new ones, and those
  // that failed or waited too long for their acknowledgement.
  void PublishDue() {
    std::vector<std::pair<uint64_t, Msg>> due;
    {
      std::lock_guard lock(mutex_);
      Clock::time_point now = Clock::now();
      for (auto &[sequence, pending] : pending_) {
        if (pending.due > now) continue;
        Msg msg = MakeMessage(sequence, pending);
        if (!msg) break;  // out of memory: tried again later
        pending.due = now + kSilentTimeout;
        ++pending.attempts;
        due.emplace_back(sequence, std::move(msg));
      }
    }
    jsPubOptions options;
    jsPubOptions_Init(&options);
    options.MaxWait = std::chrono::duration_cast<std::chrono::milliseconds>(kAckTimeout).count();
    for (auto &[sequence, msg] : due) {
      natsMsg *raw = msg.release();
      natsStatus status = js_PublishMsgAsync(context_.get(), &raw, &options);
      natsMsg_Destroy(raw);  // null when the library took it
      if (status != NATS_OK) Retry(sequence, "publish: " + orvikevt::nats::StatusText(status));
    }
  }

  // REQUIRES: mutex_ held.
  Msg MakeMessage(uint64_t sequence, const Pending &pending) const {
    natsMsg *made = nullptr;
    if (natsMsg_Create(&made, config_.subject.c_str(), nullptr, pending.payload.data(),
                       static_cast<int>(pending.payload.size())) != NATS_OK) {
      return nullptr;
    }
    Msg msg(made);
    std::string id = MessageId(sequence);
    std::string count = std::to_string(pending.records);
    if (natsMsgHeader_Set(made, "Nats-Msg-Id", id.c_str()) != NATS_OK ||
        natsMsgHeader_Set(made, "Orvik-Records", count.c_str()) != NATS_OK) {
      return nullptr;
    }
    return msg;
  }

  // Schedules another publish of a held message after a failure.
  void Retry(uint64_t sequence, const std::string &error) {
    std::lock_guard lock(mutex_);
    auto found = pending_.find(sequence);
    if (found == pending_.end()) return;  // acknowledged meanwhile
    found->second.due = std::min(found->second.due, Clock::now() + kRetryDelay);
    last_error_ = error;
    publish_failure_.Failed("(%s) message %s not stored yet, publishing it again: %s", kModuleName,
                            MessageId(sequence).c_str(), error.c_str());
  }

  void Acknowledged(uint64_t sequence, bool duplicate) {
    std::lock_guard lock(mutex_);
    if (pending_.erase(sequence) == 0) return;  // an earlier attempt was acknowledged
    CountCommitted();
    if (duplicate) ++duplicates_;
    publish_failure_.Succeeded();
    changed_.notify_all();
  }

  // REQUIRES: mutex_ held.
  void CountCommitted() {
    uint64_t durable =
        pending_.empty() ? records_published_ : pending_.begin()->second.records_before;
    if (durable <= records_counted_) return;
    AddCommitted(durable - records_counted_);
    records_counted_ = durable;
  }

  static void OnAck(jsCtx *, natsMsg *msg, jsPubAck *ack, jsPubAckErr *error, void *closure) {
    auto *self = static_cast<NatsBackend *>(closure);
    const char *id = nullptr;
    natsMsgHeader_Get(msg, "Nats-Msg-Id", &id);
    uint64_t sequence = self->SequenceOf(id);
    if (sequence != 0) {
      if (ack != nullptr) {
        self->Acknowledged(sequence, ack->Duplicate);
      } else if (error != nullptr) {
        std::string text = natsStatus_GetText(error->Err);
        if (error->ErrCode != 0)
          text += " (JetStream error " + std::to_string(error->ErrCode) + ")";
        if (error->ErrText != nullptr) text += std::string(": ") + error->ErrText;
        // No stream takes the subject any more (deleted, or never made):
        // the writer looks it up again before the next publish.
        if (error->Err == NATS_NO_RESPONDERS || error->ErrCode == JSStreamNotFoundErr) {
          self->stream_missing_ = true;
        }
        self->Retry(sequence, text);
      }
    }
    natsMsg_Destroy(msg);
  }

  static void OnDisconnected(natsConnection *, void *closure) {
    auto *self = static_cast<NatsBackend *>(closure);
    if (self->closing_) return;
    self->connection_failure_.Failed("(%s) disconnected from NATS; reconnecting to %s", kModuleName,
                                     self->ServerList().c_str());
  }

  static void OnClosed(natsConnection *, void *closure) {
    auto *self = static_cast<NatsBackend *>(closure);
    if (!self->closing_) self->connection_closed_ = true;
  }

  static void OnReconnected(natsConnection *connection, void *closure) {
    auto *self = static_cast<NatsBackend *>(closure);
    char url[256] = {};
    natsConnection_GetConnectedUrl(connection, url, sizeof(url));
    if (self->connection_failure_.failing()) {
      self->connection_failure_.Succeeded();
      orvikevt::module_log("(%s) connected to %s", kModuleName,
                           std::string(url).substr(std::string(url).rfind('@') + 1).c_str());
    }
  }

  const NatsConfig config_;
  const std::string instance_;
  bool library_open_ = false;
  std::atomic<bool> closing_{false};
  orvikevt::nats::Connection connection_;
  orvikevt::nats::Context context_;
  bool stream_ready_ = false;
  // Set by the library's callbacks, acted on by the writer.
  std::atomic<bool> connection_closed_{false};
  std::atomic<bool> stream_missing_{false};
  Clock::time_point next_connect_;  // no new connection before
  orvikevt::FailureEpisode connection_closed_episode_;

  // Shared with the library's callbacks.
  std::mutex mutex_;
  std::condition_variable changed_;  // a message was acknowledged
  std::map<uint64_t, Pending> pending_;
  uint64_t next_sequence_ = 1;
  uint64_t records_published_ = 0;  // in every message made so far
  uint64_t records_counted_ = 0;    // committed: in the messages before the oldest pending
  uint64_t duplicates_ = 0;
  std::string last_error_;
  orvikevt::FailureEpisode publish_failure_;
  orvikevt::FailureEpisode connection_failure_;
};

// Made by module_init, deleted by module_cleanup.
orvikevt::sink::Sink *sink = nullptr;
NatsBackend *backend = nullptr;  // owned by sink
// What module_committed says once module_cleanup has deleted the sink.
std::atomic<uint64_t> committed_at_cleanup{0};

// When the daemon ends on a signal without module_cleanup, the writer and the
// library's threads are stopped while static objects are destroyed.
struct StopAtExit {
  ~StopAtExit() {
    if (sink == nullptr) return;
    sink->StopAtExit();
    backend->CloseConnection();
  }
} stop_at_exit;

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int module_init(char *args) {
  if (sink != nullptr) {
    Log("already loaded; one instance per daemon");
    return EBUSY;
  }
  NatsConfig config;
  std::string error = orvikevt::nats::ReadNatsConfig(args, &config);
  if (error.empty()) error = orvikevt::nats::CheckSecurityFiles(config);
  if (!error.empty()) {
    Log(error);
    return EINVAL;
  }
  orvikevt::sink::SinkOptions options;
  options.batch_records = config.batch;
  options.flush_interval = std::chrono::milliseconds(config.flush_ms);
  options.max_buffered_records = config.batch * kBufferedBatches;
  try {
    auto made = std::make_unique<NatsBackend>(config, RandomInstanceId());
    NatsBackend *made_backend = made.get();
    sink = new orvikevt::sink::Sink(kModuleName, options, std::move(made));
    backend = made_backend;
  } catch (const std::bad_alloc &) {
    Log("out of memory");
    return ENOMEM;
  }
  return 0;
}

__attribute__((visibility("default"))) int handle_event(EventData *event) {
  if (event == nullptr || sink == nullptr) return EINVAL;
  return sink->Accept(*event);
}

__attribute__((visibility("default"))) int module_cleanup(void) {
  if (sink == nullptr) return 0;
  int result = sink->Close(Clock::now() + kCleanupLimit);
  // A writer still publishing past the deadline keeps its connection.
  if (sink->WriterEnded()) backend->CloseConnection();
  committed_at_cleanup = sink->Committed();
  orvikevt::sink::DestroyAfterClose(sink);
  sink = nullptr;
  backend = nullptr;
  return result;
}

// Events handed to handle_event and kept (sink.h) that the stream has
// acknowledged, in arrival order.
__attribute__((visibility("default"))) uint64_t module_committed(void) {
  return sink != nullptr ? sink->Committed() : committed_at_cleanup.load();
}

}  // extern "C"

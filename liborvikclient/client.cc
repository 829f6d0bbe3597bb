// The client's buffer and its public calls. Senders and flushers meet the
// I/O thread (connection.cc) under one mutex; the I/O thread sleeps on an
// eventfd that a sender writes only when the thread asked for it, so a busy
// stream costs no system call per record.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <utility>

#include "client_p.h"
#include "comm/comm.h"

namespace orvikclient {
namespace {

// Waits on condition until predicate holds or timeout_ms (-1: no limit)
// passes; the predicate's last value.
template <class Predicate>
bool WaitUntil(std::condition_variable &condition, std::unique_lock<std::mutex> &lock,
               int timeout_ms, Predicate predicate) {
  if (timeout_ms < 0) {
    condition.wait(lock, predicate);
    return true;
  }
  return condition.wait_for(lock, std::chrono::milliseconds(timeout_ms), predicate);
}

// The comm plug-in options for settings. False when out of memory.
bool BuildTransportOptions(const Settings &settings, Attribute **options) {
  bool ok = true;
  auto add = [&](const char *name, const std::string &value) {
    if (!ok) return;
    // attribute_add returns the new first node, or the old list on failure.
    Attribute *before = *options;
    Attribute *after =
        attribute_add(before, const_cast<char *>(name), const_cast<char *>(value.c_str()));
    if (after == nullptr || attribute_find(after, const_cast<char *>(name)) == nullptr) ok = false;
    if (after != nullptr) *options = after;
  };
  if (!settings.ca_file.empty()) add("SSLCACertificateFile", settings.ca_file);
  if (settings.insecure) add("SSLVerifyPeer", "0");
  if (!settings.certificate.empty()) {
    add("SSLCertificateFile", settings.certificate);
    add("SSLPrivateKeyFile", settings.key);
  }
  if (settings.delivery != Delivery::kFireAndForget) add("ALPNProtocols", kProtocol);
  return ok;
}

}  // namespace

Client::Client(Settings settings) : settings_(std::move(settings)) {}

Client::~Client() {
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    Wake();
    thread_.join();
  }
  if (wake_fd_ >= 0) close(wake_fd_);
  if (module_ != nullptr) comm_plugin_unload(&module_);
}

int Client::Start() {
  slots_.reset(new (std::nothrow) EventData[settings_.buffer_records]);
  if (slots_ == nullptr) return ENOMEM;
  if (int rc = NewStreamId(&stream_); rc != 0) return rc;
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) return errno;
  Attribute *options = nullptr;
  bool built = BuildTransportOptions(settings_, &options);
  int rc = built ? comm_plugin_load(&module_, "comm_openssl", options) : ENOMEM;
  attribute_freeall(&options);
  if (rc != 0) return rc;
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error &error) {
    return error.code().value() != 0 ? error.code().value() : EAGAIN;
  }
  return 0;
}

void Client::Wake() {
  uint64_t one = 1;
  // A full counter already wakes the thread; nothing else can fail here.
  (void)!write(wake_fd_, &one, sizeof one);
}

bool Client::stopping() {
  std::lock_guard<std::mutex> lock(mutex_);
  return stop_;
}

uint64_t Client::DeliveredLocked() const {
  return delivered_;
}

void Client::ReleaseLocked() {
  uint64_t delivered = DeliveredLocked();
  uint64_t releasable = delivered < written_ ? delivered : written_;
  if (releasable > released_) released_ = releasable;
  progress_.notify_all();
}

int Client::Send(const EventData &event, int timeout_ms) {
  EventData wire = event;
  eventdata_to_netorder(&wire);
  std::unique_lock<std::mutex> lock(mutex_);
  uint64_t capacity = settings_.buffer_records;
  if (!WaitUntil(progress_, lock, timeout_ms, [&] { return next_ - 1 - released_ < capacity; })) {
    return EAGAIN;
  }
  slots_[(next_ - 1) % capacity] = wire;
  ++next_;
  if (wake_at_ != 0 && next_ - 1 >= wake_at_) {
    wake_at_ = 0;
    Wake();
  }
  return 0;
}

int Client::Flush(int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  uint64_t target = next_ - 1;
  if (DeliveredLocked() >= target) return 0;
  // Records the I/O thread holds back to gather a batch go out now.
  ++flushes_waiting_;
  if (wake_at_ != 0) {
    wake_at_ = 0;
    Wake();
  }
  bool delivered =
      WaitUntil(progress_, lock, timeout_ms, [&] { return DeliveredLocked() >= target; });
  --flushes_waiting_;
  if (delivered) return 0;
  return last_error_ == ENOPROTOOPT ? ENOPROTOOPT : ETIMEDOUT;
}

OrvikClientCounters Client::Counters() {
  std::lock_guard<std::mutex> lock(mutex_);
  OrvikClientCounters counters{};
  counters.sent = next_ - 1;
  counters.written = written_max_;
  counters.acknowledged = acknowledged_;
  counters.resent = resent_;
  counters.reconnects = reconnects_;
  counters.failed_attempts = failed_attempts_;
  counters.last_error = last_error_;
  counters.acknowledging = acknowledging_ ? 1 : 0;
  return counters;
}

int Client::Stop(int timeout_ms, uint64_t *undelivered) {
  int rc = Flush(timeout_ms);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  Wake();
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t delivered = DeliveredLocked();
  *undelivered = next_ - 1 > delivered ? next_ - 1 - delivered : 0;
  return *undelivered == 0 ? 0 : rc;
}

}  // namespace orvikclient

using orvikclient::Client;

// Every entry point catches what the standard library may throw: a lock
// that cannot be taken is the one case, reported as EAGAIN (C++ would say
// resource_unavailable_try_again); an allocation as ENOMEM.
#define ORVIK_CLIENT_GUARD(body)                                      \
  try {                                                               \
    body                                                              \
  } catch (const std::bad_alloc &) {                                  \
    return ENOMEM;                                                    \
  } catch (const std::system_error &error) {                          \
    return error.code().value() != 0 ? error.code().value() : EAGAIN; \
  } catch (...) {                                                     \
    return EIO;                                                       \
  }

extern "C" {

ORVIK_CLIENT_EXPORT int orvik_client_options_new(OrvikClientOptions **options) {
  if (options == nullptr) return EINVAL;
  *options = nullptr;
  ORVIK_CLIENT_GUARD({
    *options = new (std::nothrow) OrvikClientOptions;
    return *options == nullptr ? ENOMEM : 0;
  })
}

ORVIK_CLIENT_EXPORT int orvik_client_options_set(OrvikClientOptions *options, const char *name,
                                                 const char *value) {
  if (options == nullptr || name == nullptr || value == nullptr) return EINVAL;
  ORVIK_CLIENT_GUARD({
    // Applied to a copy, so that a bad value leaves the options as they were.
    orvikclient::Settings changed = options->settings;
    int rc = orvikclient::ApplyOption(&changed, name, value);
    if (rc == 0) options->settings = std::move(changed);
    return rc;
  })
}

ORVIK_CLIENT_EXPORT int orvik_client_options_free(OrvikClientOptions **options) {
  if (options == nullptr || *options == nullptr) return EINVAL;
  delete *options;
  *options = nullptr;
  return 0;
}

ORVIK_CLIENT_EXPORT int orvik_client_new(OrvikClient **client, const OrvikClientOptions *options) {
  if (client == nullptr) return EINVAL;
  *client = nullptr;
  if (options == nullptr) return EINVAL;
  if (int rc = orvikclient::CheckSettings(options->settings); rc != 0) return rc;
  ORVIK_CLIENT_GUARD({
    std::unique_ptr<OrvikClient> made(new (std::nothrow) OrvikClient);
    if (made == nullptr) return ENOMEM;
    made->client.reset(new (std::nothrow) Client(options->settings));
    if (made->client == nullptr) return ENOMEM;
    if (int rc = made->client->Start(); rc != 0) return rc;
    *client = made.release();
    return 0;
  })
}

ORVIK_CLIENT_EXPORT int orvik_client_send(OrvikClient *client, const EventData *event,
                                          int timeout_ms) {
  if (client == nullptr || event == nullptr || timeout_ms < -1) return EINVAL;
  ORVIK_CLIENT_GUARD({ return client->client->Send(*event, timeout_ms); })
}

ORVIK_CLIENT_EXPORT int orvik_client_flush(OrvikClient *client, int timeout_ms) {
  if (client == nullptr || timeout_ms < -1) return EINVAL;
  ORVIK_CLIENT_GUARD({ return client->client->Flush(timeout_ms); })
}

ORVIK_CLIENT_EXPORT int orvik_client_counters(OrvikClient *client, OrvikClientCounters *counters) {
  if (client == nullptr || counters == nullptr) return EINVAL;
  ORVIK_CLIENT_GUARD({
    *counters = client->client->Counters();
    return 0;
  })
}

ORVIK_CLIENT_EXPORT int orvik_client_free(OrvikClient **client, int timeout_ms,
                                          uint64_t *unacknowledged) {
  if (client == nullptr || *client == nullptr || timeout_ms < -1) return EINVAL;
  std::unique_ptr<OrvikClient> owned(*client);
  *client = nullptr;
  uint64_t left = 0;
  int rc = ETIMEDOUT;
  try {
    rc = owned->client->Stop(timeout_ms, &left);
  } catch (...) {
    // The client goes anyway; what stayed is unknown, so nothing is
    // claimed delivered.
    left = UINT64_MAX;
    rc = EIO;
  }
  if (unacknowledged != nullptr) *unacknowledged = left;
  return rc;
}

}  // extern "C"

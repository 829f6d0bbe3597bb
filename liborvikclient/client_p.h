// Private parts of liborvikclient: the settings an options object holds,
// the frames of the acknowledged protocol, and the client itself.
//
// The client: senders copy records into a ring of buffer_records slots under
// one mutex; record n of the stream (numbered from 1) lives in slot
// (n - 1) % capacity. One I/O thread owns the connection, writes records
// straight from their slots, and reads acknowledgements. A slot is freed
// once its record is delivered (acknowledged, or written when the
// connection has no acknowledgements) and also written on the current
// connection: a connection sends one gapless run, so a record the daemon
// acknowledged before this connection wrote it must stay until it is
// written again.
#ifndef LIBORVIKCLIENT_CLIENT_P_H_
#define LIBORVIKCLIENT_CLIENT_P_H_

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "orvik/client.h"

struct CommModule;
struct CommChannel;

namespace orvikclient {

inline constexpr const char *kProtocol = "orvik-ack/1";
inline constexpr size_t kHelloSize = 32;
inline constexpr size_t kAckSize = 16;
inline constexpr size_t kStreamIdSize = 16;
// The daemon's frame status: it has stopped reading this connection.
inline constexpr uint32_t kAckStatusStopped = 1;
inline constexpr uint32_t kMaxBufferRecords = 1u << 21;

using StreamId = std::array<unsigned char, kStreamIdSize>;

enum class Delivery { kAcknowledged, kFireAndForgetAllowed, kFireAndForget };

struct DaemonAddress {
  std::string host;
  int port = 0;
};

struct Settings {
  std::vector<DaemonAddress> daemons;
  std::string ca_file;
  bool insecure = false;
  std::string certificate;
  std::string key;
  uint32_t buffer_records = 16384;
  Delivery delivery = Delivery::kAcknowledged;
  int connect_timeout_ms = 5000;
  int backoff_min_ms = 100;
  int backoff_max_ms = 30000;
};

// "host:port,host:port" ("[v6]:port" too) into daemons. 0 or EINVAL.
int ParseDaemons(std::string_view text, std::vector<DaemonAddress> *daemons);
// Sets one named option from its text. 0 or EINVAL.
int ApplyOption(Settings *settings, std::string_view name, const char *value);
// 0 when the settings can make a client, else EINVAL.
int CheckSettings(const Settings &settings);

// The 32-byte hello: "OVK1", the stream id, the first sequence number that
// follows (big-endian), flags 0.
std::array<unsigned char, kHelloSize> BuildHello(const StreamId &stream, uint64_t first);
// Reads one 16-byte acknowledgement frame; false when its magic is wrong.
bool ParseAck(const unsigned char *frame, uint64_t *position, uint32_t *status);

// A stream id from the system's random source, never all zero. 0 or errno.
int NewStreamId(StreamId *stream);

class Connection;

class Client {
 public:
  explicit Client(Settings settings);
  ~Client();
  Client(const Client &) = delete;
  Client &operator=(const Client &) = delete;

  // Loads the transport and starts the thread. 0 or an errno number.
  int Start();
  int Send(const EventData &event, int timeout_ms);
  int Flush(int timeout_ms);
  OrvikClientCounters Counters();
  // Flushes, stops the thread; the records still not delivered.
  int Stop(int timeout_ms, uint64_t *undelivered);

 private:
  friend class Connection;

  void Run();
  // One connection attempt and, when it works, its life. True when it made
  // progress (something written or acknowledged).
  bool ConnectAndServe(const DaemonAddress &daemon);
  void SleepBackoff(int milliseconds);
  void Wake();
  bool stopping();

  // ---- called by the I/O thread, under the lock ----
  uint64_t DeliveredLocked() const;
  void ReleaseLocked();

  Settings settings_;
  CommModule *module_ = nullptr;
  StreamId stream_{};
  int wake_fd_ = -1;
  std::thread thread_;

  std::mutex mutex_;
  std::condition_variable progress_;  // slots freed, records delivered, errors
  std::unique_ptr<EventData[]> slots_;
  uint64_t next_ = 1;          // sequence number the next send gets
  uint64_t released_ = 0;      // slots of records up to this one are free
  uint64_t acknowledged_ = 0;  // the daemon's highest position
  uint64_t delivered_ = 0;     // acknowledged, or written without acknowledgements
  uint64_t written_ = 0;       // on the current connection, records fully written
  uint64_t written_max_ = 0;   // highest record ever fully written
  bool acknowledging_ = false;
  uint64_t resent_ = 0;
  uint64_t reconnects_ = 0;
  uint64_t failed_attempts_ = 0;
  int last_error_ = 0;
  bool connected_before_ = false;
  // The I/O thread sleeps and wants a wake-up once record wake_at_ was
  // sent; 0: no wake-up wanted.
  uint64_t wake_at_ = 0;
  int flushes_waiting_ = 0;  // flushes under way: nothing is held back
  bool stop_ = false;
};

}  // namespace orvikclient

struct OrvikClientOptions {
  orvikclient::Settings settings;
};

struct OrvikClient {
  std::unique_ptr<orvikclient::Client> client;
};

#endif  // LIBORVIKCLIENT_CLIENT_P_H_

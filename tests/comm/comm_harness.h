// Test harness for libcomm: certificates made with the openssl command, a
// server whose callback assembles 408-byte records the way the daemon does,
// and a hand-driven TLS client that controls every byte it puts on the wire.
// The time limits of the waits below are scaled for the target the tests run
// on (test_target.h: one factor for every test under emulation).
#ifndef TESTS_COMM_COMM_HARNESS_H_
#define TESTS_COMM_COMM_HARNESS_H_

#include <openssl/ssl.h>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "comm/comm.h"

namespace commtest {

inline constexpr int kRecordSize = 408;
using Record = std::array<char, kRecordSize>;

// A record whose every byte is derived from seed.
Record MakeRecord(uint32_t seed);

// Certificates and keys in a temporary directory, made once per process.
struct Certificates {
  std::string dir;
  std::string ca, ca_key;              // the authority
  std::string server, server_key;      // signed by ca, for 127.0.0.1
  std::string client, client_key;      // signed by ca
  std::string stranger, stranger_key;  // client signed by another authority
  std::string other_key;               // a key that matches no certificate
  std::string garbage;                 // not PEM at all
};
const Certificates &Certs();

// Options list for comm_plugin_load; owns its nodes.
class Options {
 public:
  Options() = default;
  Options(const Options &) = delete;
  Options &operator=(const Options &) = delete;
  ~Options();
  Options &Add(const char *name, const std::string &value);
  Options &AddWithoutValue(const char *name);
  Attribute *get() { return list_; }

 private:
  Attribute *list_ = nullptr;
};

// What the server saw on one connection.
struct ConnectionLog {
  int index = 0;                  // accept order, from 0
  std::vector<int> read_sizes;    // bytes of each successful comm_read
  std::vector<int> read_results;  // every non-zero comm_read result
  int end_result = 0;             // the result that ended it (0: still open)
  int callbacks = 0;
  bool established = false;  // the handshake completed
  int received = 0;          // bytes read so far
};

// A server on 127.0.0.1 running comm_group_loop on its own thread. Its
// callback follows the daemon: accept on the listener; on a connection,
// continue a pending handshake or read at most the rest of the record.
class TestServer {
 public:
  struct Config {
    bool require_client_cert = false;
    long handshake_timeout_us = 0;  // 0: the default
    bool close_on_end = true;       // false: keep the channel after 61/errors (and count callbacks)
    bool start_paused = false;
    int read_chunk = kRecordSize;  // most bytes one callback asks for
    std::string alpn;              // ALPNProtocols; empty: none
  };

  TestServer() : TestServer(Config{}) {}
  explicit TestServer(const Config &config);
  ~TestServer();
  TestServer(const TestServer &) = delete;
  TestServer &operator=(const TestServer &) = delete;

  int port() const { return port_; }
  CommGroup *group() { return group_; }
  CommChannel *listener() { return listener_; }

  // Waits (at most timeout_ms) until predicate holds; the predicate runs
  // without the lock (it may take snapshots).
  bool WaitUntil(const std::function<bool()> &predicate, int timeout_ms = 10000);
  // Runs fn on the loop thread and waits for it.
  void RunOnLoop(const std::function<void()> &fn);

  // Snapshots, taken under the lock.
  std::vector<std::pair<int, Record>> Records();  // (connection index, record)
  std::vector<ConnectionLog> Connections();
  // The log of the index-th accepted connection; an empty log (index -1)
  // when there is none yet.
  ConnectionLog Connection(size_t index);
  int accept_failures();
  int open_connections();

  // Closes the index-th connection as the owner would, logging result as
  // its end. Loop thread only, with the lock held (from on_record).
  void CloseConnectionLocked(int index, int result);

  // Runs on the loop thread with the lock held, after each record.
  std::function<void(int connection, CommChannel *)> on_record;

  std::mutex mutex;

 private:
  struct Conn {
    TestServer *server;
    int index;
    int len = 0;
    char buffer[4096];
  };
  static int Callback(CommChannel *cc, int iotype, void *ccarg);
  static void Wake(CommGroup *group, void *arg);
  int OnListener(CommChannel *cc);
  int OnConnection(CommChannel *cc, int iotype, Conn *conn);
  void CloseConnection(CommChannel *cc, Conn *conn, int result);

  Config config_;
  CommModule *module_ = nullptr;
  CommGroup *group_ = nullptr;
  CommChannel *listener_ = nullptr;
  int port_ = 0;
  std::thread thread_;
  std::condition_variable changed_;
  std::vector<std::pair<int, Record>> records_;
  std::vector<ConnectionLog> logs_;
  std::map<CommChannel *, Conn *> live_;
  int accept_failures_ = 0;
  std::vector<std::function<void()>> tasks_;
  bool stop_ = false;
};

// A comm client module; with_cert: present the client certificate.
CommModule *LoadClientModule(bool with_cert, const std::string &cert = Certs().client,
                             const std::string &key = Certs().client_key);

// A TLS client driven by hand over a plain socket: the TLS bytes go
// through memory BIOs, so the test decides how and when they hit the wire.
class RawClient {
 public:
  explicit RawClient(int port, const std::string &cert = "", const std::string &key = "");
  ~RawClient();
  RawClient(const RawClient &) = delete;
  RawClient &operator=(const RawClient &) = delete;

  // Starts the handshake: the ClientHello is held back for SendPending.
  void Begin();
  // Sends bytes held back, at most limit of them (-1: all), in pieces of
  // chunk bytes with pause_ms between them.
  void SendPending(int limit = -1, int chunk = 1 << 20, int pause_ms = 0);
  // Completes the handshake (true on success), sending everything at once.
  bool Finish(int timeout_ms = 5000);
  // Encrypts bytes as one TLS write and sends them (hold: keep them back
  // for a later SendPending).
  void Write(const void *data, int len, bool hold = false);
  // Sends close_notify, with whatever was held back.
  void SendCloseNotify();
  // TCP-level: half-close (FIN) or close without any TLS notice.
  void ShutdownWrite();
  void CloseSocket();
  // True when the server closed the connection (EOF or reset) within
  // timeout_ms; TLS records received meanwhile are ignored.
  bool WaitForServerClose(int timeout_ms);
  // Bytes the socket has waiting right now.
  int BytesWaiting();
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  SSL_CTX *ctx_ = nullptr;
  SSL *ssl_ = nullptr;
  BIO *in_ = nullptr;   // bytes from the server, for the SSL
  BIO *out_ = nullptr;  // bytes from the SSL, for the server
};

// Blocks until fd is readable or timeout_ms passed; true when readable.
bool Readable(int fd, int timeout_ms);

}  // namespace commtest

#endif  // TESTS_COMM_COMM_HARNESS_H_

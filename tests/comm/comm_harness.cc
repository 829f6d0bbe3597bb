// Test harness for libcomm (see comm_harness.h).
#include "comm/comm_harness.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "test_target.h"

namespace commtest {

Record MakeRecord(uint32_t seed) {
  Record record;
  for (int i = 0; i < kRecordSize; ++i) {
    record[static_cast<size_t>(i)] =
        static_cast<char>((seed * 131u + static_cast<uint32_t>(i) * 7u) & 0xff);
  }
  return record;
}

namespace {

void Run(const std::string &command) {
  std::string quiet = command + " >/dev/null 2>&1";
  int status = std::system(quiet.c_str());
  if (status != 0) {
    ADD_FAILURE() << "command failed: " << command;
    std::abort();
  }
}

// Makes a key and a certificate signed by the given authority (or
// self-signed when ca is empty).
void MakeCertificate(const std::string &dir, const std::string &name, const std::string &subject,
                     const std::string &ca, const std::string &ca_key, const std::string &ext) {
  std::string key = dir + "/" + name + ".key";
  std::string pem = dir + "/" + name + ".pem";
  std::string newkey = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  if (ca.empty()) {
    Run("openssl req -x509 " + newkey + " -keyout " + key + " -out " + pem + " -days 2 -subj " +
        subject);
    return;
  }
  std::string csr = dir + "/" + name + ".csr";
  std::string extfile = dir + "/" + name + ".ext";
  std::ofstream(extfile) << ext << "\n";
  Run("openssl req " + newkey + " -keyout " + key + " -out " + csr + " -subj " + subject);
  Run("openssl x509 -req -in " + csr + " -CA " + ca + " -CAkey " + ca_key +
      " -CAcreateserial -days 2 -out " + pem + " -extfile " + extfile);
}

Certificates Generate() {
  Certificates c;
  std::string templ = std::string(::testing::TempDir()) + "comm_certs_XXXXXX";
  std::vector<char> name(templ.begin(), templ.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) std::abort();
  c.dir = name.data();
  MakeCertificate(c.dir, "ca", "/CN=comm-test-ca", "", "", "");
  MakeCertificate(c.dir, "other_ca", "/CN=comm-other-ca", "", "", "");
  c.ca = c.dir + "/ca.pem";
  c.ca_key = c.dir + "/ca.key";
  MakeCertificate(c.dir, "server", "/CN=127.0.0.1", c.ca, c.ca_key,
                  "subjectAltName=IP:127.0.0.1,DNS:localhost");
  MakeCertificate(c.dir, "client", "/CN=comm-test-client", c.ca, c.ca_key,
                  "extendedKeyUsage=clientAuth");
  MakeCertificate(c.dir, "stranger", "/CN=comm-stranger", c.dir + "/other_ca.pem",
                  c.dir + "/other_ca.key", "extendedKeyUsage=clientAuth");
  c.server = c.dir + "/server.pem";
  c.server_key = c.dir + "/server.key";
  c.client = c.dir + "/client.pem";
  c.client_key = c.dir + "/client.key";
  c.stranger = c.dir + "/stranger.pem";
  c.stranger_key = c.dir + "/stranger.key";
  c.other_key = c.dir + "/other_ca.key";
  c.garbage = c.dir + "/garbage.pem";
  std::ofstream(c.garbage) << "not a certificate\n";
  return c;
}

}  // namespace

void RemoveCertificates();

const Certificates &Certs() {
  static const Certificates certs = Generate();
  static const bool cleanup_registered = std::atexit(RemoveCertificates) == 0;
  (void)cleanup_registered;
  return certs;
}

void RemoveCertificates() {
  std::string command = "rm -rf '" + Certs().dir + "'";
  if (std::system(command.c_str()) != 0)
    std::fprintf(stderr, "could not remove %s\n", Certs().dir.c_str());
}

// ---- Options ----

Options::~Options() {
  attribute_freeall(&list_);
}

Options &Options::Add(const char *name, const std::string &value) {
  list_ = attribute_add(list_, const_cast<char *>(name), const_cast<char *>(value.c_str()));
  return *this;
}

Options &Options::AddWithoutValue(const char *name) {
  list_ = attribute_add(list_, const_cast<char *>(name), nullptr);
  return *this;
}

CommModule *LoadClientModule(bool with_cert, const std::string &cert, const std::string &key) {
  Options options;
  options.Add("SSLCACertificateFile", Certs().ca);
  if (with_cert) options.Add("SSLCertificateFile", cert).Add("SSLPrivateKeyFile", key);
  CommModule *module = nullptr;
  EXPECT_EQ(comm_plugin_load(&module, "comm_openssl", options.get()), 0);
  return module;
}

// ---- TestServer ----

TestServer::TestServer(const Config &config) : config_(config) {
  Options options;
  options.Add("SSLCertificateFile", Certs().server).Add("SSLPrivateKeyFile", Certs().server_key);
  if (config.require_client_cert) options.Add("SSLCACertificateFile", Certs().ca);
  if (!config.alpn.empty()) options.Add("ALPNProtocols", config.alpn);
  EXPECT_EQ(comm_plugin_load(&module_, "comm_openssl", options.get()), 0);
  EXPECT_EQ(comm_group_new(&group_, &TestServer::Callback), 0);
  EXPECT_EQ(comm_bind(module_, &listener_, "127.0.0.1", 0), 0);
  EXPECT_EQ(comm_get_port(listener_, &port_), 0);
  EXPECT_EQ(comm_group_add(group_, listener_, this, 1), 0);
  EXPECT_EQ(comm_group_set_option(group_, COMM_OPT_LOOP_TIMEOUT_US, 60000000), 0);
  if (config.handshake_timeout_us > 0) {
    EXPECT_EQ(
        comm_group_set_option(group_, COMM_OPT_HANDSHAKE_TIMEOUT_US, config.handshake_timeout_us),
        0);
  }
  if (config.start_paused) {
    EXPECT_EQ(comm_group_pause_reads(group_, 1), 0);
  }
  EXPECT_EQ(comm_group_set_wakeup_callback(group_, &TestServer::Wake, this), 0);
  thread_ = std::thread([this] { EXPECT_EQ(comm_group_loop(group_), 0); });
}

TestServer::~TestServer() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    stop_ = true;
  }
  comm_group_wakeup(group_);
  thread_.join();
  for (auto &[channel, conn] : live_) {
    CommChannel *c = channel;
    comm_group_remove(group_, c);
    comm_close(&c, 0);
    delete conn;
  }
  comm_group_remove(group_, listener_);
  comm_close(&listener_, 0);
  EXPECT_EQ(comm_group_free(&group_), 0);
  EXPECT_EQ(comm_plugin_unload(&module_), 0);
}

void TestServer::Wake(CommGroup *group, void *arg) {
  auto *server = static_cast<TestServer *>(arg);
  std::vector<std::function<void()>> tasks;
  bool stop;
  {
    std::lock_guard<std::mutex> lock(server->mutex);
    tasks.swap(server->tasks_);
    stop = server->stop_;
  }
  for (auto &task : tasks) task();
  if (stop) comm_group_stop(group);
}

void TestServer::RunOnLoop(const std::function<void()> &fn) {
  std::mutex done_mutex;
  std::condition_variable done_cv;
  bool done = false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    tasks_.push_back([&] {
      fn();
      std::lock_guard<std::mutex> done_lock(done_mutex);
      done = true;
      done_cv.notify_all();
    });
  }
  ASSERT_EQ(comm_group_wakeup(group_), 0);
  std::unique_lock<std::mutex> lock(done_mutex);
  ASSERT_TRUE(
      done_cv.wait_for(lock, orvik_test::scaled(std::chrono::seconds(10)), [&] { return done; }));
}

bool TestServer::WaitUntil(const std::function<bool()> &predicate, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(orvik_test::scaled_ms(timeout_ms));
  for (;;) {
    if (predicate()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::unique_lock<std::mutex> lock(mutex);
    changed_.wait_for(lock, std::chrono::milliseconds(2));
  }
}

std::vector<std::pair<int, Record>> TestServer::Records() {
  std::lock_guard<std::mutex> lock(mutex);
  return records_;
}

std::vector<ConnectionLog> TestServer::Connections() {
  std::lock_guard<std::mutex> lock(mutex);
  return logs_;
}

ConnectionLog TestServer::Connection(size_t index) {
  std::lock_guard<std::mutex> lock(mutex);
  if (index < logs_.size()) return logs_[index];
  ConnectionLog none;
  none.index = -1;
  return none;
}

int TestServer::accept_failures() {
  std::lock_guard<std::mutex> lock(mutex);
  return accept_failures_;
}

int TestServer::open_connections() {
  std::lock_guard<std::mutex> lock(mutex);
  return static_cast<int>(live_.size());
}

int TestServer::Callback(CommChannel *cc, int iotype, void *ccarg) {
  if (cc == nullptr) return EINVAL;
  int flags = 0;
  comm_get_flags(cc, &flags);
  if ((flags & COMM_FLAG_LISTENER) != 0) return static_cast<TestServer *>(ccarg)->OnListener(cc);
  auto *conn = static_cast<Conn *>(ccarg);
  return conn->server->OnConnection(cc, iotype, conn);
}

int TestServer::OnListener(CommChannel *cc) {
  CommChannel *accepted = nullptr;
  int rc = comm_accept(cc, &accepted, 0);
  std::lock_guard<std::mutex> lock(mutex);
  if (rc != 0 && rc != 2 && rc != 3) {
    ++accept_failures_;
    changed_.notify_all();
    return rc;
  }
  auto *conn = new Conn{this, static_cast<int>(logs_.size()), 0, {}};
  if (rc == 3) comm_set_ioneeds(cc, COMM_NEED_WRITE);
  int added = comm_group_add(group_, accepted, conn, 1);
  EXPECT_EQ(added, 0);
  ConnectionLog log;
  log.index = conn->index;
  log.established = rc == 0;
  logs_.push_back(log);
  live_[accepted] = conn;
  changed_.notify_all();
  return 0;
}

void TestServer::CloseConnection(CommChannel *cc, Conn *conn, int result) {
  logs_[static_cast<size_t>(conn->index)].end_result = result;
  live_.erase(cc);
  comm_group_remove(group_, cc);
  delete conn;
  comm_close(&cc, 0);
}

void TestServer::CloseConnectionLocked(int index, int result) {
  for (auto &[channel, conn] : live_) {
    if (conn->index == index) {
      CloseConnection(channel, conn, result);
      return;
    }
  }
}

int TestServer::OnConnection(CommChannel *cc, int iotype, Conn *conn) {
  std::lock_guard<std::mutex> lock(mutex);
  ConnectionLog &log = logs_[static_cast<size_t>(conn->index)];
  ++log.callbacks;
  changed_.notify_all();
  if (iotype == COMM_IO_WRITE) comm_set_ioneeds(cc, COMM_NEED_DEFAULT);
  int flags = 0;
  comm_get_flags(cc, &flags);
  if ((flags & COMM_FLAG_ACCEPT_PENDING) != 0) {
    int rc = comm_accept_continue(cc);
    log.established = rc == 0;
    return rc;
  }
  int len = kRecordSize - conn->len;
  if (len > config_.read_chunk) len = config_.read_chunk;
  int rc = comm_read(cc, conn->buffer + conn->len, &len);
  if (rc == 0) {
    log.read_sizes.push_back(len);
    log.received += len;
    conn->len += len;
    if (conn->len == kRecordSize) {
      Record record;
      std::memcpy(record.data(), conn->buffer, kRecordSize);
      records_.emplace_back(conn->index, record);
      conn->len = 0;
      if (on_record) on_record(conn->index, cc);
    }
    return 0;
  }
  log.read_results.push_back(rc);
  if (rc == 3) {
    comm_set_ioneeds(cc, COMM_NEED_WRITE);
    return 0;
  }
  if (rc == 2 || rc == 11) return 0;
  if (config_.close_on_end) {
    CloseConnection(cc, conn, rc);
  } else {
    log.end_result = rc;
  }
  return rc;
}

// ---- RawClient ----

bool Readable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) > 0;
}

RawClient::RawClient(int port, const std::string &cert, const std::string &key) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  ctx_ = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
  if (!cert.empty()) {
    EXPECT_EQ(SSL_CTX_use_certificate_file(ctx_, cert.c_str(), SSL_FILETYPE_PEM), 1);
    EXPECT_EQ(SSL_CTX_use_PrivateKey_file(ctx_, key.c_str(), SSL_FILETYPE_PEM), 1);
  }
  ssl_ = SSL_new(ctx_);
  in_ = BIO_new(BIO_s_mem());
  out_ = BIO_new(BIO_s_mem());
  SSL_set_bio(ssl_, in_, out_);
  SSL_set_connect_state(ssl_);
}

RawClient::~RawClient() {
  SSL_free(ssl_);
  SSL_CTX_free(ctx_);
  if (fd_ >= 0) close(fd_);
  ERR_clear_error();
}

void RawClient::Begin() {
  SSL_do_handshake(ssl_);
  ERR_clear_error();
}

void RawClient::SendPending(int limit, int chunk, int pause_ms) {
  char buffer[65536];
  int sent = 0;
  while (limit < 0 || sent < limit) {
    int want = static_cast<int>(sizeof buffer);
    if (want > chunk) want = chunk;
    if (limit >= 0 && want > limit - sent) want = limit - sent;
    int n = BIO_read(out_, buffer, want);
    if (n <= 0) break;
    ASSERT_EQ(send(fd_, buffer, static_cast<size_t>(n), MSG_NOSIGNAL), n);
    sent += n;
    if (pause_ms > 0 && BIO_pending(out_) > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    }
  }
}

bool RawClient::Finish(int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(orvik_test::scaled_ms(timeout_ms));
  for (;;) {
    int ret = SSL_do_handshake(ssl_);
    SendPending();
    if (ret == 1) return true;
    if (SSL_get_error(ssl_, ret) != SSL_ERROR_WANT_READ) {
      ERR_clear_error();
      return false;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !Readable(fd_, static_cast<int>(left.count()))) return false;
    char buffer[16384];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    BIO_write(in_, buffer, static_cast<int>(n));
  }
}

void RawClient::Write(const void *data, int len, bool hold) {
  ASSERT_EQ(SSL_write(ssl_, data, len), len);
  if (!hold) SendPending();
}

void RawClient::SendCloseNotify() {
  SSL_shutdown(ssl_);
  SendPending();
}

void RawClient::ShutdownWrite() {
  shutdown(fd_, SHUT_WR);
}

void RawClient::CloseSocket() {
  close(fd_);
  fd_ = -1;
}

bool RawClient::WaitForServerClose(int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(orvik_test::scaled_ms(timeout_ms));
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !Readable(fd_, static_cast<int>(left.count()))) return false;
    char buffer[4096];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return true;
  }
}

int RawClient::BytesWaiting() {
  int n = 0;
  ioctl(fd_, FIONREAD, &n);
  return n;
}

}  // namespace commtest

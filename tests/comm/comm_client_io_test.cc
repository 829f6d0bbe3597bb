// The client side of libcomm without blocking: comm_client_write_some and
// comm_client_wait on one TLS session that is both written and read.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "comm/comm_harness.h"
#include "test_target.h"

namespace {

using commtest::Certs;
using commtest::kRecordSize;
using commtest::MakeRecord;
using commtest::Record;
using commtest::TestServer;

// A connected client channel and its module; closes both.
struct Connected {
  explicit Connected(int port) : module(commtest::LoadClientModule(false)) {
    rc = comm_connect(module, &channel, "127.0.0.1", port, orvik_test::scaled_ms(5000));
  }
  ~Connected() {
    if (channel != nullptr) comm_close(&channel, 0);
    comm_plugin_unload(&module);
  }
  CommModule *module;
  CommChannel *channel = nullptr;
  int rc = 0;
};

// A TLS server of plain OpenSSL on 127.0.0.1 that, once one client has
// completed its handshake, writes reply and then closes the session.
class ReplyingServer {
 public:
  explicit ReplyingServer(std::string reply) : reply_(std::move(reply)) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    EXPECT_EQ(listen(listener_, 4), 0);
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length);
    port_ = ntohs(address.sin_port);
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_num_tickets(ctx_, 0);
    EXPECT_EQ(SSL_CTX_use_certificate_chain_file(ctx_, Certs().server.c_str()), 1);
    EXPECT_EQ(SSL_CTX_use_PrivateKey_file(ctx_, Certs().server_key.c_str(), SSL_FILETYPE_PEM), 1);
    thread_ = std::thread([this] { Serve(); });
  }
  ~ReplyingServer() {
    Release();
    thread_.join();
    SSL_CTX_free(ctx_);
    close(listener_);
  }
  int port() const { return port_; }
  // Lets the server write its reply.
  void Release() {
    uint64_t one = 1;
    (void)!write(go_, &one, sizeof one);
  }

 private:
  void Serve() {
    int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    SSL *ssl = SSL_new(ctx_);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
      uint64_t value;
      (void)!read(go_, &value, sizeof value);
      SSL_write(ssl, reply_.data(), static_cast<int>(reply_.size()));
      SSL_shutdown(ssl);
    }
    SSL_free(ssl);
    close(fd);
  }

  std::string reply_;
  int listener_ = -1;
  int port_ = 0;
  int go_ = eventfd(0, EFD_CLOEXEC);
  SSL_CTX *ctx_ = nullptr;
  std::thread thread_;
};

TEST(CommClientIo, WritesWithoutBlockingAndWaitsForRoomOrAWakeUp) {
  TestServer server;
  Connected client(server.port());
  ASSERT_EQ(client.rc, 0);
  ASSERT_TRUE(server.WaitUntil([&] { return server.Connection(0).established; }));
  // The server stops reading: the socket buffers fill and a write blocks.
  server.RunOnLoop([&] { comm_group_pause_reads(server.group(), 1); });
  std::vector<Record> records;
  size_t offset = 0;  // bytes of records.back() written
  int result = 0;
  for (uint32_t seed = 0; seed < 200000 && result == 0; ++seed) {
    if (offset == 0) records.push_back(MakeRecord(seed));
    int len = kRecordSize - static_cast<int>(offset);
    result = comm_client_write_some(client.channel, records.back().data() + offset, &len);
    if (result == 0) {
      ASSERT_GT(len, 0);
      offset = (offset + static_cast<size_t>(len)) % kRecordSize;
    } else {
      EXPECT_EQ(len, 0);
    }
  }
  ASSERT_EQ(result, 3) << "a write should have had to wait for room";

  int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  int ready = -1;
  EXPECT_EQ(comm_client_wait(client.channel, COMM_IO_WRITE, wake, 100, &ready), ETIMEDOUT);
  uint64_t one = 1;
  ASSERT_EQ(write(wake, &one, sizeof one), 8);
  EXPECT_EQ(comm_client_wait(client.channel, COMM_IO_WRITE, wake, 5000, &ready), 0);
  EXPECT_EQ(ready, COMM_IO_WAKE);
  close(wake);

  server.RunOnLoop([&] { comm_group_pause_reads(server.group(), 0); });
  // The blocked bytes are offered again, then the rest of the record.
  while (offset != 0 || result != 0) {
    ASSERT_EQ(
        comm_client_wait(client.channel, COMM_IO_WRITE, -1, orvik_test::scaled_ms(10000), &ready),
        0);
    int len = kRecordSize - static_cast<int>(offset);
    result = comm_client_write_some(client.channel, records.back().data() + offset, &len);
    if (result == 0) offset = (offset + static_cast<size_t>(len)) % kRecordSize;
    if (result == 0 && offset == 0) break;
    ASSERT_TRUE(result == 0 || result == 3 || result == EAGAIN) << result;
  }
  ASSERT_TRUE(server.WaitUntil([&] { return server.Records().size() == records.size(); },
                               orvik_test::scaled_ms(20000)));
  auto received = server.Records();
  for (size_t i = 0; i < records.size(); ++i) {
    ASSERT_EQ(received[i].second, records[i]) << "record " << i;
  }
}

TEST(CommClientIo, ReadsWhatTheServerWritesBackThenItsEnd) {
  ReplyingServer server("ACK1 from server");
  Connected client(server.port());
  ASSERT_EQ(client.rc, 0);
  char buffer[64];
  int len = sizeof buffer;
  EXPECT_EQ(comm_read(client.channel, buffer, &len), EAGAIN);
  int ready = -1;
  EXPECT_EQ(comm_client_wait(client.channel, COMM_IO_READ, -1, 50, &ready), ETIMEDOUT);
  server.Release();
  std::string got;
  int result = 0;
  while (result == 0 || result == EAGAIN) {
    ASSERT_EQ(
        comm_client_wait(client.channel, COMM_IO_READ, -1, orvik_test::scaled_ms(10000), &ready),
        0);
    EXPECT_EQ(ready, COMM_IO_READ);
    len = sizeof buffer;
    result = comm_read(client.channel, buffer, &len);
    if (result == 0) got.append(buffer, static_cast<size_t>(len));
  }
  EXPECT_EQ(got, "ACK1 from server");
  EXPECT_EQ(result, ENODATA);
  // The end stays readable: a wait returns at once.
  EXPECT_EQ(comm_client_wait(client.channel, COMM_IO_READ, -1, 0, &ready), 0);
}

TEST(CommClientIo, RefusesWhatIsNotAClientConnection) {
  TestServer server;
  Connected client(server.port());
  ASSERT_EQ(client.rc, 0);
  char byte = 'x';
  int len = 1;
  int ready = 0;
  EXPECT_EQ(comm_client_write_some(server.listener(), &byte, &len), EINVAL);
  EXPECT_EQ(comm_client_write_some(nullptr, &byte, &len), EINVAL);
  len = 0;
  EXPECT_EQ(comm_client_write_some(client.channel, &byte, &len), EINVAL);
  EXPECT_EQ(comm_client_wait(server.listener(), COMM_IO_READ, -1, 0, &ready), EINVAL);
  EXPECT_EQ(comm_client_wait(client.channel, 8, -1, 0, &ready), EINVAL);
  EXPECT_EQ(comm_client_wait(client.channel, COMM_IO_READ, -1, 0, nullptr), EINVAL);
  ASSERT_EQ(comm_shutdown(client.channel), 0);
  len = 1;
  EXPECT_EQ(comm_client_write_some(client.channel, &byte, &len), EPIPE);
}

}  // namespace

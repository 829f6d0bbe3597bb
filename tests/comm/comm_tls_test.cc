// libcomm over loopback TLS: records through the comm_openssl transport
// into a callback that assembles them the way the daemon does.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <memory>

#include "comm/comm_harness.h"
#include "comm_p.h"  // white-box: the sockets' options
#include "test_target.h"

namespace {

using commtest::Certs;
using commtest::ConnectionLog;
using commtest::kRecordSize;
using commtest::MakeRecord;
using commtest::Options;
using commtest::RawClient;
using commtest::Record;
using commtest::TestServer;

// A connected client channel; closes itself.
class Client {
 public:
  Client(int port, bool with_cert = false) : module_(commtest::LoadClientModule(with_cert)) {
    rc_ = comm_connect(module_, &channel_, "127.0.0.1", port, 5000);
  }
  ~Client() {
    if (channel_ != nullptr) comm_close(&channel_, 0);
    comm_plugin_unload(&module_);
  }
  int rc() const { return rc_; }
  CommChannel *channel() { return channel_; }
  int Write(const void *data, int len) {
    int n = len;
    int rc = comm_write(channel_, static_cast<const char *>(data), &n);
    EXPECT_TRUE(rc != 0 || n == len);
    return rc;
  }
  void Close() { comm_close(&channel_, 0); }

 private:
  CommModule *module_;
  CommChannel *channel_ = nullptr;
  int rc_;
};

std::vector<char> Concat(const std::vector<Record> &records) {
  std::vector<char> bytes;
  for (const Record &r : records) bytes.insert(bytes.end(), r.begin(), r.end());
  return bytes;
}

TEST(CommTls, RecordsFromAClientArriveWholeAndInOrder) {
  TestServer server;
  Client client(server.port());
  ASSERT_EQ(client.rc(), 0);
  std::vector<Record> sent;
  for (uint32_t i = 0; i < 200; ++i) sent.push_back(MakeRecord(i));
  // 40 records per write, as senders batch them, and a last odd batch.
  std::vector<char> bytes = Concat(sent);
  for (size_t offset = 0; offset < bytes.size(); offset += 40 * kRecordSize) {
    size_t n = std::min<size_t>(40 * kRecordSize, bytes.size() - offset);
    ASSERT_EQ(client.Write(bytes.data() + offset, static_cast<int>(n)), 0);
  }
  ASSERT_TRUE(server.WaitUntil([&] { return server.Records().size() == 200; }));
  auto records = server.Records();
  ASSERT_EQ(records.size(), 200u);
  for (size_t i = 0; i < records.size(); ++i) EXPECT_EQ(records[i].second, sent[i]) << i;
  // The callback never got more than it asked for.
  auto connections = server.Connections();
  for (int size : connections[0].read_sizes) EXPECT_LE(size, kRecordSize);
}

TEST(CommTls, RecordSplitAcrossReadsOfHundredHundredAndTwoHundredEight) {
  TestServer server;
  RawClient client(server.port());
  client.Begin();
  ASSERT_TRUE(client.Finish());
  Record record = MakeRecord(7);
  int offset = 0;
  for (int piece : {100, 100, 208}) {
    client.Write(record.data() + offset, piece);
    offset += piece;
    // Each piece is read before the next is sent.
    ASSERT_TRUE(server.WaitUntil([&] {
      auto logs = server.Connections();
      return !logs.empty() && logs[0].received == offset;
    }));
  }
  auto records = server.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].second, record);
  EXPECT_EQ(server.Connection(0).read_sizes, (std::vector<int>{100, 100, 208}));
}

TEST(CommTls, TwoRecordsInOneBurstAreReadOneAtATime) {
  TestServer server;
  RawClient client(server.port());
  client.Begin();
  ASSERT_TRUE(client.Finish());
  std::vector<Record> sent = {MakeRecord(1), MakeRecord(2)};
  std::vector<char> bytes = Concat(sent);
  client.Write(bytes.data(), static_cast<int>(bytes.size()));
  ASSERT_TRUE(server.WaitUntil([&] { return server.Records().size() == 2; }));
  auto records = server.Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].second, sent[0]);
  EXPECT_EQ(records[1].second, sent[1]);
  // Both came from one TLS record; the layer handed out exactly 408 bytes
  // per read and called the callback again for the buffered rest.
  EXPECT_EQ(server.Connection(0).read_sizes, (std::vector<int>{408, 408}));
}

}  // namespace

namespace {

TEST(CommTls, BufferedReadsHandOutWhatIsDecryptedAndLeaveAPartialTlsRecord) {
  TestServer::Config config;
  config.start_paused = true;
  TestServer server(config);
  RawClient client(server.port());
  client.Begin();
  ASSERT_TRUE(client.Finish());
  std::vector<Record> sent;
  for (uint32_t i = 0; i < 240; ++i) sent.push_back(MakeRecord(i));
  std::vector<char> bytes = Concat(sent);
  // Five TLS records of 40 records each, more than the first socket read
  // takes, then the first 1000 bytes of a sixth, all on the wire before the
  // server reads anything.
  constexpr int kTlsRecordBytes = 40 * kRecordSize;
  for (int t = 0; t < 5; ++t) client.Write(bytes.data() + t * kTlsRecordBytes, kTlsRecordBytes);
  client.Write(bytes.data() + 5 * kTlsRecordBytes, kTlsRecordBytes, true);
  client.SendPending(1000);

  // At the first record, everything else the layer holds is taken through
  // buffered reads, as the daemon's orderly stop does.
  std::vector<char> buffered;
  std::vector<int> results;
  server.on_record = [&](int, CommChannel *cc) {
    if (!results.empty()) return;
    for (int rc = 0; rc == 0;) {
      char chunk[4096];
      int len = sizeof(chunk);
      rc = comm_read_buffered(cc, chunk, &len);
      if (rc == 0) buffered.insert(buffered.end(), chunk, chunk + len);
      results.push_back(rc);
    }
    // Asked again, it still has nothing: the socket was not read.
    char chunk[kRecordSize];
    int len = sizeof(chunk);
    results.push_back(comm_read_buffered(cc, chunk, &len));
  };
  server.RunOnLoop([&] { comm_group_pause_reads(server.group(), 0); });
  ASSERT_TRUE(server.WaitUntil([&] {
    std::lock_guard<std::mutex> lock(server.mutex);
    return !results.empty();
  }));
  size_t taken = 0;  // records taken through buffered reads
  {
    std::lock_guard<std::mutex> lock(server.mutex);
    // Whole TLS records only, in order after the first record: at least
    // the three that the first socket read took whole, never one that
    // needs more from the socket.
    size_t bytes_taken = buffered.size() + kRecordSize;
    EXPECT_EQ(bytes_taken % kTlsRecordBytes, 0u);
    EXPECT_GE(bytes_taken, static_cast<size_t>(3 * kTlsRecordBytes));
    EXPECT_LE(bytes_taken, static_cast<size_t>(5 * kTlsRecordBytes));
    EXPECT_TRUE(std::equal(buffered.begin(), buffered.end(), bytes.begin() + kRecordSize));
    EXPECT_EQ(results.back(), 11);
    EXPECT_EQ(results[results.size() - 2], 11);
    taken = buffered.size() / kRecordSize;
  }
  // The rest arrives whole through ordinary reads.
  client.SendPending();
  ASSERT_TRUE(server.WaitUntil([&] { return server.Records().size() + taken == sent.size(); }));
  auto records = server.Records();
  EXPECT_EQ(records[0].second, sent[0]);
  for (size_t i = 1; i < records.size(); ++i) EXPECT_EQ(records[i].second, sent[taken + i]) << i;
}

TEST(CommTls, PeerClosingMidRecordEndsWith61AndEnqueuesNothing) {
  TestServer server;
  Record record = MakeRecord(3);
  {
    // With the TLS closing notice.
    Client client(server.port());
    ASSERT_EQ(client.rc(), 0);
    ASSERT_EQ(client.Write(record.data(), 200), 0);
    client.Close();
  }
  {
    // Without it: the socket just closes.
    RawClient raw(server.port());
    raw.Begin();
    ASSERT_TRUE(raw.Finish());
    raw.Write(record.data(), 200);
    raw.CloseSocket();
  }
  ASSERT_TRUE(server.WaitUntil([&] {
    auto logs = server.Connections();
    return logs.size() == 2 && logs[0].end_result != 0 && logs[1].end_result != 0;
  }));
  for (const ConnectionLog &log : server.Connections()) {
    EXPECT_EQ(log.end_result, 61) << log.index << " callbacks " << log.callbacks;
    EXPECT_EQ(log.received, 200) << log.index;
  }
  EXPECT_TRUE(server.Records().empty());
  EXPECT_EQ(server.open_connections(), 0);
}

TEST(CommTls, PeerLeavingBeforeItsHandshakeIsAnEndNotAnAcceptFailure) {
  TestServer server;
  {
    RawClient probe(server.port());
    probe.CloseSocket();
  }
  {
    RawClient partial(server.port());
    partial.Begin();
    partial.SendPending(30);
    partial.CloseSocket();
  }
  ASSERT_TRUE(server.WaitUntil([&] {
    return server.Connection(0).end_result != 0 && server.Connection(1).end_result != 0;
  }));
  EXPECT_EQ(server.Connection(0).end_result, 61);
  EXPECT_EQ(server.Connection(1).end_result, 61);
  EXPECT_EQ(server.accept_failures(), 0);
  EXPECT_EQ(server.open_connections(), 0);
}

TEST(CommTls, HalfClosedSessionDoesNotSpinTheLoop) {
  // The callback keeps the channel after its end, as a careless owner
  // might: the loop must stop calling it rather than spin on the dead
  // socket.
  TestServer::Config config;
  config.close_on_end = false;
  TestServer server(config);
  RawClient raw(server.port());
  raw.Begin();
  ASSERT_TRUE(raw.Finish());
  Record record = MakeRecord(4);
  raw.Write(record.data(), 200);
  raw.ShutdownWrite();
  ASSERT_TRUE(server.WaitUntil([&] { return server.Connection(0).end_result != 0; }));
  int callbacks = server.Connection(0).callbacks;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(server.Connection(0).callbacks, callbacks);
  EXPECT_EQ(server.Connection(0).end_result, 61);
}

TEST(CommTls, SlowClientCompletesItsHandshake) {
  TestServer server;
  RawClient raw(server.port());
  raw.Begin();
  // The ClientHello trickles in, 16 bytes every 20 ms.
  raw.SendPending(-1, 16, 20);
  ASSERT_TRUE(raw.Finish());
  Record record = MakeRecord(5);
  raw.Write(record.data(), kRecordSize);
  ASSERT_TRUE(server.WaitUntil([&] { return server.Records().size() == 1; }));
  EXPECT_EQ(server.Records()[0].second, record);
}

TEST(CommTls, StalledHandshakeIsClosedAfterTheHandshakeTimeout) {
  TestServer::Config config;
  config.handshake_timeout_us = 300000;
  TestServer server(config);
  RawClient raw(server.port());
  raw.Begin();
  raw.SendPending(40);  // part of the ClientHello, then nothing
  EXPECT_TRUE(raw.WaitForServerClose(10000));
  ASSERT_TRUE(server.WaitUntil([&] {
    auto logs = server.Connections();
    return logs.size() == 1 && logs[0].end_result != 0;
  }));
  EXPECT_EQ(server.Connection(0).end_result, ETIMEDOUT);
  EXPECT_EQ(server.open_connections(), 0);
}

TEST(CommTls, SilentEstablishedConnectionIsLeftOpen) {
  TestServer::Config config;
  // Long enough for the server's half of the handshake even under emulation
  // (armhf tests run in qemu), short enough that several pass below.
  config.handshake_timeout_us = 500000;
  TestServer server(config);
  Client client(server.port());
  ASSERT_EQ(client.rc(), 0);
  // Several handshake timeouts pass without a byte.
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  ASSERT_EQ(server.open_connections(), 1);
  Record record = MakeRecord(6);
  ASSERT_EQ(client.Write(record.data(), kRecordSize), 0);
  ASSERT_TRUE(server.WaitUntil([&] { return server.Records().size() == 1; }));
  EXPECT_EQ(server.Records()[0].second, record);
  EXPECT_EQ(server.Connection(0).end_result, 0);
}

TEST(CommTls, ServerSendsNothingAfterTheHandshake) {
  // No session tickets: a client that never reads them would reset the
  // connection when closing and lose records the server has not read.
  TestServer server;
  RawClient raw(server.port());
  raw.Begin();
  ASSERT_TRUE(raw.Finish());
  Record record = MakeRecord(8);
  raw.Write(record.data(), kRecordSize);
  ASSERT_TRUE(server.WaitUntil([&] { return server.Records().size() == 1; }));
  EXPECT_EQ(raw.BytesWaiting(), 0);
}

TEST(CommTls, ClientCertificateIsRequiredWhenACertificateAuthorityIsSet) {
  TestServer::Config config;
  config.require_client_cert = true;
  TestServer server(config);
  Record record = MakeRecord(9);
  {
    RawClient without(server.port());
    without.Begin();
    if (without.Finish()) without.Write(record.data(), kRecordSize);
    EXPECT_TRUE(without.WaitForServerClose(10000));
  }
  {
    RawClient stranger(server.port(), Certs().stranger, Certs().stranger_key);
    stranger.Begin();
    if (stranger.Finish()) stranger.Write(record.data(), kRecordSize);
    EXPECT_TRUE(stranger.WaitForServerClose(10000));
  }
  // Each refusal shows either as a failed accept (the whole handshake was
  // there when the connection was taken) or as a connection whose read
  // reports the failure.
  auto refused = [&] {
    int count = server.accept_failures();
    for (const ConnectionLog &log : server.Connections()) count += log.end_result != 0;
    return count;
  };
  ASSERT_TRUE(server.WaitUntil([&] { return refused() == 2; }));
  EXPECT_TRUE(server.Records().empty());
  EXPECT_EQ(server.open_connections(), 0);
  for (const ConnectionLog &log : server.Connections()) {
    EXPECT_NE(log.end_result, 61) << "a refused handshake is an error, not an end";
  }
  Client member(server.port(), true);
  ASSERT_EQ(member.rc(), 0);
  ASSERT_EQ(member.Write(record.data(), kRecordSize), 0);
  ASSERT_TRUE(server.WaitUntil([&] { return server.Records().size() == 1; }));
  EXPECT_EQ(server.Records()[0].second, record);
}

TEST(CommTls, ManyConnectionsKeepTheirOwnOrder) {
  TestServer server;
  constexpr int kClients = 5;
  constexpr uint32_t kEach = 50;
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<Client>(server.port()));
    ASSERT_EQ(clients.back()->rc(), 0);
  }
  ASSERT_TRUE(server.WaitUntil([&] { return server.Connections().size() == kClients; }));
  for (uint32_t n = 0; n < kEach; ++n) {
    for (int i = 0; i < kClients; ++i) {
      Record record = MakeRecord(static_cast<uint32_t>(i) * 1000 + n);
      ASSERT_EQ(clients[static_cast<size_t>(i)]->Write(record.data(), kRecordSize), 0);
    }
  }
  ASSERT_TRUE(server.WaitUntil([&] { return server.Records().size() == kClients * kEach; }));
  // Connection indexes follow accept order, which is the clients' order.
  std::vector<uint32_t> next(kClients, 0);
  for (const auto &[connection, record] : server.Records()) {
    uint32_t &n = next[static_cast<size_t>(connection)];
    EXPECT_EQ(record, MakeRecord(static_cast<uint32_t>(connection) * 1000 + n));
    ++n;
  }
}

// Runs a program with stdin from a file and stdout/stderr discarded; its
// exit status, or -1 when it had to be killed after timeout_ms (scaled).
int RunProgram(const std::vector<std::string> &argv, const std::string &input, int timeout_ms) {
  pid_t pid = fork();
  if (pid == 0) {
    FILE *in = std::freopen(input.c_str(), "r", stdin);
    FILE *out = std::freopen("/dev/null", "w", stdout);
    FILE *err = std::freopen("/dev/null", "w", stderr);
    if (in == nullptr || out == nullptr || err == nullptr) _exit(126);
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(orvik_test::scaled_ms(timeout_ms));
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(CommTls, OpensslSClientAsARealPeer) {
  TestServer server;
  std::vector<Record> sent;
  for (uint32_t i = 0; i < 100; ++i) {
    Record record = MakeRecord(i + 500);
    record[0] = 0;  // flags start with a zero byte on the wire anyway
    sent.push_back(record);
  }
  std::string input = Certs().dir + "/records.bin";
  std::vector<char> bytes = Concat(sent);
  std::ofstream(input, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  int status =
      RunProgram({"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(server.port()),
                  "-quiet", "-no_ign_eof", "-nocommands", "-CAfile", Certs().ca},
                 input, 20000);
  EXPECT_EQ(status, 0);
  ASSERT_TRUE(server.WaitUntil([&] { return server.Records().size() == sent.size(); }));
  auto records = server.Records();
  for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(records[i].second, sent[i]) << i;
  ASSERT_TRUE(server.WaitUntil([&] { return server.Connection(0).end_result != 0; }))
      << "callbacks " << server.Connection(0).callbacks << " results "
      << ::testing::PrintToString(server.Connection(0).read_results) << " sizes "
      << server.Connection(0).read_sizes.size();
  EXPECT_EQ(server.Connection(0).end_result, 61);
}

TEST(CommClient, ConnectFailuresAreReported) {
  TestServer server;
  CommModule *module = commtest::LoadClientModule(false);
  CommChannel *channel = nullptr;
  // A server whose certificate no trusted authority signed.
  Options untrusting;
  untrusting.Add("SSLCACertificateFile", Certs().dir + "/other_ca.pem");
  CommModule *strict = nullptr;
  ASSERT_EQ(comm_plugin_load(&strict, "comm_openssl", untrusting.get()), 0);
  EXPECT_NE(comm_connect(strict, &channel, "127.0.0.1", server.port(), 5000), 0);
  EXPECT_EQ(channel, nullptr);
  // The name connected to is checked: "localhost" is in the certificate.
  ASSERT_EQ(comm_connect(module, &channel, "localhost", server.port(), 5000), 0);
  comm_close(&channel, 0);
  // Nobody listening.
  int closed_port = server.port();
  {
    TestServer other;
    closed_port = other.port();
  }
  EXPECT_EQ(comm_connect(module, &channel, "127.0.0.1", closed_port, 5000), ECONNREFUSED);
  EXPECT_EQ(comm_connect(module, &channel, nullptr, 1, 0), EINVAL);
  comm_plugin_unload(&strict);
  comm_plugin_unload(&module);
}

// The protocol the server's side of the first connection selected, read on
// the loop thread when its first record arrives.
std::string ServerSideProtocol(TestServer &server, CommModule *client_module) {
  std::string selected = "(none read)";
  server.on_record = [&selected](int, CommChannel *cc) {
    char id[32];
    selected = comm_get_protocol(cc, id, sizeof(id)) == 0 ? id : "(error)";
  };
  CommChannel *channel = nullptr;
  EXPECT_EQ(comm_connect(client_module, &channel, "127.0.0.1", server.port(), 5000), 0);
  Record record = MakeRecord(1);
  int len = kRecordSize;
  EXPECT_EQ(comm_write(channel, record.data(), &len), 0);
  EXPECT_TRUE(server.WaitUntil([&] { return server.Records().size() == 1; }));
  comm_close(&channel, 0);
  std::lock_guard<std::mutex> lock(server.mutex);
  server.on_record = nullptr;
  return selected;
}

CommModule *ClientOffering(const std::string &protocols) {
  Options options;
  options.Add("SSLCACertificateFile", Certs().ca);
  if (!protocols.empty()) options.Add("ALPNProtocols", protocols);
  CommModule *module = nullptr;
  EXPECT_EQ(comm_plugin_load(&module, "comm_openssl", options.get()), 0);
  return module;
}

TEST(CommAlpn, ServerSelectsTheFirstOfItsOwnIdsThatTheClientOffers) {
  TestServer::Config config;
  config.alpn = "orvik-ack/1,orvik-ack/0";
  struct Case {
    std::string offered, selected;
  };
  for (const Case &c : {Case{"x/1,orvik-ack/0,orvik-ack/1", "orvik-ack/1"},
                        Case{"orvik-ack/0", "orvik-ack/0"}, Case{"", ""}, Case{"x/1", ""}}) {
    SCOPED_TRACE("offered: " + c.offered);
    TestServer server(config);
    CommModule *module = ClientOffering(c.offered);
    CommChannel *channel = nullptr;
    ASSERT_EQ(comm_connect(module, &channel, "127.0.0.1", server.port(), 5000), 0);
    char id[32] = "unset";
    ASSERT_EQ(comm_get_protocol(channel, id, sizeof(id)), 0);
    EXPECT_EQ(std::string(id), c.selected);
    comm_close(&channel, 0);
    EXPECT_EQ(ServerSideProtocol(server, module), c.selected);
    comm_plugin_unload(&module);
  }
}

TEST(CommAlpn, ServerWithoutProtocolsSelectsNothingAndBadListsAreRefused) {
  TestServer server;
  CommModule *module = ClientOffering("orvik-ack/1");
  EXPECT_EQ(ServerSideProtocol(server, module), "");
  CommChannel *channel = nullptr;
  ASSERT_EQ(comm_connect(module, &channel, "127.0.0.1", server.port(), 5000), 0);
  char small[4];
  char id[32];
  EXPECT_EQ(comm_get_protocol(channel, small, sizeof(small)), 0);  // "" fits
  EXPECT_EQ(comm_get_protocol(channel, id, 0), EINVAL);
  EXPECT_EQ(comm_get_protocol(nullptr, id, sizeof(id)), EINVAL);
  comm_close(&channel, 0);
  comm_plugin_unload(&module);

  for (const char *bad : {",a", "a,", "a,,b", ""}) {
    SCOPED_TRACE(bad);
    Options options;
    options.Add("ALPNProtocols", bad);
    CommModule *refused = nullptr;
    EXPECT_EQ(comm_plugin_load(&refused, "comm_openssl", options.get()), EINVAL);
    EXPECT_EQ(refused, nullptr);
  }
  Options options;
  options.Add("ALPNProtocols", std::string(256, 'p'));
  CommModule *refused = nullptr;
  EXPECT_EQ(comm_plugin_load(&refused, "comm_openssl", options.get()), EINVAL);
}

TEST(CommAlpn, TooSmallBufferForTheSelectedIdIs28) {
  TestServer::Config config;
  config.alpn = "orvik-ack/1";
  TestServer server(config);
  CommModule *module = ClientOffering("orvik-ack/1");
  CommChannel *channel = nullptr;
  ASSERT_EQ(comm_connect(module, &channel, "127.0.0.1", server.port(), 5000), 0);
  char exact[12];  // 11 characters and the terminator
  EXPECT_EQ(comm_get_protocol(channel, exact, sizeof(exact)), 0);
  EXPECT_EQ(comm_get_protocol(channel, exact, sizeof(exact) - 1), ENOSPC);
  comm_close(&channel, 0);
  comm_plugin_unload(&module);
}

TEST(CommClient, ChannelOutlivesItsUnloadedModule) {
  TestServer server;
  CommModule *module = commtest::LoadClientModule(false);
  CommChannel *channel = nullptr;
  ASSERT_EQ(comm_connect(module, &channel, "127.0.0.1", server.port(), 5000), 0);
  ASSERT_EQ(comm_plugin_unload(&module), 0);
  EXPECT_EQ(module, nullptr);
  Record record = MakeRecord(10);
  int len = kRecordSize;
  ASSERT_EQ(comm_write(channel, record.data(), &len), 0);
  ASSERT_TRUE(server.WaitUntil([&] { return server.Records().size() == 1; }));
  EXPECT_EQ(comm_shutdown(channel), 0);
  EXPECT_EQ(comm_close(&channel, 0), 0);
  EXPECT_EQ(channel, nullptr);
  ASSERT_TRUE(server.WaitUntil([&] { return server.Connection(0).end_result == 61; }));
}

}  // namespace

namespace {

TEST(CommTlsRegression, EndArrivingTogetherWithTheLastRecordsIsReported) {
  // The closing notice lands in the same socket read as the records before
  // it: the layer learns of the end while records are still buffered, and
  // must still report 61 once they are served.
  TestServer server;
  RawClient raw(server.port());
  raw.Begin();
  ASSERT_TRUE(raw.Finish());
  std::vector<Record> sent = {MakeRecord(20), MakeRecord(21), MakeRecord(22)};
  std::vector<char> bytes = Concat(sent);
  // Encrypt everything first, then put it on the wire in one piece.
  raw.Write(bytes.data(), static_cast<int>(bytes.size()), true);
  raw.SendCloseNotify();
  ASSERT_TRUE(server.WaitUntil([&] { return server.Connection(0).end_result != 0; }));
  EXPECT_EQ(server.Connection(0).end_result, 61);
  EXPECT_EQ(server.Records().size(), 3u);
}

}  // namespace

namespace {

// Keep-alive settings of a connected socket: {on, idle seconds}.
std::pair<int, int> KeepAlive(int fd) {
  int on = 0, idle = 0;
  socklen_t length = sizeof on;
  getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, &length);
  length = sizeof idle;
  getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, &length);
  return {on, idle};
}

TEST(CommTls, ConnectionsFindDeadPeersWithTcpKeepAlive) {
  TestServer server;
  std::pair<int, int> accepted{-1, -1};
  server.on_record = [&](int, CommChannel *cc) { accepted = KeepAlive(cc->fd); };
  Client client(server.port());
  ASSERT_EQ(client.rc(), 0);
  EXPECT_EQ(KeepAlive(client.channel()->fd), std::make_pair(1, 120));
  Record record = MakeRecord(70);
  ASSERT_EQ(client.Write(record.data(), kRecordSize), 0);
  ASSERT_TRUE(server.WaitUntil([&] { return server.Records().size() == 1; }));
  std::lock_guard<std::mutex> lock(server.mutex);
  EXPECT_EQ(accepted, std::make_pair(1, 120));
}

}  // namespace

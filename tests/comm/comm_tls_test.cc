// libcomm over loopback TLS: records through the comm_openssl transport
// into a callback that assembles them the way the daemon does.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "comm/comm_harness.h"

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
  EXPECT_EQ(server.Connections()[0].read_sizes, (std::vector<int>{100, 100, 208}));
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
  EXPECT_EQ(server.Connections()[0].read_sizes, (std::vector<int>{408, 408}));
}

}  // namespace

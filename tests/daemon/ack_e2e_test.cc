// End-to-end tests of the acknowledged protocol: the built orvikevtd on a
// free port of 127.0.0.1, clients through the comm layer that offer the
// protocol by ALPN (or not, for a plain client), and the committer test
// module, which commits only when the test tells it to.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "daemon_harness.h"
#include "test_files.h"
#include "test_target.h"

namespace {

using namespace std::chrono_literals;

using orvik_test::scaled;
using orvikevtd_test::cert;
using orvikevtd_test::Certificates;
using orvikevtd_test::count_of;
using orvikevtd_test::Daemon;
using orvikevtd_test::lines_of;
using orvikevtd_test::read_file;
using orvikevtd_test::records;
using orvikevtd_test::wait_for;

using StreamId = std::array<unsigned char, 16>;

constexpr StreamId kStreamA = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
constexpr const char *kStreamAHex = "0102030405060708090a0b0c0d0e0f10";

struct Frame {
  uint64_t position = 0;
  uint32_t status = 0;
};

void put_be(unsigned char *bytes, uint64_t value, int width) {
  for (int i = width - 1; i >= 0; --i, value >>= 8) bytes[i] = static_cast<unsigned char>(value);
}

uint64_t get_be(const unsigned char *bytes, int width) {
  uint64_t value = 0;
  for (int i = 0; i < width; ++i) value = (value << 8) | bytes[i];
  return value;
}

std::string hello(const StreamId &id, uint64_t first, uint32_t flags = 0,
                  const char *magic = "OVK1") {
  unsigned char bytes[32];
  std::memcpy(bytes, magic, 4);
  std::memcpy(bytes + 4, id.data(), 16);
  put_be(bytes + 20, first, 8);
  put_be(bytes + 28, flags, 4);
  return std::string(reinterpret_cast<char *>(bytes), sizeof(bytes));
}

// A TLS client through the comm layer that offers the acknowledged
// protocol (or, with acknowledged false, no ALPN at all) and reads what the
// daemon writes back.
class AckClient {
 public:
  AckClient(int port, bool acknowledged = true) : port_(port), acknowledged_(acknowledged) {}
  ~AckClient() {
    if (channel_ != nullptr) comm_close(&channel_, 0);
    if (module_ != nullptr) comm_plugin_unload(&module_);
  }

  bool connect() {
    Attribute *options = nullptr;
    std::string ca = cert("ca.pem");
    options = attribute_add(options, const_cast<char *>("SSLCACertificateFile"), ca.data());
    if (acknowledged_) {
      options = attribute_add(options, const_cast<char *>("ALPNProtocols"),
                              const_cast<char *>("orvik-ack/1"));
    }
    int rc = comm_plugin_load(&module_, "comm_openssl", options);
    attribute_freeall(&options);
    if (rc != 0) return false;
    if (comm_connect(module_, &channel_, "127.0.0.1", port_, 10000) != 0) return false;
    char selected[32] = {};
    return comm_get_protocol(channel_, selected, sizeof(selected)) == 0 &&
           std::string(selected) == (acknowledged_ ? "orvik-ack/1" : "");
  }
  bool write(const std::string &bytes) {
    int len = static_cast<int>(bytes.size());
    return comm_write(channel_, bytes.data(), &len) == 0 && len == static_cast<int>(bytes.size());
  }
  bool send(const std::vector<EventData> &events) {
    return write(std::string(reinterpret_cast<const char *>(events.data()),
                             events.size() * sizeof(EventData)));
  }
  // Reads until 16 bytes make a frame or the time passes. The connection's
  // end or an error ends the wait too, and is remembered.
  std::optional<Frame> frame(std::chrono::milliseconds timeout = 10s) {
    auto deadline = std::chrono::steady_clock::now() + scaled(timeout);
    while (pending_.size() < 16) {
      char buffer[64];
      int len = static_cast<int>(sizeof(buffer));
      int rc = comm_read(channel_, buffer, &len);
      if (rc == 0) {
        pending_.append(buffer, static_cast<size_t>(len));
        continue;
      }
      if (rc != 11 && rc != 2 && rc != 3) {
        ended_ = rc;
        return std::nullopt;
      }
      if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
      std::this_thread::sleep_for(5ms);
    }
    auto *bytes = reinterpret_cast<const unsigned char *>(pending_.data());
    EXPECT_EQ(pending_.substr(0, 4), "ACK1");
    Frame result{get_be(bytes + 4, 8), static_cast<uint32_t>(get_be(bytes + 12, 4))};
    pending_.erase(0, 16);
    return result;
  }
  // Reads frames until one carries at least position; the last frame read.
  std::optional<Frame> until(uint64_t position, std::chrono::milliseconds timeout = 20s) {
    auto deadline = std::chrono::steady_clock::now() + scaled(timeout);
    std::optional<Frame> last;
    while (std::chrono::steady_clock::now() < deadline) {
      std::optional<Frame> next = frame(100ms);
      if (next) {
        EXPECT_GE(next->position, last ? last->position : 0) << "acknowledgements went back";
        last = next;
        if (last->position >= position) return last;
      } else if (ended_ != 0) {
        break;
      }
    }
    return last;
  }
  // The result that ended the connection, 0 while it lasts.
  int ended() const { return ended_; }
  size_t unread_bytes() const { return pending_.size(); }

 private:
  int port_;
  bool acknowledged_;
  CommModule *module_ = nullptr;
  CommChannel *channel_ = nullptr;
  std::string pending_;
  int ended_ = 0;
};

class AckTest : public ::testing::Test {
 protected:
  std::string commit_file() const { return daemon_.file("commit"); }
  void commit(const std::string &what) {
    std::ofstream(commit_file() + ".new") << what << "\n";
    std::rename((commit_file() + ".new").c_str(), commit_file().c_str());
  }
  // The committer refuses the record of its call-th handle_event.
  void refuse_call(int call) { std::ofstream(daemon_.file("refuse")) << call << "\n"; }
  std::vector<std::string> origins() const { return lines_of(read_file(daemon_.file("origins"))); }
  // The recorder module A commits on return, the committer when told.
  bool start(const std::string &extra = "") {
    return daemon_.start(daemon_.standard_config(extra + "MODULE " + RECORDER_A + " " +
                                                 daemon_.file("records") + "\nMODULE " +
                                                 COMMITTER_MODULE + " " + daemon_.file("") + "\n"));
  }
  size_t recorded() const { return lines_of(read_file(daemon_.file("records"))).size() - 1; }

  Daemon daemon_;
};

TEST_F(AckTest, AcknowledgementsFollowTheSlowestModulesCommitAndNeverComeBefore) {
  ASSERT_TRUE(start());
  AckClient client(daemon_.port());
  ASSERT_TRUE(client.connect());
  ASSERT_TRUE(client.write(hello(kStreamA, 1)));
  // Five records in a queue of ten: they reach the modules without more.
  ASSERT_TRUE(client.send(records("h", "o", 1, 5)));
  ASSERT_TRUE(wait_for([this] { return origins().size() == 5; }));
  std::vector<std::string> expected;
  for (int seq = 1; seq <= 5; ++seq)
    expected.push_back(std::string(kStreamAHex) + " " + std::to_string(seq));
  EXPECT_EQ(origins(), expected);
  // The recorder took them, the committer did not: nothing is acknowledged.
  EXPECT_FALSE(client.frame(500ms).has_value());
  commit("3");
  std::optional<Frame> frame = client.until(3);
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(frame->position, 3u);
  EXPECT_EQ(frame->status, 0u);
  EXPECT_FALSE(client.frame(300ms).has_value());  // nothing beyond what was committed
  commit("all");
  frame = client.until(5);
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(frame->position, 5u);
  // More records: acknowledged as soon as the committer takes them.
  ASSERT_TRUE(client.send(records("h", "o", 6, 25)));
  frame = client.until(30);
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(frame->position, 30u);
  EXPECT_EQ(client.unread_bytes(), 0u);
}

TEST_F(AckTest, APlainClientOnTheSameDaemonGetsNothingWrittenBack) {
  commit("all");
  // The plain client's records reach the modules without filling a queue.
  ASSERT_TRUE(start("QUEUEFLUSH 0.05\n"));
  AckClient acked(daemon_.port());
  AckClient plain(daemon_.port(), false);
  ASSERT_TRUE(acked.connect());
  ASSERT_TRUE(plain.connect());
  ASSERT_TRUE(acked.write(hello(kStreamA, 1)));
  ASSERT_TRUE(plain.send(records("plain", "o", 1, 3)));
  ASSERT_TRUE(acked.send(records("acked", "o", 1, 4)));
  ASSERT_TRUE(plain.send(records("plain", "o", 4, 20)));
  std::optional<Frame> frame = acked.until(4);
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(frame->position, 4u);
  ASSERT_TRUE(wait_for([this] { return origins().size() == 27; }));
  EXPECT_EQ(count_of(read_file(daemon_.file("origins")), "plain\n"), 23u);
  EXPECT_FALSE(plain.frame(500ms).has_value());
  EXPECT_EQ(plain.ended(), 0);
  EXPECT_EQ(plain.unread_bytes(), 0u);
}

TEST_F(AckTest, BadHellosCloseTheConnectionWithOneLinePerEpisode) {
  commit("all");
  ASSERT_TRUE(start());
  const StreamId zero = {};
  std::vector<std::string> bad = {hello(kStreamA, 1, 0, "OVK2"), hello(zero, 1),
                                  hello(kStreamA, 1, 4), hello(kStreamA, 0)};
  for (const std::string &bytes : bad) {
    AckClient client(daemon_.port());
    ASSERT_TRUE(client.connect());
    ASSERT_TRUE(client.write(bytes));
    EXPECT_FALSE(client.frame().has_value());
    EXPECT_NE(client.ended(), 0);  // closed by the daemon
  }
  EXPECT_EQ(count_of(daemon_.log(), "bad hello"), 1u);
  EXPECT_EQ(count_of(daemon_.log(), "Refused an acknowledged connection: bad hello (wrong magic)."),
            1u);
  // A good hello ends the episode; the next bad one is logged again.
  AckClient good(daemon_.port());
  ASSERT_TRUE(good.connect());
  ASSERT_TRUE(good.write(hello(kStreamA, 1)));
  ASSERT_TRUE(good.send(records("h", "o", 1, 2)));
  ASSERT_TRUE(good.until(2).has_value());
  AckClient again(daemon_.port());
  ASSERT_TRUE(again.connect());
  ASSERT_TRUE(again.write(hello(kStreamA, 1, 1)));
  EXPECT_FALSE(again.frame().has_value());
  EXPECT_TRUE(wait_for([this] { return count_of(daemon_.log(), "bad hello") == 2; }));
  EXPECT_NE(daemon_.log().find("bad hello (non-zero flags)"), std::string::npos);
  EXPECT_EQ(origins().size(), 2u);  // nothing of the refused connections reached the modules
}

TEST_F(AckTest, AResendFromAnOlderSequenceOverANewConnectionIsNotStoredTwice) {
  commit("all");
  ASSERT_TRUE(start());
  {
    AckClient first(daemon_.port());
    ASSERT_TRUE(first.connect());
    ASSERT_TRUE(first.write(hello(kStreamA, 1)));
    ASSERT_TRUE(first.send(records("h", "o", 1, 5)));
    ASSERT_TRUE(first.until(5).has_value());
  }
  AckClient second(daemon_.port());
  ASSERT_TRUE(second.connect());
  ASSERT_TRUE(second.write(hello(kStreamA, 3)));
  // The daemon knows the stream: its position comes right after the hello.
  std::optional<Frame> known = second.frame();
  ASSERT_TRUE(known.has_value());
  EXPECT_EQ(known->position, 5u);
  ASSERT_TRUE(second.send(records("h", "o", 3, 5)));  // 3 to 7: 3, 4 and 5 again
  std::optional<Frame> frame = second.until(7);
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(frame->position, 7u);
  std::vector<std::string> expected;
  for (int seq = 1; seq <= 7; ++seq)
    expected.push_back(std::string(kStreamAHex) + " " + std::to_string(seq));
  EXPECT_EQ(origins(), expected);
  std::vector<std::string> timestamps;
  for (const std::string &line : lines_of(read_file(daemon_.file("records")))) {
    if (line.find(" init ") == std::string::npos)
      timestamps.push_back(line.substr(line.rfind(' ') + 1));
  }
  EXPECT_EQ(timestamps, (std::vector<std::string>{"1", "2", "3", "4", "5", "6", "7"}));
}

// The statistics line's figures for the protocol: streams known,
// acknowledgements and duplicates since the last line, and the largest
// commit lag of a module.
struct AckFigures {
  uint64_t streams = 0, acks = 0, duplicates = 0, lag = 0;
};

AckFigures last_statistics(const std::string &log) {
  static const std::regex line(
      R"(intake paused [0-9.]+ s, (\d+) streams, (\d+) acks, (\d+) duplicates, commit lag (\d+))");
  AckFigures figures;
  for (const std::string &entry : lines_of(log)) {
    std::smatch match;
    if (!std::regex_search(entry, match, line)) continue;
    figures.streams = std::stoull(match[1]);
    figures.acks += std::stoull(match[2]);
    figures.duplicates += std::stoull(match[3]);
    figures.lag = std::stoull(match[4]);
  }
  return figures;
}

TEST_F(AckTest, TheStatisticsLineCountsStreamsAcksDuplicatesAndTheCommitLag) {
  commit("2");
  ASSERT_TRUE(start("STATSINTERVAL 0.1\n"));
  AckClient first(daemon_.port());
  ASSERT_TRUE(first.connect());
  ASSERT_TRUE(first.write(hello(kStreamA, 1)));
  ASSERT_TRUE(first.send(records("h", "o", 1, 5)));
  ASSERT_TRUE(first.until(2).has_value());
  ASSERT_TRUE(wait_for([this] { return last_statistics(daemon_.log()).lag == 3; }));
  commit("all");
  ASSERT_TRUE(first.until(5).has_value());
  AckClient second(daemon_.port());
  ASSERT_TRUE(second.connect());
  ASSERT_TRUE(second.write(hello(kStreamA, 4)));
  ASSERT_TRUE(second.send(records("h", "o", 4, 3)));  // 4 and 5 again, then 6
  ASSERT_TRUE(second.until(6).has_value());
  ASSERT_TRUE(wait_for([this] {
    AckFigures figures = last_statistics(daemon_.log());
    return figures.duplicates == 2 && figures.lag == 0 && figures.acks >= 4;
  })) << daemon_.log();
  EXPECT_EQ(last_statistics(daemon_.log()).streams, 1u);
}

TEST_F(AckTest, AGapIsAcceptedAndLoggedOnce) {
  commit("all");
  ASSERT_TRUE(start());
  AckClient client(daemon_.port());
  ASSERT_TRUE(client.connect());
  ASSERT_TRUE(client.write(hello(kStreamA, 1)));
  ASSERT_TRUE(client.send(records("h", "o", 1, 2)));
  ASSERT_TRUE(client.until(2).has_value());
  AckClient later(daemon_.port());
  ASSERT_TRUE(later.connect());
  ASSERT_TRUE(later.write(hello(kStreamA, 5)));
  ASSERT_TRUE(later.frame().has_value());  // the known position, 2
  ASSERT_TRUE(later.send(records("h", "o", 5, 3)));
  std::optional<Frame> frame = later.until(7);
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(frame->position, 7u);
  EXPECT_EQ(count_of(daemon_.log(), "Acknowledged stream skipped sequences 3 to 4."), 1u);
  EXPECT_EQ(origins().size(), 5u);
}

TEST_F(AckTest, BeyondMaxStreamsTheLeastRecentlyUsedStreamWithoutAConnectionIsForgotten) {
  commit("all");
  ASSERT_TRUE(start("MAXSTREAMS 2\n"));
  auto stream = [](unsigned char last) {
    StreamId id = kStreamA;
    id[15] = last;
    return id;
  };
  // Streams 1, 2 and 3 send one record each and leave; 2 is used again
  // before 3 comes, so 1 is the least recently used.
  for (unsigned char last : {1, 2}) {
    AckClient client(daemon_.port());
    ASSERT_TRUE(client.connect());
    ASSERT_TRUE(client.write(hello(stream(last), 1)));
    ASSERT_TRUE(client.send(records("h", "o", last, 1)));
    ASSERT_TRUE(client.until(1).has_value());
  }
  AckClient holder(daemon_.port());  // keeps stream 2 in use
  ASSERT_TRUE(holder.connect());
  ASSERT_TRUE(holder.write(hello(stream(2), 2)));
  ASSERT_TRUE(holder.frame().has_value());
  {
    AckClient third(daemon_.port());
    ASSERT_TRUE(third.connect());
    ASSERT_TRUE(third.write(hello(stream(3), 1)));
    ASSERT_TRUE(third.send(records("h", "o", 3, 1)));
    ASSERT_TRUE(third.until(1).has_value());
  }
  // Stream 2, with its connection, is remembered: its position comes at once.
  AckClient again(daemon_.port());
  ASSERT_TRUE(again.connect());
  ASSERT_TRUE(again.write(hello(stream(2), 1)));
  std::optional<Frame> known = again.frame();
  ASSERT_TRUE(known.has_value());
  EXPECT_EQ(known->position, 1u);
  // Stream 1 was forgotten: no position, and its resent record is taken as new.
  AckClient forgotten(daemon_.port());
  ASSERT_TRUE(forgotten.connect());
  ASSERT_TRUE(forgotten.write(hello(stream(1), 1)));
  EXPECT_FALSE(forgotten.frame(500ms).has_value());
  EXPECT_EQ(forgotten.ended(), 0);
  ASSERT_TRUE(forgotten.send(records("h", "o", 1, 1)));
  ASSERT_TRUE(forgotten.until(1).has_value());
  EXPECT_EQ(origins().size(), 4u);
}

TEST_F(AckTest, ARefusedRecordIsNeverAcknowledgedAndItsResendIsTaken) {
  commit("all");
  refuse_call(3);
  ASSERT_TRUE(start());
  AckClient first(daemon_.port());
  ASSERT_TRUE(first.connect());
  ASSERT_TRUE(first.write(hello(kStreamA, 1)));
  ASSERT_TRUE(first.send(records("h", "o", 1, 5)));
  // The committer refused record 3: nothing from it on is acknowledged, and
  // the daemon closes the connection so that the sender resends it.
  std::optional<Frame> last = first.until(3);
  EXPECT_TRUE(!last.has_value() || last->position < 3u) << "acknowledged up to " << last->position;
  EXPECT_NE(first.ended(), 0);
  EXPECT_TRUE(wait_for([this] { return count_of(daemon_.log(), "refused record 3 ") == 1; }));
  // The resend from the first unacknowledged record is taken.
  uint64_t resend_from = last.has_value() ? last->position + 1 : 1;
  AckClient second(daemon_.port());
  ASSERT_TRUE(second.connect());
  ASSERT_TRUE(second.write(hello(kStreamA, resend_from)));
  ASSERT_TRUE(second.send(records("h", "o", resend_from, 6 - resend_from)));
  std::optional<Frame> frame = second.until(5);
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(frame->position, 5u);
  std::string seen = read_file(daemon_.file("origins"));
  EXPECT_EQ(count_of(seen, std::string(kStreamAHex) + " 3\n"), 2u);  // refused, then taken
  EXPECT_EQ(count_of(seen, std::string(kStreamAHex) + " 1\n"), 1u);  // acknowledged: not again
  EXPECT_EQ(count_of(daemon_.log(), "refused record"), 1u);
}

TEST_F(AckTest, ARefusedRecordOfAPlainClientLeavesTheAcknowledgedPositionsRight) {
  commit("all");
  refuse_call(3);
  ASSERT_TRUE(start("QUEUEFLUSH 0.05\n"));
  AckClient plain(daemon_.port(), false);
  ASSERT_TRUE(plain.connect());
  ASSERT_TRUE(plain.send(records("plain", "o", 1, 5)));
  ASSERT_TRUE(wait_for([this] { return origins().size() == 5; }));
  // The refused record counts as settled: the acknowledged stream that
  // follows is acknowledged in full, not one record short.
  AckClient acked(daemon_.port());
  ASSERT_TRUE(acked.connect());
  ASSERT_TRUE(acked.write(hello(kStreamA, 1)));
  ASSERT_TRUE(acked.send(records("acked", "o", 1, 4)));
  std::optional<Frame> frame = acked.until(4);
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(frame->position, 4u);
  // The plain client gets nothing and keeps its connection.
  EXPECT_FALSE(plain.frame(500ms).has_value());
  EXPECT_EQ(plain.ended(), 0);
  EXPECT_EQ(count_of(daemon_.log(), "refused record"), 0u);
}

TEST(AckWithoutModules, NothingIsAcknowledgedWhenNoModuleTookTheRecords) {
  Daemon daemon;
  ASSERT_TRUE(daemon.start(daemon.standard_config()));
  AckClient client(daemon.port());
  ASSERT_TRUE(client.connect());
  ASSERT_TRUE(client.write(hello(kStreamA, 1)));
  ASSERT_TRUE(client.send(records("h", "o", 1, 30)));
  EXPECT_FALSE(client.frame(1500ms).has_value());
  EXPECT_EQ(client.ended(), 0);
}

TEST_F(AckTest, TheOrderlyStopSaysSoAndSendsTheFinalPositionsAfterTheCleanup) {
  ASSERT_TRUE(start("SHUTDOWNDRAIN 10\n"));
  AckClient client(daemon_.port());
  ASSERT_TRUE(client.connect());
  ASSERT_TRUE(client.write(hello(kStreamA, 1)));
  ASSERT_TRUE(client.send(records("h", "o", 1, 4)));
  ASSERT_TRUE(wait_for([this] { return origins().size() == 4; }));
  commit("1");
  ASSERT_TRUE(client.until(1).has_value());
  daemon_.signal(SIGTERM);
  // Reading stops: status 1 with the position so far.
  std::optional<Frame> stopping = client.frame();
  ASSERT_TRUE(stopping.has_value());
  EXPECT_EQ(stopping->status, 1u);
  EXPECT_EQ(stopping->position, 1u);
  // The committer's cleanup commits the rest: the final position says so.
  std::optional<Frame> final_frame = client.frame();
  ASSERT_TRUE(final_frame.has_value());
  EXPECT_EQ(final_frame->status, 1u);
  EXPECT_EQ(final_frame->position, 4u);
  EXPECT_EQ(daemon_.wait_exit(), 0);
}

}  // namespace

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new Certificates);
  return RUN_ALL_TESTS();
}

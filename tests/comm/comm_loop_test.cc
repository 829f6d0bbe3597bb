// libcomm's loop: wake-ups from signal handlers, ticks, options, paused
// reads, fairness between connections, channels closed by other channels'
// callbacks, and running out of descriptors.
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "comm/comm_harness.h"
#include "test_target.h"

namespace {

using commtest::kRecordSize;
using commtest::MakeRecord;
using commtest::RawClient;
using commtest::Record;
using commtest::TestServer;

int IgnoreIo(CommChannel *, int, void *) {
  return 0;
}

// Runs comm_group_loop on a thread; the result arrives through a future.
std::future<int> RunLoop(CommGroup *group, std::thread *thread, pthread_t *id) {
  auto task =
      std::make_shared<std::packaged_task<int()>>([group] { return comm_group_loop(group); });
  std::future<int> result = task->get_future();
  *thread = std::thread([task] { (*task)(); });
  *id = thread->native_handle();
  return result;
}

CommGroup *g_signalled_group = nullptr;
void WakeFromSignal(int) {
  comm_group_wakeup(g_signalled_group);
}

// The callback notes its own thread, and the test compares that with the
// loop thread only after joining it: the test thread alone touches
// loop_thread, so nothing is shared without an order between the threads.
struct WakeLog {
  std::atomic<int> calls{0};
  pthread_t callback_thread{};
  pthread_t loop_thread{};
};

TEST(CommLoop, SignalHandlerWakesTheLoopWhichRunsTheCallbackOnItsThread) {
  CommGroup *group = nullptr;
  ASSERT_EQ(comm_group_new(&group, IgnoreIo), 0);
  ASSERT_EQ(comm_group_set_option(group, COMM_OPT_LOOP_TIMEOUT_US, 60000000), 0);
  WakeLog log;
  ASSERT_EQ(comm_group_set_wakeup_callback(
                group,
                [](CommGroup *g, void *arg) {
                  auto *l = static_cast<WakeLog *>(arg);
                  l->callback_thread = pthread_self();
                  ++l->calls;
                  comm_group_stop(g);
                },
                &log),
            0);
  g_signalled_group = group;
  struct sigaction action {};
  action.sa_handler = WakeFromSignal;
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  std::thread thread;
  std::future<int> result = RunLoop(group, &thread, &log.loop_thread);
  // The loop waits up to 60 s; only the wake-up can end it in time.
  bool stopped = false;
  for (int i = 0; i < 100 && !stopped; ++i) {
    pthread_kill(log.loop_thread, SIGUSR1);
    stopped = result.wait_for(std::chrono::milliseconds(100)) == std::future_status::ready;
  }
  if (!stopped) {
    comm_group_wakeup(group);  // cannot help if the wake-up itself is broken
  }
  thread.join();
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_TRUE(stopped);
  EXPECT_EQ(result.get(), 0);
  EXPECT_GE(log.calls.load(), 1);
  EXPECT_TRUE(log.calls.load() > 0 && pthread_equal(log.callback_thread, log.loop_thread) != 0);
  EXPECT_EQ(comm_group_free(&group), 0);
  EXPECT_EQ(group, nullptr);
}

TEST(CommLoop, TicksComeWhileTheLoopWaitsLong) {
  CommGroup *group = nullptr;
  ASSERT_EQ(comm_group_new(&group, IgnoreIo), 0);
  ASSERT_EQ(comm_group_set_option(group, COMM_OPT_LOOP_TIMEOUT_US, 60000000), 0);
  std::atomic<int> ticks{0};
  ASSERT_EQ(comm_group_set_tick_callback(
                group,
                [](CommGroup *g, void *arg) {
                  if (++*static_cast<std::atomic<int> *>(arg) == 3) comm_group_stop(g);
                },
                &ticks, 10000),
            0);
  std::thread thread;
  pthread_t id;
  std::future<int> result = RunLoop(group, &thread, &id);
  bool stopped = result.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  if (!stopped) comm_group_set_tick_callback(group, nullptr, nullptr, 0);
  if (!stopped) comm_group_wakeup(group);
  thread.join();
  EXPECT_TRUE(stopped);
  EXPECT_EQ(ticks.load(), 3);
  comm_group_free(&group);
}

TEST(CommLoop, ArgumentsAndOptionsAreChecked) {
  CommGroup *group = nullptr;
  EXPECT_EQ(comm_group_new(&group, nullptr), EINVAL);
  EXPECT_EQ(comm_group_new(nullptr, IgnoreIo), EINVAL);
  ASSERT_EQ(comm_group_new(&group, IgnoreIo), 0);
  EXPECT_EQ(comm_group_set_option(group, COMM_OPT_LOOP_TIMEOUT_US, 0), EINVAL);
  EXPECT_EQ(comm_group_set_option(group, COMM_OPT_HANDSHAKE_TIMEOUT_US, -5), EINVAL);
  EXPECT_EQ(comm_group_set_option(group, 99, 1), EINVAL);
  EXPECT_EQ(comm_group_set_option(nullptr, 1, 1), EINVAL);
  EXPECT_EQ(comm_group_set_tick_callback(
                group, [](CommGroup *, void *) {}, nullptr, 0),
            EINVAL);
  EXPECT_EQ(comm_group_add(group, nullptr, nullptr, 1), EINVAL);
  EXPECT_EQ(comm_group_remove(group, nullptr), EINVAL);
  EXPECT_EQ(comm_group_loop(nullptr), EINVAL);
  EXPECT_EQ(comm_group_wakeup(nullptr), EINVAL);
  // The loop cannot be entered again from its own callbacks.
  std::atomic<int> nested{-1};
  comm_group_set_wakeup_callback(
      group,
      [](CommGroup *g, void *arg) {
        *static_cast<std::atomic<int> *>(arg) = comm_group_loop(g);
        comm_group_free(&g);  // refused as well: g stays valid
        comm_group_stop(g);
      },
      &nested);
  ASSERT_EQ(comm_group_wakeup(group), 0);
  EXPECT_EQ(comm_group_loop(group), 0);
  EXPECT_EQ(nested.load(), EBUSY);
  EXPECT_EQ(comm_group_free(&group), 0);
  EXPECT_EQ(comm_group_free(&group), EINVAL);
}

TEST(CommLoop, ChannelsBelongToOneGroupAtATime) {
  TestServer server;
  CommModule *module = commtest::LoadClientModule(false);
  CommChannel *channel = nullptr;
  ASSERT_EQ(comm_connect(module, &channel, "127.0.0.1", server.port(), 5000), 0);
  CommGroup *a = nullptr, *b = nullptr;
  ASSERT_EQ(comm_group_new(&a, IgnoreIo), 0);
  ASSERT_EQ(comm_group_new(&b, IgnoreIo), 0);
  EXPECT_EQ(comm_group_add(a, channel, nullptr, 1), 0);
  EXPECT_EQ(comm_group_add(a, channel, nullptr, 1), EEXIST);
  EXPECT_EQ(comm_group_add(b, channel, nullptr, 1), EEXIST);
  EXPECT_EQ(comm_group_remove(b, channel), ENOENT);
  EXPECT_EQ(comm_group_remove(a, channel), 0);
  EXPECT_EQ(comm_group_add(b, channel, nullptr, 1), 0);
  // Freeing a group leaves its channels usable; closing one still in a
  // group takes it out first.
  EXPECT_EQ(comm_group_free(&b), 0);
  EXPECT_EQ(comm_group_add(a, channel, nullptr, 1), 0);
  EXPECT_EQ(comm_close(&channel, 0), 0);
  EXPECT_EQ(comm_group_free(&a), 0);
  comm_plugin_unload(&module);
}

TEST(CommLoop, PausedReadsHoldRecordsUntilResumed) {
  TestServer::Config config;
  config.start_paused = true;
  TestServer server(config);
  RawClient raw(server.port());
  raw.Begin();
  // Handshakes go on while reads are paused.
  ASSERT_TRUE(raw.Finish());
  Record record = MakeRecord(30);
  raw.Write(record.data(), kRecordSize);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(server.Records().empty());
  server.RunOnLoop([&] { comm_group_pause_reads(server.group(), 0); });
  ASSERT_TRUE(server.WaitUntil([&] { return server.Records().size() == 1; }));
  EXPECT_EQ(server.Records()[0].second, record);
}

// Connects raw clients that complete their handshakes.
std::vector<std::unique_ptr<RawClient>> ConnectRaw(TestServer &server, int count) {
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < count; ++i) {
    clients.push_back(std::make_unique<RawClient>(server.port()));
    clients.back()->Begin();
    EXPECT_TRUE(clients.back()->Finish());
    // Accept order is the clients' order.
    EXPECT_TRUE(server.WaitUntil([&] {
      return server.Connections().size() == static_cast<size_t>(i + 1) &&
             server.Connection(static_cast<size_t>(i)).established;
    })) << "connections "
        << server.Connections().size() << " accept failures " << server.accept_failures();
  }
  return clients;
}

TEST(CommLoop, BusyConnectionDoesNotStarveTheOthers) {
  TestServer::Config config;
  config.start_paused = true;
  // Small reads make every buffered record cost many callbacks, so the
  // per-turn bound shows rather than the size of the buffers.
  config.read_chunk = 8;
  TestServer server(config);
  auto clients = ConnectRaw(server, 2);
  // The first connection has 1000 records waiting, the second one record;
  // both are ready when reads resume, the busy one first.
  constexpr int kBusy = 1000;
  std::vector<char> burst;
  for (int i = 0; i < kBusy; ++i) {
    Record r = MakeRecord(static_cast<uint32_t>(i));
    burst.insert(burst.end(), r.begin(), r.end());
  }
  for (size_t offset = 0; offset < burst.size(); offset += 16 * kRecordSize) {
    clients[0]->Write(burst.data() + offset,
                      static_cast<int>(std::min<size_t>(16 * kRecordSize, burst.size() - offset)),
                      true);
  }
  std::thread busy_sender([&] { clients[0]->SendPending(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  Record lone = MakeRecord(99999);
  clients[1]->Write(lone.data(), kRecordSize);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  server.RunOnLoop([&] { comm_group_pause_reads(server.group(), 0); });
  busy_sender.join();
  ASSERT_TRUE(server.WaitUntil([&] { return server.Records().size() == kBusy + 1; }));
  auto records = server.Records();
  size_t lone_position = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    if (records[i].first == 1) lone_position = i;
  }
  // The lone record waited for a turn's share of the busy connection's
  // records, not for a whole buffer (64 KiB, 160 records) of them.
  EXPECT_LT(lone_position, 100u);
}

TEST(CommLoop, CallbackMayCloseAnotherChannelWithAnEventInTheSameTurn) {
  TestServer::Config config;
  config.start_paused = true;
  TestServer server(config);
  auto clients = ConnectRaw(server, 3);
  // A record on connection 0 makes the server close connections 1 and 2,
  // whose events are (most likely) in the same turn's list.
  server.on_record = [&](int connection, CommChannel *) {
    if (connection == 0) {
      server.CloseConnectionLocked(1, -1);
      server.CloseConnectionLocked(2, -1);
    }
  };
  for (int i = 2; i >= 0; --i) {
    Record record = MakeRecord(static_cast<uint32_t>(40 + i));
    clients[static_cast<size_t>(i)]->Write(record.data(), kRecordSize);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  server.RunOnLoop([&] { comm_group_pause_reads(server.group(), 0); });
  ASSERT_TRUE(server.WaitUntil([&] {
    return server.Connection(1).end_result != 0 && server.Connection(2).end_result != 0;
  }));
  EXPECT_EQ(server.Connection(1).end_result, -1);
  EXPECT_EQ(server.Connection(2).end_result, -1);
  EXPECT_EQ(server.open_connections(), 1);
  // Connection 0 goes on working.
  Record later = MakeRecord(50);
  clients[0]->Write(later.data(), kRecordSize);
  ASSERT_TRUE(server.WaitUntil([&] {
    auto records = server.Records();
    return !records.empty() && records.back().second == later;
  }));
}

TEST(CommLoop, WriteNeedOnTheListenerChangesNothing) {
  // The daemon sets it after an accept that waits for writability; the
  // listener must go on accepting, and must not be reported writable.
  TestServer server;
  server.RunOnLoop([&] { EXPECT_EQ(comm_set_ioneeds(server.listener(), COMM_NEED_WRITE), 0); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(server.accept_failures(), 0);
  auto clients = ConnectRaw(server, 2);
  Record record = MakeRecord(60);
  clients[1]->Write(record.data(), kRecordSize);
  ASSERT_TRUE(server.WaitUntil([&] { return server.Records().size() == 1; }));
  EXPECT_EQ(server.accept_failures(), 0);
}

int HighestOpenDescriptor() {
  int highest = -1;
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) return 1024;
  while (dirent *entry = readdir(dir)) {
    int fd = std::atoi(entry->d_name);
    if (fd > highest && fd != dirfd(dir)) highest = fd;
  }
  closedir(dir);
  return highest;
}

TEST(CommLoop, RunningOutOfDescriptorsRestsTheListenerInsteadOfSpinning) {
  TestServer server;
  // The client's socket exists before the limit drops; its connect needs no
  // new descriptor.
  int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(client, 0);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = static_cast<rlim_t>(HighestOpenDescriptor() + 1);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  // Fill the free numbers below the limit as well.
  std::vector<int> fillers;
  for (int fd; (fd = dup(client)) >= 0;) fillers.push_back(fd);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(server.port()));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int connected = connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address);
  bool failed_once = server.WaitUntil([&] { return server.accept_failures() > 0; }, 5000);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  int failures = server.accept_failures();
  for (int fd : fillers) close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(connected, 0);
  EXPECT_TRUE(failed_once);
  // A spinning loop would have failed thousands of times by now.
  EXPECT_LE(failures, 10);
  // With descriptors back, the waiting connection is taken.
  EXPECT_TRUE(server.WaitUntil([&] { return server.Connections().size() == 1; }));
  close(client);
}

// Reads the client's channel until want bytes came or time ran out.
std::string ReadAtLeast(CommChannel *channel, size_t want) {
  std::string received;
  auto deadline = std::chrono::steady_clock::now() + orvik_test::scaled(std::chrono::seconds(30));
  std::vector<char> buffer(1 << 16);
  while (received.size() < want && std::chrono::steady_clock::now() < deadline) {
    int got = static_cast<int>(buffer.size());
    int rc = comm_read(channel, buffer.data(), &got);
    if (rc == 0) {
      received.append(buffer.data(), static_cast<size_t>(got));
    } else if (rc == 11 || rc == 2) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } else {
      break;
    }
  }
  return received;
}

// What the server's comm_send could not write at once waits in the layer:
// the loop goes on reading, writes the rest as the peer reads, and the
// peer gets every byte in order.
// A client of the test server (no client certificate of its own) for the
// tests of comm_send; closed and unloaded at the end.
class SendClient {
 public:
  explicit SendClient(const TestServer &server) : module_(commtest::LoadClientModule(false)) {
    connected_ = comm_connect(module_, &channel_, "127.0.0.1", server.port(), 5000) == 0;
  }
  ~SendClient() {
    if (channel_ != nullptr) comm_close(&channel_, 0);
    comm_plugin_unload(&module_);
  }
  SendClient(const SendClient &) = delete;
  SendClient &operator=(const SendClient &) = delete;

  bool connected() const { return connected_; }
  CommChannel *channel() { return channel_; }
  // Writes record number n (blocking).
  bool Write(int n) {
    Record record = MakeRecord(n);
    int len = kRecordSize;
    return comm_write(channel_, record.data(), &len) == 0;
  }

 private:
  CommModule *module_;
  CommChannel *channel_ = nullptr;
  bool connected_ = false;
};

TEST(CommSend, BytesTheSocketDoesNotTakeAreWrittenLaterInOrderWithoutBlockingTheLoop) {
  TestServer server;
  constexpr int kReply = 8 << 20;  // far more than the socket buffers hold
  std::string reply(kReply, '\0');
  for (int i = 0; i < kReply; ++i)
    reply[static_cast<size_t>(i)] = static_cast<char>(i * 7 + i / 251);
  std::vector<int> flags_after_send;
  std::vector<int> send_results;
  CommChannel *server_side = nullptr;
  server.on_record = [&](int, CommChannel *cc) {
    if (!send_results.empty()) return;
    server_side = cc;
    send_results.push_back(comm_send(cc, reply.data(), kReply / 2));
    send_results.push_back(comm_send(cc, reply.data() + kReply / 2, kReply / 2));
    int flags = 0;
    comm_get_flags(cc, &flags);
    flags_after_send.push_back(flags);
  };
  SendClient client(server);
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.Write(1));
  ASSERT_TRUE(server.WaitUntil([&] { return server.Records().size() == 1; }));
  // The client has not read anything: most of the reply waits in the layer,
  // and the loop still reads the next record.
  ASSERT_TRUE(client.Write(1));
  ASSERT_TRUE(server.WaitUntil([&] { return server.Records().size() == 2; }));
  {
    std::lock_guard<std::mutex> lock(server.mutex);
    EXPECT_EQ(send_results, (std::vector<int>{0, 0}));
    ASSERT_EQ(flags_after_send.size(), 1u);
    EXPECT_NE(flags_after_send[0] & COMM_FLAG_SEND_PENDING, 0);
  }
  std::string received = ReadAtLeast(client.channel(), reply.size());
  EXPECT_TRUE(received == reply) << received.size() << " of " << reply.size() << " bytes";
  // Everything left the layer.
  int flags = -1;
  server.RunOnLoop([&] { comm_get_flags(server_side, &flags); });
  EXPECT_EQ(flags & COMM_FLAG_SEND_PENDING, 0);
}

TEST(CommSend, KeptBytesLeaveWhileReadsArePausedAndNoCallbackComesForThem) {
  TestServer server;
  const std::string reply(4 << 20, 'r');
  bool sent = false;
  server.on_record = [&](int, CommChannel *cc) {
    if (sent) return;
    sent = true;
    EXPECT_EQ(comm_send(cc, reply.data(), static_cast<int>(reply.size())), 0);
    comm_group_pause_reads(server.group(), 1);
  };
  SendClient client(server);
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.Write(3));
  EXPECT_EQ(ReadAtLeast(client.channel(), reply.size()).size(), reply.size());
  // Reads stay paused: the next record waits although the socket was busy.
  ASSERT_TRUE(client.Write(3));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(server.Records().size(), 1u);
  server.RunOnLoop([&] { comm_group_pause_reads(server.group(), 0); });
  EXPECT_TRUE(server.WaitUntil([&] { return server.Records().size() == 2; }));
}

// comm_flush is done once the socket took the bytes; comm_wait_received
// only once the peer's host acknowledged them. A peer that reads nothing
// closes its window: what is written after that stays unacknowledged.
TEST(CommSend, WaitReceivedEndsOnlyOnceThePeerHasEveryByte) {
  TestServer server;
  CommChannel *server_side = nullptr;
  server.on_record = [&](int, CommChannel *cc) { server_side = cc; };
  SendClient client(server);
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.Write(4));
  ASSERT_TRUE(server.WaitUntil([&] { return server.Records().size() == 1; }));
  const std::string chunk(16 * 1024, 'w');
  size_t sent = 0;
  bool flushed_but_not_received = false;
  server.RunOnLoop([&] {
    // Bounded: the socket's buffers fill after a few megabytes at most.
    for (int i = 0; i < 1024 && !flushed_but_not_received; ++i) {
      if (comm_send(server_side, chunk.data(), static_cast<int>(chunk.size())) != 0) break;
      sent += chunk.size();
      if (comm_flush(server_side, 50) != 0) break;
      flushed_but_not_received = comm_wait_received(server_side, 20) == ETIMEDOUT;
    }
  });
  EXPECT_TRUE(flushed_but_not_received) << sent << " bytes sent";
  EXPECT_EQ(ReadAtLeast(client.channel(), sent).size(), sent);
  int received = -1;
  server.RunOnLoop([&] { received = comm_wait_received(server_side, 5000); });
  EXPECT_EQ(received, 0);
  EXPECT_EQ(comm_wait_received(nullptr, 0), EINVAL);
}

TEST(CommSend, ArgumentsAreChecked) {
  EXPECT_EQ(comm_send(nullptr, "x", 1), EINVAL);
  EXPECT_EQ(comm_flush(nullptr, 0), EINVAL);
  TestServer server;
  std::vector<int> results;
  server.on_record = [&](int, CommChannel *cc) {
    results.push_back(comm_send(cc, nullptr, 1));
    results.push_back(comm_send(cc, "x", -1));
    results.push_back(comm_send(server.listener(), "x", 1));
    results.push_back(comm_send(cc, "ACK1", 4));
  };
  SendClient client(server);
  ASSERT_TRUE(client.connected());
  ASSERT_TRUE(client.Write(2));
  ASSERT_TRUE(server.WaitUntil([&] { return server.Records().size() == 1; }));
  {
    std::lock_guard<std::mutex> lock(server.mutex);
    EXPECT_EQ(results, (std::vector<int>{EINVAL, EINVAL, EINVAL, 0}));
  }
  char got[4] = {};
  int want = 4;
  auto deadline = std::chrono::steady_clock::now() + orvik_test::scaled(std::chrono::seconds(10));
  int rc = 11;
  while ((rc = comm_read(client.channel(), got, &want)) == 11 &&
         std::chrono::steady_clock::now() < deadline) {
    want = 4;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(std::string(got, static_cast<size_t>(want)),
            std::string("ACK1").substr(0, static_cast<size_t>(want)));
}

}  // namespace

// liborvikclient on its own, against the real daemon over real TLS on
// 127.0.0.1: options, a daemon unreachable at first, a daemon without
// acknowledgements, a full buffer, a reset connection, failover, and many
// threads sending at once.
#include <orvik/client.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "daemon/daemon_harness.h"
#include "modules/failing_allocations.h"
#include "tcp_proxy.h"

namespace {

using namespace orvikevtd_test;
using Options = std::vector<std::pair<std::string, std::string>>;

// A client made from name/value options; freed (without waiting) at the end.
class Library {
 public:
  explicit Library(const Options &options) {
    OrvikClientOptions *made = nullptr;
    EXPECT_EQ(orvik_client_options_new(&made), 0);
    for (const auto &[name, value] : options) {
      EXPECT_EQ(orvik_client_options_set(made, name.c_str(), value.c_str()), 0) << name;
    }
    status_ = orvik_client_new(&client_, made);
    orvik_client_options_free(&made);
  }
  ~Library() {
    if (client_ != nullptr) orvik_client_free(&client_, 0, nullptr);
  }
  Library(const Library &) = delete;
  Library &operator=(const Library &) = delete;

  int status() const { return status_; }
  OrvikClient *get() { return client_; }
  OrvikClient **address() { return &client_; }
  OrvikClientCounters counters() {
    OrvikClientCounters counters{};
    EXPECT_EQ(orvik_client_counters(client_, &counters), 0);
    return counters;
  }
  int flush(std::chrono::milliseconds limit = 30s) {
    return orvik_client_flush(client_, static_cast<int>(orvik_test::scaled(limit).count()));
  }

 private:
  OrvikClient *client_ = nullptr;
  int status_ = -1;
};

std::string address_of(int port) {
  return "127.0.0.1:" + std::to_string(port);
}

// Options of a client of the daemons listed, verifying them against the
// test CA, with short back-off so that the tests do not wait long.
Options options_for(const std::string &daemons, const Options &extra = {}) {
  Options options = {{"daemons", daemons},
                     {"ca_file", cert("ca.pem")},
                     {"backoff_min_ms", "20"},
                     {"backoff_max_ms", "200"}};
  options.insert(options.end(), extra.begin(), extra.end());
  return options;
}

EventData event(const std::string &object, uint64_t number) {
  EventData built{};
  std::snprintf(built.hostname, sizeof built.hostname, "library");
  std::snprintf(built.object, sizeof built.object, "%s", object.c_str());
  built.timestamp = number;
  built.flags = 0x01020304;
  built.datalen = 4;
  std::memcpy(built.data, "data", 4);
  return built;
}

// Sends events object/from .. object/(from + count - 1).
void send_events(Library &library, const std::string &object, uint64_t from, uint64_t count) {
  for (uint64_t n = from; n < from + count; ++n) {
    EventData built = event(object, n);
    ASSERT_EQ(orvik_client_send(library.get(), &built, orvik_test::scaled_ms(30000)), 0) << n;
  }
}

// How often the recorder saw each number of object.
std::map<uint64_t, int> recorded(const Daemon &daemon, const std::string &object) {
  std::map<uint64_t, int> seen;
  std::string prefix = "A library " + object + " ";
  for (const std::string &line : lines_of(read_file(daemon.records_file()))) {
    if (line.rfind(prefix, 0) == 0) ++seen[std::stoull(line.substr(prefix.size()))];
  }
  return seen;
}

// Success when the recorder saw object/from .. object/(from + count - 1),
// each exactly once, and nothing else of object; else what was wrong.
::testing::AssertionResult recorded_exactly_once(const Daemon &daemon, const std::string &object,
                                                 uint64_t from, uint64_t count) {
  std::map<uint64_t, int> seen = recorded(daemon, object);
  uint64_t twice = 0, strangers = 0;
  for (const auto &[number, times] : seen) {
    if (number < from || number >= from + count) ++strangers;
    if (times > 1) ++twice;
  }
  uint64_t missing = 0;
  for (uint64_t n = from; n < from + count; ++n) missing += seen.count(n) == 0 ? 1 : 0;
  if (missing == 0 && twice == 0 && strangers == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << object << ": " << missing << " missing, " << twice << " recorded more than once, "
         << strangers << " never sent";
}

// Starts a daemon with the recorder module; records reach it within 20 ms.
bool start_daemon(Daemon &daemon) {
  return daemon.start_with_recorder("QUEUEFLUSH 0.02\n");
}

// A failed allocation, wherever it comes, is reported as 12 and leaves
// nothing behind (LeakSanitizer watches the sanitizer runs): each call is
// repeated with one more allocation allowed until it succeeds.
TEST(ClientLibrary, AFailedAllocationIsReportedAsTwelveAndLeaksNothing) {
  constexpr long kMostAllocations = 2000;
  OrvikClientOptions *options = nullptr;
  int rc = 0;
  {
    orvik_test::FailingAllocations failing;
    rc = orvik_client_options_new(&options);
  }
  ASSERT_EQ(rc, ENOMEM);
  ASSERT_EQ(options, nullptr);
  ASSERT_EQ(orvik_client_options_new(&options), 0);
  // A daemon that is not there: the client's thread only tries to connect.
  for (const auto &[name, value] : options_for("127.0.0.1:1,[::1]:1", {{"buffer_records", "64"}})) {
    for (long allowed = 0;; ++allowed) {
      {
        orvik_test::FailingAllocations failing(allowed);
        rc = orvik_client_options_set(options, name.c_str(), value.c_str());
      }
      if (rc == 0) break;
      ASSERT_EQ(rc, ENOMEM) << name << " with " << allowed << " allocations";
      ASSERT_LT(allowed, kMostAllocations) << name;
    }
  }
  for (long allowed = 0;; ++allowed) {
    OrvikClient *client = nullptr;
    {
      orvik_test::FailingAllocations failing(allowed);
      rc = orvik_client_new(&client, options);
    }
    if (rc == 0) {
      EventData built = event("memory", 1);
      EXPECT_EQ(orvik_client_send(client, &built, 0), 0);
      orvik_client_free(&client, 0, nullptr);
      break;
    }
    ASSERT_EQ(rc, ENOMEM) << "with " << allowed << " allocations";
    ASSERT_EQ(client, nullptr);
    ASSERT_LT(allowed, kMostAllocations);
  }
  orvik_client_options_free(&options);
}

TEST(ClientLibrary, OptionsAreChecked) {
  OrvikClientOptions *options = nullptr;
  ASSERT_EQ(orvik_client_options_new(&options), 0);
  for (const auto &[name, value] : Options{{"daemons", ""},
                                           {"daemons", "host"},
                                           {"daemons", "host:0"},
                                           {"daemons", "host:65536"},
                                           {"daemons", "a:1,"},
                                           {"daemons", "::1:5011"},
                                           {"daemons", "[::1]5011"},
                                           {"buffer_records", "0"},
                                           {"buffer_records", "12x"},
                                           {"delivery", "maybe"},
                                           {"insecure", "yes"},
                                           {"backoff_min_ms", "-1"},
                                           {"no_such_option", "1"}}) {
    EXPECT_EQ(orvik_client_options_set(options, name.c_str(), value.c_str()), EINVAL)
        << name << "=" << value;
  }
  OrvikClient *client = nullptr;
  // No daemons yet.
  EXPECT_EQ(orvik_client_new(&client, options), EINVAL);
  ASSERT_EQ(orvik_client_options_set(options, "daemons", "a:1,[::1]:5011,b.example:7"), 0);
  // Neither a CA nor insecure, then both.
  EXPECT_EQ(orvik_client_new(&client, options), EINVAL);
  ASSERT_EQ(orvik_client_options_set(options, "insecure", "1"), 0);
  ASSERT_EQ(orvik_client_options_set(options, "ca_file", cert("ca.pem").c_str()), 0);
  EXPECT_EQ(orvik_client_new(&client, options), EINVAL);
  ASSERT_EQ(orvik_client_options_set(options, "insecure", "0"), 0);
  ASSERT_EQ(orvik_client_options_set(options, "certificate", cert("client.pem").c_str()), 0);
  EXPECT_EQ(orvik_client_new(&client, options), EINVAL);  // certificate without key
  ASSERT_EQ(orvik_client_options_set(options, "key", cert("client.key").c_str()), 0);
  ASSERT_EQ(orvik_client_options_set(options, "ca_file", "/nonexistent/ca.pem"), 0);
  EXPECT_EQ(orvik_client_new(&client, options), ENOENT);
  EXPECT_EQ(client, nullptr);
  EXPECT_EQ(orvik_client_send(nullptr, nullptr, 0), EINVAL);
  EXPECT_EQ(orvik_client_flush(nullptr, 0), EINVAL);
  EXPECT_EQ(orvik_client_free(&client, 0, nullptr), EINVAL);
  EXPECT_EQ(orvik_client_options_free(&options), 0);
  EXPECT_EQ(options, nullptr);
  EXPECT_EQ(orvik_client_options_free(&options), EINVAL);
}

TEST(ClientLibrary, FreeSaysWhatStayedUnacknowledged) {
  Library library(options_for(address_of(quiet_port())));
  ASSERT_EQ(library.status(), 0);
  send_events(library, "lost", 1, 10);
  uint64_t left = 0;
  EXPECT_EQ(orvik_client_free(library.address(), 100, &left), ETIMEDOUT);
  EXPECT_EQ(left, 10u);
  EXPECT_EQ(library.get(), nullptr);
}

TEST(ClientLibrary, DaemonUnreachableAtFirstGetsEverythingOnceItListens) {
  Daemon daemon;
  daemon.set_port(quiet_port());
  Library library(options_for(address_of(daemon.port())));
  ASSERT_EQ(library.status(), 0);
  send_events(library, "late", 1, 50);
  EXPECT_EQ(orvik_client_flush(library.get(), 200), ETIMEDOUT);
  EXPECT_TRUE(wait_for([&] { return library.counters().last_error == ECONNREFUSED; }));
  ASSERT_TRUE(start_daemon(daemon));
  EXPECT_EQ(library.flush(), 0);
  OrvikClientCounters counters = library.counters();
  EXPECT_EQ(counters.sent, 50u);
  EXPECT_EQ(counters.acknowledged, 50u);
  EXPECT_EQ(counters.reconnects, 0u);
  EXPECT_EQ(counters.acknowledging, 1);
  EXPECT_TRUE(recorded_exactly_once(daemon, "late", 1, 50));
}

// A server that takes records but never selects the protocol, as a daemon
// of an older version.
class LegacySink {
 public:
  LegacySink() : dir_("orvik_legacy_sink") {
    pid_ = fork();
    if (pid_ == 0) {
      execlp("python3", "python3", LEGACY_SINK, cert("server.pem").c_str(),
             cert("server.key").c_str(), dir_.file("port").c_str(), dir_.file("count").c_str(),
             static_cast<char *>(nullptr));
      _exit(127);
    }
    wait_for([this] { return !read_file(dir_.file("port")).empty(); });
  }
  ~LegacySink() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  int port() const { return std::atoi(read_file(dir_.file("port")).c_str()); }
  long received() const { return std::atol(read_file(dir_.file("count")).c_str()); }

 private:
  TempDir dir_;
  pid_t pid_ = 0;
};

TEST(ClientLibrary, DaemonWithoutTheProtocolIsRefusedUnlessFireAndForgetIsAllowed) {
  LegacySink sink;
  ASSERT_GT(sink.port(), 0);
  {
    Library acknowledged(options_for(address_of(sink.port())));
    ASSERT_EQ(acknowledged.status(), 0);
    send_events(acknowledged, "refused", 1, 5);
    ASSERT_TRUE(wait_for([&] { return acknowledged.counters().last_error == ENOPROTOOPT; }));
    EXPECT_EQ(orvik_client_flush(acknowledged.get(), 100), ENOPROTOOPT);
    EXPECT_EQ(acknowledged.counters().written, 0u);
  }
  EXPECT_EQ(sink.received(), 0);
  Library allowed(options_for(address_of(sink.port()), {{"delivery", "fire-and-forget-allowed"}}));
  ASSERT_EQ(allowed.status(), 0);
  send_events(allowed, "legacy", 1, 100);
  EXPECT_EQ(allowed.flush(), 0);
  OrvikClientCounters counters = allowed.counters();
  EXPECT_EQ(counters.written, 100u);
  EXPECT_EQ(counters.acknowledged, 0u);
  // Exactly the records, with no hello in front of them.
  EXPECT_TRUE(wait_for([&] { return sink.received() == 100 * 408; })) << sink.received();
}

TEST(ClientLibrary, FullBufferWaitsForRoomThenTimesOut) {
  Daemon daemon;
  daemon.set_port(quiet_port());
  Library library(options_for(address_of(daemon.port()), {{"buffer_records", "4"}}));
  ASSERT_EQ(library.status(), 0);
  send_events(library, "full", 1, 4);
  EventData fifth = event("full", 5);
  auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(orvik_client_send(library.get(), &fifth, 150), EAGAIN);
  EXPECT_GE(std::chrono::steady_clock::now() - before, 150ms);
  EXPECT_EQ(orvik_client_send(library.get(), &fifth, 0), EAGAIN);
  EXPECT_EQ(library.counters().sent, 4u);
  ASSERT_TRUE(start_daemon(daemon));
  // Room comes as the daemon acknowledges.
  send_events(library, "full", 5, 40);
  EXPECT_EQ(library.flush(), 0);
  EXPECT_TRUE(recorded_exactly_once(daemon, "full", 1, 44));
}

TEST(ClientLibrary, ResendsFromTheFirstUnacknowledgedRecordAfterAResetConnection) {
  Daemon daemon;
  ASSERT_TRUE(start_daemon(daemon));
  clienttest::TcpProxy proxy(daemon.port());
  Library library(options_for(address_of(proxy.port())));
  ASSERT_EQ(library.status(), 0);
  send_events(library, "reset", 1, 300);
  ASSERT_EQ(library.flush(), 0);
  // Acknowledgements are held back: the next records are written and
  // stored, but the client cannot know.
  proxy.HoldReplies(true);
  send_events(library, "reset", 301, 300);
  ASSERT_TRUE(wait_for([&] { return library.counters().written == 600; }));
  ASSERT_TRUE(wait_for([&] { return recorded(daemon, "reset").size() == 600; }));
  EXPECT_EQ(library.counters().acknowledged, 300u);
  proxy.CutAll();
  proxy.HoldReplies(false);
  EXPECT_EQ(library.flush(), 0);
  OrvikClientCounters counters = library.counters();
  EXPECT_EQ(counters.acknowledged, 600u);
  EXPECT_EQ(counters.reconnects, 1u);
  EXPECT_GE(counters.resent, 1u);
  EXPECT_LE(counters.resent, 300u);
  EXPECT_EQ(proxy.connections(), 2);
  // The daemon dropped what it already had.
  EXPECT_TRUE(recorded_exactly_once(daemon, "reset", 1, 600));
}

TEST(ClientLibrary, OrderlyRestartOfTheDaemonStoresEveryRecordOnce) {
  Daemon daemon;
  daemon.set_port(quiet_port());
  const std::string config = "QUEUEFLUSH 0.02\nSHUTDOWNDRAIN 10\n";
  ASSERT_TRUE(daemon.start_with_recorder(config));
  Library library(options_for(address_of(daemon.port())));
  ASSERT_EQ(library.status(), 0);
  std::thread sender([&] {
    for (uint64_t n = 1; n <= 4000; ++n) {
      EventData built = event("restart", n);
      ASSERT_EQ(orvik_client_send(library.get(), &built, orvik_test::scaled_ms(30000)), 0);
      // A steady stream, so that the stop comes in the middle of it.
      if (n % 100 == 0) std::this_thread::sleep_for(2ms);
    }
  });
  ASSERT_TRUE(wait_for([&] { return library.counters().acknowledged >= 1000; }));
  daemon.signal(SIGTERM);
  EXPECT_EQ(daemon.wait_exit(), 0);
  ASSERT_TRUE(daemon.start_with_recorder(config));
  sender.join();
  EXPECT_EQ(library.flush(), 0);
  OrvikClientCounters counters = library.counters();
  EXPECT_EQ(counters.acknowledged, 4000u);
  EXPECT_GE(counters.reconnects, 1u);
  // What the first daemon stored it acknowledged before it ended: nothing
  // was stored twice.
  EXPECT_TRUE(recorded_exactly_once(daemon, "restart", 1, 4000));
}

// The sender is frozen (SIGSTOP) while the daemon stops in order and ends
// with its records unread: on waking up its first write fails. The final
// position the daemon sent before it ended is still to be read, and must be:
// otherwise the sender resends what the daemon stored.
TEST(ClientLibrary, ASenderFrozenThroughTheOrderlyStopStillLearnsTheFinalPosition) {
  constexpr uint64_t kRecords = 20000;
  Daemon daemon;
  daemon.set_port(quiet_port());
  // A slow module and a small queue pool: the sender always has records
  // waiting to be written, and the daemon ends with some of them unread.
  ASSERT_TRUE(daemon.start_with_recorder(
      "QUEUEFLUSH 0.02\nSHUTDOWNDRAIN 20\nMAXQUEUES 2\nQUEUESIZE 50\n", ",500"));
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t sender = fork();
  if (sender == 0) {
    Library library(
        options_for(address_of(daemon.port()), {{"buffer_records", std::to_string(kRecords)}}));
    for (uint64_t n = 1; n <= kRecords; ++n) {
      EventData built = event("frozen", n);
      if (orvik_client_send(library.get(), &built, 0) != 0) _exit(2);
    }
    (void)!write(ready[1], "r", 1);
    _exit(library.flush(120s) == 0 ? 0 : 3);
  }
  ASSERT_GT(sender, 0);
  close(ready[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  ASSERT_TRUE(wait_for([&] { return recorded(daemon, "frozen").size() >= 200; }));
  kill(sender, SIGSTOP);
  int status = 0;
  ASSERT_EQ(waitpid(sender, &status, WUNTRACED), sender);
  ASSERT_TRUE(WIFSTOPPED(status));
  daemon.signal(SIGTERM);
  EXPECT_EQ(daemon.wait_exit(30s), 0);
  kill(sender, SIGCONT);
  ASSERT_TRUE(daemon.start_with_recorder("QUEUEFLUSH 0.02\n"));
  ASSERT_EQ(waitpid(sender, &status, 0), sender);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(recorded_exactly_once(daemon, "frozen", 1, kRecords));
}

TEST(ClientLibrary, DaemonKilledMidStreamGetsEveryRecordAgainAfterItsRestart) {
  Daemon daemon;
  daemon.set_port(quiet_port());
  const std::string config = "QUEUEFLUSH 0.02\n";
  ASSERT_TRUE(daemon.start_with_recorder(config));
  Library library(options_for(address_of(daemon.port())));
  ASSERT_EQ(library.status(), 0);
  send_events(library, "killed", 1, 2000);
  ASSERT_TRUE(wait_for([&] { return library.counters().acknowledged >= 1000; }));
  daemon.signal(SIGKILL);
  daemon.wait_exit();
  uint64_t acknowledged_before = library.counters().acknowledged;
  ASSERT_TRUE(daemon.start_with_recorder(config));
  send_events(library, "killed", 2001, 1000);
  EXPECT_EQ(library.flush(), 0);
  EXPECT_EQ(library.counters().acknowledged, 3000u);
  // Every record arrived; only records the first daemon had not
  // acknowledged may have arrived twice.
  std::map<uint64_t, int> seen = recorded(daemon, "killed");
  EXPECT_EQ(seen.size(), 3000u);
  for (const auto &[number, times] : seen) {
    EXPECT_TRUE(times == 1 || (times == 2 && number > acknowledged_before))
        << number << " " << times;
  }
}

TEST(ClientLibrary, FailsOverToTheNextDaemonOfTheList) {
  Daemon second;
  ASSERT_TRUE(start_daemon(second));
  int first_port = quiet_port();  // nothing listens there
  Library library(options_for(address_of(first_port) + "," + address_of(second.port())));
  ASSERT_EQ(library.status(), 0);
  send_events(library, "failover", 1, 100);
  EXPECT_EQ(library.flush(), 0);
  EXPECT_TRUE(recorded_exactly_once(second, "failover", 1, 100));
  OrvikClientCounters counters = library.counters();
  EXPECT_EQ(counters.last_error, 0);
  EXPECT_GE(counters.failed_attempts, 1u);
  EXPECT_EQ(counters.reconnects, 0u);
}

TEST(ClientLibrary, ManyThreadsSendThroughOneClient) {
  Daemon daemon;
  ASSERT_TRUE(start_daemon(daemon));
  Library library(options_for(address_of(daemon.port()), {{"buffer_records", "256"}}));
  ASSERT_EQ(library.status(), 0);
  constexpr uint64_t kPerThread = 3000;
  std::vector<std::thread> senders;
  for (uint64_t t = 0; t < 4; ++t) {
    senders.emplace_back(
        [&, t] { send_events(library, "threads", 1 + t * kPerThread, kPerThread); });
  }
  for (std::thread &sender : senders) sender.join();
  EXPECT_EQ(library.flush(), 0);
  EXPECT_EQ(library.counters().acknowledged, 4 * kPerThread);
  EXPECT_TRUE(
      wait_for([&] { return recorded_exactly_once(daemon, "threads", 1, 4 * kPerThread); }));
}

// ---- the tools on the library ----

int exit_status_of(const std::string &command) {
  int result = run(command);
  return WIFEXITED(result) ? WEXITSTATUS(result) : -1;
}

TEST(ClientTools, SendSucceedsOnlyWhenAcknowledgedOrFireAndForgetIsAllowed) {
  LegacySink sink;
  ASSERT_GT(sink.port(), 0);
  TempDir dir("orvik_client_tools");
  std::string send = orvik_test::target_command(ORVIKEVT_SEND) + " -c " + cert("ca.pem") +
                     " -t 20 -d 127.0.0.1:" + std::to_string(sink.port()) + " -s h -o o ";
  std::string quiet = " 2>" + dir.file("err");
  EXPECT_EQ(exit_status_of(send + "refused" + quiet), 76);
  EXPECT_NE(read_file(dir.file("err")).find("orvik-ack/1"), std::string::npos);
  EXPECT_EQ(sink.received(), 0);
  EXPECT_EQ(exit_status_of(send + "-f -n 3 >/dev/null" + quiet), 0) << read_file(dir.file("err"));
  EXPECT_TRUE(wait_for([&] { return sink.received() == 3 * 408; }));

  // A daemon that acknowledges: the second of the list.
  Daemon daemon;
  ASSERT_TRUE(start_daemon(daemon));
  std::string list = address_of(quiet_port()) + "," + address_of(daemon.port());
  EXPECT_EQ(exit_status_of(orvik_test::target_command(ORVIKEVT_SEND) + " -c " + cert("ca.pem") +
                           " -d " + list + " -s library -o tool 7" + quiet),
            0)
      << read_file(dir.file("err"));
  // Acknowledged means stored: no wait needed.
  EXPECT_EQ(recorded(daemon, "tool").size(), 1u);
  // Nobody anywhere: no connection.
  EXPECT_EQ(exit_status_of(orvik_test::target_command(ORVIKEVT_SEND) + " -c " + cert("ca.pem") +
                           " -d " + address_of(quiet_port()) + " x" + quiet),
            69);
}

TEST(ClientTools, BenchReportsAcknowledgedRateAndLatency) {
  Daemon daemon;
  std::string counts = daemon.file("count.txt");
  ASSERT_TRUE(daemon.start(daemon.standard_config(
      "QUEUEFLUSH 0.02\nMODULE " + std::string(COUNT_MODULE) + " " + counts + "\n")));
  ASSERT_TRUE(wait_for([&] { return !read_file(counts).empty(); }));
  std::string out = daemon.file("bench.out");
  ASSERT_EQ(exit_status_of(orvik_test::target_command(ORVIKEVT_BENCH) + " -c " + cert("ca.pem") +
                           " -p " + std::to_string(daemon.port()) + " -a -j 2 -n 2000 -w " +
                           counts + " >" + out + " 2>&1"),
            0)
      << read_file(out);
  std::smatch match;
  std::string text = read_file(out);
  ASSERT_TRUE(std::regex_search(
      text, match,
      std::regex(R"(ack_rps=(\d+) ack_p50_ms=([\d.]+) ack_p99_ms=([\d.]+) ack_samples=4000 )"
                 R"(counted=4000 sequence_errors=0 )")))
      << text;
  EXPECT_GT(std::stod(match[1]), 0);
  EXPECT_LE(std::stod(match[2]), std::stod(match[3]));
}

}  // namespace

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new Certificates);
  return RUN_ALL_TESTS();
}

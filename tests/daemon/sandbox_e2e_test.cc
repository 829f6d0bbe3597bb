// The daemon as the packaged unit runs it: under the unit's system call
// filter (the list systemd computes from its SystemCallFilter= lines, and
// its MemoryDenyWriteExecute= and RestrictAddressFamilies=, applied by
// syscall_filter_launcher before the daemon starts), with every
// shipped module loaded, the NATS one publishing to a real nats-server, and
// a notification socket standing in for systemd's (Type=notify, WatchdogSec).
// A call the daemon or a module makes outside the list kills it with SIGSYS
// here, as it would in production.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "daemon_harness.h"
#include "nats_harness.h"
#include "test_files.h"

namespace {

using namespace std::chrono_literals;
using orvikevt_test::NatsServers;
using orvikevt_test::RecordsOf;
using orvikevt_test::StoredMessage;
using orvikevt_test::StreamClient;
using orvikevtd_test::Client;
using orvikevtd_test::count_of;
using orvikevtd_test::Daemon;
using orvikevtd_test::lines_of;
using orvikevtd_test::read_file;
using orvikevtd_test::run;
using orvikevtd_test::wait_for;

// The allow list of the built unit, written to path; false (with the reason
// in why) when it cannot be computed, skipped when systemd-analyze is
// missing.
bool write_unit_syscall_list(const std::string &path, bool *skipped) {
  int status = run(std::string(UNIT_SYSCALL_LIST) + " " + SERVICE_UNIT + " >" + path);
  *skipped = WIFEXITED(status) && WEXITSTATUS(status) == 77;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The launcher's options for the unit's other seccomp settings:
// MemoryDenyWriteExecute= and RestrictAddressFamilies=.
std::vector<std::string> unit_seccomp_options() {
  static constexpr std::pair<const char *, int> kFamilies[] = {{"AF_UNIX", AF_UNIX},
                                                               {"AF_INET", AF_INET},
                                                               {"AF_INET6", AF_INET6},
                                                               {"AF_NETLINK", AF_NETLINK}};
  std::vector<std::string> options;
  std::istringstream unit(read_file(SERVICE_UNIT));
  for (std::string line; std::getline(unit, line);) {
    if (line == "MemoryDenyWriteExecute=yes") options.push_back("-w");
    const std::string families_key = "RestrictAddressFamilies=";
    if (line.rfind(families_key, 0) != 0) continue;
    std::istringstream names(line.substr(families_key.size()));
    std::string numbers;
    for (std::string name; names >> name;) {
      for (const auto &[known, number] : kFamilies) {
        if (name != known) continue;
        if (!numbers.empty()) numbers += ',';
        numbers += std::to_string(number);
      }
    }
    options.insert(options.end(), {"-a", numbers});
  }
  return options;
}

// A datagram socket where the daemon sends its notifications, as systemd's
// NOTIFY_SOCKET.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string &path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
  }
  ~NotifySocket() {
    if (fd_ >= 0) close(fd_);
  }
  NotifySocket(const NotifySocket &) = delete;
  NotifySocket &operator=(const NotifySocket &) = delete;

  bool bound() const { return bound_; }
  const std::string &path() const { return path_; }
  // Every message received so far, in order.
  const std::vector<std::string> &messages() {
    char buffer[4096];
    for (ssize_t got; (got = recv(fd_, buffer, sizeof(buffer), 0)) >= 0;) {
      messages_.emplace_back(buffer, static_cast<size_t>(got));
    }
    return messages_;
  }
  size_t count(const std::string &message) {
    size_t found = 0;
    for (const std::string &received : messages()) found += received == message;
    return found;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
  std::vector<std::string> messages_;
};

int64_t sqlite_rows(const std::string &path) {
  sqlite3 *db = nullptr;
  int64_t rows = -1;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT count(*) FROM events", -1, &statement, nullptr) ==
            SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
      rows = sqlite3_column_int64(statement, 0);
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return rows;
}

std::string module_line(const char *path, const std::string &argument) {
  return std::string("MODULE ") + path + " " + argument + "\n";
}

class SandboxedDaemon : public ::testing::Test {
 protected:
  void SetUp() override {
    if (orvik_test::emulated()) {
      GTEST_SKIP() << "a system call filter is not applied through the emulator";
    }
#ifdef ORVIK_SANITIZED
    // The sanitizers' runtimes make calls of their own that the service's
    // daemon never makes (core-file limits, tracing for the leak check).
    GTEST_SKIP() << "a sanitized daemon makes the sanitizer's system calls too";
#endif
    bool skipped = false;
    list_ = daemon_.file("syscalls");
    bool listed = write_unit_syscall_list(list_, &skipped);
    if (skipped) GTEST_SKIP() << "systemd-analyze is not installed";
    ASSERT_TRUE(listed) << "no system call list from " << SERVICE_UNIT;
    std::vector<std::string> launcher = {SYSCALL_FILTER_LAUNCHER};
    for (const std::string &option : unit_seccomp_options()) launcher.push_back(option);
    launcher.push_back(list_);
    if (geteuid() == 0) {
      // The unit runs the daemon as its own unprivileged user, and so does
      // the test: as root, libraries take paths the service never takes
      // (SQLite hands a new file to its database's owner with fchown, a
      // call the filter forbids).
      std::string id = kUnprivilegedId;
      ASSERT_EQ(run("chown -R " + id + ":" + id + " " + daemon_.file("") + " " +
                    orvikevtd_test::Certificates::dir),
                0);
      launcher.insert(launcher.begin(),
                      {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"});
    }
    daemon_.set_launcher(launcher);
  }

  // User nobody, group nogroup.
  static constexpr const char *kUnprivilegedId = "65534";

  Daemon daemon_;
  std::string list_;
};

TEST_F(SandboxedDaemon, EveryShippedModuleStoresWhatClientsSendUnderTheUnitsFilter) {
  NatsServers servers(1);
  ASSERT_TRUE(servers.StartAll());
  NotifySocket notify(daemon_.file("notify"));
  ASSERT_TRUE(notify.bound());
  // Any user may send to it, as to systemd's.
  ASSERT_EQ(chmod(notify.path().c_str(), 0666), 0);
  daemon_.set_env("NOTIFY_SOCKET", notify.path());
  daemon_.set_env("WATCHDOG_USEC", "400000");
  std::ofstream(daemon_.file("nats.conf")) << "SERVERS " << servers.urls() << "\n";
  std::string config = daemon_.standard_config(
      "QUEUESIZE 50\nQUEUEFLUSH 0.05\nSHUTDOWNDRAIN 60\n" +
      module_line(EVENTLOG_MODULE, daemon_.file("events.log")) +
      module_line(COUNT_MODULE, daemon_.file("count.txt")) +
      module_line(SQLITE_MODULE, daemon_.file("events.db") + "?batch=100&flush_ms=20") +
      module_line(NATS_MODULE, daemon_.file("nats.conf")));
  // The unit's check before the start (ExecStartPre), under the same filter.
  daemon_.write_config(config);
  daemon_.spawn({"-t"});
  ASSERT_EQ(daemon_.wait_exit(30s), 0) << daemon_.err();
  ASSERT_TRUE(daemon_.start(config)) << daemon_.log() << daemon_.err();
  EXPECT_EQ(count_of(daemon_.log(), "Module loaded successfully"), 4u) << daemon_.log();
  // Ready once it serves: after the log says so.
  ASSERT_TRUE(wait_for([&] { return notify.count("READY=1") == 1; })) << daemon_.log();

  constexpr int kClients = 3, kPerClient = 400;
  std::vector<std::thread> senders;
  for (int c = 0; c < kClients; ++c) {
    senders.emplace_back([&, c] {
      Client client(daemon_.port());
      ASSERT_TRUE(client.connect());
      ASSERT_TRUE(client.send(
          orvikevtd_test::records("host" + std::to_string(c), "sandbox", 1000 * c, kPerClient)));
    });
  }
  for (std::thread &sender : senders) sender.join();
  constexpr int kTotal = kClients * kPerClient;
  ASSERT_TRUE(wait_for([&] {
    return read_file(daemon_.file("count.txt")).find("count=" + std::to_string(kTotal) + "\n") !=
           std::string::npos;
  })) << daemon_.log();
  // The main loop keeps the watchdog alive (a keep-alive every 200 ms).
  EXPECT_TRUE(wait_for([&] { return notify.count("WATCHDOG=1") >= 3; }, 10s));

  daemon_.signal(SIGTERM);
  ASSERT_EQ(daemon_.wait_exit(60s), 0) << daemon_.log() << daemon_.err();
  EXPECT_GE(notify.count("STOPPING=1"), 1u);
  EXPECT_EQ(notify.messages().front(), "READY=1");

  EXPECT_EQ(lines_of(read_file(daemon_.file("events.log"))).size(), static_cast<size_t>(kTotal));
  EXPECT_EQ(sqlite_rows(daemon_.file("events.db")), kTotal);
  StreamClient reader(servers.urls());
  std::vector<StoredMessage> messages;
  ASSERT_TRUE(reader.ReadAll("ORVIK", &messages));
  EXPECT_EQ(RecordsOf(messages).size(), static_cast<size_t>(kTotal));
  EXPECT_EQ(daemon_.log().find("rc="), std::string::npos) << daemon_.log();
}

// The filter is real: without bind, the daemon dies of SIGSYS at start-up.
TEST_F(SandboxedDaemon, ACallOutsideTheListKillsTheDaemon) {
  ASSERT_EQ(run("sed -i '/^bind$/d' " + list_), 0);
  daemon_.write_config(daemon_.standard_config());
  daemon_.spawn();
  EXPECT_EQ(daemon_.wait_exit(20s), 128 + SIGSYS) << daemon_.log();
  EXPECT_EQ(daemon_.log().find("System ready."), std::string::npos);
}

}  // namespace

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new orvikevtd_test::Certificates);
  ::testing::AddGlobalTestEnvironment(new orvikevt_test::NatsLibrary);
  return RUN_ALL_TESTS();
}

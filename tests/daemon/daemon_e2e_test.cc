// End-to-end tests: the built orvikevtd runs in the foreground (-D) with a
// configuration, log and certificates in a temporary folder, listening on a
// free port of 127.0.0.1, and real TLS clients (the comm layer's client side,
// the shipped tools, and Python's ssl module) send records to it. Handler
// modules are the shipped ones and the tests' recorder. The daemon and the
// tools run on the build's target (through its emulator on a cross build),
// the Python and openssl clients natively; every time limit is scaled (see
// test_target.h).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/auxv.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client.h"
#include "daemon_harness.h"
#include "test_files.h"
#include "test_target.h"

namespace {

using namespace std::chrono_literals;

using orvik_test::scaled;
using orvik_test::target_command;
using orvikevtd_test::cert;
using orvikevtd_test::Certificates;
using orvikevtd_test::Client;
using orvikevtd_test::count_of;
using orvikevtd_test::Daemon;
using orvikevtd_test::free_port;
using orvikevtd_test::lines_of;
using orvikevtd_test::messages_of;
using orvikevtd_test::read_file;
using orvikevtd_test::record;
using orvikevtd_test::records;
using orvikevtd_test::run;
using orvikevtd_test::wait_for;
using orvikevtd_test::whole_lines_of;

std::string module_line(const char *path, const std::string &argument) {
  return std::string("MODULE ") + path + " " + argument + "\n";
}

// Recorder lines of one tag, without the tag.
std::vector<std::string> recorded(const std::string &file, const std::string &tag) {
  std::vector<std::string> result;
  for (const std::string &line : lines_of(read_file(file))) {
    if (line.rfind(tag + " ", 0) == 0 && line.find(" init ") == std::string::npos) {
      result.push_back(line.substr(tag.size() + 1));
    }
  }
  return result;
}

// ---- start-up ----

TEST(DaemonStartup, KeysAloneGiveTenQueuesOfTenOnPort5011) {
  Daemon daemon;
  daemon.write_config("PUBLICKEY " + cert("server.pem") + "\nPRIVATEKEY " + cert("server.key") +
                      "\n");
  daemon.spawn();
  // Without FLUSHLOG the log is written out when the daemon ends: wait until
  // it serves on 5011 (or has ended), then stop it.
  bool served = false;
  ASSERT_TRUE(wait_for([&] {
    Client client(5011);
    served = client.connect();
    return served || daemon.exited();
  }));
  if (served) {
    daemon.signal(SIGTERM);
    EXPECT_EQ(daemon.wait_exit(), 0);
  }
  std::vector<std::string> messages = daemon.messages();
  ASSERT_GE(messages.size(), 5u);
  EXPECT_EQ(messages[0], "orvikevtd - Version 0.9.6");
  EXPECT_EQ(messages[1], "Starting system...");
  // The comm layer's choice of ciphers for this CPU.
  std::string preference = messages[3];
  EXPECT_EQ(preference.rfind("Cipher preference: TLS 1.3 ", 0), 0u) << preference;
  EXPECT_EQ(messages[4], "Successfully allocated 10 event queues, of size 10.");
  if (messages.back() == "Exiting.") {
    // Someone else on this machine holds 5011; the defaults were still used.
    EXPECT_EQ(messages[6], "Failed to bind to port.");
    GTEST_SKIP() << "port 5011 is in use on this machine";
  }
  std::vector<std::string> expected = {"orvikevtd - Version 0.9.6",
                                       "Starting system...",
                                       "No handler module is loaded: events are received and "
                                       "discarded.",
                                       preference,
                                       "Successfully allocated 10 event queues, of size 10.",
                                       "Successfully spawned event handler thread.",
                                       "System ready.",
                                       "Caught signal 15",
                                       "Server shutdown."};
  EXPECT_EQ(messages, expected);
  EXPECT_EQ(daemon.err(), "Not daemonizing.\n");
}

struct StartupFailure {
  const char *name;
  std::function<std::string(Daemon &)> config;  // null: no configuration file
  std::vector<std::string> last_messages;
  int status;  // -1: any non-zero status
};

// GoogleTest prints a parameter in test listings and failure messages; the
// case's name says more than the bytes of its pointers.
void PrintTo(const StartupFailure &failure, std::ostream *out) {
  *out << failure.name;
}

class DaemonStartupFailure : public ::testing::TestWithParam<StartupFailure> {};

TEST_P(DaemonStartupFailure, LogsItsMessageAndExitsWithItsStatus) {
  const StartupFailure &failure = GetParam();
  Daemon daemon;
  if (failure.config) daemon.write_config(failure.config(daemon));
  daemon.spawn();
  int status = daemon.wait_exit();
  if (failure.status < 0) {
    EXPECT_GT(status, 0);
    EXPECT_LT(status, 128);  // ended by exit, not by a signal
  } else {
    EXPECT_EQ(status, failure.status);
  }
  // The expected lines appear in this order, the last of them last; "conf"
  // at the start of one stands for the configuration file's path, and
  // "conf/../" for its folder.
  std::vector<std::string> messages = daemon.messages();
  auto next = messages.begin();
  for (std::string line : failure.last_messages) {
    if (line.rfind("conf", 0) == 0) line.replace(0, 4, daemon.file("conf"));
    if (size_t folder = line.find("conf/../"); folder != std::string::npos)
      line.replace(folder, 8, daemon.file(""));
    next = std::find(next, messages.end(), line);
    ASSERT_NE(next, messages.end()) << line << "\n" << daemon.log();
  }
  EXPECT_EQ(next, messages.end() - 1) << daemon.log();
  // Every start-up failure also names its reason on standard error.
  if (status != 0) {
    EXPECT_NE(daemon.err().find("orvikevtd: "), std::string::npos) << daemon.err();
  }
}

std::string keys_and(Daemon &daemon, const std::string &extra) {
  return daemon.standard_config(extra);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, DaemonStartupFailure,
    ::testing::Values(
        StartupFailure{"NoConfigurationFile", nullptr, {"Failed to open configuration file."}, 2},
        StartupFailure{"NoPublicKey",
                       [](Daemon &) { return std::string("PRIVATEKEY /k.pem\n"); },
                       {"Failed to find PUBLICKEY directive."},
                       2},
        StartupFailure{"NoPrivateKey",
                       [](Daemon &) { return std::string("PUBLICKEY /c.pem\n"); },
                       {"Failed to find PRIVATEKEY directive."},
                       2},
        StartupFailure{"UnusableCertificate",
                       [](Daemon &d) {
                         return "PUBLICKEY " + d.file("absent.pem") + "\nPRIVATEKEY " +
                                d.file("absent.key") + "\n";
                       },
                       {"Failed to initialize comm layer."},
                       -1},
        StartupFailure{"RejectedTls12CipherList",
                       [](Daemon &d) { return keys_and(d, "TLSCIPHERS NO-SUCH-CIPHER\n"); },
                       {"TLS 1.2 ciphers set to NO-SUCH-CIPHER",
                        "TLS 1.2 cipher list refused by OpenSSL: NO-SUCH-CIPHER",
                        "Failed to initialize comm layer."},
                       EINVAL},
        StartupFailure{
            "RejectedTls13CipherSuites",
            [](Daemon &d) { return keys_and(d, "TLSCIPHERSUITES ECDHE-RSA-AES128-GCM-SHA256\n"); },
            {"TLS 1.3 cipher suites refused by OpenSSL: ECDHE-RSA-AES128-GCM-SHA256",
             "Failed to initialize comm layer."},
            EINVAL},
        StartupFailure{"CipherLineTooLongToReadWhole",
                       [](Daemon &d) {
                         std::string list = "ECDHE-RSA-AES128-GCM-SHA256";
                         while (list.size() < 2100) list += ":ECDHE-RSA-AES128-GCM-SHA256";
                         return keys_and(d, "TLSCIPHERS " + list + "\n");
                       },
                       {"TLSCIPHERS line is longer than 2046 characters."},
                       2},
        StartupFailure{"QueueSizeZero",
                       [](Daemon &d) { return keys_and(d, "QUEUESIZE 0\n"); },
                       {"conf:5: QUEUESIZE 0 cannot work: expected a whole number from 1 to "
                        "2147483647.",
                        "Failed to read the configuration: 1 value cannot work."},
                       2},
        StartupFailure{"QueueSizeNegative",
                       [](Daemon &d) { return keys_and(d, "QUEUESIZE -5\n"); },
                       {"conf:5: QUEUESIZE -5 cannot work: expected a whole number from 1 to "
                        "2147483647.",
                        "Failed to read the configuration: 1 value cannot work."},
                       2},
        // Refused by the allocation, not the bounds: 875 GB of queues.
        StartupFailure{"QueueSizeBeyondMemory",
                       [](Daemon &d) { return keys_and(d, "QUEUESIZE 2147483647\n"); },
                       {"Failed to allocate event queues.", "Exiting."},
                       3},
        StartupFailure{"QueueSizeThatWrapsIn32Bits",
                       [](Daemon &d) { return keys_and(d, "QUEUESIZE 4294967306\n"); },
                       {"conf:5: QUEUESIZE 4294967306 cannot work: expected a whole number from "
                        "1 to 2147483647.",
                        "Failed to read the configuration: 1 value cannot work."},
                       2},
        StartupFailure{"PortOutOfRange",
                       [](Daemon &d) {
                         d.set_port(70000);
                         return keys_and(d, "");
                       },
                       {"conf:3: EVENTPORT 70000 cannot work: expected a whole number from 1 to "
                        "65535.",
                        "Failed to read the configuration: 1 value cannot work."},
                       2},
        StartupFailure{"PortThatIsNotANumber",
                       [](Daemon &) {
                         return "PUBLICKEY " + cert("server.pem") + "\nPRIVATEKEY " +
                                cert("server.key") + "\nEVENTPORT abc\n";
                       },
                       {"conf:3: EVENTPORT abc cannot work: expected a whole number from 1 to "
                        "65535.",
                        "Failed to read the configuration: 1 value cannot work."},
                       2},
        StartupFailure{"QueueFlushThatIsNotANumber",
                       [](Daemon &d) { return keys_and(d, "QUEUEFLUSH nan\n"); },
                       {"conf:5: QUEUEFLUSH nan cannot work: expected seconds from 0 to "
                        "3.1536e+07.",
                        "Failed to read the configuration: 1 value cannot work."},
                       2},
        StartupFailure{"StatisticsTooOften",
                       [](Daemon &d) { return keys_and(d, "STATSINTERVAL 0.0000001\n"); },
                       {"conf:5: STATSINTERVAL 0.0000001 cannot work: expected 0 or seconds "
                        "from 0.1 to 3.1536e+07.",
                        "Failed to read the configuration: 1 value cannot work."},
                       2},
        StartupFailure{"RequiredModuleMissing",
                       [](Daemon &d) {
                         return keys_and(
                             d, "REQUIREMODULES yes\nMODULE " + d.file("absent.so") + "\n");
                       },
                       {"conf:6: a module is required (REQUIREMODULES yes): dlopen(): conf/../"
                        "absent.so: cannot open shared object file: No such file or directory"},
                       2}),
    [](const ::testing::TestParamInfo<StartupFailure> &param_info) {
      return param_info.param.name;
    });

// In the foreground and detached: there the failure happens in the child,
// and the parent waits for it and ends with the child's status, so that
// whoever started the daemon sees it.
TEST(DaemonStartup, PortInUseEndsTheSecondDaemonWithStatus4) {
  Daemon first;
  ASSERT_TRUE(first.start(first.standard_config()));
  for (bool detached : {false, true}) {
    SCOPED_TRACE(detached ? "detached" : "in the foreground");
    Daemon second;
    second.set_port(first.port());
    second.write_config(second.standard_config());
    if (detached) {
      second.spawn({"-f", second.file("conf"), "-l", second.file("log")}, false);
    } else {
      second.spawn();
    }
    EXPECT_EQ(second.wait_exit(), 4);
    std::vector<std::string> messages = second.messages();
    ASSERT_GE(messages.size(), 3u);
    std::string reason = "cannot listen on every address port " + std::to_string(first.port()) +
                         ": Address already in use";
    EXPECT_EQ(messages[messages.size() - 3], reason);
    EXPECT_EQ(messages[messages.size() - 2], "Failed to bind to port.");
    EXPECT_EQ(messages.back(), "Exiting.");
    // Detached, standard error is closed by then.
    if (!detached) {
      EXPECT_EQ(second.err(), "Not daemonizing.\norvikevtd: " + reason + "\n");
    }
  }
}

TEST(DaemonStartup, UnopenableLogFileEndsWithStatus1NamingIt) {
  Daemon daemon;
  daemon.write_config(daemon.standard_config());
  daemon.spawn({"-D", "-f", daemon.file("conf"), "-l", daemon.file("no/such/dir/log")}, false);
  EXPECT_EQ(daemon.wait_exit(), 1);
  EXPECT_EQ(daemon.err(),
            "Not daemonizing.\nFailed to open logfile\norvikevtd: cannot open log file " +
                daemon.file("no/such/dir/log") + ": No such file or directory\n");
}

TEST(DaemonStartup, UnreadableKeyIsNamedOnStandardError) {
  Daemon daemon;
  daemon.write_config("PUBLICKEY " + cert("server.pem") + "\nPRIVATEKEY " +
                      daemon.file("absent.key") + "\nEVENTPORT " + std::to_string(daemon.port()) +
                      "\n");
  daemon.spawn();
  EXPECT_EQ(daemon.wait_exit(), ENOENT);
  std::string reason = "cannot read the private key (PRIVATEKEY) " + daemon.file("absent.key") +
                       ": No such file or directory";
  EXPECT_NE(daemon.err().find("orvikevtd: " + reason + "\n"), std::string::npos) << daemon.err();
  EXPECT_EQ(messages_of(daemon.log()).back(), "Failed to initialize comm layer.");
}

TEST(DaemonStartup, MismatchedKeyIsNamedOnStandardError) {
  Daemon daemon;
  daemon.write_config("PUBLICKEY " + cert("server.pem") + "\nPRIVATEKEY " + cert("client.key") +
                      "\nEVENTPORT " + std::to_string(daemon.port()) + "\n");
  daemon.spawn();
  EXPECT_EQ(daemon.wait_exit(), EINVAL);
  EXPECT_NE(daemon.err().find("orvikevtd: the certificate " + cert("server.pem") + " and the key " +
                              cert("client.key") + " cannot be used"),
            std::string::npos)
      << daemon.err();
}

// The long options are the aliases of -V and -h.
TEST(DaemonStartup, VersionHelpAndUnknownOptions) {
  std::string help_text;
  for (const auto &[version_option, help_option] :
       {std::pair<std::string, std::string>{"-V", "-h"}, {"--version", "--help"}}) {
    SCOPED_TRACE(version_option);
    Daemon version;
    version.spawn({version_option}, false);
    EXPECT_EQ(version.wait_exit(), 0);
    EXPECT_EQ(version.out(), "\norvikevtd - version 0.9.6\n\n");
    Daemon help;
    help.spawn({help_option}, false);
    EXPECT_EQ(help.wait_exit(), 0);
    help_text = help.out();
    EXPECT_EQ(help_text.rfind("\norvikevtd - Information Server\n Options:\n", 0), 0u);
  }
  Daemon unknown;
  unknown.spawn({"-q"}, false);
  EXPECT_EQ(unknown.wait_exit(), 255);
  EXPECT_EQ(unknown.out(), help_text);
}

// ---- checking a configuration (-t) ----

// Runs orvikevtd -t on the daemon's configuration and log paths; its status.
int check(Daemon &daemon) {
  daemon.spawn({"-t", "-f", daemon.file("conf"), "-l", daemon.file("log")}, false);
  return daemon.wait_exit();
}

TEST(DaemonCheck, AGoodConfigurationExits0AfterLoadingAndCleaningUpItsModules) {
  Daemon daemon;
  std::string records = daemon.file("records");
  daemon.write_config(daemon.standard_config(module_line(RECORDER_A, records)));
  EXPECT_EQ(check(daemon), 0);
  std::string err = daemon.err();
  EXPECT_NE(err.find(daemon.file("conf") + ": configuration checked, a start would go on.\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("Module loaded successfully.\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("System ready."), std::string::npos) << err;
  EXPECT_EQ(recorded(records, "A"), std::vector<std::string>{"cleanup"});
  // Nothing is written to the log, and nothing listens.
  EXPECT_EQ(daemon.log(), "");
  EXPECT_FALSE(Client(daemon.port()).connect());
}

TEST(DaemonCheck, ABadFileExits2WithEveryProblemAndItsLineOnStandardError) {
  Daemon daemon;
  daemon.write_config(
      daemon.standard_config("QUEUFLUSH 1\nEVENTPORT 6000\nQUEUESIZE 0\n"
                             "MAXCONNECTIONS -1\n"));
  EXPECT_EQ(check(daemon), 2);
  std::string err = daemon.err();
  std::string conf = daemon.file("conf");
  for (const std::string &line :
       {conf + ":5: unknown directive QUEUFLUSH ignored.",
        conf + ":6: EVENTPORT given again: line 3 is used, this line is ignored.",
        conf + ":7: QUEUESIZE 0 cannot work: expected a whole number from 1 to 2147483647.",
        conf + ":8: MAXCONNECTIONS -1 cannot work: expected a whole number of at least 0."}) {
    EXPECT_NE(err.find(line + "\n"), std::string::npos) << line << "\n" << err;
  }
  EXPECT_EQ(err.find("a start would go on"), std::string::npos);
}

TEST(DaemonCheck, AnUnusableKeyAddressOrLogFileExits2NamingIt) {
  Daemon daemon;
  daemon.write_config("PUBLICKEY " + cert("server.pem") + "\nPRIVATEKEY " + cert("client.key") +
                      "\nEVENTADDRESS localhost\n");
  daemon.spawn({"-t", "-f", daemon.file("conf"), "-l", daemon.file("no/such/log")}, false);
  EXPECT_EQ(daemon.wait_exit(), 2);
  std::string err = daemon.err();
  for (const std::string &part :
       {"cannot open log file " + daemon.file("no/such/log") + ": No such file or directory",
        daemon.file("conf") + ": EVENTADDRESS localhost is not an IPv4 or IPv6 address.",
        "the certificate " + cert("server.pem") + " and the key " + cert("client.key") +
            " cannot be used"}) {
    EXPECT_NE(err.find(part), std::string::npos) << part << "\n" << err;
  }
}

// A module that fails is a problem for the check exactly when it would end a
// start: with REQUIREMODULES yes.
TEST(DaemonCheck, AFailingModuleFailsTheCheckOnlyWhenModulesAreRequired) {
  for (const char *required : {"no", "yes"}) {
    SCOPED_TRACE(required);
    Daemon daemon;
    daemon.write_config(daemon.standard_config(std::string("REQUIREMODULES ") + required +
                                               "\nMODULE " + daemon.file("absent.so") + "\n"));
    EXPECT_EQ(check(daemon), std::string(required) == "yes" ? 2 : 0);
    std::string err = daemon.err();
    EXPECT_NE(err.find("Failed to open module.\n"), std::string::npos) << err;
    EXPECT_NE(err.find("dlopen(): " + daemon.file("absent.so") + ": cannot open shared object"),
              std::string::npos)
        << err;
  }
}

// The sample configuration as shipped, with its paths moved into the test's
// folder and the build's modules: no problem and no warning.
TEST(DaemonCheck, TheShippedConfigurationPassesWithoutWarnings) {
  Daemon daemon;
  std::string sample = read_file(SAMPLE_CONFIG);
  ASSERT_FALSE(sample.empty());
  std::string module_dir = std::string(EVENTLOG_MODULE);
  module_dir.erase(module_dir.rfind('/'));
  std::string text;
  for (const std::string &line : lines_of(sample)) {
    std::string rewritten = line;
    if (rewritten.rfind("PUBLICKEY ", 0) == 0) rewritten = "PUBLICKEY " + cert("server.pem");
    if (rewritten.rfind("PRIVATEKEY ", 0) == 0) rewritten = "PRIVATEKEY " + cert("server.key");
    if (rewritten.rfind("MODULE ", 0) == 0) {
      size_t name = rewritten.rfind('/', rewritten.find(".so"));
      size_t argument = rewritten.find(' ', name);
      rewritten = "MODULE " + module_dir + rewritten.substr(name, argument - name) + " " +
                  daemon.file("events.log");
    }
    text += rewritten + "\n";
  }
  daemon.write_config(text);
  EXPECT_EQ(check(daemon), 0) << daemon.err();
  std::string err = daemon.err();
  // No warning: no line "conf:N: ...".
  EXPECT_FALSE(std::regex_search(err, std::regex("/conf:[0-9]"))) << err;
  EXPECT_NE(err.find("A module that cannot be loaded ends start-up.\n"), std::string::npos) << err;
}

// Finds the process whose command line mentions text (the detached daemon,
// whose pid only its own parent knew); 0 when none.
pid_t find_process_mentioning(const std::string &text) {
  for (int tries = 0; tries < 200 * orvik_test::time_scale(); ++tries) {
    FILE *pipe = popen(("pgrep -f -- '" + text + "'").c_str(), "r");
    char line[64] = {};
    bool found = pipe != nullptr && std::fgets(line, sizeof(line), pipe) != nullptr;
    if (pipe != nullptr) pclose(pipe);
    if (found) return static_cast<pid_t>(std::atol(line));
    std::this_thread::sleep_for(10ms);
  }
  return 0;
}

std::string link_target(const std::string &path) {
  char target[256] = {};
  ssize_t length = readlink(path.c_str(), target, sizeof(target) - 1);
  return length > 0 ? std::string(target, static_cast<size_t>(length)) : "";
}

// The detached daemon, killed at the end of a test that did not end it.
struct KillOnFailure {
  pid_t pid = 0;
  ~KillOnFailure() {
    if (pid > 0) kill(pid, SIGKILL);
  }
};

// Starts the daemon with its configuration file without -D: the parent
// ends with 0; the detached child's pid once it is ready, else 0.
pid_t start_detached(Daemon &daemon) {
  daemon.spawn({"-f", daemon.file("conf"), "-l", daemon.file("log")}, false);
  EXPECT_EQ(daemon.wait_exit(), 0);  // the parent
  if (!wait_for([&] { return daemon.log().find("System ready.\n") != std::string::npos; })) {
    return 0;
  }
  return find_process_mentioning(daemon.file("conf"));
}

TEST(DaemonStartup, DetachesWithStandardStreamsOnDevNull) {
  Daemon daemon;
  daemon.write_config(daemon.standard_config());
  pid_t child = start_detached(daemon);
  ASSERT_GT(child, 0);
  KillOnFailure guard{child};
  std::string proc = "/proc/" + std::to_string(child);
  EXPECT_EQ(link_target(proc + "/cwd"), "/");
  for (int fd = 0; fd < 3; ++fd)
    EXPECT_EQ(link_target(proc + "/fd/" + std::to_string(fd)), "/dev/null");
  kill(child, SIGTERM);
  ASSERT_TRUE(
      wait_for([&] { return daemon.log().find("Server shutdown.\n") != std::string::npos; }));
  // Entries written before the fork appear once.
  EXPECT_EQ(count_of(daemon.log(), "Starting system...\n"), 1u);
  EXPECT_EQ(daemon.out(), "");
  EXPECT_EQ(daemon.err(), "");
}

// A detached daemon runs with umask 0: the files it and the shipped modules
// make after detaching keep modes of their own. The log and the event log
// are made again after a rotation, the count file at each write, and the
// database (removed before its first batch) with that batch.
TEST(DaemonStartup, FilesMadeAfterDetachingAreNotOpenToOtherUsers) {
  Daemon daemon;
  const std::string events = daemon.file("events.log"), counts = daemon.file("count.txt"),
                    database = daemon.file("events.db");
  daemon.write_config(daemon.standard_config(
      "QUEUEFLUSH 0.02\n" + module_line(EVENTLOG_MODULE, events) +
      module_line(COUNT_MODULE, counts) + module_line(SQLITE_MODULE, database)));
  pid_t child = start_detached(daemon);
  ASSERT_GT(child, 0);
  KillOnFailure guard{child};
  ASSERT_EQ(std::rename(daemon.file("log").c_str(), daemon.file("log.1").c_str()), 0);
  ASSERT_EQ(std::rename(events.c_str(), (events + ".1").c_str()), 0);
  ASSERT_EQ(unlink(database.c_str()), 0);
  kill(child, SIGUSR1);
  Client client(daemon.port());
  ASSERT_TRUE(client.connect());
  ASSERT_TRUE(client.send(records("host", "detached", 1, 1)));
  ASSERT_TRUE(wait_for([&] { return read_file(events).find("detached") != std::string::npos; }));
  ASSERT_TRUE(wait_for([&] { return read_file(counts).find("count=1\n") != std::string::npos; }));
  // The writer opens the database with its first batch, after detaching.
  ASSERT_TRUE(wait_for([&] { return access((database + "-wal").c_str(), F_OK) == 0; }));
  for (const std::string &path :
       {daemon.file("log"), events, database, database + "-wal", counts}) {
    struct stat status = {};
    ASSERT_EQ(stat(path.c_str(), &status), 0) << path;
    EXPECT_EQ(status.st_mode & 0022, 0u) << path << " is writable by others";
    if (path != counts) {
      EXPECT_EQ(status.st_mode & 0007, 0u) << path << " is open to all";
    }
  }
  kill(child, SIGTERM);
  EXPECT_TRUE(
      wait_for([&] { return daemon.log().find("Server shutdown.\n") != std::string::npos; }));
}

TEST(DaemonStartup, StartedWithAClosedStandardDescriptorKeepsWritingItsLog) {
  Daemon daemon;
  daemon.write_config(daemon.standard_config());
  // The daemon starts with descriptor 0 closed: the first file it opens
  // would get that number, which detaching hands to /dev/null.
  int saved_stdin = dup(0);
  ASSERT_GE(saved_stdin, 0);
  close(0);
  daemon.spawn({"-f", daemon.file("conf"), "-l", daemon.file("log")}, false);
  dup2(saved_stdin, 0);
  close(saved_stdin);
  EXPECT_EQ(daemon.wait_exit(), 0);  // the parent
  KillOnFailure child;
  ASSERT_TRUE(
      wait_for([&] { return (child.pid = find_process_mentioning(daemon.file("conf"))) > 0; }));
  EXPECT_TRUE(wait_for([&] { return daemon.log().find("System ready.\n") != std::string::npos; }))
      << daemon.log();
  kill(child.pid, SIGTERM);
  ASSERT_TRUE(
      wait_for([&] { return daemon.log().find("Server shutdown.\n") != std::string::npos; }));
}

// The descriptors of the process whose link points at path.
std::vector<std::string> descriptors_of(pid_t pid, const std::string &path) {
  std::vector<std::string> found;
  std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  for (int fd = 0; fd < 1024; ++fd) {
    if (link_target(folder + "/" + std::to_string(fd)) == path) found.push_back(std::to_string(fd));
  }
  return found;
}

bool closed_on_exec(pid_t pid, const std::string &fd) {
  std::smatch match;
  std::string info = read_file("/proc/" + std::to_string(pid) + "/fdinfo/" + fd);
  if (!std::regex_search(info, match, std::regex(R"(flags:\s+([0-7]+))"))) return false;
  return (std::stoul(match[1], nullptr, 8) & 02000000u) != 0;  // O_CLOEXEC
}

TEST(DaemonStartup, TheLogAndTheEventLogAreClosedOnExec) {
  Daemon daemon;
  std::string events = daemon.file("events");
  ASSERT_TRUE(daemon.start(daemon.standard_config(module_line(EVENTLOG_MODULE, events))));
  for (const std::string &path : {daemon.file("log"), events}) {
    SCOPED_TRACE(path);
    std::vector<std::string> fds = descriptors_of(daemon.pid(), path);
    ASSERT_FALSE(fds.empty());
    for (const std::string &fd : fds) EXPECT_TRUE(closed_on_exec(daemon.pid(), fd)) << fd;
  }
}

// ---- records through modules ----

TEST(DaemonRecords, ReachTwoModulesInOrder) {
  Daemon daemon;
  std::string file = daemon.file("records");
  ASSERT_TRUE(daemon.start(daemon.standard_config(
      "QUEUEFLUSH 0.1\n" + module_line(RECORDER_A, file) + module_line(RECORDER_B, file))));
  constexpr uint64_t kPerClient = 500;
  Client first(daemon.port()), second(daemon.port());
  ASSERT_TRUE(first.connect());
  ASSERT_TRUE(second.connect());
  for (uint64_t i = 0; i < kPerClient; i += 50) {
    ASSERT_TRUE(first.send(records("one", "o", i, 50)));
    ASSERT_TRUE(second.send(records("two", "o", i, 50)));
  }
  ASSERT_TRUE(wait_for([&] { return recorded(file, "B").size() >= 2 * kPerClient; }));
  std::vector<std::string> lines = lines_of(read_file(file));
  ASSERT_EQ(lines.size(), 2 + 4 * kPerClient);
  uint64_t next_one = 0, next_two = 0;
  for (size_t i = 2; i < lines.size(); i += 2) {
    ASSERT_EQ(lines[i].substr(0, 2), "A ");
    ASSERT_EQ(lines[i + 1], "B " + lines[i].substr(2));  // the same record, A then B
    std::string body = lines[i].substr(2);
    if (body.rfind("one ", 0) == 0) {
      EXPECT_EQ(body, "one o " + std::to_string(next_one++));
    } else {
      EXPECT_EQ(body, "two o " + std::to_string(next_two++));
    }
  }
  EXPECT_EQ(next_one, kPerClient);
  EXPECT_EQ(next_two, kPerClient);
}

// A client that puts a line feed and a log line of its own into its host
// name gets one escaped entry, never a forged line.
TEST(DaemonRecords, ModuleReturning7IsLoggedWithPathHostAndObjectAndAForgedLineFeedIsEscaped) {
  Daemon daemon;
  std::string file = daemon.file("records");
  ASSERT_TRUE(daemon.start(daemon.standard_config("QUEUESIZE 1\n" + module_line(RECORDER_A, file) +
                                                  module_line(RECORDER_B, file))));
  Client client(daemon.port());
  ASSERT_TRUE(client.connect());
  ASSERT_TRUE(client.send({record("web%d-1", "fail7", 1),
                           record("h\n2026-12-08 10:00:00 Server shutdown.\x1b", "fail7", 2),
                           record("h", "o", 3)}));
  ASSERT_TRUE(wait_for([&] { return recorded(file, "B").size() >= 2; }));
  std::string expected = std::string("(") + RECORDER_A +
                         ") Module method returned rc=7 (host='web%d-1' object='fail7')";
  EXPECT_EQ(count_of(daemon.log(), expected + "\n"), 1u);
  EXPECT_EQ(recorded(file, "B")[0], "web%d-1 fail7 1");
  std::string escaped = std::string("(") + RECORDER_A +
                        ") Module method returned rc=7 (host='h\\n2026-12-08 10:00:00 Server "
                        "shutdown.\\x1b' object='fail7')";
  std::vector<std::string> messages = daemon.messages();
  EXPECT_NE(std::find(messages.begin(), messages.end(), escaped), messages.end());
  EXPECT_EQ(std::find(messages.begin(), messages.end(), "Server shutdown."), messages.end());
}

TEST(DaemonRecords, MeanTimeLineAfter10000Records) {
  Daemon daemon;
  std::string count_file = daemon.file("count.txt");
  ASSERT_TRUE(daemon.start(
      daemon.standard_config("QUEUESIZE 100\n" + module_line(COUNT_MODULE, count_file))));
  Client client(daemon.port());
  ASSERT_TRUE(client.connect());
  for (uint64_t i = 0; i < 10100; i += 100) ASSERT_TRUE(client.send(records("h", "o", i, 100)));
  std::string line = std::string("(") + COUNT_MODULE + ") Module processing avg = ";
  ASSERT_TRUE(wait_for([&] { return daemon.log().find(line) != std::string::npos; }));
  std::string log = daemon.log();
  EXPECT_EQ(count_of(log, line), 1u);
  EXPECT_TRUE(std::regex_search(log, std::regex(R"(Module processing avg = \d+ usec/event\n)")));
}

TEST(DaemonRecords, TheHundredthConnectionIsLogged) {
  Daemon daemon;
  ASSERT_TRUE(daemon.start(daemon.standard_config()));
  for (int i = 0; i < 101; ++i) {
    Client client(daemon.port());
    ASSERT_TRUE(client.connect()) << i;
    client.close();
    if (i == 98) {
      // Every connection so far is accepted once the next one is.
      EXPECT_EQ(count_of(daemon.log(), "connections so far"), 0u);
    }
  }
  ASSERT_TRUE(wait_for([&] { return count_of(daemon.log(), "connections so far") > 0; }));
  EXPECT_EQ(count_of(daemon.log(), "Handled 100 connections so far.\n"), 1u);
  EXPECT_EQ(count_of(daemon.log(), "connections so far"), 1u);
}

TEST(DaemonRecords, RecordSplitOverSeveralReadsArrivesOnceAndWhole) {
  Daemon daemon;
  std::string file = daemon.file("events.log");
  ASSERT_TRUE(
      daemon.start(daemon.standard_config("QUEUESIZE 1\n" + module_line(EVENTLOG_MODULE, file))));
  Client client(daemon.port());
  ASSERT_TRUE(client.connect());
  EventData split = record("split-host", "split", 0x0102030405060708ull, "a\"b\\c\n\x01");
  const char *bytes = reinterpret_cast<const char *>(&split);
  ASSERT_TRUE(client.write(bytes, 100));
  std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(client.write(bytes + 100, 100));
  std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(client.write(bytes + 200, 208));
  // A second record pushes the first one's queue to the module.
  ASSERT_TRUE(client.send({record("next", "o", 2)}));
  ASSERT_TRUE(wait_for([&] { return !lines_of(read_file(file)).empty(); }));
  daemon.signal(SIGTERM);
  EXPECT_EQ(daemon.wait_exit(), 0);
  std::vector<std::string> lines = lines_of(read_file(file));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(
      lines[0],
      std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d ts=72623859790382856 host=split-host )"
                 R"(object=split flags=0x01020304 rc=168496141 data="a\\"b\\\\c\\n\\x01")")))
      << lines[0];
}

TEST(DaemonRecords, PeerVanishingMidRecordLosesOnlyThatRecordQuietly) {
  Daemon daemon;
  std::string file = daemon.records_file();
  ASSERT_TRUE(daemon.start_with_recorder("QUEUESIZE 1\n"));
  {
    Client client(daemon.port());
    ASSERT_TRUE(client.connect());
    EventData half = record("lost", "o", 1);
    ASSERT_TRUE(client.write(&half, 200));
    std::this_thread::sleep_for(50ms);
    client.vanish();
  }
  Client other(daemon.port());
  ASSERT_TRUE(other.connect());
  ASSERT_TRUE(other.send(records("kept", "o", 0, 2)));
  ASSERT_TRUE(wait_for([&] { return recorded(file, "A").size() >= 1; }));
  EXPECT_EQ(recorded(file, "A"), std::vector<std::string>{"kept o 0"});
  EXPECT_EQ(count_of(daemon.log(), "openssl_comm_read"), 0u);
}

TEST(DaemonRecords, QueueFlushHandsOverAQuietSourcesRecords) {
  Daemon daemon;
  std::string file = daemon.records_file();
  ASSERT_TRUE(daemon.start_with_recorder("QUEUEFLUSH 1\n"));
  Client client(daemon.port());
  ASSERT_TRUE(client.connect());
  ASSERT_TRUE(client.send(records("quiet", "o", 0, 3)));
  ASSERT_TRUE(wait_for([&] { return recorded(file, "A").size() >= 3; }, 10s));
  std::vector<std::string> expected = {"quiet o 0", "quiet o 1", "quiet o 2"};
  EXPECT_EQ(recorded(file, "A"), expected);
}

TEST(DaemonRecords, WithoutQueueFlushAPartQueueWaitsForMore) {
  Daemon daemon;
  std::string file = daemon.records_file();
  ASSERT_TRUE(daemon.start_with_recorder(""));
  Client client(daemon.port());
  ASSERT_TRUE(client.connect());
  ASSERT_TRUE(client.send(records("r", "o", 0, 10)));
  // Ten records fill the first queue; it is handed over by the eleventh.
  ASSERT_TRUE(client.send(records("r", "o", 10, 1)));
  ASSERT_TRUE(wait_for([&] { return recorded(file, "A").size() >= 10; }));
  EXPECT_EQ(recorded(file, "A").size(), 10u);
}

TEST(DaemonRecords, PythonSslClientIsServed) {
  Daemon daemon;
  std::string file = daemon.records_file();
  ASSERT_TRUE(daemon.start_with_recorder("QUEUESIZE 5\n"));
  ASSERT_EQ(
      run(std::string("python3 ") + PYTHON_CLIENT + " " + std::to_string(daemon.port()) + " 26 py"),
      0);
  ASSERT_TRUE(wait_for([&] { return recorded(file, "A").size() >= 25; }));
  std::vector<std::string> lines = recorded(file, "A");
  ASSERT_EQ(lines.size(), 25u);
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], "python py " + std::to_string(i));
}

TEST(DaemonRecords, ClientCaAdmitsOnlyCertifiedClients) {
  Daemon daemon;
  std::string file = daemon.records_file();
  ASSERT_TRUE(daemon.start_with_recorder("QUEUESIZE 1\nCLIENTCA " + cert("ca.pem") + "\n"));
  {
    Client anonymous(daemon.port());
    if (anonymous.connect()) anonymous.send(records("anonymous", "o", 0, 2));
    Client stranger(daemon.port(), cert("stranger.pem"), cert("stranger.key"));
    if (stranger.connect()) stranger.send(records("stranger", "o", 0, 2));
  }
  Client certified(daemon.port(), true);
  ASSERT_TRUE(certified.connect());
  ASSERT_TRUE(certified.send(records("certified", "o", 0, 2)));
  ASSERT_TRUE(wait_for([&] { return recorded(file, "A").size() >= 1; }));
  std::this_thread::sleep_for(scaled(200ms));
  EXPECT_EQ(recorded(file, "A"), std::vector<std::string>{"certified o 0"});
}

// ---- bounded memory ----

TEST(DaemonBackPressure, EveryRecordArrivesWithThePoolAtItsCap) {
  Daemon daemon;
  std::string file = daemon.records_file();
  ASSERT_TRUE(daemon.start_with_recorder("MAXQUEUES 12\nQUEUEFLUSH 0.2\n", ",200"));
  constexpr uint64_t kPerClient = 3000;
  std::vector<std::thread> senders;
  // One bool each: the bits of a vector<bool> share words, so two senders
  // setting theirs would race.
  std::array<bool, 2> sent = {false, false};
  for (int c = 0; c < 2; ++c) {
    senders.emplace_back([&, c] {
      Client client(daemon.port());
      if (!client.connect()) return;
      std::string host = "sender" + std::to_string(c);
      bool ok = true;
      for (uint64_t i = 0; i < kPerClient && ok; i += 100)
        ok = client.send(records(host, "o", i, 100));
      sent[c] = ok;
    });
  }
  for (std::thread &sender : senders) sender.join();
  EXPECT_TRUE(sent[0] && sent[1]);
  ASSERT_TRUE(wait_for([&] { return recorded(file, "A").size() >= 2 * kPerClient; }, 60s));
  std::vector<uint64_t> next(2, 0);
  for (const std::string &line : recorded(file, "A")) {
    int c = line[6] - '0';
    ASSERT_EQ(line, "sender" + std::to_string(c) + " o " + std::to_string(next[c]++));
  }
  EXPECT_EQ(next[0], kPerClient);
  EXPECT_EQ(next[1], kPerClient);
  // The pool grew from 10 queues to its cap of 12 and no further.
  EXPECT_LE(count_of(daemon.log(), "Allocating a new inqueue!\n"), 2u);
  EXPECT_EQ(count_of(daemon.log(), "Enqueue failed"), 0u);
}

TEST(DaemonBackPressure, SignalsAreHonouredWhileIntakeWaits) {
  Daemon daemon;
  std::string file = daemon.records_file();
  ASSERT_TRUE(daemon.start_with_recorder("MAXQUEUES 10\n", ",100000"));
  std::thread sender([&] {
    Client client(daemon.port());
    if (!client.connect()) return;
    // Far more than ten queues of ten: the sender blocks in TCP
    // back-pressure (its writes fail once the daemon is gone).
    for (uint64_t i = 0; i < 5000; i += 100) {
      if (!client.send(records("s", "o", i, 100))) return;
    }
  });
  ASSERT_TRUE(wait_for([&] { return recorded(file, "A").size() >= 1; }));
  std::this_thread::sleep_for(300ms);
  auto signalled = std::chrono::steady_clock::now();
  daemon.signal(SIGTERM);
  EXPECT_EQ(daemon.wait_exit(5s), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, scaled(2s));
  sender.join();
  std::vector<std::string> messages = daemon.messages();
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(messages[messages.size() - 2], "Caught signal 15");
  EXPECT_EQ(messages.back(), "Server shutdown.");
  EXPECT_EQ(count_of(daemon.log(), "Allocating a new inqueue!"), 0u);
}

// ---- operating: statistics, listener address, connection cap ----

// A Prometheus text file as prometheus_client's parser reads it.
struct Metrics {
  bool parsed = false;
  std::map<std::string, std::string> types;  // family name -> type
  std::map<std::string, std::string> helps;  // family name -> help text
  // (sample name, module label or "-") -> value
  std::map<std::pair<std::string, std::string>, double> samples;

  double value(const std::string &name, const std::string &module = "-") const {
    auto found = samples.find({name, module});
    return found == samples.end() ? -1 : found->second;
  }
};

bool prometheus_parser_available() {
  return run(std::string(SYSTEM_PYTHON) +
             " -c 'import prometheus_client.parser' >/dev/null 2>&1") == 0;
}

Metrics read_metrics(const Daemon &daemon, const std::string &path) {
  Metrics metrics;
  std::string out = daemon.file("metrics.out");
  if (run(std::string(SYSTEM_PYTHON) + " " + METRICS_READER + " '" + path + "' >" + out +
          " 2>/dev/null") != 0) {
    return metrics;
  }
  metrics.parsed = true;
  for (const std::string &line : lines_of(read_file(out))) {
    std::vector<std::string> fields;
    std::stringstream stream(line);
    for (std::string field; std::getline(stream, field, '\t');) fields.push_back(field);
    if (fields.size() != 4) continue;
    if (fields[0] == "family") {
      metrics.types[fields[1]] = fields[2];
      metrics.helps[fields[1]] = fields[3];
    } else {
      metrics.samples[{fields[1], fields[2]}] = std::stod(fields[3]);
    }
  }
  return metrics;
}

// The sum of one figure (the first capture of pattern) over the statistics
// log lines.
uint64_t sum_of_logged(const std::string &log, const std::regex &pattern) {
  uint64_t sum = 0;
  for (const std::string &line : lines_of(log)) {
    std::smatch match;
    if (std::regex_search(line, match, pattern)) sum += std::stoull(match[1]);
  }
  return sum;
}

TEST(DaemonStats, LogLinesAndFileCountWhatClientsSent) {
  if (!prometheus_parser_available()) GTEST_SKIP() << "python3-prometheus-client is not installed";
  Daemon daemon;
  std::string records_file = daemon.records_file();
  std::string stats = daemon.file("orvikevtd.prom");
  // A module path with the characters the format escapes in label values.
  std::string odd_path = daemon.file("rec\"q\\b.so");
  ASSERT_EQ(symlink(RECORDER_A, odd_path.c_str()), 0);
  // A slow first module and a pool of 100 records: intake pauses at the cap.
  ASSERT_TRUE(daemon.start(
      daemon.standard_config("QUEUEFLUSH 0.1\nMAXQUEUES 10\nSTATSINTERVAL 0.3\nSTATSFILE " + stats +
                             "\n" + module_line(odd_path.c_str(), records_file + ",200") +
                             module_line(RECORDER_B, records_file))));
  constexpr uint64_t kFirst = 1500, kSecond = 500, kTotal = kFirst + kSecond;
  {
    Client first(daemon.port()), second(daemon.port());
    ASSERT_TRUE(first.connect());
    ASSERT_TRUE(second.connect());
    for (uint64_t i = 0; i < kFirst; i += 100) ASSERT_TRUE(first.send(records("one", "o", i, 100)));
    std::vector<EventData> batch = records("two", "o", 0, kSecond - 1);
    batch.push_back(record("two", "fail7", kSecond));
    ASSERT_TRUE(second.send(batch));
  }
  Metrics metrics;
  ASSERT_TRUE(wait_for(
      [&] {
        metrics = read_metrics(daemon, stats);
        return metrics.value("orvikevtd_events_handled_total") == kTotal &&
               metrics.value("orvikevtd_connections_open") == 0;
      },
      60s))
      << read_file(stats);
  const std::vector<std::pair<std::string, std::string>> families = {
      {"orvikevtd_events_received", "counter"}, {"orvikevtd_events_handled", "counter"},
      {"orvikevtd_connections_open", "gauge"},  {"orvikevtd_connections", "counter"},
      {"orvikevtd_queues_total", "gauge"},      {"orvikevtd_queues_in_use", "gauge"},
      {"orvikevtd_queues_full", "gauge"},       {"orvikevtd_intake_paused_seconds", "counter"},
      {"orvikevtd_module_events", "counter"},   {"orvikevtd_module_errors", "counter"},
      {"orvikevtd_module_seconds", "counter"},  {"orvikevtd_module_commit_lag", "gauge"},
      {"orvikevtd_ack_streams", "gauge"},       {"orvikevtd_ack_frames", "counter"},
      {"orvikevtd_ack_duplicates", "counter"}};
  for (const auto &[name, type] : families) {
    EXPECT_EQ(metrics.types[name], type) << name;
    EXPECT_FALSE(metrics.helps[name].empty()) << name;
  }
  EXPECT_EQ(metrics.types.size(), families.size());
  EXPECT_EQ(metrics.value("orvikevtd_events_received_total"), kTotal);
  EXPECT_EQ(metrics.value("orvikevtd_connections_total"), 2);
  EXPECT_EQ(metrics.value("orvikevtd_queues_total"), 10);
  EXPECT_EQ(metrics.value("orvikevtd_queues_full"), 0);
  EXPECT_GT(metrics.value("orvikevtd_intake_paused_seconds_total"), 0);
  for (const std::string &module : {odd_path, std::string(RECORDER_B)}) {
    EXPECT_EQ(metrics.value("orvikevtd_module_events_total", module), kTotal) << module;
    EXPECT_EQ(metrics.value("orvikevtd_module_errors_total", module), 1) << module;
    // Neither has module_committed: a record is committed when it returns.
    EXPECT_EQ(metrics.value("orvikevtd_module_commit_lag", module), 0) << module;
  }
  // No client spoke the acknowledged protocol.
  EXPECT_EQ(metrics.value("orvikevtd_ack_streams"), 0);
  EXPECT_EQ(metrics.value("orvikevtd_ack_frames_total"), 0);
  EXPECT_EQ(metrics.value("orvikevtd_ack_duplicates_total"), 0);
  // 200 microseconds of busy waiting per record.
  EXPECT_GE(metrics.value("orvikevtd_module_seconds_total", odd_path), kTotal * 200e-6);
  EXPECT_EQ(recorded(records_file, "B").size(), kTotal);
  // The log lines' figures since the last line add up to the same totals.
  const std::regex received(R"(^.{20}Statistics: (\d+) records received)");
  const std::regex handed(R"(^.{20}Statistics: .*/s\), (\d+) handed to the modules)");
  ASSERT_TRUE(wait_for([&] { return sum_of_logged(daemon.log(), handed) == kTotal; }));
  EXPECT_EQ(sum_of_logged(daemon.log(), received), kTotal);
  // Once the daemon has stopped (between two writes: signals are acted on
  // in the loop), only the file itself is left, no temporary one.
  daemon.signal(SIGTERM);
  EXPECT_EQ(daemon.wait_exit(), 0);
  EXPECT_EQ(run("ls " + daemon.file("") + " | grep -q 'orvikevtd.prom.'"), 256);
}

TEST(DaemonStats, AnUnwritableFileIsLoggedOncePerEpisode) {
  Daemon daemon;
  std::string folder = daemon.file("stats");
  std::string stats = folder + "/orvikevtd.prom";
  ASSERT_TRUE(daemon.start(daemon.standard_config("STATSINTERVAL 0.1\nSTATSFILE " + stats + "\n")));
  std::string failed = "Failed to write statistics file " + stats + " (rc=2)\n";
  auto lines = [&] { return count_of(daemon.log(), "Statistics: "); };
  ASSERT_TRUE(wait_for([&] { return lines() >= 5; }));
  EXPECT_EQ(count_of(daemon.log(), failed), 1u);
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  ASSERT_TRUE(wait_for([&] { return !read_file(stats).empty(); }));
  ASSERT_EQ(run("rm -r " + folder), 0);
  size_t after = lines() + 5;
  ASSERT_TRUE(wait_for([&] { return lines() >= after; }));
  EXPECT_EQ(count_of(daemon.log(), failed), 2u);
}

// A plain TCP connection to address:port; its descriptor, or -errno.
int tcp_connect(const std::string &address, int port) {
  bool v6 = address.find(':') != std::string::npos;
  int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -errno;
  sockaddr_storage storage = {};
  socklen_t length = 0;
  if (v6) {
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET6, address.c_str(), &in6->sin6_addr);
    length = sizeof(*in6);
  } else {
    auto *in4 = reinterpret_cast<sockaddr_in *>(&storage);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &in4->sin_addr);
    length = sizeof(*in4);
  }
  if (connect(fd, reinterpret_cast<sockaddr *>(&storage), length) != 0) {
    int error = errno;
    close(fd);
    return -error;
  }
  return fd;
}

// Whether a TCP connection to address:port is taken (and closes it).
bool accepts_tcp(const std::string &address, int port) {
  int fd = tcp_connect(address, port);
  if (fd >= 0) close(fd);
  return fd >= 0;
}

bool loopback6_available() {
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in6 address = {};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  bool bound = bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
  close(fd);
  return bound;
}

TEST(DaemonAddress, OneAddressRefusesClientsOnTheOthers) {
  if (!loopback6_available()) GTEST_SKIP() << "::1 is not available on this host";
  {
    Daemon every;
    ASSERT_TRUE(every.start(every.standard_config()));
    EXPECT_TRUE(accepts_tcp("127.0.0.1", every.port()));
    EXPECT_TRUE(accepts_tcp("::1", every.port()));
  }
  Daemon v4;
  std::string file = v4.records_file();
  ASSERT_TRUE(v4.start_with_recorder("QUEUESIZE 1\nEVENTADDRESS 127.0.0.1\n"));
  EXPECT_EQ(tcp_connect("::1", v4.port()), -ECONNREFUSED);
  Client client(v4.port());
  ASSERT_TRUE(client.connect());
  ASSERT_TRUE(client.send(records("v4", "o", 0, 2)));
  ASSERT_TRUE(wait_for([&] { return recorded(file, "A").size() >= 1; }));
  EXPECT_NE(count_of(v4.log(), "Listener will be setup on address 127.0.0.1\n"), 0u);

  Daemon v6;
  ASSERT_TRUE(v6.start(v6.standard_config("EVENTADDRESS ::1\n")));
  EXPECT_TRUE(accepts_tcp("::1", v6.port()));
  EXPECT_EQ(tcp_connect("127.0.0.1", v6.port()), -ECONNREFUSED);
}

TEST(DaemonAddress, AnAddressThatCannotBeBoundEndsStartUpNamingIt) {
  for (const char *address : {"localhost", "192.0.2.1", "300.1.1.1"}) {
    Daemon daemon;
    daemon.write_config(daemon.standard_config(std::string("EVENTADDRESS ") + address + "\n"));
    daemon.spawn();
    EXPECT_EQ(daemon.wait_exit(), 4) << address;
    EXPECT_NE(daemon.err().find(std::string("orvikevtd: cannot listen on ") + address + " port"),
              std::string::npos)
        << daemon.err();
    std::vector<std::string> messages = daemon.messages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(
        messages[messages.size() - 2].rfind(std::string("Failed to bind to address ") + address +
                                                " port " + std::to_string(daemon.port()) + " (rc=",
                                            0),
        0u)
        << messages[messages.size() - 2];
    EXPECT_EQ(messages.back(), "Exiting.");
  }
}

TEST(DaemonConnections, AtTheCapTheNextClientIsServedOnlyAfterOneLeaves) {
  Daemon daemon;
  std::string file = daemon.records_file();
  ASSERT_TRUE(daemon.start_with_recorder("QUEUESIZE 1\nMAXCONNECTIONS 2\n"));
  Client first(daemon.port());
  ASSERT_TRUE(first.connect());
  // A connection whose handshake never starts counts as well.
  int silent = tcp_connect("127.0.0.1", daemon.port());
  ASSERT_GE(silent, 0);
  const std::string reached =
      "Connection limit of 2 reached; new clients wait until a connection ends.\n";
  ASSERT_TRUE(wait_for([&] { return count_of(daemon.log(), reached) == 1; }));
  std::atomic<bool> connected{false};
  std::atomic<bool> sent{false};
  std::thread third([&] {
    Client client(daemon.port());
    if (!client.connect()) return;
    connected = true;
    sent = client.send(records("third", "o", 0, 2));
  });
  // The third client waits in the listen queue: its handshake does not end.
  EXPECT_FALSE(wait_for([&] { return connected.load(); }, 500ms));
  ASSERT_TRUE(first.send(records("first", "o", 0, 2)));
  ASSERT_TRUE(wait_for([&] { return recorded(file, "A").size() >= 1; }));
  close(silent);
  ASSERT_TRUE(wait_for([&] { return connected.load(); }));
  third.join();
  EXPECT_TRUE(sent);
  auto served_third = [&] {
    std::vector<std::string> lines = recorded(file, "A");
    return std::find(lines.begin(), lines.end(), "third o 0") != lines.end();
  };
  EXPECT_TRUE(wait_for(served_third));
  // The third client filled the cap again: a second episode.
  EXPECT_EQ(count_of(daemon.log(), reached), 2u);
}

TEST(DaemonConnections, ZeroMeansNoCap) {
  Daemon daemon;
  ASSERT_TRUE(daemon.start(daemon.standard_config("MAXCONNECTIONS 0\n")));
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<Client>(daemon.port()));
    ASSERT_TRUE(clients.back()->connect()) << i;
  }
  EXPECT_EQ(count_of(daemon.log(), "Connection limit"), 0u);
}

// A TCP connection to the daemon from source (an address of 127.0.0.0/8),
// without a byte sent; -errno when it cannot be made.
int tcp_connect_from(const std::string &source, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -errno;
  sockaddr_in local = {};
  local.sin_family = AF_INET;
  inet_pton(AF_INET, source.c_str(), &local.sin_addr);
  sockaddr_in remote = {};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof(local)) != 0 ||
      connect(fd, reinterpret_cast<sockaddr *>(&remote), sizeof(remote)) != 0) {
    int error = errno;
    close(fd);
    return -error;
  }
  return fd;
}

// True when the daemon closes fd (end of file or reset) within timeout.
bool closed_by_daemon(int fd, std::chrono::milliseconds timeout) {
  return wait_for(
      [fd] {
        char byte;
        ssize_t got = recv(fd, &byte, 1, MSG_DONTWAIT);
        return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
      },
      timeout);
}

TEST(DaemonConnections, AnAddressAtItsCapIsClosedAtOnceAndOthersAreServed) {
  Daemon daemon;
  std::string file = daemon.records_file();
  ASSERT_TRUE(daemon.start_with_recorder("QUEUESIZE 1\nMAXCONNECTIONSPERADDRESS 2\n"));
  auto first = std::make_unique<Client>(daemon.port());
  ASSERT_TRUE(first->connect());
  int second = tcp_connect_from("127.0.0.1", daemon.port());
  ASSERT_GE(second, 0);
  const std::string reached =
      "Connection limit of 2 per address reached; new connections closed at once (client "
      "127.0.0.1)\n";
  // One line for the episode, however many are refused.
  for (int i = 0; i < 3; ++i) {
    int refused = tcp_connect_from("127.0.0.1", daemon.port());
    ASSERT_GE(refused, 0);
    EXPECT_TRUE(closed_by_daemon(refused, 10s)) << i;
    close(refused);
  }
  EXPECT_EQ(count_of(daemon.log(), reached), 1u);
  // Another address of the same host has its own count.
  int other = tcp_connect_from("127.0.0.2", daemon.port());
  ASSERT_GE(other, 0);
  EXPECT_FALSE(closed_by_daemon(other, 500ms));
  EXPECT_FALSE(closed_by_daemon(second, 10ms));
  // Below the cap again, the address is served: the episode ends.
  close(second);
  Client third(daemon.port());
  ASSERT_TRUE(wait_for([&] { return third.connect(); }));
  ASSERT_TRUE(third.send(records("third", "o", 0, 2)));
  ASSERT_TRUE(wait_for([&] { return recorded(file, "A").size() >= 1; }));
  EXPECT_EQ(recorded(file, "A")[0], "third o 0");
  int refused = tcp_connect_from("127.0.0.1", daemon.port());
  ASSERT_GE(refused, 0);
  EXPECT_TRUE(closed_by_daemon(refused, 10s));
  close(refused);
  EXPECT_TRUE(wait_for([&] { return count_of(daemon.log(), reached) == 2; }));
  close(other);
}

TEST(DaemonConnections, WithoutAPerAddressCapOneAddressMayHoldMany) {
  Daemon daemon;
  ASSERT_TRUE(daemon.start(daemon.standard_config("MAXCONNECTIONS 0\n")));
  std::vector<int> held;
  for (int i = 0; i < 70; ++i) {
    int fd = tcp_connect_from("127.0.0.1", daemon.port());
    ASSERT_GE(fd, 0) << i;
    held.push_back(fd);
  }
  EXPECT_FALSE(closed_by_daemon(held.back(), 500ms));
  EXPECT_EQ(count_of(daemon.log(), "per address"), 0u);
  for (int fd : held) close(fd);
}

TEST(DaemonConnections, AConnectionThatDeliversNothingIsClosedAfterTheIdleTimeout) {
  Daemon daemon;
  std::string file = daemon.records_file();
  // One second, longer on a slow target.
  char idle[32];
  std::snprintf(idle, sizeof(idle), "%g", std::chrono::duration<double>(scaled(1000ms)).count());
  // The handshake limit stays well above the idle one (which a slow target
  // stretches to the handshake's default): the silent connection, which
  // never begins its handshake, is to be closed as idle.
  ASSERT_TRUE(daemon.start_with_recorder("QUEUESIZE 1\nIDLETIMEOUT " + std::string(idle) +
                                         "\nHANDSHAKETIMEOUT 1000\n"));
  Client busy(daemon.port());
  ASSERT_TRUE(busy.connect());
  Client quiet(daemon.port());
  ASSERT_TRUE(quiet.connect());
  ASSERT_TRUE(quiet.send(records("quiet", "o", 0, 1)));
  int silent = tcp_connect_from("127.0.0.1", daemon.port());
  ASSERT_GE(silent, 0);
  // The busy client sends a record every 200 ms for three idle times.
  auto start = std::chrono::steady_clock::now();
  for (uint64_t i = 0; std::chrono::steady_clock::now() - start < scaled(3000ms); ++i) {
    ASSERT_TRUE(busy.send(records("busy", "o", i, 1))) << i;
    std::this_thread::sleep_for(200ms);
  }
  EXPECT_TRUE(closed_by_daemon(silent, 10s));
  close(silent);
  const std::string closed = "Closed a connection that sent no event for " + std::string(idle) +
                             " seconds (client 127.0.0.1)\n";
  // The silent one and the quiet one; the busy one is served on.
  ASSERT_TRUE(wait_for([&] { return count_of(daemon.log(), closed) == 2; }));
  ASSERT_TRUE(busy.send(records("busy", "last", 0, 2)));
  auto served_last = [&] {
    std::vector<std::string> lines = recorded(file, "A");
    return std::find(lines.begin(), lines.end(), "busy last 0") != lines.end();
  };
  EXPECT_TRUE(wait_for(served_last)) << daemon.log();
  EXPECT_EQ(count_of(daemon.log(), closed), 2u);
}

TEST(DaemonConnections, IdleConnectionsAreNeverClosedByDefault) {
  Daemon daemon;
  ASSERT_TRUE(daemon.start(daemon.standard_config("HANDSHAKETIMEOUT 30\n")));
  Client quiet(daemon.port());
  ASSERT_TRUE(quiet.connect());
  int silent = tcp_connect_from("127.0.0.1", daemon.port());
  ASSERT_GE(silent, 0);
  EXPECT_FALSE(closed_by_daemon(silent, 2500ms));
  EXPECT_EQ(count_of(daemon.log(), "Closed a connection"), 0u);
  close(silent);
}

TEST(DaemonConnections, AHandshakeNotFinishedInTimeIsClosedNamingTheClient) {
  Daemon daemon;
  // Half a second, longer on a slow target, where a real handshake takes longer.
  char handshake[32];
  std::snprintf(handshake, sizeof(handshake), "%g",
                std::chrono::duration<double>(scaled(500ms)).count());
  ASSERT_TRUE(
      daemon.start(daemon.standard_config("HANDSHAKETIMEOUT " + std::string(handshake) + "\n")));
  EXPECT_EQ(count_of(daemon.log(), "Handshakes not finished within " + std::string(handshake) +
                                       " seconds are closed\n"),
            1u);
  int silent = tcp_connect_from("127.0.0.1", daemon.port());
  ASSERT_GE(silent, 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(closed_by_daemon(silent, 10s));
  // Well before the comm layer's own 10 s.
  EXPECT_LT(std::chrono::steady_clock::now() - start, scaled(5s));
  close(silent);
  EXPECT_TRUE(wait_for([&] {
    return count_of(daemon.log(), "openssl_comm_read(): rc=110 (client 127.0.0.1)\n") == 1;
  }));
  // A client that finishes its handshake is served as before.
  Client client(daemon.port());
  EXPECT_TRUE(client.connect());
}

// ---- logs ----

TEST(DaemonLogs, AFloodOfOneMessageIsCutToAFewLinesASecondAndCounted) {
  Daemon daemon;
  ASSERT_TRUE(daemon.start(daemon.standard_config()));
  // Each connection that speaks no TLS fails its handshake, and each failure
  // is one "openssl_comm_read()" message.
  constexpr int kBroken = 200;
  auto begun = std::chrono::steady_clock::now();
  for (int i = 0; i < kBroken; ++i) {
    int fd = tcp_connect_from("127.0.0.1", daemon.port());
    ASSERT_GE(fd, 0) << i;
    const char garbage[] = "GET / HTTP/1.0\r\n\r\n";
    ASSERT_EQ(send(fd, garbage, sizeof(garbage) - 1, MSG_NOSIGNAL),
              static_cast<ssize_t>(sizeof(garbage) - 1));
    EXPECT_TRUE(closed_by_daemon(fd, 10s)) << i;
    close(fd);
  }
  // Written lines and left-out counts add up to every failure.
  std::regex written(R"(openssl_comm_read\(\): rc=\d+ \(client 127\.0\.0\.1\)\n)");
  std::regex left_out(
      R"(Left out (\d+) more lines like: openssl_comm_read\(\): rc=\d+ \(client 127\.0\.0\.1\)\n)");
  auto accounted = [&] {
    std::string log = daemon.log();
    size_t lines = 0, counted = 0;
    for (std::sregex_iterator it(log.begin(), log.end(), left_out), end; it != end; ++it) {
      counted += std::stoul((*it)[1]);
    }
    for (std::sregex_iterator it(log.begin(), log.end(), written), end; it != end; ++it) {
      ++lines;
    }
    // The left-out lines end like the written ones: count those apart.
    return lines - count_of(log, "Left out ") + counted;
  };
  ASSERT_TRUE(wait_for([&] { return accounted() == kBroken; })) << daemon.log();
  std::vector<std::string> messages = daemon.messages();
  size_t written_lines = std::count_if(messages.begin(), messages.end(), [](const std::string &m) {
    return m.rfind("openssl_comm_read(): rc=", 0) == 0;
  });
  // At most five a second (each second begun counts), and the first five
  // as they are.
  auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - begun)
          .count();
  EXPECT_LE(written_lines, 5u * (static_cast<size_t>(seconds) + 2));
  EXPECT_LT(written_lines, static_cast<size_t>(kBroken));
  EXPECT_GE(written_lines, 5u);
}

TEST(DaemonLogs, RotatingBothLogsWhileClientsSendLosesNoLine) {
  Daemon daemon;
  std::string events = daemon.file("events.log");
  ASSERT_TRUE(daemon.start(daemon.standard_config("QUEUESIZE 10\nQUEUEFLUSH 0.1\n" +
                                                  module_line(EVENTLOG_MODULE, events))));
  constexpr int kClients = 4;
  constexpr uint64_t kBatches = 60, kPerBatch = 10;
  std::atomic<int> failed{0};
  std::atomic<int> batches_sent{0};
  std::vector<std::thread> senders;
  for (int c = 0; c < kClients; ++c) {
    senders.emplace_back([&, c] {
      std::string host = "client" + std::to_string(c);
      // A new connection for every batch: the daemon logs every 100th.
      for (uint64_t b = 0; b < kBatches; ++b) {
        Client client(daemon.port());
        if (!client.connect() || !client.send(records(host, "o", b * kPerBatch, kPerBatch))) {
          ++failed;
          return;
        }
        client.close();
        ++batches_sent;
        std::this_thread::sleep_for(5ms);
      }
    });
  }
  // Rotated twice while the clients send, as logrotate does: rename, signal.
  for (int rotation = 1; rotation <= 2; ++rotation) {
    const int sent_before = batches_sent.load();
    ASSERT_TRUE(wait_for([&] { return batches_sent.load() >= sent_before + 20; }));
    std::string suffix = "." + std::to_string(rotation);
    ASSERT_EQ(std::rename(events.c_str(), (events + suffix).c_str()), 0);
    ASSERT_EQ(std::rename(daemon.file("log").c_str(), daemon.file("log" + suffix).c_str()), 0);
    daemon.signal(SIGUSR1);
    ASSERT_TRUE(
        wait_for([&] { return daemon.log().find("Log file reopened.\n") != std::string::npos; }));
  }
  for (std::thread &sender : senders) sender.join();
  ASSERT_EQ(failed.load(), 0);
  const size_t total = kClients * kBatches * kPerBatch;
  // Whole lines only: the module's buffer may just have gone out in the
  // middle of one, whose rest follows with the next write.
  auto event_lines = [&] {
    std::vector<std::string> lines;
    for (const std::string &name : {events + ".1", events + ".2", events}) {
      for (const std::string &line : whole_lines_of(read_file(name))) lines.push_back(line);
    }
    return lines;
  };
  ASSERT_TRUE(wait_for([&] { return event_lines().size() >= total; })) << event_lines().size();
  std::vector<std::string> lines = event_lines();
  EXPECT_EQ(lines.size(), total);
  // Every record once, whole.
  std::regex event(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d ts=(\d+) host=(client\d) object=o .*)");
  std::set<std::string> seen;
  for (const std::string &line : lines) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, event)) << line;
    EXPECT_TRUE(seen.insert(match[2].str() + "/" + match[1].str()).second) << line;
  }
  EXPECT_EQ(seen.size(), total);
  // Each file of the event log got lines.
  EXPECT_FALSE(read_file(events + ".1").empty());
  EXPECT_FALSE(read_file(events + ".2").empty());
  // The daemon's log: every entry whole, in one file or the next, and the
  // 100th, 200th, ... connection each logged once across them.
  std::string all_logs;
  for (const char *name : {"log.1", "log.2", "log"}) {
    std::string content = read_file(daemon.file(name));
    EXPECT_EQ(content.back(), '\n') << name;
    for (const std::string &line : lines_of(content)) {
      EXPECT_TRUE(std::regex_match(line, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \S.*)")))
          << name << ": " << line;
    }
    all_logs += content;
  }
  EXPECT_EQ(messages_of(read_file(daemon.file("log.1"))).back(), "Caught signal 10");
  EXPECT_EQ(messages_of(read_file(daemon.file("log"))).front(), "Log file reopened.");
  for (int n = 100; n <= kClients * static_cast<int>(kBatches); n += 100) {
    EXPECT_EQ(count_of(all_logs, "Handled " + std::to_string(n) + " connections so far.\n"), 1u)
        << n;
  }
}

TEST(DaemonLogs, SighupStillReopensNothing) {
  Daemon daemon;
  ASSERT_TRUE(daemon.start(daemon.standard_config()));
  ASSERT_EQ(std::rename(daemon.file("log").c_str(), daemon.file("log.1").c_str()), 0);
  daemon.signal(SIGHUP);
  ASSERT_TRUE(wait_for([&] {
    return read_file(daemon.file("log.1")).find("Caught signal 1\n") != std::string::npos;
  }));
  EXPECT_FALSE(std::ifstream(daemon.file("log")).good());
}

// ---- signals ----

TEST(DaemonSignals, SigtermLogsTwoLinesAndExitsWith0) {
  Daemon daemon;
  ASSERT_TRUE(daemon.start(daemon.standard_config()));
  daemon.signal(SIGTERM);
  EXPECT_EQ(daemon.wait_exit(), 0);
  std::vector<std::string> messages = daemon.messages();
  ASSERT_GE(messages.size(), 3u);
  EXPECT_EQ(messages[messages.size() - 3], "System ready.");
  EXPECT_EQ(messages[messages.size() - 2], "Caught signal 15");
  EXPECT_EQ(messages.back(), "Server shutdown.");
}

TEST(DaemonSignals, SigintAndSigquitEndItTheSameWay) {
  for (int sig : {SIGINT, SIGQUIT}) {
    Daemon daemon;
    ASSERT_TRUE(daemon.start(daemon.standard_config()));
    daemon.signal(sig);
    EXPECT_EQ(daemon.wait_exit(), 0);
    std::vector<std::string> messages = daemon.messages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[messages.size() - 2], "Caught signal " + std::to_string(sig));
    EXPECT_EQ(messages.back(), "Server shutdown.");
  }
}

TEST(DaemonSignals, SighupAndSigpipeAreLoggedAndServingGoesOn) {
  Daemon daemon;
  std::string file = daemon.records_file();
  ASSERT_TRUE(daemon.start_with_recorder("QUEUESIZE 1\n"));
  daemon.signal(SIGHUP);
  ASSERT_TRUE(
      wait_for([&] { return daemon.log().find("Caught signal 1\n") != std::string::npos; }));
  daemon.signal(SIGPIPE);
  ASSERT_TRUE(
      wait_for([&] { return daemon.log().find("Caught signal 13\n") != std::string::npos; }));
  daemon.signal(SIGHUP);
  ASSERT_TRUE(wait_for([&] { return count_of(daemon.log(), "Caught signal 1\n") == 2; }));
  EXPECT_FALSE(daemon.exited());
  Client client(daemon.port());
  ASSERT_TRUE(client.connect());
  ASSERT_TRUE(client.send(records("after", "o", 0, 2)));
  ASSERT_TRUE(wait_for([&] { return recorded(file, "A").size() >= 1; }));
  std::vector<std::string> messages = daemon.messages();
  std::vector<std::string> tail(messages.end() - 3, messages.end());
  EXPECT_EQ(tail,
            (std::vector<std::string>{"Caught signal 1", "Caught signal 13", "Caught signal 1"}));
}

// ---- orderly stop ----

// "<prefix>: R events received since start, N not handed to the modules..."
// from the log; found is false when no such line is there.
struct DrainLine {
  bool found = false;
  uint64_t received = 0;
  uint64_t not_handed = 0;
  std::string rest;
};

DrainLine drain_line(const std::string &log, const std::string &prefix) {
  std::smatch match;
  DrainLine line;
  if (std::regex_search(
          log, match,
          std::regex(prefix + R"(: (\d+) events received since start, (\d+) not handed to the )"
                              R"(modules([^\n]*)\n)"))) {
    line.found = true;
    line.received = std::stoull(match[1]);
    line.not_handed = std::stoull(match[2]);
    line.rest = match[3];
  }
  return line;
}

// Records of the recorder (without its cleanup line) per host, checking that
// each host's timestamps run 0, 1, 2, ... in the order they were recorded.
std::map<std::string, uint64_t> records_per_host(const std::vector<std::string> &lines) {
  std::map<std::string, uint64_t> next;
  for (const std::string &line : lines) {
    if (line == "cleanup") continue;
    std::istringstream fields(line);
    std::string host, object;
    uint64_t timestamp = 0;
    fields >> host >> object >> timestamp;
    EXPECT_EQ(timestamp, next[host]) << line;
    next[host] = timestamp + 1;
  }
  return next;
}

uint64_t total(const std::map<std::string, uint64_t> &per_host) {
  uint64_t sum = 0;
  for (const auto &[host, count] : per_host) sum += count;
  return sum;
}

// A daemon with the recorder module (argument suffix recorder) holding
// records behind it: clients send count records each, and the test goes on
// once the module has some.
class HeldRecords {
 public:
  HeldRecords(const std::string &config, const std::string &recorder, int clients, uint64_t count) {
    started_ = daemon_.start_with_recorder(config, recorder);
    if (!started_) return;
    // Every client exists before the first sender runs.
    for (int c = 0; c < clients; ++c) clients_.push_back(std::make_unique<Client>(daemon_.port()));
    for (int c = 0; c < clients; ++c) {
      senders_.emplace_back([this, c, count] {
        Client &client = *clients_[static_cast<size_t>(c)];
        if (!client.connect()) return;
        std::string host = "s" + std::to_string(c);
        for (uint64_t i = 0; i < count; i += 50) {
          if (!client.send(records(host, "o", i, std::min<uint64_t>(50, count - i)))) return;
        }
      });
    }
  }
  ~HeldRecords() {
    // Senders blocked in back-pressure fail once the daemon is gone.
    if (!daemon_.exited()) daemon_.signal(SIGKILL);
    daemon_.wait_exit();
    for (std::thread &sender : senders_) sender.join();
  }

  bool started() const { return started_; }
  Daemon &daemon() { return daemon_; }
  std::vector<std::string> recorded() const { return ::recorded(daemon_.records_file(), "A"); }
  bool wait_recorded(size_t at_least) {
    return wait_for([&] { return recorded().size() >= at_least; });
  }
  // Sends sig; the stop must end within bound (scaled), when the daemon logs
  // its last line, "Server shutdown." (a sanitizer's own work at the exit
  // comes after it). The exit status.
  int stop_within(int sig, std::chrono::milliseconds bound) {
    auto signalled = std::chrono::steady_clock::now();
    daemon_.signal(sig);
    EXPECT_TRUE(wait_for(
        [&] { return daemon_.log().find("Server shutdown.\n") != std::string::npos; }, bound + 5s));
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, scaled(bound));
    return daemon_.wait_exit(bound + 5s);
  }
  // The last n log messages (fewer when the log has fewer).
  std::vector<std::string> last_messages(size_t n) const {
    std::vector<std::string> messages = daemon_.messages();
    return {messages.end() - static_cast<long>(std::min(n, messages.size())), messages.end()};
  }

 private:
  Daemon daemon_;
  bool started_ = false;
  std::vector<std::unique_ptr<Client>> clients_;
  std::vector<std::thread> senders_;
};

TEST(DaemonDrain, SigtermHandsOverFullQueuesAndRecordsHeldAtTheCapThenCleansUp) {
  // A pool of 100 records behind a module taking 10 ms per record, and three
  // clients with 200 records each: the pool fills and each connection holds
  // one more complete record.
  HeldRecords held("SHUTDOWNDRAIN 60\nMAXQUEUES 10\n", ",10000", 3, 200);
  ASSERT_TRUE(held.started());
  EXPECT_EQ(count_of(held.daemon().log(),
                     "Orderly stop hands held events to the modules within 60 seconds (0: stop at "
                     "once)\n"),
            1u);
  ASSERT_TRUE(held.wait_recorded(3));
  ASSERT_EQ(held.stop_within(SIGTERM, 60s), 0);

  std::string log = held.daemon().log();
  DrainLine drained = drain_line(log, "Drain complete");
  ASSERT_TRUE(drained.found) << log;
  EXPECT_EQ(drained.not_handed, 0u);
  EXPECT_EQ(drained.rest, ".");
  // More than the pool holds at once came in.
  EXPECT_GE(drained.received, 100u);
  std::vector<std::string> lines = held.recorded();
  // Every record received reached the module, each client's in order, and
  // then the module was cleaned up.
  EXPECT_EQ(total(records_per_host(lines)), drained.received);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "cleanup");
  EXPECT_EQ(count_of(held.daemon().log(), "Allocating a new inqueue!"), 0u);
  std::vector<std::string> tail = held.last_messages(3);
  EXPECT_EQ(tail.front(), "Caught signal 15");
  EXPECT_EQ(tail.back(), "Server shutdown.");
}

TEST(DaemonDrain, SigintHandsOverThePartlyFilledCurrentQueue) {
  // Two full queues of ten and five records in the current one.
  HeldRecords held("SHUTDOWNDRAIN 60\n", ",20000", 1, 25);
  ASSERT_TRUE(held.started());
  ASSERT_TRUE(held.wait_recorded(1));
  ASSERT_EQ(held.stop_within(SIGINT, 60s), 0);
  std::vector<std::string> lines = held.recorded();
  EXPECT_EQ(records_per_host(lines), (std::map<std::string, uint64_t>{{"s0", 25}}));
  EXPECT_EQ(lines.back(), "cleanup");
  EXPECT_EQ(held.last_messages(3),
            (std::vector<std::string>{
                "Caught signal 2",
                "Drain complete: 25 events received since start, 0 not handed to the "
                "modules.",
                "Server shutdown."}));
}

TEST(DaemonDrain, RunningOutOfTimeCountsWhatWasNotHandedOverAndEndsWithinTheBound) {
  // 200 ms per record: a drain of one second hands over about five of 30.
  HeldRecords held("SHUTDOWNDRAIN 1\n", ",200000", 1, 30);
  ASSERT_TRUE(held.started());
  ASSERT_TRUE(held.wait_recorded(1));
  // Within the drain time and a second.
  ASSERT_EQ(held.stop_within(SIGTERM, 2s), 0);
  DrainLine late = drain_line(held.daemon().log(), "Drain time ran out");
  ASSERT_TRUE(late.found) << held.daemon().log();
  EXPECT_EQ(late.received, 30u);
  EXPECT_EQ(late.rest, ".");
  // The count is exact: what the module did not record.
  std::vector<std::string> lines = held.recorded();
  EXPECT_GT(late.not_handed, 0u);
  EXPECT_EQ(total(records_per_host(lines)), late.received - late.not_handed);
  EXPECT_EQ(count_of(read_file(held.daemon().records_file()), "cleanup"), 0u);
  EXPECT_EQ(held.daemon().messages().back(), "Server shutdown.");
}

TEST(DaemonDrain, ModuleCleanupCountsAgainstTheTime) {
  // Every record has reached the module, but its cleanup takes 30 s.
  HeldRecords held("SHUTDOWNDRAIN 1\nQUEUEFLUSH 0.05\n", ",0,30000000", 1, 5);
  ASSERT_TRUE(held.started());
  ASSERT_TRUE(held.wait_recorded(5));
  // Within the drain time and a second.
  ASSERT_EQ(held.stop_within(SIGTERM, 2s), 0);
  std::vector<std::string> lines = held.recorded();
  EXPECT_EQ(records_per_host(lines), (std::map<std::string, uint64_t>{{"s0", 5}}));
  EXPECT_EQ(held.last_messages(3),
            (std::vector<std::string>{
                "Caught signal 15",
                "Drain time ran out: 5 events received since start, 0 not handed to the "
                "modules, module cleanup unfinished.",
                "Server shutdown."}));
}

TEST(DaemonDrain, SigquitOrASecondSignalStopsAtOnce) {
  struct Case {
    std::vector<int> signals;
    std::vector<std::string> tail;
  };
  for (const Case &c :
       {Case{{SIGQUIT}, {"Caught signal 3", "Server shutdown."}},
        Case{{SIGTERM, SIGINT}, {"Caught signal 15", "Caught signal 2", "Server shutdown."}},
        Case{{SIGTERM, SIGTERM}, {"Caught signal 15", "Caught signal 15", "Server shutdown."}}}) {
    SCOPED_TRACE(c.tail[0] + " then " + c.tail[1]);
    // Six seconds of records behind the module, and a long drain.
    HeldRecords held("SHUTDOWNDRAIN 60\n", ",200000", 1, 30);
    ASSERT_TRUE(held.started());
    ASSERT_TRUE(held.wait_recorded(1));
    if (c.signals.size() == 2) {
      held.daemon().signal(c.signals[0]);
      ASSERT_TRUE(
          wait_for([&] { return count_of(held.daemon().log(), "Caught signal 15\n") == 1; }));
    }
    // The record in progress is let finish, for at most a second.
    ASSERT_EQ(held.stop_within(c.signals.back(), 2s), 0);
    EXPECT_EQ(held.last_messages(c.tail.size()), c.tail);
    EXPECT_EQ(count_of(read_file(held.daemon().records_file()), "cleanup"), 0u);
    EXPECT_LT(held.recorded().size(), 30u);
  }
}

TEST(DaemonDrain, EveryRecordAlreadyDecryptedReachesTheModulesOrIsCounted) {
  struct Case {
    std::string config;
    std::string recorder;
    const char *outcome;
  };
  // A pool of ten records behind a slow module; two clients send 200
  // records each in writes of 50. The first read of a connection decrypts
  // a whole TLS record, 16 KiB or 40 records, which then wait in the
  // connection's buffers while intake is paused at the cap.
  for (const Case &c : {Case{"SHUTDOWNDRAIN 60\n", ",5000", "Drain complete"},
                        Case{"SHUTDOWNDRAIN 1\n", ",20000", "Drain time ran out"}}) {
    SCOPED_TRACE(c.config);
    HeldRecords held("QUEUESIZE 1\nMAXQUEUES 10\n" + c.config, c.recorder, 2, 200);
    ASSERT_TRUE(held.started());
    // Both connections have been read from.
    ASSERT_TRUE(wait_for([&] { return records_per_host(held.recorded()).size() == 2; }));
    ASSERT_EQ(held.stop_within(SIGTERM, 60s), 0);
    std::string log = held.daemon().log();
    DrainLine line = drain_line(log, c.outcome);
    ASSERT_TRUE(line.found) << log;
    std::map<std::string, uint64_t> per_host = records_per_host(held.recorded());
    // Each connection's decrypted records count, and the count is true:
    // every one not counted as not handed reached the module.
    EXPECT_GE(line.received, 80u);
    EXPECT_EQ(total(per_host), line.received - line.not_handed);
    if (line.not_handed == 0) {
      EXPECT_GE(per_host["s0"], 40u);
      EXPECT_GE(per_host["s1"], 40u);
    }
  }
}

TEST(DaemonDrain, AFailedModuleCleanupIsNamedAndTheDrainIsNotComplete) {
  HeldRecords held("SHUTDOWNDRAIN 60\n", ",0,0,5", 1, 25);
  ASSERT_TRUE(held.started());
  ASSERT_TRUE(held.wait_recorded(1));
  ASSERT_EQ(held.stop_within(SIGTERM, 60s), 0);
  EXPECT_EQ(records_per_host(held.recorded()), (std::map<std::string, uint64_t>{{"s0", 25}}));
  EXPECT_EQ(
      held.last_messages(4),
      (std::vector<std::string>{
          "Caught signal 15", std::string("(") + RECORDER_A + ") Module cleanup returned rc=5",
          "Drain ended, module cleanup failed: 25 events received since start, 0 not "
          "handed to the modules.",
          "Server shutdown."}));
}

// ---- the end of the process ----

// Sends sig to a daemon and returns its exit status, expecting the process
// gone within bound (scaled).
int exit_within(Daemon &daemon, int sig, std::chrono::milliseconds bound) {
  auto signalled = std::chrono::steady_clock::now();
  daemon.signal(sig);
  int status = daemon.wait_exit(bound + 30s);
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, scaled(bound));
  return status;
}

TEST(DaemonStop, NoModuleCodeRunsOnceTheProcessEnds) {
  // Module A is inside a five-second call, module B comes after it. Both
  // have exit hooks; A's lets its call go (as a sink's releases a blocked
  // hand-over), and B must then not be called.
  Daemon daemon;
  std::string file = daemon.records_file();
  std::string call_us = std::to_string(std::chrono::microseconds(scaled(5s)).count());
  ASSERT_TRUE(daemon.start(daemon.standard_config("QUEUEFLUSH 0.05\n" +
                                                  module_line(RECORDER_A, file + "," + call_us) +
                                                  module_line(RECORDER_B, file))));
  Client client(daemon.port());
  ASSERT_TRUE(client.connect());
  ASSERT_TRUE(client.send(records("h", "o", 0, 2)));
  // The queue is handed over within a few ticks of 12.5 ms.
  std::this_thread::sleep_for(scaled(1000ms));
  // The record in progress is waited for a second, then the process ends.
  EXPECT_EQ(exit_within(daemon, SIGTERM, 4s), 0);
  EXPECT_EQ(count_of(read_file(file), "called-after-exit"), 0u) << read_file(file);
  EXPECT_EQ(daemon.messages().back(), "Server shutdown.");
}

TEST(DaemonStop, SlowModuleDestructorsDoNotStretchTheStop) {
  struct Case {
    std::string config;
    std::string recorder;
    std::chrono::milliseconds bound;
  };
  // Each module's exit hook takes 30 s. At once: a second for the record in
  // progress and two for the ending. A drain of a second that runs out
  // between two records: a quarter second more.
  std::string hook_us = std::to_string(std::chrono::microseconds(scaled(30s)).count());
  for (const Case &c : {Case{"", ",0,0,0," + hook_us, 4000ms},
                        Case{"SHUTDOWNDRAIN 1\n", ",200000,0,0," + hook_us, 5000ms}}) {
    SCOPED_TRACE(c.config);
    HeldRecords held(c.config, c.recorder, 1, 30);
    ASSERT_TRUE(held.started());
    ASSERT_TRUE(held.wait_recorded(1));
    EXPECT_EQ(exit_within(held.daemon(), SIGTERM, c.bound), 0);
    EXPECT_EQ(held.daemon().messages().back(), "Server shutdown.");
  }
}

// ---- cipher preference and TLS defaults ----

// How OpenSSL is told that this CPU has no AES instructions: the variable
// (and value) the daemon's architecture reads. On ARM the value keeps NEON,
// as on a board without the crypto extension.
std::pair<std::string, std::string> aes_mask() {
#if defined(__i386__) || defined(__x86_64__)
  // Clears AES-NI (bit 57) and PCLMULQDQ (bit 33) of what CPUID reports.
  return {"OPENSSL_ia32cap", "~0x200000200000000"};
#elif defined(__arm__)
  return {"OPENSSL_armcap", (getauxval(AT_HWCAP) & (1ul << 12)) != 0 ? "1" : "0"};
#elif defined(__aarch64__)
  return {"OPENSSL_armcap", (getauxval(AT_HWCAP) & (1ul << 1)) != 0 ? "1" : "0"};
#else
  return {"OPENSSL_ia32cap", "0"};  // not read here; nothing to hide
#endif
}

// Whether the CPU itself has what makes AES-GCM fast: AES rounds and
// carry-less multiply.
bool cpu_has_aes_gcm() {
#if defined(__i386__) || defined(__x86_64__)
  return __builtin_cpu_supports("aes") && __builtin_cpu_supports("pclmul");
#elif defined(__arm__)
  unsigned long crypto = getauxval(AT_HWCAP2);
  return (crypto & 1ul) != 0 && (crypto & 2ul) != 0;
#elif defined(__aarch64__)
  unsigned long crypto = getauxval(AT_HWCAP);
  return (crypto & (1ul << 3)) != 0 && (crypto & (1ul << 4)) != 0;
#else
  return false;
#endif
}

// The suite an openssl s_client with the given options gets from the
// daemon (trusting ca), or "" when the handshake fails.
std::string negotiated_suite(const Daemon &daemon, const std::string &options,
                             const std::string &ca = cert("ca.pem")) {
  std::string out = daemon.file("s_client.out");
  run("openssl s_client -connect 127.0.0.1:" + std::to_string(daemon.port()) +
      " -brief -verify_return_error -CAfile " + ca + " " + options + " </dev/null >" + out +
      " 2>&1");
  std::smatch match;
  std::string text = read_file(out);
  return std::regex_search(text, match, std::regex(R"(Ciphersuite: (\S+))")) ? match[1].str()
                                                                             : std::string();
}

std::string tls13(const std::string &suites) {
  return "-tls1_3 -ciphersuites " + suites;
}
std::string tls12(const std::string &ciphers) {
  return "-tls1_2 -cipher " + ciphers;
}

bool logged(const Daemon &daemon, const std::string &message) {
  return daemon.log().find(message + "\n") != std::string::npos;
}

TEST(DaemonCiphers, WithoutAesInstructionsChachaComesFirstAndAesGcmClientsStillConnect) {
  Daemon daemon;
  auto [variable, value] = aes_mask();
  daemon.set_env(variable, value);
  ASSERT_TRUE(daemon.start(daemon.standard_config()));
  EXPECT_TRUE(logged(daemon,
                     "Cipher preference: TLS 1.3 ChaCha20-Poly1305 first, "
                     "TLS 1.2 ChaCha20-Poly1305 first (no AES instructions found)"))
      << daemon.log();
  // Clients that list AES-GCM first get ChaCha20-Poly1305 all the same.
  EXPECT_EQ(negotiated_suite(daemon, tls13("TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:"
                                           "TLS_CHACHA20_POLY1305_SHA256")),
            "TLS_CHACHA20_POLY1305_SHA256");
  EXPECT_EQ(negotiated_suite(daemon, tls12("ECDHE-ECDSA-AES128-GCM-SHA256:"
                                           "ECDHE-ECDSA-AES256-GCM-SHA384:"
                                           "ECDHE-ECDSA-CHACHA20-POLY1305")),
            "ECDHE-ECDSA-CHACHA20-POLY1305");
  // Clients that offer AES-GCM alone are served with it.
  EXPECT_EQ(negotiated_suite(daemon, tls13("TLS_AES_256_GCM_SHA384")), "TLS_AES_256_GCM_SHA384");
  EXPECT_EQ(negotiated_suite(daemon, tls12("ECDHE-ECDSA-AES128-GCM-SHA256")),
            "ECDHE-ECDSA-AES128-GCM-SHA256");
}

TEST(DaemonCiphers, WithAesInstructionsAesGcmComesFirst) {
  if (!cpu_has_aes_gcm())
    GTEST_SKIP() << "this CPU has no AES and carry-less multiply instructions";
  Daemon daemon;
  ASSERT_TRUE(daemon.start(daemon.standard_config()));
  EXPECT_TRUE(logged(daemon,
                     "Cipher preference: TLS 1.3 AES-GCM first, TLS 1.2 AES-GCM first "
                     "(AES instructions found)"))
      << daemon.log();
  EXPECT_EQ(negotiated_suite(daemon, tls13("TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384:"
                                           "TLS_AES_128_GCM_SHA256")),
            "TLS_AES_128_GCM_SHA256");
  EXPECT_EQ(negotiated_suite(daemon, tls12("ECDHE-ECDSA-CHACHA20-POLY1305:"
                                           "ECDHE-ECDSA-AES256-GCM-SHA384:"
                                           "ECDHE-ECDSA-AES128-GCM-SHA256")),
            "ECDHE-ECDSA-AES128-GCM-SHA256");
  EXPECT_EQ(negotiated_suite(daemon, tls13("TLS_CHACHA20_POLY1305_SHA256")),
            "TLS_CHACHA20_POLY1305_SHA256");
}

TEST(DaemonCiphers, Tls12OffersOnlyForwardSecretAeadSuites) {
  Daemon daemon;
  ASSERT_TRUE(daemon.start("PUBLICKEY " + cert("rsa-server.pem") + "\nPRIVATEKEY " +
                           cert("rsa-server.key") + "\nEVENTPORT " + std::to_string(daemon.port()) +
                           "\nFLUSHLOG yes\n"));
  std::string ca = cert("rsa-server.pem");
  // Static RSA key exchange, CBC with SHA-1, finite-field Diffie-Hellman
  // (with an AEAD cipher too).
  for (const char *refused : {"AES256-SHA", "ECDHE-RSA-AES256-SHA", "DHE-RSA-AES256-GCM-SHA384",
                              "DHE-RSA-CHACHA20-POLY1305", "DHE"}) {
    EXPECT_EQ(negotiated_suite(daemon, tls12(refused), ca), "") << refused;
  }
  EXPECT_EQ(negotiated_suite(daemon, tls12("ECDHE-RSA-AES128-GCM-SHA256"), ca),
            "ECDHE-RSA-AES128-GCM-SHA256");
  EXPECT_EQ(negotiated_suite(daemon, tls12("ECDHE-RSA-CHACHA20-POLY1305"), ca),
            "ECDHE-RSA-CHACHA20-POLY1305");
  EXPECT_EQ(negotiated_suite(daemon, "-tls1_3", ca).rfind("TLS_", 0), 0u);
}

TEST(DaemonCiphers, EcdsaCertificateServesEcdheEcdsaChacha) {
  Daemon daemon;
  ASSERT_TRUE(daemon.start(daemon.standard_config()));
  EXPECT_EQ(negotiated_suite(daemon, tls12("ECDHE-ECDSA-CHACHA20-POLY1305")),
            "ECDHE-ECDSA-CHACHA20-POLY1305");
  EXPECT_EQ(negotiated_suite(daemon, tls12("ECDHE-ECDSA-AES256-SHA")), "");
}

TEST(DaemonCiphers, DirectivesReplaceTheListsAndTheirOrder) {
  Daemon daemon;
  // Without the directives this daemon would put ChaCha20-Poly1305 first.
  auto [variable, value] = aes_mask();
  daemon.set_env(variable, value);
  ASSERT_TRUE(
      daemon.start("PUBLICKEY " + cert("rsa-server.pem") + "\nPRIVATEKEY " +
                   cert("rsa-server.key") + "\nEVENTPORT " + std::to_string(daemon.port()) +
                   "\nFLUSHLOG yes\nTLSCIPHERS ECDHE-RSA-AES256-GCM-SHA384:AES256-SHA\n"
                   "TLSCIPHERSUITES TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256\n"));
  EXPECT_TRUE(logged(daemon, "TLS 1.2 ciphers set to ECDHE-RSA-AES256-GCM-SHA384:AES256-SHA"));
  EXPECT_TRUE(logged(daemon,
                     "TLS 1.3 cipher suites set to TLS_AES_256_GCM_SHA384:"
                     "TLS_CHACHA20_POLY1305_SHA256"));
  EXPECT_TRUE(logged(daemon,
                     "Cipher preference: TLS 1.3 suites as configured, TLS 1.2 ciphers as "
                     "configured (no AES instructions found)"))
      << daemon.log();
  std::string ca = cert("rsa-server.pem");
  EXPECT_EQ(negotiated_suite(daemon,
                             tls13("TLS_CHACHA20_POLY1305_SHA256:TLS_AES_128_GCM_SHA256:"
                                   "TLS_AES_256_GCM_SHA384"),
                             ca),
            "TLS_AES_256_GCM_SHA384");
  EXPECT_EQ(negotiated_suite(daemon, tls13("TLS_AES_128_GCM_SHA256"), ca), "");
  EXPECT_EQ(negotiated_suite(daemon, tls12("AES256-SHA:ECDHE-RSA-AES256-GCM-SHA384"), ca),
            "ECDHE-RSA-AES256-GCM-SHA384");
  // The operator's list may admit what the default refuses.
  EXPECT_EQ(negotiated_suite(daemon, tls12("AES256-SHA"), ca), "AES256-SHA");
  EXPECT_EQ(negotiated_suite(daemon, tls12("ECDHE-RSA-CHACHA20-POLY1305"), ca), "");
}

TEST(DaemonCiphers, ListLongerThanAnOrdinaryLineIsUsedWhole) {
  Daemon daemon;
  // The name the client wants comes last, after 300 characters of others.
  std::string list;
  while (list.size() < 300) list += "ECDHE-ECDSA-AES256-GCM-SHA384:";
  list += "ECDHE-ECDSA-CHACHA20-POLY1305";
  ASSERT_TRUE(daemon.start(daemon.standard_config("TLSCIPHERS " + list + "\n")));
  EXPECT_EQ(negotiated_suite(daemon, tls12("ECDHE-ECDSA-CHACHA20-POLY1305")),
            "ECDHE-ECDSA-CHACHA20-POLY1305");
  // Its log entry shows the start, and keeps its line end.
  EXPECT_TRUE(logged(daemon, "TLS 1.2 ciphers set to " + list.substr(0, 200) + "..."));
  EXPECT_EQ(daemon.messages().back(), "System ready.");
}

// ---- the shipped tools and modules ----

std::string tool_command(const char *tool, const Daemon &daemon, const std::string &args) {
  return target_command(tool) + " -c " + cert("ca.pem") + " -p " + std::to_string(daemon.port()) +
         " " + args + " >" + daemon.file("tool.out") + " 2>" + daemon.file("tool.err");
}

int exit_status(int system_result) {
  return WIFEXITED(system_result) ? WEXITSTATUS(system_result) : -1;
}

TEST(DaemonTools, SendDeliversArgumentsLinesAndGeneratedEvents) {
  Daemon daemon;
  std::string events = daemon.file("events.log");
  std::string counts = daemon.file("count.txt");
  ASSERT_TRUE(daemon.start(daemon.standard_config("QUEUEFLUSH 0.1\n" +
                                                  module_line(EVENTLOG_MODULE, events) +
                                                  module_line(COUNT_MODULE, counts))));
  EXPECT_EQ(exit_status(run(tool_command(ORVIKEVT_SEND, daemon, "-s h1 -o obj -r 3 disk full"))),
            0);
  EXPECT_EQ(exit_status(run("printf 'one\\ntwo\\n' | " +
                            tool_command(ORVIKEVT_SEND, daemon, "-s h2 -o lines -i"))),
            0);
  EXPECT_EQ(exit_status(run(tool_command(ORVIKEVT_SEND, daemon, "-n 500"))), 0);
  ASSERT_TRUE(wait_for([&] { return read_file(counts).find("count=503\n") != std::string::npos; }));
  // The event log is written out at least once a second.
  ASSERT_TRUE(wait_for([&] { return whole_lines_of(read_file(events)).size() >= 503; }));
  std::string figures = read_file(counts);
  EXPECT_NE(figures.find("sequence_errors=0\n"), std::string::npos) << figures;
  EXPECT_NE(figures.find("streams=1\n"), std::string::npos) << figures;
  EXPECT_NE(figures.find("first=h1|obj|0|3|"), std::string::npos) << figures;
  std::vector<std::string> lines = whole_lines_of(read_file(events));
  ASSERT_EQ(lines.size(), 503u);
  EXPECT_NE(lines[0].find(" host=h1 object=obj flags=0x00000000 rc=3 data=\"disk full\""),
            std::string::npos)
      << lines[0];
  EXPECT_NE(lines[2].find(" host=h2 object=lines "), std::string::npos);
  EXPECT_NE(lines[2].find(" data=\"two\""), std::string::npos);
}

TEST(DaemonModules, ShippedModulesLogTheirFailuresOncePerEpisode) {
  Daemon daemon;
  std::string counts = daemon.file("count.txt");
  std::string missing = daemon.file("no/such/events.log");
  ASSERT_TRUE(daemon.start(daemon.standard_config(
      "QUEUEFLUSH 0.05\n" + module_line(EVENTLOG_MODULE, missing) +
      module_line(EVENTLOG_MODULE, "/dev/full") + module_line(COUNT_MODULE, counts))));
  // A file that cannot be opened: the module says why, then the daemon
  // skips it.
  std::vector<std::string> messages = daemon.messages();
  auto opened = std::find(messages.begin(), messages.end(),
                          "orvik_eventlog: cannot open " + missing + ": No such file or directory");
  ASSERT_NE(opened, messages.end());
  ASSERT_NE(opened + 1, messages.end());
  EXPECT_EQ(opened[1], "Calling module_init() failed.");

  Client client(daemon.port());
  ASSERT_TRUE(client.connect());
  const std::string full = "orvik_eventlog: cannot write /dev/full: No space left on device\n";
  // Some seconds of records: the event log fails at every flush, and says
  // so once.
  uint64_t sent = 0;
  auto send_for = [&](std::chrono::milliseconds span) {
    auto until = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < until) {
      ASSERT_TRUE(client.send(records("h", "o", sent, 20)));
      sent += 20;
      std::this_thread::sleep_for(50ms);
    }
  };
  send_for(2500ms);
  ASSERT_TRUE(wait_for([&] { return count_of(daemon.log(), full) > 0; }));
  EXPECT_EQ(count_of(daemon.log(), full), 1u);

  // The count file's temporary name taken by a folder: one line for the
  // episode, however many writes fail.
  const std::string blocked = "orvik_count: cannot write " + counts + ": ";
  ASSERT_EQ(mkdir((counts + ".tmp").c_str(), 0755), 0);
  send_for(500ms);
  ASSERT_TRUE(wait_for([&] { return count_of(daemon.log(), blocked) > 0; }));
  send_for(500ms);
  EXPECT_EQ(count_of(daemon.log(), blocked), 1u);
  // Writable again: the figures catch up, and a new failure is a new episode.
  ASSERT_EQ(rmdir((counts + ".tmp").c_str()), 0);
  ASSERT_TRUE(wait_for([&] {
    return read_file(counts).find("count=" + std::to_string(sent) + "\n") != std::string::npos;
  }));
  ASSERT_EQ(mkdir((counts + ".tmp").c_str(), 0755), 0);
  send_for(300ms);
  EXPECT_TRUE(wait_for([&] { return count_of(daemon.log(), blocked) == 2; }));
}

TEST(DaemonTools, EveryToolTellsItsVersion) {
  Daemon folder;
  std::vector<const char *> tools = {ORVIKEVT_SEND, ORVIKEVT_BENCH};
#ifdef ORVIKEVT_READ
  tools.push_back(ORVIKEVT_READ);
#endif
  for (const char *tool : tools) {
    std::string name = std::string(tool).substr(std::string(tool).rfind('/') + 1);
    std::string out = folder.file("version.out");
    EXPECT_EQ(exit_status(run(target_command(tool) + " -V >" + out)), 0) << name;
    EXPECT_EQ(read_file(out), name + " - version 0.9.6\n");
  }
}

TEST(DaemonTools, SendReportsUsageInputAndConnectionErrors) {
  Daemon daemon;
  ASSERT_TRUE(daemon.start(daemon.standard_config()));
  // Neither -c nor -k.
  EXPECT_EQ(exit_status(run(target_command(ORVIKEVT_SEND) + " -p " + std::to_string(daemon.port()) +
                            " x 2>/dev/null")),
            64);
  EXPECT_EQ(exit_status(run(tool_command(ORVIKEVT_SEND, daemon, std::string(300, 'd')))), 65);
  EXPECT_EQ(
      exit_status(run(tool_command(ORVIKEVT_SEND, daemon, "-s " + std::string(64, 'h') + " x"))),
      65);
  Daemon nobody;  // its port has no listener
  EXPECT_EQ(exit_status(run(tool_command(ORVIKEVT_SEND, nobody, "x"))), 69);
}

TEST(DaemonTools, BenchCountsEveryRecordEndToEnd) {
  Daemon daemon;
  std::string counts = daemon.file("count.txt");
  ASSERT_TRUE(daemon.start(daemon.standard_config("QUEUESIZE 100\nQUEUEFLUSH 0.05\n" +
                                                  module_line(COUNT_MODULE, counts))));
  EXPECT_EQ(
      exit_status(run(tool_command(ORVIKEVT_BENCH, daemon, "-j 3 -n 2000 -b 40 -w " + counts))), 0)
      << read_file(daemon.file("tool.err"));
  EXPECT_NE(read_file(daemon.file("tool.out")).find("counted=6000 sequence_errors=0"),
            std::string::npos);
  EXPECT_EQ(exit_status(run(tool_command(ORVIKEVT_BENCH, daemon, "-j 2 -n 300 -b 1 -w " + counts))),
            0);
  EXPECT_NE(read_file(counts).find("count=6600\n"), std::string::npos);
}

// What a tool offers as a client: the suite its own order picks from a
// server that leaves the choice to it, and the suites it offers.
struct ClientOffer {
  std::string negotiated;
  std::vector<std::string> tls13;  // offered, in the client's order
  std::vector<std::string> tls12;
};

// Runs the probe server for TLS version ("1.2" or "1.3"), then the tool
// against it with the environment assignments env and its own args.
ClientOffer probe_tool(const Daemon &folder, const std::string &version, const std::string &env,
                       const char *tool, const std::string &args) {
  std::string port_file = folder.file("probe.port"), out = folder.file("probe.out");
  unlink(port_file.c_str());
  pid_t probe = fork();
  if (probe == 0) {
    freopen(out.c_str(), "w", stdout);
    execlp("python3", "python3", TLS_PROBE_SERVER, cert("server.pem").c_str(),
           cert("server.key").c_str(), version.c_str(), port_file.c_str(), nullptr);
    _exit(127);
  }
  int port = 0;
  if (wait_for([&] { return (port = std::atoi(read_file(port_file).c_str())) > 0; })) {
    run(env + " " + target_command(tool) + " -c " + cert("ca.pem") + " -p " + std::to_string(port) +
        " " + args + " >/dev/null 2>" + folder.file("tool.err"));
  }
  if (!wait_for([&] { return waitpid(probe, nullptr, WNOHANG) == probe; })) {
    kill(probe, SIGKILL);
    waitpid(probe, nullptr, 0);
  }
  ClientOffer offer;
  for (const std::string &line : lines_of(read_file(out))) {
    std::istringstream words(line);
    std::string key, name;
    words >> key;
    while (words >> name) {
      if (key == "negotiated") offer.negotiated = name;
      if (key == "offered")
        (name.rfind("TLS_", 0) == 0 ? offer.tls13 : offer.tls12).push_back(name);
    }
  }
  return offer;
}

// The TLS 1.2 suites a client of ours offers: ECDHE with AEAD only.
std::vector<std::string> tls12_defaults() {
  std::vector<std::string> names = {
      "ECDHE-ECDSA-AES128-GCM-SHA256", "ECDHE-ECDSA-AES256-GCM-SHA384",
      "ECDHE-ECDSA-CHACHA20-POLY1305", "ECDHE-RSA-AES128-GCM-SHA256",
      "ECDHE-RSA-AES256-GCM-SHA384",   "ECDHE-RSA-CHACHA20-POLY1305"};
  return names;
}

std::vector<std::string> sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

// Both tools, as clients: the suite picked by their order, and what they
// offer, with the CPU's AES instructions hidden (env) or not.
void expect_tools_prefer(const std::string &env, const std::string &tls13_first,
                         const std::string &tls12_first) {
  Daemon folder;  // for its folder; no daemon runs
  for (const char *tool : {ORVIKEVT_SEND, ORVIKEVT_BENCH}) {
    std::string args = tool == std::string(ORVIKEVT_SEND) ? "probe" : "-n 1 -b 1";
    ClientOffer tls13 = probe_tool(folder, "1.3", env, tool, args);
    EXPECT_EQ(tls13.negotiated, tls13_first) << tool << read_file(folder.file("tool.err"));
    EXPECT_EQ(tls13.tls13.size(), 3u) << tool;
    EXPECT_EQ(sorted(tls13.tls12), sorted(tls12_defaults())) << tool;
    ClientOffer tls12 = probe_tool(folder, "1.2", env, tool, args);
    EXPECT_EQ(tls12.negotiated, tls12_first) << tool << read_file(folder.file("tool.err"));
    EXPECT_EQ(sorted(tls12.tls12), sorted(tls12_defaults())) << tool;
  }
}

TEST(DaemonTools, WithoutAesInstructionsToolsOfferChachaFirst) {
  auto [variable, value] = aes_mask();
  expect_tools_prefer(variable + "='" + value + "'", "TLS_CHACHA20_POLY1305_SHA256",
                      "ECDHE-ECDSA-CHACHA20-POLY1305");
}

TEST(DaemonTools, WithAesInstructionsToolsOfferAesGcmFirst) {
  if (!cpu_has_aes_gcm())
    GTEST_SKIP() << "this CPU has no AES and carry-less multiply instructions";
  expect_tools_prefer("", "TLS_AES_128_GCM_SHA256", "ECDHE-ECDSA-AES128-GCM-SHA256");
}

// ---- orvik_sqlite ----

// A read-only connection of the test to a module's database.
class EventsDb {
 public:
  explicit EventsDb(const std::string &path) {
    sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_busy_timeout(db_, 5000);
  }
  ~EventsDb() { sqlite3_close_v2(db_); }
  bool exec(const std::string &sql) {
    return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  // The first column of the first row as a number; -1 when the query fails.
  int64_t number(const std::string &sql) {
    int64_t value = -1;
    each_row(sql, [&](sqlite3_stmt *row) { value = sqlite3_column_int64(row, 0); });
    return value;
  }
  // Calls row for every row; false when the query fails.
  bool each_row(const std::string &sql, const std::function<void(sqlite3_stmt *)> &row) {
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) return false;
    int result = SQLITE_ROW;
    while ((result = sqlite3_step(statement)) == SQLITE_ROW) row(statement);
    sqlite3_finalize(statement);
    return result == SQLITE_DONE;
  }

 private:
  sqlite3 *db_ = nullptr;
};

std::string column_bytes(sqlite3_stmt *row, int column) {
  const void *bytes = sqlite3_column_blob(row, column);
  int length = sqlite3_column_bytes(row, column);
  return bytes != nullptr ? std::string(static_cast<const char *>(bytes), length) : "";
}

// What a row must hold for one record as the client sent it.
struct ExpectedRow {
  int64_t timestamp;
  uint32_t flags, rc;
  std::string hostname, object, data;
};

uint64_t to_network64(uint64_t value) {
  return (static_cast<uint64_t>(htonl(static_cast<uint32_t>(value))) << 32) |
         htonl(static_cast<uint32_t>(value >> 32));
}

// Record i of client c, made of raw bytes: texts of every byte value and of
// every length up to the whole field, datalen 0, 256 and beyond, flags and rc
// at both ends, time stamps above 2^63. Integers in network byte order.
EventData raw_record(uint32_t c, uint32_t i, ExpectedRow &expected) {
  static constexpr uint32_t kDatalens[] = {0, 1, 255, 256, 257, 1000, 0xffffffffu, 100};
  static constexpr uint32_t kEnds[] = {0, 0xffffffffu, 1, 0x80000000u};
  EventData record = {};
  size_t host_length = (i + c) % (EVENTDATA_TEXT_SIZE + 1);
  size_t object_length = EVENTDATA_TEXT_SIZE - host_length;
  for (size_t k = 0; k < EVENTDATA_TEXT_SIZE; ++k) {
    // Bytes 1..255 up to the length, then a zero (and garbage after it).
    record.hostname[k] = static_cast<char>(k < host_length ? 1 + (i * 64 + k) % 255 : 0);
    record.object[k] = static_cast<char>(k < object_length ? 1 + (i * 7 + c + k) % 255 : 0);
  }
  if (host_length + 1 < EVENTDATA_TEXT_SIZE) record.hostname[host_length + 1] = 'x';
  for (size_t k = 0; k < EVENTDATA_DATA_SIZE; ++k) {
    record.data[k] = static_cast<unsigned char>(i + c + k);
  }
  uint32_t datalen = kDatalens[i % std::size(kDatalens)];
  expected.flags = kEnds[i % std::size(kEnds)];
  expected.rc = kEnds[(i + 1) % std::size(kEnds)];
  uint64_t timestamp = (1ull << 63) | (static_cast<uint64_t>(c) << 32) | i;
  if (c == 0 && i == 1) timestamp = ~0ull;  // the top; client 0's first record has 2^63
  expected.timestamp = static_cast<int64_t>(timestamp);
  expected.hostname.assign(record.hostname, host_length);
  expected.object.assign(record.object, object_length);
  expected.data.assign(reinterpret_cast<const char *>(record.data),
                       std::min<uint32_t>(datalen, EVENTDATA_DATA_SIZE));
  record.flags = htonl(expected.flags);
  record.rc = htonl(expected.rc);
  record.timestamp = to_network64(timestamp);
  record.datalen = htonl(datalen);
  return record;
}

std::string sqlite_config(const Daemon &daemon, const std::string &settings,
                          const std::string &extra = "") {
  return daemon.standard_config("QUEUESIZE 10\nQUEUEFLUSH 0.05\n" + extra +
                                module_line(SQLITE_MODULE, daemon.file("events.db") + settings));
}

TEST(DaemonSqlite, StoresEveryRecordExactlyAsSentOnceAndInOrderAcrossConnections) {
  Daemon daemon;
  ASSERT_TRUE(daemon.start(sqlite_config(daemon, "?batch=50&flush_ms=20")));
  constexpr uint32_t kClients = 3, kPerClient = 300;
  std::map<int64_t, std::pair<uint32_t, ExpectedRow>> expected;  // by timestamp
  std::vector<std::thread> senders;
  std::vector<std::vector<EventData>> sent(kClients);
  for (uint32_t c = 0; c < kClients; ++c) {
    for (uint32_t i = 0; i < kPerClient; ++i) {
      ExpectedRow row;
      sent[c].push_back(raw_record(c, i, row));
      expected[row.timestamp] = {c, row};
    }
  }
  ASSERT_EQ(expected.size(), kClients * kPerClient);
  int64_t before_us = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  for (uint32_t c = 0; c < kClients; ++c) {
    senders.emplace_back([&, c] {
      Client client(daemon.port());
      ASSERT_TRUE(client.connect());
      // In pieces, so that the connections interleave.
      for (uint32_t from = 0; from < kPerClient; from += 30) {
        ASSERT_TRUE(client.write(&sent[c][from], 30 * sizeof(EventData)));
      }
    });
  }
  for (std::thread &sender : senders) sender.join();
  EventsDb db(daemon.file("events.db"));
  ASSERT_TRUE(wait_for([&] {
    return db.number("SELECT count(*) FROM events") == kClients * kPerClient;
  })) << daemon.log();
  int64_t after_us = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
  std::vector<int64_t> last_id(kClients, 0);
  std::vector<uint32_t> next_index(kClients, 0);
  size_t rows = 0;
  ASSERT_TRUE(db.each_row(
      "SELECT id, received, timestamp, flags, rc, hostname, object, data, typeof(hostname), "
      "typeof(object), typeof(data) FROM events ORDER BY id",
      [&](sqlite3_stmt *row) {
        ++rows;
        auto found = expected.find(sqlite3_column_int64(row, 2));
        ASSERT_NE(found, expected.end()) << "row " << sqlite3_column_int64(row, 0);
        auto [client, want] = found->second;
        uint32_t index = static_cast<uint32_t>(sqlite3_column_int64(row, 2)) & 0xffff;
        if (want.timestamp == static_cast<int64_t>(~0ull)) index = 1;
        EXPECT_EQ(index, next_index[client]) << "client " << client;  // in order, each once
        next_index[client] = index + 1;
        EXPECT_GT(sqlite3_column_int64(row, 0), last_id[client]);
        last_id[client] = sqlite3_column_int64(row, 0);
        EXPECT_GE(sqlite3_column_int64(row, 1), before_us);
        EXPECT_LE(sqlite3_column_int64(row, 1), after_us);
        EXPECT_EQ(sqlite3_column_int64(row, 3), want.flags);
        EXPECT_EQ(sqlite3_column_int64(row, 4), want.rc);
        EXPECT_EQ(column_bytes(row, 5), want.hostname);
        EXPECT_EQ(column_bytes(row, 6), want.object);
        EXPECT_EQ(column_bytes(row, 7), want.data);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(sqlite3_column_text(row, 8))) +
                      reinterpret_cast<const char *>(sqlite3_column_text(row, 9)) +
                      reinterpret_cast<const char *>(sqlite3_column_text(row, 10)),
                  "texttextblob");
        expected.erase(found);
      }));
  EXPECT_EQ(rows, kClients * kPerClient);
  EXPECT_TRUE(expected.empty());
  EXPECT_EQ(daemon.log().find("rc="), std::string::npos) << daemon.log();
}

TEST(DaemonSqlite, AReaderQueriesTheDatabaseWhile200000RecordsStreamIn) {
  Daemon daemon;
  ASSERT_TRUE(daemon.start(daemon.standard_config(
      "QUEUEFLUSH 0.05\n" + module_line(SQLITE_MODULE, daemon.file("events.db")))));
  std::atomic<bool> streaming{true};
  std::atomic<int> reads{0}, failed_reads{0}, went_back{0};
  std::thread reader([&] {
    EventsDb db(daemon.file("events.db"));
    int64_t seen = 0;
    while (streaming.load()) {
      int64_t count = db.number("SELECT count(*) FROM events");
      int64_t recent =
          db.number("SELECT count(*) FROM events WHERE hostname = '127.0.0.1' AND received > 0");
      if (count < 0 || recent < 0) ++failed_reads;
      if (count < seen) ++went_back;
      seen = std::max(seen, count);
      ++reads;
    }
  });
  int status = run(target_command(ORVIKEVT_BENCH) + " -c " + cert("ca.pem") + " -p " +
                   std::to_string(daemon.port()) + " -j 4 -n 50000 -b 40 >" +
                   daemon.file("tool.out") + " 2>&1");
  EventsDb db(daemon.file("events.db"));
  bool all = wait_for([&] { return db.number("SELECT count(*) FROM events") == 200000; }, 120s);
  streaming = false;
  reader.join();
  ASSERT_EQ(exit_status(status), 0) << read_file(daemon.file("tool.out"));
  ASSERT_TRUE(all) << db.number("SELECT count(*) FROM events");
  EXPECT_GT(reads.load(), 1);
  EXPECT_EQ(failed_reads.load(), 0);
  EXPECT_EQ(went_back.load(), 0);
  EXPECT_EQ(db.number("SELECT max(id) - min(id) + 1 FROM events"), 200000);
  // Each generated stream (rc) complete and in order.
  std::map<int64_t, int64_t> next_position;
  int64_t out_of_order = 0;
  ASSERT_TRUE(db.each_row("SELECT rc, timestamp FROM events ORDER BY id", [&](sqlite3_stmt *row) {
    int64_t &next = next_position[sqlite3_column_int64(row, 0)];
    if (sqlite3_column_int64(row, 1) != next) ++out_of_order;
    next = sqlite3_column_int64(row, 1) + 1;
  }));
  EXPECT_EQ(next_position.size(), 4u);
  EXPECT_EQ(out_of_order, 0);
}

TEST(DaemonSqlite, TheOrderlyStopCommitsTheLastPartialBatch) {
  Daemon daemon;
  std::string counts = daemon.file("count.txt");
  // Without the stop the batch would wait a minute.
  ASSERT_TRUE(
      daemon.start(sqlite_config(daemon, "?batch=1000&flush_ms=60000",
                                 "SHUTDOWNDRAIN 10\n" + module_line(COUNT_MODULE, counts))));
  Client client(daemon.port());
  ASSERT_TRUE(client.connect());
  ASSERT_TRUE(client.send(records("h", "o", 0, 25)));
  // The counting module comes first: its count means the records reached
  // the database module too.
  ASSERT_TRUE(wait_for([&] { return read_file(counts).find("count=25\n") != std::string::npos; }));
  EventsDb db(daemon.file("events.db"));
  EXPECT_EQ(db.number("SELECT count(*) FROM events"), 0);
  daemon.signal(SIGTERM);
  EXPECT_EQ(daemon.wait_exit(), 0);
  EXPECT_EQ(db.number("SELECT count(*) FROM events"), 25);
  EXPECT_EQ(db.number("SELECT sum(timestamp) FROM events"), 24 * 25 / 2);
  EXPECT_NE(daemon.log().find("Drain complete: 25 events received since start, 0 not handed"),
            std::string::npos)
      << daemon.log();
}

TEST(DaemonSqlite, RetentionKeepsTheNewestRowsWhileEventsStreamIn) {
  Daemon daemon;
  ASSERT_TRUE(daemon.start(sqlite_config(daemon, "?max_rows=1000&batch=100&flush_ms=20")));
  EventsDb db(daemon.file("events.db"));
  std::atomic<bool> streaming{true};
  std::atomic<int64_t> most_rows{0};
  std::thread watcher([&] {
    EventsDb own(daemon.file("events.db"));
    while (streaming.load())
      most_rows = std::max(most_rows.load(), own.number("SELECT count(*) FROM events"));
  });
  int status = run(target_command(ORVIKEVT_BENCH) + " -c " + cert("ca.pem") + " -p " +
                   std::to_string(daemon.port()) + " -j 2 -n 10000 -b 40 >" +
                   daemon.file("tool.out") + " 2>&1");
  bool trimmed = wait_for([&] {
    return db.number("SELECT max(id) FROM events") == 20000 &&
           db.number("SELECT count(*) FROM events") == 1000;
  });
  streaming = false;
  watcher.join();
  ASSERT_EQ(exit_status(status), 0);
  EXPECT_TRUE(trimmed) << db.number("SELECT count(*) FROM events");
  EXPECT_EQ(db.number("SELECT min(id) FROM events"), 19001);
  // A step deletes two batches at most, after each batch.
  EXPECT_LE(most_rows.load(), 1000 + 100);
}

TEST(DaemonSqlite, AFullDatabaseHoldsIntakeBackAndStoresEverythingOnceThereIsRoom) {
  Daemon daemon;
  std::string path = daemon.file("events.db");
  {
    // The schema, then ballast that fills the pages the module may use.
    Daemon setup;
    ASSERT_TRUE(setup.start(setup.standard_config(module_line(SQLITE_MODULE, path))));
  }
  EventsDb db(path);
  ASSERT_TRUE(db.exec("CREATE TABLE ballast (b); INSERT INTO ballast VALUES (zeroblob(40000000))"));
  int64_t pages = db.number("PRAGMA page_count");
  ASSERT_TRUE(daemon.start(sqlite_config(
      daemon, "?batch=100&buffer=200&max_pages=" + std::to_string(pages), "MAXQUEUES 10\n")));
  std::atomic<bool> sent{false};
  std::thread sender([&] {
    run(target_command(ORVIKEVT_BENCH) + " -c " + cert("ca.pem") + " -p " +
        std::to_string(daemon.port()) + " -j 2 -n 50000 -b 40 >" + daemon.file("tool.out") +
        " 2>&1");
    sent = true;
  });
  ASSERT_TRUE(wait_for(
      [&] { return daemon.log().find("database or disk is full (13)") != std::string::npos; }));
  // Intake waits: the senders do not get their 100000 records (40 MB) out
  // meanwhile, far more than the daemon's queues and the sockets hold.
  std::this_thread::sleep_for(1s);
  EXPECT_FALSE(sent.load());
  EXPECT_EQ(db.number("SELECT count(*) FROM events"), 0);
  ASSERT_TRUE(db.exec("DELETE FROM ballast"));
  sender.join();
  ASSERT_TRUE(wait_for([&] { return db.number("SELECT count(*) FROM events") == 100000; }))
      << db.number("SELECT count(*) FROM events");
  EXPECT_EQ(db.number("SELECT count(DISTINCT rc || ':' || timestamp) FROM events"), 100000);
  EXPECT_NE(daemon.log().find("(orvik_sqlite) writing works again after "), std::string::npos);
}

TEST(DaemonSqlite, ADatabaseRemovedWithItsFolderWhileRunningIsMadeAgainWithEveryLaterRecord) {
  Daemon daemon;
  std::string folder = daemon.file("data");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  std::string path = folder + "/events.db";
  // The module's buffer holds everything sent while the folder is missing.
  ASSERT_TRUE(daemon.start(daemon.standard_config(
      "QUEUESIZE 10\nQUEUEFLUSH 0.05\nSHUTDOWNDRAIN 60\n" +
      module_line(SQLITE_MODULE, path + "?batch=100&flush_ms=20&buffer=10000"))));
  Client client(daemon.port());
  ASSERT_TRUE(client.connect());
  ASSERT_TRUE(client.send(records("h", "o", 0, 1000)));
  {
    EventsDb old(path);
    ASSERT_TRUE(wait_for([&] { return old.number("SELECT count(*) FROM events") == 1000; }));
  }
  ASSERT_EQ(std::system(("rm -rf '" + folder + "'").c_str()), 0);
  ASSERT_TRUE(client.send(records("h", "o", 1000, 5500)));
  ASSERT_TRUE(wait_for([&] {
    return daemon.log().find("(orvik_sqlite) writing failed, retrying: cannot open " + path) !=
           std::string::npos;
  })) << daemon.log();
  EXPECT_NE(daemon.log().find("(orvik_sqlite) " + path +
                              " was removed or replaced while open; making a new one\n"),
            std::string::npos)
      << daemon.log();
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_TRUE(wait_for([&] {
    return daemon.log().find("(orvik_sqlite) made a new " + path + "\n") != std::string::npos;
  })) << daemon.log();
  EventsDb db(path);
  ASSERT_TRUE(wait_for([&] { return db.number("SELECT count(*) FROM events") == 5500; }))
      << db.number("SELECT count(*) FROM events");
  daemon.signal(SIGTERM);
  EXPECT_EQ(daemon.wait_exit(), 0);
  EXPECT_EQ(db.number("SELECT count(DISTINCT timestamp) FROM events"), 5500);
  EXPECT_EQ(db.number("SELECT min(timestamp) FROM events"), 1000);
  EXPECT_EQ(db.number("SELECT max(timestamp) FROM events"), 6499);
}

}  // namespace

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new Certificates);
  return RUN_ALL_TESTS();
}

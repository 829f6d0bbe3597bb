// Unit tests of the daemon's pieces, run on EvtServer records of the tests'
// own: the log, the command line and configuration, module loading, the
// queue pool and its switch, the processing of records by modules, and the
// teardown of modules while the processing thread runs.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "evtserver.h"
// Queue sizes too large for memory must come back as failed allocations.
#include "sanitizer_options.h"
#include "test_files.h"
#include "text_escape.h"

namespace orvikevtd {
namespace {

using orvikevtd_test::count_of;
using orvikevtd_test::lines_of;
using orvikevtd_test::read_file;
using orvikevtd_test::TempDir;

// A record for the server under test, with its log in a temporary folder.
// Records that a processing thread uses are never freed: the thread runs on.
class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = new EvtServer;
    std::snprintf(server_->log_file, sizeof(server_->log_file), "%s", dir_.file("log").c_str());
    ASSERT_TRUE(log_open(*server_));
    server_->maxqueues = 0;
  }
  void TearDown() override {
    log_close(*server_);
    if (!keep_server_) {
      queues_deallocate(*server_);
      if (server_->inqcurrent != nullptr) squeue_free(&server_->inqcurrent);
      modules_cleanup(*server_);
      attribute_freeall(&server_->modattrib);
      delete server_;
    }
  }
  std::string log() {
    log_flush(*server_);
    return read_file(dir_.file("log"));
  }
  // Entries without their time stamps.
  std::vector<std::string> messages() { return orvikevtd_test::messages_of(log()); }

  TempDir dir_;
  EvtServer *server_ = nullptr;
  bool keep_server_ = false;
};

// ---- log ----

using LogTest = ServerTest;

// A module's count of committed records leaves out the ones it refused;
// the position counts past them and settles those right behind it.
TEST(RefusedPosition, CountsPastRefusedRecordsAndPrunesThePassedOnes) {
  RefusedRecords refused;
  refused.indices = {5, 7};
  EXPECT_EQ(refused_position(refused, 0), 0u);
  EXPECT_EQ(refused_position(refused, 3), 3u);
  EXPECT_EQ(refused_position(refused, 4), 5u);  // 1-4 durable, 5 refused
  EXPECT_EQ(refused.indices, (std::deque<uint64_t>{7}));
  EXPECT_EQ(refused_position(refused, 5), 7u);  // 1-4 and 6 durable, 7 refused
  EXPECT_TRUE(refused.indices.empty());
  EXPECT_EQ(refused_position(refused, 6), 8u);
  EXPECT_EQ(refused_position(refused, 9), 11u);
}

TEST(RefusedPosition, RefusedRecordsAtTheStartAndInARowAreSettledTogether) {
  RefusedRecords refused;
  refused.indices = {1, 2, 4, 5, 6};
  EXPECT_EQ(refused_position(refused, 0), 2u);
  EXPECT_EQ(refused_position(refused, 1), 6u);
  EXPECT_EQ(refused_position(refused, 2), 7u);
  refused.indices.push_back(9);
  EXPECT_EQ(refused_position(refused, 2), 7u);
  EXPECT_EQ(refused_position(refused, 3), 9u);
}

TEST_F(LogTest, EntryIsLocalTimeStampThenMessage) {
  EXPECT_EQ(log_entry(*server_, "Queue size set to %d\n", 50), 0);
  std::regex entry(R"(\d{4}-(0[1-9]|1[0-2])-[0-3]\d [0-2]\d:[0-5]\d:[0-6]\d Queue size set to 50)");
  std::vector<std::string> lines = lines_of(log());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(lines[0], entry)) << lines[0];
  time_t now = time(nullptr);
  struct tm local = {};
  localtime_r(&now, &local);
  char year[16];
  std::snprintf(year, sizeof(year), "%04d-", local.tm_year + 1900);
  EXPECT_EQ(lines[0].rfind(year, 0), 0u);
}

TEST_F(LogTest, PercentSignsInArgumentsAreWrittenVerbatim) {
  log_entry(*server_, "(%s) Module method returned rc=%d (host='%s' object='%s')\n", "/m.so", 7,
            "h%s%n%d", "100%");
  EXPECT_EQ(messages(), std::vector<std::string>{
                            "(/m.so) Module method returned rc=7 (host='h%s%n%d' object='100%')"});
}

TEST_F(LogTest, MessageLongerThan255IsCutWithoutNewline) {
  std::string long_text(300, 'x');
  log_entry(*server_, "%s\n", long_text.c_str());
  log_entry(*server_, "next\n");
  std::string content = log();
  std::vector<std::string> lines = lines_of(content);
  ASSERT_EQ(lines.size(), 1u);
  // Stamp (20 characters), 255 characters of the message, then the next
  // entry's stamp on the same line.
  EXPECT_EQ(lines[0].substr(20, 255), std::string(255, 'x'));
  EXPECT_TRUE(
      std::regex_match(lines[0].substr(275), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d next)")))
      << lines[0].substr(275);
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
int log_with_null_format(EvtServer *server, ...) {
  va_list args;
  va_start(args, server);
  const char *no_format = nullptr;
  int result = log_entry_v(*server, no_format, args);
  va_end(args);
  return result;
}
#pragma GCC diagnostic pop

TEST_F(LogTest, NullFormatOrClosedLogWritesNothing) {
  EXPECT_EQ(log_with_null_format(server_, 1), 1);
  log_close(*server_);
  EXPECT_EQ(log_entry(*server_, "after close\n"), 1);
  EXPECT_EQ(read_file(dir_.file("log")), "");
}

TEST_F(LogTest, EntriesFromSeveralThreadsStayWhole) {
  constexpr int kThreads = 4, kEntries = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kEntries; ++i) log_entry(*server_, "thread %d entry %d\n", t, i);
    });
  }
  for (std::thread &thread : threads) thread.join();
  std::regex entry(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d thread (\d) entry (\d+))");
  std::vector<int> next(kThreads, 0);
  std::vector<std::string> lines = lines_of(log());
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kEntries));
  for (const std::string &line : lines) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, entry)) << line;
    int thread = std::stoi(match[1]);
    EXPECT_EQ(std::stoi(match[2]), next[thread]++);
  }
}

TEST_F(LogTest, FlushLogWritesEachEntryOutAtOnce) {
  log_entry(*server_, "buffered\n");
  EXPECT_EQ(read_file(dir_.file("log")), "");
  server_->flags |= kFlagFlushLog;
  log_entry(*server_, "flushed\n");
  EXPECT_EQ(count_of(read_file(dir_.file("log")), "flushed\n"), 1u);
}

TEST_F(LogTest, StartUpWritesEveryEntryHoweverOftenItRepeats) {
  for (int i = 0; i < 20; ++i) log_entry(*server_, "Loading module: /m%d.so\n", i);
  EXPECT_EQ(messages().size(), 20u);
  log_summarize_left_out(*server_);
  EXPECT_EQ(count_of(log(), "Left out"), 0u);
}

TEST_F(LogTest, AFloodOfOneMessageIsCutToAFewLinesAndOneCount) {
  log_limit_repeats(*server_);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(log_entry(*server_, "openssl_comm_read(): rc=%d (client 192.0.2.%d)\n", 104, i), 0);
    if (i % 10 == 0) log_entry(*server_, "Handled %d connections so far.\n", i);
  }
  std::vector<std::string> written = messages();
  // The first occurrences keep their exact text; another message in between
  // has a count of its own.
  std::vector<std::string> expected;
  for (int i = 0; i < 5; ++i) {
    expected.push_back("openssl_comm_read(): rc=104 (client 192.0.2." + std::to_string(i) + ")");
    if (i == 0) expected.push_back("Handled 0 connections so far.");
  }
  for (int i = 10; i <= 40; i += 10) {
    expected.push_back("Handled " + std::to_string(i) + " connections so far.");
  }
  EXPECT_EQ(written, expected);
  // The count follows once the second has passed, with the last text left out.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  log_summarize_left_out(*server_);
  written = messages();
  ASSERT_EQ(written.size(), expected.size() + 2);
  EXPECT_EQ(count_of(log(),
                     "Left out 95 more lines like: openssl_comm_read(): rc=104 (client "
                     "192.0.2.99)\n"),
            1u);
  EXPECT_EQ(count_of(log(), "Left out 5 more lines like: Handled 90 connections so far.\n"), 1u);
  // A new second writes again; nothing left out, nothing counted.
  log_entry(*server_, "openssl_comm_read(): rc=%d (client 192.0.2.%d)\n", 104, 7);
  log_summarize_left_out(*server_);
  EXPECT_EQ(messages().back(), "openssl_comm_read(): rc=104 (client 192.0.2.7)");
  EXPECT_EQ(count_of(log(), "Left out"), 2u);
}

TEST_F(LogTest, TextsPassedThroughWholeAreToldApartByTheirText) {
  // Modules log "%s" with their own text: different texts are different
  // messages, the same text repeated is a flood.
  log_limit_repeats(*server_);
  for (int i = 0; i < 20; ++i)
    log_entry(*server_, "%s", ("module line " + std::to_string(i) + "\n").c_str());
  for (int i = 0; i < 20; ++i) log_entry(*server_, "%s", "the same module line\n");
  std::vector<std::string> written = messages();
  EXPECT_EQ(written.size(), 25u);
  EXPECT_EQ(written[19], "module line 19");
  // Counts still pending are written when the log closes.
  log_close(*server_);
  EXPECT_EQ(
      count_of(read_file(dir_.file("log")), "Left out 15 more lines like: the same module line\n"),
      1u);
}

TEST_F(LogTest, ReopenWritesOnInTheFileAtThePath) {
  log_entry(*server_, "before\n");
  ASSERT_EQ(std::rename(dir_.file("log").c_str(), dir_.file("log.1").c_str()), 0);
  log_entry(*server_, "renamed, not yet reopened\n");
  ASSERT_EQ(log_reopen(*server_), 0);
  log_entry(*server_, "after\n");
  EXPECT_EQ(orvikevtd_test::messages_of(read_file(dir_.file("log.1"))),
            (std::vector<std::string>{"before", "renamed, not yet reopened"}));
  EXPECT_EQ(messages(), std::vector<std::string>{"after"});
  // A path that cannot be opened leaves the log as it was.
  server_->log_path = dir_.file("missing/log");
  EXPECT_EQ(log_reopen(*server_), ENOENT);
  log_entry(*server_, "still here\n");
  EXPECT_EQ(messages(), (std::vector<std::string>{"after", "still here"}));
}

// ---- command line ----

class CommandLineTest : public ServerTest {
 protected:
  int parse(std::vector<std::string> args) {
    args.insert(args.begin(), "orvikevtd");
    std::vector<char *> argv;
    for (std::string &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    optind = 0;  // glibc: start a new scan
    return parse_command_line(*server_, static_cast<int>(args.size()), argv.data());
  }
};

constexpr const char *kUsageText =
    "\norvikevtd - Information Server\n"
    " Options:\n"
    "   -D\t\t   Orvikevtd will not daemonize itself.\n"
    "   -f configfile   Specifies the path to the configuration file to use.\n"
    "   -h\t\t   This help screen.\n"
    "   -l logfile\t   Specifies the path to the log file to use.\n"
    "   -t\t\t   Check the configuration, print its problems and exit.\n"
    "   -V\t\t   Display version information and exit.\n\n";

TEST_F(CommandLineTest, PathsAreCutTo255AndLaterOptionsWin) {
  EXPECT_EQ(parse({"-f", std::string(300, 'c'), "-l", "/first", "-l", "/second"}), -1);
  EXPECT_EQ(std::string(server_->config_file), std::string(255, 'c'));
  EXPECT_STREQ(server_->log_file, "/second");
}

TEST_F(CommandLineTest, ForegroundOptionSetsFlagAndSaysSo) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(parse({"-D"}), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Not daemonizing.\n");
  EXPECT_EQ(server_->flags & kFlagForeground, kFlagForeground);
}

TEST_F(CommandLineTest, HelpAndVersionStopAtOnceWithStatus0) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(parse({"-h", "-f", "/never"}), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), kUsageText);
  EXPECT_STREQ(server_->config_file, "");
  testing::internal::CaptureStdout();
  EXPECT_EQ(parse({"-V"}), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\norvikevtd - version 0.9.6\n\n");
}

TEST_F(CommandLineTest, LongOptionsAreTheAliasesOfHelpAndVersion) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(parse({"--help"}), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), kUsageText);
  testing::internal::CaptureStdout();
  EXPECT_EQ(parse({"--version", "-h"}), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\norvikevtd - version 0.9.6\n\n");
}

TEST_F(CommandLineTest, CheckOptionOnlyMarksTheRunAsACheck) {
  EXPECT_EQ(parse({"-t", "-f", "/c"}), -1);
  EXPECT_TRUE(server_->check_only);
  EXPECT_STREQ(server_->config_file, "/c");
}

TEST_F(CommandLineTest, UnknownOptionPrintsUsageWithStatus255) {
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  EXPECT_EQ(parse({"-x"}), 255);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), kUsageText);
  testing::internal::GetCapturedStderr();
}

// ---- configuration ----

class ConfigTest : public ServerTest {
 protected:
  int read(const std::string &text) {
    std::string path = dir_.file("conf");
    std::ofstream(path) << text;
    std::snprintf(server_->config_file, sizeof(server_->config_file), "%s", path.c_str());
    server_->maxqueues = -1;
    return read_configuration(*server_);
  }
  const char *option(const char *name) {
    return attribute_get_value(server_->modattrib, const_cast<char *>(name));
  }
};

TEST_F(ConfigTest, KeysAloneKeepEveryDefault) {
  ASSERT_EQ(read("PUBLICKEY /c.pem\nPRIVATEKEY /k.pem\n"), 0);
  EXPECT_STREQ(option("SSLCertificateFile"), "/c.pem");
  EXPECT_STREQ(option("SSLPrivateKeyFile"), "/k.pem");
  EXPECT_EQ(server_->serverport, 5011);
  EXPECT_EQ(server_->queuesize, 10);
  EXPECT_EQ(server_->queuecount, 10);
  EXPECT_EQ(server_->maxqueues, 1024);
  EXPECT_EQ(server_->queueflush, 0);
  EXPECT_EQ(server_->flags, 0ul);
  EXPECT_STREQ(server_->eventaddress, "");
  EXPECT_EQ(server_->maxconnections, 1024);
  EXPECT_EQ(stats_period(*server_), 0);
  EXPECT_EQ(log(), "");
}

TEST_F(ConfigTest, MissingKeysEndStartUpWithStatus2NamingTheFile) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(read("PRIVATEKEY /k.pem\n"), 2);
  std::string conf = dir_.file("conf");
  std::vector<std::string> expected = {conf + ": no PUBLICKEY line (the server certificate).",
                                       "Failed to find PUBLICKEY directive."};
  EXPECT_EQ(messages(), expected);
  attribute_freeall(&server_->modattrib);
  EXPECT_EQ(read("PUBLICKEY /c.pem\n"), 2);
  EXPECT_EQ(messages().back(), "Failed to find PRIVATEKEY directive.");
  EXPECT_EQ(server_->modattrib, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "orvikevtd: " + conf + ": no PUBLICKEY line (the server certificate).\norvikevtd: " +
                conf + ": no PRIVATEKEY line (the certificate's key).\n");
}

TEST_F(ConfigTest, MissingFileEndsStartUpWithStatus2NamingTheFileAndWhy) {
  std::snprintf(server_->config_file, sizeof(server_->config_file), "%s",
                dir_.file("absent").c_str());
  testing::internal::CaptureStderr();
  EXPECT_EQ(read_configuration(*server_), 2);
  std::string detail =
      "cannot open configuration file " + dir_.file("absent") + ": No such file or directory";
  EXPECT_EQ(messages(), (std::vector<std::string>{detail, "Failed to open configuration file."}));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "orvikevtd: " + detail + "\n");
}

TEST_F(ConfigTest, KeyWithoutValueAddsOptionWithoutValue) {
  ASSERT_EQ(read("PUBLICKEY\nPRIVATEKEY /k.pem\n"), 0);
  EXPECT_NE(attribute_find(server_->modattrib, const_cast<char *>("SSLCertificateFile")), nullptr);
  EXPECT_EQ(option("SSLCertificateFile"), nullptr);
}

TEST_F(ConfigTest, OptionalDirectivesAreReadAndLogged) {
  ASSERT_EQ(read("PUBLICKEY /c.pem\nPRIVATEKEY /k.pem\nEVENTPORT 6000\nEVENTPORT 7000\n"
                 "QUEUESIZE 50\nFLUSHLOG yes\nCLIENTCA /ca.pem\nMAXQUEUES 40\nQUEUEFLUSH 2\n"),
            0);
  EXPECT_EQ(server_->serverport, 6000);
  EXPECT_EQ(server_->queuesize, 50);
  EXPECT_EQ(server_->flags, kFlagFlushLog);
  EXPECT_STREQ(option("SSLCACertificateFile"), "/ca.pem");
  EXPECT_EQ(server_->maxqueues, 40);
  EXPECT_EQ(server_->queueflush, 2.0);
  std::vector<std::string> expected = {
      dir_.file("conf") + ":4: EVENTPORT given again: line 3 is used, this line is ignored.",
      "Listener will be setup on port 6000",
      "Queue size set to 50",
      "Log entries will be flushed.",
      "Clients must present a certificate signed by /ca.pem",
      "Queue pool limited to 40 queues (0: no limit)",
      "Partly filled queues handed over after 2 seconds (0: never)"};
  EXPECT_EQ(messages(), expected);
}

TEST_F(ConfigTest, CharactersAfterANumberAreReadLikeStrtolAndWarnedAbout) {
  ASSERT_EQ(read("PUBLICKEY a\nPRIVATEKEY b\nEVENTPORT 5022x\nQUEUESIZE 12abc\nFLUSHLOG no\n"
                 "QUEUEFLUSH 0.5s\n"),
            0);
  EXPECT_EQ(server_->serverport, 5022);
  EXPECT_EQ(server_->queuesize, 12);
  EXPECT_EQ(server_->flags, 0ul);
  EXPECT_EQ(server_->queueflush, 0.5);
  std::string conf = dir_.file("conf");
  std::vector<std::string> expected = {
      conf + ":3: EVENTPORT 5022x: the characters after the number are ignored.",
      "Listener will be setup on port 5022",
      conf + ":4: QUEUESIZE 12abc: the characters after the number are ignored.",
      "Queue size set to 12",
      conf + ":6: QUEUEFLUSH 0.5s: the characters after the number are ignored.",
      "Partly filled queues handed over after 0.5 seconds (0: never)"};
  EXPECT_EQ(messages(), expected);
}

// Each value that cannot work ends start-up with status 2 and a line, in the
// log and on standard error, naming the directive and the text.
TEST_F(ConfigTest, NumbersThatCannotWorkEndStartUpNamingDirectiveAndText) {
  struct Case {
    const char *line;
    const char *expected;
  };
  for (const Case &c : {
           Case{"EVENTPORT abc", "a whole number from 1 to 65535"},
           Case{"EVENTPORT 0", "a whole number from 1 to 65535"},
           Case{"EVENTPORT 99999", "a whole number from 1 to 65535"},
           Case{"EVENTPORT -1", "a whole number from 1 to 65535"},
           Case{"QUEUESIZE 0", "a whole number from 1 to 2147483647"},
           Case{"QUEUESIZE -5", "a whole number from 1 to 2147483647"},
           Case{"QUEUESIZE 4294967306", "a whole number from 1 to 2147483647"},
           Case{"QUEUESIZE 99999999999999999999", "a whole number from 1 to 2147483647"},
           Case{"MAXQUEUES -3", "a whole number of at least 0"},
           Case{"MAXQUEUES many", "a whole number of at least 0"},
           Case{"MAXCONNECTIONS -5", "a whole number of at least 0"},
           Case{"MAXSTREAMS -1", "a whole number of at least 0"},
           Case{"QUEUEFLUSH nan", "seconds from 0 to 3.1536e+07"},
           Case{"QUEUEFLUSH inf", "seconds from 0 to 3.1536e+07"},
           Case{"QUEUEFLUSH -1", "seconds from 0 to 3.1536e+07"},
           Case{"QUEUEFLUSH soon", "seconds from 0 to 3.1536e+07"},
           Case{"STATSINTERVAL 0.0000001", "0 or seconds from 0.1 to 3.1536e+07"},
           Case{"STATSINTERVAL soon", "0 or seconds from 0.1 to 3.1536e+07"},
           Case{"SHUTDOWNDRAIN -3", "seconds of at least 0"},
           Case{"SHUTDOWNDRAIN nan", "seconds of at least 0"},
           Case{"REQUIREMODULES maybe", "yes or no"},
       }) {
    SCOPED_TRACE(c.line);
    attribute_freeall(&server_->modattrib);
    testing::internal::CaptureStderr();
    ASSERT_EQ(read(std::string("PUBLICKEY a\nPRIVATEKEY b\n") + c.line + "\n"), 2);
    std::string line =
        dir_.file("conf") + ":3: " + c.line + " cannot work: expected " + c.expected + ".";
    std::vector<std::string> logged = messages();
    ASSERT_GE(logged.size(), 2u);
    EXPECT_EQ(logged[logged.size() - 2], line);
    EXPECT_EQ(logged.back(), "Failed to read the configuration: 1 value cannot work.");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "orvikevtd: " + line + "\n");
    EXPECT_EQ(server_->modattrib, nullptr);
  }
}

TEST_F(ConfigTest, EveryValueThatCannotWorkIsNamedAndNoModuleIsLoaded) {
  testing::internal::CaptureStderr();
  ASSERT_EQ(read(std::string("PUBLICKEY a\nPRIVATEKEY b\nEVENTPORT 0\nQUEUEFLUSH -1\nMODULE ") +
                 RECORDER_A + " " + dir_.file("records") + "\n"),
            2);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(count_of(log(), "cannot work: expected"), 2u);
  EXPECT_EQ(messages().back(), "Failed to read the configuration: 2 values cannot work.");
  EXPECT_EQ(count_of(log(), "Loading module"), 0u);
}

TEST_F(ConfigTest, UnknownLowerCaseRepeatedAndOverlongLinesAreWarnedWithTheirNumbers) {
  ASSERT_EQ(read("# a comment\nPUBLICKEY a\nPRIVATEKEY b extra\nQUEUFLUSH 1\neventport 6000\n"
                 "\nEVENTPORT 6001\nEVENTPORT 6002\nMODULE\n"),
            0);
  EXPECT_EQ(server_->serverport, 6001);
  std::string conf = dir_.file("conf");
  std::vector<std::string> expected = {
      conf + ":3: text after the value of PRIVATEKEY ignored: extra",
      conf + ":4: unknown directive QUEUFLUSH ignored.",
      conf + ":5: eventport ignored: directives are upper case (EVENTPORT).",
      conf + ":8: EVENTPORT given again: line 7 is used, this line is ignored.",
      "Listener will be setup on port 6001",
      "No module path specified."};
  EXPECT_EQ(messages(), expected);
}

// Every directive the sample configuration names, set or commented out, is
// one the reader knows.
TEST_F(ConfigTest, EveryDirectiveOfTheSampleConfigurationIsKnown) {
  std::string config = "PUBLICKEY a\nPRIVATEKEY b\n";
  std::regex directive_line("^#?([A-Z][A-Z0-9]+) .*");
  size_t named = 0;
  for (const std::string &line : lines_of(read_file(SAMPLE_CONFIG))) {
    std::smatch match;
    if (!std::regex_match(line, match, directive_line)) continue;
    std::string name = match[1];
    if (name == "PUBLICKEY" || name == "PRIVATEKEY" || name == "MODULE") continue;
    config += name + "\n";  // without a value: changes nothing
    ++named;
  }
  EXPECT_GE(named, 10u);
  ASSERT_EQ(read(config), 0);
  EXPECT_EQ(log(), "");
}

TEST_F(ConfigTest, ModuleLinesTakeAnArgumentAndRepeatWithoutWarnings) {
  ASSERT_EQ(
      read("PUBLICKEY a\nPRIVATEKEY b\nMODULE /absent/a.so arg\nMODULE /absent/b.so arg more\n"),
      0);
  std::string conf = dir_.file("conf");
  std::vector<std::string> logged = messages();
  EXPECT_EQ(logged[0], conf + ":4: text after the value of MODULE ignored: more");
  EXPECT_EQ(count_of(log(), "given again"), 0u);
}

TEST_F(ConfigTest, ShutdownDrainTakesFractionsAndLongerTimesAreCutToAYear) {
  ASSERT_EQ(read("PUBLICKEY a\nPRIVATEKEY b\n"), 0);
  EXPECT_EQ(server_->shutdowndrain, 0);
  struct Case {
    const char *value;
    double seconds;
    const char *logged;
  };
  for (const Case &c :
       {Case{"0.25", 0.25, "0.25"}, Case{"10", 10, "10"}, Case{"0", 0, "0"},
        // Longer than a year, infinity too: a year, never no drain.
        Case{"1e30", 86400.0 * 365, "3.1536e+07"}, Case{"inf", 86400.0 * 365, "3.1536e+07"}}) {
    SCOPED_TRACE(c.value);
    server_->shutdowndrain = 0;
    attribute_freeall(&server_->modattrib);
    ASSERT_EQ(read(std::string("PUBLICKEY a\nPRIVATEKEY b\nSHUTDOWNDRAIN ") + c.value + "\n"), 0);
    EXPECT_EQ(server_->shutdowndrain, c.seconds);
    EXPECT_EQ(messages().back(),
              std::string("Orderly stop hands held events to the modules within ") + c.logged +
                  " seconds (0: stop at once)");
  }
}

TEST_F(ConfigTest, AddressConnectionCapAndStatisticsAreReadAndLogged) {
  ASSERT_EQ(read("PUBLICKEY a\nPRIVATEKEY b\nEVENTADDRESS ::1\nMAXCONNECTIONS 0\n"
                 "STATSINTERVAL 0.5\nSTATSFILE /run/o.prom\n"),
            0);
  EXPECT_STREQ(server_->eventaddress, "::1");
  EXPECT_EQ(server_->maxconnections, 0);
  EXPECT_EQ(stats_period(*server_), 0.5);
  std::vector<std::string> expected = {"Listener will be setup on address ::1",
                                       "Connections limited to 0 (0: no limit)",
                                       "Statistics logged every 0.5 seconds (0: never)",
                                       "Statistics file /run/o.prom written every 0.5 seconds"};
  EXPECT_EQ(messages(), expected);
}

TEST_F(ConfigTest, PerAddressCapAndTimeoutsAreReadAndLogged) {
  ASSERT_EQ(read("PUBLICKEY a\nPRIVATEKEY b\n"), 0);
  EXPECT_EQ(server_->maxperaddress, 0);
  EXPECT_EQ(server_->idletimeout, 0);
  EXPECT_EQ(server_->handshaketimeout, 0);
  attribute_freeall(&server_->modattrib);
  ASSERT_EQ(read("PUBLICKEY a\nPRIVATEKEY b\nMAXCONNECTIONSPERADDRESS 64\nIDLETIMEOUT 300\n"
                 "HANDSHAKETIMEOUT 2.5\n"),
            0);
  EXPECT_EQ(server_->maxperaddress, 64);
  EXPECT_EQ(server_->idletimeout, 300);
  EXPECT_EQ(server_->handshaketimeout, 2.5);
  std::vector<std::string> expected = {
      "Connections per client address limited to 64 (0: no limit)",
      "Connections that send no event for 300 seconds are closed (0: never)",
      "Handshakes not finished within 2.5 seconds are closed"};
  EXPECT_EQ(messages(), expected);
  // A negative cap cannot work; 0 is no idle timeout and the comm layer's
  // 10 s for handshakes; a handshake time is at most 2000 s, which a 32-bit
  // long still holds in microseconds.
  attribute_freeall(&server_->modattrib);
  EXPECT_EQ(read("PUBLICKEY a\nPRIVATEKEY b\nMAXCONNECTIONSPERADDRESS -1\n"), 2);
  attribute_freeall(&server_->modattrib);
  server_->maxperaddress = 64;
  ASSERT_EQ(read("PUBLICKEY a\nPRIVATEKEY b\nIDLETIMEOUT 0\nHANDSHAKETIMEOUT 0\n"), 0);
  EXPECT_EQ(server_->maxperaddress, 64);
  EXPECT_EQ(server_->idletimeout, 0);
  EXPECT_EQ(server_->handshaketimeout, 0);
  EXPECT_EQ(messages().back(), "Handshakes not finished within 10 seconds are closed");
  attribute_freeall(&server_->modattrib);
  ASSERT_EQ(read("PUBLICKEY a\nPRIVATEKEY b\nHANDSHAKETIMEOUT 1e9\n"), 0);
  EXPECT_EQ(server_->handshaketimeout, 2000);
  EXPECT_LE(server_->handshaketimeout * 1e6, static_cast<double>(INT32_MAX));
}

TEST_F(ConfigTest, StreamTableBoundIsRead) {
  ASSERT_EQ(read("PUBLICKEY a\nPRIVATEKEY b\nMAXSTREAMS 500\n"), 0);
  EXPECT_EQ(server_->ack.maxstreams, 500);
  // The daemon selects the acknowledged protocol whenever a client offers it.
  EXPECT_STREQ(option("ALPNProtocols"), "orvik-ack/1");
  EXPECT_EQ(messages(),
            std::vector<std::string>{"Acknowledged streams remembered: at most 500 (0: no limit)"});
  EvtServer other;
  EXPECT_EQ(other.ack.maxstreams, 100000);
}

TEST_F(ConfigTest, StatisticsFileAloneIsWrittenEverySecond) {
  ASSERT_EQ(read("PUBLICKEY a\nPRIVATEKEY b\nSTATSFILE /run/o.prom\n"), 0);
  EXPECT_EQ(server_->maxconnections, 1024);
  EXPECT_EQ(server_->statsinterval, 0);
  EXPECT_EQ(stats_period(*server_), 1.0);
  std::vector<std::string> expected = {"Statistics file /run/o.prom written every 1 seconds"};
  EXPECT_EQ(messages(), expected);
}

TEST_F(ConfigTest, TheDefaultCapCountsEachQueueItemWithItsOrigin) {
  // 1000 items of a record and its 24-byte origin: 64 MiB hold 155 such
  // queues (164 when counted as bare records).
  ASSERT_EQ(read("PUBLICKEY a\nPRIVATEKEY b\nQUEUESIZE 1000\n"), 0);
  EXPECT_EQ(server_->maxqueues, static_cast<long>((64ul << 20) / (1000 * 432)));
}

TEST_F(ConfigTest, CapBelowTheInitialQueuesMeansTheInitialQueues) {
  ASSERT_EQ(read("PUBLICKEY a\nPRIVATEKEY b\nMAXQUEUES 3\n"), 0);
  EXPECT_EQ(server_->maxqueues, 10);
}

TEST_F(ConfigTest, DirectiveWithoutValueChangesNothing) {
  ASSERT_EQ(read("PUBLICKEY a\nPRIVATEKEY b\nEVENTPORT\nQUEUESIZE\nFLUSHLOG\nMAXQUEUES\n"), 0);
  EXPECT_EQ(server_->serverport, 5011);
  EXPECT_EQ(server_->queuesize, 10);
  EXPECT_EQ(server_->flags, 0ul);
  EXPECT_EQ(log(), "");
}

TEST(DefaultMaxQueuesTest, CapsCountAndBytes) {
  EXPECT_EQ(default_max_queues(10, 408), 1024);
  EXPECT_EQ(default_max_queues(1000, 408), static_cast<long>((64ul << 20) / 408000));
  EXPECT_EQ(default_max_queues(100000, 408), 10);
  EXPECT_EQ(default_max_queues(0, 408), 1024);
}

// ---- module loading ----

class ModuleTest : public ServerTest {
 protected:
  void load(const std::string &line) {
    std::string copy = line;
    load_module_line(*server_, copy.data());
  }
  std::vector<OrvikEHModule *> modules() {
    std::vector<OrvikEHModule *> result;
    MutexLock lock(&server_->modmutex);
    for (SList *node = server_->modlist; node != nullptr; node = slist_get_next(node)) {
      result.push_back(static_cast<OrvikEHModule *>(slist_get_data(node)));
    }
    return result;
  }
  std::string record_file() { return dir_.file("records"); }
  std::vector<std::string> records() { return lines_of(read_file(record_file())); }
};

TEST_F(ModuleTest, LinesThatLoadNothingSayWhy) {
  load("MODULE");
  load(std::string("MODULE ") + dir_.file("absent.so"));
  load(std::string("MODULE ") + TARNU_LIBRARY);
  load(std::string("MODULE ") + RECORDER_A);  // no argument: module_init fails
  std::vector<std::string> expected = {
      "No module path specified.",
      "Loading module: " + dir_.file("absent.so"),
      "Failed to open module.",
      "dlopen(): " + dir_.file("absent.so") +
          ": cannot open shared object file: No such file or directory",
      std::string("Loading module: ") + TARNU_LIBRARY,
      "Failed to locate module symbols.",
      "dlsym(): missing module_init handle_event module_cleanup",
      std::string("Loading module: ") + RECORDER_A,
      "Calling module_init() failed.",
      "module_init() returned 22"};
  EXPECT_EQ(messages(), expected);
  EXPECT_TRUE(modules().empty());
}

// With REQUIREMODULES yes the first MODULE line that loads nothing ends
// start-up, and the modules loaded before it are cleaned up again.
TEST_F(ConfigTest, RequiredModuleThatFailsEndsStartUpAndUnloadsTheOthers) {
  std::string records = dir_.file("records");
  std::string config = std::string("PUBLICKEY a\nPRIVATEKEY b\nREQUIREMODULES yes\nMODULE ") +
                       RECORDER_A + " " + records + "\nMODULE " + dir_.file("absent.so") +
                       "\nMODULE " + RECORDER_B + " " + records + "\n";
  testing::internal::CaptureStderr();
  ASSERT_EQ(read(config), 2);
  std::string err = testing::internal::GetCapturedStderr();
  std::string line =
      dir_.file("conf") +
      ":5: a module is required (REQUIREMODULES yes): dlopen(): " + dir_.file("absent.so") +
      ": cannot open shared object file: No such file or directory";
  EXPECT_EQ(messages().back(), line.substr(0, 255));
  EXPECT_EQ(err, "orvikevtd: " + line + "\n");
  EXPECT_EQ(lines_of(read_file(records)),
            (std::vector<std::string>{"A init " + records, "A cleanup"}));
  MutexLock lock(&server_->modmutex);
  EXPECT_EQ(server_->modlist, nullptr);
}

TEST_F(ConfigTest, RequiredModulesWithoutAModuleEndStartUp) {
  testing::internal::CaptureStderr();
  ASSERT_EQ(read("PUBLICKEY a\nPRIVATEKEY b\nREQUIREMODULES yes\n"), 2);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(messages().back(),
            dir_.file("conf") + ": REQUIREMODULES is yes, and no MODULE line loads a module.");
}

TEST_F(ConfigTest, ModulesNotRequiredAFailingLineIsSkippedAsBefore) {
  std::string records = dir_.file("records");
  ASSERT_EQ(read(std::string("PUBLICKEY a\nPRIVATEKEY b\nREQUIREMODULES no\nMODULE ") +
                 dir_.file("absent.so") + "\nMODULE " + RECORDER_A + " " + records + "\n"),
            0);
  EXPECT_FALSE(server_->requiremodules);
  EXPECT_EQ(messages().back(), "Module loaded successfully.");
}

TEST_F(ModuleTest, OnlyTheFirstArgumentReachesModuleInit) {
  load(std::string("MODULE ") + RECORDER_A + " " + record_file() + " second third");
  ASSERT_EQ(modules().size(), 1u);
  EXPECT_STREQ(modules()[0]->moduleargs, record_file().c_str());
  EXPECT_EQ(records(), std::vector<std::string>{"A init " + record_file()});
  EXPECT_EQ(messages().back(), "Module loaded successfully.");
}

EventData make_record(const char *host, const char *object, uint64_t timestamp) {
  EventData record = {};
  std::snprintf(record.hostname, sizeof(record.hostname), "%s", host);
  std::snprintf(record.object, sizeof(record.object), "%s", object);
  record.timestamp = timestamp;
  return record;
}

TEST_F(ModuleTest, EachRecordReachesEveryModuleInLoadOrder) {
  load(std::string("MODULE ") + RECORDER_A + " " + record_file());
  load(std::string("MODULE ") + RECORDER_B + " " + record_file());
  for (uint64_t i = 0; i < 3; ++i) {
    EventData record = make_record("h", "o", i);
    processing_deliver(*server_, &record);
  }
  std::vector<std::string> expected = {"A init " + record_file(),
                                       "B init " + record_file(),
                                       "A h o 0",
                                       "B h o 0",
                                       "A h o 1",
                                       "B h o 1",
                                       "A h o 2",
                                       "B h o 2"};
  EXPECT_EQ(records(), expected);
  EXPECT_EQ(modules()[0]->eventsprocessed, 3ul);
}

TEST_F(ModuleTest, NonZeroResultIsLoggedAndLaterModulesStillGetTheRecord) {
  load(std::string("MODULE ") + RECORDER_A + " " + record_file());
  load(std::string("MODULE ") + RECORDER_B + " " + record_file());
  EventData record = make_record("host%s", "fail7", 5);
  processing_deliver(*server_, &record);
  std::string expected_a = std::string("(") + RECORDER_A +
                           ") Module method returned rc=7 (host='host%s' object='fail7')";
  std::string expected_b = std::string("(") + RECORDER_B +
                           ") Module method returned rc=7 (host='host%s' object='fail7')";
  std::vector<std::string> logged = messages();
  ASSERT_GE(logged.size(), 2u);
  EXPECT_EQ(logged[logged.size() - 2], expected_a);
  EXPECT_EQ(logged.back(), expected_b);
  EXPECT_EQ(records().back(), "B host%s fail7 5");
  EXPECT_EQ(modules()[0]->counters.events, 1u);
  EXPECT_EQ(modules()[0]->counters.errors, 1u);
  EXPECT_EQ(server_->processing.handled, 1u);
}

// The one escaping of client text: every byte that could end or start a
// line, or a quoted text, is escaped, and a buffer too small is cut at a
// whole escape, never in the middle of one.
TEST(TextEscape, EscapesEveryByteThatIsNotPrintableAndCutsAtAWholeEscape) {
  char out[orvikevt::EscapedSize(8)];
  EXPECT_EQ(orvikevt::EscapeText(std::string_view("a\n\"\\\t\r\x7f\xff", 8), out), 19u);
  EXPECT_STREQ(out, "a\\n\\\"\\\\\\t\\r\\x7f\\xff");
  EXPECT_EQ(orvikevt::EscapeText(std::string_view("ok\0x", 4), out), 7u);
  EXPECT_STREQ(out, "ok\\x00x");
  char small[6];
  EXPECT_EQ(orvikevt::EscapeText("ab\x01", small), 2u);  // "\x01" would not fit
  EXPECT_STREQ(small, "ab");
  EXPECT_EQ(orvikevt::EscapeText("abc", std::span<char>()), 0u);
  char field[4] = {'a', 'b', 'c', 'd'};  // no terminating zero
  EXPECT_EQ(orvikevt::TextField(field), "abcd");
}

// A client chose the host name and object: a line feed in them must not
// start a line of its own in the log.
TEST_F(ModuleTest, FailureLineEscapesAForgedLineFeedInTheClientsText) {
  load(std::string("MODULE ") + RECORDER_A + " " + record_file());
  EventData record = make_record("h\n2026-01-01 00:00:00 Server shutdown.\r\x01", "fail7", 5);
  processing_deliver(*server_, &record);
  std::string expected = std::string("(") + RECORDER_A +
                         ") Module method returned rc=7 (host='h\\n2026-01-01 00:00:00 Server "
                         "shutdown.\\r\\x01' object='fail7')";
  EXPECT_EQ(messages().back(), expected);
  EXPECT_EQ(count_of(log(), "Server shutdown."), 1u);
  EXPECT_EQ(lines_of(log()).size(), messages().size());
}

TEST_F(ModuleTest, FiguresArePublishedWhenDueAndBeforeTheThreadWaits) {
  server_->statsinterval = 1;
  load(std::string("MODULE ") + RECORDER_A + " " + record_file() + ",20");
  stats_prepare(*server_);
  auto published = [this] {
    MutexLock lock(&server_->statsmutex);
    return server_->published;
  };
  EventData record = make_record("h", "o", 1);
  int64_t now = processing_deliver(*server_, &record);
  stats_publish(*server_, now, false);  // the first is due at once
  EXPECT_EQ(published().handled, 1u);
  processing_deliver(*server_, &record);
  stats_publish(*server_, now + 1, false);  // not due yet
  EXPECT_EQ(published().handled, 1u);
  stats_publish(*server_, now + 1, true);  // the thread is about to wait
  EvtServer::Published figures = published();
  EXPECT_EQ(figures.handled, 2u);
  ASSERT_EQ(figures.modules.size(), 1u);
  EXPECT_EQ(figures.modules[0].events, 2u);
  EXPECT_EQ(figures.modules[0].errors, 0u);
  // Two calls of at least 20 microseconds each.
  EXPECT_GE(figures.modules[0].nanoseconds, 40000u);
}

TEST_F(ModuleTest, MeanTimeIsLoggedAfterEvery10000Records) {
  load(std::string("MODULE ") + RECORDER_A + " " + record_file() + ",20");
  EventData record = make_record("h", "o", 0);
  for (int i = 0; i < 9999; ++i) processing_deliver(*server_, &record);
  EXPECT_EQ(count_of(log(), "Module processing avg"), 0u);
  processing_deliver(*server_, &record);
  std::smatch match;
  std::string content = log();
  std::regex mean("\\(" + std::string(RECORDER_A) +
                  "\\) Module processing avg = (\\d+) usec/event");
  ASSERT_TRUE(std::regex_search(content, match, mean)) << content;
  EXPECT_GE(std::stoul(match[1]), 20ul);
  EXPECT_EQ(modules()[0]->usecondssum, 0ul);
  EXPECT_EQ(modules()[0]->eventsprocessed, 10000ul);
}

TEST_F(ModuleTest, MeanTimeSumsPast32BitsAreNotCut) {
  // 9999 records that took just under 2^32 microseconds in all (a module
  // that waited 72 minutes), then one of a millisecond.
  load(std::string("MODULE ") + RECORDER_A + " " + record_file() + ",1000");
  OrvikEHModule *module = modules()[0];
  module->eventsprocessed = 9999;
  module->usecondssum = 4294967000u;
  EventData record = make_record("h", "o", 0);
  processing_deliver(*server_, &record);
  std::smatch match;
  std::string content = log();
  std::regex mean("Module processing avg = (\\d+) usec/event");
  ASSERT_TRUE(std::regex_search(content, match, mean)) << content;
  EXPECT_GE(std::stoull(match[1]), 429496u);
}

// ---- queue pool ----

class QueueTest : public ServerTest {
 protected:
  // Makes qcount queues of qsize and takes the first as current.
  void make_pool(long qsize, int qcount) {
    ASSERT_EQ(queues_allocate(*server_, qsize, qcount), 0);
    MutexLock lock(&server_->inqmutex);
    server_->inqcurrent = static_cast<SQueue *>(slist_get_data(server_->inqlist));
    slist_item_remove(&server_->inqlist, server_->inqcurrent);
  }
  bool store(uint64_t number) {
    QueuedRecord item = {make_record("h", "o", number), {}};
    return queues_store_record(*server_, &item);
  }
  int full_queues() {
    MutexLock lock(&server_->outqmutex);
    int count = 0;
    for (SList *node = server_->outqlist; node != nullptr; node = slist_get_next(node)) ++count;
    return count;
  }
  // Drains one full queue the way the processing thread does.
  std::vector<uint64_t> drain_one() {
    std::vector<uint64_t> numbers;
    SQueue *queue = queues_take_full(*server_);
    QueuedRecord item;
    while (queue != nullptr && squeue_item_dequeue(queue, &item) == 0) {
      numbers.push_back(item.record.timestamp);
    }
    queues_return_empty(*server_, queue);
    return numbers;
  }
};

TEST_F(QueueTest, SizesWhoseBufferCannotBeMadeAreRefused) {
  // 2^32 + 10 would be 10 if the size were cut to 32 bits.
  std::vector<long> sizes = {0, -1, -408, LONG_MAX, LONG_MAX / 408 + 1};
  if (sizeof(long) > 4) sizes.push_back(static_cast<long>((1ull << 32) + 10));
  for (long size : sizes) {
    EvtServer server;
    EXPECT_NE(queues_allocate(server, size, 10), 0) << size;
    MutexLock lock(&server.inqmutex);
    EXPECT_EQ(server.inqlist, nullptr) << size;
    EXPECT_EQ(server.queuetotal.load(), 0);
  }
}

TEST_F(QueueTest, AllocationMakesTheCountOrNothing) {
  EXPECT_EQ(queues_allocate(*server_, 10, 0), 0);
  EXPECT_EQ(server_->queuetotal.load(), 0);
  EXPECT_EQ(queues_allocate(*server_, 10, 10), 0);
  EXPECT_EQ(server_->queuetotal.load(), 10);
  int count = 0;
  MutexLock lock(&server_->inqmutex);
  EXPECT_EQ(slist_item_count(server_->inqlist, &count), 0);
  EXPECT_EQ(count, 10);
}

TEST_F(QueueTest, FullQueueIsHandedOverByTheFirstRecordThatDoesNotFit) {
  make_pool(10, 10);
  for (uint64_t i = 1; i <= 10; ++i) ASSERT_TRUE(store(i));
  EXPECT_EQ(full_queues(), 0);
  ASSERT_TRUE(store(11));
  EXPECT_EQ(full_queues(), 1);
  std::vector<uint64_t> expected = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  EXPECT_EQ(drain_one(), expected);
  int held = 0;
  squeue_item_count(server_->inqcurrent, &held);
  EXPECT_EQ(held, 1);
}

TEST_F(QueueTest, StalledProcessingMakesANewQueueAtRecord101) {
  make_pool(10, 10);
  for (uint64_t i = 1; i <= 100; ++i) ASSERT_TRUE(store(i));
  EXPECT_EQ(count_of(log(), "Allocating a new inqueue!"), 0u);
  ASSERT_TRUE(store(101));
  EXPECT_EQ(count_of(log(), "Allocating a new inqueue!\n"), 1u);
  EXPECT_EQ(server_->queuetotal.load(), 11);
  EXPECT_EQ(full_queues(), 10);
}

TEST_F(QueueTest, EmptiedQueueIsReusedLast) {
  make_pool(1, 3);
  SQueue *first = server_->inqcurrent;
  ASSERT_TRUE(store(1));
  ASSERT_TRUE(store(2));  // hands over the first queue
  EXPECT_EQ(drain_one(), std::vector<uint64_t>{1});
  MutexLock lock(&server_->inqmutex);
  void *last = nullptr;
  int count = 0;
  slist_item_count(server_->inqlist, &count);
  ASSERT_EQ(count, 2);
  slist_item_get(server_->inqlist, 1, &last);
  EXPECT_EQ(last, first);
}

TEST_F(QueueTest, AtTheCapRecordsWaitInsteadOfBeingDropped) {
  server_->maxqueues = 2;
  make_pool(2, 2);
  for (uint64_t i = 1; i <= 4; ++i) ASSERT_TRUE(store(i));
  EXPECT_FALSE(store(5));  // both queues full, no third may be made
  EXPECT_EQ(server_->queuetotal.load(), 2);
  EXPECT_EQ(count_of(log(), "Allocating a new inqueue!"), 0u);
  EXPECT_EQ(drain_one(), (std::vector<uint64_t>{1, 2}));
  ASSERT_TRUE(store(5));
  ASSERT_TRUE(store(6));
  EXPECT_EQ(drain_one(), (std::vector<uint64_t>{3, 4}));
  queues_hand_over_current(*server_);
  EXPECT_EQ(drain_one(), (std::vector<uint64_t>{5, 6}));
}

TEST_F(QueueTest, PartlyFilledQueueIsHandedOverOnceItsFirstRecordIsOldEnough) {
  make_pool(10, 2);
  ASSERT_TRUE(store(1));
  queues_flush_if_due(*server_);  // no QUEUEFLUSH: never
  EXPECT_EQ(full_queues(), 0);
  server_->queueflush = 0.01;
  ASSERT_TRUE(store(2));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  queues_flush_if_due(*server_);
  EXPECT_EQ(drain_one(), (std::vector<uint64_t>{1, 2}));
  // An empty current queue is not handed over.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  queues_flush_if_due(*server_);
  EXPECT_EQ(full_queues(), 0);
}

// Every hand-over wakes the processing side: with one-record queues and a
// consumer thread, 20000 hand-overs all arrive. A lost wake-up would leave
// the consumer asleep and the test would time out.
TEST_F(QueueTest, NoHandOverIsMissedByAWaitingThread) {
  constexpr uint64_t kRecords = 20000;
  server_->maxqueues = 4;
  make_pool(1, 4);
  std::vector<uint64_t> received;
  std::thread consumer([&] {
    while (received.size() < kRecords) {
      for (uint64_t number : drain_one()) received.push_back(number);
    }
  });
  for (uint64_t i = 0; i < kRecords; ++i) {
    while (!store(i)) std::this_thread::yield();  // at the cap: wait for a queue
  }
  queues_hand_over_current(*server_);
  consumer.join();
  ASSERT_EQ(received.size(), kRecords);
  for (uint64_t i = 0; i < kRecords; ++i) ASSERT_EQ(received[i], i);
}

// ---- record intake ----

// A connection's reads, served from bytes in pieces of the given sizes; each
// read's request is noted.
struct PieceSource {
  PieceSource(std::string all, std::vector<int> sizes)
      : bytes(std::move(all)), pieces(std::move(sizes)) {}

  std::string bytes;
  std::vector<int> pieces;
  size_t offset = 0;
  size_t piece = 0;
  std::vector<int> asked;

  static int Read(void *arg, char *buffer, int *len) {
    auto *self = static_cast<PieceSource *>(arg);
    self->asked.push_back(*len);
    if (self->piece == self->pieces.size()) return 11;  // nothing more yet
    int count = std::min(*len, self->pieces[self->piece]);
    std::memcpy(buffer, self->bytes.data() + self->offset, static_cast<size_t>(count));
    self->offset += static_cast<size_t>(count);
    if ((self->pieces[self->piece] -= count) == 0) ++self->piece;
    *len = count;
    return 0;
  }
};

// The record as a client sends it: integer fields in network order.
std::string wire_record(const EventData &record) {
  EventData wire = record;
  eventdata_to_netorder(&wire);
  return std::string(reinterpret_cast<const char *>(&wire), sizeof wire);
}

TEST_F(QueueTest, RecordReadIn100And100And208BytesIsStoredOnceWholeInHostOrder) {
  make_pool(1, 2);
  EventData record = make_record("host", "object", 0x0102030405060708ull);
  record.flags = 0x11223344;
  record.rc = 7;
  record.datalen = 3;
  std::memcpy(record.data, "abc", 3);
  PieceSource source(wire_record(record), {100, 100, 208});
  auto *conn = static_cast<ConnBuffer *>(std::calloc(1, sizeof(ConnBuffer)));
  ASSERT_NE(conn, nullptr);
  for (int read = 0; read < 3; ++read) {
    ASSERT_EQ(intake_read(*server_, conn, PieceSource::Read, &source), 0);
  }
  EXPECT_EQ(source.asked, (std::vector<int>{408, 308, 208}));
  EXPECT_EQ(conn->len, 0);
  queues_hand_over_current(*server_);
  SQueue *queue = queues_take_full(*server_);
  ASSERT_NE(queue, nullptr);
  QueuedRecord stored;
  ASSERT_EQ(squeue_item_dequeue(queue, &stored), 0);
  EXPECT_EQ(std::memcmp(&stored.record, &record, sizeof record), 0);
  EXPECT_EQ(stored.origin.sequence, 0u);              // a plain connection's record has no origin
  EXPECT_NE(squeue_item_dequeue(queue, &stored), 0);  // once
  queues_return_empty(*server_, queue);
  std::free(conn);
}

TEST_F(QueueTest, BurstOfTwoRecordsIsReadOneRecordAtATime) {
  make_pool(10, 1);
  std::string burst = wire_record(make_record("h", "o", 1)) + wire_record(make_record("h", "o", 2));
  PieceSource source(burst, {816});
  auto *conn = static_cast<ConnBuffer *>(std::calloc(1, sizeof(ConnBuffer)));
  ASSERT_NE(conn, nullptr);
  ASSERT_EQ(intake_read(*server_, conn, PieceSource::Read, &source), 0);
  EXPECT_EQ(source.offset, 408u);  // the first read takes exactly one record
  ASSERT_EQ(intake_read(*server_, conn, PieceSource::Read, &source), 0);
  EXPECT_EQ(intake_read(*server_, conn, PieceSource::Read, &source), 11);
  EXPECT_EQ(source.asked, (std::vector<int>{408, 408, 408}));
  queues_hand_over_current(*server_);
  EXPECT_EQ(drain_one(), (std::vector<uint64_t>{1, 2}));
  std::free(conn);
}

// ---- teardown ----

TEST_F(ModuleTest, NoModuleIsCalledAfterItsCleanup) {
  keep_server_ = true;  // the processing thread keeps using the record
  // Held open here as well, so that a call after cleanup would be recorded
  // rather than land in unmapped code.
  void *extra = dlopen(RECORDER_A, RTLD_NOW);
  ASSERT_NE(extra, nullptr);
  load(std::string("MODULE ") + RECORDER_A + " " + record_file() + ",50");
  server_->maxqueues = 0;
  ASSERT_EQ(queues_allocate(*server_, 1, 4), 0);
  {
    MutexLock lock(&server_->inqmutex);
    server_->inqcurrent = static_cast<SQueue *>(slist_get_data(server_->inqlist));
    slist_item_remove(&server_->inqlist, server_->inqcurrent);
  }
  ASSERT_EQ(processing_start(*server_), 0);
  for (uint64_t i = 0; i < 200; ++i) {
    QueuedRecord item = {make_record("h", "o", i), {}};
    queues_store_record(*server_, &item);
    if (i == 100) modules_cleanup(*server_);
  }
  // Give the thread every queue still waiting, then wait until it is idle.
  queues_hand_over_current(*server_);
  for (int tries = 0; tries < 500; ++tries) {
    {
      MutexLock lock(&server_->procmutex);
      if (server_->procpending == 0 && server_->procwaiting) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::vector<std::string> lines = records();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "A cleanup");
  EXPECT_EQ(count_of(read_file(record_file()), "called-after-cleanup"), 0u);
  EXPECT_TRUE(modules().empty());
  dlclose(extra);
}

TEST_F(ModuleTest, OnceTheProcessEndsNoModuleIsEnteredNorCleanedUp) {
  load(std::string("MODULE ") + RECORDER_A + " " + record_file());
  server_->stop_stage.store(StopStage::kEnding);
  EventData record = make_record("h", "o", 1);
  processing_deliver(*server_, &record);
  EXPECT_EQ(modules_cleanup(*server_), 0);
  // The orderly stop's cleanup step is not taken either.
  stop_clean_up_modules(*server_);
  EXPECT_EQ(server_->stop_stage.load(), StopStage::kEnding);
  EXPECT_EQ(records(), std::vector<std::string>{"A init " + record_file()});
  EXPECT_EQ(server_->processing.handled, 0u);
  ASSERT_EQ(modules().size(), 1u);
  // The test's own teardown cleans up as a running daemon would.
  server_->stop_stage.store(StopStage::kRunning);
}

TEST_F(ModuleTest, FailedCleanupsAreCountedAndNamed) {
  load(std::string("MODULE ") + RECORDER_A + " " + record_file() + ",0,0,9");
  load(std::string("MODULE ") + RECORDER_B + " " + record_file());
  EXPECT_EQ(modules_cleanup(*server_), 1);
  EXPECT_EQ(messages().back(), std::string("(") + RECORDER_A + ") Module cleanup returned rc=9");
  EXPECT_EQ(count_of(read_file(record_file()), "cleanup"), 2u);
  EXPECT_TRUE(modules().empty());
}

}  // namespace
}  // namespace orvikevtd

// ConfigFile: directive searches over real files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "orvik/conffile.h"

namespace {

class ConfigFileTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (config_ != nullptr) configfile_close(&config_);
    if (!path_.empty()) unlink(path_.c_str());
  }

  // Writes text to a fresh temporary file and opens it.
  void Open(const std::string &text) {
    std::string templ = std::string(::testing::TempDir()) + "orvik_conf_XXXXXX";
    std::vector<char> name(templ.begin(), templ.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    ASSERT_GE(fd, 0);
    path_ = name.data();
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    ASSERT_EQ(configfile_open(&config_, path_.c_str()), 0);
  }

  // Every line the search for directive returns, read with a buffer of size.
  std::vector<std::string> Search(const char *directive, int size = 256) {
    std::vector<std::string> lines;
    EXPECT_EQ(configfile_search_begin(config_, directive), 0);
    std::vector<char> buffer(static_cast<size_t>(size) + 8, '@');
    int rc;
    while ((rc = configfile_search_next(config_, buffer.data(), size)) == 0) {
      lines.emplace_back(buffer.data());
      // Nothing was written past the size the caller gave.
      for (size_t i = static_cast<size_t>(size); i < buffer.size(); ++i) EXPECT_EQ(buffer[i], '@');
    }
    EXPECT_EQ(rc, ENOENT);
    EXPECT_EQ(configfile_search_end(config_), 0);
    return lines;
  }

  ConfigFile *config_ = nullptr;
  std::string path_;
};

TEST_F(ConfigFileTest, FindsDirectivesAmongCommentsBlankLinesAndTabs) {
  std::string long_line = "MODULE /usr/lib/orvik/" + std::string(300 - 22 - 4, 'm') + " arg";
  ASSERT_EQ(long_line.size(), 300u);
  Open(
      "# orvikevtd configuration\n"
      "\n"
      "PUBLICKEY /etc/orvik/cert.pem\n"
      "   # MODULE /commented/out.so\n"
      "#MODULE /also/commented.so\n"
      "\t\n"
      "PRIVATEKEY\t/etc/orvik/key.pem\r\n"
      "MODULE\t/usr/lib/orvik/first.so\targ1 extra\n"
      "MODULES /not/this/one.so\n"
      "module /nor/lower/case.so\n"
      "  MODULE /indented.so\n" +
      long_line +
      "\n"
      "MODULE /last/without/newline.so");

  EXPECT_EQ(Search("PUBLICKEY"), std::vector<std::string>{"PUBLICKEY /etc/orvik/cert.pem"});
  EXPECT_EQ(Search("PRIVATEKEY"), std::vector<std::string>{"PRIVATEKEY\t/etc/orvik/key.pem"});
  auto modules = Search("MODULE");
  ASSERT_EQ(modules.size(), 4u);
  EXPECT_EQ(modules[0], "MODULE\t/usr/lib/orvik/first.so\targ1 extra");
  EXPECT_EQ(modules[1], "  MODULE /indented.so");
  // The 300-character line is cut at the 256-byte buffer, and the search
  // goes on with the line after it.
  EXPECT_EQ(modules[2], long_line.substr(0, 255));
  EXPECT_EQ(modules[3], "MODULE /last/without/newline.so");
  EXPECT_TRUE(Search("EVENTPORT").empty());
}

TEST_F(ConfigFileTest, LongLineIsReturnedWholeWhenTheBufferIsLargeEnough) {
  std::string long_line = "FLUSHLOG " + std::string(291, 'y');
  Open(long_line + "\nFLUSHLOG no\n");
  auto lines = Search("FLUSHLOG", 512);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], long_line);
  EXPECT_EQ(lines[1], "FLUSHLOG no");
}

TEST_F(ConfigFileTest, LineCutRightAfterAPrefixOfALongerTokenDoesNotMatch) {
  // With a 5-byte buffer "QUEUESIZE" is cut to "QUEU"; that must not pass
  // for the directive "QUEU".
  Open("QUEUESIZE 50\nQUEU 7\n");
  auto lines = Search("QUEU", 5);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "QUEU");
}

// A zero byte ends a line's text: the directive alone before it matches
// whatever follows the zero byte and whatever the buffer size, so a smaller
// buffer never loses such a line.
TEST_F(ConfigFileTest, ZeroByteAfterDirectiveMatchesWithEveryBufferSize) {
  Open(std::string("MODULE\0hidden.so\nEVENTPORT 1\nMODULE\0\0x\n", 39));
  for (int size : {7, 8, 10, 256}) {
    SCOPED_TRACE(size);
    EXPECT_EQ(Search("MODULE", size), (std::vector<std::string>{"MODULE", "MODULE"}));
  }
}

// A carriage return inside a line is a blank like any other; cutting the
// line right after it must not turn it into the line end and lose the match.
TEST_F(ConfigFileTest, CarriageReturnAtTheCutStillEndsTheDirective) {
  Open("MODULE\rmore.so\nMODULE x\r\n");
  EXPECT_EQ(Search("MODULE", 8), (std::vector<std::string>{"MODULE\r", "MODULE "}));
  EXPECT_EQ(Search("MODULE", 10), (std::vector<std::string>{"MODULE\rmo", "MODULE x"}));
  EXPECT_EQ(Search("MODULE"), (std::vector<std::string>{"MODULE\rmore.so", "MODULE x"}));
}

TEST_F(ConfigFileTest, SearchesRestartFromTheTopAndDirectiveAloneMatches) {
  Open("EVENTPORT 6000\nEVENTPORT\nQUEUESIZE 20\n");
  EXPECT_EQ(Search("EVENTPORT"), (std::vector<std::string>{"EVENTPORT 6000", "EVENTPORT"}));
  EXPECT_EQ(Search("QUEUESIZE"), std::vector<std::string>{"QUEUESIZE 20"});
  EXPECT_EQ(Search("EVENTPORT").size(), 2u);
}

TEST_F(ConfigFileTest, ScanReturnsEveryDirectiveLineWithItsNumber) {
  Open("# comment\nEVENTPORT 6000\n\n  \t\nqueuesize 5\n  # indented comment\nMODULE a b c\n");
  ASSERT_EQ(configfile_scan_begin(config_), 0);
  char buffer[64];
  std::vector<std::pair<std::string, int>> lines;
  while (configfile_search_next(config_, buffer, sizeof buffer) == 0) {
    int number = 0;
    ASSERT_EQ(configfile_line_number(config_, &number), 0);
    lines.emplace_back(buffer, number);
  }
  EXPECT_EQ(configfile_search_end(config_), 0);
  std::vector<std::pair<std::string, int>> expected = {
      {"EVENTPORT 6000", 2}, {"queuesize 5", 5}, {"MODULE a b c", 7}};
  EXPECT_EQ(lines, expected);
  // A search counts the lines it read as well, and the pass is over.
  ASSERT_EQ(configfile_search_begin(config_, "MODULE"), 0);
  ASSERT_EQ(configfile_search_next(config_, buffer, sizeof buffer), 0);
  int number = 0;
  EXPECT_EQ(configfile_line_number(config_, &number), 0);
  EXPECT_EQ(number, 7);
  EXPECT_EQ(configfile_search_end(config_), 0);
  EXPECT_EQ(configfile_line_number(config_, &number), EINVAL);
  EXPECT_EQ(configfile_scan_begin(nullptr), EINVAL);
}

TEST_F(ConfigFileTest, BadArgumentsAreRefused) {
  Open("A b\n");
  char buffer[16];
  EXPECT_EQ(configfile_search_next(config_, buffer, sizeof buffer), EINVAL);  // no search yet
  EXPECT_EQ(configfile_search_begin(config_, ""), EINVAL);
  EXPECT_EQ(configfile_search_begin(config_, "TWO WORDS"), EINVAL);
  EXPECT_EQ(configfile_search_begin(config_, nullptr), EINVAL);
  ASSERT_EQ(configfile_search_begin(config_, "A"), 0);
  EXPECT_EQ(configfile_search_next(config_, buffer, 0), EINVAL);
  EXPECT_EQ(configfile_search_next(config_, nullptr, 16), EINVAL);
  EXPECT_EQ(configfile_search_next(config_, buffer, 1), EINVAL);  // "A" cannot fit
  EXPECT_EQ(configfile_search_next(config_, buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "A b");
  EXPECT_EQ(configfile_search_end(config_), 0);
  EXPECT_EQ(configfile_search_next(config_, buffer, sizeof buffer), EINVAL);
  EXPECT_EQ(configfile_search_begin(nullptr, "A"), EINVAL);
  EXPECT_EQ(configfile_close(nullptr), EINVAL);
}

TEST(ConfigFileOpen, MissingOrUnreadableFileGivesNonZeroStatus) {
  ConfigFile *config = reinterpret_cast<ConfigFile *>(1);
  EXPECT_EQ(configfile_open(&config, "/nonexistent/orvik/orvikevtd.conf"), ENOENT);
  EXPECT_EQ(config, nullptr);
  EXPECT_EQ(configfile_open(&config, "/"), EISDIR);
  EXPECT_EQ(config, nullptr);
  EXPECT_EQ(configfile_open(&config, nullptr), EINVAL);
  EXPECT_EQ(configfile_open(nullptr, "/etc/hostname"), EINVAL);
}

}  // namespace

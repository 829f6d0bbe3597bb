// Helpers shared by the daemon's tests: reading files and temporary folders.
#ifndef ORVIKEVTD_TEST_FILES_H_
#define ORVIKEVTD_TEST_FILES_H_

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <stdlib.h>

#include "test_target.h"

namespace orvikevtd_test {

// The whole file; empty when it cannot be read.
inline std::string read_file(const std::string &path) {
  std::ifstream file(path);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

inline std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::stringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// The lines of a file another process is writing: a last line without its
// line feed is not whole yet (a buffer may have gone out in its middle).
inline std::vector<std::string> whole_lines_of(const std::string &text) {
  size_t last_end = text.rfind('\n');
  return lines_of(text.substr(0, last_end == std::string::npos ? 0 : last_end + 1));
}

// How often part occurs in text (overlaps included).
inline size_t count_of(const std::string &text, const std::string &part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// Log entries without their time stamps ("YYYY-MM-DD HH:MM:SS ").
inline std::vector<std::string> messages_of(const std::string &log) {
  std::vector<std::string> messages;
  for (const std::string &line : lines_of(log)) messages.push_back(line.substr(20));
  return messages;
}

// How much slower than natively the tests run (under emulation, say): the
// one factor of every test's time limits (test_target.h).
inline double time_factor() {
  return orvik_test::time_scale();
}

// A temporary folder, removed with its files when the object goes.
class TempDir {
 public:
  explicit TempDir(const char *prefix = "orvikevtd_test") {
    std::string pattern = std::string("/tmp/") + prefix + "_XXXXXX";
    path_ = mkdtemp(pattern.data()) != nullptr ? pattern : "";
  }
  ~TempDir() {
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace orvikevtd_test

#endif  // ORVIKEVTD_TEST_FILES_H_

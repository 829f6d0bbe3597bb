// The configuration-file reader on arbitrary file contents.
//
// The input becomes an anonymous in-memory file, which is searched for two
// of the daemon's directives (and one taken from the input) with a small
// buffer, the daemon's 256 bytes, and a buffer larger than any line. Every
// line returned must be zero-terminated inside the buffer and start with the
// directive as its first token. With the large buffer the lines must be
// exactly those of the file whose first token is the directive, in file
// order; with a smaller one, every line that fits must still come back and
// no line may come back that is not the start of a matching line.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "orvik/conffile.h"

namespace {

constexpr int kNoMoreLines = 2;
constexpr int kInvalid = 22;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// A line of the file as the reader must return it whole: without its line
// feed and one carriage return before it, up to its first zero byte.
struct ExpectedLine {
  std::string text;
  std::size_t stored;  // bytes the reader must keep for the line to come back whole
};

// The lines of contents whose first token is directive, in file order.
std::vector<ExpectedLine> MatchingLines(std::string_view contents, std::string_view directive) {
  std::vector<ExpectedLine> lines;
  while (!contents.empty()) {
    std::size_t end = contents.find('\n');
    std::string_view line = contents.substr(0, end);
    contents.remove_prefix(end == std::string_view::npos ? contents.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    // A zero byte ends the text; it must be kept as well for the line to fit.
    std::size_t zero = line.find('\0');
    std::size_t stored = zero == std::string_view::npos ? line.size() : zero + 1;
    line = line.substr(0, zero);
    std::size_t start = 0;
    while (start < line.size() && IsBlank(line[start])) ++start;
    std::size_t token_end = start;
    while (token_end < line.size() && !IsBlank(line[token_end])) ++token_end;
    if (line.substr(start, token_end - start) == directive) {
      lines.push_back({std::string(line), stored});
    }
  }
  return lines;
}

// The anonymous file holding contents; closed on destruction.
class MemoryFile {
 public:
  explicit MemoryFile(std::string_view contents) : fd_(memfd_create("config", 0)) {
    if (fd_ < 0) std::abort();
    for (std::size_t done = 0; done < contents.size();) {
      ssize_t n = write(fd_, contents.data() + done, contents.size() - done);
      if (n <= 0) std::abort();
      done += static_cast<std::size_t>(n);
    }
    std::snprintf(path_, sizeof path_, "/proc/self/fd/%d", fd_);
  }
  ~MemoryFile() { close(fd_); }
  MemoryFile(const MemoryFile &) = delete;
  MemoryFile &operator=(const MemoryFile &) = delete;

  const char *path() const { return path_; }

 private:
  int fd_;
  char path_[32] = {};
};

// Returns every line one search yields with a buffer of exactly size bytes
// (so that the address sanitizer sees any write past it).
std::vector<std::string> SearchAll(ConfigFile *config, const std::string &directive, int size) {
  std::vector<std::string> lines;
  if (configfile_search_begin(config, directive.c_str()) != 0) std::abort();
  std::vector<char> buffer(static_cast<std::size_t>(size));
  int status;
  while ((status = configfile_search_next(config, buffer.data(), size)) == 0) {
    std::size_t length = strnlen(buffer.data(), buffer.size());
    if (length == buffer.size()) std::abort();  // not terminated inside the buffer
    std::string line(buffer.data(), length);
    std::size_t start = line.find_first_not_of(" \t\r\n");
    if (start == std::string::npos || line.compare(start, directive.size(), directive) != 0) {
      std::abort();
    }
    std::size_t after = start + directive.size();
    if (after < line.size() && !IsBlank(line[after])) std::abort();
    lines.push_back(std::move(line));
  }
  if (directive.size() >= static_cast<std::size_t>(size)) {
    if (status != kInvalid || !lines.empty()) std::abort();
  } else if (status != kNoMoreLines || buffer[0] != '\0') {
    std::abort();
  }
  // Past the last line the search stays at its end.
  if (status == kNoMoreLines &&
      configfile_search_next(config, buffer.data(), size) != kNoMoreLines) {
    std::abort();
  }
  configfile_search_end(config);
  return lines;
}

void CheckDirective(ConfigFile *config, std::string_view contents, const std::string &directive,
                    int small_size) {
  const std::vector<ExpectedLine> expected = MatchingLines(contents, directive);

  // Larger than any line: exactly the matching lines.
  std::vector<std::string> whole =
      SearchAll(config, directive, static_cast<int>(contents.size()) + 2);
  if (whole.size() != expected.size()) std::abort();
  for (std::size_t i = 0; i < whole.size(); ++i) {
    if (whole[i] != expected[i].text) std::abort();
  }

  for (int size : {small_size, 256}) {
    if (directive.size() >= static_cast<std::size_t>(size)) {
      SearchAll(config, directive, size);
      continue;
    }
    std::vector<std::string> cut = SearchAll(config, directive, size);
    std::size_t next = 0;
    for (const std::string &line : cut) {
      // The start of a later matching line; lines that fit are never skipped.
      while (next < expected.size() && expected[next].text.compare(0, line.size(), line) != 0) {
        if (expected[next].stored < static_cast<std::size_t>(size)) std::abort();
        ++next;
      }
      if (next == expected.size()) std::abort();
      if (expected[next].stored < static_cast<std::size_t>(size) && expected[next].text != line) {
        std::abort();
      }
      ++next;
    }
    for (; next < expected.size(); ++next) {
      if (expected[next].stored < static_cast<std::size_t>(size)) std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const int small_size = provider.ConsumeIntegralInRange<int>(1, 40);
  // MODULE, which the daemon reads line after line, and one other of its
  // directives: every search reads the whole file, so not all of them.
  static constexpr const char *kOthers[] = {"PUBLICKEY", "PRIVATEKEY", "EVENTPORT",
                                            "QUEUESIZE", "FLUSHLOG",   "MAXQUEUES"};
  const char *other = kOthers[provider.ConsumeIntegralInRange<std::size_t>(0, 5)];
  std::string own = provider.ConsumeRandomLengthString(24);
  const std::string contents = provider.ConsumeRemainingBytesAsString();

  MemoryFile file(contents);
  ConfigFile *config = nullptr;
  if (configfile_open(&config, file.path()) != 0) std::abort();
  CheckDirective(config, contents, "MODULE", small_size);
  CheckDirective(config, contents, other, small_size);
  // A directive from the input, when it can be a line's first token at all.
  own = own.substr(0, own.find('\0'));
  bool usable = !own.empty() && own[0] != '#' && own.find_first_of(" \t\r\n") == std::string::npos;
  if (usable) CheckDirective(config, contents, own, small_size);
  configfile_close(&config);
  if (config != nullptr) std::abort();
  return 0;
}

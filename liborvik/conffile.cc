// ConfigFile: searches a line-based configuration file for the lines of one
// directive.
//
// Lines are read in chunks into the caller's buffer, so a line of any length
// costs no memory of its own: whatever does not fit the buffer is skipped up
// to the line end, and the next search step starts with the next line.
#include "orvik/conffile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

struct ConfigFile {
  FILE *file = nullptr;
  std::string directive;
  bool searching = false;
  bool scanning = false;  // a pass over every directive line
  int line_number = 0;    // of the line read last in this search or pass
};

namespace {

bool IsBlank(int c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Reads one line (without its '\n') into buffer, keeping at most size - 1
// bytes and dropping the rest of the line. A '\r' that ends the line is
// dropped as well; one that only ends the kept part of a longer line stays,
// as the blank that ends a token there. *first_dropped is the first byte
// that did not fit, or 0 when none did or the line's text had already ended
// at a zero byte (what follows it is not text, so it must not decide a
// match). Returns false at end of file when no byte was read.
bool ReadLine(FILE *file, char *buffer, size_t size, int *first_dropped) {
  size_t kept = 0;
  bool any = false;
  bool text_ended = false;
  bool cut = false;
  int c;
  *first_dropped = 0;
  while ((c = getc_unlocked(file)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (c == '\0') text_ended = true;
    if (kept + 1 < size) {
      buffer[kept++] = static_cast<char>(c);
    } else {
      if (!cut && !text_ended) *first_dropped = c;
      cut = true;
    }
  }
  if (!cut && kept > 0 && buffer[kept - 1] == '\r') --kept;
  buffer[kept] = '\0';
  return any;
}

// True when the first token of line (after leading blanks) is directive,
// compared exactly. Comment lines (first non-blank '#') never match. When
// the line was cut right after the directive, first_dropped tells whether
// the token really ended there.
bool LineHasDirective(const char *line, int first_dropped, const std::string &directive) {
  while (IsBlank(static_cast<unsigned char>(*line))) ++line;
  if (*line == '#' || *line == '\0') return false;
  if (std::strncmp(line, directive.data(), directive.size()) != 0) return false;
  char after = line[directive.size()];
  if (after == '\0') return first_dropped == 0 || IsBlank(first_dropped);
  return IsBlank(static_cast<unsigned char>(after));
}

// True for a line that is neither blank nor a comment.
bool HoldsDirective(const char *line) {
  while (IsBlank(static_cast<unsigned char>(*line))) ++line;
  return *line != '#' && *line != '\0';
}

// True for a directive that can be the first token of a line.
bool IsValidDirective(const char *directive) {
  if (*directive == '\0') return false;
  for (const char *c = directive; *c != '\0'; ++c) {
    if (IsBlank(static_cast<unsigned char>(*c))) return false;
  }
  return true;
}

}  // namespace

extern "C" {

ORVIK_EXPORT int configfile_open(ConfigFile **config, const char *path) {
  if (config == nullptr || path == nullptr) return EINVAL;
  *config = nullptr;
  auto *opened = new (std::nothrow) ConfigFile;
  if (opened == nullptr) return ENOMEM;
  opened->file = std::fopen(path, "re");
  if (opened->file == nullptr) {
    int error = errno != 0 ? errno : EIO;
    delete opened;
    return error;
  }
  // A directory opens but yields no lines; refuse it here rather than have
  // every search fail later.
  struct stat info;
  if (fstat(fileno(opened->file), &info) == 0 && S_ISDIR(info.st_mode)) {
    std::fclose(opened->file);
    delete opened;
    return EISDIR;
  }
  *config = opened;
  return 0;
}

ORVIK_EXPORT int configfile_close(ConfigFile **config) {
  if (config == nullptr || *config == nullptr) return EINVAL;
  std::fclose((*config)->file);
  delete *config;
  *config = nullptr;
  return 0;
}

ORVIK_EXPORT int configfile_search_begin(ConfigFile *config, const char *directive) {
  if (config == nullptr || directive == nullptr || !IsValidDirective(directive)) return EINVAL;
  try {
    config->directive = directive;
  } catch (const std::bad_alloc &) {
    return ENOMEM;
  }
  std::rewind(config->file);
  config->searching = true;
  config->scanning = false;
  config->line_number = 0;
  return 0;
}

ORVIK_EXPORT int configfile_search_next(ConfigFile *config, char *buffer, int size) {
  if (config == nullptr || buffer == nullptr || size < 1 || !config->searching) return EINVAL;
  // A directive longer than the buffer could never be recognised in it.
  if (config->directive.size() >= static_cast<size_t>(size)) return EINVAL;
  int first_dropped;
  while (ReadLine(config->file, buffer, static_cast<size_t>(size), &first_dropped)) {
    ++config->line_number;
    if (config->scanning ? HoldsDirective(buffer)
                         : LineHasDirective(buffer, first_dropped, config->directive)) {
      return 0;
    }
  }
  buffer[0] = '\0';
  return std::ferror(config->file) ? EIO : ENOENT;
}

ORVIK_EXPORT int configfile_scan_begin(ConfigFile *config) {
  if (config == nullptr) return EINVAL;
  config->directive.clear();
  std::rewind(config->file);
  config->searching = true;
  config->scanning = true;
  config->line_number = 0;
  return 0;
}

ORVIK_EXPORT int configfile_line_number(ConfigFile *config, int *line_number) {
  if (config == nullptr || line_number == nullptr || !config->searching) return EINVAL;
  *line_number = config->line_number;
  return 0;
}

ORVIK_EXPORT int configfile_search_end(ConfigFile *config) {
  if (config == nullptr) return EINVAL;
  config->searching = false;
  config->scanning = false;
  config->directive.clear();
  return 0;
}

}  // extern "C"

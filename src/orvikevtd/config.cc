// Start-up input: the command line, the configuration directives and the
// loading of handler modules.
#include <dlfcn.h>
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "evtserver.h"

namespace orvikevtd {
namespace {

constexpr const char *kUsage[] = {
    "\norvikevtd - Information Server",
    " Options:",
    "   -D\t\t   Orvikevtd will not daemonize itself.",
    "   -f configfile   Specifies the path to the configuration file to use.",
    "   -h\t\t   This help screen.",
    "   -l logfile\t   Specifies the path to the log file to use.",
    "   -t\t\t   Check the configuration, print its problems and exit.",
    "   -V\t\t   Display version information and exit.\n",
};

void print_usage() {
  for (const char *line : kUsage) std::printf("%s\n", line);
  std::fflush(stdout);
}

// Copies path into a 256-byte field, cut to 255 characters.
void set_path(char (&field)[kPathSize], const char *path) {
  std::snprintf(field, sizeof(field), "%s", path);
}

// The tokens of one configuration line: cut at blanks, tabs, CR and LF.
constexpr const char *kDelimiters = " \t\r\n";

// The first four tokens of a line (items[0] is the directive); the missing
// ones are null. tokenize cuts the line in place.
struct Tokens {
  char *items[4] = {};
  int count = 0;
};

Tokens tokenize(char *line) {
  Tokens tokens;
  char *save = nullptr;
  for (char *token = strtok_r(line, kDelimiters, &save); token != nullptr && tokens.count < 4;
       token = strtok_r(nullptr, kDelimiters, &save)) {
    tokens.items[tokens.count++] = token;
  }
  return tokens;
}

// ---- the directives and the values that work ----

enum class ValueKind {
  kText,     // a path, a list, a word: passed on as it is
  kYesNo,    // yes or no
  kCount,    // a whole number, read as strtol reads it with base 10
  kSeconds,  // seconds, fractions allowed, read as strtod reads them
  kModule,   // a module path and its one argument; the only directive used on every line
};

// The longest time a directive takes in seconds: a year.
constexpr double kMaxSeconds = 86400.0 * 365;
// No upper bound but the one of a long (32 bits on armhf), which the
// reading itself checks.
constexpr double kNoBound = std::numeric_limits<double>::infinity();

// One directive: its kind and, for numbers, the values that can work.
// Numbers outside [min, max] end start-up; with cut_above, larger values
// are read as max instead. min_nonzero excludes the values between 0 and it.
struct DirectiveRule {
  const char *name;
  ValueKind kind;
  double min = 0;
  double max = 0;
  double min_nonzero = 0;
  bool cut_above = false;
};

// Every directive the daemon knows. A new numeric directive joins with one
// line here and reads its value with DirectiveReader::count or ::seconds.
constexpr DirectiveRule kDirectives[] = {
    {"PUBLICKEY", ValueKind::kText},
    {"PRIVATEKEY", ValueKind::kText},
    {"EVENTPORT", ValueKind::kCount, 1, 65535},
    // The queue's record count is an int.
    {"QUEUESIZE", ValueKind::kCount, 1, INT_MAX},
    {"FLUSHLOG", ValueKind::kText},
    {"CLIENTCA", ValueKind::kText},
    {"MAXQUEUES", ValueKind::kCount, 0, kNoBound},
    {"QUEUEFLUSH", ValueKind::kSeconds, 0, kMaxSeconds},
    // A drain longer than a year (infinity among them) waits a year.
    {"SHUTDOWNDRAIN", ValueKind::kSeconds, 0, kMaxSeconds, 0, true},
    {"EVENTADDRESS", ValueKind::kText},
    {"MAXCONNECTIONS", ValueKind::kCount, 0, kNoBound},
    {"MAXCONNECTIONSPERADDRESS", ValueKind::kCount, 0, kNoBound},
    {"IDLETIMEOUT", ValueKind::kSeconds, 0, kMaxSeconds},
    // The comm layer takes microseconds in a long, 32 bits on armhf: a longer
    // handshake time waits the longest one.
    {"HANDSHAKETIMEOUT", ValueKind::kSeconds, 0, kMaxHandshakeSeconds, 0, true},
    {"MAXSTREAMS", ValueKind::kCount, 0, kNoBound},
    // More than ten lines a second would drown the log.
    {"STATSINTERVAL", ValueKind::kSeconds, 0, kMaxSeconds, 0.1},
    {"STATSFILE", ValueKind::kText},
    {"TLSCIPHERS", ValueKind::kText},
    {"TLSCIPHERSUITES", ValueKind::kText},
    {"REQUIREMODULES", ValueKind::kYesNo},
    {"MODULE", ValueKind::kModule},
};

const DirectiveRule *find_rule(std::string_view name) {
  for (const DirectiveRule &rule : kDirectives) {
    if (name == rule.name) return &rule;
  }
  return nullptr;
}

// The directive that name means when case is ignored; null when none.
const DirectiveRule *find_rule_ignoring_case(std::string_view name) {
  for (const DirectiveRule &rule : kDirectives) {
    if (name.size() == std::strlen(rule.name) &&
        strncasecmp(name.data(), rule.name, name.size()) == 0) {
      return &rule;
    }
  }
  return nullptr;
}

// What a refused number should have been, for the message.
std::string expected_values(const DirectiveRule &rule) {
  char text[128];
  if (rule.kind == ValueKind::kCount && std::isinf(rule.max)) {
    std::snprintf(text, sizeof(text), "a whole number of at least %.0f", rule.min);
  } else if (rule.kind == ValueKind::kCount) {
    std::snprintf(text, sizeof(text), "a whole number from %.0f to %.0f", rule.min, rule.max);
  } else if (rule.min_nonzero > 0) {
    std::snprintf(text, sizeof(text), "0 or seconds from %g to %g", rule.min_nonzero, rule.max);
  } else if (rule.cut_above) {
    std::snprintf(text, sizeof(text), "seconds of at least %g", rule.min);
  } else {
    std::snprintf(text, sizeof(text), "seconds from %g to %g", rule.min, rule.max);
  }
  return text;
}

// A number read from a value: the number (and a count's own value),
// whether anything was read, and where the reading stopped.
struct ReadNumber {
  double value = 0;
  long whole = 0;
  bool read = false;
  bool in_range = true;  // strtol's range for counts
  const char *end = nullptr;
};

ReadNumber read_number(const DirectiveRule &rule, const char *text) {
  ReadNumber number;
  char *end = nullptr;
  errno = 0;
  if (rule.kind == ValueKind::kCount) {
    number.whole = std::strtol(text, &end, 10);
    number.in_range = errno != ERANGE;
    number.value = static_cast<double>(number.whole);
  } else {
    number.value = std::strtod(text, &end);
  }
  number.read = end != text;
  number.end = end;
  return number;
}

// Whether a number read for rule can work.
bool number_works(const DirectiveRule &rule, const ReadNumber &number) {
  double value = number.value;
  if (!number.read || !number.in_range || std::isnan(value) || value < rule.min) return false;
  if (value > rule.max && !rule.cut_above) return false;
  return !(value > 0 && value < rule.min_nonzero);
}

// ---- reading ----

// Cipher lists can be longer than the other values: their lines are read
// whole up to this size, and a longer one is refused rather than cut, since
// a cut list would silently lose names.
constexpr int kCipherLineSize = 2048;

// The value (second token) of the first line of directive, or null when the
// directive is absent or has no value. found tells the two apart; filled
// (when given) whether the line filled the buffer, so may have been cut;
// line_number (when given) the line's number.
template <int kSize>
char *first_value(ConfigFile *config, const char *directive, char (&line)[kSize], bool *found,
                  bool *filled = nullptr, int *line_number = nullptr) {
  *found = false;
  char *value = nullptr;
  configfile_search_begin(config, directive);
  if (configfile_search_next(config, line, sizeof(line)) == 0) {
    *found = true;
    if (filled != nullptr) *filled = std::strlen(line) >= sizeof(line) - 1;
    if (line_number != nullptr) configfile_line_number(config, line_number);
    value = tokenize(line).items[1];
  }
  configfile_search_end(config);
  return value;
}

// Reads the directives of one open configuration file for one server:
// values that cannot work are reported and counted, so that every one of
// them is named before start-up ends.
class DirectiveReader {
 public:
  DirectiveReader(EvtServer &server, ConfigFile *config) : server_(server), config_(config) {}

  // The first line's value of directive, or null when the directive is
  // absent or has no value; line_ is its line.
  char *text(const char *directive) {
    bool found = false;
    return first_value(config_, directive, line_, &found, nullptr, &line_number_);
  }

  // The first line's value of a count or seconds directive, when the
  // directive is there with a value that works; false otherwise (a value
  // that cannot work is reported). Characters after the number are read
  // as strtol and strtod read them, and logged.
  bool count(const char *directive, long *value) {
    ReadNumber number;
    if (checked_number(directive, &number) == nullptr) return false;
    *value = number.whole;
    return true;
  }
  bool seconds(const char *directive, double *value) {
    ReadNumber number;
    const DirectiveRule *rule = checked_number(directive, &number);
    if (rule == nullptr) return false;
    *value = number.value > rule->max ? rule->max : number.value;
    return true;
  }

  // A yes or no directive: true when it is there with one of the two.
  bool yes_no(const char *directive, bool *value) {
    const char *word = text(directive);
    if (word == nullptr) return false;
    if (std::strcmp(word, "yes") == 0 || std::strcmp(word, "no") == 0) {
      *value = word[0] == 'y';
      return true;
    }
    ++errors_;
    log_startup_failure(server_, "%s:%d: %s %.64s cannot work: expected yes or no.\n",
                        server_.config_file, line_number_, directive, word);
    return false;
  }

  int errors() const { return errors_; }

 private:
  // The directive's rule when its value was read and works; null otherwise.
  const DirectiveRule *checked_number(const char *directive, ReadNumber *number) {
    const DirectiveRule *rule = find_rule(directive);
    if (rule == nullptr) {
      // A directive read here must have its line in kDirectives.
      ++errors_;
      log_entry(server_, "%s is read as a number but has no rule.\n", directive);
      return nullptr;
    }
    const char *text_value = text(directive);
    if (text_value == nullptr) return nullptr;
    *number = read_number(*rule, text_value);
    if (!number_works(*rule, *number)) {
      ++errors_;
      log_startup_failure(server_, "%s:%d: %s %.64s cannot work: expected %s.\n",
                          server_.config_file, line_number_, directive, text_value,
                          expected_values(*rule).c_str());
      return nullptr;
    }
    if (*number->end != '\0') {
      log_entry(server_, "%s:%d: %s %.64s: the characters after the number are ignored.\n",
                server_.config_file, line_number_, directive, text_value);
    }
    return rule;
  }

  EvtServer &server_;
  ConfigFile *config_;
  char line_[kConfigLineSize] = {};
  int line_number_ = 0;
  int errors_ = 0;
};

// SHUTDOWNDRAIN has its own wording in the log.
void read_drain(EvtServer &server, DirectiveReader &reader) {
  double seconds = 0;
  if (!reader.seconds("SHUTDOWNDRAIN", &seconds)) return;
  server.shutdowndrain = seconds;
  log_entry(server,
            "Orderly stop hands held events to the modules within %g seconds (0: stop at once)\n",
            server.shutdowndrain);
}

// ---- the lines as a whole: unknown, repeated and overlong ones ----

// The first line each directive was found on.
struct SeenDirective {
  const DirectiveRule *rule;
  int line;
};

void warn_unknown(EvtServer &server, const char *token, int line) {
  if (const DirectiveRule *meant = find_rule_ignoring_case(token)) {
    log_entry(server, "%s:%d: %.64s ignored: directives are upper case (%s).\n", server.config_file,
              line, token, meant->name);
  } else {
    log_entry(server, "%s:%d: unknown directive %.64s ignored.\n", server.config_file, line, token);
  }
}

// Every directive but MODULE is read from its first line only.
void warn_repeated(EvtServer &server, std::vector<SeenDirective> &seen, const DirectiveRule *rule,
                   int line) {
  if (rule->kind == ValueKind::kModule) return;
  for (const SeenDirective &earlier : seen) {
    if (earlier.rule == rule) {
      log_entry(server, "%s:%d: %s given again: line %d is used, this line is ignored.\n",
                server.config_file, line, rule->name, earlier.line);
      return;
    }
  }
  seen.push_back({rule, line});
}

void warn_extra_tokens(EvtServer &server, const DirectiveRule *rule, const Tokens &tokens,
                       int line) {
  int used = rule->kind == ValueKind::kModule ? 3 : 2;
  if (tokens.count > used) {
    log_entry(server, "%s:%d: text after the value of %s ignored: %.64s\n", server.config_file,
              line, rule->name, tokens.items[used]);
  }
}

// Looks at every line once: the directive itself, a second line of it, and
// tokens after its value. Nothing here changes what is read.
void warn_about_lines(EvtServer &server, ConfigFile *config) {
  // As long as the longest line read (a cipher list), so that a token
  // after a long value is seen.
  std::vector<char> line(kCipherLineSize);
  std::vector<SeenDirective> seen;
  configfile_scan_begin(config);
  while (configfile_search_next(config, line.data(), static_cast<int>(line.size())) == 0) {
    int number = 0;
    configfile_line_number(config, &number);
    Tokens tokens = tokenize(line.data());
    if (tokens.count == 0) continue;
    const DirectiveRule *rule = find_rule(tokens.items[0]);
    if (rule == nullptr) {
      warn_unknown(server, tokens.items[0], number);
      continue;
    }
    warn_repeated(server, seen, rule, number);
    warn_extra_tokens(server, rule, tokens, number);
  }
  configfile_search_end(config);
}

// Adds a plug-in option; a null value adds the option without one.
void add_option(EvtServer &server, const char *name, char *value) {
  server.modattrib = attribute_add(server.modattrib, const_cast<char *>(name), value);
}

int read_required_keys(EvtServer &server, ConfigFile *config) {
  char line[kConfigLineSize];
  bool found = false;
  char *value = first_value(config, "PUBLICKEY", line, &found);
  if (!found) {
    log_startup_failure(server, "%s: no PUBLICKEY line (the server certificate).\n",
                        server.config_file);
    log_entry(server, "Failed to find PUBLICKEY directive.\n");
    configfile_close(&config);
    return 2;
  }
  add_option(server, "SSLCertificateFile", value);
  value = first_value(config, "PRIVATEKEY", line, &found);
  if (!found) {
    log_startup_failure(server, "%s: no PRIVATEKEY line (the certificate's key).\n",
                        server.config_file);
    log_entry(server, "Failed to find PRIVATEKEY directive.\n");
    configfile_close(&config);
    attribute_freeall(&server.modattrib);
    return 2;
  }
  add_option(server, "SSLPrivateKeyFile", value);
  return 0;
}

void read_optional_directives(EvtServer &server, DirectiveReader &reader) {
  if (long port = 0; reader.count("EVENTPORT", &port)) {
    server.serverport = static_cast<int>(port);
    log_entry(server, "Listener will be setup on port %d\n", server.serverport);
  }
  if (long size = 0; reader.count("QUEUESIZE", &size)) {
    server.queuesize = size;
    log_entry(server, "Queue size set to %ld\n", server.queuesize);
  }
  if (char *value = reader.text("FLUSHLOG")) {
    if (value[0] == 'Y' || value[0] == 'y') {
      server.flags |= kFlagFlushLog;
      log_entry(server, "Log entries will be flushed.\n");
    }
  }
  if (char *value = reader.text("CLIENTCA")) {
    add_option(server, "SSLCACertificateFile", value);
    log_entry(server, "Clients must present a certificate signed by %s\n", value);
  }
  if (long count = 0; reader.count("MAXQUEUES", &count)) {
    // The initial queues always exist, so a smaller cap means that many.
    if (count > 0 && count < server.queuecount) count = server.queuecount;
    server.maxqueues = count;
    log_entry(server, "Queue pool limited to %ld queues (0: no limit)\n", server.maxqueues);
  }
  if (double seconds = 0; reader.seconds("QUEUEFLUSH", &seconds)) {
    server.queueflush = seconds;
    log_entry(server, "Partly filled queues handed over after %g seconds (0: never)\n",
              server.queueflush);
  }
  read_drain(server, reader);
  if (bool required = false; reader.yes_no("REQUIREMODULES", &required)) {
    server.requiremodules = required;
    if (required) log_entry(server, "A module that cannot be loaded ends start-up.\n");
  }
}

// Passes one cipher directive's value to the comm layer as it is (the
// layer judges it when it loads). False, logged, when its line is too long.
bool read_cipher_directive(EvtServer &server, ConfigFile *config, const char *directive,
                           const char *option, const char *what) {
  char line[kCipherLineSize];
  bool found = false, filled = false;
  char *value = first_value(config, directive, line, &found, &filled);
  if (filled) {
    log_startup_failure(server, "%s line is longer than %d characters.\n", directive,
                        kCipherLineSize - 2);
    return false;
  }
  if (value != nullptr) {
    add_option(server, option, value);
    // A long list is shown in part: a log entry that overflows loses its
    // line end.
    constexpr int kShown = 200;
    bool shortened = std::strlen(value) > kShown;
    log_entry(server, "%s set to %.*s%s\n", what, kShown, value, shortened ? "..." : "");
  }
  return true;
}

bool read_cipher_directives(EvtServer &server, ConfigFile *config) {
  return read_cipher_directive(server, config, "TLSCIPHERS", "SSLCiphers", "TLS 1.2 ciphers") &&
         read_cipher_directive(server, config, "TLSCIPHERSUITES", "SSLCipherSuites",
                               "TLS 1.3 cipher suites");
}

// The comm layer's handshake time when HANDSHAKETIMEOUT does not set one.
constexpr double kDefaultHandshakeSeconds = 10;

// The listener's address, the connection caps and timeouts, and the
// statistics.
void read_service_directives(EvtServer &server, DirectiveReader &reader) {
  if (char *value = reader.text("EVENTADDRESS")) {
    set_path(server.eventaddress, value);
    log_entry(server, "Listener will be setup on address %s\n", server.eventaddress);
  }
  if (long count = 0; reader.count("MAXCONNECTIONS", &count)) {
    server.maxconnections = count;
    log_entry(server, "Connections limited to %ld (0: no limit)\n", server.maxconnections);
  }
  if (long count = 0; reader.count("MAXCONNECTIONSPERADDRESS", &count)) {
    server.maxperaddress = count;
    log_entry(server, "Connections per client address limited to %ld (0: no limit)\n",
              server.maxperaddress);
  }
  if (double seconds = 0; reader.seconds("IDLETIMEOUT", &seconds)) {
    server.idletimeout = seconds;
    log_entry(server, "Connections that send no event for %g seconds are closed (0: never)\n",
              server.idletimeout);
  }
  if (double seconds = 0; reader.seconds("HANDSHAKETIMEOUT", &seconds)) {
    // 0 keeps the comm layer's own time.
    server.handshaketimeout = seconds;
    log_entry(server, "Handshakes not finished within %g seconds are closed\n",
              server.handshaketimeout > 0 ? server.handshaketimeout : kDefaultHandshakeSeconds);
  }
  if (long count = 0; reader.count("MAXSTREAMS", &count)) {
    server.ack.maxstreams = count;
    log_entry(server, "Acknowledged streams remembered: at most %ld (0: no limit)\n",
              server.ack.maxstreams);
  }
  if (double seconds = 0; reader.seconds("STATSINTERVAL", &seconds)) {
    server.statsinterval = seconds;
    log_entry(server, "Statistics logged every %g seconds (0: never)\n", server.statsinterval);
  }
  if (char *value = reader.text("STATSFILE")) {
    set_path(server.statsfile, value);
    log_entry(server, "Statistics file %s written every %g seconds\n", server.statsfile,
              stats_period(server));
  }
}

// Loads every MODULE line. With REQUIREMODULES yes, the first line that
// loads nothing (or no line at all) ends start-up: false, reported.
bool load_modules(EvtServer &server, ConfigFile *config) {
  char line[kConfigLineSize];
  bool complete = true;
  configfile_search_begin(config, "MODULE");
  while (configfile_search_next(config, line, sizeof(line)) == 0) {
    int number = 0;
    configfile_line_number(config, &number);
    std::string why = load_module_line(server, line);
    if (!why.empty() && server.requiremodules) {
      log_startup_failure(server, "%s:%d: a module is required (REQUIREMODULES yes): %s\n",
                          server.config_file, number, why.c_str());
      complete = false;
      break;
    }
  }
  configfile_search_end(config);
  if (complete && server.requiremodules && !any_module_loaded(server)) {
    log_startup_failure(server, "%s: REQUIREMODULES is yes, and no MODULE line loads a module.\n",
                        server.config_file);
    complete = false;
  }
  return complete;
}

// Closes a module handle and frees the record; logs message, then the
// reason when there is one. Returns what failed, naming the module, for a
// start-up failure.
std::string reject_module(EvtServer &server, OrvikEHModule *module, const char *message,
                          const std::string &reason) {
  if (module->module != nullptr) dlclose(module->module);
  std::string path = module->modulepath != nullptr ? module->modulepath : "";
  free_module_record(module);
  log_entry(server, "%s", message);
  log_entry(server, "%s\n", reason.c_str());
  // The loader's reason names the file itself.
  return reason.find(path) != std::string::npos ? reason : path + ": " + reason;
}

template <typename Function>
Function lookup(void *handle, const char *name) {
  return reinterpret_cast<Function>(dlsym(handle, name));
}

// The entry points a module lacks, named.
std::string missing_symbols(const OrvikEHModule &module) {
  std::string missing;
  if (!module.module_init) missing += " module_init";
  if (!module.handle_event) missing += " handle_event";
  if (!module.module_cleanup) missing += " module_cleanup";
  return "dlsym(): missing" + missing;
}

constexpr option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

int parse_command_line(EvtServer &server, int argc, char **argv) {
  int option = 0;
  while ((option = getopt_long(argc, argv, "Df:hl:tV", kLongOptions, nullptr)) != -1) {
    switch (option) {
      case 'D':
        server.flags |= kFlagForeground;
        std::fputs("Not daemonizing.\n", stderr);
        break;
      case 'f':
        set_path(server.config_file, optarg);
        break;
      case 'l':
        set_path(server.log_file, optarg);
        break;
      case 't':
        server.check_only = true;
        break;
      case 'h':
        print_usage();
        return 0;
      case 'V':
        std::printf("\norvikevtd - version %s\n\n", kVersion);
        std::fflush(stdout);
        return 0;
      default:
        print_usage();
        return 255;
    }
  }
  return -1;
}

long default_max_queues(long queuesize, int item_size) {
  if (queuesize <= 0 || item_size <= 0) return kDefaultMaxQueues;
  unsigned long long queue_bytes =
      static_cast<unsigned long long>(queuesize) * static_cast<unsigned long long>(item_size);
  unsigned long long fitting = kDefaultPoolBytes / queue_bytes;
  long cap = fitting < static_cast<unsigned long long>(kDefaultMaxQueues)
                 ? static_cast<long>(fitting)
                 : kDefaultMaxQueues;
  return cap < kInitialQueueCount ? kInitialQueueCount : cap;
}

int read_configuration(EvtServer &server) {
  ConfigFile *config = nullptr;
  if (int status = configfile_open(&config, server.config_file); status != 0) {
    log_startup_failure(server, "cannot open configuration file %s: %s\n", server.config_file,
                        std::strerror(status));
    log_entry(server, "Failed to open configuration file.\n");
    return 2;
  }
  warn_about_lines(server, config);
  if (int status = read_required_keys(server, config); status != 0) return status;
  DirectiveReader reader(server, config);
  read_optional_directives(server, reader);
  read_service_directives(server, reader);
  bool usable = read_cipher_directives(server, config);
  if (int errors = reader.errors(); errors > 0) {
    log_entry(server, "Failed to read the configuration: %d value%s cannot work.\n", errors,
              errors == 1 ? "" : "s");
    usable = false;
  }
  if (usable) {
    // The daemon selects the acknowledged protocol whenever a client offers
    // it; a client that offers nothing gets plain intake.
    add_option(server, "ALPNProtocols", const_cast<char *>(kAckProtocol));
    if (server.maxqueues < 0)
      server.maxqueues = default_max_queues(server.queuesize, queue_item_size(server));
    usable = load_modules(server, config);
  }
  configfile_close(&config);
  if (!usable) {
    attribute_freeall(&server.modattrib);
    // Modules loaded before a required one failed are unloaded in order.
    modules_cleanup(server);
    return 2;
  }
  return 0;
}

bool any_module_loaded(EvtServer &server) {
  MutexLock lock(&server.modmutex);
  return server.modlist != nullptr;
}

void free_module_record(OrvikEHModule *module) {
  std::free(module->moduleargs);
  std::free(module->modulepath);
  delete module;
}

std::string load_module_line(EvtServer &server, char *line) {
  if (line[0] == '#') return {};
  Tokens tokens = tokenize(line);
  auto *module = new (std::nothrow) OrvikEHModule;
  if (module == nullptr) {
    log_entry(server, "Failed to open module.\n");
    return "module not loaded: out of memory";
  }
  if (tokens.items[1] == nullptr) {
    delete module;
    log_entry(server, "No module path specified.\n");
    return "no module path specified";
  }
  module->modulepath = strdup(tokens.items[1]);
  if (tokens.items[2] != nullptr) module->moduleargs = strdup(tokens.items[2]);
  if (module->modulepath == nullptr || (tokens.items[2] != nullptr && !module->moduleargs)) {
    return reject_module(server, module, "Failed to open module.\n", "out of memory");
  }
  log_entry(server, "Loading module: %s\n", module->modulepath);
  // RTLD_NODELETE: dlclose after module_cleanup never unmaps the module's
  // code, nor the libraries it brought in. A sink's writer or a client
  // library's own threads may still be winding down when the stop closes the
  // modules, and the process ends right after; unmapped code under a running
  // thread crashed the daemon at an orderly stop.
  module->module = dlopen(module->modulepath, RTLD_NOW | RTLD_NODELETE);
  if (module->module == nullptr) {
    const char *reason = dlerror();
    return reject_module(server, module, "Failed to open module.\n",
                         std::string("dlopen(): ") + (reason != nullptr ? reason : "failed"));
  }
  module->module_init = lookup<int (*)(char *)>(module->module, "module_init");
  module->module_cleanup = lookup<int (*)()>(module->module, "module_cleanup");
  module->handle_event = lookup<int (*)(EventData *)>(module->module, "handle_event");
  // Optional: a module with files of its own reopens them on SIGUSR1.
  module->module_reopen = lookup<int (*)()>(module->module, "module_reopen");
  module->module_committed = lookup<uint64_t (*)()>(module->module, "module_committed");
  if (!module->module_init || !module->module_cleanup || !module->handle_event) {
    return reject_module(server, module, "Failed to locate module symbols.\n",
                         missing_symbols(*module));
  }
  if (int rc = module->module_init(module->moduleargs); rc != 0) {
    return reject_module(server, module, "Calling module_init() failed.\n",
                         "module_init() returned " + std::to_string(rc));
  }
  int status = 0;
  {
    MutexLock lock(&server.modmutex);
    status = slist_item_add(&server.modlist, module);
  }
  if (status != 0) {
    // The module is initialised but cannot be listed: undo it completely.
    module->module_cleanup();
    return reject_module(server, module, "Failed to open module.\n", "out of memory");
  }
  log_entry(server, "Module loaded successfully.\n");
  return {};
}

}  // namespace orvikevtd

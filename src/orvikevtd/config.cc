// Start-up input: the command line, the configuration directives and the
// loading of handler modules.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

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

// strtol with base 10 and no validation: text that is not a number gives 0,
// trailing characters are ignored; values beyond long saturate.
long read_number(const char *text) {
  return std::strtol(text, nullptr, 10);
}

// The longest time a directive takes in seconds: a year.
constexpr double kMaxSeconds = 86400.0 * 365;

// SHUTDOWNDRAIN seconds, fractions allowed. Zero, a negative value or text
// that is not a number mean no drain; a longer time than the daemon accepts
// (infinity among them) is cut to that time rather than turned into no drain.
double read_drain_seconds(const char *text) {
  double seconds = std::strtod(text, nullptr);
  if (!(seconds > 0)) return 0;
  return seconds < kMaxSeconds ? seconds : kMaxSeconds;
}

// The value (second token) of the first line of directive, or null when the
// directive is absent or has no value. found tells the two apart; filled
// (when given) whether the line filled the buffer, so may have been cut.
template <int kSize>
char *first_value(ConfigFile *config, const char *directive, char (&line)[kSize], bool *found,
                  bool *filled = nullptr) {
  *found = false;
  char *value = nullptr;
  configfile_search_begin(config, directive);
  if (configfile_search_next(config, line, sizeof(line)) == 0) {
    *found = true;
    if (filled != nullptr) *filled = std::strlen(line) >= sizeof(line) - 1;
    value = tokenize(line).items[1];
  }
  configfile_search_end(config);
  return value;
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
    log_entry(server, "Failed to find PUBLICKEY directive.\n");
    configfile_close(&config);
    return 2;
  }
  add_option(server, "SSLCertificateFile", value);
  value = first_value(config, "PRIVATEKEY", line, &found);
  if (!found) {
    log_entry(server, "Failed to find PRIVATEKEY directive.\n");
    configfile_close(&config);
    attribute_freeall(&server.modattrib);
    return 2;
  }
  add_option(server, "SSLPrivateKeyFile", value);
  return 0;
}

// Seconds as QUEUEFLUSH reads them: fractions allowed; 0 for none, for text
// that is not a number and for values beyond a year.
double read_seconds(const char *text) {
  double seconds = std::strtod(text, nullptr);
  return (seconds > 0 && seconds < kMaxSeconds) ? seconds : 0;
}

void read_optional_directives(EvtServer &server, ConfigFile *config) {
  char line[kConfigLineSize];
  bool found = false;
  if (char *value = first_value(config, "EVENTPORT", line, &found)) {
    long port = read_number(value);
    // A port beyond int cannot be bound; keep it out of range instead of
    // letting it wrap into a valid one.
    server.serverport = (port < INT_MIN || port > INT_MAX) ? -1 : static_cast<int>(port);
    log_entry(server, "Listener will be setup on port %d\n", server.serverport);
  }
  if (char *value = first_value(config, "QUEUESIZE", line, &found)) {
    server.queuesize = read_number(value);
    log_entry(server, "Queue size set to %ld\n", server.queuesize);
  }
  if (char *value = first_value(config, "FLUSHLOG", line, &found)) {
    if (value[0] == 'Y' || value[0] == 'y') {
      server.flags |= kFlagFlushLog;
      log_entry(server, "Log entries will be flushed.\n");
    }
  }
  if (char *value = first_value(config, "CLIENTCA", line, &found)) {
    add_option(server, "SSLCACertificateFile", value);
    log_entry(server, "Clients must present a certificate signed by %s\n", value);
  }
  if (char *value = first_value(config, "MAXQUEUES", line, &found)) {
    // The initial queues always exist, so a smaller cap means that many; a
    // negative count is not a count and leaves the default in place.
    long count = read_number(value);
    if (count > 0 && count < server.queuecount) count = server.queuecount;
    if (count >= 0) {
      server.maxqueues = count;
      log_entry(server, "Queue pool limited to %ld queues (0: no limit)\n", server.maxqueues);
    }
  }
  if (char *value = first_value(config, "QUEUEFLUSH", line, &found)) {
    server.queueflush = read_seconds(value);
    log_entry(server, "Partly filled queues handed over after %g seconds (0: never)\n",
              server.queueflush);
  }
  if (char *value = first_value(config, "SHUTDOWNDRAIN", line, &found)) {
    server.shutdowndrain = read_drain_seconds(value);
    log_entry(server,
              "Orderly stop hands held events to the modules within %g seconds (0: stop at once)\n",
              server.shutdowndrain);
  }
}

// Cipher lists can be longer than the other values: their lines are read
// whole up to this size, and a longer one is refused rather than cut, since
// a cut list would silently lose names.
constexpr int kCipherLineSize = 2048;

// Passes one cipher directive's value to the comm layer as it is (the
// layer judges it when it loads). False, logged, when its line is too long.
bool read_cipher_directive(EvtServer &server, ConfigFile *config, const char *directive,
                           const char *option, const char *what) {
  char line[kCipherLineSize];
  bool found = false, filled = false;
  char *value = first_value(config, directive, line, &found, &filled);
  if (filled) {
    log_entry(server, "%s line is longer than %d characters.\n", directive, kCipherLineSize - 2);
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

// The listener's address, the connection cap and the statistics.
void read_service_directives(EvtServer &server, ConfigFile *config) {
  char line[kConfigLineSize];
  bool found = false;
  if (char *value = first_value(config, "EVENTADDRESS", line, &found)) {
    set_path(server.eventaddress, value);
    log_entry(server, "Listener will be setup on address %s\n", server.eventaddress);
  }
  if (char *value = first_value(config, "MAXCONNECTIONS", line, &found)) {
    // A negative count is not a count and leaves the default in place.
    if (long count = read_number(value); count >= 0) {
      server.maxconnections = count;
      log_entry(server, "Connections limited to %ld (0: no limit)\n", server.maxconnections);
    }
  }
  if (char *value = first_value(config, "MAXSTREAMS", line, &found)) {
    // A negative count is not a count and leaves the default in place.
    if (long count = read_number(value); count >= 0) {
      server.ack.maxstreams = count;
      log_entry(server, "Acknowledged streams remembered: at most %ld (0: no limit)\n",
                server.ack.maxstreams);
    }
  }
  if (char *value = first_value(config, "STATSINTERVAL", line, &found)) {
    server.statsinterval = read_seconds(value);
    log_entry(server, "Statistics logged every %g seconds (0: never)\n", server.statsinterval);
  }
  if (char *value = first_value(config, "STATSFILE", line, &found)) {
    set_path(server.statsfile, value);
    log_entry(server, "Statistics file %s written every %g seconds\n", server.statsfile,
              stats_period(server));
  }
}

void load_modules(EvtServer &server, ConfigFile *config) {
  char line[kConfigLineSize];
  configfile_search_begin(config, "MODULE");
  while (configfile_search_next(config, line, sizeof(line)) == 0) {
    load_module_line(server, line);
  }
  configfile_search_end(config);
}

// Closes a module handle and frees the record; logs message.
void reject_module(EvtServer &server, OrvikEHModule *module, const char *message) {
  if (module->module != nullptr) dlclose(module->module);
  free_module_record(module);
  log_entry(server, "%s", message);
}

template <typename Function>
Function lookup(void *handle, const char *name) {
  return reinterpret_cast<Function>(dlsym(handle, name));
}

}  // namespace

int parse_command_line(EvtServer &server, int argc, char **argv) {
  int option = 0;
  while ((option = getopt(argc, argv, "Df:hl:V")) != -1) {
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

long default_max_queues(long queuesize, int eventsize) {
  if (queuesize <= 0 || eventsize <= 0) return kDefaultMaxQueues;
  unsigned long long queue_bytes =
      static_cast<unsigned long long>(queuesize) * static_cast<unsigned long long>(eventsize);
  unsigned long long fitting = kDefaultPoolBytes / queue_bytes;
  long cap = fitting < static_cast<unsigned long long>(kDefaultMaxQueues)
                 ? static_cast<long>(fitting)
                 : kDefaultMaxQueues;
  return cap < kInitialQueueCount ? kInitialQueueCount : cap;
}

int read_configuration(EvtServer &server) {
  ConfigFile *config = nullptr;
  if (configfile_open(&config, server.config_file) != 0) {
    log_entry(server, "Failed to open configuration file.\n");
    return 2;
  }
  if (int status = read_required_keys(server, config); status != 0) return status;
  read_optional_directives(server, config);
  read_service_directives(server, config);
  if (!read_cipher_directives(server, config)) {
    configfile_close(&config);
    attribute_freeall(&server.modattrib);
    return 2;
  }
  // The daemon selects the acknowledged protocol whenever a client offers
  // it; a client that offers nothing gets plain intake.
  add_option(server, "ALPNProtocols", const_cast<char *>(kAckProtocol));
  if (server.maxqueues < 0)
    server.maxqueues = default_max_queues(server.queuesize, server.eventsize);
  load_modules(server, config);
  configfile_close(&config);
  return 0;
}

void free_module_record(OrvikEHModule *module) {
  std::free(module->moduleargs);
  std::free(module->modulepath);
  delete module;
}

void load_module_line(EvtServer &server, char *line) {
  if (line[0] == '#') return;
  Tokens tokens = tokenize(line);
  auto *module = new (std::nothrow) OrvikEHModule;
  if (module == nullptr) {
    log_entry(server, "Failed to open module.\n");
    return;
  }
  if (tokens.items[1] == nullptr) {
    delete module;
    log_entry(server, "No module path specified.\n");
    return;
  }
  module->modulepath = strdup(tokens.items[1]);
  if (tokens.items[2] != nullptr) module->moduleargs = strdup(tokens.items[2]);
  if (module->modulepath == nullptr || (tokens.items[2] != nullptr && !module->moduleargs)) {
    reject_module(server, module, "Failed to open module.\n");
    return;
  }
  log_entry(server, "Loading module: %s\n", module->modulepath);
  module->module = dlopen(module->modulepath, RTLD_NOW);
  if (module->module == nullptr) {
    reject_module(server, module, "Failed to open module.\n");
    return;
  }
  module->module_init = lookup<int (*)(char *)>(module->module, "module_init");
  module->module_cleanup = lookup<int (*)()>(module->module, "module_cleanup");
  module->handle_event = lookup<int (*)(EventData *)>(module->module, "handle_event");
  module->module_committed = lookup<uint64_t (*)()>(module->module, "module_committed");
  if (!module->module_init || !module->module_cleanup || !module->handle_event) {
    reject_module(server, module, "Failed to locate module symbols.\n");
    return;
  }
  if (module->module_init(module->moduleargs) != 0) {
    reject_module(server, module, "Calling module_init() failed.\n");
    return;
  }
  int status = 0;
  {
    MutexLock lock(&server.modmutex);
    status = slist_item_add(&server.modlist, module);
  }
  if (status != 0) {
    // The module is initialised but cannot be listed: undo it completely.
    module->module_cleanup();
    reject_module(server, module, "Failed to open module.\n");
    return;
  }
  log_entry(server, "Module loaded successfully.\n");
}

}  // namespace orvikevtd

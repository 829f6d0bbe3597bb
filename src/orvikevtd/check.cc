// The start-up steps a configuration check (-t) shares with a start, and
// the check itself: everything a start reads, loads and makes, without
// binding, detaching or serving, with the log on standard error.
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "evtserver.h"

namespace orvikevtd {
namespace {

const char *option_value(const EvtServer &server, const char *name) {
  return attribute_get_value(server.modattrib, const_cast<char *>(name));
}

// Names the TLS file the comm layer could not use, and why.
void report_unusable_tls_files(EvtServer &server, int status) {
  struct File {
    const char *option;
    const char *what;
  };
  constexpr File kFiles[] = {{"SSLCertificateFile", "certificate (PUBLICKEY)"},
                             {"SSLPrivateKeyFile", "private key (PRIVATEKEY)"},
                             {"SSLCACertificateFile", "client CA file (CLIENTCA)"}};
  for (const File &file : kFiles) {
    if (attribute_find(server.modattrib, const_cast<char *>(file.option)) == nullptr) continue;
    const char *path = option_value(server, file.option);
    if (path == nullptr) {
      log_startup_failure(server, "the %s is not given a path.\n", file.what);
      return;
    }
    if (FILE *opened = std::fopen(path, "re")) {
      std::fclose(opened);
    } else {
      log_startup_failure(server, "cannot read the %s %s: %s\n", file.what, path,
                          std::strerror(errno));
      return;
    }
  }
  const char *client_ca = option_value(server, "SSLCACertificateFile");
  log_startup_failure(server,
                      "the certificate %s and the key %s%s%s cannot be used (%s): not PEM, or "
                      "the key does not belong to the certificate.\n",
                      option_value(server, "SSLCertificateFile"),
                      option_value(server, "SSLPrivateKeyFile"),
                      client_ca != nullptr ? " or the client CA file " : "",
                      client_ca != nullptr ? client_ca : "", std::strerror(status));
}

bool check_log_file(EvtServer &server) {
  FILE *file = std::fopen(server.log_file, "a");
  if (file == nullptr) {
    log_startup_failure(server, "cannot open log file %s: %s\n", server.log_file,
                        std::strerror(errno));
    return false;
  }
  std::fclose(file);
  return true;
}

// EVENTADDRESS must be a numeric address, as the listener takes it.
bool check_address(EvtServer &server) {
  if (server.eventaddress[0] == '\0') return true;
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo *found = nullptr;
  int resolved = getaddrinfo(server.eventaddress, "1", &hints, &found);
  if (found != nullptr) freeaddrinfo(found);
  if (resolved == 0) return true;
  log_startup_failure(server, "%s: EVENTADDRESS %s is not an IPv4 or IPv6 address.\n",
                      server.config_file, server.eventaddress);
  return false;
}

// Everything a start would read, load and make; true when it would go on.
bool check_configuration(EvtServer &server) {
  bool usable = check_log_file(server);
  if (read_configuration(server) != 0) return false;
  log_if_no_module(server);
  usable = check_address(server) && usable;
  if (load_comm_layer(server) == 0) {
    comm_plugin_unload(&server.cm);
  } else {
    usable = false;
  }
  if (allocate_queues(server)) {
    queues_deallocate(server);
  } else {
    usable = false;
  }
  modules_cleanup(server);
  attribute_freeall(&server.modattrib);
  return usable;
}

}  // namespace

int load_comm_layer(EvtServer &server) {
  int status = comm_plugin_load(&server.cm, "comm_openssl", server.modattrib);
  if (status == 0) return 0;
  // What the comm layer refused (a cipher list, say), when it can tell.
  if (const char *why = comm_plugin_message(); why[0] != '\0') {
    log_startup_failure(server, "%s\n", why);
  } else {
    report_unusable_tls_files(server, status);
  }
  return status;
}

bool allocate_queues(EvtServer &server) {
  int status = queues_allocate(server, server.queuesize, server.queuecount);
  if (status == 0) return true;
  unsigned long long bytes = static_cast<unsigned long long>(server.queuesize) *
                             static_cast<unsigned long long>(server.eventsize);
  log_startup_failure(server, "cannot make %d event queues of %ld records (%llu bytes each): %s\n",
                      server.queuecount, server.queuesize, bytes, std::strerror(status));
  return false;
}

void log_if_no_module(EvtServer &server) {
  if (!any_module_loaded(server)) {
    log_entry(server, "No handler module is loaded: events are received and discarded.\n");
  }
}

[[noreturn]] void check_and_exit(EvtServer &server) {
  int log_fd = dup(STDERR_FILENO);
  FILE *log = log_fd >= 0 ? fdopen(log_fd, "w") : nullptr;
  if (log == nullptr && log_fd >= 0) close(log_fd);
  log_use_stream(server, log);
  server.flags |= kFlagFlushLog;
  bool usable = check_configuration(server);
  if (usable) {
    log_entry(server, "%s: configuration checked, a start would go on.\n", server.config_file);
  }
  log_close(server);
  std::exit(usable ? 0 : kExitConfiguration);
}

}  // namespace orvikevtd

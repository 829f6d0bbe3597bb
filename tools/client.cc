// Client side of the tools: transport options, connecting, writing records.
#include "client.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include <unistd.h>

namespace orvikevt {

namespace {

// Applies one connection option. False when its value is unusable (message
// printed); *handled false when the option is not a connection option.
bool HandleConnectionOption(const char *tool, int option, const char *value,
                            ConnectionOptions &options, bool *handled) {
  *handled = true;
  switch (option) {
    case 'H':
      options.host = value;
      return true;
    case 'p': {
      char *end = nullptr;
      long port = std::strtol(value, &end, 10);
      if (*value == '\0' || *end != '\0' || port < 1 || port > 65535) {
        std::fprintf(stderr, "%s: invalid port '%s'\n", tool, value);
        return false;
      }
      options.port = static_cast<int>(port);
      return true;
    }
    case 'c':
      options.ca_file = value;
      return true;
    case 'k':
      options.insecure = true;
      return true;
    case 'C':
      options.cert_file = value;
      return true;
    case 'K':
      options.key_file = value;
      return true;
    default:
      *handled = false;
      return true;
  }
}

}  // namespace

void PrintVersion(const char *tool) {
  std::printf("%s - version %s\n", tool, ORVIK_VERSION);
}

int ParseCommandLine(const char *tool, int argc, char **argv, const char *own_letters,
                     ConnectionOptions &connection,
                     const std::function<int(int option, const char *value)> &own_option) {
  std::string letters = std::string(kConnectionOptionLetters) + "V" + own_letters;
  int option = 0;
  while ((option = getopt(argc, argv, letters.c_str())) != -1) {
    if (option == 'V') {
      PrintVersion(tool);
      return -1;
    }
    bool handled = false;
    if (!HandleConnectionOption(tool, option, optarg, connection, &handled)) return kExitUsage;
    if (handled) continue;
    if (int status = own_option(option, optarg); status != 0) return status;
  }
  return 0;
}

int CheckConnectionOptions(const char *tool, const ConnectionOptions &options) {
  if (options.ca_file.empty() == !options.insecure) {
    std::fprintf(stderr, "%s: give either -c CAFILE or -k (no verification)\n", tool);
    return kExitUsage;
  }
  if (options.cert_file.empty() != options.key_file.empty()) {
    std::fprintf(stderr, "%s: -C and -K go together\n", tool);
    return kExitUsage;
  }
  return kExitOk;
}

bool ParseUnsigned(const char *text, int base, bool zero_allowed, unsigned long long max,
                   unsigned long long *value) {
  char *end = nullptr;
  errno = 0;
  unsigned long long parsed = std::strtoull(text, &end, base);
  if (*text == '\0' || *end != '\0' || errno != 0 || (parsed == 0 && !zero_allowed) ||
      parsed > max || text[0] == '-') {
    return false;
  }
  *value = parsed;
  return true;
}

Transport::~Transport() {
  if (module_ != nullptr) comm_plugin_unload(&module_);
}

int Transport::Load(const char *tool, const ConnectionOptions &options) {
  Attribute *attributes = nullptr;
  auto add = [&attributes](const char *name, const std::string &value) {
    attributes =
        attribute_add(attributes, const_cast<char *>(name), const_cast<char *>(value.c_str()));
  };
  if (!options.ca_file.empty()) add("SSLCACertificateFile", options.ca_file);
  if (options.insecure) add("SSLVerifyPeer", "0");
  if (!options.cert_file.empty()) {
    add("SSLCertificateFile", options.cert_file);
    add("SSLPrivateKeyFile", options.key_file);
  }
  int status = comm_plugin_load(&module_, "comm_openssl", attributes);
  attribute_freeall(&attributes);
  if (status != 0) {
    std::fprintf(stderr, "%s: cannot set up TLS (rc=%d: %s); check the certificate files\n", tool,
                 status, std::strerror(status));
    return kExitUnavailable;
  }
  return kExitOk;
}

int Transport::Connect(const char *tool, const ConnectionOptions &options, CommChannel **channel) {
  int status = comm_connect(module_, channel, options.host.c_str(), options.port, 0);
  if (status != 0) {
    std::fprintf(stderr, "%s: cannot connect to %s port %d (rc=%d: %s)\n", tool,
                 options.host.c_str(), options.port, status, std::strerror(status));
    return kExitUnavailable;
  }
  return kExitOk;
}

int WriteAll(const char *tool, CommChannel *channel, const char *bytes, size_t size) {
  while (size > 0) {
    int chunk = size > (1u << 30) ? (1 << 30) : static_cast<int>(size);
    int written = chunk;
    int status = comm_write(channel, bytes, &written);
    if (status != 0 || written <= 0) {
      std::fprintf(stderr, "%s: sending failed (rc=%d: %s)\n", tool, status,
                   std::strerror(status != 0 ? status : EIO));
      return kExitIoError;
    }
    bytes += written;
    size -= static_cast<size_t>(written);
  }
  return kExitOk;
}

void Disconnect(CommChannel **channel) {
  if (*channel == nullptr) return;
  comm_shutdown(*channel);
  comm_close(channel, 0);
}

bool FillRecord(const EventFields &fields, EventData *record) {
  if (fields.host.size() >= EVENTDATA_TEXT_SIZE || fields.object.size() >= EVENTDATA_TEXT_SIZE ||
      fields.data.size() > EVENTDATA_DATA_SIZE) {
    return false;
  }
  *record = EventData{};
  record->flags = fields.flags;
  record->rc = fields.rc;
  record->timestamp = fields.timestamp;
  record->datalen = static_cast<uint32_t>(fields.data.size());
  std::memcpy(record->hostname, fields.host.data(), fields.host.size());
  std::memcpy(record->object, fields.object.data(), fields.object.size());
  std::memcpy(record->data, fields.data.data(), fields.data.size());
  return true;
}

bool BuildRecord(const EventFields &fields, EventData *record) {
  if (!FillRecord(fields, record)) return false;
  eventdata_to_netorder(record);
  return true;
}

std::string DaemonList(const ConnectionOptions &options) {
  bool v6 = options.host.find(':') != std::string::npos;
  return (v6 ? "[" + options.host + "]" : options.host) + ":" + std::to_string(options.port);
}

int NewLibraryClient(const char *tool, const ConnectionOptions &options, const std::string &daemons,
                     const char *delivery, unsigned buffer_records, OrvikClient **client) {
  OrvikClientOptions *settings = nullptr;
  if (orvik_client_options_new(&settings) != 0) {
    std::fprintf(stderr, "%s: out of memory\n", tool);
    return kExitUnavailable;
  }
  std::unique_ptr<OrvikClientOptions, void (*)(OrvikClientOptions *)> owned(
      settings, [](OrvikClientOptions *o) { orvik_client_options_free(&o); });
  if (orvik_client_options_set(settings, "daemons", daemons.c_str()) != 0) {
    std::fprintf(stderr, "%s: invalid daemon list '%s' (host:port,...)\n", tool, daemons.c_str());
    return kExitUsage;
  }
  auto set = [settings](const char *name, const std::string &value) {
    if (!value.empty()) orvik_client_options_set(settings, name, value.c_str());
  };
  set("ca_file", options.ca_file);
  set("insecure", options.insecure ? "1" : "");
  set("certificate", options.cert_file);
  set("key", options.key_file);
  set("delivery", delivery);
  set("buffer_records", buffer_records > 0 ? std::to_string(buffer_records) : "");
  int status = orvik_client_new(client, settings);
  if (status != 0) {
    std::fprintf(stderr, "%s: cannot set up TLS (rc=%d: %s); check the certificate files\n", tool,
                 status, std::strerror(status));
    return kExitUnavailable;
  }
  return kExitOk;
}

int DeliveryBlocked(const OrvikClientCounters &counters, size_t daemons) {
  if (counters.last_error == ENOPROTOOPT) return kExitProtocol;
  bool ever_connected =
      counters.written > 0 || counters.acknowledging != 0 || counters.reconnects > 0;
  if (!ever_connected && counters.last_error != 0 && counters.failed_attempts >= daemons) {
    return kExitUnavailable;
  }
  return kExitOk;
}

namespace {

// The message for a status of DeliveryBlocked, or for records left over.
int ReportUndelivered(const char *tool, OrvikClient *client, int blocked) {
  OrvikClientCounters counters{};
  orvik_client_counters(client, &counters);
  if (blocked == kExitProtocol) {
    std::fprintf(stderr,
                 "%s: the daemon does not acknowledge events (no orvik-ack/1); -f sends "
                 "without acknowledgements\n",
                 tool);
  } else if (blocked == kExitUnavailable) {
    std::fprintf(stderr, "%s: cannot connect (rc=%d: %s)\n", tool, counters.last_error,
                 std::strerror(counters.last_error));
  } else {
    uint64_t done = counters.acknowledging != 0 || counters.acknowledged > 0 ? counters.acknowledged
                                                                             : counters.written;
    std::fprintf(stderr, "%s: %llu of %llu events not delivered in time (last error rc=%d)\n", tool,
                 static_cast<unsigned long long>(counters.sent - done),
                 static_cast<unsigned long long>(counters.sent), counters.last_error);
    return kExitIoError;
  }
  return blocked;
}

// Slices of a wait, so that a hopeless one ends early.
constexpr int kWaitSliceMs = 100;

}  // namespace

namespace {

// Calls attempt(slice_ms) until it succeeds or timeout_ms has passed, in
// slices, so that a hopeless wait ends early.
int RetryInSlices(const char *tool, OrvikClient *client, int timeout_ms, size_t daemons,
                  const std::function<bool(int slice_ms)> &attempt) {
  for (int waited = 0;; waited += kWaitSliceMs) {
    int slice = timeout_ms - waited < kWaitSliceMs ? timeout_ms - waited : kWaitSliceMs;
    if (attempt(slice < 0 ? 0 : slice)) return kExitOk;
    OrvikClientCounters counters{};
    orvik_client_counters(client, &counters);
    int blocked = DeliveryBlocked(counters, daemons);
    if (blocked != kExitOk || waited + kWaitSliceMs >= timeout_ms) {
      return ReportUndelivered(tool, client, blocked);
    }
  }
}

}  // namespace

int SendRecord(const char *tool, OrvikClient *client, const EventData &record, int timeout_ms,
               size_t daemons) {
  return RetryInSlices(tool, client, timeout_ms, daemons,
                       [&](int slice) { return orvik_client_send(client, &record, slice) == 0; });
}

int AwaitDelivery(const char *tool, OrvikClient *client, int timeout_ms, size_t daemons) {
  return RetryInSlices(tool, client, timeout_ms, daemons,
                       [&](int slice) { return orvik_client_flush(client, slice) == 0; });
}

uint64_t NowMicroseconds() {
  timespec now = {};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

}  // namespace orvikevt

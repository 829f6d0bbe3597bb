// Client side of the tools: transport options, connecting, writing records.
#include "client.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
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
  std::string letters = std::string(kConnectionOptionLetters) + own_letters;
  int option = 0;
  while ((option = getopt(argc, argv, letters.c_str())) != -1) {
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

bool BuildRecord(const EventFields &fields, EventData *record) {
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
  eventdata_to_netorder(record);
  return true;
}

uint64_t NowMicroseconds() {
  timespec now = {};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

}  // namespace orvikevt

// The NATS settings file and client options (nats_config.h).
#include "nats_config.h"

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <orvik/conffile.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string_view>

namespace orvikevt::nats {
namespace {

constexpr int kLineSize = 1024;
constexpr const char *kBlanks = " \t\r\n";

constexpr std::array<const char *, 12> kDirectives = {
    "SERVERS", "SUBJECT",    "STREAM", "CREATESTREAM", "REPLICAS", "BATCH",
    "FLUSHMS", "MAXPENDING", "CREDS",  "TLSCA",        "TLSCERT",  "TLSKEY"};

bool IsKnown(std::string_view directive) {
  for (const char *known : kDirectives) {
    if (directive == known) return true;
  }
  return false;
}

// The liborvik reader only searches for one directive at a time, so the
// unknown ones are found by reading every line's first token, with the
// reader's rules: blank lines and lines whose first non-blank is '#' are
// skipped.
std::string FindUnknownDirective(const char *path) {
  std::ifstream file(path);
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    size_t start = line.find_first_not_of(kBlanks);
    if (start == std::string::npos || line[start] == '#') continue;
    size_t end = line.find_first_of(kBlanks, start);
    std::string directive = line.substr(start, end - start);
    if (!IsKnown(directive)) {
      return "unknown directive '" + directive + "' on line " + std::to_string(number);
    }
  }
  return "";
}

// The values of one directive's line: everything after the directive, with
// the surrounding blanks removed. found false when the directive is absent.
struct Value {
  bool found = false;
  std::string text;
};

std::string ReadValue(ConfigFile *file, const char *directive, Value *value) {
  char line[kLineSize];
  char second[kLineSize];
  *value = Value();
  configfile_search_begin(file, directive);
  int result = configfile_search_next(file, line, sizeof(line));
  // A second line of the same directive is a mistake, not an override.
  bool twice = result == 0 && configfile_search_next(file, second, sizeof(second)) == 0;
  configfile_search_end(file);
  if (result != 0) return "";
  if (twice) return std::string(directive) + " appears more than once";
  if (std::strlen(line) >= sizeof(line) - 1) return std::string(directive) + " line is too long";
  std::string_view text(line);
  size_t start = text.find_first_not_of(kBlanks);
  start = text.find_first_of(kBlanks, start);
  if (start != std::string_view::npos) start = text.find_first_not_of(kBlanks, start);
  if (start == std::string_view::npos) return std::string(directive) + " needs a value";
  size_t end = text.find_last_not_of(kBlanks);
  value->found = true;
  value->text = std::string(text.substr(start, end + 1 - start));
  return "";
}

std::string Bad(const char *directive, const std::string &value, const char *expected) {
  return "bad " + std::string(directive) + " '" + value + "': " + expected;
}

bool ParseNumber(const std::string &text, unsigned long min, unsigned long max,
                 unsigned long *number) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  char *end = nullptr;
  errno = 0;
  unsigned long parsed = std::strtoul(text.c_str(), &end, 10);
  if (*end != '\0' || errno != 0 || parsed < min || parsed > max) return false;
  *number = parsed;
  return true;
}

// scheme://[user[:password]@]host[:port], scheme nats or tls.
bool IsServerUrl(std::string_view url) {
  size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) return false;
  std::string_view scheme = url.substr(0, scheme_end);
  if (scheme != "nats" && scheme != "tls") return false;
  std::string_view rest = url.substr(scheme_end + 3);
  if (size_t at = rest.rfind('@'); at != std::string_view::npos) rest = rest.substr(at + 1);
  if (rest.empty() || rest.find_first_of(" \t/") != std::string_view::npos) return false;
  size_t colon = rest.rfind(':');
  if (colon == std::string_view::npos || rest.back() == ']') return true;  // default port
  if (colon == 0) return false;
  unsigned long port = 0;
  return ParseNumber(std::string(rest.substr(colon + 1)), 1, 65535, &port);
}

std::string ParseServers(const std::string &text, std::vector<std::string> *servers) {
  servers->clear();
  size_t start = 0;
  for (;;) {
    size_t comma = text.find(',', start);
    std::string url = text.substr(start, comma == std::string::npos ? comma : comma - start);
    size_t first = url.find_first_not_of(kBlanks);
    size_t last = url.find_last_not_of(kBlanks);
    url = first == std::string::npos ? "" : url.substr(first, last + 1 - first);
    if (!IsServerUrl(url)) {
      return Bad("SERVERS", url, "expected nats://host:port or tls://host:port, comma-separated");
    }
    servers->push_back(url);
    if (comma == std::string::npos) return "";
    start = comma + 1;
  }
}

// Tokens separated by '.', none empty, no wildcards or blanks.
bool IsSubject(std::string_view subject) {
  if (subject.empty() || subject.front() == '.' || subject.back() == '.') return false;
  if (subject.find("..") != std::string_view::npos) return false;
  return subject.find_first_of(" \t*>") == std::string_view::npos;
}

bool IsStreamName(std::string_view name) {
  return !name.empty() && name.size() <= 255 &&
         name.find_first_of(" \t.*>/\\") == std::string_view::npos;
}

}  // namespace

std::string ApplyDirective(const char *directive, const std::string &text, NatsConfig *config) {
  std::string_view name(directive);
  unsigned long number = 0;
  if (name == "SERVERS") return ParseServers(text, &config->servers);
  if (name == "SUBJECT") {
    if (!IsSubject(text)) return Bad(directive, text, "expected a subject without wildcards");
    config->subject = text;
  } else if (name == "STREAM") {
    if (!IsStreamName(text)) return Bad(directive, text, "expected a name without . * > / \\");
    config->stream = text;
  } else if (name == "CREATESTREAM") {
    if (text != "yes" && text != "no") return Bad(directive, text, "expected yes or no");
    config->create_stream = text == "yes";
  } else if (name == "REPLICAS") {
    if (!ParseNumber(text, 1, kMaxReplicas, &number))
      return Bad(directive, text, "expected 1 to 5");
    config->replicas = static_cast<int>(number);
  } else if (name == "BATCH") {
    if (!ParseNumber(text, 1, kMaxBatch, &number))
      return Bad(directive, text, "expected 1 to 1024");
    config->batch = static_cast<uint32_t>(number);
  } else if (name == "FLUSHMS") {
    if (!ParseNumber(text, 1, kMaxFlushMs, &number)) {
      return Bad(directive, text, "expected 1 to 60000");
    }
    config->flush_ms = static_cast<uint32_t>(number);
  } else if (name == "MAXPENDING") {
    if (!ParseNumber(text, 1, kMaxPending, &number)) {
      return Bad(directive, text, "expected 1 to 4096");
    }
    config->max_pending = static_cast<uint32_t>(number);
  } else if (text.find_first_of(kBlanks) != std::string::npos) {
    return Bad(directive, text, "expected one file name");
  } else if (name == "CREDS") {
    config->creds = text;
  } else if (name == "TLSCA") {
    config->tls_ca = text;
  } else if (name == "TLSCERT") {
    config->tls_cert = text;
  } else {
    config->tls_key = text;
  }
  return "";
}

namespace {

struct FileCloser {
  void operator()(FILE *file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

std::string OpenFailure(const char *directive, const std::string &path, int error) {
  return std::string(directive) + " " + path + ": " + std::strerror(error);
}

std::string CheckCertificates(const char *directive, const std::string &path, X509 **first) {
  File file(std::fopen(path.c_str(), "re"));
  if (!file) return OpenFailure(directive, path, errno);
  X509 *certificate = PEM_read_X509(file.get(), nullptr, nullptr, nullptr);
  if (certificate == nullptr) return std::string(directive) + " " + path + ": no PEM certificate";
  if (first != nullptr) {
    *first = certificate;
  } else {
    X509_free(certificate);
  }
  return "";
}

// REQUIRES: TLSCERT and TLSKEY both set or both empty (ReadNatsConfig).
std::string CheckTls(const NatsConfig &config) {
  if (!config.tls_ca.empty()) {
    if (std::string error = CheckCertificates("TLSCA", config.tls_ca, nullptr); !error.empty()) {
      return error;
    }
  }
  if (config.tls_cert.empty()) return "";
  X509 *certificate = nullptr;
  if (std::string error = CheckCertificates("TLSCERT", config.tls_cert, &certificate);
      !error.empty()) {
    return error;
  }
  std::unique_ptr<X509, decltype(&X509_free)> owned(certificate, X509_free);
  File file(std::fopen(config.tls_key.c_str(), "re"));
  if (!file) return OpenFailure("TLSKEY", config.tls_key, errno);
  EVP_PKEY *key = PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr);
  if (key == nullptr) return "TLSKEY " + config.tls_key + ": no PEM private key";
  bool matches = X509_check_private_key(certificate, key) == 1;
  EVP_PKEY_free(key);
  if (!matches) return "TLSKEY " + config.tls_key + " does not belong to TLSCERT";
  return "";
}

std::string CheckCreds(const std::string &path) {
  File file(std::fopen(path.c_str(), "re"));
  if (!file) return OpenFailure("CREDS", path, errno);
  std::string text;
  char chunk[4096];
  for (size_t got; (got = std::fread(chunk, 1, sizeof(chunk), file.get())) > 0;) {
    text.append(chunk, got);
    if (text.size() > 1024 * 1024) break;  // far beyond any credentials file
  }
  if (text.find("-----BEGIN NATS USER JWT-----") == std::string::npos ||
      text.find("-----BEGIN USER NKEY SEED-----") == std::string::npos) {
    return "CREDS " + path + ": not a credentials file (user JWT and seed)";
  }
  return "";
}

}  // namespace

std::string ReadNatsConfig(const char *path, NatsConfig *config) {
  *config = NatsConfig();
  std::string where = std::string(path != nullptr ? path : "(none)") + ": ";
  if (path == nullptr || path[0] == '\0') return "no configuration file given";
  ConfigFile *file = nullptr;
  if (int result = configfile_open(&file, path); result != 0) {
    return where + std::strerror(result);
  }
  std::string error = FindUnknownDirective(path);
  for (const char *directive : kDirectives) {
    if (!error.empty()) break;
    Value value;
    error = ReadValue(file, directive, &value);
    if (error.empty() && value.found) error = ApplyDirective(directive, value.text, config);
  }
  configfile_close(&file);
  if (error.empty()) {
    if (config->tls_cert.empty() != config->tls_key.empty()) {
      error = "TLSCERT and TLSKEY go together";
    }
  }
  return error.empty() ? "" : where + error;
}

std::string CheckSecurityFiles(const NatsConfig &config) {
  if (std::string error = CheckTls(config); !error.empty()) return error;
  if (!config.creds.empty()) return CheckCreds(config.creds);
  return "";
}

std::string ServerList(const NatsConfig &config) {
  std::string list;
  for (const std::string &server : config.servers) {
    size_t scheme = server.find("://");
    size_t at = server.rfind('@');
    list +=
        (list.empty() ? "" : ",") +
        (at != std::string::npos ? server.substr(0, scheme + 3) + server.substr(at + 1) : server);
  }
  return list;
}

void ReleaseCompressionMethods() {
  // The table lists no methods unless OpenSSL was built with compression;
  // their records then stay allocated until the process ends.
  sk_SSL_COMP_free(SSL_COMP_set0_compression_methods(nullptr));
}

std::string StatusText(natsStatus status) {
  natsStatus last = NATS_OK;
  const char *text = nats_GetLastError(&last);
  std::string result = natsStatus_GetText(status);
  if (text != nullptr && text[0] != '\0' && std::strcmp(text, result.c_str()) != 0) {
    result += std::string(": ") + text;
  }
  return result;
}

natsStatus MakeOptions(const NatsConfig &config, const ConnectionSettings &settings,
                       natsOptions **options, std::string *error) {
  *options = nullptr;
  natsOptions *made = nullptr;
  natsStatus status = natsOptions_Create(&made);
  if (status != NATS_OK) {
    *error = "cannot make client options: " + StatusText(status);
    return status;
  }
  std::unique_ptr<natsOptions, OptionsDeleter> owned(made);
  std::vector<const char *> urls;
  for (const std::string &url : config.servers) urls.push_back(url.c_str());
  auto step = [&](natsStatus result, const char *what) {
    if (status == NATS_OK && result != NATS_OK) {
      status = result;
      *error = std::string(what) + ": " + StatusText(result);
    }
  };
  step(natsOptions_SetServers(made, urls.data(), static_cast<int>(urls.size())), "SERVERS");
  if (!settings.name.empty()) step(natsOptions_SetName(made, settings.name.c_str()), "name");
  if (!config.tls_ca.empty()) {
    step(natsOptions_SetSecure(made, true), "TLS");
    step(natsOptions_LoadCATrustedCertificates(made, config.tls_ca.c_str()), "TLSCA");
  }
  if (!config.tls_cert.empty()) {
    step(natsOptions_SetSecure(made, true), "TLS");
    step(natsOptions_LoadCertificatesChain(made, config.tls_cert.c_str(), config.tls_key.c_str()),
         "TLSCERT/TLSKEY");
  }
  if (!config.creds.empty()) {
    step(natsOptions_SetUserCredentialsFromFiles(made, config.creds.c_str(), nullptr), "CREDS");
  }
  if (settings.keep_trying) {
    step(natsOptions_SetMaxReconnect(made, -1), "reconnect");
    step(natsOptions_SetReconnectWait(made, 250), "reconnect wait");
    step(natsOptions_SetReconnectJitter(made, 100, 500), "reconnect jitter");
    step(natsOptions_SetReconnectBufSize(made, static_cast<int>(settings.reconnect_buffer)),
         "reconnect buffer");
    step(natsOptions_SetRetryOnFailedConnect(made, true, settings.reconnected, settings.closure),
         "connect retry");
  }
  if (settings.disconnected != nullptr) {
    step(natsOptions_SetDisconnectedCB(made, settings.disconnected, settings.closure),
         "disconnect handler");
  }
  if (settings.reconnected != nullptr) {
    step(natsOptions_SetReconnectedCB(made, settings.reconnected, settings.closure),
         "reconnect handler");
  }
  if (settings.closed != nullptr) {
    step(natsOptions_SetClosedCB(made, settings.closed, settings.closure), "closed handler");
  }
  if (status == NATS_OK) *options = owned.release();
  return status;
}

}  // namespace orvikevt::nats

// Options of a client: parsing their text and checking the combination.
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>

#include "client_p.h"

namespace orvikclient {
namespace {

// A whole decimal number from min to max.
bool ParseNumber(std::string_view text, long long min, long long max, long long *value) {
  long long parsed = 0;
  const char *end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, parsed);
  if (text.empty() || error != std::errc() || stop != end || parsed < min || parsed > max) {
    return false;
  }
  *value = parsed;
  return true;
}

int ParseDaemon(std::string_view item, DaemonAddress *daemon) {
  std::string_view host;
  std::string_view port;
  if (!item.empty() && item.front() == '[') {
    size_t close = item.find(']');
    if (close == std::string_view::npos || close + 1 >= item.size() || item[close + 1] != ':') {
      return EINVAL;
    }
    host = item.substr(1, close - 1);
    port = item.substr(close + 2);
  } else {
    size_t colon = item.rfind(':');
    if (colon == std::string_view::npos) return EINVAL;
    host = item.substr(0, colon);
    port = item.substr(colon + 1);
    // A bare IPv6 address needs its brackets: its colons would be ambiguous.
    if (host.find(':') != std::string_view::npos) return EINVAL;
  }
  long long number = 0;
  if (host.empty() || !ParseNumber(port, 1, 65535, &number)) return EINVAL;
  daemon->host.assign(host);
  daemon->port = static_cast<int>(number);
  return 0;
}

int ParseMilliseconds(const char *value, long long min, int *out) {
  long long number = 0;
  if (!ParseNumber(value, min, 24LL * 3600 * 1000, &number)) return EINVAL;
  *out = static_cast<int>(number);
  return 0;
}

int ParseDelivery(std::string_view value, Delivery *delivery) {
  if (value == "acknowledged") {
    *delivery = Delivery::kAcknowledged;
  } else if (value == "fire-and-forget-allowed") {
    *delivery = Delivery::kFireAndForgetAllowed;
  } else if (value == "fire-and-forget") {
    *delivery = Delivery::kFireAndForget;
  } else {
    return EINVAL;
  }
  return 0;
}

}  // namespace

int ParseDaemons(std::string_view text, std::vector<DaemonAddress> *daemons) {
  std::vector<DaemonAddress> parsed;
  while (true) {
    size_t comma = text.find(',');
    DaemonAddress daemon;
    if (int rc = ParseDaemon(text.substr(0, comma), &daemon); rc != 0) return rc;
    parsed.push_back(std::move(daemon));
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  *daemons = std::move(parsed);
  return 0;
}

int ApplyOption(Settings *settings, std::string_view name, const char *value) {
  std::string_view text = value;
  long long number = 0;
  if (name == "daemons") return ParseDaemons(text, &settings->daemons);
  if (name == "ca_file" || name == "certificate" || name == "key") {
    std::string &field = name == "ca_file"       ? settings->ca_file
                         : name == "certificate" ? settings->certificate
                                                 : settings->key;
    field.assign(text);
    return 0;
  }
  if (name == "insecure") {
    if (text != "0" && text != "1") return EINVAL;
    settings->insecure = text == "1";
    return 0;
  }
  if (name == "buffer_records") {
    if (!ParseNumber(text, 1, kMaxBufferRecords, &number)) return EINVAL;
    settings->buffer_records = static_cast<uint32_t>(number);
    return 0;
  }
  if (name == "delivery") return ParseDelivery(text, &settings->delivery);
  if (name == "connect_timeout_ms")
    return ParseMilliseconds(value, 1, &settings->connect_timeout_ms);
  if (name == "backoff_min_ms") return ParseMilliseconds(value, 1, &settings->backoff_min_ms);
  if (name == "backoff_max_ms") return ParseMilliseconds(value, 1, &settings->backoff_max_ms);
  return EINVAL;
}

int CheckSettings(const Settings &settings) {
  if (settings.daemons.empty()) return EINVAL;
  // Verification is skipped only when asked for, and never silently
  // combined with a CA that would not be used.
  if (settings.ca_file.empty() == !settings.insecure) return EINVAL;
  if (settings.certificate.empty() != settings.key.empty()) return EINVAL;
  if (settings.backoff_min_ms > settings.backoff_max_ms) return EINVAL;
  return 0;
}

}  // namespace orvikclient

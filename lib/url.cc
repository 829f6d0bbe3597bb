// URL records: parsing from text, construction to text, query parameters.
#include "tarnu/url.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "alloc.h"
#include "tarnu/strfuncs.h"

using tarnu::detail::Calloc;
using tarnu::detail::Free;
using tarnu::detail::FreeDeleter;
using tarnu::detail::Malloc;
using tarnu::detail::NewZeroed;
using tarnu::detail::Strdup;

namespace {

constexpr int kConstructCapacity = 256;  // a constructed URL has at most 255 characters
constexpr int kMaxParameters = 32;
constexpr int kMaxPort = 65535;
// Bounds the buffer of the services-database lookup, which doubles on ERANGE.
constexpr std::size_t kFirstLookupBuffer = 1024;
constexpr std::size_t kMaxLookupBuffer = 1 << 16;

char kEmpty[] = "";

void FreeUrl(Url *url) {
  Free(url->protocol);
  Free(url->hostname);
  Free(url->path);
  attribute_freeall(&url->attrib);
  Free(url);
}

struct UrlDeleter {
  void operator()(Url *url) const noexcept { FreeUrl(url); }
};
using UrlPtr = std::unique_ptr<Url, UrlDeleter>;

// The fields of one split. Fields can be taken out one by one; whatever is
// left is released with the array.
class Fields {
 public:
  Fields() = default;
  Fields(const Fields &) = delete;
  Fields &operator=(const Fields &) = delete;
  ~Fields() {
    if (items_ == nullptr) return;
    for (int i = 0; i < count_; ++i) Free(items_[i]);
    Free(items_);
  }

  // Splits the zero-terminated `text` at `delimiter` into at most `max` fields.
  // 22 for empty text, 12 on allocation failure.
  int Split(const char *text, char delimiter, int max) {
    const std::size_t length = std::strlen(text);
    if (length > INT_MAX) return EINVAL;
    count_ = max;
    const int result = strnsplit(text, static_cast<int>(length), delimiter, &items_, &count_);
    if (result != 0) count_ = 0;
    return result;
  }

  int count() const { return count_; }
  const char *operator[](int i) const { return items_[i]; }
  // Hands field i over to the caller.
  char *Take(int i) {
    char *field = items_[i];
    items_[i] = nullptr;
    return field;
  }

 private:
  char **items_ = nullptr;
  int count_ = 0;
};

// Looks `name` up as a TCP service in the services database, reentrantly.
// *port is the service's port, or 0 when there is none. 12 when the lookup
// buffer cannot be allocated.
int LookupService(const char *name, int *port) {
  *port = 0;
  for (std::size_t size = kFirstLookupBuffer; size <= kMaxLookupBuffer; size *= 2) {
    std::unique_ptr<char, FreeDeleter> buffer(static_cast<char *>(Malloc(size)));
    if (buffer == nullptr) return ENOMEM;
    servent entry{};
    servent *found = nullptr;
    const int result = getservbyname_r(name, "tcp", &entry, buffer.get(), size, &found);
    if (result == ERANGE) continue;
    if (result == 0 && found != nullptr) {
      *port = ntohs(static_cast<uint16_t>(found->s_port));
    }
    return 0;
  }
  return 0;  // an entry too large for any buffer counts as not found
}

// Reads the port text: its leading decimal number (white space, optional sign,
// digits), or, when that number is 0, the port of the service of that name.
// 22 for a number outside 0..65535.
int ParsePort(const char *text, int *port) {
  const char *p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  long value = 0;
  for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
    value = value * 10 + (*p - '0');
    if (value > kMaxPort) return EINVAL;  // stops before it could overflow
  }
  if (value == 0) return LookupService(text, port);
  if (negative) return EINVAL;
  *port = static_cast<int>(value);
  return 0;
}

// Adds one query field ("name", "name=value") unless its name is present.
// 22 for a field without name, 12 on allocation failure.
int AddQueryField(Url *url, const char *field) {
  if (field[0] == '=') return EINVAL;
  Fields pair;
  if (int result = pair.Split(field, '=', 2); result != 0) return result;
  char *name = pair.Take(0);
  std::unique_ptr<char, FreeDeleter> name_owner(name);
  char *value = pair.count() == 2 ? pair.Take(1) : nullptr;
  std::unique_ptr<char, FreeDeleter> value_owner(value);
  if (attribute_find(url->attrib, name) != nullptr) return 0;  // the first occurrence wins
  Attribute *list = attribute_add(url->attrib, name, value);
  if (list == url->attrib) return ENOMEM;
  url->attrib = list;
  return 0;
}

// Parses "path?query" into the record.
int ParsePathAndQuery(Url *url, const char *rest) {
  Fields path_query;
  if (int result = path_query.Split(rest, '?', 2); result != 0) return result;
  if (path_query.count() == 0) return EINVAL;  // only "?"
  url->path = path_query.Take(0);
  if (path_query.count() < 2) return 0;
  Fields query;
  if (int result = query.Split(path_query[1], '&', kMaxParameters); result != 0) return result;
  for (int i = 0; i < query.count(); ++i) {
    if (int result = AddQueryField(url, query[i]); result != 0) return result;
  }
  return 0;
}

int ParseUrl(Url *url, const char *string) {
  // A leading ":" would make the next piece stand in for the missing one.
  if (string[0] == ':') return EINVAL;
  Fields top;
  if (int result = top.Split(string, ':', 2); result != 0) return result;
  if (top.count() < 2) return EINVAL;  // no ":" or nothing after it
  url->protocol = top.Take(0);

  Fields address;
  if (int result = address.Split(top[1], '/', 2); result != 0) return result;
  if (address.count() == 0) return EINVAL;  // only "/"

  if (address[0][0] == ':') return EINVAL;  // port without host name
  Fields host;
  if (int result = host.Split(address[0], ':', 2); result != 0) return result;
  url->hostname = host.Take(0);
  if (host.count() == 2) {
    if (int result = ParsePort(host[1], &url->port); result != 0) return result;
  }
  if (address.count() < 2) return 0;
  return ParsePathAndQuery(url, address[1]);
}

// Appends `text` to the construct buffer if it fits with the terminator.
bool Append(LString *out, std::size_t used, const char *text) {
  const std::size_t length = std::strlen(text);
  if (used + length + 1 > static_cast<std::size_t>(out->alloclen)) return false;
  std::memcpy(out->buffer + used, text, length + 1);
  return true;
}

// Appends one parameter: "&" when `separate`, then the name, and "=" with the
// value when there is one. 22 for a null argument or a buffer not terminated
// within its capacity, 75 when the text does not fit.
int AppendParameter(Attribute *attrib, LString *lstring, bool separate) {
  if (attrib == nullptr || lstring == nullptr || lstring->buffer == nullptr ||
      lstring->alloclen < 1) {
    return EINVAL;
  }
  const std::size_t capacity = static_cast<std::size_t>(lstring->alloclen);
  const std::size_t used = strnlen(lstring->buffer, capacity);
  if (used == capacity) return EINVAL;  // not terminated inside its capacity
  char *name = nullptr;
  char *value = nullptr;
  if (int result = attribute_get_name_and_value(attrib, &name, &value); result != 0) return result;
  if (name == nullptr) return EINVAL;
  const std::size_t needed =
      (separate ? 1 : 0) + std::strlen(name) + (value != nullptr ? 1 + std::strlen(value) : 0) + 1;
  if (needed > capacity - used) return EOVERFLOW;
  char *out = lstring->buffer + used;
  if (separate) *out++ = '&';
  out = stpcpy(out, name);
  if (value != nullptr) {
    *out++ = '=';
    stpcpy(out, value);
  }
  return 0;
}

// The query walk of url_construct. The separator is decided by position, not
// by the buffer's last character, so that a parameter whose name or value
// ends in "?" does not swallow the "&" of the next one.
struct QueryWriter {
  LString *out;
  bool first;
};

int AppendQueryParameter(Attribute *node, void *data) {
  auto *writer = static_cast<QueryWriter *>(data);
  const int result = AppendParameter(node, writer->out, !writer->first);
  writer->first = false;
  return result;
}

int StringOrEmpty(const char *field, char **out) {
  *out = field != nullptr ? const_cast<char *>(field) : kEmpty;
  return 0;
}

}  // namespace

extern "C" {

int url_new(Url **urlp, char *protocol, char *hostname, char *path, int port) {
  if (urlp == nullptr || protocol == nullptr || hostname == nullptr) return EINVAL;
  UrlPtr url(NewZeroed<Url>());
  if (url == nullptr) return ENOMEM;
  url->protocol = Strdup(protocol);
  url->hostname = Strdup(hostname);
  if (path != nullptr) url->path = Strdup(path);
  if (url->protocol == nullptr || url->hostname == nullptr ||
      (path != nullptr && url->path == nullptr)) {
    return ENOMEM;
  }
  url->port = port;
  *urlp = url.release();
  return 0;
}

int url_new_parse(Url **urlp, char *string) {
  if (urlp == nullptr || string == nullptr) return EINVAL;
  *urlp = nullptr;
  UrlPtr url(NewZeroed<Url>());
  if (url == nullptr) return ENOMEM;
  if (int result = ParseUrl(url.get(), string); result != 0) return result;
  *urlp = url.release();
  return 0;
}

int url_add_param(Url *url, char *name, char *value) {
  if (url == nullptr || name == nullptr || value == nullptr) return EINVAL;
  if (attribute_find(url->attrib, name) != nullptr) return EEXIST;
  Attribute *list = attribute_add(url->attrib, name, value);
  if (list == url->attrib) return ENOMEM;
  url->attrib = list;
  return 0;
}

int url_construct(Url *url, char **stringp) {
  if (url == nullptr || stringp == nullptr) return EINVAL;
  *stringp = nullptr;
  std::unique_ptr<char, FreeDeleter> buffer(static_cast<char *>(Calloc(kConstructCapacity, 1)));
  if (buffer == nullptr) return ENOMEM;
  LString out{buffer.get(), kConstructCapacity};
  const char *protocol = url->protocol != nullptr ? url->protocol : "";
  const char *hostname = url->hostname != nullptr ? url->hostname : "";
  const int prefix = url->port != 0 ? std::snprintf(out.buffer, kConstructCapacity, "%s://%s:%d/",
                                                    protocol, hostname, url->port)
                                    : std::snprintf(out.buffer, kConstructCapacity, "%s://%s/",
                                                    protocol, hostname);
  if (prefix < 0 || prefix >= kConstructCapacity) return EOVERFLOW;
  if (url->path != nullptr) {
    if (!Append(&out, static_cast<std::size_t>(prefix), url->path)) return EOVERFLOW;
    if (url->attrib != nullptr) {
      if (!Append(&out, std::strlen(out.buffer), "?")) return EOVERFLOW;
      QueryWriter writer{&out, true};
      if (int result = attribute_foreach(url->attrib, AppendQueryParameter, &writer); result != 0) {
        return result;
      }
    }
  }
  *stringp = buffer.release();
  return 0;
}

int url_get_protocol(Url *url, char **protocol) {
  if (url == nullptr || protocol == nullptr) return EINVAL;
  return StringOrEmpty(url->protocol, protocol);
}

int url_get_hostname(Url *url, char **hostname) {
  if (url == nullptr || hostname == nullptr) return EINVAL;
  return StringOrEmpty(url->hostname, hostname);
}

int url_get_path(Url *url, char **path) {
  if (url == nullptr || path == nullptr) return EINVAL;
  return StringOrEmpty(url->path, path);
}

int url_get_port(Url *url, int *port) {
  if (url == nullptr || port == nullptr) return EINVAL;
  *port = url->port;
  return 0;
}

int url_has_param(Url *url, char *name) {
  if (url == nullptr || name == nullptr) return EINVAL;
  return attribute_find(url->attrib, name) != nullptr ? 1 : 0;
}

int url_get_param(Url *url, char *name, char **value) {
  if (url == nullptr || name == nullptr || value == nullptr) return EINVAL;
  *value = attribute_get_value(url->attrib, name);
  return *value != nullptr ? 0 : ENOENT;
}

int url_free(Url **urlp) {
  if (urlp == nullptr || *urlp == nullptr) return EINVAL;
  FreeUrl(*urlp);
  *urlp = nullptr;
  return 0;
}

int url_attrib_append(Attribute *attrib, LString *lstring) {
  if (lstring == nullptr || lstring->buffer == nullptr || lstring->alloclen < 1) return EINVAL;
  const std::size_t used = strnlen(lstring->buffer, static_cast<std::size_t>(lstring->alloclen));
  const bool after_question_mark = used > 0 && lstring->buffer[used - 1] == '?';
  return AppendParameter(attrib, lstring, !after_question_mark);
}

}  // extern "C"

// Transport plug-ins, loaded by name from the library's own table.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "comm_p.h"

namespace comm {
namespace {

using TransportFactory = int (*)(Attribute *options, std::unique_ptr<Transport> *out);

struct TransportEntry {
  const char *name;
  TransportFactory create;
};

constexpr TransportEntry kTransports[] = {
    {"comm_openssl", CreateOpensslTransport},
};

const TransportEntry *FindTransport(const char *name) {
  for (const TransportEntry &entry : kTransports) {
    if (std::strcmp(entry.name, name) == 0) return &entry;
  }
  return nullptr;
}

// What the last load on this thread had to say; a fixed buffer, so that
// reporting can never fail.
thread_local char plugin_message[256];

}  // namespace

void SetPluginMessage(const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(plugin_message, sizeof(plugin_message), format, arguments);
  va_end(arguments);
}

void ClearPluginMessage() {
  plugin_message[0] = '\0';
}

void ReleaseModule(CommModule *module) {
  if (--module->references == 0) delete module;
}

}  // namespace comm

extern "C" {

COMM_EXPORT int comm_plugin_load(CommModule **module, const char *name, Attribute *options) {
  comm::ClearPluginMessage();
  if (module == nullptr || name == nullptr) return EINVAL;
  *module = nullptr;
  const comm::TransportEntry *entry = comm::FindTransport(name);
  if (entry == nullptr) return ENOENT;
  try {
    // Owned until the transport is made, so a failure or a throw frees it.
    std::unique_ptr<CommModule> loaded(new (std::nothrow) CommModule);
    if (loaded == nullptr) return ENOMEM;
    int rc = entry->create(options, &loaded->transport);
    if (rc != 0) return rc;
    *module = loaded.release();
    return 0;
  } catch (const std::bad_alloc &) {
    return ENOMEM;
  }
}

COMM_EXPORT const char *comm_plugin_message(void) {
  return comm::plugin_message;
}

COMM_EXPORT int comm_plugin_unload(CommModule **module) {
  if (module == nullptr || *module == nullptr) return EINVAL;
  comm::ReleaseModule(*module);
  *module = nullptr;
  return 0;
}

}  // extern "C"

// Transport plug-ins, loaded by name from the library's own table.
#include <cerrno>
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

}  // namespace

void ReleaseModule(CommModule *module) {
  if (--module->references == 0) delete module;
}

}  // namespace comm

extern "C" {

COMM_EXPORT int comm_plugin_load(CommModule **module, const char *name, Attribute *options) {
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

COMM_EXPORT int comm_plugin_unload(CommModule **module) {
  if (module == nullptr || *module == nullptr) return EINVAL;
  comm::ReleaseModule(*module);
  *module = nullptr;
  return 0;
}

}  // extern "C"

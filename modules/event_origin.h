// Where the event being handled came from: a sender of the acknowledged
// protocol numbers its records within a stream of its own, and the daemon
// tells a module the record's stream id and sequence number through the
// orvikevtd_event_origin that its executable exports.
//
// The function is looked up at run time with dlsym(RTLD_DEFAULT, ...), like
// orvikevtd_log_entry (module_log.h), so a module still loads in a host
// without it; there every record is without origin. Its answer is valid only
// inside handle_event, for the record being handled: a module that keeps the
// record keeps the origin with it.
#ifndef ORVIKEVT_MODULES_EVENT_ORIGIN_H_
#define ORVIKEVT_MODULES_EVENT_ORIGIN_H_

#include <dlfcn.h>

#include <array>
#include <cstdint>

namespace orvikevt {

// The stream id is 16 bytes, never all zero, for a record with an origin.
constexpr size_t kStreamIdSize = 16;

struct EventOrigin {
  bool known = false;  // false: the sender did not number its records
  std::array<unsigned char, kStreamIdSize> stream_id{};
  uint64_t sequence = 0;
};

using EventOriginFunction = int (*)(unsigned char stream_id[kStreamIdSize], uint64_t *sequence);

// The host's function, or null when the host exports none.
inline EventOriginFunction daemon_event_origin_function() {
  static const EventOriginFunction function =
      reinterpret_cast<EventOriginFunction>(dlsym(RTLD_DEFAULT, "orvikevtd_event_origin"));
  return function;
}

// The origin of the record being handled. Call only inside handle_event.
// The host answers 0 with the origin, or 2 for a record without one; any
// other answer is taken as "without origin" too.
inline EventOrigin current_event_origin() {
  EventOrigin origin;
  EventOriginFunction function = daemon_event_origin_function();
  if (function == nullptr) return origin;
  origin.known = function(origin.stream_id.data(), &origin.sequence) == 0;
  if (!origin.known) origin = EventOrigin();
  return origin;
}

}  // namespace orvikevt

#endif  // ORVIKEVT_MODULES_EVENT_ORIGIN_H_

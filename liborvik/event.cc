// EventData: allocation, byte-order conversion and field accessors.
//
// Records often sit at arbitrary addresses (the daemon assembles them in a
// byte buffer behind an int), so the integer fields are loaded and stored
// through memcpy at their byte offsets, never through a typed pointer that
// might be misaligned on armhf.
#include <endian.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "orvik/event.h"
#include "orvik/event_p.h"

namespace {

// The field at offset as a byte pointer; no member access through a
// possibly misaligned EventData pointer.
char *FieldAt(EventData *event, size_t offset) {
  return reinterpret_cast<char *>(event) + offset;
}

template <typename T>
T LoadAt(const EventData *event, size_t offset) {
  T value;
  std::memcpy(&value, reinterpret_cast<const unsigned char *>(event) + offset, sizeof value);
  return value;
}

template <typename T>
void StoreAt(EventData *event, size_t offset, T value) {
  std::memcpy(reinterpret_cast<unsigned char *>(event) + offset, &value, sizeof value);
}

// Swaps the four integer fields between network and host order in place.
// The swap is its own inverse, so one routine serves both directions.
void SwapIntegerFields(EventData *event) {
  StoreAt<uint32_t>(event, offsetof(EventData, flags),
                    be32toh(LoadAt<uint32_t>(event, offsetof(EventData, flags))));
  StoreAt<uint32_t>(event, offsetof(EventData, rc),
                    be32toh(LoadAt<uint32_t>(event, offsetof(EventData, rc))));
  StoreAt<uint64_t>(event, offsetof(EventData, timestamp),
                    be64toh(LoadAt<uint64_t>(event, offsetof(EventData, timestamp))));
  StoreAt<uint32_t>(event, offsetof(EventData, datalen),
                    be32toh(LoadAt<uint32_t>(event, offsetof(EventData, datalen))));
}

// Copies a text field of EVENTDATA_TEXT_SIZE bytes as zero-terminated text:
// at most *len - 1 characters, stopping at the field's first zero or its end.
int GetText(const char *field, char *buffer, int *len) {
  if (buffer == nullptr || len == nullptr || *len < 1) return EINVAL;
  size_t room = static_cast<size_t>(*len) - 1;
  size_t text = strnlen(field, EVENTDATA_TEXT_SIZE);
  size_t copied = text < room ? text : room;
  std::memcpy(buffer, field, copied);
  buffer[copied] = '\0';
  *len = static_cast<int>(copied);
  return 0;
}

// Stores text (at most 63 characters) and zero-fills the rest of the field,
// so no bytes of an earlier value stay behind.
int SetText(char *field, const char *text) {
  if (text == nullptr) return EINVAL;
  size_t length = strnlen(text, EVENTDATA_TEXT_SIZE);
  if (length >= EVENTDATA_TEXT_SIZE) return ENOSPC;
  std::memset(field, 0, EVENTDATA_TEXT_SIZE);
  std::memcpy(field, text, length);
  return 0;
}

}  // namespace

extern "C" {

ORVIK_EXPORT int eventdata_new(EventData **event) {
  if (event == nullptr) return EINVAL;
  *event = nullptr;
  auto *record = static_cast<EventData *>(std::calloc(1, sizeof(EventData)));
  if (record == nullptr) return ENOMEM;
  *event = record;
  return 0;
}

ORVIK_EXPORT int eventdata_free(EventData **event) {
  if (event == nullptr || *event == nullptr) return EINVAL;
  std::free(*event);
  *event = nullptr;
  return 0;
}

ORVIK_EXPORT int eventdata_to_hostorder(EventData *event) {
  if (event == nullptr) return EINVAL;
  SwapIntegerFields(event);
  return 0;
}

ORVIK_EXPORT int eventdata_to_netorder(EventData *event) {
  if (event == nullptr) return EINVAL;
  SwapIntegerFields(event);
  return 0;
}

ORVIK_EXPORT int eventdata_get_hostname(EventData *event, char *buffer, int *len) {
  if (event == nullptr) return EINVAL;
  return GetText(FieldAt(event, offsetof(EventData, hostname)), buffer, len);
}

ORVIK_EXPORT int eventdata_get_object(EventData *event, char *buffer, int *len) {
  if (event == nullptr) return EINVAL;
  return GetText(FieldAt(event, offsetof(EventData, object)), buffer, len);
}

ORVIK_EXPORT int eventdata_set_hostname(EventData *event, const char *text) {
  if (event == nullptr) return EINVAL;
  return SetText(FieldAt(event, offsetof(EventData, hostname)), text);
}

ORVIK_EXPORT int eventdata_set_object(EventData *event, const char *text) {
  if (event == nullptr) return EINVAL;
  return SetText(FieldAt(event, offsetof(EventData, object)), text);
}

ORVIK_EXPORT int eventdata_get_flags(EventData *event, uint32_t *flags) {
  if (event == nullptr || flags == nullptr) return EINVAL;
  *flags = LoadAt<uint32_t>(event, offsetof(EventData, flags));
  return 0;
}

ORVIK_EXPORT int eventdata_set_flags(EventData *event, uint32_t flags) {
  if (event == nullptr) return EINVAL;
  StoreAt<uint32_t>(event, offsetof(EventData, flags), flags);
  return 0;
}

ORVIK_EXPORT int eventdata_get_rc(EventData *event, uint32_t *rc) {
  if (event == nullptr || rc == nullptr) return EINVAL;
  *rc = LoadAt<uint32_t>(event, offsetof(EventData, rc));
  return 0;
}

ORVIK_EXPORT int eventdata_set_rc(EventData *event, uint32_t rc) {
  if (event == nullptr) return EINVAL;
  StoreAt<uint32_t>(event, offsetof(EventData, rc), rc);
  return 0;
}

ORVIK_EXPORT int eventdata_get_timestamp(EventData *event, uint64_t *timestamp) {
  if (event == nullptr || timestamp == nullptr) return EINVAL;
  *timestamp = LoadAt<uint64_t>(event, offsetof(EventData, timestamp));
  return 0;
}

ORVIK_EXPORT int eventdata_set_timestamp(EventData *event, uint64_t timestamp) {
  if (event == nullptr) return EINVAL;
  StoreAt<uint64_t>(event, offsetof(EventData, timestamp), timestamp);
  return 0;
}

ORVIK_EXPORT int eventdata_get_data(EventData *event, void *buffer, int *len) {
  if (event == nullptr || buffer == nullptr || len == nullptr || *len < 0) return EINVAL;
  uint32_t datalen = LoadAt<uint32_t>(event, offsetof(EventData, datalen));
  size_t copied = datalen < EVENTDATA_DATA_SIZE ? datalen : EVENTDATA_DATA_SIZE;
  if (copied > static_cast<size_t>(*len)) copied = static_cast<size_t>(*len);
  std::memcpy(buffer, FieldAt(event, offsetof(EventData, data)), copied);
  *len = static_cast<int>(copied);
  return 0;
}

ORVIK_EXPORT int eventdata_set_data(EventData *event, const void *data, int len) {
  if (event == nullptr || len < 0 || (data == nullptr && len > 0)) return EINVAL;
  if (len > EVENTDATA_DATA_SIZE) return ENOSPC;
  char *payload = FieldAt(event, offsetof(EventData, data));
  std::memset(payload, 0, EVENTDATA_DATA_SIZE);
  if (len > 0) std::memcpy(payload, data, static_cast<size_t>(len));
  StoreAt<uint32_t>(event, offsetof(EventData, datalen), static_cast<uint32_t>(len));
  return 0;
}

}  // extern "C"

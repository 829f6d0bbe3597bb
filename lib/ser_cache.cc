// The element cache: a packet keeps the records of its cleared elements as
// spares, so that decoding message after message into it allocates no
// element records once it has held as many elements as a message needs.
#include <cerrno>
#include <cstring>

#include "alloc.h"
#include "ser_p.h"

namespace tarnu::ser {
namespace {

// The kind that new_element_c makes for `type`: the first of these bits that
// it has; 0 when it has none of them.
uint32_t CodeForCache(uint32_t type) {
  constexpr uint32_t kOrder[] = {SER_TYPE_INT16, SER_TYPE_INT32,  SER_TYPE_INT64,
                                 SER_TYPE_FLOAT, SER_TYPE_STRING, SER_TYPE_BINARY};
  for (uint32_t code : kOrder) {
    if ((type & code) != 0) return code;
  }
  return 0;
}

uint64_t ReadNumberBits(uint32_t code, const void *valuep) {
  switch (code) {
    case SER_TYPE_INT16:
      return ReadValue<uint16_t>(valuep);
    case SER_TYPE_INT64:
      return ReadValue<uint64_t>(valuep);
    default:  // 32-bit integer or the bit pattern of a float
      return ReadValue<uint32_t>(valuep);
  }
}

}  // namespace

void ClearKeepingRecords(SERPacket *sp) {
  if (sp->head == nullptr) return;
  // Only elements that own memory outside their record give anything up; the
  // walk ends after the last of them, and is skipped when there are none.
  for (SERElement *se = sp->head; sp->outside > 0; se = se->next) {
    if (OwnsOutside(se)) {
      ReleaseContents(se);
      sp->outside--;
    }
  }
  sp->tail->next = sp->cache;
  sp->cache = sp->head;
  sp->head = nullptr;
  sp->tail = nullptr;
  sp->iter = nullptr;
  sp->elements = 0;
  sp->length = 0;
  sp->flags = 0;
  sp->depth = 0;
}

}  // namespace tarnu::ser

using tarnu::ser::ClearKeepingRecords;
using tarnu::ser::CodeForCache;
using tarnu::ser::FillNumber;
using tarnu::ser::FillPayload;
using tarnu::ser::KeepSpare;
using tarnu::ser::ReadNumberBits;
using tarnu::ser::TakeRecord;

extern "C" {

int ser_packet_new_element_c(SERPacket *sp, SERElement **sep, int type, const void *valuep,
                             int length) {
  if (sp == nullptr || sep == nullptr || valuep == nullptr) return EINVAL;
  if ((sp->flags & SER_PACKET_NESTED) != 0) return EPERM;
  *sep = nullptr;
  auto word = static_cast<uint32_t>(type);
  uint32_t code = CodeForCache(word);
  bool has_payload = code == SER_TYPE_STRING || code == SER_TYPE_BINARY;
  if (has_payload && (length < 0 || length > SER_PAYLOAD_MAX)) return EINVAL;
  SERElement *se = TakeRecord(sp);
  if (se == nullptr) return ENOMEM;
  if (code == 0) {  // arrays are made by nesting packets only
    KeepSpare(sp, se);
    return EINVAL;
  }
  if (has_payload) {
    int status =
        FillPayload(se, code, static_cast<const uint8_t *>(valuep), static_cast<uint32_t>(length));
    if (status != 0) {
      KeepSpare(sp, se);
      return status;
    }
  } else {
    FillNumber(se, code, (word & SER_TYPE_SIGNED) != 0, ReadNumberBits(code, valuep));
  }
  *sep = se;
  return 0;
}

int ser_packet_clear_c(SERPacket *sp) {
  if (sp == nullptr) return EINVAL;
  // An empty packet is left exactly as it is, so even a nested one may be
  // "cleared"; only emptying a nested packet that holds elements is refused.
  if (sp->head == nullptr) return 0;
  if ((sp->flags & SER_PACKET_NESTED) != 0) return EPERM;
  ClearKeepingRecords(sp);
  return 0;
}

}  // extern "C"

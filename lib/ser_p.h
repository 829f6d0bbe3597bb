// Private to libtarnu's serialization module (and its tests): the element and
// packet records, byte-order helpers and the internal operations that the
// element, packet, codec and cache units share.
#ifndef TARNU_LIB_SER_P_H_
#define TARNU_LIB_SER_P_H_

#include <cstdint>
#include <cstring>

#include "alloc.h"
#include "byte_order.h"
#include "tarnu/ser.h"

// The fields are ordered for a compact record (32 bytes on armhf, 40 on
// 64-bit hosts); the records are private, so the order is free.
struct SERElement {
  SERElement *next;
  SERElement *prev;
  union {
    int32_t int32;
    uint32_t uint32;
    int64_t int64;
    uint64_t uint64;
    float sfloat;
    uint8_t *octets;  // string (zero-terminated copy) or binary payload
    void *svoid;      // array: the nested SERPacket
    // A short payload lives here instead of in an allocation of its own,
    // which spares the allocator on the common path of small strings.
    uint8_t small[16];
  } val;
  uint32_t refs;  // kept at 0; elements are not reference counted
  uint32_t type;  // type word: signed flag, code, padding count, length / 16-bit value
};

struct SERPacket {
  uint32_t refs;      // kept at 0; packets are not reference counted
  SERElement *cache;  // spare records, linked through next
  SERElement *head;
  SERElement *tail;
  SERElement *iter;  // cursor of ser_packet_iterate_elements
  uint32_t elements;
  uint32_t length;  // bytes of the encoding
  uint32_t flags;   // SER_PACKET_NESTED
  uint32_t depth;   // levels of nested packets below this one (0: no arrays)
  // Elements whose contents live outside their record (a payload allocation
  // or a nested packet); when there are none, clearing into spares need not
  // visit the elements.
  uint32_t outside;
};

namespace tarnu::ser {

// Tags the encoder writes for the fixed-size kinds (signed flag aside).
inline constexpr uint32_t kInt16Word = SER_TYPE_INT16;
inline constexpr uint32_t kInt32Word = SER_TYPE_INT32 | 4u;
inline constexpr uint32_t kInt64Word = SER_TYPE_INT64 | 8u;
inline constexpr uint32_t kFloatWord = SER_TYPE_FLOAT | 4u;
inline constexpr uint32_t kArrayWord = SER_TYPE_ARRAY | 4u;
inline constexpr uint32_t kPadShift = 16;

// Zero bytes that follow an n-byte payload to fill whole 4-byte words.
constexpr uint32_t PaddingFor(uint32_t n) {
  return (4u - (n & 3u)) & 3u;
}

// Type word of a string or binary payload of n bytes (n <= SER_PAYLOAD_MAX).
constexpr uint32_t PayloadWord(uint32_t code, uint32_t n) {
  return code | (PaddingFor(n) << kPadShift) | n;
}

constexpr uint32_t CodeOf(uint32_t word) {
  return word & SER_TYPE_MASK;
}
constexpr uint32_t LengthOf(uint32_t word) {
  return word & SER_LENGTH_MASK;
}
constexpr uint32_t PaddingOf(uint32_t word) {
  return (word & SER_PAD_MASK) >> kPadShift;
}

using detail::LoadBe32;
using detail::LoadBe64;
using detail::StoreBe32;
using detail::StoreBe64;

template <typename T>
inline void StoreHost(uint8_t *p, T v) {
  std::memcpy(p, &v, sizeof v);
}

// Reads a T from an unaligned caller-supplied location.
template <typename T>
inline T ReadValue(const void *valuep) {
  T value;
  std::memcpy(&value, valuep, sizeof value);
  return value;
}

// Whether a string or binary payload of n bytes lives in the record: a
// string needs room for its zero byte as well.
constexpr bool IsSmallPayload(uint32_t code, uint32_t n) {
  return n + (code == SER_TYPE_STRING ? 1u : 0u) <= sizeof(SERElement{}.val.small);
}

inline bool HasSmallPayload(const SERElement *se) {
  return IsSmallPayload(CodeOf(se->type), LengthOf(se->type));
}

// The payload bytes of a string or binary element.
inline const uint8_t *PayloadOf(const SERElement *se) {
  return HasSmallPayload(se) ? se->val.small : se->val.octets;
}

// Whether the element owns memory outside its record.
inline bool OwnsOutside(const SERElement *se) {
  switch (CodeOf(se->type)) {
    case SER_TYPE_STRING:
    case SER_TYPE_BINARY:
      return !HasSmallPayload(se);
    case SER_TYPE_ARRAY:
      return true;
    default:
      return false;
  }
}

// Counts a newly linked element into sp's totals.
inline void CountIn(SERPacket *sp, const SERElement *se, uint32_t size) {
  sp->elements++;
  sp->length += size;
  if (OwnsOutside(se)) sp->outside++;
}

// Links a free-standing element of `size` encoded bytes at the end of sp,
// which is known to accept it.
inline void LinkLast(SERPacket *sp, SERElement *se, uint32_t size) {
  se->prev = sp->tail;
  if (sp->tail != nullptr) {
    sp->tail->next = se;
  } else {
    sp->head = se;
  }
  sp->tail = se;
  CountIn(sp, se, size);
}

// Bytes the element adds to its packet's encoding.
uint32_t EncodedSize(const SERElement *se);

// Fills a zeroed record with a number of the given code (INT16, INT32, INT64
// or FLOAT); `bits` holds the value in its low bits. `is_signed` is ignored
// for floats.
void FillNumber(SERElement *se, uint32_t code, bool is_signed, uint64_t bits);

// Fills a zeroed record with a copy of a string or binary payload of n bytes
// (n <= SER_PAYLOAD_MAX). A string copy stops at the first zero byte of
// `bytes`, is filled up with zero bytes and is zero-terminated. Returns 0 or
// 12 (record untouched).
int FillPayload(SERElement *se, uint32_t code, const uint8_t *bytes, uint32_t n);

// Releases an element's payload copy or nested packet (not the record).
void ReleaseContents(SERElement *se);

// Releases a packet and everything it owns, nested or not.
void DestroyPacket(SERPacket *sp);

// A record for a new element of sp: its first spare, with refs, links and
// type word zeroed, or a newly allocated zero-filled one; null when memory
// runs out.
inline SERElement *TakeRecord(SERPacket *sp) {
  SERElement *se = sp->cache;
  if (se == nullptr) return detail::NewZeroed<SERElement>();
  sp->cache = se->next;
  se->refs = 0;
  se->next = nullptr;
  se->prev = nullptr;
  se->type = 0;
  return se;
}

// Puts a record that holds no payload at the front of sp's spare list.
inline void KeepSpare(SERPacket *sp, SERElement *se) {
  se->next = sp->cache;
  sp->cache = se;
}

// Empties sp (not nested) and keeps its element records as spares.
void ClearKeepingRecords(SERPacket *sp);

// Appends ssp to sp as an array element; the same checks as
// ser_packet_append_as_array.
int AppendAsArray(SERPacket *sp, SERPacket *ssp);

}  // namespace tarnu::ser

#endif  // TARNU_LIB_SER_P_H_

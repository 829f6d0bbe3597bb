// The decoders: byte stream to packet, plain and with the element cache.
//
// Every read is checked against the end of the input, and a tag must be one
// the encoder writes: an exactly known code, the fixed length of its kind,
// and the padding that its payload length calls for. Anything else, and an
// element running past the end, is malformed input (22). Nesting is limited
// to SER_NESTING_MAX levels, so recursion depth is bounded whatever the input.
#include <cerrno>
#include <climits>
#include <cstddef>

#include "alloc.h"
#include "ser_p.h"

namespace tarnu::ser {
namespace {

// Where the records of decoded elements come from: always newly allocated
// (plain decoder and nested packets), or the target packet's spares first.
struct FreshRecords {
  SERElement *Take() { return detail::NewZeroed<SERElement>(); }
  void GiveBack(SERElement *se) { detail::Free(se); }
};

struct SpareRecords {
  SERPacket *owner;
  SERElement *Take() { return TakeRecord(owner); }
  void GiveBack(SERElement *se) { KeepSpare(owner, se); }
};

// A bounded view of the bytes still to decode.
struct Input {
  uint8_t *pos;
  std::size_t left;
};

// Bytes of the element behind `tag` (tag included) when the tag is well
// formed for a scalar kind; 0 when it is not.
inline uint32_t ScalarSize(uint32_t tag) {
  uint32_t shape = tag & (SER_PAD_MASK | SER_LENGTH_MASK);
  switch (CodeOf(tag)) {
    case SER_TYPE_INT16:
      return (tag & SER_PAD_MASK) == 0 ? 4 : 0;
    case SER_TYPE_INT32:
    case SER_TYPE_FLOAT:
      return shape == 4 ? 8 : 0;
    case SER_TYPE_INT64:
      return shape == 8 ? 12 : 0;
    case SER_TYPE_STRING:
    case SER_TYPE_BINARY:
      return PaddingOf(tag) == PaddingFor(LengthOf(tag)) ? 4 + LengthOf(tag) + PaddingOf(tag) : 0;
    default:
      return 0;
  }
}

// Fills the record from the well-formed scalar element at `at`, converting
// a 32- or 64-bit payload to host order in place. The signed flag is not
// carried over.
inline int FillScalar(SERElement *se, uint32_t tag, uint8_t *at) {
  uint32_t code = CodeOf(tag);
  switch (code) {
    case SER_TYPE_INT16:
      se->type = kInt16Word | LengthOf(tag);
      return 0;
    case SER_TYPE_INT32:
    case SER_TYPE_FLOAT: {
      uint32_t value = LoadBe32(at + 4);
      StoreHost(at + 4, value);
      se->type = code | 4u;
      se->val.uint32 = value;
      return 0;
    }
    case SER_TYPE_INT64: {
      uint64_t value = LoadBe64(at + 4);
      StoreHost(at + 4, value);
      se->type = kInt64Word;
      se->val.uint64 = value;
      return 0;
    }
    default:
      return FillPayload(se, code, at + 4, LengthOf(tag));
  }
}

template <typename Records>
int DecodeElements(SERPacket *sp, Input in, int level, Records &records);

// Decodes the array element at the front of `in` into a new packet and nests
// it in sp; *size = bytes consumed.
int DecodeArray(SERPacket *sp, uint32_t tag, Input in, int level, uint32_t *size) {
  if ((tag & (SER_PAD_MASK | SER_LENGTH_MASK)) != 4 || in.left < 8) return EINVAL;
  if (level >= SER_NESTING_MAX) return EINVAL;
  uint32_t nested_length = LoadBe32(in.pos + 4);
  // An empty packet has no decodable encoding, so a nested one is at least a word.
  if (nested_length < 4 || nested_length > in.left - 8) return EINVAL;
  StoreHost(in.pos + 4, nested_length);
  SERPacket *nested = detail::NewZeroed<SERPacket>();
  if (nested == nullptr) return ENOMEM;
  FreshRecords fresh;
  int status = DecodeElements(nested, Input{in.pos + 8, nested_length}, level + 1, fresh);
  if (status == 0) status = AppendAsArray(sp, nested);
  if (status != 0) {
    DestroyPacket(nested);
    return status;
  }
  *size = 8 + nested_length;
  return 0;
}

// Decodes the elements of `in`, which must end exactly at an element's end,
// and appends them to sp. On failure the elements appended so far stay in sp.
template <typename Records>
int DecodeElements(SERPacket *sp, Input in, int level, Records &records) {
  while (in.left > 0) {
    if (in.left < 4) return EINVAL;
    uint32_t tag = LoadBe32(in.pos);
    uint32_t size = 0;
    if (CodeOf(tag) == SER_TYPE_ARRAY) {
      int status = DecodeArray(sp, tag, in, level, &size);
      if (status != 0) return status;
    } else {
      size = ScalarSize(tag);
      if (size == 0 || size > in.left) return EINVAL;
      SERElement *se = records.Take();
      if (se == nullptr) return ENOMEM;
      int status = FillScalar(se, tag, in.pos);
      if (status != 0) {
        records.GiveBack(se);
        return status;
      }
      LinkLast(sp, se, size);
    }
    in.pos += size;
    in.left -= size;
  }
  return 0;
}

}  // namespace
}  // namespace tarnu::ser

using tarnu::ser::ClearKeepingRecords;
using tarnu::ser::DecodeElements;
using tarnu::ser::DestroyPacket;
using tarnu::ser::FreshRecords;
using tarnu::ser::Input;
using tarnu::ser::SpareRecords;

extern "C" {

int ser_packet_deserialize(SERPacket **spp, void *buffer, int len) {
  if (spp == nullptr || buffer == nullptr) return EINVAL;
  *spp = nullptr;
  if (len < 4) return EINVAL;
  SERPacket *sp = tarnu::detail::NewZeroed<SERPacket>();
  if (sp == nullptr) return ENOMEM;
  FreshRecords fresh;
  Input in{static_cast<uint8_t *>(buffer), static_cast<std::size_t>(len)};
  int status = DecodeElements(sp, in, 0, fresh);
  if (status != 0) {
    DestroyPacket(sp);
    return status;
  }
  *spp = sp;
  return 0;
}

int ser_packet_deserialize_c(SERPacket *sp, void *buffer, int len) {
  if (sp == nullptr || buffer == nullptr || len < 4) return EINVAL;
  if ((sp->flags & SER_PACKET_NESTED) != 0) return EPERM;
  // The decoded elements add exactly len bytes to the encoding.
  if (sp->length > static_cast<uint32_t>(INT_MAX - len)) return EOVERFLOW;
  SpareRecords spares{sp};
  Input in{static_cast<uint8_t *>(buffer), static_cast<std::size_t>(len)};
  int status = DecodeElements(sp, in, 0, spares);
  if (status != 0) ClearKeepingRecords(sp);
  return status;
}

}  // extern "C"

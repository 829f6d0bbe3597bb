// Shared by the serialization fuzz targets: the bytes a decoded packet must
// encode back to, and a checked encoder.
#ifndef TARNU_FUZZ_SER_FUZZ_COMMON_H_
#define TARNU_FUZZ_SER_FUZZ_COMMON_H_

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ser_p.h"
#include "tarnu/ser.h"

namespace ser_fuzz {

using Bytes = std::vector<uint8_t>;

inline void Require(bool condition) {
  if (!condition) std::abort();
}

// Rewrites an encoding that the decoder accepted into the bytes its decoded
// packet encodes to: decoding drops the signed flag, keeps a string only up
// to its first zero byte, and ignores the padding bytes.
inline void Canonicalize(uint8_t *pos, std::size_t left) {
  using tarnu::ser::CodeOf;
  using tarnu::ser::LengthOf;
  using tarnu::ser::LoadBe32;
  using tarnu::ser::PaddingOf;
  using tarnu::ser::StoreBe32;
  while (left >= 4) {
    uint32_t tag = LoadBe32(pos) & ~SER_TYPE_SIGNED;
    StoreBe32(pos, tag);
    std::size_t size = 4;
    switch (CodeOf(tag)) {
      case SER_TYPE_INT16:
        break;
      case SER_TYPE_INT32:
      case SER_TYPE_FLOAT:
        size = 8;
        break;
      case SER_TYPE_INT64:
        size = 12;
        break;
      case SER_TYPE_ARRAY: {
        uint32_t nested = LoadBe32(pos + 4);
        Canonicalize(pos + 8, nested);
        size = 8 + nested;
        break;
      }
      default: {  // string or binary
        uint32_t n = LengthOf(tag);
        uint8_t *payload = pos + 4;
        if (CodeOf(tag) == SER_TYPE_STRING) {
          auto *zero = static_cast<uint8_t *>(std::memchr(payload, 0, n));
          if (zero != nullptr) std::memset(zero, 0, static_cast<std::size_t>(payload + n - zero));
        }
        std::memset(payload + n, 0, PaddingOf(tag));
        size = 4 + n + PaddingOf(tag);
        break;
      }
    }
    Require(size <= left);
    pos += size;
    left -= size;
  }
  Require(left == 0);
}

// The packet's encoding; aborts unless it is exactly `length` bytes.
inline Bytes EncodeChecked(SERPacket *sp) {
  uint32_t length = 0;
  Require(ser_packet_length(sp, &length) == 0);
  Bytes out(length + 4u, 0xEE);
  int len = static_cast<int>(out.size());
  Require(ser_packet_serialize(sp, out.data(), &len) == 0);
  Require(static_cast<uint32_t>(len) == length);
  Require(std::memcmp(out.data() + length, "\xEE\xEE\xEE\xEE", 4) == 0);
  out.resize(length);
  return out;
}

}  // namespace ser_fuzz

#endif  // TARNU_FUZZ_SER_FUZZ_COMMON_H_

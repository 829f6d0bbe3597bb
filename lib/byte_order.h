// Private to libtarnu: big-endian loads and stores byte by byte. They make no
// alignment or host-order assumptions, so the same code is right on armhf and
// x86_64. The caller guarantees that the 4 or 8 octets at `p` exist.
#ifndef TARNU_LIB_BYTE_ORDER_H_
#define TARNU_LIB_BYTE_ORDER_H_

#include <cstdint>

namespace tarnu::detail {

// Returns the big-endian 32-bit value at `p`.
inline uint32_t LoadBe32(const uint8_t *p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
// Returns the big-endian 64-bit value at `p`.
inline uint64_t LoadBe64(const uint8_t *p) {
  return (uint64_t{LoadBe32(p)} << 32) | LoadBe32(p + 4);
}
// Writes `v` big-endian to the 4 octets at `p`.
inline void StoreBe32(uint8_t *p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
// Writes `v` big-endian to the 8 octets at `p`.
inline void StoreBe64(uint8_t *p, uint64_t v) {
  StoreBe32(p, static_cast<uint32_t>(v >> 32));
  StoreBe32(p + 4, static_cast<uint32_t>(v));
}

}  // namespace tarnu::detail

#endif  // TARNU_LIB_BYTE_ORDER_H_

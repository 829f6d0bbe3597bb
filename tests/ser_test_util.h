// Helpers shared by the serialization tests: owning handles, hex byte
// strings, encoding to a vector, a peek at spare records, and the loop that
// makes each allocation of an operation fail in turn.
#ifndef TARNU_TESTS_SER_TEST_UTIL_H_
#define TARNU_TESTS_SER_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "alloc_hook.h"
#include "ser_p.h"
#include "tarnu/ser.h"

namespace ser_test {

using Bytes = std::vector<uint8_t>;

struct PacketDeleter {
  void operator()(SERPacket *sp) const { ser_packet_free(&sp); }
};
using PacketPtr = std::unique_ptr<SERPacket, PacketDeleter>;

struct ElementDeleter {
  void operator()(SERElement *se) const { ser_element_free(&se); }
};
using ElementPtr = std::unique_ptr<SERElement, ElementDeleter>;

inline PacketPtr NewPacket() {
  SERPacket *sp = nullptr;
  EXPECT_EQ(ser_packet_new(&sp), 0);
  return PacketPtr(sp);
}

// "00 20 00 04" -> {0x00, 0x20, 0x00, 0x04}
inline Bytes Hex(const std::string &text) {
  Bytes out;
  std::istringstream in(text);
  std::string byte;
  while (in >> byte) out.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
  return out;
}

inline uint32_t LengthOf(SERPacket *sp) {
  uint32_t length = 0;
  EXPECT_EQ(ser_packet_length(sp, &length), 0);
  return length;
}

inline uint32_t ElementsOf(SERPacket *sp) {
  uint32_t count = 0;
  EXPECT_EQ(ser_packet_elements(sp, &count), 0);
  return count;
}

// The packet's encoding, exactly as long as its length.
inline Bytes Encode(SERPacket *sp) {
  Bytes out(LengthOf(sp) + 1, 0xEE);
  int len = static_cast<int>(out.size());
  EXPECT_EQ(ser_packet_serialize(sp, out.data(), &len), 0);
  EXPECT_EQ(static_cast<uint32_t>(len), LengthOf(sp));
  EXPECT_EQ(out.back(), 0xEE) << "wrote past the packet's length";
  out.resize(static_cast<std::size_t>(len));
  return out;
}

// Decodes a copy of `wire` (the decoder rewrites its input); null on failure.
inline PacketPtr Decode(const Bytes &wire, int *status = nullptr) {
  Bytes copy = wire;
  copy.reserve(copy.size() + 1);  // a real address even for empty input
  SERPacket *sp = reinterpret_cast<SERPacket *>(0x1);
  int result = ser_packet_deserialize(&sp, copy.data(), static_cast<int>(copy.size()));
  if (status != nullptr) *status = result;
  if (result != 0) {
    EXPECT_EQ(sp, nullptr) << "failed decode left a handle";
  }
  return PacketPtr(sp);
}

inline uint32_t TypeWord(const SERElement *se) {
  return se->type;
}

inline std::size_t SpareCount(const SERPacket *sp) {
  std::size_t n = 0;
  for (const SERElement *se = sp->cache; se != nullptr; se = se->next) ++n;
  return n;
}

// Runs `attempt` with the N-th and every later allocation failing, for
// N = 1, 2, ... until it succeeds; each failing run must report 12.
// `attempt` returns the operation's status and cleans up after itself.
// Returns the number of allocations the successful run made.
template <typename Attempt>
long ExpectEachAllocationFailureReported(Attempt attempt) {
  for (long n = 1; n < 10000; ++n) {
    tarnu_alloc_hook_fail_at(n);
    int status = attempt();
    tarnu_alloc_hook_reset();
    if (status == 0) return n - 1;
    EXPECT_EQ(status, 12) << "allocation " << n;
    if (status != 12) return -1;
  }
  ADD_FAILURE() << "never succeeded";
  return -1;
}

}  // namespace ser_test

#endif  // TARNU_TESTS_SER_TEST_UTIL_H_

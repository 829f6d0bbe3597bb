// Fuzzes the caching decoder in its reuse cycle: one packet decodes the
// input again and again, cleared in between or appended to, and must agree
// with the plain decoder every time.
#include <climits>

#include "ser_fuzz_common.h"

using ser_fuzz::Bytes;
using ser_fuzz::EncodeChecked;
using ser_fuzz::Require;

namespace {

// Decodes a fresh copy of the input into sp (the decoder rewrites it).
int DecodeInto(SERPacket *sp, const uint8_t *data, std::size_t size) {
  Bytes copy(data, data + size);
  copy.reserve(size + 1);
  return ser_packet_deserialize_c(sp, copy.data(), static_cast<int>(size));
}

void RequireEmpty(SERPacket *sp) {
  uint32_t count = 1;
  uint32_t length = 1;
  Require(ser_packet_elements(sp, &count) == 0 && count == 0);
  Require(ser_packet_length(sp, &length) == 0 && length == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  if (size > INT_MAX / 2) return 0;
  Bytes plain_input(data, data + size);
  plain_input.reserve(size + 1);
  SERPacket *reference = nullptr;
  int expected = ser_packet_deserialize(&reference, plain_input.data(), static_cast<int>(size));
  Bytes expected_bytes;
  if (expected == 0) expected_bytes = EncodeChecked(reference);
  ser_packet_free(&reference);

  SERPacket *sp = nullptr;
  Require(ser_packet_new(&sp) == 0);
  for (int round = 0; round < 3; ++round) {
    Require(DecodeInto(sp, data, size) == expected);
    if (expected != 0) {
      RequireEmpty(sp);
      continue;
    }
    Require(EncodeChecked(sp) == expected_bytes);
    if (round == 1) {
      // Without clearing, a second message is appended behind the first.
      Require(DecodeInto(sp, data, size) == 0);
      Bytes twice = expected_bytes;
      twice.insert(twice.end(), expected_bytes.begin(), expected_bytes.end());
      Require(EncodeChecked(sp) == twice);
    }
    Require(ser_packet_clear_c(sp) == 0);
    RequireEmpty(sp);
  }
  Require(ser_packet_free(&sp) == 0);
  return 0;
}

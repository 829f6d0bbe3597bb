// Fuzzes the plain decoder: whatever it accepts must encode back to the
// input's canonical form, and decode again to the same encoding.
#include <climits>

#include "ser_fuzz_common.h"

using ser_fuzz::Bytes;
using ser_fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  if (size > INT_MAX) return 0;
  Bytes input(data, data + size);
  input.reserve(size + 1);  // a real address even for empty input
  SERPacket *sp = nullptr;
  int status = ser_packet_deserialize(&sp, input.data(), static_cast<int>(size));
  if (status != 0) {
    Require(sp == nullptr && status == 22);
    return 0;
  }
  Bytes encoded = ser_fuzz::EncodeChecked(sp);
  Bytes canonical(data, data + size);
  ser_fuzz::Canonicalize(canonical.data(), canonical.size());
  Require(encoded == canonical);

  Bytes again = encoded;
  SERPacket *second = nullptr;
  Require(ser_packet_deserialize(&second, again.data(), static_cast<int>(again.size())) == 0);
  Require(ser_fuzz::EncodeChecked(second) == encoded);
  Require(ser_packet_free(&second) == 0);
  Require(ser_packet_free(&sp) == 0);
  return 0;
}

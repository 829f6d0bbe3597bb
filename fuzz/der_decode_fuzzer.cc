// Fuzzes der_identifier_decode. Whatever the input, the decoder must return
// without a memory fault or leak; for accepted input, the encoder must give
// back the input exactly when it is in the canonical form (shortest length
// form, INTEGER content of 1, 2 or 4 octets, NULL without content octets),
// and never a longer output whenever it succeeds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "tarnu/der.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// True when `in`, already accepted by the decoder, uses only the forms the
// encoder writes. Parsed independently of the library as an oracle.
bool Canonical(std::span<const uint8_t> in) {
  while (!in.empty()) {
    uint8_t tag = in[0];
    uint32_t length = in[1];
    size_t header = 2;
    if (length == 0x82 || length == 0x84) {
      size_t count = length & 0x7F;
      length = 0;
      for (size_t i = 0; i < count; ++i) length = (length << 8) | in[2 + i];
      header += count;
      bool shortest = count == 2 ? length >= 128 && length <= 65535 : length > 65535;
      if (!shortest) return false;
    }
    auto content = in.subspan(header, length);
    if (tag == 0x02 && length != 1 && length != 2 && length != 4) return false;
    if (tag == 0x05 && length != 0) return false;
    if (tag == 0x10 && !Canonical(content)) return false;
    in = in.subspan(header + length);
  }
  return true;
}

// True if some INTEGER of the tree has a length the encoder refuses.
bool HasOddInteger(const DERIdentifier *di) {
  for (; di != nullptr; di = di->next) {
    if (di->identifier == 0x02 && di->length != 1 && di->length != 2 && di->length != 4) {
      return true;
    }
    if (HasOddInteger(di->child)) return true;
  }
  return false;
}

// Reads every element through its getter; only crashes can fail here.
void ReadAll(DERIdentifier *di) {
  for (; di != nullptr; di = di->next) {
    int value = 0;
    std::vector<char> octets(di->length + 1);
    int size = static_cast<int>(octets.size());
    der_identifier_get_boolean(di, &value);
    der_identifier_get_integer(di, &value);
    der_identifier_get_octetstring(di, octets.data(), &size);
    ReadAll(di->child);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The decoder only reads; a private copy lets ASan catch any write.
  std::vector<char> input(data, data + size);
  DERIdentifier *tree = nullptr;
  int rc = der_identifier_decode(&tree, input.data(), static_cast<int>(input.size()));
  Check(rc == 0 || rc == 22);
  if (rc != 0) {
    Check(tree == nullptr);
    return 0;
  }
  Check(std::memcmp(input.data(), data, size) == 0);
  ReadAll(tree);
  char *out = nullptr;
  int out_size = 0;
  rc = der_identifier_encode(tree, &out, &out_size);
  Check(rc == 0 || (rc == 22 && HasOddInteger(tree)));
  if (rc == 0) {
    // Lengths are kept, only long forms may shrink to the shortest ones.
    Check(static_cast<size_t>(out_size) <= size);
    if (Canonical({data, size})) {
      Check(static_cast<size_t>(out_size) == size && std::memcmp(out, data, size) == 0);
    }
  }
  std::free(out);
  der_identifier_chain_free(&tree);
  return 0;
}

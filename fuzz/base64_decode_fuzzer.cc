// Fuzzes the Base64 decoder with arbitrary text, and the encoder with arbitrary
// bytes: the vector and portable paths must agree, and decoding what was
// encoded must give the bytes back.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tarnu/globals.h"
#include "text_paths.h"

using tarnu::detail::Base64Decode;
using tarnu::detail::Base64Encode;
using tarnu::detail::CodePath;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const int length = static_cast<int>(size);
  const char *text = reinterpret_cast<const char *>(data);

  unsigned char *best = nullptr, *portable = nullptr;
  int best_length = -1, portable_length = -1;
  const int best_status = Base64Decode(CodePath::kBest, text, length, &best, &best_length);
  const int portable_status =
      Base64Decode(CodePath::kPortable, text, length, &portable, &portable_length);
  if (best_status != portable_status || best_length != portable_length) abort();
  if (best_status == 0 && std::memcmp(best, portable, static_cast<size_t>(best_length)) != 0)
    abort();
  if (best_status != 0 && (best != nullptr || best_length != 0)) abort();
  std::free(best);
  std::free(portable);

  char *encoded = nullptr, *encoded_portable = nullptr;
  int encoded_length = 0, encoded_portable_length = 0;
  if (Base64Encode(CodePath::kBest, data, length, &encoded, &encoded_length) != 0) abort();
  if (Base64Encode(CodePath::kPortable, data, length, &encoded_portable,
                   &encoded_portable_length) != 0) {
    abort();
  }
  if (encoded_length != encoded_portable_length || std::strcmp(encoded, encoded_portable) != 0 ||
      std::strlen(encoded) != static_cast<size_t>(encoded_length)) {
    abort();
  }
  unsigned char *decoded = nullptr;
  int decoded_length = -1;
  if (base64_decode(encoded, encoded_length, &decoded, &decoded_length) != 0) abort();
  if (decoded_length != length || std::memcmp(decoded, data, size) != 0) abort();
  std::free(decoded);
  std::free(encoded);
  std::free(encoded_portable);
  return 0;
}

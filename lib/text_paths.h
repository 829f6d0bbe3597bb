// Private to libtarnu, its tests and benchmarks: the Base64 and CRC-32
// implementations with the code path chosen by the caller. kBest is what the
// exported functions use (vector instructions when the processor has them);
// kPortable is the table-driven code every platform runs, so that x86_64
// tests also cover what armhf executes. Contracts as in tarnu/base64.h and
// tarnu/crc.h.
#ifndef TARNU_LIB_TEXT_PATHS_H_
#define TARNU_LIB_TEXT_PATHS_H_

#include <cstdint>
#include <span>

namespace tarnu::detail {

enum class CodePath { kPortable, kBest };

int Base64Encode(CodePath path, const unsigned char *indata, int inlen, char **outdata,
                 int *outlen);
int Base64Decode(CodePath path, const char *indata, int inlen, unsigned char **outdata,
                 int *outlen);
// CRC-32 of `data` from the initial value 0xFFFFFFFF.
uint32_t Crc32(CodePath path, std::span<const unsigned char> data);

}  // namespace tarnu::detail

#endif  // TARNU_LIB_TEXT_PATHS_H_

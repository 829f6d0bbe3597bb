// Whether this CPU decrypts AES-GCM in hardware, as OpenSSL will see it.
//
// OpenSSL 3 keeps its capability vectors to itself, so the transport asks
// the CPU (CPUID on x86, the kernel's auxiliary vector on ARM) and then
// applies the variables through which OpenSSL lets a user hide capabilities
// (OPENSSL_ia32cap, OPENSSL_armcap), read exactly as OpenSSL reads them.
// Hiding AES-NI from OpenSSL therefore also moves the preference to
// ChaCha20-Poly1305, which is what a CPU without AES instructions needs.
//
// AES-GCM is fast only with both halves in hardware: the AES rounds and the
// carry-less multiply of GHASH (PCLMULQDQ on x86, PMULL on ARM).
#include <cstdint>
#include <cstdlib>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#elif defined(__arm__) || defined(__aarch64__)
#include <sys/auxv.h>
#endif

#include "comm_p.h"

namespace comm {
namespace {

#if defined(__i386__) || defined(__x86_64__)

// OpenSSL's reading of a capability number: "0x" hexadecimal, a leading "0"
// octal, else decimal, up to the first character that is not a digit of the
// base (so "~0x...:..." stops at the colon); no sign, no blanks.
uint64_t ReadCapabilityNumber(const char *text) {
  unsigned base = 10;
  if (*text == '0') {
    base = 8;
    ++text;
    if (*text == 'x' || *text == 'X') {
      base = 16;
      ++text;
    }
  }
  uint64_t value = 0;
  for (;; ++text) {
    unsigned digit;
    char c = *text;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      break;
    }
    if (digit >= base) break;
    value = value * base + digit;
  }
  return value;
}

// Bits of OpenSSL's first x86 capability word: CPUID leaf 1, EDX in the low
// half and ECX in the high half.
constexpr uint64_t kIa32Fxsr = uint64_t{1} << 24;
constexpr uint64_t kIa32Pclmul = uint64_t{1} << (32 + 1);
constexpr uint64_t kIa32Xop = uint64_t{1} << (32 + 11);
constexpr uint64_t kIa32AesNi = uint64_t{1} << (32 + 25);
constexpr uint64_t kIa32Avx = uint64_t{1} << (32 + 28);

uint64_t DetectedCapabilities() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return 0;
  return (uint64_t{ecx} << 32) | edx;
}

// OPENSSL_ia32cap: "~MASK" clears bits of what the CPU has (clearing FXSR
// takes every XMM-based extension with it), ":..." leaves the first word
// alone, any other value replaces it.
uint64_t ApplyIa32capVariable(const char *variable, uint64_t detected) {
  if (variable[0] == ':') return detected;
  if (variable[0] != '~') return ReadCapabilityNumber(variable);
  uint64_t mask = ReadCapabilityNumber(variable + 1);
  uint64_t result = detected & ~mask;
  if ((mask & kIa32Fxsr) != 0) result &= ~(kIa32Pclmul | kIa32Xop | kIa32AesNi | kIa32Avx);
  return result;
}

bool DetectAesGcmInstructions() {
  uint64_t capabilities = DetectedCapabilities();
  if (const char *variable = std::getenv("OPENSSL_ia32cap"))
    capabilities = ApplyIa32capVariable(variable, capabilities);
  return (capabilities & kIa32AesNi) != 0 && (capabilities & kIa32Pclmul) != 0;
}

#elif defined(__arm__) || defined(__aarch64__)

// Bits of OpenSSL's ARM capability word.
constexpr uint32_t kArmNeon = 1u << 0;
constexpr uint32_t kArmAes = 1u << 2;
constexpr uint32_t kArmPmull = 1u << 5;

#if defined(__arm__)
// 32-bit ARM: NEON in AT_HWCAP, the crypto extension in AT_HWCAP2.
constexpr unsigned long kHwcapNeon = 1ul << 12;
constexpr unsigned long kCryptoAuxEntry = AT_HWCAP2;
constexpr unsigned long kHwcapAes = 1ul << 0;
constexpr unsigned long kHwcapPmull = 1ul << 1;
#else
constexpr unsigned long kHwcapNeon = 1ul << 1;
constexpr unsigned long kCryptoAuxEntry = AT_HWCAP;
constexpr unsigned long kHwcapAes = 1ul << 3;
constexpr unsigned long kHwcapPmull = 1ul << 4;
#endif

// OpenSSL looks at the crypto extension only on CPUs with NEON.
uint32_t DetectedCapabilities() {
  if ((getauxval(AT_HWCAP) & kHwcapNeon) == 0) return 0;
  unsigned long crypto = getauxval(kCryptoAuxEntry);
  uint32_t capabilities = kArmNeon;
  if ((crypto & kHwcapAes) != 0) capabilities |= kArmAes;
  if ((crypto & kHwcapPmull) != 0) capabilities |= kArmPmull;
  return capabilities;
}

bool DetectAesGcmInstructions() {
  // OPENSSL_armcap replaces what the CPU reports.
  const char *variable = std::getenv("OPENSSL_armcap");
  uint32_t capabilities = variable != nullptr
                              ? static_cast<uint32_t>(std::strtoul(variable, nullptr, 0))
                              : DetectedCapabilities();
  return (capabilities & kArmAes) != 0 && (capabilities & kArmPmull) != 0;
}

#else

// Elsewhere nothing is known; ChaCha20-Poly1305 is the choice that is never
// slow in software.
bool DetectAesGcmInstructions() {
  return false;
}

#endif

}  // namespace

bool CpuHasAesGcmInstructions() {
  // The environment and the CPU do not change while the process runs.
  static const bool has = DetectAesGcmInstructions();
  return has;
}

}  // namespace comm

// CRC-32 with polynomial 0x04C11DB7, most significant bit first, initial value
// 0xFFFFFFFF and no final exclusive-or.
//
// crc32_byte is the plain bit-by-bit fold. crc32_buffer gives the same values
// through slicing-by-16 tables and, on x86_64 processors with carry-less
// multiplication, by folding 64-byte blocks with PCLMULQDQ, or 256-byte blocks
// with VPCLMULQDQ on AVX-512 (chosen at run time).
#include "tarnu/crc.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <span>

#include "byte_order.h"
#include "text_paths.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

constexpr uint32_t kPolynomial = 0x04C11DB7;
constexpr uint32_t kInitial = 0xFFFFFFFF;

constexpr uint32_t FoldByteBitwise(uint32_t crc, uint8_t byte) {
  crc ^= static_cast<uint32_t>(byte) << 24;
  for (int bit = 0; bit < 8; ++bit) {
    crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ kPolynomial : crc << 1;
  }
  return crc;
}

// kTables[k][b] is b * x^(32 + 8k) mod P: the contribution of byte b standing
// k bytes before the end of a 16-byte step.
using SliceTables = std::array<std::array<uint32_t, 256>, 16>;

constexpr SliceTables MakeSliceTables() {
  SliceTables tables{};
  for (uint32_t b = 0; b < 256; ++b) tables[0][b] = FoldByteBitwise(0, static_cast<uint8_t>(b));
  for (std::size_t k = 1; k < tables.size(); ++k) {
    for (uint32_t b = 0; b < 256; ++b) {
      uint32_t previous = tables[k - 1][b];
      tables[k][b] = (previous << 8) ^ tables[0][previous >> 24];
    }
  }
  return tables;
}

constexpr SliceTables kTables = MakeSliceTables();

// Continues `crc` over `data` sixteen bytes at a time; portable to any byte
// order and alignment. The running value meets the first four bytes; each
// byte then looks up its own table, independently of the others.
uint32_t CrcSliced(uint32_t crc, std::span<const unsigned char> data) {
  const unsigned char *p = data.data();
  std::size_t n = data.size();
  for (; n >= 16; p += 16, n -= 16) {
    const uint32_t high = crc ^ tarnu::detail::LoadBe32(p);
    uint32_t next = kTables[15][high >> 24] ^ kTables[14][(high >> 16) & 0xFF] ^
                    kTables[13][(high >> 8) & 0xFF] ^ kTables[12][high & 0xFF];
    for (std::size_t k = 4; k < 16; ++k) next ^= kTables[15 - k][p[k]];
    crc = next;
  }
  for (; n > 0; ++p, --n) crc = (crc << 8) ^ kTables[0][(crc >> 24) ^ *p];
  return crc;
}

#if defined(__x86_64__)

// x^n mod P, for the folding constants.
constexpr uint64_t XPowerMod(unsigned n) {
  uint64_t r = 1;
  for (unsigned i = 0; i < n; ++i) {
    r <<= 1;
    if ((r & (uint64_t{1} << 32)) != 0) r ^= (uint64_t{1} << 32) | kPolynomial;
  }
  return r;
}

// A 128-bit block is held with bit i the coefficient of x^i (the bytes
// reversed). Moving a block d bits further splits it into halves H*x^64 + L,
// which become H * (x^(d+64) mod P) + L * (x^d mod P): both products fit in
// 95 bits and are congruent to the block times x^d.
struct FoldConstants {
  long long high, low;
};
constexpr FoldConstants kFold512{static_cast<long long>(XPowerMod(512 + 64)),
                                 static_cast<long long>(XPowerMod(512))};
constexpr FoldConstants kFold128{static_cast<long long>(XPowerMod(128 + 64)),
                                 static_cast<long long>(XPowerMod(128))};

__attribute__((target("pclmul,ssse3"))) __m128i ReverseBytes(__m128i v) {
  return _mm_shuffle_epi8(v, _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0));
}

__attribute__((target("pclmul,ssse3"))) __m128i LoadBlock(const unsigned char *p) {
  return ReverseBytes(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
}

__attribute__((target("pclmul,ssse3"))) __m128i Fold(__m128i block, __m128i constants,
                                                     __m128i next) {
  const __m128i high = _mm_clmulepi64_si128(block, constants, 0x11);
  const __m128i low = _mm_clmulepi64_si128(block, constants, 0x00);
  return _mm_xor_si128(_mm_xor_si128(high, low), next);
}

// CRC of a buffer of at least 64 bytes whose first 32 bits are complemented
// by `initial` (0xFFFFFFFF for a fresh start, 0 for data that carries it
// already). Four lanes fold 64 bytes per step; they are then folded into one
// 128-bit block congruent to the whole prefix, and the table path finishes
// over that block followed by the tail.
__attribute__((target("pclmul,ssse3"))) uint32_t CrcFolded(std::span<const unsigned char> data,
                                                           uint32_t initial) {
  const unsigned char *p = data.data();
  std::size_t n = data.size();
  __m128i lane[4];
  for (int i = 0; i < 4; ++i) lane[i] = LoadBlock(p + 16 * i);
  // The initial value stands for the complement of the first 32 message bits.
  lane[0] = _mm_xor_si128(lane[0], _mm_set_epi32(static_cast<int>(initial), 0, 0, 0));
  p += 64;
  n -= 64;
  const __m128i fold512 = _mm_set_epi64x(kFold512.high, kFold512.low);
  for (; n >= 64; p += 64, n -= 64) {
    for (int i = 0; i < 4; ++i) lane[i] = Fold(lane[i], fold512, LoadBlock(p + 16 * i));
  }
  const __m128i fold128 = _mm_set_epi64x(kFold128.high, kFold128.low);
  __m128i block = Fold(lane[0], fold128, lane[1]);
  block = Fold(block, fold128, lane[2]);
  block = Fold(block, fold128, lane[3]);
  for (; n >= 16; p += 16, n -= 16) block = Fold(block, fold128, LoadBlock(p));
  alignas(16) unsigned char folded[16];
  _mm_store_si128(reinterpret_cast<__m128i *>(folded), ReverseBytes(block));
  // With a zero start value the table path yields S(x) * x^32 mod P for the
  // bytes S it is given; the folded block stands in for the whole prefix.
  return CrcSliced(CrcSliced(0, folded), std::span(p, n));
}

constexpr FoldConstants kFold2048{static_cast<long long>(XPowerMod(2048 + 64)),
                                  static_cast<long long>(XPowerMod(2048))};

#define TARNU_WIDE_TARGET __attribute__((target("avx512f,avx512bw,vpclmulqdq,pclmul,ssse3")))

// Reverses the bytes of each 128-bit lane.
TARNU_WIDE_TARGET __m512i ReverseLanes(__m512i v) {
  constexpr long long kLow = 0x08090A0B0C0D0E0F, kHigh = 0x0001020304050607;
  return _mm512_shuffle_epi8(v,
                             _mm512_set_epi64(kHigh, kLow, kHigh, kLow, kHigh, kLow, kHigh, kLow));
}

// Four 128-bit blocks in message order, each with its bytes reversed.
TARNU_WIDE_TARGET __m512i LoadWide(const unsigned char *p) {
  return ReverseLanes(_mm512_loadu_si512(p));
}

// CRC of a buffer of at least 256 bytes: sixteen 128-bit lanes in four
// 512-bit registers fold 256 bytes per step. The lanes, which together are
// congruent to the prefix, are written back as 256 bytes and finished with
// the tail by CrcFolded.
TARNU_WIDE_TARGET uint32_t CrcFoldedWide(std::span<const unsigned char> data) {
  const unsigned char *p = data.data();
  std::size_t n = data.size();
  __m512i lane[4];
  for (int i = 0; i < 4; ++i) lane[i] = LoadWide(p + 64 * i);
  // The initial value complements the first 32 message bits: the top of lane 0.
  lane[0] = _mm512_xor_si512(lane[0], _mm512_maskz_set1_epi32(1 << 3, static_cast<int>(kInitial)));
  p += 256;
  n -= 256;
  const __m512i fold =
      _mm512_set_epi64(kFold2048.high, kFold2048.low, kFold2048.high, kFold2048.low, kFold2048.high,
                       kFold2048.low, kFold2048.high, kFold2048.low);
  for (; n >= 256; p += 256, n -= 256) {
    for (int i = 0; i < 4; ++i) {
      const __m512i high = _mm512_clmulepi64_epi128(lane[i], fold, 0x11);
      const __m512i low = _mm512_clmulepi64_epi128(lane[i], fold, 0x00);
      lane[i] = _mm512_ternarylogic_epi64(high, low, LoadWide(p + 64 * i), 0x96);  // a ^ b ^ c
    }
  }
  alignas(64) unsigned char rest[512];
  for (int i = 0; i < 4; ++i) _mm512_store_si512(rest + 64 * i, ReverseLanes(lane[i]));
  std::memcpy(rest + 256, p, n);
  return CrcFolded(std::span(rest, 256 + n), 0);
}

#undef TARNU_WIDE_TARGET

bool DetectWideCarrylessMultiply() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("vpclmulqdq");
}

bool DetectCarrylessMultiply() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
}

// Decided once when the library is loaded, so the hot path takes no guard.
const bool kHasCarrylessMultiply = DetectCarrylessMultiply();
const bool kHasWideCarrylessMultiply = kHasCarrylessMultiply && DetectWideCarrylessMultiply();

#endif  // __x86_64__

}  // namespace

namespace tarnu::detail {

uint32_t Crc32(CodePath path, std::span<const unsigned char> data) {
#if defined(__x86_64__)
  if (path == CodePath::kBest && data.size() >= 256 && kHasWideCarrylessMultiply) {
    return CrcFoldedWide(data);
  }
  if (path == CodePath::kBest && data.size() >= 64 && kHasCarrylessMultiply) {
    return CrcFolded(data, kInitial);
  }
#else
  (void)path;
#endif
  return CrcSliced(kInitial, data);
}

}  // namespace tarnu::detail

extern "C" {

int crc32_byte(uint32_t *crc, unsigned char byte) {
  if (crc == nullptr) return -1;
  *crc = FoldByteBitwise(*crc, byte);
  return 0;
}

int crc32_buffer(uint32_t *crc, const unsigned char *buffer, unsigned int length) {
  if (crc == nullptr || buffer == nullptr) return -1;
  *crc = tarnu::detail::Crc32(tarnu::detail::CodePath::kBest, std::span(buffer, length));
  return 0;
}

}  // extern "C"

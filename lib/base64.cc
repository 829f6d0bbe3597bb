// Base64 with 72-character lines.
//
// Both directions have a portable table-driven path and, on x86_64 processors
// with SSSE3 (chosen at run time), a vector path for the bulk: the encoder
// handles a whole 54-byte line in four 12-byte vector steps and two table
// steps; the decoder turns blocks of 16 alphabet characters into 12 bytes and
// steps over the line breaks between groups. Padding, white space inside a
// group and bad characters go to the character-wise decoder on both paths.
#include <array>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "alloc.h"
#include "tarnu/base64.h"
#include "text_paths.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

using tarnu::detail::Calloc;
using tarnu::detail::CodePath;
using tarnu::detail::Free;
using tarnu::detail::Malloc;

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kGroupsPerLine = 18;  // 72 characters
constexpr std::size_t kLineBytes = kGroupsPerLine * 3;
constexpr std::size_t kLineChars = kGroupsPerLine * 4;

// ---- Encoding ---------------------------------------------------------------

// kPairs[v] holds the two characters for the 12-bit value v.
using PairTable = std::array<std::array<char, 2>, 4096>;
constexpr PairTable MakePairTable() {
  PairTable pairs{};
  for (std::size_t v = 0; v < pairs.size(); ++v) pairs[v] = {kAlphabet[v >> 6], kAlphabet[v & 63]};
  return pairs;
}
constexpr PairTable kPairs = MakePairTable();

void EncodeGroup(const unsigned char *in, char *out) {
  const uint32_t v = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | uint32_t{in[2]};
  std::memcpy(out, kPairs[v >> 12].data(), 2);
  std::memcpy(out + 2, kPairs[v & 0xFFF].data(), 2);
}

void EncodeGroups(const unsigned char *in, std::size_t groups, char *out) {
  for (std::size_t g = 0; g < groups; ++g) EncodeGroup(in + 3 * g, out + 4 * g);
}

// Encodes `lines` full lines, each 54 bytes in, 72 characters and a line feed out.
void EncodeLinesPortable(const unsigned char *in, std::size_t lines, char *out) {
  for (std::size_t l = 0; l < lines; ++l, in += kLineBytes, out += kLineChars + 1) {
    EncodeGroups(in, kGroupsPerLine, out);
    out[kLineChars] = '\n';
  }
}

// Encodes the 0, 1 or 2 bytes after the last complete group, with padding.
std::size_t EncodeTail(const unsigned char *in, std::size_t remainder, char *out) {
  if (remainder == 0) return 0;
  const unsigned char b0 = in[0];
  const unsigned char b1 = remainder == 2 ? in[1] : 0;
  out[0] = kAlphabet[b0 >> 2];
  out[1] = kAlphabet[((b0 & 0x03) << 4) | (b1 >> 4)];
  out[2] = remainder == 2 ? kAlphabet[(b1 & 0x0F) << 2] : '=';
  out[3] = '=';
  return 4;
}

// ---- Decoding ---------------------------------------------------------------

constexpr int8_t kInvalid = -1;
constexpr int8_t kSkipped = -2;
constexpr int8_t kPadding = -3;

using DecodeTable = std::array<int8_t, 256>;
constexpr DecodeTable MakeDecodeTable() {
  DecodeTable table{};
  for (auto &entry : table) entry = kInvalid;
  for (int v = 0; v < 64; ++v)
    table[static_cast<unsigned char>(kAlphabet[v])] = static_cast<int8_t>(v);
  for (unsigned char c : {'\n', '\r', ' ', '\t'}) table[c] = kSkipped;
  table['='] = kPadding;
  return table;
}
constexpr DecodeTable kDecode = MakeDecodeTable();

bool IsSkipped(char c) {
  return kDecode[static_cast<unsigned char>(c)] == kSkipped;
}

// kShifted[k][c] is the value of character c placed as the k-th of a group's
// four 6-bit fields, or kNotAlphabet for characters outside the alphabet, so
// that one OR of four lookups both assembles and checks a group.
constexpr uint32_t kNotAlphabet = 0x80000000u;
using ShiftedTables = std::array<std::array<uint32_t, 256>, 4>;
constexpr ShiftedTables MakeShiftedTables() {
  ShiftedTables tables{};
  for (std::size_t k = 0; k < 4; ++k) {
    for (std::size_t c = 0; c < 256; ++c) {
      const int value = kDecode[c];
      tables[k][c] = value < 0 ? kNotAlphabet : static_cast<uint32_t>(value) << (6 * (3 - k));
    }
  }
  return tables;
}
constexpr ShiftedTables kShifted = MakeShiftedTables();

// What a bulk decoder did before it stopped: characters consumed and bytes
// written.
struct GroupRun {
  std::size_t consumed;
  std::size_t written;
};

// Decodes whole groups of 4 alphabet characters from the start of `text`,
// skipping white space that stands between groups. Stops before the first
// group that holds anything else (padding, white space inside a group, a bad
// character) or that is incomplete; the character-wise decoder takes over there.
GroupRun DecodeGroupsPortable(std::span<const char> text, unsigned char *out) {
  std::size_t pos = 0;
  std::size_t written = 0;
  while (pos + 4 <= text.size()) {
    const uint32_t bits = kShifted[0][static_cast<unsigned char>(text[pos])] |
                          kShifted[1][static_cast<unsigned char>(text[pos + 1])] |
                          kShifted[2][static_cast<unsigned char>(text[pos + 2])] |
                          kShifted[3][static_cast<unsigned char>(text[pos + 3])];
    if ((bits & kNotAlphabet) != 0) {
      if (!IsSkipped(text[pos])) break;
      ++pos;
      continue;
    }
    out[written] = static_cast<unsigned char>(bits >> 16);
    out[written + 1] = static_cast<unsigned char>(bits >> 8);
    out[written + 2] = static_cast<unsigned char>(bits);
    written += 3;
    pos += 4;
  }
  return {pos, written};
}

// Writes the bytes of a group of `count` (1 to 4) values held in `bits`, the
// missing values taken as zero. The buffer always has room for three bytes.
void StoreGroup(uint32_t bits, int count, unsigned char *out) {
  bits <<= 6 * (4 - count);
  out[0] = static_cast<unsigned char>(bits >> 16);
  out[1] = static_cast<unsigned char>(bits >> 8);
  out[2] = static_cast<unsigned char>(bits);
}

// Bytes that the padding adds to the complete groups: 2 when the first "=" is
// the last character that is not skipped, 1 when it is the one before that.
std::size_t PaddedBytes(std::span<const char> text, std::size_t first_pad) {
  std::size_t last = text.size();
  while (last > first_pad && IsSkipped(text[last - 1])) --last;
  --last;  // the last significant character; at least first_pad itself
  if (last == first_pad) return 2;
  std::size_t next = first_pad + 1;
  while (next < last && IsSkipped(text[next])) ++next;
  return next == last ? 1 : 0;
}

#if defined(__x86_64__)

__attribute__((target("ssse3"))) __m128i EncodeBlock(__m128i in) {
  // Each 3-byte group b0 b1 b2 becomes the lane b1 b0 b2 b1 so that every
  // 6-bit index can be moved into its own byte by two multiplications.
  in = _mm_shuffle_epi8(in, _mm_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1));
  const __m128i a_c =
      _mm_mulhi_epu16(_mm_and_si128(in, _mm_set1_epi32(0x0FC0FC00)), _mm_set1_epi32(0x04000040));
  const __m128i b_d =
      _mm_mullo_epi16(_mm_and_si128(in, _mm_set1_epi32(0x003F03F0)), _mm_set1_epi32(0x01000010));
  const __m128i indices = _mm_or_si128(a_c, b_d);
  // Offset from index to character, chosen by range: 0-25, 26-51, 52-61, 62, 63.
  __m128i range = _mm_subs_epu8(indices, _mm_set1_epi8(51));
  const __m128i below_26 = _mm_cmpgt_epi8(_mm_set1_epi8(26), indices);
  range = _mm_or_si128(range, _mm_and_si128(below_26, _mm_set1_epi8(13)));
  const __m128i offsets =
      _mm_setr_epi8(71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 65, 0, 0);
  return _mm_add_epi8(indices, _mm_shuffle_epi8(offsets, range));
}

__attribute__((target("ssse3"))) void EncodeLinesSsse3(const unsigned char *in, std::size_t lines,
                                                       char *out) {
  for (std::size_t l = 0; l < lines; ++l, in += kLineBytes, out += kLineChars + 1) {
    // Four blocks take 48 of the 54 bytes; each load stays inside the line.
    for (std::size_t k = 0; k < 4; ++k) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 12 * k));
      _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 16 * k), EncodeBlock(block));
    }
    EncodeGroups(in + 48, 2, out + 64);
    out[kLineChars] = '\n';
  }
}

// Classifies 16 characters: `values` receives their 6-bit values, the result
// has bit i set when character i is in the alphabet. Two nibble tables give
// each character class a bit; a character is in the alphabet when the bits of
// its high and low nibble do not meet. The offset from character to value
// depends on the high nibble alone, except for "/" (which shares its nibble
// with "+").
__attribute__((target("ssse3"))) unsigned ClassifyBlock(__m128i in, __m128i *values) {
  const __m128i low_classes = _mm_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                            0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
  const __m128i high_classes = _mm_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10,
                                             0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
  const __m128i offsets = _mm_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m128i slash = _mm_set1_epi8(0x2F);
  // Masking with 0x2F keeps bit 7 clear (pshufb would zero the lane); bit 5
  // may carry a bit of the neighbouring byte, which pshufb ignores.
  const __m128i high_nibbles = _mm_and_si128(_mm_srli_epi32(in, 4), slash);
  const __m128i low_nibbles = _mm_and_si128(in, slash);
  const __m128i clash = _mm_and_si128(_mm_shuffle_epi8(low_classes, low_nibbles),
                                      _mm_shuffle_epi8(high_classes, high_nibbles));
  const unsigned invalid =
      static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpgt_epi8(clash, _mm_setzero_si128())));
  const __m128i is_slash = _mm_cmpeq_epi8(in, slash);
  *values = _mm_add_epi8(in, _mm_shuffle_epi8(offsets, _mm_add_epi8(is_slash, high_nibbles)));
  return ~invalid & 0xFFFF;
}

// Packs 16 6-bit values into 12 bytes, followed by 4 zero bytes.
__attribute__((target("ssse3"))) __m128i PackBlock(__m128i values) {
  // Pairs of 6-bit values to 12 bits, pairs of those to 24 bits per lane.
  const __m128i pairs = _mm_maddubs_epi16(values, _mm_set1_epi32(0x01400140));
  const __m128i lanes = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
  return _mm_shuffle_epi8(lanes,
                          _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
}

// What DecodeGroupsPortable does, 16 characters at a time. A block that is not all
// alphabet still yields its leading whole groups; a line break right after
// them is skipped and the loop goes on. Full blocks store 16 bytes (12
// decoded, 4 zero), so the output needs 4 spare bytes.
__attribute__((target("ssse3"))) GroupRun DecodeGroupsSsse3(std::span<const char> text,
                                                            unsigned char *out) {
  std::size_t pos = 0;
  std::size_t written = 0;
  while (pos + 16 <= text.size()) {
    __m128i values;
    const unsigned mask = ClassifyBlock(
        _mm_loadu_si128(reinterpret_cast<const __m128i *>(text.data() + pos)), &values);
    if (mask == 0xFFFF) {
      _mm_storeu_si128(reinterpret_cast<__m128i *>(out + written), PackBlock(values));
      pos += 16;
      written += 12;
      continue;
    }
    const std::size_t groups = static_cast<std::size_t>(__builtin_ctz(~mask)) / 4;
    if (groups > 0) {
      alignas(16) unsigned char block[16];
      _mm_store_si128(reinterpret_cast<__m128i *>(block), PackBlock(values));
      std::memcpy(out + written, block, 3 * groups);
      pos += 4 * groups;
      written += 3 * groups;
    }
    if (!IsSkipped(text[pos])) return {pos, written};
    ++pos;
  }
  const GroupRun rest = DecodeGroupsPortable(text.subspan(pos), out + written);
  return {pos + rest.consumed, written + rest.written};
}

bool DetectSsse3() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("ssse3");
}

// Decided once when the library is loaded, so the hot path takes no guard.
const bool kHasSsse3 = DetectSsse3();

#endif  // __x86_64__

void EncodeLines(CodePath path, const unsigned char *in, std::size_t lines, char *out) {
#if defined(__x86_64__)
  if (path == CodePath::kBest && kHasSsse3) return EncodeLinesSsse3(in, lines, out);
#endif
  (void)path;
  EncodeLinesPortable(in, lines, out);
}

GroupRun DecodeGroups(CodePath path, std::span<const char> text, unsigned char *out) {
#if defined(__x86_64__)
  if (path == CodePath::kBest && kHasSsse3) return DecodeGroupsSsse3(text, out);
#endif
  (void)path;
  return DecodeGroupsPortable(text, out);
}

// Spare bytes behind the decoded data for the vector path's 16-byte stores.
constexpr std::size_t kDecodeSpare = 4;

// Decodes `text` into `out` (zero-filled, 3 bytes per started group of 4
// characters plus kDecodeSpare). Returns the number of bytes counted, or -1
// for a character outside the alphabet that is not skipped.
long long DecodeInto(CodePath path, std::span<const char> text, unsigned char *out) {
  std::size_t pos = 0;
  std::size_t written = 0;  // bytes of complete groups
  uint32_t bits = 0;
  int pending = 0;  // values in the current group
  while (pos < text.size()) {
    if (pending == 0) {
      // Bulk decoding from each group boundary; it stops where a group needs
      // the character-wise rules below.
      const GroupRun run = DecodeGroups(path, text.subspan(pos), out + written);
      pos += run.consumed;
      written += run.written;
      if (pos == text.size()) break;
    }
    const int8_t value = kDecode[static_cast<unsigned char>(text[pos])];
    if (value >= 0) {
      bits = (bits << 6) | static_cast<uint32_t>(value);
      if (++pending == 4) {
        StoreGroup(bits, 4, out + written);
        written += 3;
        pending = 0;
        bits = 0;
      }
    } else if (value == kPadding) {
      if (pending > 0) StoreGroup(bits, pending, out + written);
      return static_cast<long long>(written + PaddedBytes(text, pos));
    } else if (value == kInvalid) {
      return -1;
    }
    ++pos;
  }
  if (pending > 0) StoreGroup(bits, pending, out + written);
  return static_cast<long long>(written);
}

}  // namespace

namespace tarnu::detail {

int Base64Encode(CodePath path, const unsigned char *indata, int inlen, char **outdata,
                 int *outlen) {
  if (indata == nullptr || outdata == nullptr || outlen == nullptr) return EINVAL;
  *outdata = nullptr;
  *outlen = 0;
  const std::size_t length = inlen > 0 ? static_cast<std::size_t>(inlen) : 0;
  const std::size_t groups = length / 3;
  const std::size_t remainder = length % 3;
  const std::size_t lines = groups / kGroupsPerLine;
  // Computed in 64 bits: four characters per started group, plus line feeds.
  const uint64_t text_length = 4 * (uint64_t{groups} + (remainder != 0 ? 1 : 0)) + lines;
  if (text_length > INT_MAX) return EINVAL;
  char *text = static_cast<char *>(Malloc(static_cast<std::size_t>(text_length) + 1));
  if (text == nullptr) return ENOMEM;

  EncodeLines(path, indata, lines, text);
  char *out = text + lines * (kLineChars + 1);
  const unsigned char *in = indata + lines * kLineBytes;
  const std::size_t last_groups = groups - lines * kGroupsPerLine;
  EncodeGroups(in, last_groups, out);
  out += 4 * last_groups;
  out += EncodeTail(in + 3 * last_groups, remainder, out);
  *out = '\0';
  *outdata = text;
  *outlen = static_cast<int>(text_length);
  return 0;
}

int Base64Decode(CodePath path, const char *indata, int inlen, unsigned char **outdata,
                 int *outlen) {
  if (indata == nullptr || outdata == nullptr || outlen == nullptr) return EINVAL;
  *outdata = nullptr;
  *outlen = 0;
  const std::size_t length = inlen > 0 ? static_cast<std::size_t>(inlen) : 0;
  // Room for three bytes per started group of four characters, whatever
  // mixture of characters the text holds, plus the vector path's spare bytes
  // (which also leave a zero behind the data).
  const std::size_t capacity = (length + 3) / 4 * 3 + kDecodeSpare;
  auto *bytes = static_cast<unsigned char *>(Calloc(capacity, 1));
  if (bytes == nullptr) return ENOMEM;
  const long long counted = DecodeInto(path, std::span(indata, length), bytes);
  if (counted < 0) {
    Free(bytes);
    return EINVAL;
  }
  *outdata = bytes;
  *outlen = static_cast<int>(counted);
  return 0;
}

}  // namespace tarnu::detail

extern "C" {

int base64_encode(const unsigned char *indata, int inlen, char **outdata, int *outlen) {
  return tarnu::detail::Base64Encode(CodePath::kBest, indata, inlen, outdata, outlen);
}

int base64_decode(const char *indata, int inlen, unsigned char **outdata, int *outlen) {
  return tarnu::detail::Base64Decode(CodePath::kBest, indata, inlen, outdata, outlen);
}

}  // extern "C"

// Serialization elements: constructors, accessors and release.
#include <cerrno>
#include <cstring>

#include "alloc.h"
#include "ser_p.h"

namespace tarnu::ser {
namespace {

using detail::Free;
using detail::Malloc;
using detail::NewZeroed;

// Makes a numeric element; the handle receives it only on success.
int NewNumber(SERElement **sep, uint32_t code, bool is_signed, uint64_t bits) {
  if (sep == nullptr) return EINVAL;
  *sep = nullptr;
  SERElement *se = NewZeroed<SERElement>();
  if (se == nullptr) return ENOMEM;
  FillNumber(se, code, is_signed, bits);
  *sep = se;
  return 0;
}

// Copies a payload that fits the record's own storage: short enough that a
// plain loop beats calling into the C library, which matters when decoding
// many small strings.
void CopySmallPayload(uint8_t (&to)[16], const uint8_t *bytes, uint32_t n, bool is_string) {
  std::memset(to, 0, sizeof to);
  for (uint32_t i = 0; i < n; ++i) {
    if (is_string && bytes[i] == 0) break;  // a string ends at its first zero byte
    to[i] = bytes[i];
  }
}

bool ValidPayloadLength(int length) {
  return length >= 0 && length <= SER_PAYLOAD_MAX;
}

// Makes a string or binary element of n bytes copied from bytes.
int NewPayload(SERElement **sep, uint32_t code, const void *bytes, int n) {
  if (sep == nullptr) return EINVAL;
  *sep = nullptr;
  if (bytes == nullptr || !ValidPayloadLength(n)) return EINVAL;
  SERElement *se = NewZeroed<SERElement>();
  if (se == nullptr) return ENOMEM;
  int status = FillPayload(se, code, static_cast<const uint8_t *>(bytes), static_cast<uint32_t>(n));
  if (status != 0) {
    Free(se);
    return status;
  }
  *sep = se;
  return 0;
}

// Copies `size` bytes of a number or handle when the capacity allows.
int CopyFixed(const void *from, std::size_t size, void *valuep, int capacity) {
  if (capacity < 0 || static_cast<std::size_t>(capacity) < size) return ENOSPC;
  std::memcpy(valuep, from, size);
  return 0;
}

int CopyBinary(const SERElement *se, void *valuep, int *lengthp) {
  if (*lengthp < 0) return ENOSPC;
  uint32_t n = LengthOf(se->type);
  uint32_t count = static_cast<uint32_t>(*lengthp) < n ? static_cast<uint32_t>(*lengthp) : n;
  if (count > 0) std::memcpy(valuep, PayloadOf(se), count);
  *lengthp = static_cast<int>(count);
  return 0;
}

// A string is always delivered zero-terminated, so a capacity below 1 cannot
// hold even the empty string.
int CopyString(const SERElement *se, void *valuep, int *lengthp) {
  if (*lengthp < 1) return ENOSPC;
  uint32_t n = LengthOf(se->type);
  uint32_t room = static_cast<uint32_t>(*lengthp) - 1;
  uint32_t count = room < n ? room : n;
  auto *out = static_cast<uint8_t *>(valuep);
  if (count > 0) std::memcpy(out, PayloadOf(se), count);
  out[count] = 0;
  *lengthp = static_cast<int>(count);
  return 0;
}

}  // namespace

void FillNumber(SERElement *se, uint32_t code, bool is_signed, uint64_t bits) {
  uint32_t sign = is_signed ? SER_TYPE_SIGNED : 0u;
  switch (code) {
    case SER_TYPE_INT16:
      se->type = sign | kInt16Word | (static_cast<uint32_t>(bits) & SER_LENGTH_MASK);
      break;
    case SER_TYPE_INT32:
      se->type = sign | kInt32Word;
      se->val.uint32 = static_cast<uint32_t>(bits);
      break;
    case SER_TYPE_INT64:
      se->type = sign | kInt64Word;
      se->val.uint64 = bits;
      break;
    default:  // SER_TYPE_FLOAT: never signed; the 4 bytes of the float's bit pattern
      se->type = kFloatWord;
      se->val.uint32 = static_cast<uint32_t>(bits);
      break;
  }
}

int FillPayload(SERElement *se, uint32_t code, const uint8_t *bytes, uint32_t n) {
  // A string keeps a zero byte after its payload so that it reads as a C string.
  bool is_string = code == SER_TYPE_STRING;
  if (IsSmallPayload(code, n)) {
    CopySmallPayload(se->val.small, bytes, n, is_string);
  } else {
    auto *copy = static_cast<uint8_t *>(Malloc(n + (is_string ? 1u : 0u)));
    if (copy == nullptr) return ENOMEM;
    if (is_string) {
      std::size_t used = strnlen(reinterpret_cast<const char *>(bytes), n);
      std::memcpy(copy, bytes, used);
      std::memset(copy + used, 0, n + 1 - used);
    } else {
      std::memcpy(copy, bytes, n);
    }
    se->val.octets = copy;
  }
  se->type = PayloadWord(code, n);
  return 0;
}

void ReleaseContents(SERElement *se) {
  switch (CodeOf(se->type)) {
    case SER_TYPE_STRING:
    case SER_TYPE_BINARY:
      if (!HasSmallPayload(se)) Free(se->val.octets);
      break;
    case SER_TYPE_ARRAY:
      DestroyPacket(static_cast<SERPacket *>(se->val.svoid));
      se->val.svoid = nullptr;
      break;
    default:
      break;
  }
}

}  // namespace tarnu::ser

using tarnu::ser::CodeOf;
using tarnu::ser::CopyBinary;
using tarnu::ser::CopyFixed;
using tarnu::ser::CopyString;
using tarnu::ser::LengthOf;
using tarnu::ser::NewNumber;
using tarnu::ser::NewPayload;
using tarnu::ser::ReadValue;
using tarnu::ser::ReleaseContents;

extern "C" {

int ser_element_new_uint16(SERElement **sep, uint16_t value) {
  return NewNumber(sep, SER_TYPE_INT16, false, value);
}

int ser_element_new_int16(SERElement **sep, int16_t value) {
  return NewNumber(sep, SER_TYPE_INT16, true, static_cast<uint16_t>(value));
}

int ser_element_new_uint32(SERElement **sep, uint32_t value) {
  return NewNumber(sep, SER_TYPE_INT32, false, value);
}

int ser_element_new_int32(SERElement **sep, int32_t value) {
  return NewNumber(sep, SER_TYPE_INT32, true, static_cast<uint32_t>(value));
}

int ser_element_new_uint64(SERElement **sep, uint64_t value) {
  return NewNumber(sep, SER_TYPE_INT64, false, value);
}

int ser_element_new_int64(SERElement **sep, int64_t value) {
  return NewNumber(sep, SER_TYPE_INT64, true, static_cast<uint64_t>(value));
}

int ser_element_new_float(SERElement **sep, float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return NewNumber(sep, SER_TYPE_FLOAT, false, bits);
}

int ser_element_new_string(SERElement **sep, const char *value) {
  if (sep == nullptr) return EINVAL;
  *sep = nullptr;
  if (value == nullptr) return EINVAL;
  // Looks one byte past the limit only, so an overlong string is not scanned whole.
  std::size_t n = strnlen(value, SER_PAYLOAD_MAX + 1);
  if (n > SER_PAYLOAD_MAX) return EINVAL;
  return NewPayload(sep, SER_TYPE_STRING, value, static_cast<int>(n));
}

int ser_element_new_string_length(SERElement **sep, const char *value, int length) {
  return NewPayload(sep, SER_TYPE_STRING, value, length);
}

int ser_element_new_binary(SERElement **sep, const void *value, int len) {
  return NewPayload(sep, SER_TYPE_BINARY, value, len);
}

int ser_element_new(SERElement **sep, int type, const void *valuep, int length) {
  if (sep == nullptr || valuep == nullptr) return EINVAL;
  *sep = nullptr;
  auto word = static_cast<uint32_t>(type);
  bool is_signed = (word & SER_TYPE_SIGNED) != 0;
  switch (CodeOf(word)) {
    case SER_TYPE_INT16:
      return NewNumber(sep, SER_TYPE_INT16, is_signed, ReadValue<uint16_t>(valuep));
    case SER_TYPE_INT32:
      return NewNumber(sep, SER_TYPE_INT32, is_signed, ReadValue<uint32_t>(valuep));
    case SER_TYPE_INT64:
      return NewNumber(sep, SER_TYPE_INT64, is_signed, ReadValue<uint64_t>(valuep));
    case SER_TYPE_FLOAT:
      return NewNumber(sep, SER_TYPE_FLOAT, false, ReadValue<uint32_t>(valuep));
    case SER_TYPE_STRING:
      return NewPayload(sep, SER_TYPE_STRING, valuep, length);
    case SER_TYPE_BINARY:
      return NewPayload(sep, SER_TYPE_BINARY, valuep, length);
    default:  // arrays are made by nesting packets only
      return EINVAL;
  }
}

int ser_element_get_type(SERElement *se, uint32_t *typep) {
  if (se == nullptr || typep == nullptr) return EINVAL;
  *typep = CodeOf(se->type);
  return 0;
}

int ser_element_get_value(SERElement *se, void *valuep, int *lengthp) {
  if (se == nullptr || valuep == nullptr || lengthp == nullptr) return EINVAL;
  switch (CodeOf(se->type)) {
    case SER_TYPE_INT16: {
      auto value = static_cast<uint16_t>(se->type & SER_LENGTH_MASK);
      return CopyFixed(&value, sizeof value, valuep, *lengthp);
    }
    case SER_TYPE_INT32:
    case SER_TYPE_FLOAT:
      return CopyFixed(&se->val.uint32, sizeof se->val.uint32, valuep, *lengthp);
    case SER_TYPE_INT64:
      return CopyFixed(&se->val.uint64, sizeof se->val.uint64, valuep, *lengthp);
    case SER_TYPE_ARRAY:
      // The handle is as wide as a pointer: 4 bytes on armhf, 8 on 64-bit hosts.
      return CopyFixed(&se->val.svoid, sizeof se->val.svoid, valuep, *lengthp);
    case SER_TYPE_BINARY:
      return CopyBinary(se, valuep, lengthp);
    case SER_TYPE_STRING:
      return CopyString(se, valuep, lengthp);
    default:
      return EINVAL;
  }
}

int ser_element_free(SERElement **sep) {
  if (sep == nullptr || *sep == nullptr) return EINVAL;
  ReleaseContents(*sep);
  tarnu::detail::Free(*sep);
  *sep = nullptr;
  return 0;
}

}  // extern "C"

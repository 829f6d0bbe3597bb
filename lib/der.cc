// DER element tree and its octet encoding.
//
// The encoder writes every octet of an element itself (header, content and
// zero padding where the content is shorter than the declared length), so an
// element never spills outside the size its `length` declares and the output
// never depends on what the buffer held before. The decoder checks every
// length against the octets that are left before it reads, and both bound
// their recursion by DER_MAX_DEPTH.
#include "tarnu/der.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <span>

#include "alloc.h"
#include "byte_order.h"

using tarnu::detail::Free;
using tarnu::detail::LoadBe32;
using tarnu::detail::Malloc;
using tarnu::detail::NewZeroed;
using tarnu::detail::StoreBe32;

namespace {

constexpr uint8_t kBoolean = 0x01;
constexpr uint8_t kInteger = 0x02;
constexpr uint8_t kBitString = 0x03;
constexpr uint8_t kOctetString = 0x04;
constexpr uint8_t kNull = 0x05;
constexpr uint8_t kOid = 0x06;
constexpr uint8_t kSequence = 0x10;

constexpr uint32_t kShortFormMax = 127;
constexpr uint32_t kTwoOctetMax = 65535;
constexpr uint8_t kLongForm2 = 0x82;
constexpr uint8_t kLongForm4 = 0x84;

using Octets = std::span<uint8_t>;
using Input = std::span<const uint8_t>;

// Octets taken by the identifier and length octets for a content of `length`.
constexpr uint64_t HeaderSize(uint32_t length) {
  if (length <= kShortFormMax) return 2;
  if (length <= kTwoOctetMax) return 4;
  return 6;
}

// Octets the whole element takes on the wire, computed from `length` alone.
constexpr uint64_t EncodedSize(const DERIdentifier *di) {
  return HeaderSize(di->length) + di->length;
}

// Allocates one zero-filled node; null when memory runs out.
DERIdentifier *AllocateNode() {
  return NewZeroed<DERIdentifier>();
}

// Releases the content buffer the element owns, if any.
void FreeContent(DERIdentifier *di) {
  bool owns =
      di->identifier == kBitString || di->identifier == kOctetString || di->identifier == kOid;
  if (owns) Free(di->s);
}

// Frees `head`, every element after it along next, and all their members,
// without recursion, so the depth of a tree cannot exhaust the stack. When
// the walk descends into a member chain, the rest of the outer chain is
// pushed onto a stack threaded through the `previous` field of its first
// element (a field freeing has no other use for), and popped when the member
// chain ends.
void FreeChain(DERIdentifier *head) {
  DERIdentifier *resume = nullptr;
  DERIdentifier *node = head;
  while (node != nullptr) {
    DERIdentifier *next = node->next;
    if (node->identifier == kSequence && node->child != nullptr) {
      if (next != nullptr) {
        next->previous = resume;
        resume = next;
      }
      next = node->child;
    }
    FreeContent(node);
    Free(node);
    if (next == nullptr && resume != nullptr) {
      next = resume;
      resume = resume->previous;
    }
    node = next;
  }
}

// Runs a constructor body on a fresh zero-filled element; stores it in *dip
// when `fill` returns 0, frees it otherwise.
template <typename Fill>
int Construct(DERIdentifier **dip, Fill fill) {
  if (dip == nullptr) return EINVAL;
  *dip = nullptr;
  DERIdentifier *di = AllocateNode();
  if (di == nullptr) return ENOMEM;
  int rc = fill(di);
  if (rc != 0) {
    FreeChain(di);
    return rc;
  }
  *dip = di;
  return 0;
}

// INTEGER content length chosen from the value; the lower bounds are -126 and
// -32766 (not -128 and -32768), which peers rely on.
constexpr uint32_t IntegerLength(int32_t value) {
  if (value >= -126 && value <= 127) return 1;
  if (value >= -32766 && value <= 32767) return 2;
  return 4;
}

// ---- encoding -------------------------------------------------------------

// Writes the identifier and length octets; returns the octets used.
// `out` holds at least HeaderSize(length) octets.
inline size_t WriteHeader(uint8_t *out, uint8_t tag, uint32_t length) {
  out[0] = tag;
  if (length <= kShortFormMax) {
    out[1] = static_cast<uint8_t>(length);
    return 2;
  }
  if (length <= kTwoOctetMax) {
    out[1] = kLongForm2;
    out[2] = static_cast<uint8_t>(length >> 8);
    out[3] = static_cast<uint8_t>(length);
    return 4;
  }
  out[1] = kLongForm4;
  StoreBe32(out + 2, length);
  return 6;
}

// Copies `n` octets; short strings, the common case, without a library call.
inline void CopyOctets(uint8_t *to, const char *from, size_t n) {
  if (n > 16) {
    std::memcpy(to, from, n);
    return;
  }
  for (size_t i = 0; i < n; ++i) to[i] = static_cast<uint8_t>(from[i]);
}

// Writes the content octets of an element that has no members into `out`
// (exactly `length` octets).
inline int EncodeLeafContent(const DERIdentifier *di, Octets out) {
  uint8_t *p = out.data();
  uint32_t value = static_cast<uint32_t>(di->l);
  switch (di->identifier) {
    case kBoolean:
      if (di->length != 1) return EINVAL;
      p[0] = static_cast<uint8_t>(value);
      return 0;
    case kInteger:
      switch (di->length) {
        case 4:
          *p++ = static_cast<uint8_t>(value >> 24);
          *p++ = static_cast<uint8_t>(value >> 16);
          [[fallthrough]];
        case 2:
          *p++ = static_cast<uint8_t>(value >> 8);
          [[fallthrough]];
        case 1:
          *p = static_cast<uint8_t>(value);
          return 0;
        default:
          return EINVAL;
      }
    case kOctetString:
      if (di->length == 0) return 0;
      if (di->s == nullptr) return EINVAL;
      CopyOctets(p, di->s, di->length);
      return 0;
    case kNull:
      // A decoded NULL may declare content; it is written as zeros.
      std::memset(p, 0, out.size());
      return 0;
    default:
      return EINVAL;
  }
}

// Writes the element `di` at `level` into `out`, which is exactly its size.
// Only SEQUENCEs recurse; members without members of their own are written
// in the loop of their SEQUENCE.
[[gnu::noinline]] int EncodeElement(const DERIdentifier *di, Octets out, int level) {
  size_t header = WriteHeader(out.data(), di->identifier, di->length);
  Octets content = out.subspan(header);
  if (di->identifier != kSequence) return EncodeLeafContent(di, content);
  if (di->child != nullptr && level >= DER_MAX_DEPTH) return EINVAL;
  // A member that does not fit what is left of the content is refused, and
  // octets the members do not fill are zeroed.
  size_t position = 0;
  for (const DERIdentifier *m = di->child; m != nullptr; m = m->next) {
    uint64_t size = EncodedSize(m);
    if (size > content.size() - position) return EINVAL;
    Octets member = content.subspan(position, static_cast<size_t>(size));
    int rc;
    if (m->identifier == kSequence) {
      rc = EncodeElement(m, member, level + 1);
    } else {
      size_t member_header = WriteHeader(member.data(), m->identifier, m->length);
      rc = EncodeLeafContent(m, member.subspan(member_header));
    }
    if (rc != 0) return rc;
    position += static_cast<size_t>(size);
  }
  std::memset(content.data() + position, 0, content.size() - position);
  return 0;
}

// ---- decoding -------------------------------------------------------------

// One element's header as read from the input.
struct Header {
  uint8_t tag;
  uint32_t length;
  size_t header_size;
};

bool KnownTag(uint8_t tag) {
  return tag == kBoolean || tag == kInteger || tag == kOctetString || tag == kNull ||
         tag == kSequence;
}

// Reads the header at the start of `in` and checks that the content lies
// within `in`; false for any malformed or truncated header.
bool ReadHeader(Input in, Header *h) {
  if (in.size() < 2) return false;
  h->tag = in[0];
  if (!KnownTag(h->tag)) return false;
  uint8_t first = in[1];
  if (first <= kShortFormMax) {
    h->length = first;
    h->header_size = 2;
  } else if (first == kLongForm2 || first == kLongForm4) {
    size_t count = first & 0x7Fu;
    if (in.size() - 2 < count) return false;
    uint32_t length = 0;
    for (size_t i = 0; i < count; ++i) length = (length << 8) | in[2 + i];
    h->length = length;
    h->header_size = 2 + count;
  } else {
    return false;
  }
  return h->length <= in.size() - h->header_size;
}

int DecodeChain(Input in, int level, DERIdentifier **head);

// Fills the value of the element `di` from its content octets.
int DecodeContent(DERIdentifier *di, Input content, int level) {
  const uint8_t *p = content.data();
  switch (di->identifier) {
    case kBoolean:
      if (content.size() != 1) return EINVAL;
      di->l = static_cast<int8_t>(p[0]);
      return 0;
    case kInteger:
      if (content.size() == 1) {
        di->l = static_cast<int8_t>(p[0]);
      } else if (content.size() == 2) {
        di->l = static_cast<int16_t>((p[0] << 8) | p[1]);
      } else if (content.size() == 4) {
        di->l = static_cast<int32_t>(LoadBe32(p));
      }
      return 0;
    case kOctetString: {
      // The content is an ordinary malloc buffer the element owns, as for
      // der_identifier_new_string, so callers may release or replace it.
      // One spare octet keeps it terminated for callers that print it.
      auto *copy = static_cast<char *>(Malloc(content.size() + 1));
      if (copy == nullptr) return ENOMEM;
      if (!content.empty()) std::memcpy(copy, p, content.size());
      copy[content.size()] = '\0';
      di->s = copy;
      return 0;
    }
    case kSequence:
      if (level >= DER_MAX_DEPTH) return EINVAL;
      return DecodeChain(content, level + 1, &di->child);
    default:  // NULL: content octets, if any, are skipped
      return 0;
  }
}

// Decodes the elements of `in`, back to back at `level`, into a new chain.
int DecodeChain(Input in, int level, DERIdentifier **head) {
  if (in.size() < 2) return EINVAL;
  DERIdentifier *first = nullptr;
  DERIdentifier *last = nullptr;
  size_t position = 0;
  while (position < in.size()) {
    Header h;
    if (!ReadHeader(in.subspan(position), &h)) {
      FreeChain(first);
      return EINVAL;
    }
    DERIdentifier *di = AllocateNode();
    if (di == nullptr) {
      FreeChain(first);
      return ENOMEM;
    }
    di->identifier = h.tag;
    di->length = h.length;
    int rc = DecodeContent(di, in.subspan(position + h.header_size, h.length), level);
    if (rc != 0) {
      FreeChain(di);
      FreeChain(first);
      return rc;
    }
    if (last == nullptr) {
      first = di;
    } else {
      last->next = di;
      di->previous = last;
    }
    last = di;
    position += h.header_size + h.length;
  }
  *head = first;
  return 0;
}

// Follows `link` (next or previous) from `di` to the element where the chain
// ends that way; null if `stop` is met on the way.
template <DERIdentifier *DERIdentifier::*link>
DERIdentifier *EndOrNullIfMet(DERIdentifier *di, const DERIdentifier *stop) {
  for (;; di = di->*link) {
    if (di == stop) return nullptr;
    if (di->*link == nullptr) return di;
  }
}

DERIdentifier *LastOrNullIfMet(DERIdentifier *di, const DERIdentifier *stop) {
  return EndOrNullIfMet<&DERIdentifier::next>(di, stop);
}

DERIdentifier *FirstOrNullIfMet(DERIdentifier *di, const DERIdentifier *stop) {
  return EndOrNullIfMet<&DERIdentifier::previous>(di, stop);
}

// Links `di` after the last member of `parent`; false if it is already one.
bool LinkLastMember(DERIdentifier *parent, DERIdentifier *di) {
  if (parent->child == nullptr) {
    parent->child = di;
    return true;
  }
  DERIdentifier *last = LastOrNullIfMet(parent->child, di);
  if (last == nullptr) return false;
  last->next = di;
  di->previous = last;
  return true;
}

bool CanAddMember(const DERIdentifier *parent, const DERIdentifier *di) {
  return parent != nullptr && di != nullptr && parent != di && parent->identifier == kSequence;
}

// Adds the encoded size of `di` to the SEQUENCE's length unless it would
// not fit in 32 bits.
bool GrowLength(DERIdentifier *parent, const DERIdentifier *di) {
  uint64_t grown = uint64_t{parent->length} + EncodedSize(di);
  if (grown > UINT32_MAX) return false;
  parent->length = static_cast<uint32_t>(grown);
  return true;
}

}  // namespace

extern "C" {

int der_identifier_new(DERIdentifier **dip) {
  return Construct(dip, [](DERIdentifier *) { return 0; });
}

int der_identifier_new_boolean(DERIdentifier **dip, int value) {
  return Construct(dip, [value](DERIdentifier *di) {
    di->identifier = kBoolean;
    di->length = 1;
    di->l = value != 0 ? 1 : 0;
    return 0;
  });
}

int der_identifier_new_integer(DERIdentifier **dip, int value) {
  return Construct(dip, [value](DERIdentifier *di) {
    di->identifier = kInteger;
    di->length = IntegerLength(value);
    di->l = value;
    return 0;
  });
}

int der_identifier_new_null(DERIdentifier **dip) {
  return Construct(dip, [](DERIdentifier *di) {
    di->identifier = kNull;
    return 0;
  });
}

int der_identifier_new_sequence(DERIdentifier **dip) {
  return Construct(dip, [](DERIdentifier *di) {
    di->identifier = kSequence;
    return 0;
  });
}

int der_identifier_new_string(DERIdentifier **dip, char *string, int length) {
  if (length < 0 || (string == nullptr && length > 0)) {
    if (dip != nullptr) *dip = nullptr;
    return EINVAL;
  }
  return Construct(dip, [string, length](DERIdentifier *di) {
    di->identifier = kOctetString;
    auto size = static_cast<size_t>(length);
    auto *copy = static_cast<char *>(Malloc(size));
    if (copy == nullptr) return ENOMEM;
    if (size > 0) std::memcpy(copy, string, size);
    di->s = copy;
    di->length = static_cast<uint32_t>(size);
    return 0;
  });
}

int der_identifier_new_oid(DERIdentifier **, char *, int) {
  return EINVAL;
}

int der_identifier_get_boolean(DERIdentifier *di, int *valuep) {
  if (di == nullptr || valuep == nullptr || di->identifier != kBoolean) return EINVAL;
  *valuep = di->l;
  return 0;
}

int der_identifier_get_integer(DERIdentifier *di, int *valuep) {
  if (di == nullptr || valuep == nullptr || di->identifier != kInteger) return EINVAL;
  *valuep = di->l;
  return 0;
}

int der_identifier_get_octetstring(DERIdentifier *di, char *str, int *lengthp) {
  if (di == nullptr || str == nullptr || lengthp == nullptr || di->identifier != kOctetString) {
    return EINVAL;
  }
  // A negative size is no room at all, not a huge unsigned one.
  uint32_t room = *lengthp > 0 ? static_cast<uint32_t>(*lengthp) : 0;
  if (di->length > room) return ENOSPC;
  if (di->length > 0) {
    if (di->s == nullptr) return EINVAL;
    std::memcpy(str, di->s, di->length);
  }
  *lengthp = static_cast<int>(di->length);
  return 0;
}

int der_identifier_get_oid(DERIdentifier *di, char *str, int *lengthp) {
  if (di == nullptr || str == nullptr || lengthp == nullptr || di->identifier != kOid) {
    return EINVAL;
  }
  return 0;
}

int der_identifier_chain_append(DERIdentifier *parent, DERIdentifier *di) {
  if (parent == nullptr || di == nullptr) return EINVAL;
  // di already in the chain, before or after parent, would close a loop.
  DERIdentifier *last = LastOrNullIfMet(parent, di);
  if (last == nullptr) return EINVAL;
  if (parent->previous != nullptr && FirstOrNullIfMet(parent->previous, di) == nullptr) {
    return EINVAL;
  }
  last->next = di;
  di->previous = last;
  return 0;
}

int der_identifier_chain_prepend(DERIdentifier *parent, DERIdentifier *di) {
  if (parent == nullptr || di == nullptr) return EINVAL;
  DERIdentifier *first = FirstOrNullIfMet(parent, di);
  if (first == nullptr) return EINVAL;
  if (parent->next != nullptr && LastOrNullIfMet(parent->next, di) == nullptr) return EINVAL;
  first->previous = di;
  di->next = first;
  return 0;
}

int der_identifier_child_append(DERIdentifier *parent, DERIdentifier *di) {
  if (!CanAddMember(parent, di)) return EINVAL;
  uint32_t before = parent->length;
  if (!GrowLength(parent, di)) return EINVAL;
  if (!LinkLastMember(parent, di)) {
    parent->length = before;
    return EINVAL;
  }
  return 0;
}

int der_identifier_child_prepend(DERIdentifier *parent, DERIdentifier *di) {
  if (!CanAddMember(parent, di)) return EINVAL;
  DERIdentifier *former = parent->child;
  if (former == di) return EINVAL;
  if (!GrowLength(parent, di)) return EINVAL;
  if (former != nullptr) {
    former->previous = di;
    di->next = former;
  }
  parent->child = di;
  return 0;
}

int der_identifier_child_append_decode(DERIdentifier *parent, DERIdentifier *di) {
  if (!CanAddMember(parent, di)) return EINVAL;
  return LinkLastMember(parent, di) ? 0 : EINVAL;
}

int der_identifier_free(DERIdentifier **dip) {
  if (dip == nullptr || *dip == nullptr) return EINVAL;
  DERIdentifier *di = *dip;
  di->next = nullptr;  // only this element (and its members) goes
  FreeChain(di);
  *dip = nullptr;
  return 0;
}

int der_identifier_chain_free(DERIdentifier **dip) {
  if (dip == nullptr || *dip == nullptr) return EINVAL;
  DERIdentifier *di = *dip;
  if (di->previous != nullptr && di->previous->next == di) di->previous->next = nullptr;
  FreeChain(di);
  return 0;
}

int der_identifier_encode_r(DERIdentifier *di, char *data, int *datalenp) {
  if (di == nullptr || data == nullptr || datalenp == nullptr) return EINVAL;
  uint64_t size = EncodedSize(di);
  if (*datalenp < 0 || size > static_cast<uint64_t>(*datalenp)) return ENOSPC;
  Octets out(reinterpret_cast<uint8_t *>(data), static_cast<size_t>(size));
  int rc = EncodeElement(di, out, 1);
  if (rc != 0) return rc;
  *datalenp = static_cast<int>(size);
  return 0;
}

int der_identifier_encode(DERIdentifier *di, char **datap, int *datalenp) {
  if (di == nullptr || datap == nullptr || datalenp == nullptr) return EINVAL;
  *datap = nullptr;
  *datalenp = 0;
  uint64_t total = 0;
  for (const DERIdentifier *e = di; e != nullptr; e = e->next) {
    total += EncodedSize(e);
    if (total > INT_MAX) return EINVAL;  // not representable in *datalenp
  }
  auto *buffer = static_cast<uint8_t *>(Malloc(static_cast<size_t>(total)));
  if (buffer == nullptr) return ENOMEM;
  size_t position = 0;
  for (const DERIdentifier *e = di; e != nullptr; e = e->next) {
    auto size = static_cast<size_t>(EncodedSize(e));
    int rc = EncodeElement(e, Octets(buffer + position, size), 1);
    if (rc != 0) {
      Free(buffer);
      return rc;
    }
    position += size;
  }
  *datap = reinterpret_cast<char *>(buffer);
  *datalenp = static_cast<int>(total);
  return 0;
}

int der_identifier_decode(DERIdentifier **dip, char *data, int datalen) {
  if (dip == nullptr) return EINVAL;
  *dip = nullptr;
  if (data == nullptr || datalen < 2) return EINVAL;
  Input in(reinterpret_cast<const uint8_t *>(data), static_cast<size_t>(datalen));
  return DecodeChain(in, 1, dip);
}

}  // extern "C"

// Serialization packets: building, walking, size accounting and the encoder.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "alloc.h"
#include "ser_p.h"

namespace tarnu::ser {
namespace {

using detail::Free;
using detail::NewZeroed;

bool IsNested(const SERPacket *sp) {
  return (sp->flags & SER_PACKET_NESTED) != 0;
}

// The encoding of a packet must stay reportable through the int length of
// ser_packet_serialize.
bool GrowthFits(const SERPacket *sp, uint32_t size) {
  return size <= static_cast<uint32_t>(INT_MAX) - sp->length;
}

// An element already in a list has a neighbour or heads the packet; an
// element alone in another packet cannot be told apart from a free one.
bool LooksLinked(const SERPacket *sp, const SERElement *se) {
  return se->next != nullptr || se->prev != nullptr || se == sp->head;
}

void ReleaseElements(SERElement *se) {
  while (se != nullptr) {
    SERElement *next = se->next;
    ReleaseContents(se);
    Free(se);
    se = next;
  }
}

// Spares hold no payload; only their records are released.
void ReleaseSpares(SERElement *se) {
  while (se != nullptr) {
    SERElement *next = se->next;
    Free(se);
    se = next;
  }
}

void EmptyPacket(SERPacket *sp) {
  ReleaseElements(sp->head);
  ReleaseSpares(sp->cache);
  uint32_t refs = sp->refs;
  *sp = SERPacket{};
  sp->refs = refs;
}

// Checks shared by append and prepend; 0 when se may be linked into sp.
int CheckLinkable(const SERPacket *sp, const SERElement *se) {
  if (sp == nullptr || se == nullptr) return EINVAL;
  if (IsNested(sp)) return EPERM;
  if (LooksLinked(sp, se)) return EINVAL;
  if (!GrowthFits(sp, EncodedSize(se))) return EOVERFLOW;
  return 0;
}

// Writes the payload of a string or binary and its zero padding.
uint8_t *EncodePayload(const SERElement *se, uint8_t *out) {
  uint32_t n = LengthOf(se->type);
  uint32_t padded = n + PaddingOf(se->type);
  if (padded == 0) return out;
  StoreBe32(out + padded - 4, 0);  // the last word first: it holds the padding
  std::memcpy(out, PayloadOf(se), n);
  return out + padded;
}

// Writes the elements of sp at `out`, which has room for sp->length bytes,
// and advances `out`. `level` is the nesting level of sp (0 at the top).
int EncodeElements(const SERPacket *sp, uint8_t *&out, int level) {
  for (const SERElement *se = sp->head; se != nullptr; se = se->next) {
    uint32_t word = se->type;
    StoreBe32(out, word);
    out += 4;
    switch (CodeOf(word)) {
      case SER_TYPE_INT16:
        break;
      case SER_TYPE_INT32:
      case SER_TYPE_FLOAT:
        StoreBe32(out, se->val.uint32);
        out += 4;
        break;
      case SER_TYPE_INT64:
        StoreBe64(out, se->val.uint64);
        out += 8;
        break;
      case SER_TYPE_STRING:
      case SER_TYPE_BINARY:
        out = EncodePayload(se, out);
        break;
      case SER_TYPE_ARRAY: {
        const auto *nested = static_cast<const SERPacket *>(se->val.svoid);
        if (level >= SER_NESTING_MAX) return EINVAL;
        StoreBe32(out, nested->length);
        out += 4;
        int status = EncodeElements(nested, out, level + 1);
        if (status != 0) return status;
        break;
      }
      default:
        return EINVAL;
    }
  }
  return 0;
}

}  // namespace

uint32_t EncodedSize(const SERElement *se) {
  switch (CodeOf(se->type)) {
    case SER_TYPE_INT16:
      return 4;
    case SER_TYPE_ARRAY:
      return 8 + static_cast<const SERPacket *>(se->val.svoid)->length;
    default:
      return 4 + LengthOf(se->type) + PaddingOf(se->type);
  }
}

void DestroyPacket(SERPacket *sp) {
  EmptyPacket(sp);
  Free(sp);
}

int AppendAsArray(SERPacket *sp, SERPacket *ssp) {
  if (sp == nullptr || ssp == nullptr) return EINVAL;
  if (IsNested(sp)) return EPERM;
  // A nested packet already has an owner, and a packet inside itself would
  // make a cycle; a packet that sp contains is nested, so this covers those.
  if (IsNested(ssp) || ssp == sp) return EINVAL;
  if (ssp->depth + 1 > SER_NESTING_MAX) return EINVAL;
  if (ssp->length > static_cast<uint32_t>(INT_MAX) - 8) return EOVERFLOW;
  uint32_t size = 8 + ssp->length;
  if (!GrowthFits(sp, size)) return EOVERFLOW;
  SERElement *se = NewZeroed<SERElement>();
  if (se == nullptr) return ENOMEM;
  se->type = kArrayWord;
  se->val.svoid = ssp;
  LinkLast(sp, se, size);
  sp->depth = std::max(sp->depth, ssp->depth + 1);
  ssp->flags |= SER_PACKET_NESTED;
  return 0;
}

}  // namespace tarnu::ser

using tarnu::ser::AppendAsArray;
using tarnu::ser::CheckLinkable;
using tarnu::ser::DestroyPacket;
using tarnu::ser::EmptyPacket;
using tarnu::ser::EncodedSize;
using tarnu::ser::EncodeElements;
using tarnu::ser::IsNested;
using tarnu::ser::LinkLast;

extern "C" {

int ser_packet_new(SERPacket **spp) {
  if (spp == nullptr) return EINVAL;
  *spp = nullptr;
  SERPacket *sp = tarnu::detail::NewZeroed<SERPacket>();
  if (sp == nullptr) return ENOMEM;
  *spp = sp;
  return 0;
}

int ser_packet_clear(SERPacket *sp) {
  if (sp == nullptr) return EINVAL;
  // A nested packet's size is part of its parent's; it changes only with the parent.
  if (IsNested(sp)) return EPERM;
  EmptyPacket(sp);
  return 0;
}

int ser_packet_free(SERPacket **spp) {
  if (spp == nullptr || *spp == nullptr) return EINVAL;
  if (IsNested(*spp)) return EPERM;  // its parent owns and releases it
  DestroyPacket(*spp);
  *spp = nullptr;
  return 0;
}

int ser_packet_append(SERPacket *sp, SERElement *se) {
  int status = CheckLinkable(sp, se);
  if (status != 0) return status;
  LinkLast(sp, se, EncodedSize(se));
  return 0;
}

int ser_packet_prepend(SERPacket *sp, SERElement *se) {
  int status = CheckLinkable(sp, se);
  if (status != 0) return status;
  se->next = sp->head;
  if (sp->head != nullptr) {
    sp->head->prev = se;
  } else {
    sp->tail = se;
  }
  sp->head = se;
  tarnu::ser::CountIn(sp, se, EncodedSize(se));
  return 0;
}

int ser_packet_append_as_array(SERPacket *sp, SERPacket *ssp) {
  return AppendAsArray(sp, ssp);
}

SERElement *ser_packet_iterate_elements(SERPacket *sp, uint32_t whence) {
  if (sp == nullptr) return nullptr;
  switch (whence) {
    case SER_ITERATE_FIRST:
      sp->iter = sp->head;
      break;
    case SER_ITERATE_LAST:
      sp->iter = sp->tail;
      break;
    case SER_ITERATE_NEXT:
      sp->iter = sp->iter != nullptr ? sp->iter->next : nullptr;
      break;
    case SER_ITERATE_PREV:
      sp->iter = sp->iter != nullptr ? sp->iter->prev : nullptr;
      break;
    default:
      return nullptr;
  }
  return sp->iter;
}

int ser_packet_length(SERPacket *sp, uint32_t *lengthp) {
  if (sp == nullptr || lengthp == nullptr) return EINVAL;
  *lengthp = sp->length;
  return 0;
}

int ser_packet_elements(SERPacket *sp, uint32_t *countp) {
  if (sp == nullptr || countp == nullptr) return EINVAL;
  *countp = sp->elements;
  return 0;
}

int ser_packet_serialize(SERPacket *sp, void *buffer, int *lenp) {
  if (sp == nullptr || buffer == nullptr || lenp == nullptr || *lenp < 0) return EINVAL;
  if (static_cast<uint32_t>(*lenp) < sp->length) return ENOSPC;
  auto *start = static_cast<uint8_t *>(buffer);
  uint8_t *out = start;
  int status = EncodeElements(sp, out, 0);
  *lenp = status == 0 ? static_cast<int>(out - start) : 0;
  return status;
}

}  // extern "C"

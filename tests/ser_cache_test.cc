// The element cache: clearing into spares, making elements from spares, and
// the decode-into-a-reused-packet cycle.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ser_test_util.h"

namespace {

using ser_test::Bytes;
using ser_test::ElementsOf;
using ser_test::Encode;
using ser_test::ExpectEachAllocationFailureReported;
using ser_test::Hex;
using ser_test::LengthOf;
using ser_test::NewPacket;
using ser_test::PacketPtr;
using ser_test::SpareCount;
using ser_test::TypeWord;

// 16-bit 1, 32-bit 2, 64-bit 3.
const Bytes kThreeNumbers =
    Hex("00 10 00 01 00 20 00 04 00 00 00 02 00 40 00 08 00 00 00 00 00 00 00 03");
// A float, a short string and a short binary (both kept in their records).
const Bytes kThreeMixed =
    Hex("00 80 00 04 3F 80 00 00 01 01 00 03 61 62 63 00 02 03 00 01 09 00 00 00");
const Bytes kOneNumber = Hex("00 20 00 04 00 00 00 07");

int DecodeInto(SERPacket *sp, const Bytes &wire) {
  Bytes copy = wire;  // the decoder rewrites its input
  return ser_packet_deserialize_c(sp, copy.data(), static_cast<int>(copy.size()));
}

std::vector<SERElement *> ElementRecords(SERPacket *sp) {
  std::vector<SERElement *> records;
  for (SERElement *se = ser_packet_iterate_elements(sp, SER_ITERATE_FIRST); se != nullptr;
       se = ser_packet_iterate_elements(sp, SER_ITERATE_NEXT)) {
    records.push_back(se);
  }
  return records;
}

TEST(SerCache, SteadyStateDecodingAllocatesNoElementRecords) {
  PacketPtr sp = NewPacket();
  ASSERT_EQ(DecodeInto(sp.get(), kThreeNumbers), 0);
  std::vector<SERElement *> first = ElementRecords(sp.get());
  ASSERT_EQ(ser_packet_clear_c(sp.get()), 0);
  EXPECT_EQ(SpareCount(sp.get()), 3u);

  tarnu_alloc_hook_count();
  for (int message = 0; message < 100; ++message) {
    ASSERT_EQ(DecodeInto(sp.get(), kThreeNumbers), 0);
    ASSERT_EQ(ser_packet_clear_c(sp.get()), 0);
  }
  ASSERT_EQ(DecodeInto(sp.get(), kThreeNumbers), 0);
  long allocations = tarnu_alloc_hook_allocations();
  tarnu_alloc_hook_reset();
  EXPECT_EQ(allocations, 0);
  EXPECT_EQ(SpareCount(sp.get()), 0u);
  EXPECT_EQ(ElementRecords(sp.get()), first);  // the same records, in the same order
  EXPECT_EQ(Encode(sp.get()), kThreeNumbers);
}

// Decodes `wire` into a packet that has held it before; returns the number
// of allocations that took.
long AllocationsOfSecondDecode(const Bytes &wire) {
  PacketPtr sp = NewPacket();
  EXPECT_EQ(DecodeInto(sp.get(), wire), 0);
  EXPECT_EQ(ser_packet_clear_c(sp.get()), 0);
  tarnu_alloc_hook_count();
  EXPECT_EQ(DecodeInto(sp.get(), wire), 0);
  long allocations = tarnu_alloc_hook_allocations();
  tarnu_alloc_hook_reset();
  EXPECT_EQ(Encode(sp.get()), wire);
  return allocations;
}

TEST(SerCache, SteadyStateAllocatesOnlyLongPayloadCopies) {
  EXPECT_EQ(AllocationsOfSecondDecode(kThreeMixed), 0);
  // A 16-byte string needs 17 bytes with its zero byte; a 17-byte binary.
  const Bytes long_payloads =
      Hex("01 00 00 10 30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66"
          " 02 03 00 11 30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66 67 00 00 00"
          " 02 00 00 10 30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66");
  EXPECT_EQ(AllocationsOfSecondDecode(long_payloads), 2);
}

TEST(SerCache, ShorterMessagesLeaveSparesThatClearingExtends) {
  PacketPtr sp = NewPacket();
  ASSERT_EQ(DecodeInto(sp.get(), kThreeNumbers), 0);
  ASSERT_EQ(ser_packet_clear_c(sp.get()), 0);
  ASSERT_EQ(DecodeInto(sp.get(), kOneNumber), 0);
  EXPECT_EQ(SpareCount(sp.get()), 2u);
  SERElement *used = ser_packet_iterate_elements(sp.get(), SER_ITERATE_FIRST);
  ASSERT_EQ(ser_packet_clear_c(sp.get()), 0);
  EXPECT_EQ(SpareCount(sp.get()), 3u);
  EXPECT_EQ(sp->cache, used) << "former elements go in front of the older spares";
  EXPECT_EQ(LengthOf(sp.get()), 0u);
  EXPECT_EQ(ElementsOf(sp.get()), 0u);
  EXPECT_EQ(ser_packet_iterate_elements(sp.get(), SER_ITERATE_NEXT), nullptr);
  // Releasing the packet releases the spares (the leak checker sees the rest).
}

TEST(SerCache, ClearingAnEmptyPacketChangesNothing) {
  PacketPtr sp = NewPacket();
  EXPECT_EQ(ser_packet_clear_c(sp.get()), 0);
  EXPECT_EQ(SpareCount(sp.get()), 0u);
  ASSERT_EQ(DecodeInto(sp.get(), kOneNumber), 0);
  ASSERT_EQ(ser_packet_clear_c(sp.get()), 0);
  SERElement *spare = sp->cache;
  EXPECT_EQ(ser_packet_clear_c(sp.get()), 0);
  EXPECT_EQ(sp->cache, spare);
  EXPECT_EQ(SpareCount(sp.get()), 1u);
  EXPECT_EQ(ser_packet_clear_c(nullptr), 22);
}

TEST(SerCache, ClearingReleasesNestedPacketsWhole) {
  PacketPtr sp = NewPacket();
  ASSERT_EQ(DecodeInto(sp.get(), Hex("04 00 00 04 00 00 00 08 00 10 00 07 00 10 00 08")), 0);
  ASSERT_EQ(ser_packet_clear_c(sp.get()), 0);
  EXPECT_EQ(SpareCount(sp.get()), 1u);  // the array element only, not the nested ones
  ASSERT_EQ(DecodeInto(sp.get(), kOneNumber), 0);
  EXPECT_EQ(Encode(sp.get()), kOneNumber);
}

TEST(SerCache, NewElementTakesASpareAndMatchesTheGenericConstructor) {
  PacketPtr sp = NewPacket();
  ASSERT_EQ(DecodeInto(sp.get(), kOneNumber), 0);
  ASSERT_EQ(ser_packet_clear_c(sp.get()), 0);
  SERElement *spare = sp->cache;
  int32_t value = -1;
  SERElement *se = nullptr;
  ASSERT_EQ(ser_packet_new_element_c(sp.get(), &se, static_cast<int>(0x80200000u), &value, 0), 0);
  EXPECT_EQ(se, spare);
  EXPECT_EQ(TypeWord(se), 0x80200004u);
  EXPECT_EQ(se->next, nullptr);
  EXPECT_EQ(SpareCount(sp.get()), 0u);
  ASSERT_EQ(ser_packet_append(sp.get(), se), 0);
  SERElement *plain = nullptr;
  ASSERT_EQ(ser_packet_new_element_c(sp.get(), &plain, 0x00200000, &value, 0), 0);
  EXPECT_EQ(TypeWord(plain), 0x00200004u);
  ASSERT_EQ(ser_packet_append(sp.get(), plain), 0);
  SERElement *text = nullptr;
  ASSERT_EQ(ser_packet_new_element_c(sp.get(), &text, SER_TYPE_STRING, "ab\0cd", 5), 0);
  EXPECT_EQ(TypeWord(text), 0x01030005u);
  ASSERT_EQ(ser_packet_append(sp.get(), text), 0);
  uint16_t small = 0xFFFE;
  SERElement *half = nullptr;
  ASSERT_EQ(ser_packet_new_element_c(sp.get(), &half, static_cast<int>(0x80100000u), &small, 0), 0);
  EXPECT_EQ(TypeWord(half), 0x8010FFFEu);
  ASSERT_EQ(ser_packet_append(sp.get(), half), 0);
  EXPECT_EQ(Encode(sp.get()), Hex("80 20 00 04 FF FF FF FF 00 20 00 04 FF FF FF FF"
                                  " 01 03 00 05 61 62 00 00 00 00 00 00 80 10 FF FE"));
}

TEST(SerCache, NewElementRefusesArraysAndKeepsTheRecord) {
  PacketPtr sp = NewPacket();
  uint32_t value = 0;
  SERElement *se = reinterpret_cast<SERElement *>(0x1);
  EXPECT_EQ(ser_packet_new_element_c(sp.get(), &se, SER_TYPE_ARRAY, &value, 4), 22);
  EXPECT_EQ(se, nullptr);
  EXPECT_EQ(SpareCount(sp.get()), 1u);
  EXPECT_EQ(ser_packet_new_element_c(sp.get(), &se, 0, &value, 4), 22);
  EXPECT_EQ(SpareCount(sp.get()), 1u);  // the spare was taken and put back
  EXPECT_EQ(ser_packet_new_element_c(nullptr, &se, SER_TYPE_INT32, &value, 4), 22);
  EXPECT_EQ(ser_packet_new_element_c(sp.get(), nullptr, SER_TYPE_INT32, &value, 4), 22);
  EXPECT_EQ(ser_packet_new_element_c(sp.get(), &se, SER_TYPE_INT32, nullptr, 4), 22);
  EXPECT_EQ(ser_packet_new_element_c(sp.get(), &se, SER_TYPE_STRING, "x", -1), 22);
}

// Clearing an empty nested packet changes nothing, so it succeeds; one that
// holds elements is still refused (the serialization tests pin that).
TEST(SerCache, NestedPacketRefusesTheCacheButClearsWhenEmpty) {
  PacketPtr parent = NewPacket();
  PacketPtr child = NewPacket();
  SERPacket *q = child.release();
  ASSERT_EQ(ser_packet_append_as_array(parent.get(), q), 0);
  uint32_t value = 0;
  SERElement *se = nullptr;
  EXPECT_EQ(ser_packet_new_element_c(q, &se, SER_TYPE_INT32, &value, 4), 1);
  Bytes wire = kOneNumber;
  EXPECT_EQ(ser_packet_deserialize_c(q, wire.data(), static_cast<int>(wire.size())), 1);
  EXPECT_EQ(ElementsOf(q), 0u);
  uint32_t flags = q->flags;
  EXPECT_EQ(ser_packet_clear_c(q), 0);
  EXPECT_EQ(q->flags, flags);
  EXPECT_EQ(ser_packet_new_element_c(q, &se, SER_TYPE_INT32, &value, 4), 1);
  EXPECT_EQ(Encode(parent.get()), Hex("04 00 00 04 00 00 00 00"));
}

// Runs new_element_c for a 20-byte binary with allocations from `fail_from` on failing.
int NewBinaryFailingFrom(SERPacket *sp, long fail_from) {
  SERElement *se = reinterpret_cast<SERElement *>(0x1);
  tarnu_alloc_hook_fail_at(fail_from);
  int status = ser_packet_new_element_c(sp, &se, SER_TYPE_BINARY, "too long for the record", 20);
  tarnu_alloc_hook_reset();
  if (status != 0) {
    EXPECT_EQ(se, nullptr);
  }
  ser_element_free(&se);
  return status;
}

TEST(SerCache, NewElementReportsAllocationFailureAndKeepsTheRecord) {
  PacketPtr sp = NewPacket();
  EXPECT_EQ(NewBinaryFailingFrom(sp.get(), 1), 12);  // the record itself
  EXPECT_EQ(SpareCount(sp.get()), 0u);
  EXPECT_EQ(NewBinaryFailingFrom(sp.get(), 2), 12);  // the payload: the record stays
  EXPECT_EQ(SpareCount(sp.get()), 1u);
  SERElement *spare = sp->cache;
  EXPECT_EQ(NewBinaryFailingFrom(sp.get(), 1), 12);  // payload of a reused spare
  EXPECT_EQ(sp->cache, spare);
  EXPECT_EQ(SpareCount(sp.get()), 1u);
  EXPECT_EQ(NewBinaryFailingFrom(sp.get(), 2), 0);  // the spare saves an allocation
  EXPECT_EQ(SpareCount(sp.get()), 0u);
}

TEST(SerCache, DecodingAppendsAfterExistingElements) {
  PacketPtr sp = NewPacket();
  SERElement *se = nullptr;
  ASSERT_EQ(ser_element_new_uint16(&se, 9), 0);
  ASSERT_EQ(ser_packet_append(sp.get(), se), 0);
  ASSERT_EQ(DecodeInto(sp.get(), kOneNumber), 0);
  EXPECT_EQ(ElementsOf(sp.get()), 2u);
  EXPECT_EQ(ser_packet_iterate_elements(sp.get(), SER_ITERATE_FIRST), se);
  EXPECT_EQ(Encode(sp.get()), Hex("00 10 00 09 00 20 00 04 00 00 00 07"));
}

TEST(SerCache, MissingArgumentsAndShortInputLeaveThePacketAlone) {
  PacketPtr sp = NewPacket();
  ASSERT_EQ(DecodeInto(sp.get(), kOneNumber), 0);
  Bytes wire = kOneNumber;
  EXPECT_EQ(ser_packet_deserialize_c(nullptr, wire.data(), 8), 22);
  EXPECT_EQ(ser_packet_deserialize_c(sp.get(), nullptr, 8), 22);
  for (int len : {-1, 0, 3}) EXPECT_EQ(ser_packet_deserialize_c(sp.get(), wire.data(), len), 22);
  EXPECT_EQ(ElementsOf(sp.get()), 1u);
  EXPECT_EQ(SpareCount(sp.get()), 0u);
}

TEST(SerCache, MalformedInputLeavesThePacketEmptyWithItsRecordsAsSpares) {
  // Each input with the number of elements decoded before the fault.
  const std::vector<std::pair<Bytes, std::size_t>> malformed = {
      {Hex("00 10 00 01 00 20 00 04 00 00 00 01 00 00 00 00"), 2},  // unknown code third
      {Hex("00 10 00 01 00 20 00 04 00 00 00"), 1},                 // payload cut
      {Hex("00 10 00 01 01 00 00 09 61 62 63"), 1},                 // string past the end
      {Hex("00 10 00 01 04 00 00 04 00 00 00 10 00 10 00 01"), 1},  // array past the end
      {Hex("00 10 00 01 04 00 00 04 00 00 00 04 00 00 00 00"), 1},  // nested packet malformed
      {Hex("00 10 00 01 00 10"), 1},                                // trailing partial tag
  };
  for (const auto &[wire, decoded] : malformed) {
    PacketPtr sp = NewPacket();
    SERElement *before = nullptr;
    ASSERT_EQ(ser_element_new_string(&before, "kept"), 0);
    ASSERT_EQ(ser_packet_append(sp.get(), before), 0);
    EXPECT_EQ(DecodeInto(sp.get(), wire), 22);
    EXPECT_EQ(ElementsOf(sp.get()), 0u);
    EXPECT_EQ(LengthOf(sp.get()), 0u);
    EXPECT_EQ(ser_packet_iterate_elements(sp.get(), SER_ITERATE_FIRST), nullptr);
    // The element from before leads, as it headed the packet.
    EXPECT_EQ(SpareCount(sp.get()), 1 + decoded);
    EXPECT_EQ(sp->cache, before);
    // The packet is still good for the next message.
    ASSERT_EQ(DecodeInto(sp.get(), kOneNumber), 0);
    EXPECT_EQ(Encode(sp.get()), kOneNumber);
  }
}

TEST(SerCache, DecodingReportsEveryAllocationFailureAndKeepsRecordsAsSpares) {
  const Bytes wire =
      Hex("00 10 00 01 01 00 00 14 61 61 61 61 61 61 61 61 61 61 61 61 61 61 61 61 61 61 61 61"
          " 04 00 00 04 00 00 00 08 00 10 00 05 00 10 00 06 00 20 00 04 00 00 00 02");
  PacketPtr sp = NewPacket();
  long allocations = ExpectEachAllocationFailureReported([&] {
    int status = DecodeInto(sp.get(), wire);
    if (status != 0) {
      EXPECT_EQ(ElementsOf(sp.get()), 0u);
      EXPECT_EQ(LengthOf(sp.get()), 0u);
    }
    return status;
  });
  // 4 records and the long string's payload for the top level; a packet and 2 records
  // nested. Records of earlier failed runs were reused as spares.
  EXPECT_LE(allocations, 8);
  EXPECT_EQ(Encode(sp.get()), wire);
  EXPECT_EQ(ElementsOf(sp.get()), 4u);
}

}  // namespace

// Serialization elements, packets, the wire format and the plain decoder.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "ser_test_util.h"

namespace {

using ser_test::Bytes;
using ser_test::Decode;
using ser_test::ElementPtr;
using ser_test::ElementsOf;
using ser_test::Encode;
using ser_test::ExpectEachAllocationFailureReported;
using ser_test::Hex;
using ser_test::LengthOf;
using ser_test::NewPacket;
using ser_test::PacketPtr;
using ser_test::TypeWord;

constexpr int kTooLong = SER_PAYLOAD_MAX + 1;
constexpr const char *kLongText = "a payload of more than sixteen bytes";

ElementPtr Make(const std::function<int(SERElement **)> &ctor) {
  SERElement *se = nullptr;
  EXPECT_EQ(ctor(&se), 0);
  return ElementPtr(se);
}

template <typename T>
T ValueOf(SERElement *se) {
  T value{};
  int capacity = sizeof value;
  EXPECT_EQ(ser_element_get_value(se, &value, &capacity), 0);
  return value;
}

void Append(SERPacket *sp, ElementPtr se) {
  ASSERT_EQ(ser_packet_append(sp, se.release()), 0);
}

// ---------------------------------------------------------------- elements

TEST(SerElement, ConstructorsProduceTheTypeWords) {
  EXPECT_EQ(TypeWord(Make([](auto p) { return ser_element_new_uint16(p, 0xFFFF); }).get()),
            0x0010FFFFu);
  EXPECT_EQ(TypeWord(Make([](auto p) { return ser_element_new_int16(p, -2); }).get()), 0x8010FFFEu);
  EXPECT_EQ(TypeWord(Make([](auto p) { return ser_element_new_uint32(p, 7); }).get()), 0x00200004u);
  EXPECT_EQ(TypeWord(Make([](auto p) { return ser_element_new_int32(p, -7); }).get()), 0x80200004u);
  EXPECT_EQ(TypeWord(Make([](auto p) { return ser_element_new_uint64(p, 7); }).get()), 0x00400008u);
  EXPECT_EQ(TypeWord(Make([](auto p) { return ser_element_new_int64(p, -7); }).get()), 0x80400008u);
  EXPECT_EQ(TypeWord(Make([](auto p) { return ser_element_new_float(p, -1.5f); }).get()),
            0x00800004u);
  EXPECT_EQ(TypeWord(Make([](auto p) { return ser_element_new_string(p, ""); }).get()),
            0x01000000u);
  EXPECT_EQ(TypeWord(Make([](auto p) { return ser_element_new_string(p, "abc"); }).get()),
            0x01010003u);
  EXPECT_EQ(TypeWord(Make([](auto p) { return ser_element_new_string(p, "abcd"); }).get()),
            0x01000004u);
  EXPECT_EQ(TypeWord(Make([](auto p) { return ser_element_new_string(p, "abcde"); }).get()),
            0x01030005u);
  EXPECT_EQ(
      TypeWord(Make([](auto p) { return ser_element_new_binary(p, "0123456789", 10); }).get()),
      0x0202000Au);
}

TEST(SerElement, GetTypeReportsTheCodeAlone) {
  ElementPtr se = Make([](auto p) { return ser_element_new_int16(p, -2); });
  uint32_t type = 0;
  EXPECT_EQ(ser_element_get_type(se.get(), &type), 0);
  EXPECT_EQ(type, SER_TYPE_INT16);
  ElementPtr text = Make([](auto p) { return ser_element_new_string(p, "abcde"); });
  EXPECT_EQ(ser_element_get_type(text.get(), &type), 0);
  EXPECT_EQ(type, SER_TYPE_STRING);
  EXPECT_EQ(ser_element_get_type(nullptr, &type), 22);
  EXPECT_EQ(ser_element_get_type(se.get(), nullptr), 22);
}

TEST(SerElement, NumbersReadOutAsStored) {
  EXPECT_EQ(ValueOf<uint16_t>(Make([](auto p) { return ser_element_new_uint16(p, 0xFFFF); }).get()),
            0xFFFF);
  EXPECT_EQ(ValueOf<int16_t>(Make([](auto p) { return ser_element_new_int16(p, -2); }).get()), -2);
  EXPECT_EQ(ValueOf<uint32_t>(Make([](auto p) { return ser_element_new_int32(p, -1); }).get()),
            0xFFFFFFFFu);
  EXPECT_EQ(ValueOf<uint64_t>(
                Make([](auto p) { return ser_element_new_uint64(p, 0x0102030405060708u); }).get()),
            0x0102030405060708u);
  EXPECT_EQ(ValueOf<int64_t>(Make([](auto p) { return ser_element_new_int64(p, -9); }).get()), -9);
  EXPECT_EQ(ValueOf<float>(Make([](auto p) { return ser_element_new_float(p, 0.25f); }).get()),
            0.25f);
}

TEST(SerElement, TooSmallCapacityForANumberWritesNothing) {
  ElementPtr se = Make([](auto p) { return ser_element_new_uint32(p, 0x01020304); });
  uint8_t out[8];
  std::memset(out, 0xAA, sizeof out);
  int capacity = 3;
  EXPECT_EQ(ser_element_get_value(se.get(), out, &capacity), 28);
  EXPECT_EQ(capacity, 3);
  for (uint8_t byte : out) EXPECT_EQ(byte, 0xAA);
  capacity = -4;
  EXPECT_EQ(ser_element_get_value(se.get(), out, &capacity), 28);
  ElementPtr wide = Make([](auto p) { return ser_element_new_uint64(p, 1); });
  capacity = 7;
  EXPECT_EQ(ser_element_get_value(wide.get(), out, &capacity), 28);
  ElementPtr narrow = Make([](auto p) { return ser_element_new_uint16(p, 1); });
  capacity = 1;
  EXPECT_EQ(ser_element_get_value(narrow.get(), out, &capacity), 28);
  for (uint8_t byte : out) EXPECT_EQ(byte, 0xAA);
}

TEST(SerElement, StringReadOutIsTruncatedAndTerminated) {
  ElementPtr se = Make([](auto p) { return ser_element_new_string(p, "abc"); });
  char out[8];
  int capacity = 4;
  ASSERT_EQ(ser_element_get_value(se.get(), out, &capacity), 0);
  EXPECT_EQ(capacity, 3);
  EXPECT_EQ(std::memcmp(out, "abc", 4), 0);
  capacity = 3;
  ASSERT_EQ(ser_element_get_value(se.get(), out, &capacity), 0);
  EXPECT_EQ(capacity, 2);
  EXPECT_EQ(std::memcmp(out, "ab", 3), 0);
  capacity = 1;
  ASSERT_EQ(ser_element_get_value(se.get(), out, &capacity), 0);
  EXPECT_EQ(capacity, 0);
  EXPECT_EQ(out[0], '\0');
}

TEST(SerElement, StringCapacityBelowOneIsRefusedAndWritesNothing) {
  ElementPtr se = Make([](auto p) { return ser_element_new_string(p, "abc"); });
  for (int start : {0, -1}) {
    char out = 'x';
    int capacity = start;
    EXPECT_EQ(ser_element_get_value(se.get(), &out, &capacity), 28);
    EXPECT_EQ(capacity, start);
    EXPECT_EQ(out, 'x');
  }
}

TEST(SerElement, StringLengthIsABoundedCopyFilledWithZeros) {
  ElementPtr se = Make([](auto p) { return ser_element_new_string_length(p, "ab\0zz", 5); });
  EXPECT_EQ(TypeWord(se.get()), 0x01030005u);
  char out[7];
  std::memset(out, 'x', sizeof out);
  int capacity = sizeof out;
  ASSERT_EQ(ser_element_get_value(se.get(), out, &capacity), 0);
  EXPECT_EQ(capacity, 5);
  EXPECT_EQ(std::memcmp(out, "ab\0\0\0\0x", 7), 0);
  // A longer source is cut at length.
  ElementPtr cut = Make([](auto p) { return ser_element_new_string_length(p, "abcdef", 2); });
  EXPECT_EQ(TypeWord(cut.get()), 0x01020002u);
}

TEST(SerElement, BinaryReadOutCopiesWhatFits) {
  ElementPtr se = Make([](auto p) { return ser_element_new_binary(p, "0123456789", 10); });
  char out[12];
  int capacity = 4;
  ASSERT_EQ(ser_element_get_value(se.get(), out, &capacity), 0);
  EXPECT_EQ(capacity, 4);
  EXPECT_EQ(std::memcmp(out, "0123", 4), 0);
  capacity = sizeof out;
  ASSERT_EQ(ser_element_get_value(se.get(), out, &capacity), 0);
  EXPECT_EQ(capacity, 10);
  EXPECT_EQ(std::memcmp(out, "0123456789", 10), 0);
}

TEST(SerElement, PayloadIsCopiedSoTheSourceMayChange) {
  char source[] = "hello";
  ElementPtr text = Make([&](auto p) { return ser_element_new_string(p, source); });
  ElementPtr bin = Make([&](auto p) { return ser_element_new_binary(p, source, 5); });
  std::memset(source, 'z', 5);
  char out[8];
  int capacity = sizeof out;
  ASSERT_EQ(ser_element_get_value(text.get(), out, &capacity), 0);
  EXPECT_STREQ(out, "hello");
  capacity = sizeof out;
  ASSERT_EQ(ser_element_get_value(bin.get(), out, &capacity), 0);
  EXPECT_EQ(std::memcmp(out, "hello", 5), 0);
}

TEST(SerElement, PayloadsOverTheLengthFieldAreRefusedByEveryConstructor) {
  std::string big(kTooLong, 'a');
  std::string max(SER_PAYLOAD_MAX, 'a');
  SERElement *se = reinterpret_cast<SERElement *>(0x1);
  EXPECT_EQ(ser_element_new_string(&se, big.c_str()), 22);
  EXPECT_EQ(se, nullptr);
  se = reinterpret_cast<SERElement *>(0x1);
  EXPECT_EQ(ser_element_new_string_length(&se, big.c_str(), kTooLong), 22);
  EXPECT_EQ(se, nullptr);
  EXPECT_EQ(ser_element_new_binary(&se, big.data(), kTooLong), 22);
  EXPECT_EQ(ser_element_new(&se, SER_TYPE_STRING, big.data(), kTooLong), 22);
  EXPECT_EQ(ser_element_new(&se, SER_TYPE_BINARY, big.data(), kTooLong), 22);
  EXPECT_EQ(ser_element_new_binary(&se, big.data(), -1), 22);
  EXPECT_EQ(ser_element_new_string_length(&se, big.data(), -1), 22);
  EXPECT_EQ(se, nullptr);
  PacketPtr sp = NewPacket();
  EXPECT_EQ(ser_packet_new_element_c(sp.get(), &se, SER_TYPE_BINARY, big.data(), kTooLong), 22);
  EXPECT_EQ(se, nullptr);
  // The largest payload fits and keeps the code intact.
  ElementPtr top = Make([&](auto p) { return ser_element_new_string(p, max.c_str()); });
  EXPECT_EQ(TypeWord(top.get()), 0x0101FFFFu);
}

TEST(SerElement, GenericConstructorMatchesTheTypedOnes) {
  int32_t minus_one = -1;
  ElementPtr generic_signed = Make(
      [&](auto p) { return ser_element_new(p, static_cast<int>(0x80200000u), &minus_one, 0); });
  ElementPtr generic_unsigned =
      Make([&](auto p) { return ser_element_new(p, 0x00200000, &minus_one, 0); });
  EXPECT_EQ(TypeWord(generic_signed.get()), 0x80200004u);
  EXPECT_EQ(TypeWord(generic_unsigned.get()), 0x00200004u);
  EXPECT_EQ(ValueOf<int32_t>(generic_signed.get()), -1);
  uint16_t seven = 7;
  ElementPtr short_one =
      Make([&](auto p) { return ser_element_new(p, static_cast<int>(0x80100000u), &seven, 2); });
  EXPECT_EQ(TypeWord(short_one.get()), 0x80100007u);
  float f = 2.0f;
  ElementPtr real =
      Make([&](auto p) { return ser_element_new(p, static_cast<int>(0x80800000u), &f, 0); });
  EXPECT_EQ(TypeWord(real.get()), 0x00800004u);
  ElementPtr text = Make([](auto p) { return ser_element_new(p, SER_TYPE_STRING, "abcdef", 3); });
  EXPECT_EQ(TypeWord(text.get()), 0x01010003u);
}

TEST(SerElement, GenericConstructorRefusesArraysAndUnknownCodes) {
  uint32_t value = 0;
  for (uint32_t type : {SER_TYPE_ARRAY, 0u, 0x00300000u, 0x00040000u, 0x40000000u}) {
    SERElement *se = reinterpret_cast<SERElement *>(0x1);
    EXPECT_EQ(ser_element_new(&se, static_cast<int>(type), &value, 4), 22) << std::hex << type;
    EXPECT_EQ(se, nullptr);
  }
  SERElement *se = nullptr;
  EXPECT_EQ(ser_element_new(&se, SER_TYPE_INT32, nullptr, 4), 22);
  EXPECT_EQ(ser_element_new(nullptr, SER_TYPE_INT32, &value, 4), 22);
}

TEST(SerElement, MissingArgumentsAreRefused) {
  SERElement *se = nullptr;
  EXPECT_EQ(ser_element_new_uint16(nullptr, 1), 22);
  EXPECT_EQ(ser_element_new_string(nullptr, "a"), 22);
  EXPECT_EQ(ser_element_new_string(&se, nullptr), 22);
  EXPECT_EQ(ser_element_new_binary(&se, nullptr, 1), 22);
  EXPECT_EQ(ser_element_free(nullptr), 22);
  EXPECT_EQ(ser_element_free(&se), 22);  // a handle that already holds null
  int capacity = 4;
  uint32_t out = 0;
  ElementPtr e = Make([](auto p) { return ser_element_new_uint32(p, 1); });
  EXPECT_EQ(ser_element_get_value(nullptr, &out, &capacity), 22);
  EXPECT_EQ(ser_element_get_value(e.get(), nullptr, &capacity), 22);
  EXPECT_EQ(ser_element_get_value(e.get(), &out, nullptr), 22);
}

TEST(SerElement, FreeSetsTheHandleToNull) {
  SERElement *se = nullptr;
  ASSERT_EQ(ser_element_new_string(&se, "payload"), 0);
  EXPECT_EQ(ser_element_free(&se), 0);
  EXPECT_EQ(se, nullptr);
}

TEST(SerElement, EveryConstructorReportsAllocationFailureWithoutLeaking) {
  const std::vector<std::function<int(SERElement **)>> ctors = {
      [](auto p) { return ser_element_new_uint16(p, 1); },
      [](auto p) { return ser_element_new_int64(p, 1); },
      [](auto p) { return ser_element_new_float(p, 1); },
      [](auto p) { return ser_element_new_string(p, "abc"); },
      [](auto p) { return ser_element_new_string_length(p, "abc", 9); },
      [](auto p) { return ser_element_new_binary(p, "abc", 3); },
      [](auto p) { return ser_element_new(p, SER_TYPE_BINARY, "abc", 3); },
      // Payloads too long to live in the record take an allocation of their own.
      [](auto p) { return ser_element_new_string(p, kLongText); },
      [](auto p) { return ser_element_new_string_length(p, kLongText, 40); },
      [](auto p) { return ser_element_new_binary(p, kLongText, 17); },
      [](auto p) { return ser_element_new(p, SER_TYPE_STRING, kLongText, 16); },
  };
  for (const auto &ctor : ctors) {
    long allocations = ExpectEachAllocationFailureReported([&] {
      SERElement *se = reinterpret_cast<SERElement *>(0x1);
      int status = ctor(&se);
      if (status != 0) {
        EXPECT_EQ(se, nullptr);
      }
      ser_element_free(&se);
      return status;
    });
    EXPECT_GE(allocations, 1);
  }
}

// ----------------------------------------------------------------- packets

TEST(SerPacket, EmptyPacketEncodesToNothingAndShortInputIsRefused) {
  PacketPtr sp = NewPacket();
  EXPECT_EQ(LengthOf(sp.get()), 0u);
  EXPECT_EQ(ElementsOf(sp.get()), 0u);
  uint8_t out[4] = {0xAA, 0xAA, 0xAA, 0xAA};
  int len = sizeof out;
  EXPECT_EQ(ser_packet_serialize(sp.get(), out, &len), 0);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(out[0], 0xAA);
  for (int n = 0; n < 4; ++n) {
    int status = 0;
    EXPECT_EQ(Decode(Bytes(static_cast<std::size_t>(n), 0x00), &status), nullptr);
    EXPECT_EQ(status, 22);
  }
  SERPacket *decoded = nullptr;
  EXPECT_EQ(ser_packet_deserialize(&decoded, out, -4), 22);
}

TEST(SerPacket, SerializeChecksTheCapacityOnceBeforeWriting) {
  PacketPtr sp = NewPacket();
  Append(sp.get(), Make([](auto p) { return ser_element_new_uint32(p, 1); }));
  Append(sp.get(), Make([](auto p) { return ser_element_new_string(p, "hello"); }));
  ASSERT_EQ(LengthOf(sp.get()), 20u);
  Bytes out(20, 0xAA);
  int len = 19;
  EXPECT_EQ(ser_packet_serialize(sp.get(), out.data(), &len), 28);
  EXPECT_EQ(out, Bytes(20, 0xAA));
  len = -1;
  EXPECT_EQ(ser_packet_serialize(sp.get(), out.data(), &len), 22);
  EXPECT_EQ(out, Bytes(20, 0xAA));
  len = 20;
  EXPECT_EQ(ser_packet_serialize(sp.get(), out.data(), &len), 0);
  EXPECT_EQ(len, 20);
  EXPECT_EQ(ser_packet_serialize(nullptr, out.data(), &len), 22);
  EXPECT_EQ(ser_packet_serialize(sp.get(), nullptr, &len), 22);
  EXPECT_EQ(ser_packet_serialize(sp.get(), out.data(), nullptr), 22);
}

TEST(SerPacket, PrependAndIterateInBothDirections) {
  PacketPtr sp = NewPacket();
  ElementPtr a = Make([](auto p) { return ser_element_new_uint16(p, 1); });
  ElementPtr b = Make([](auto p) { return ser_element_new_uint16(p, 2); });
  SERElement *pa = a.get();
  SERElement *pb = b.get();
  // Before any walk there is no cursor to move from.
  EXPECT_EQ(ser_packet_iterate_elements(sp.get(), SER_ITERATE_NEXT), nullptr);
  EXPECT_EQ(ser_packet_iterate_elements(sp.get(), SER_ITERATE_FIRST), nullptr);
  ASSERT_EQ(ser_packet_prepend(sp.get(), a.release()), 0);
  ASSERT_EQ(ser_packet_prepend(sp.get(), b.release()), 0);
  EXPECT_EQ(ser_packet_iterate_elements(sp.get(), SER_ITERATE_NEXT), nullptr);
  EXPECT_EQ(ser_packet_iterate_elements(sp.get(), SER_ITERATE_PREV), nullptr);
  EXPECT_EQ(ser_packet_iterate_elements(sp.get(), SER_ITERATE_FIRST), pb);
  EXPECT_EQ(ser_packet_iterate_elements(sp.get(), SER_ITERATE_NEXT), pa);
  EXPECT_EQ(ser_packet_iterate_elements(sp.get(), SER_ITERATE_NEXT), nullptr);
  EXPECT_EQ(ser_packet_iterate_elements(sp.get(), SER_ITERATE_NEXT), nullptr);  // ran off
  EXPECT_EQ(ser_packet_iterate_elements(sp.get(), SER_ITERATE_LAST), pa);
  EXPECT_EQ(ser_packet_iterate_elements(sp.get(), SER_ITERATE_PREV), pb);
  EXPECT_EQ(ser_packet_iterate_elements(sp.get(), SER_ITERATE_PREV), nullptr);
  EXPECT_EQ(ser_packet_iterate_elements(sp.get(), SER_ITERATE_PREV), nullptr);
  EXPECT_EQ(ser_packet_iterate_elements(nullptr, SER_ITERATE_FIRST), nullptr);
  EXPECT_EQ(Encode(sp.get()), Hex("00 10 00 02 00 10 00 01"));
}

TEST(SerPacket, UnknownWhenceLeavesTheCursor) {
  PacketPtr sp = NewPacket();
  Append(sp.get(), Make([](auto p) { return ser_element_new_uint16(p, 1); }));
  Append(sp.get(), Make([](auto p) { return ser_element_new_uint16(p, 2); }));
  SERElement *first = ser_packet_iterate_elements(sp.get(), SER_ITERATE_FIRST);
  EXPECT_EQ(ser_packet_iterate_elements(sp.get(), 0), nullptr);
  EXPECT_EQ(ser_packet_iterate_elements(sp.get(), 5), nullptr);
  SERElement *second = ser_packet_iterate_elements(sp.get(), SER_ITERATE_NEXT);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(ser_packet_iterate_elements(sp.get(), SER_ITERATE_PREV), first);
}

TEST(SerPacket, AppendRefusesMissingArgumentsAndLinkedElements) {
  PacketPtr sp = NewPacket();
  ElementPtr a = Make([](auto p) { return ser_element_new_uint16(p, 1); });
  EXPECT_EQ(ser_packet_append(nullptr, a.get()), 22);
  EXPECT_EQ(ser_packet_append(sp.get(), nullptr), 22);
  EXPECT_EQ(ser_packet_prepend(nullptr, a.get()), 22);
  SERElement *linked = a.release();
  ASSERT_EQ(ser_packet_append(sp.get(), linked), 0);
  EXPECT_EQ(ser_packet_append(sp.get(), linked), 22);
  EXPECT_EQ(ser_packet_prepend(sp.get(), linked), 22);
  EXPECT_EQ(ElementsOf(sp.get()), 1u);
  EXPECT_EQ(LengthOf(sp.get()), 4u);
}

TEST(SerPacket, NestingFreezesTheChildAndGrowsTheParent) {
  PacketPtr parent = NewPacket();
  PacketPtr child = NewPacket();
  Append(parent.get(), Make([](auto p) { return ser_element_new_uint32(p, 9); }));
  Append(child.get(), Make([](auto p) { return ser_element_new_string(p, "abc"); }));
  uint32_t before = LengthOf(parent.get());
  SERPacket *q = child.release();
  ASSERT_EQ(ser_packet_append_as_array(parent.get(), q), 0);
  EXPECT_EQ(LengthOf(parent.get()), before + 8 + LengthOf(q));
  EXPECT_EQ(ElementsOf(parent.get()), 2u);
  ElementPtr extra = Make([](auto p) { return ser_element_new_uint16(p, 1); });
  EXPECT_EQ(ser_packet_append(q, extra.get()), 1);
  EXPECT_EQ(ser_packet_prepend(q, extra.get()), 1);
  PacketPtr other = NewPacket();
  EXPECT_EQ(ser_packet_append_as_array(q, other.get()), 1);
  SERElement *array = ser_packet_iterate_elements(parent.get(), SER_ITERATE_LAST);
  uint32_t code = 0;
  ASSERT_EQ(ser_element_get_type(array, &code), 0);
  EXPECT_EQ(code, SER_TYPE_ARRAY);
  EXPECT_EQ(ValueOf<SERPacket *>(array), q);
  // The handle is as wide as a pointer; a narrower destination gets nothing.
  SERPacket *handle = nullptr;
  int capacity = sizeof handle - 1;
  EXPECT_EQ(ser_element_get_value(array, &handle, &capacity), 28);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(Encode(parent.get()), Hex("00 20 00 04 00 00 00 09 04 00 00 04 00 00 00 08"
                                      " 01 01 00 03 61 62 63 00"));
  // Releasing the parent releases the child (the leak checker sees the rest).
}

TEST(SerPacket, NestingRefusesCyclesAndSecondOwners) {
  PacketPtr p = NewPacket();
  PacketPtr q = NewPacket();
  PacketPtr r = NewPacket();
  EXPECT_EQ(ser_packet_append_as_array(p.get(), p.get()), 22);
  EXPECT_EQ(ser_packet_append_as_array(nullptr, q.get()), 22);
  EXPECT_EQ(ser_packet_append_as_array(p.get(), nullptr), 22);
  SERPacket *nested = q.release();
  ASSERT_EQ(ser_packet_append_as_array(p.get(), nested), 0);
  EXPECT_EQ(ser_packet_append_as_array(r.get(), nested), 22);  // already owned by p
  EXPECT_EQ(ser_packet_append_as_array(p.get(), nested), 22);
  EXPECT_EQ(ser_packet_append_as_array(nested, p.get()), 1);  // p inside its own child
  EXPECT_EQ(ElementsOf(p.get()), 1u);
  EXPECT_EQ(ElementsOf(r.get()), 0u);
}

TEST(SerPacket, NestedPacketCannotBeClearedOrReleasedByTheCaller) {
  PacketPtr parent = NewPacket();
  PacketPtr child = NewPacket();
  Append(child.get(), Make([](auto p) { return ser_element_new_uint16(p, 7); }));
  SERPacket *q = child.release();
  ASSERT_EQ(ser_packet_append_as_array(parent.get(), q), 0);
  EXPECT_EQ(ser_packet_clear(q), 1);
  EXPECT_EQ(ser_packet_clear_c(q), 1);
  SERPacket *handle = q;
  EXPECT_EQ(ser_packet_free(&handle), 1);
  EXPECT_EQ(handle, q);
  EXPECT_EQ(ElementsOf(q), 1u);
  EXPECT_EQ(Encode(parent.get()), Hex("04 00 00 04 00 00 00 04 00 10 00 07"));
}

// Clearing a nested packet used to unfreeze it, so it could grow behind its
// parent's back and the parent's encoding overran a buffer sized by length.
TEST(SerPacket, RegressionClearedNestedPacketOverranTheParentsEncoding) {
  PacketPtr parent = NewPacket();
  PacketPtr child = NewPacket();
  SERPacket *q = child.release();
  ASSERT_EQ(ser_packet_append_as_array(parent.get(), q), 0);
  ser_packet_clear(q);
  ElementPtr big =
      Make([](auto p) { return ser_element_new_string(p, "more than the parent knows"); });
  EXPECT_NE(ser_packet_append(q, big.get()), 0);
  EXPECT_EQ(Encode(parent.get()).size(), 8u);
}

TEST(SerPacket, ClearEmptiesAndKeepsThePacketUsable) {
  PacketPtr sp = NewPacket();
  Append(sp.get(), Make([](auto p) { return ser_element_new_binary(p, "xyz", 3); }));
  PacketPtr child = NewPacket();
  ASSERT_EQ(ser_packet_append_as_array(sp.get(), child.release()), 0);
  EXPECT_EQ(ser_packet_clear(sp.get()), 0);
  EXPECT_EQ(LengthOf(sp.get()), 0u);
  EXPECT_EQ(ElementsOf(sp.get()), 0u);
  EXPECT_EQ(ser_packet_iterate_elements(sp.get(), SER_ITERATE_FIRST), nullptr);
  Append(sp.get(), Make([](auto p) { return ser_element_new_uint16(p, 3); }));
  EXPECT_EQ(Encode(sp.get()), Hex("00 10 00 03"));
  EXPECT_EQ(ser_packet_clear(nullptr), 22);
  SERPacket *none = nullptr;
  EXPECT_EQ(ser_packet_free(&none), 22);
  EXPECT_EQ(ser_packet_free(nullptr), 22);
  EXPECT_EQ(ser_packet_new(nullptr), 22);
}

// A packet's length must stay reportable through ser_packet_serialize's int;
// the record's total is set near the limit rather than built up for real.
TEST(SerPacket, EncodingLengthStaysWithinInt) {
  PacketPtr sp = NewPacket();
  sp->length = INT32_MAX - 3;
  ElementPtr small = Make([](auto p) { return ser_element_new_uint16(p, 1); });
  EXPECT_EQ(ser_packet_append(sp.get(), small.get()), 75);
  EXPECT_EQ(ser_packet_prepend(sp.get(), small.get()), 75);
  PacketPtr empty = NewPacket();
  EXPECT_EQ(ser_packet_append_as_array(sp.get(), empty.get()), 75);
  Bytes wire = Hex("00 10 00 01");
  EXPECT_EQ(ser_packet_deserialize_c(sp.get(), wire.data(), 4), 75);
  EXPECT_EQ(ElementsOf(sp.get()), 0u);
  sp->length = INT32_MAX - 4;
  EXPECT_EQ(ser_packet_append(sp.get(), small.release()), 0);
  EXPECT_EQ(LengthOf(sp.get()), static_cast<uint32_t>(INT32_MAX));
}

TEST(SerPacket, AllocationFailureWhileNestingLeavesBothPacketsAsTheyWere) {
  PacketPtr parent = NewPacket();
  PacketPtr child = NewPacket();
  tarnu_alloc_hook_fail_at(1);
  int status = ser_packet_append_as_array(parent.get(), child.get());
  tarnu_alloc_hook_reset();
  EXPECT_EQ(status, 12);
  EXPECT_EQ(ElementsOf(parent.get()), 0u);
  EXPECT_EQ(LengthOf(parent.get()), 0u);
  EXPECT_EQ(ser_packet_append_as_array(parent.get(), child.release()), 0);  // not frozen
}

TEST(SerPacket, NewReportsAllocationFailure) {
  ExpectEachAllocationFailureReported([] {
    SERPacket *sp = reinterpret_cast<SERPacket *>(0x1);
    int status = ser_packet_new(&sp);
    if (status != 0) {
      EXPECT_EQ(sp, nullptr);
    }
    if (status == 0) ser_packet_free(&sp);
    return status;
  });
}

// --------------------------------------------------------- nesting depth

// A chain of `levels` packets, each nested in the one above, holding a
// 16-bit value at the bottom.
PacketPtr Chain(int levels) {
  PacketPtr bottom = NewPacket();
  Append(bottom.get(), Make([](auto p) { return ser_element_new_uint16(p, 1); }));
  for (int i = 0; i < levels; ++i) {
    PacketPtr up = NewPacket();
    EXPECT_EQ(ser_packet_append_as_array(up.get(), bottom.release()), 0);
    bottom = std::move(up);
  }
  return bottom;
}

// The encoding of the same chain, built by hand: an array header per level,
// each announcing the bytes of the levels below it, then the value.
Bytes ChainBytes(int levels) {
  Bytes wire;
  for (int i = 0; i < levels; ++i) {
    uint32_t below = 4 + 8 * static_cast<uint32_t>(levels - 1 - i);
    for (uint8_t b : Hex("04 00 00 04")) wire.push_back(b);
    for (int shift = 24; shift >= 0; shift -= 8)
      wire.push_back(static_cast<uint8_t>(below >> shift));
  }
  for (uint8_t b : Hex("00 10 00 01")) wire.push_back(b);
  return wire;
}

TEST(SerPacket, NestingDepthIsBoundedWhenBuilding) {
  PacketPtr top = Chain(SER_NESTING_MAX);
  EXPECT_EQ(Encode(top.get()), ChainBytes(SER_NESTING_MAX));
  PacketPtr over = NewPacket();
  EXPECT_EQ(ser_packet_append_as_array(over.get(), top.get()), 22);
  EXPECT_EQ(ElementsOf(over.get()), 0u);
}

TEST(SerPacket, NestingDepthIsBoundedWhenDecoding) {
  int status = -1;
  PacketPtr deepest = Decode(ChainBytes(SER_NESTING_MAX), &status);
  EXPECT_EQ(status, 0);
  ASSERT_NE(deepest, nullptr);
  EXPECT_EQ(Encode(deepest.get()), ChainBytes(SER_NESTING_MAX));
  EXPECT_EQ(Decode(ChainBytes(SER_NESTING_MAX + 1), &status), nullptr);
  EXPECT_EQ(status, 22);
  // Far deeper input is refused the same way, without running out of stack.
  EXPECT_EQ(Decode(ChainBytes(20000), &status), nullptr);
  EXPECT_EQ(status, 22);
}

// ------------------------------------------------------------ wire format

TEST(SerWire, ByteExamples) {
  PacketPtr mixed = NewPacket();
  Append(mixed.get(), Make([](auto p) { return ser_element_new_uint32(p, 1); }));
  Append(mixed.get(), Make([](auto p) { return ser_element_new_string(p, "hi"); }));
  EXPECT_EQ(Encode(mixed.get()), Hex("00 20 00 04 00 00 00 01 01 02 00 02 68 69 00 00"));

  PacketPtr small = NewPacket();
  Append(small.get(), Make([](auto p) { return ser_element_new_int16(p, -2); }));
  EXPECT_EQ(Encode(small.get()), Hex("80 10 FF FE"));

  PacketPtr wide = NewPacket();
  Append(wide.get(), Make([](auto p) { return ser_element_new_uint64(p, 0x0102030405060708u); }));
  EXPECT_EQ(Encode(wide.get()), Hex("00 40 00 08 01 02 03 04 05 06 07 08"));

  PacketPtr real = NewPacket();
  Append(real.get(), Make([](auto p) { return ser_element_new_float(p, 1.0f); }));
  EXPECT_EQ(Encode(real.get()), Hex("00 80 00 04 3F 80 00 00"));

  PacketPtr outer = NewPacket();
  PacketPtr inner = NewPacket();
  Append(inner.get(), Make([](auto p) { return ser_element_new_uint16(p, 7); }));
  ASSERT_EQ(ser_packet_append_as_array(outer.get(), inner.release()), 0);
  EXPECT_EQ(Encode(outer.get()), Hex("04 00 00 04 00 00 00 04 00 10 00 07"));

  PacketPtr text = NewPacket();
  Append(text.get(), Make([](auto p) { return ser_element_new_string(p, "abcde"); }));
  EXPECT_EQ(Encode(text.get()), Hex("01 03 00 05 61 62 63 64 65 00 00 00"));

  PacketPtr bin = NewPacket();
  Append(bin.get(), Make([](auto p) { return ser_element_new_binary(p, "\x01\x02\x03\x04", 4); }));
  EXPECT_EQ(Encode(bin.get()), Hex("02 00 00 04 01 02 03 04"));
}

TEST(SerWire, ExamplesDecodeToTheirElements) {
  int status = -1;
  PacketPtr mixed = Decode(Hex("00 20 00 04 00 00 00 01 01 02 00 02 68 69 00 00"), &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(ElementsOf(mixed.get()), 2u);
  SERElement *first = ser_packet_iterate_elements(mixed.get(), SER_ITERATE_FIRST);
  EXPECT_EQ(ValueOf<uint32_t>(first), 1u);
  char text[8];
  int capacity = sizeof text;
  ASSERT_EQ(ser_element_get_value(ser_packet_iterate_elements(mixed.get(), SER_ITERATE_NEXT), text,
                                  &capacity),
            0);
  EXPECT_STREQ(text, "hi");

  PacketPtr wide = Decode(Hex("00 40 00 08 01 02 03 04 05 06 07 08"), &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(ValueOf<uint64_t>(ser_packet_iterate_elements(wide.get(), SER_ITERATE_FIRST)),
            0x0102030405060708u);

  PacketPtr real = Decode(Hex("00 80 00 04 3F 80 00 00"), &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(ValueOf<float>(ser_packet_iterate_elements(real.get(), SER_ITERATE_FIRST)), 1.0f);

  PacketPtr outer = Decode(Hex("04 00 00 04 00 00 00 04 00 10 00 07"), &status);
  ASSERT_EQ(status, 0);
  auto *inner = ValueOf<SERPacket *>(ser_packet_iterate_elements(outer.get(), SER_ITERATE_FIRST));
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(ValueOf<uint16_t>(ser_packet_iterate_elements(inner, SER_ITERATE_FIRST)), 7);
  EXPECT_EQ(LengthOf(outer.get()), 12u);
}

TEST(SerWire, SignedFlagIsNotCarriedThroughDecoding) {
  PacketPtr sp = NewPacket();
  Append(sp.get(), Make([](auto p) { return ser_element_new_int32(p, -1); }));
  Bytes wire = Encode(sp.get());
  EXPECT_EQ(wire, Hex("80 20 00 04 FF FF FF FF"));
  int status = -1;
  PacketPtr back = Decode(wire, &status);
  ASSERT_EQ(status, 0);
  SERElement *se = ser_packet_iterate_elements(back.get(), SER_ITERATE_FIRST);
  uint32_t code = 0;
  ASSERT_EQ(ser_element_get_type(se, &code), 0);
  EXPECT_EQ(code, SER_TYPE_INT32);
  EXPECT_EQ(ValueOf<uint32_t>(se), 0xFFFFFFFFu);
  EXPECT_EQ(TypeWord(se), 0x00200004u);
  EXPECT_EQ(Encode(back.get()), Hex("00 20 00 04 FF FF FF FF"));
}

TEST(SerWire, EmptyNestedPacketEncodesButDoesNotDecode) {
  PacketPtr outer = NewPacket();
  PacketPtr inner = NewPacket();
  ASSERT_EQ(ser_packet_append_as_array(outer.get(), inner.release()), 0);
  Bytes wire = Encode(outer.get());
  EXPECT_EQ(wire, Hex("04 00 00 04 00 00 00 00"));
  int status = -1;
  EXPECT_EQ(Decode(wire, &status), nullptr);
  EXPECT_EQ(status, 22);
}

TEST(SerWire, DecoderLeavesHostOrderNumbersInTheBuffer) {
  Bytes wire = Hex("00 20 00 04 00 00 00 01 04 00 00 04 00 00 00 04 00 10 00 07");
  SERPacket *sp = nullptr;
  ASSERT_EQ(ser_packet_deserialize(&sp, wire.data(), static_cast<int>(wire.size())), 0);
  PacketPtr owner(sp);
  uint32_t payload = 0;
  uint32_t nested_length = 0;
  std::memcpy(&payload, wire.data() + 4, 4);
  std::memcpy(&nested_length, wire.data() + 12, 4);
  EXPECT_EQ(payload, 1u);
  EXPECT_EQ(nested_length, 4u);
  EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 4), Hex("00 20 00 04"));  // tags stay
}

// Every way an input can lie about its extent or shape, and each is refused
// whole by the plain decoder.
const std::vector<std::pair<const char *, const char *>> kMalformed = {
    {"unknown code", "00 00 00 00"},
    {"two codes in one tag", "00 30 00 04 00 00 00 01"},
    {"trailing partial tag", "00 10 00 01 00 10"},
    {"trailing byte", "00 10 00 01 00 10 00 01 00"},
    {"32-bit payload cut", "00 20 00 04 00 00 00"},
    {"32-bit tag with wrong length", "00 20 00 08 00 00 00 01 00 00 00 02"},
    {"64-bit payload cut", "00 40 00 08 00 00 00 00 00 00 00"},
    {"float tag with padding", "00 81 00 04 00 00 00 00"},
    {"16-bit tag with padding", "00 11 00 01"},
    {"string payload past the end", "01 00 00 08 61 62 63 64"},
    {"string padding past the end", "01 03 00 05 61 62 63 64 65"},
    {"string with wrong padding", "01 00 00 05 61 62 63 64 65 00 00 00"},
    {"binary with wrong padding", "02 01 00 04 01 02 03 04 00 00 00 00"},
    {"string length field maximal", "01 01 FF FF 61 62 63 64"},
    {"array length field cut", "04 00 00 04 00 00"},
    {"array tag with wrong length", "04 00 00 08 00 00 00 04 00 10 00 01"},
    {"array length past the end", "04 00 00 04 00 00 00 08 00 10 00 01"},
    {"array length huge", "04 00 00 04 FF FF FF FC 00 10 00 01"},
    {"array length not a whole element", "04 00 00 04 00 00 00 05 00 10 00 01 00 00 00 00"},
    {"nested packet malformed", "04 00 00 04 00 00 00 04 00 00 00 00"},
    {"good element then garbage", "00 10 00 01 00 20 00 04 00 00 00 01 7F 00 00 00"},
    {"signed flag on unknown code", "80 00 00 00"},
};

TEST(SerWire, MalformedInputIsRejected) {
  for (const auto &[name, hex] : kMalformed) {
    int status = -1;
    EXPECT_EQ(Decode(Hex(hex), &status), nullptr) << name;
    EXPECT_EQ(status, 22) << name;
  }
}

TEST(SerWire, TruncationAtEveryLengthIsRejected) {
  PacketPtr sp = NewPacket();
  Append(sp.get(), Make([](auto p) { return ser_element_new_string(p, "abcde"); }));
  PacketPtr inner = NewPacket();
  Append(inner.get(), Make([](auto p) { return ser_element_new_uint64(p, 5); }));
  ASSERT_EQ(ser_packet_append_as_array(sp.get(), inner.release()), 0);
  Bytes wire = Encode(sp.get());
  for (std::size_t n = 4; n < wire.size(); ++n) {
    // Placed at the end of an allocation of exactly n bytes, so the address
    // checker catches a read past it.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[n]);
    std::memcpy(exact.get(), wire.data(), n);
    SERPacket *out = nullptr;
    int status = ser_packet_deserialize(&out, exact.get(), static_cast<int>(n));
    bool boundary = n == 12;  // the string element alone is a whole packet
    EXPECT_EQ(status, boundary ? 0 : 22) << n;
    ser_packet_free(&out);
  }
}

TEST(SerWire, MissingArgumentsAreRefused) {
  Bytes wire = Hex("00 10 00 01");
  SERPacket *sp = nullptr;
  EXPECT_EQ(ser_packet_deserialize(nullptr, wire.data(), 4), 22);
  EXPECT_EQ(ser_packet_deserialize(&sp, nullptr, 4), 22);
}

TEST(SerWire, DecodeReportsEveryAllocationFailureAndKeepsNothing) {
  PacketPtr sp = NewPacket();
  Append(sp.get(), Make([](auto p) { return ser_element_new_string(p, kLongText); }));
  Append(sp.get(), Make([](auto p) { return ser_element_new_uint32(p, 1); }));
  PacketPtr inner = NewPacket();
  Append(inner.get(), Make([](auto p) { return ser_element_new_binary(p, "\x00\x01", 2); }));
  PacketPtr innermost = NewPacket();
  Append(innermost.get(), Make([](auto p) { return ser_element_new_uint16(p, 1); }));
  ASSERT_EQ(ser_packet_append_as_array(inner.get(), innermost.release()), 0);
  ASSERT_EQ(ser_packet_append_as_array(sp.get(), inner.release()), 0);
  Append(sp.get(), Make([](auto p) { return ser_element_new_float(p, 2.5f); }));
  const Bytes wire = Encode(sp.get());
  long allocations = ExpectEachAllocationFailureReported([&] {
    int status = -1;
    PacketPtr decoded = Decode(wire, &status);
    if (status == 0) {
      EXPECT_EQ(Encode(decoded.get()), wire);
    }
    return status;
  });
  // Packets: 3; elements: 7; the long string's payload (the short binary
  // lives in its record).
  EXPECT_EQ(allocations, 11);
}

// ------------------------------------------------------ random round trips

struct RandomPacketMaker {
  std::mt19937 rng;
  int max_depth;

  uint32_t Pick(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); }

  Bytes Payload() {
    Bytes bytes(Pick(40));
    bytes.reserve(41);  // a real address for empty payloads too
    for (auto &b : bytes) b = static_cast<uint8_t>(1 + Pick(255));  // strings stop at a zero
    return bytes;
  }

  // Builds a packet of unsigned kinds (the kinds a decoded packet has).
  PacketPtr Make(int depth) {
    PacketPtr sp = NewPacket();
    uint32_t count = 1 + Pick(12);
    for (uint32_t i = 0; i < count; ++i) {
      SERElement *se = nullptr;
      switch (Pick(depth < max_depth ? 7 : 6)) {
        case 0:
          EXPECT_EQ(ser_element_new_uint16(&se, static_cast<uint16_t>(rng())), 0);
          break;
        case 1:
          EXPECT_EQ(ser_element_new_uint32(&se, rng()), 0);
          break;
        case 2:
          EXPECT_EQ(ser_element_new_uint64(&se, (uint64_t{rng()} << 32) | rng()), 0);
          break;
        case 3:
          EXPECT_EQ(ser_element_new_float(&se, static_cast<float>(rng()) / 7.0f), 0);
          break;
        case 4: {
          Bytes text = Payload();
          EXPECT_EQ(ser_element_new_string_length(&se, reinterpret_cast<const char *>(text.data()),
                                                  static_cast<int>(text.size())),
                    0);
          break;
        }
        case 5: {
          Bytes bin = Payload();
          bin.push_back(0);
          EXPECT_EQ(ser_element_new_binary(&se, bin.data(), static_cast<int>(bin.size())), 0);
          break;
        }
        default: {
          PacketPtr nested = Make(depth + 1);
          EXPECT_EQ(ser_packet_append_as_array(sp.get(), nested.release()), 0);
          continue;
        }
      }
      EXPECT_EQ(ser_packet_append(sp.get(), se), 0);
    }
    return sp;
  }
};

// Compares two packets element by element, nested packets included.
void ExpectSamePackets(SERPacket *a, SERPacket *b) {
  ASSERT_EQ(ElementsOf(a), ElementsOf(b));
  ASSERT_EQ(LengthOf(a), LengthOf(b));
  SERElement *x = ser_packet_iterate_elements(a, SER_ITERATE_FIRST);
  SERElement *y = ser_packet_iterate_elements(b, SER_ITERATE_FIRST);
  for (; x != nullptr; x = ser_packet_iterate_elements(a, SER_ITERATE_NEXT),
                       y = ser_packet_iterate_elements(b, SER_ITERATE_NEXT)) {
    ASSERT_NE(y, nullptr);
    ASSERT_EQ(TypeWord(x), TypeWord(y));
    if ((TypeWord(x) & SER_TYPE_MASK) == SER_TYPE_ARRAY) {
      // The cursors live in the packets, so the nested walk does not disturb ours.
      ExpectSamePackets(ValueOf<SERPacket *>(x), ValueOf<SERPacket *>(y));
      continue;
    }
    // Numbers leave the capacity as it was, so the unused rest must match too.
    uint8_t vx[64] = {};
    uint8_t vy[64] = {};
    int nx = sizeof vx;
    int ny = sizeof vy;
    ASSERT_EQ(ser_element_get_value(x, vx, &nx), 0);
    ASSERT_EQ(ser_element_get_value(y, vy, &ny), 0);
    ASSERT_EQ(nx, ny);
    EXPECT_EQ(std::memcmp(vx, vy, static_cast<std::size_t>(nx)), 0);
  }
  EXPECT_EQ(y, nullptr);
}

TEST(SerRoundTrip, RandomPacketsWithNestedArrays) {
  RandomPacketMaker maker{std::mt19937(20261207), 4};
  for (int round = 0; round < 300; ++round) {
    PacketPtr original = maker.Make(0);
    Bytes wire = Encode(original.get());
    int status = -1;
    PacketPtr decoded = Decode(wire, &status);
    ASSERT_EQ(status, 0) << "round " << round;
    ExpectSamePackets(original.get(), decoded.get());
    EXPECT_EQ(Encode(decoded.get()), wire) << "round " << round;
  }
}

}  // namespace

// EventData: layout on the wire, byte-order conversion and the accessors.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "orvik/event.h"
#include "orvik/event_p.h"

namespace {

// A record as it arrives from the network, built byte by byte.
std::array<unsigned char, EVENTDATA_SIZE> WireRecord() {
  std::array<unsigned char, EVENTDATA_SIZE> wire{};
  const unsigned char head[] = {0x01, 0x02, 0x03, 0x04,                          // flags
                                0x0a, 0x0b, 0x0c, 0x0d,                          // rc
                                0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,  // timestamp
                                0x00, 0x00, 0x01, 0x00};                         // datalen 256
  std::memcpy(wire.data(), head, sizeof head);
  std::memcpy(wire.data() + 20, "host.example", 12);
  std::memcpy(wire.data() + 84, "disk0", 5);
  for (int i = 0; i < EVENTDATA_DATA_SIZE; ++i) wire[148 + i] = static_cast<unsigned char>(i);
  const unsigned char pad[] = {0xde, 0xad, 0xbe, 0xef};
  std::memcpy(wire.data() + 404, pad, sizeof pad);
  return wire;
}

TEST(EventDataLifecycle, NewIsZeroFilledAndFreeClearsHandle) {
  EventData *event = nullptr;
  ASSERT_EQ(eventdata_new(&event), 0);
  ASSERT_NE(event, nullptr);
  std::array<unsigned char, EVENTDATA_SIZE> zero{};
  EXPECT_EQ(std::memcmp(event, zero.data(), EVENTDATA_SIZE), 0);
  EXPECT_EQ(eventdata_free(&event), 0);
  EXPECT_EQ(event, nullptr);
  EXPECT_EQ(eventdata_free(&event), EINVAL);
  EXPECT_EQ(eventdata_free(nullptr), EINVAL);
  EXPECT_EQ(eventdata_new(nullptr), EINVAL);
}

TEST(EventDataByteOrder, NetworkRecordReadsInHostOrderAndOtherBytesStay) {
  auto wire = WireRecord();
  EventData event;
  std::memcpy(&event, wire.data(), EVENTDATA_SIZE);
  ASSERT_EQ(eventdata_to_hostorder(&event), 0);
  EXPECT_EQ(event.flags, 0x01020304u);
  EXPECT_EQ(event.rc, 0x0a0b0c0du);
  EXPECT_EQ(event.timestamp, 0x1122334455667788ull);
  EXPECT_EQ(event.datalen, 256u);
  // Text, payload and pad1 are untouched byte for byte.
  EXPECT_EQ(std::memcmp(reinterpret_cast<unsigned char *>(&event) + 20, wire.data() + 20,
                        EVENTDATA_SIZE - 20),
            0);
  ASSERT_EQ(eventdata_to_netorder(&event), 0);
  EXPECT_EQ(std::memcmp(&event, wire.data(), EVENTDATA_SIZE), 0);
}

TEST(EventDataByteOrder, ConvertsRecordAtMisalignedAddress) {
  // The daemon assembles records behind an int in a byte buffer; the
  // conversion must not depend on the record's alignment.
  alignas(8) unsigned char storage[EVENTDATA_SIZE + 8];
  auto wire = WireRecord();
  std::memcpy(storage + 4, wire.data(), EVENTDATA_SIZE);
  auto *event = reinterpret_cast<EventData *>(storage + 4);
  ASSERT_EQ(eventdata_to_hostorder(event), 0);
  uint64_t timestamp = 0;
  ASSERT_EQ(eventdata_get_timestamp(event, &timestamp), 0);
  EXPECT_EQ(timestamp, 0x1122334455667788ull);
  char host[64];
  int len = sizeof host;
  ASSERT_EQ(eventdata_get_hostname(event, host, &len), 0);
  EXPECT_STREQ(host, "host.example");
}

TEST(EventDataByteOrder, NullRecordIsRefused) {
  EXPECT_EQ(eventdata_to_hostorder(nullptr), EINVAL);
  EXPECT_EQ(eventdata_to_netorder(nullptr), EINVAL);
}

TEST(EventDataText, SixtyThreeCharactersComeBackWhole) {
  EventData event{};
  std::string text(63, 'h');
  ASSERT_EQ(eventdata_set_hostname(&event, text.c_str()), 0);
  ASSERT_EQ(eventdata_set_object(&event, "object-1"), 0);
  char buffer[64];
  int len = sizeof buffer;
  ASSERT_EQ(eventdata_get_hostname(&event, buffer, &len), 0);
  EXPECT_EQ(len, 63);
  EXPECT_EQ(std::string(buffer), text);
  len = sizeof buffer;
  ASSERT_EQ(eventdata_get_object(&event, buffer, &len), 0);
  EXPECT_EQ(len, 8);
  EXPECT_STREQ(buffer, "object-1");
}

TEST(EventDataText, FieldOfSixtyFourNonZeroBytesIsCutAndTerminated) {
  EventData event{};
  std::memset(event.hostname, 'x', sizeof event.hostname);
  std::memset(event.object, 'y', sizeof event.object);
  // Guard bytes after the caller's buffer catch a write past its end.
  char buffer[64 + 4];
  std::memset(buffer, '#', sizeof buffer);
  int len = 64;
  ASSERT_EQ(eventdata_get_hostname(&event, buffer, &len), 0);
  EXPECT_EQ(len, 63);
  EXPECT_EQ(std::string(buffer), std::string(63, 'x'));
  EXPECT_EQ(std::memcmp(buffer + 64, "####", 4), 0);
  // A larger buffer gets all 64 bytes, still terminated, and nothing of the
  // following field.
  char large[128];
  len = sizeof large;
  ASSERT_EQ(eventdata_get_hostname(&event, large, &len), 0);
  EXPECT_EQ(len, 64);
  EXPECT_EQ(std::string(large), std::string(64, 'x'));
}

TEST(EventDataText, SmallBuffersAreCutAndBadSizesRefused) {
  EventData event{};
  ASSERT_EQ(eventdata_set_object(&event, "abcdef"), 0);
  char buffer[4];
  int len = sizeof buffer;
  ASSERT_EQ(eventdata_get_object(&event, buffer, &len), 0);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(len, 3);
  len = 1;
  ASSERT_EQ(eventdata_get_object(&event, buffer, &len), 0);
  EXPECT_STREQ(buffer, "");
  len = 0;
  EXPECT_EQ(eventdata_get_object(&event, buffer, &len), EINVAL);
  EXPECT_EQ(eventdata_get_object(&event, nullptr, &len), EINVAL);
  EXPECT_EQ(eventdata_get_hostname(nullptr, buffer, &len), EINVAL);
}

TEST(EventDataText, TooLongTextChangesNothingAndShorterTextLeavesNoTail) {
  EventData event{};
  ASSERT_EQ(eventdata_set_hostname(&event, "a-long-previous-name"), 0);
  std::string too_long(64, 'z');
  EXPECT_EQ(eventdata_set_hostname(&event, too_long.c_str()), ENOSPC);
  EXPECT_STREQ(event.hostname, "a-long-previous-name");
  ASSERT_EQ(eventdata_set_hostname(&event, "b"), 0);
  for (size_t i = 1; i < sizeof event.hostname; ++i) EXPECT_EQ(event.hostname[i], '\0') << i;
  EXPECT_EQ(eventdata_set_hostname(&event, nullptr), EINVAL);
}

TEST(EventDataFields, IntegerSettersAndGettersRoundTrip) {
  EventData event{};
  ASSERT_EQ(eventdata_set_flags(&event, 0x80000001u), 0);
  ASSERT_EQ(eventdata_set_rc(&event, 42), 0);
  ASSERT_EQ(eventdata_set_timestamp(&event, 0xfedcba9876543210ull), 0);
  uint32_t flags = 0, rc = 0;
  uint64_t timestamp = 0;
  ASSERT_EQ(eventdata_get_flags(&event, &flags), 0);
  ASSERT_EQ(eventdata_get_rc(&event, &rc), 0);
  ASSERT_EQ(eventdata_get_timestamp(&event, &timestamp), 0);
  EXPECT_EQ(flags, 0x80000001u);
  EXPECT_EQ(rc, 42u);
  EXPECT_EQ(timestamp, 0xfedcba9876543210ull);
  // A sender's conversion puts the most significant byte first.
  ASSERT_EQ(eventdata_to_netorder(&event), 0);
  auto *bytes = reinterpret_cast<unsigned char *>(&event);
  EXPECT_EQ(bytes[0], 0x80);
  EXPECT_EQ(bytes[3], 0x01);
  EXPECT_EQ(bytes[8], 0xfe);
  EXPECT_EQ(bytes[15], 0x10);
  EXPECT_EQ(eventdata_get_flags(&event, nullptr), EINVAL);
  EXPECT_EQ(eventdata_set_rc(nullptr, 1), EINVAL);
}

TEST(EventDataPayload, SetAndGetHonourDatalenAndBufferSize) {
  EventData event{};
  unsigned char payload[10];
  for (int i = 0; i < 10; ++i) payload[i] = static_cast<unsigned char>(0xa0 + i);
  ASSERT_EQ(eventdata_set_data(&event, payload, 10), 0);
  EXPECT_EQ(event.datalen, 10u);
  unsigned char out[256] = {};
  int len = sizeof out;
  ASSERT_EQ(eventdata_get_data(&event, out, &len), 0);
  EXPECT_EQ(len, 10);
  EXPECT_EQ(std::memcmp(out, payload, 10), 0);
  len = 4;
  ASSERT_EQ(eventdata_get_data(&event, out, &len), 0);
  EXPECT_EQ(len, 4);

  unsigned char big[EVENTDATA_DATA_SIZE + 1] = {};
  EXPECT_EQ(eventdata_set_data(&event, big, EVENTDATA_DATA_SIZE + 1), ENOSPC);
  EXPECT_EQ(event.datalen, 10u);
  EXPECT_EQ(eventdata_set_data(&event, nullptr, 1), EINVAL);
  EXPECT_EQ(eventdata_set_data(&event, payload, -1), EINVAL);
}

TEST(EventDataPayload, OversizedDatalenFromTheWireIsCappedAtThePayload) {
  EventData event{};
  event.datalen = 100000;
  unsigned char out[1024];
  int len = sizeof out;
  ASSERT_EQ(eventdata_get_data(&event, out, &len), 0);
  EXPECT_EQ(len, EVENTDATA_DATA_SIZE);
}

}  // namespace

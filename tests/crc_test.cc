// CRC-32 (polynomial 0x04C11DB7, MSB first, init 0xFFFFFFFF, no final xor).
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <span>
#include <string_view>
#include <vector>

#include "tarnu/globals.h"
#include "text_paths.h"

namespace {

using tarnu::detail::CodePath;

std::span<const unsigned char> Bytes(std::string_view text) {
  return {reinterpret_cast<const unsigned char *>(text.data()), text.size()};
}

// The reference: every byte folded in with crc32_byte from 0xFFFFFFFF.
uint32_t BitwiseCrc(std::span<const unsigned char> data) {
  uint32_t crc = 0xFFFFFFFF;
  for (unsigned char byte : data) EXPECT_EQ(crc32_byte(&crc, byte), 0);
  return crc;
}

uint32_t BufferCrc(std::span<const unsigned char> data) {
  uint32_t crc = 0x12345678;  // discarded by crc32_buffer
  EXPECT_EQ(crc32_buffer(&crc, data.data(), static_cast<unsigned>(data.size())), 0);
  return crc;
}

std::vector<unsigned char> RandomBytes(std::size_t length, std::mt19937 &random) {
  std::vector<unsigned char> data(length);
  for (auto &byte : data) byte = static_cast<unsigned char>(random());
  return data;
}

TEST(Crc32Known, CheckValueOfDigits) {
  EXPECT_EQ(BufferCrc(Bytes("123456789")), 0x0376E6E7u);
  EXPECT_EQ(BitwiseCrc(Bytes("123456789")), 0x0376E6E7u);
  EXPECT_EQ(tarnu::detail::Crc32(CodePath::kPortable, Bytes("123456789")), 0x0376E6E7u);
}

TEST(Crc32Known, EmptyBufferGivesInitialValue) {
  const unsigned char byte = 0;
  uint32_t crc = 0;
  EXPECT_EQ(crc32_buffer(&crc, &byte, 0), 0);
  EXPECT_EQ(crc, 0xFFFFFFFFu);
}

TEST(Crc32Known, ZeroByteIntoZeroStaysZero) {
  uint32_t crc = 0;
  EXPECT_EQ(crc32_byte(&crc, 0), 0);
  EXPECT_EQ(crc, 0u);
}

// Without a final exclusive-or, a message followed by its own checksum (most
// significant byte first) has the residue 0.
TEST(Crc32Known, MessageFollowedByItsChecksumGivesZero) {
  std::mt19937 random(7);
  for (std::size_t length : {1u, 9u, 63u, 64u, 100u, 4096u}) {
    auto data = RandomBytes(length, random);
    const uint32_t crc = BufferCrc(data);
    for (int shift = 24; shift >= 0; shift -= 8)
      data.push_back(static_cast<unsigned char>(crc >> shift));
    EXPECT_EQ(BufferCrc(data), 0u) << length;
  }
}

TEST(Crc32Arguments, NullArgumentsReturnMinusOneAndLeaveValue) {
  const unsigned char byte = 1;
  uint32_t crc = 0xABCDEF01;
  EXPECT_EQ(crc32_buffer(&crc, nullptr, 1), -1);
  EXPECT_EQ(crc, 0xABCDEF01u);
  EXPECT_EQ(crc32_buffer(nullptr, &byte, 1), -1);
  EXPECT_EQ(crc32_byte(nullptr, 1), -1);
}

// Every length 0..1000 (and every start offset modulo 16, so misaligned
// loads are covered) against the bit-by-bit fold, on both code paths.
TEST(Crc32Equivalence, EveryLengthMatchesBitwiseFold) {
  std::mt19937 random(1);
  const auto pool = RandomBytes(1000 + 16, random);
  for (std::size_t length = 0; length <= 1000; ++length) {
    const std::span<const unsigned char> data(pool.data() + length % 16, length);
    const uint32_t expected = BitwiseCrc(data);
    ASSERT_EQ(BufferCrc(data), expected) << "length " << length;
    ASSERT_EQ(tarnu::detail::Crc32(CodePath::kPortable, data), expected) << "length " << length;
  }
}

TEST(Crc32Equivalence, LargeBuffersMatchBitwiseFold) {
  std::mt19937 random(2);
  for (std::size_t length : {65536u + 13u, 1048576u + 63u}) {
    const auto data = RandomBytes(length, random);
    const uint32_t expected = BitwiseCrc(data);
    EXPECT_EQ(BufferCrc(data), expected);
    EXPECT_EQ(tarnu::detail::Crc32(CodePath::kPortable, data), expected);
  }
}

TEST(Crc32Equivalence, ContinuingWithBytesExtendsBufferValue) {
  std::mt19937 random(3);
  const auto data = RandomBytes(300, random);
  uint32_t crc = 0;
  ASSERT_EQ(crc32_buffer(&crc, data.data(), 200), 0);
  for (std::size_t i = 200; i < data.size(); ++i) crc32_byte(&crc, data[i]);
  EXPECT_EQ(crc, BufferCrc(data));
}

}  // namespace

// Base64 with 72-character lines.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "alloc_hook.h"
#include "tarnu/globals.h"
#include "text_paths.h"

namespace {

using tarnu::detail::CodePath;

constexpr CodePath kPaths[] = {CodePath::kBest, CodePath::kPortable};

struct Decoded {
  int status;
  std::vector<unsigned char> bytes;
};

std::string Encode(std::string_view data, CodePath path = CodePath::kBest) {
  char *text = nullptr;
  int length = -1;
  EXPECT_EQ(tarnu::detail::Base64Encode(path, reinterpret_cast<const unsigned char *>(data.data()),
                                        static_cast<int>(data.size()), &text, &length),
            0);
  std::unique_ptr<char, decltype(&std::free)> owner(text, &std::free);
  if (text == nullptr) return "<null>";
  EXPECT_EQ(std::string(text).size(), static_cast<std::size_t>(length));
  return std::string(text, static_cast<std::size_t>(length));
}

Decoded Decode(std::string_view text, CodePath path = CodePath::kBest) {
  unsigned char *bytes = nullptr;
  int length = -1;
  const int status = tarnu::detail::Base64Decode(path, text.data(), static_cast<int>(text.size()),
                                                 &bytes, &length);
  std::unique_ptr<unsigned char, decltype(&std::free)> owner(bytes, &std::free);
  if (status != 0) {
    EXPECT_EQ(bytes, nullptr);
    EXPECT_EQ(length, 0);
    return {status, {}};
  }
  return {0, std::vector<unsigned char>(bytes, bytes + length)};
}

std::vector<unsigned char> ToBytes(std::string_view text) {
  return {text.begin(), text.end()};
}

std::string RandomData(std::size_t length, std::mt19937 &random) {
  std::string data(length, '\0');
  for (auto &c : data) c = static_cast<char>(random());
  return data;
}

// Output of coreutils' `base64 -w 72` for `data`.
std::string CoreutilsBase64(const std::string &data) {
  char path[] = "/tmp/tarnu_b64_XXXXXX";
  const int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  FILE *file = fdopen(fd, "wb");
  std::fwrite(data.data(), 1, data.size(), file);
  std::fclose(file);
  const std::string command = std::string("base64 -w 72 ") + path;
  FILE *pipe = popen(command.c_str(), "r");
  std::string output;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) output.append(chunk, n);
  EXPECT_EQ(pclose(pipe), 0);
  std::remove(path);
  return output;
}

// RFC 4648, section 10: data and its Base64 text.
constexpr std::pair<std::string_view, std::string_view> kRfc4648[] = {{"", ""},
                                                                      {"f", "Zg=="},
                                                                      {"fo", "Zm8="},
                                                                      {"foo", "Zm9v"},
                                                                      {"foob", "Zm9vYg=="},
                                                                      {"fooba", "Zm9vYmE="},
                                                                      {"foobar", "Zm9vYmFy"}};

TEST(Base64Encode, Rfc4648Vectors) {
  for (CodePath path : kPaths) {
    for (const auto &[data, text] : kRfc4648) EXPECT_EQ(Encode(data, path), text);
  }
}

// The RFC vectors repeated past one line: a line feed follows every 72
// characters of complete groups, and never a padded final group.
TEST(Base64Encode, Rfc4648VectorsAcrossLineBreaks) {
  for (CodePath path : kPaths) {
    std::string data, line;
    for (int i = 0; i < 9; ++i) data += "foobar";  // 54 bytes: exactly one line
    for (int i = 0; i < 9; ++i) line += "Zm9vYmFy";
    EXPECT_EQ(Encode(data, path), line + "\n");
    EXPECT_EQ(Encode(data + "f", path), line + "\nZg==");
    EXPECT_EQ(Encode(data + "fo", path), line + "\nZm8=");
    EXPECT_EQ(Encode(data + data + "foobar", path), line + "\n" + line + "\nZm9vYmFy");
  }
}

TEST(Base64Encode, LineLengthsAt54And55Bytes) {
  const std::string text54 = Encode(std::string(54, 'x'));
  ASSERT_EQ(text54.size(), 73u);
  EXPECT_EQ(text54.find('\n'), 72u);
  const std::string text55 = Encode(std::string(55, 'x'));
  ASSERT_EQ(text55.size(), 77u);
  EXPECT_EQ(text55.substr(0, 73), text54);
  EXPECT_EQ(text55.substr(75), "==");
}

TEST(Base64Encode, NegativeLengthGivesEmptyText) {
  const unsigned char byte = 'A';
  char *text = nullptr;
  int length = -1;
  ASSERT_EQ(base64_encode(&byte, -5, &text, &length), 0);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(length, 0);
  std::free(text);
}

TEST(Base64Encode, NullArgumentsAreRefused) {
  const unsigned char byte = 'A';
  char *text = nullptr;
  int length = 0;
  EXPECT_EQ(base64_encode(nullptr, 1, &text, &length), 22);
  EXPECT_EQ(base64_encode(&byte, 1, nullptr, &length), 22);
  EXPECT_EQ(base64_encode(&byte, 1, &text, nullptr), 22);
}

// A text longer than the largest int cannot be reported through *outlen.
// The refusal happens before the input is read, so a one-byte buffer will do.
TEST(Base64Encode, LengthWhoseTextOverflowsIntIsRefused) {
  const unsigned char byte = 'A';
  for (int inlen : {INT_MAX, INT_MAX / 4 * 3, 1'600'000'000}) {
    char *text = reinterpret_cast<char *>(1);
    int length = 7;
    EXPECT_EQ(base64_encode(&byte, inlen, &text, &length), 22) << inlen;
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(length, 0);
  }
}

TEST(Base64Encode, RandomInputsMatchCoreutils) {
  std::mt19937 random(11);
  std::vector<std::size_t> lengths;
  for (std::size_t n = 0; n <= 120; ++n) lengths.push_back(n);
  for (std::size_t n : {161u, 162u, 163u, 1000u, 5399u, 5400u, 65537u}) lengths.push_back(n);
  for (std::size_t n : lengths) {
    const std::string data = RandomData(n, random);
    std::string expected = CoreutilsBase64(data);
    // coreutils always ends the last line; the library ends only full lines.
    for (CodePath path : kPaths) {
      std::string text = Encode(data, path);
      if (!text.empty() && text.back() != '\n') text += '\n';
      ASSERT_EQ(text, expected) << "length " << n;
    }
  }
}

TEST(Base64Decode, Rfc4648Vectors) {
  for (CodePath path : kPaths) {
    for (const auto &[data, text] : kRfc4648) EXPECT_EQ(Decode(text, path).bytes, ToBytes(data));
    EXPECT_EQ(Decode("QUJD", path).bytes, ToBytes("ABC"));
  }
}

TEST(Base64Decode, EmptyAndNegativeLengthGiveZeroByteBuffer) {
  for (int inlen : {0, -3}) {
    unsigned char *bytes = nullptr;
    int length = -1;
    ASSERT_EQ(base64_decode("QUJD", inlen, &bytes, &length), 0);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(bytes[0], 0);
    EXPECT_EQ(length, 0);
    std::free(bytes);
  }
}

TEST(Base64Decode, NullArgumentsAreRefused) {
  unsigned char *bytes = nullptr;
  int length = 0;
  EXPECT_EQ(base64_decode(nullptr, 4, &bytes, &length), 22);
  EXPECT_EQ(base64_decode("QUJD", 4, nullptr, &length), 22);
  EXPECT_EQ(base64_decode("QUJD", 4, &bytes, nullptr), 22);
}

TEST(Base64Decode, WhiteSpaceIsSkipped) {
  const std::string data =
      "The quick brown fox jumps over the lazy dog, twice: the quick brown fox.";
  const std::string text = Encode(data);
  for (std::string_view separator : {"\n", "\r\n", " ", "\t", " \r\n\t"}) {
    std::string spaced;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] != '\n') spaced += text[i];
      if (i % 5 == 4) spaced += separator;  // inside groups as well as between them
    }
    for (CodePath path : kPaths) EXPECT_EQ(Decode(spaced, path).bytes, ToBytes(data)) << separator;
  }
}

// Text ending in a line feed, as files and mail carry it, keeps its last bytes:
// the padding is judged against the last character that is not skipped.
TEST(Base64Decode, RegressionPaddingFollowedByLineFeedKeepsFinalBytes) {
  for (CodePath path : kPaths) {
    EXPECT_EQ(Decode("QQ==\n", path).bytes, ToBytes("A"));
    EXPECT_EQ(Decode("QUI=\n", path).bytes, ToBytes("AB"));
    EXPECT_EQ(Decode("QQ==\r\n", path).bytes, ToBytes("A"));
    EXPECT_EQ(Decode("QQ=\n=\n\n", path).bytes, ToBytes("A"));
  }
}

TEST(Base64Decode, CharactersOutsideAlphabetAreRejected) {
  const std::string valid = Encode(std::string(200, 'q'));
  for (int c = 0; c < 256; ++c) {
    const char ch = static_cast<char>(c);
    const bool accepted = std::isalnum(c) || ch == '+' || ch == '/' || ch == '=' || ch == '\n' ||
                          ch == '\r' || ch == ' ' || ch == '\t';
    if (accepted) continue;
    // Inside the first vector block, past it, and in the last group.
    for (std::size_t position :
         {std::size_t{0}, std::size_t{5}, std::size_t{20}, std::size_t{71}, valid.size() - 2}) {
      std::string text = valid;
      text[position] = ch;
      for (CodePath path : kPaths) {
        ASSERT_EQ(Decode(text, path).status, 22) << "char " << c << " at " << position;
      }
    }
  }
}

TEST(Base64Decode, IncompleteFinalGroupIsNotCounted) {
  for (CodePath path : kPaths) {
    EXPECT_EQ(Decode("QUJDQQ", path).bytes, ToBytes("ABC"));
    EXPECT_EQ(Decode("QUJDQUI", path).bytes, ToBytes("ABC"));
    EXPECT_EQ(Decode("Q", path).bytes, ToBytes(""));
  }
}

// A final "=" counts two bytes beyond the complete groups, even where the
// text is shorter than a multiple of 4; those bytes lie inside the buffer
// (AddressSanitizer checks every read, including the zero behind them).
TEST(Base64Decode, CountedBytesStayInsideBuffer) {
  const std::pair<std::string_view, int> cases[] = {
      {"QUJD=", 5}, {"QUJDQ=", 5}, {"QUJD\n=", 5}, {"=", 2}, {"QUJDQUJDQUJDQUJDQUJD=", 17}};
  for (const auto &[text, expected] : cases) {
    unsigned char *bytes = nullptr;
    int length = 0;
    ASSERT_EQ(base64_decode(text.data(), static_cast<int>(text.size()), &bytes, &length), 0);
    EXPECT_EQ(length, expected) << text;
    EXPECT_EQ(bytes[length], 0) << text;
    EXPECT_EQ(bytes[length - 1], 0) << text;  // no bits stand behind the last character
    std::free(bytes);
  }
}

TEST(Base64RoundTrip, EveryLengthUpTo1000) {
  std::mt19937 random(5);
  for (std::size_t n = 0; n <= 1000; ++n) {
    const std::string data = RandomData(n, random);
    for (CodePath path : kPaths) {
      const Decoded decoded = Decode(Encode(data, path), path);
      ASSERT_EQ(decoded.status, 0);
      ASSERT_EQ(decoded.bytes, ToBytes(data)) << "length " << n;
    }
  }
}

TEST(Base64RoundTrip, CoreutilsOutputDecodes) {
  std::mt19937 random(9);
  for (std::size_t n : {1u, 2u, 54u, 55u, 56u, 3000u}) {
    const std::string data = RandomData(n, random);
    for (CodePath path : kPaths) {
      EXPECT_EQ(Decode(CoreutilsBase64(data), path).bytes, ToBytes(data)) << n;
    }
  }
}

TEST(Base64Memory, EncodeFailureLeavesNoResult) {
  tarnu_alloc_hook_fail_at(1);
  const unsigned char data[] = "abc";
  char *text = reinterpret_cast<char *>(1);
  int length = 5;
  EXPECT_EQ(base64_encode(data, 3, &text, &length), 12);
  tarnu_alloc_hook_reset();
  EXPECT_EQ(text, nullptr);
  EXPECT_EQ(length, 0);
}

TEST(Base64Memory, DecodeFailureLeavesNoResult) {
  tarnu_alloc_hook_fail_at(1);
  unsigned char *bytes = reinterpret_cast<unsigned char *>(1);
  int length = 5;
  EXPECT_EQ(base64_decode("QUJD", 4, &bytes, &length), 12);
  tarnu_alloc_hook_reset();
  EXPECT_EQ(bytes, nullptr);
  EXPECT_EQ(length, 0);
}

}  // namespace

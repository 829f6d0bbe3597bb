// String splitting and trimming.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "alloc_hook.h"
#include "tarnu/globals.h"

namespace {

struct Split {
  int status;
  int items;
  std::vector<std::string> fields;
  int slots;  // non-null slots before the terminating null, checked against items
};

// Splits `text` and checks the array's shape: `max` + 1 slots, the first
// `items` filled, all others null.
Split DoSplit(std::string_view text, char delimiter, int max) {
  char **array = nullptr;
  int items = max;
  const int status =
      strnsplit(text.data(), static_cast<int>(text.size()), delimiter, &array, &items);
  Split result{status, items, {}, 0};
  if (status != 0) {
    EXPECT_EQ(array, nullptr);
    return result;
  }
  EXPECT_NE(array, nullptr);
  for (int i = 0; i <= max; ++i) {
    if (i < items) {
      EXPECT_NE(array[i], nullptr);
      result.fields.emplace_back(array[i]);
      EXPECT_GT(std::strlen(array[i]), 0u) << "fields are never empty";
    } else {
      EXPECT_EQ(array[i], nullptr) << "slot " << i;
    }
  }
  EXPECT_EQ(strarray_free(&array), 0);
  EXPECT_EQ(array, nullptr);
  return result;
}

using Fields = std::vector<std::string>;

TEST(StrnsplitRules, RunsOfDelimitersCountAsOne) {
  EXPECT_EQ(DoSplit("a,,b", ',', 5).fields, (Fields{"a", "b"}));
  EXPECT_EQ(DoSplit("a,b,c", ',', 5).fields, (Fields{"a", "b", "c"}));
  EXPECT_EQ(DoSplit("abc", ',', 5).fields, (Fields{"abc"}));
}

TEST(StrnsplitRules, DelimitersAtEitherEndGiveNoField) {
  EXPECT_EQ(DoSplit(",a,", ',', 5).fields, (Fields{"a"}));
  EXPECT_EQ(DoSplit(",,a,,b,,", ',', 5).fields, (Fields{"a", "b"}));
  const Split only = DoSplit(",,,", ',', 3);
  EXPECT_EQ(only.status, 0);
  EXPECT_EQ(only.items, 0);
}

TEST(StrnsplitRules, LastAllowedFieldTakesTheRest) {
  EXPECT_EQ(DoSplit("a,b,c", ',', 2).fields, (Fields{"a", "b,c"}));
  EXPECT_EQ(DoSplit("a,b,", ',', 2).fields, (Fields{"a", "b,"}));
  EXPECT_EQ(DoSplit("a,,b,,c,,", ',', 2).fields, (Fields{"a", "b,,c,,"}));
  EXPECT_EQ(DoSplit("//host:80/x/y", '/', 2).fields, (Fields{"host:80", "x/y"}));
  EXPECT_EQ(DoSplit(",,a,b,", ',', 1).fields, (Fields{"a,b,"}));
  EXPECT_EQ(DoSplit("a,b,c", ',', 3).fields, (Fields{"a", "b", "c"}));
}

TEST(StrnsplitRules, OnlyThePrefixOfGivenLengthIsSplit) {
  EXPECT_EQ(DoSplit(std::string_view("a,b,c", 3), ',', 5).fields, (Fields{"a", "b"}));
  EXPECT_EQ(DoSplit(std::string_view("ab,c", 1), ',', 5).fields, (Fields{"a"}));
}

TEST(StrnsplitRules, ZeroOctetIsAnOrdinaryCharacter) {
  const std::string text("a\0b,c", 5);
  const Split split = DoSplit(text, ',', 5);
  EXPECT_EQ(split.items, 2);
  EXPECT_EQ(split.fields, (Fields{"a", "c"}));  // the C string of the first ends at the zero
}

TEST(StrnsplitArguments, InvalidArgumentsAreRefused) {
  char **array = reinterpret_cast<char **>(1);
  int items = 0;
  EXPECT_EQ(strnsplit("a,b", 3, ',', &array, &items), 22);
  EXPECT_EQ(array, reinterpret_cast<char **>(1)) << "untouched on invalid arguments";
  items = 2;
  EXPECT_EQ(strnsplit(nullptr, 3, ',', &array, &items), 22);
  EXPECT_EQ(strnsplit("a,b", 0, ',', &array, &items), 22);
  EXPECT_EQ(strnsplit("a,b", -1, ',', &array, &items), 22);
  EXPECT_EQ(strnsplit("a,b", 3, ',', nullptr, &items), 22);
  EXPECT_EQ(strnsplit("a,b", 3, ',', &array, nullptr), 22);
  items = -1;
  EXPECT_EQ(strnsplit("a,b", 3, ',', &array, &items), 22);
}

TEST(StrnsplitMemory, EveryFailedAllocationReleasesEverything) {
  const std::string_view text = ",alpha,,beta,gamma,delta";
  for (long n = 1;; ++n) {
    char **array = reinterpret_cast<char **>(1);
    int items = 3;
    tarnu_alloc_hook_fail_at(n);
    const int status = strnsplit(text.data(), static_cast<int>(text.size()), ',', &array, &items);
    tarnu_alloc_hook_reset();
    if (status == 0) {
      ASSERT_EQ(items, 3);
      EXPECT_STREQ(array[2], "gamma,delta");
      strarray_free(&array);
      break;
    }
    ASSERT_EQ(status, 12);
    EXPECT_EQ(array, nullptr);
    EXPECT_EQ(items, n <= 1 ? 0 : static_cast<int>(n - 2)) << "fields completed before failure";
  }
}

TEST(StrarrayFree, RefusesNullAndReleasesEmptyArray) {
  EXPECT_EQ(strarray_free(nullptr), 22);
  char **array = nullptr;
  EXPECT_EQ(strarray_free(&array), 22);
  int items = 4;
  ASSERT_EQ(strnsplit("::", 2, ':', &array, &items), 0);
  EXPECT_EQ(items, 0);
  EXPECT_EQ(strarray_free(&array), 0);
  EXPECT_EQ(array, nullptr);
}

std::string Chug(std::string text, int len) {
  text.resize(std::max<std::size_t>(text.size() + 1, static_cast<std::size_t>(len)), '\0');
  EXPECT_EQ(strnchug(text.data(), len), 0);
  return std::string(text.c_str());
}

TEST(Strnchug, RemovesOnlyLeadingSpaces) {
  EXPECT_EQ(Chug("   ab  ", 8), "ab  ");
  EXPECT_EQ(Chug("ab ", 4), "ab ");
  EXPECT_EQ(Chug("\tab", 4), "\tab");
  EXPECT_EQ(Chug(" \tab", 5), "\tab");
  EXPECT_EQ(Chug("    ", 5), "");
  EXPECT_EQ(Chug("", 1), "");
}

TEST(Strnchug, LooksNoFurtherThanLen) {
  EXPECT_EQ(Chug("   ab", 2), "");
  // Not terminated inside len: the kept characters end at len, and nothing at
  // or beyond len is touched.
  char buffer[8] = {' ', ' ', 'a', 'b', 'c', 'X', 'Y', '\0'};
  ASSERT_EQ(strnchug(buffer, 5), 0);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(buffer[5], 'X');
}

TEST(Strnchug, InvalidArgumentsAreRefused) {
  char text[] = " a";
  EXPECT_EQ(strnchug(nullptr, 3), 22);
  EXPECT_EQ(strnchug(text, 0), 22);
  EXPECT_STREQ(text, " a");
}

}  // namespace

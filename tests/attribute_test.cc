// Attribute list: newest first, first value wins, removal, walking, allocation failure.
#include "tarnu/attribute.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "alloc_hook.h"

namespace {

// The list functions take char * but never write through it.
char *Text(const char *text) {
  return const_cast<char *>(text);
}

// The names of a list, front to back.
std::vector<std::string> Names(Attribute *list) {
  std::vector<std::string> names;
  for (Attribute *node = list; node != nullptr; node = node->next) names.emplace_back(node->name);
  return names;
}

class AttributeTest : public ::testing::Test {
 protected:
  void TearDown() override {
    attribute_freeall(&list_);
    EXPECT_EQ(list_, nullptr);
  }
  void Add(const char *name, const char *value) {
    list_ = attribute_add(list_, Text(name), Text(value));
  }

  Attribute *list_ = nullptr;
};

TEST_F(AttributeTest, NewestFirstAndForeachVisitsFrontToBack) {
  Add("a", "1");
  Add("b", "2");
  EXPECT_EQ(Names(list_), (std::vector<std::string>{"b", "a"}));
  std::vector<std::string> visited;
  auto record = [](Attribute *node, void *data) {
    static_cast<std::vector<std::string> *>(data)->emplace_back(node->name);
    return 0;
  };
  EXPECT_EQ(attribute_foreach(list_, record, &visited), 0);
  EXPECT_EQ(visited, (std::vector<std::string>{"b", "a"}));
}

TEST_F(AttributeTest, FirstValueWinsAndTheListIsReturnedUnchanged) {
  Add("name", "first");
  Attribute *before = list_;
  EXPECT_EQ(attribute_add(list_, Text("name"), Text("second")), before);
  EXPECT_STREQ(attribute_get_value(list_, Text("name")), "first");
  EXPECT_EQ(Names(list_).size(), 1U);
}

TEST_F(AttributeTest, AddCopiesNameAndValue) {
  char name[] = "key";
  char value[] = "val";
  list_ = attribute_add(list_, name, value);
  name[0] = 'X';
  value[0] = 'X';
  EXPECT_STREQ(attribute_get_value(list_, Text("key")), "val");
  EXPECT_NE(list_->name, name);
  EXPECT_NE(list_->value, value);
}

TEST_F(AttributeTest, NullNameGivesNullAndLeavesTheListAlone) {
  Add("a", "1");
  EXPECT_EQ(attribute_add(list_, nullptr, Text("v")), nullptr);
  EXPECT_EQ(Names(list_), (std::vector<std::string>{"a"}));
}

TEST_F(AttributeTest, NameWithoutValueExistsButHasNoValue) {
  Add("flag", nullptr);
  Attribute *node = attribute_find(list_, Text("flag"));
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->value, nullptr);
  EXPECT_EQ(attribute_get_value(list_, Text("flag")), nullptr);
  EXPECT_EQ(attribute_get_value(list_, Text("missing")), nullptr);
  EXPECT_EQ(attribute_find(list_, Text("missing")), nullptr);
}

TEST_F(AttributeTest, NamesCompareExactly) {
  Add("Name", "upper");
  Add("name", "lower");
  Add("nam", "short");
  EXPECT_STREQ(attribute_get_value(list_, Text("Name")), "upper");
  EXPECT_STREQ(attribute_get_value(list_, Text("name")), "lower");
  EXPECT_STREQ(attribute_get_value(list_, Text("nam")), "short");
  EXPECT_EQ(attribute_find(list_, Text("names")), nullptr);
}

TEST_F(AttributeTest, LookupsWithNullArguments) {
  Add("a", "1");
  EXPECT_EQ(attribute_find(nullptr, Text("a")), nullptr);
  EXPECT_EQ(attribute_find(list_, nullptr), nullptr);
  EXPECT_EQ(attribute_get_value(nullptr, Text("a")), nullptr);
  EXPECT_EQ(attribute_get_value(list_, nullptr), nullptr);
}

TEST_F(AttributeTest, GetNameAndValueHandsOutTheNodesOwnStrings) {
  Add("a", "1");
  Add("b", nullptr);
  char *name = nullptr;
  char *value = Text("unset");
  EXPECT_EQ(attribute_get_name_and_value(list_, &name, &value), 0);
  EXPECT_EQ(name, list_->name);
  EXPECT_EQ(value, nullptr);
  EXPECT_EQ(attribute_get_name_and_value(list_->next, &name, &value), 0);
  EXPECT_EQ(value, list_->next->value);
  EXPECT_EQ(attribute_get_name_and_value(nullptr, &name, &value), EINVAL);
  EXPECT_EQ(attribute_get_name_and_value(list_, nullptr, &value), EINVAL);
  EXPECT_EQ(attribute_get_name_and_value(list_, &name, nullptr), EINVAL);
}

TEST_F(AttributeTest, ForeachStopsAtTheFirstNonZeroResult) {
  Add("c", "3");
  Add("b", "2");
  Add("a", "1");
  int calls = 0;
  auto five_on_second = [](Attribute *, void *data) {
    return ++*static_cast<int *>(data) == 2 ? 5 : 0;
  };
  EXPECT_EQ(attribute_foreach(list_, five_on_second, &calls), 5);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(attribute_foreach(nullptr, five_on_second, &calls), 0);
  EXPECT_EQ(attribute_foreach(list_, nullptr, &calls), 0);
  EXPECT_EQ(calls, 2);
}

TEST_F(AttributeTest, RemoveReturnsTheNewFirstNode) {
  Add("c", "3");
  Add("b", "2");
  Add("a", "1");
  Attribute *second = list_->next;
  list_ = attribute_remove(list_, Text("a"));
  EXPECT_EQ(list_, second);
  Attribute *first = list_;
  list_ = attribute_remove(list_, Text("c"));
  EXPECT_EQ(list_, first);
  EXPECT_EQ(Names(list_), (std::vector<std::string>{"b"}));
  EXPECT_EQ(attribute_remove(list_, Text("zzz")), first);
  EXPECT_EQ(attribute_remove(list_, nullptr), first);
  EXPECT_EQ(attribute_remove(nullptr, Text("b")), nullptr);
  list_ = attribute_remove(list_, Text("b"));
  EXPECT_EQ(list_, nullptr);
}

TEST_F(AttributeTest, RemoveFromTheMiddleKeepsTheRest) {
  Add("c", "3");
  Add("b", "2");
  Add("a", "1");
  list_ = attribute_remove(list_, Text("b"));
  EXPECT_EQ(Names(list_), (std::vector<std::string>{"a", "c"}));
  EXPECT_STREQ(attribute_get_value(list_, Text("c")), "3");
}

TEST_F(AttributeTest, FreeallOnNullOrEmpty) {
  attribute_freeall(nullptr);
  attribute_freeall(&list_);
  EXPECT_EQ(list_, nullptr);
}

// Every allocation of attribute_add (node, name copy, value copy) may fail:
// the list comes back unchanged and nothing leaks (checked by LeakSanitizer).
TEST_F(AttributeTest, FailedCopiesLeaveTheListUnchanged) {
  for (const char *value : {"v", static_cast<const char *>(nullptr)}) {
    Add("old", "1");
    Attribute *before = list_;
    int failures = 0;
    for (long n = 1;; ++n) {
      tarnu_alloc_hook_fail_at(n);
      Attribute *result = attribute_add(list_, Text("new"), Text(value));
      tarnu_alloc_hook_reset();
      if (result != before) {
        list_ = result;
        break;
      }
      ++failures;
      EXPECT_EQ(Names(list_), (std::vector<std::string>{"old"})) << n;
    }
    EXPECT_EQ(failures, value != nullptr ? 3 : 2);
    EXPECT_EQ(Names(list_), (std::vector<std::string>{"new", "old"}));
    attribute_freeall(&list_);
  }
}

}  // namespace

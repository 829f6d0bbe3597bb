// Singly linked list: order, lookup by index, removal by pointer, allocation failure.
#include "tarnu/slist.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "alloc_hook.h"

namespace {

// The items of a list, front to back, walked with the public accessors.
std::vector<void *> Items(SList *list) {
  std::vector<void *> items;
  for (SList *node = list; node != nullptr; node = slist_get_next(node)) {
    items.push_back(slist_get_data(node));
  }
  return items;
}

class ListTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(slist_free(&list_), 0); }
  void Add(std::initializer_list<int *> items) {
    for (int *item : items) ASSERT_EQ(slist_item_add(&list_, item), 0);
  }

  SList *list_ = nullptr;
  int a_ = 1, b_ = 2, c_ = 3;
};

TEST_F(ListTest, AddAppendsInOrder) {
  Add({&a_, &b_, &c_});
  EXPECT_EQ(Items(list_), (std::vector<void *>{&a_, &b_, &c_}));
}

TEST_F(ListTest, GetByIndexStopsAtTheEnd) {
  Add({&a_, &b_, &c_});
  void *item = nullptr;
  EXPECT_EQ(slist_item_get(list_, 0, &item), 0);
  EXPECT_EQ(item, &a_);
  EXPECT_EQ(slist_item_get(list_, 2, &item), 0);
  EXPECT_EQ(item, &c_);
  void *untouched = &b_;
  EXPECT_EQ(slist_item_get(list_, 3, &untouched), ENOENT);
  EXPECT_EQ(slist_item_get(list_, -1, &untouched), ENOENT);
  EXPECT_EQ(untouched, &b_);
  EXPECT_EQ(slist_item_get(nullptr, 0, &item), EINVAL);
  EXPECT_EQ(slist_item_get(list_, 0, nullptr), EINVAL);
}

TEST_F(ListTest, CountOfTheEmptyListIsEinval) {
  int count = 42;
  EXPECT_EQ(slist_item_count(list_, &count), EINVAL);
  EXPECT_EQ(count, 42);
  Add({&a_, &b_});
  EXPECT_EQ(slist_item_count(list_, &count), 0);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(slist_item_count(list_, nullptr), EINVAL);
}

TEST_F(ListTest, SamePointerTwiceIsStoredTwiceAndRemovedEarliestFirst) {
  Add({&a_, &b_, &a_, &c_});
  EXPECT_EQ(slist_item_remove(&list_, &a_), 0);
  EXPECT_EQ(Items(list_), (std::vector<void *>{&b_, &a_, &c_}));
  EXPECT_EQ(slist_item_remove(&list_, &a_), 0);
  EXPECT_EQ(Items(list_), (std::vector<void *>{&b_, &c_}));
}

TEST_F(ListTest, RemoveComparesPointersNotContents) {
  int twin_of_a = a_;
  Add({&a_, &b_});
  EXPECT_EQ(slist_item_remove(&list_, &twin_of_a), ENOENT);
  EXPECT_EQ(Items(list_), (std::vector<void *>{&a_, &b_}));
}

TEST_F(ListTest, RemoveFirstMiddleAndLast) {
  Add({&a_, &b_, &c_});
  EXPECT_EQ(slist_item_remove(&list_, &b_), 0);
  EXPECT_EQ(Items(list_), (std::vector<void *>{&a_, &c_}));
  EXPECT_EQ(slist_item_remove(&list_, &c_), 0);
  EXPECT_EQ(Items(list_), (std::vector<void *>{&a_}));
  EXPECT_EQ(slist_item_remove(&list_, &a_), 0);
  EXPECT_EQ(list_, nullptr);
  Add({&b_});  // the emptied list is usable again
  EXPECT_EQ(Items(list_), (std::vector<void *>{&b_}));
}

TEST_F(ListTest, RemoveArgumentErrors) {
  EXPECT_EQ(slist_item_remove(&list_, &a_), EINVAL);  // empty list
  Add({&a_});
  EXPECT_EQ(slist_item_remove(nullptr, &a_), EINVAL);
  EXPECT_EQ(slist_item_remove(&list_, nullptr), EINVAL);
  EXPECT_EQ(slist_item_remove(&list_, &b_), ENOENT);
}

TEST_F(ListTest, NullCannotBeStored) {
  EXPECT_EQ(slist_item_add(&list_, nullptr), EINVAL);
  EXPECT_EQ(list_, nullptr);
  EXPECT_EQ(slist_item_add(nullptr, &a_), EINVAL);
}

TEST_F(ListTest, FreeClearsTheHandleAndAgainGivesZero) {
  Add({&a_, &b_});
  EXPECT_EQ(slist_free(&list_), 0);
  EXPECT_EQ(list_, nullptr);
  EXPECT_EQ(slist_free(&list_), 0);
  EXPECT_EQ(slist_free(nullptr), EINVAL);
}

TEST_F(ListTest, AccessorsOnNullNode) {
  EXPECT_EQ(slist_get_next(nullptr), nullptr);
  EXPECT_EQ(slist_get_data(nullptr), nullptr);
}

TEST_F(ListTest, FirstInFirstOutUse) {
  Add({&a_, &b_, &c_});
  std::vector<void *> taken;
  while (list_ != nullptr) {
    void *first = slist_get_data(list_);
    taken.push_back(first);
    ASSERT_EQ(slist_item_remove(&list_, first), 0);
  }
  EXPECT_EQ(taken, (std::vector<void *>{&a_, &b_, &c_}));
}

TEST_F(ListTest, FailedAddGivesEnomemAndLeavesTheListUnchanged) {
  Add({&a_, &b_});
  tarnu_alloc_hook_fail_at(1);
  EXPECT_EQ(slist_item_add(&list_, &c_), ENOMEM);
  tarnu_alloc_hook_reset();
  EXPECT_EQ(Items(list_), (std::vector<void *>{&a_, &b_}));
  SList *empty = nullptr;
  tarnu_alloc_hook_fail_at(1);
  EXPECT_EQ(slist_item_add(&empty, &c_), ENOMEM);
  tarnu_alloc_hook_reset();
  EXPECT_EQ(empty, nullptr);
}

}  // namespace

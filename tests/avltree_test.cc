// AVL tree: shapes and balance factors, invariants on random input, lazy
// removal and revival, positional nodes, iterative release, allocation failure.
#include "tarnu/avltree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <numeric>
#include <random>
#include <vector>

#include "alloc_hook.h"

namespace {

int CompareInts(const void *key, const void *item) {
  int a = *static_cast<const int *>(key);
  int b = *static_cast<const int *>(item);
  return (a > b) - (a < b);
}

// Orders a long key against int items, as CompareInts orders ints.
int CompareLongToInt(const void *key, const void *item) {
  long a = *static_cast<const long *>(key);
  long b = *static_cast<const int *>(item);
  return (a > b) - (a < b);
}

// Counts destroy calls per item and records their order.
std::map<const void *, int> destroyed;
std::vector<int> destroy_order;
int RecordDestroy(void *item) {
  ++destroyed[item];
  destroy_order.push_back(*static_cast<int *>(item));
  return 0;
}

// One node as seen in a pre-order walk, for comparing whole trees.
struct NodeView {
  void *data;
  int hidden;
  int factor;
  bool has_left;
  bool has_right;
  bool operator==(const NodeView &) const = default;
};

void Snapshot(const AVLNode *node, std::vector<NodeView> &out) {
  if (node == nullptr) return;
  out.push_back(
      {node->data, node->hidden, node->factor, node->left != nullptr, node->right != nullptr});
  Snapshot(node->left, out);
  Snapshot(node->right, out);
}

std::vector<NodeView> Snapshot(const AVLTree *tree) {
  std::vector<NodeView> out;
  Snapshot(tree->root, out);
  return out;
}

// Checks order, heights against factors and AVL balance; returns the height
// and adds the subtree's items in order to `items`.
int CheckSubtree(const AVLNode *node, std::vector<int> &items) {
  if (node == nullptr) return 0;
  int left = CheckSubtree(node->left, items);
  items.push_back(*static_cast<const int *>(node->data));
  int right = CheckSubtree(node->right, items);
  EXPECT_EQ(node->factor, left - right) << "at " << items.back();
  EXPECT_LE(std::abs(left - right), 1) << "at " << items.back();
  return 1 + std::max(left, right);
}

void ExpectValidAvl(const AVLTree *tree) {
  std::vector<int> items;
  CheckSubtree(tree->root, items);
  EXPECT_TRUE(std::is_sorted(items.begin(), items.end()));
  EXPECT_EQ(std::adjacent_find(items.begin(), items.end()), items.end());
  EXPECT_EQ(items.size(), tree->size);
}

int Height(const AVLNode *node) {
  return node == nullptr ? 0 : 1 + std::max(Height(node->left), Height(node->right));
}

int Value(const AVLNode *node) {
  return *static_cast<const int *>(node->data);
}

class AvlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    destroyed.clear();
    destroy_order.clear();
    ASSERT_EQ(avltree_new(&tree_, CompareInts, RecordDestroy), 0);
    items_.resize(64);
    std::iota(items_.begin(), items_.end(), 0);
  }
  void TearDown() override {
    if (tree_ != nullptr) {
      EXPECT_EQ(avltree_free(&tree_), 0);
    }
  }
  void Insert(std::initializer_list<int> values) {
    for (int v : values) ASSERT_EQ(avltree_insert(tree_, &items_[v]), 0) << v;
  }

  AVLTree *tree_ = nullptr;
  std::vector<int> items_;  // items_[v] == v
};

TEST_F(AvlTest, AscendingAndDescendingTriplesRotateToTheSameShape) {
  for (auto order : {std::vector<int>{1, 2, 3}, std::vector<int>{3, 2, 1}}) {
    ASSERT_EQ(avltree_remove_left(tree_, nullptr), 0);
    for (int v : order) ASSERT_EQ(avltree_insert(tree_, &items_[v]), 0);
    const AVLNode *root = tree_->root;
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(Value(root), 2);
    ASSERT_NE(root->left, nullptr);
    ASSERT_NE(root->right, nullptr);
    EXPECT_EQ(Value(root->left), 1);
    EXPECT_EQ(Value(root->right), 3);
    EXPECT_EQ(root->factor, 0);
    EXPECT_EQ(root->left->factor, 0);
    EXPECT_EQ(root->right->factor, 0);
    EXPECT_EQ(tree_->size, 3UL);
  }
}

TEST_F(AvlTest, DoubleRotationsPutTheMiddleItemAtTheRoot) {
  for (auto order : {std::vector<int>{3, 1, 2}, std::vector<int>{1, 3, 2}}) {
    ASSERT_EQ(avltree_remove_left(tree_, nullptr), 0);
    for (int v : order) ASSERT_EQ(avltree_insert(tree_, &items_[v]), 0);
    EXPECT_EQ(Value(tree_->root), 2);
    EXPECT_EQ(Value(tree_->root->left), 1);
    EXPECT_EQ(Value(tree_->root->right), 3);
    ExpectValidAvl(tree_);
  }
}

// Double rotation at 50 through 40: the new factors depend on which side of 40
// the new leaf went.
TEST_F(AvlTest, DoubleRotationFactorsFollowTheMiddleNodesLean) {
  Insert({50, 30, 60, 20, 40, 45});  // 40 leaned right
  AVLNode *root = tree_->root;
  EXPECT_EQ(Value(root), 40);
  EXPECT_EQ(root->factor, 0);
  EXPECT_EQ(Value(root->left), 30);
  EXPECT_EQ(root->left->factor, 1);
  EXPECT_EQ(Value(root->right), 50);
  EXPECT_EQ(root->right->factor, 0);
  EXPECT_EQ(Value(root->right->left), 45);
  ExpectValidAvl(tree_);

  ASSERT_EQ(avltree_remove_left(tree_, nullptr), 0);
  Insert({50, 30, 60, 20, 40, 35});  // 40 leaned left
  root = tree_->root;
  EXPECT_EQ(Value(root), 40);
  EXPECT_EQ(root->left->factor, 0);
  EXPECT_EQ(Value(root->left->right), 35);
  EXPECT_EQ(root->right->factor, -1);
  ExpectValidAvl(tree_);

  ASSERT_EQ(avltree_remove_left(tree_, nullptr), 0);
  Insert({10, 30, 5, 40, 20, 25});  // mirror image: rotation at 10 through 20
  root = tree_->root;
  EXPECT_EQ(Value(root), 20);
  EXPECT_EQ(root->factor, 0);
  EXPECT_EQ(root->left->factor, 1);
  EXPECT_EQ(Value(root->right), 30);
  EXPECT_EQ(root->right->factor, 0);
  ExpectValidAvl(tree_);
}

TEST_F(AvlTest, RandomInsertionSequencesKeepTheInvariants) {
  std::mt19937 random(12345);
  std::vector<int> values(2000);
  std::iota(values.begin(), values.end(), 0);
  for (int round = 0; round < 20; ++round) {
    AVLTree *tree = nullptr;
    ASSERT_EQ(avltree_new(&tree, CompareInts, nullptr), 0);
    std::shuffle(values.begin(), values.end(), random);
    size_t count = 50 + round * 97;
    for (size_t i = 0; i < count; ++i) ASSERT_EQ(avltree_insert(tree, &values[i]), 0);
    ExpectValidAvl(tree);
    EXPECT_EQ(tree->size, count);
    for (size_t i = 0; i < values.size(); ++i) {
      void *found = avltree_find(tree, &values[i]);
      EXPECT_EQ(found, i < count ? &values[i] : nullptr) << values[i];
    }
    ASSERT_EQ(avltree_free(&tree), 0);
  }
}

// avltree_insert descends without recursion; the exported recursive step must
// build exactly the same tree, factors included.
TEST_F(AvlTest, RecursiveInsertionBuildsTheSameTree) {
  std::mt19937 random(777);
  std::vector<int> values(600);
  std::iota(values.begin(), values.end(), -300);
  std::shuffle(values.begin(), values.end(), random);
  AVLTree *iterative = nullptr;
  AVLTree *recursive = nullptr;
  ASSERT_EQ(avltree_new(&iterative, CompareInts, nullptr), 0);
  ASSERT_EQ(avltree_new(&recursive, CompareInts, nullptr), 0);
  ASSERT_EQ(avltree_insert(recursive, &values[0]), 0);
  ASSERT_EQ(avltree_insert(iterative, &values[0]), 0);
  for (size_t i = 1; i < values.size(); ++i) {
    // *balanced stays 0 exactly when the whole tree grew a level.
    int height_before = Height(recursive->root);
    int balanced = 0;
    ASSERT_EQ(avltree_insert_recurse(recursive, &recursive->root, &values[i], &balanced), 0);
    EXPECT_EQ(balanced == 0, Height(recursive->root) > height_before);
    ASSERT_EQ(avltree_insert(iterative, &values[i]), 0);
    ASSERT_EQ(Snapshot(iterative), Snapshot(recursive)) << "after " << values[i];
  }
  ExpectValidAvl(recursive);
  int balanced = 0;
  EXPECT_EQ(avltree_insert_recurse(recursive, &recursive->root, &values[3], &balanced), EEXIST);
  EXPECT_EQ(avltree_insert_recurse(nullptr, &recursive->root, &values[3], &balanced), EINVAL);
  EXPECT_EQ(avltree_insert_recurse(recursive, nullptr, &values[3], &balanced), EINVAL);
  EXPECT_EQ(avltree_insert_recurse(recursive, &recursive->root, nullptr, &balanced), EINVAL);
  EXPECT_EQ(avltree_insert_recurse(recursive, &recursive->root, &values[3], nullptr), EINVAL);
  AVLNode *empty = nullptr;
  EXPECT_EQ(avltree_insert_recurse(recursive, &empty, &values[3], &balanced), EINVAL);
  ASSERT_EQ(avltree_free(&iterative), 0);
  ASSERT_EQ(avltree_free(&recursive), 0);
}

// Builds a zig-zag chain of `length` positional nodes (0, 1000, 1, 999, ...):
// every factor is 0, so a balanced insertion of 500 walks the whole chain and
// adjusts every factor on it.
void BuildZigZagChain(AVLTree *tree, int length, std::vector<int> &values) {
  values.resize(length);
  for (int i = 0; i < length; ++i) values[i] = i % 2 == 0 ? i / 2 : 1000 - i / 2;
  ASSERT_EQ(avltree_insert_left(tree, nullptr, &values[0]), 0);
  AVLNode *last = tree->root;
  for (int i = 1; i < length; ++i) {
    bool right = i % 2 == 1;
    ASSERT_EQ((right ? avltree_insert_right : avltree_insert_left)(tree, last, &values[i]), 0);
    last = right ? last->right : last->left;
  }
}

// Regression: the directions taken below the deepest unbalanced node are
// remembered for at most 64 steps; paths of that length and just beyond must
// give the same factors as the recursive step.
TEST(AvlDeepTree, LongEvenPathsGetTheSameFactorsAsTheRecursiveStep) {
  for (int length : {2, 63, 64, 65, 66, 200}) {
    std::vector<int> values;
    AVLTree *iterative = nullptr;
    AVLTree *recursive = nullptr;
    ASSERT_EQ(avltree_new(&iterative, CompareInts, nullptr), 0);
    ASSERT_EQ(avltree_new(&recursive, CompareInts, nullptr), 0);
    BuildZigZagChain(iterative, length, values);
    BuildZigZagChain(recursive, length, values);
    int middle = 500;
    int balanced = 0;
    ASSERT_EQ(avltree_insert(iterative, &middle), 0) << length;
    ASSERT_EQ(avltree_insert_recurse(recursive, &recursive->root, &middle, &balanced), 0);
    std::vector<NodeView> got = Snapshot(iterative);
    EXPECT_EQ(got, Snapshot(recursive)) << length;
    // The chain now leans along its whole length towards the new leaf.
    ASSERT_EQ(got.size(), static_cast<size_t>(length) + 1);
    for (int i = 0; i < length; ++i) EXPECT_EQ(got[i].factor, i % 2 == 0 ? -1 : 1) << i;
    EXPECT_EQ(iterative->size, static_cast<unsigned long>(length) + 1);
    ASSERT_EQ(avltree_free(&iterative), 0);
    ASSERT_EQ(avltree_free(&recursive), 0);
  }
}

TEST_F(AvlTest, EqualVisibleItemIsRefused) {
  Insert({5, 3, 8});
  int another_five = 5;
  std::vector<NodeView> before = Snapshot(tree_);
  EXPECT_EQ(avltree_insert(tree_, &another_five), EEXIST);
  EXPECT_EQ(tree_->size, 3UL);
  EXPECT_EQ(Snapshot(tree_), before);
  EXPECT_EQ(avltree_find(tree_, &another_five), &items_[5]);
}

TEST_F(AvlTest, LazyRemovalHidesWithoutReleasing) {
  Insert({5, 3, 8, 1});
  EXPECT_EQ(avltree_remove(tree_, &items_[3]), 0);
  EXPECT_EQ(avltree_find(tree_, &items_[3]), nullptr);
  EXPECT_EQ(avltree_exists(tree_, &items_[3]), 0);
  EXPECT_EQ(tree_->size, 4UL);
  EXPECT_TRUE(destroyed.empty());
  EXPECT_EQ(avltree_remove(tree_, &items_[3]), 0);  // hidden already
  EXPECT_EQ(avltree_remove(tree_, &items_[4]), ENOENT);
  EXPECT_EQ(avltree_find(tree_, &items_[1]), &items_[1]);  // below the hidden node
  EXPECT_EQ(avltree_exists(tree_, &items_[1]), 1);
  ExpectValidAvl(tree_);
}

TEST_F(AvlTest, RemoveOnEmptyTreeAndNullArguments) {
  EXPECT_EQ(avltree_remove(tree_, &items_[1]), ENOENT);
  EXPECT_EQ(avltree_remove(nullptr, &items_[1]), EINVAL);
  EXPECT_EQ(avltree_remove(tree_, nullptr), EINVAL);
  EXPECT_EQ(avltree_find(nullptr, &items_[1]), nullptr);
  EXPECT_EQ(avltree_find(tree_, nullptr), nullptr);
  EXPECT_EQ(avltree_insert(nullptr, &items_[1]), EINVAL);
  EXPECT_EQ(avltree_insert(tree_, nullptr), EINVAL);
  EXPECT_EQ(tree_->size, 0UL);
}

TEST_F(AvlTest, InsertingAnEqualItemRevivesAHiddenOneInPlace) {
  Insert({5, 3, 8, 1, 4});
  ASSERT_EQ(avltree_remove(tree_, &items_[3]), 0);
  std::vector<NodeView> before = Snapshot(tree_);
  int new_three = 3;
  EXPECT_EQ(avltree_insert(tree_, &new_three), 0);
  EXPECT_EQ(avltree_find(tree_, &items_[3]), &new_three);
  EXPECT_EQ(tree_->size, 5UL);
  std::vector<NodeView> after = Snapshot(tree_);
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(after[i].factor, before[i].factor);
    EXPECT_EQ(after[i].has_left, before[i].has_left);
    EXPECT_EQ(after[i].has_right, before[i].has_right);
    EXPECT_EQ(after[i].hidden, 0);
  }
  // The replaced item left the tree without destroy; the new one is released.
  ASSERT_EQ(avltree_free(&tree_), 0);
  EXPECT_EQ(destroyed.count(&items_[3]), 0U);
  EXPECT_EQ(destroyed[&new_three], 1);
}

TEST_F(AvlTest, FreeDestroysEveryItemOnceHiddenOnesIncluded) {
  for (int v = 0; v < 40; ++v) ASSERT_EQ(avltree_insert(tree_, &items_[(v * 17) % 40]), 0);
  for (int v = 0; v < 40; v += 3) ASSERT_EQ(avltree_remove(tree_, &items_[v]), 0);
  ASSERT_EQ(avltree_free(&tree_), 0);
  EXPECT_EQ(tree_, nullptr);
  ASSERT_EQ(destroyed.size(), 40U);
  for (const auto &[item, calls] : destroyed) EXPECT_EQ(calls, 1);
  EXPECT_EQ(avltree_free(&tree_), EINVAL);
  EXPECT_EQ(avltree_free(nullptr), EINVAL);
}

TEST_F(AvlTest, RemovingTheWholeTreeBringsSizeToZero) {
  Insert({5, 3, 8, 1, 4, 9});
  EXPECT_EQ(avltree_remove_right(tree_, nullptr), 0);
  EXPECT_EQ(tree_->size, 0UL);
  EXPECT_EQ(tree_->root, nullptr);
  EXPECT_EQ(destroyed.size(), 6U);
  Insert({7});  // the emptied tree is usable again
  EXPECT_EQ(tree_->size, 1UL);
}

TEST_F(AvlTest, PositionalInsertionRules) {
  EXPECT_EQ(avltree_insert_left(tree_, nullptr, &items_[1]), 0);
  ASSERT_NE(tree_->root, nullptr);
  EXPECT_EQ(tree_->root->data, &items_[1]);
  EXPECT_EQ(avltree_insert_left(tree_, nullptr, &items_[2]), EINVAL);
  EXPECT_EQ(avltree_insert_right(tree_, nullptr, &items_[2]), EINVAL);
  AVLNode *root = tree_->root;
  EXPECT_EQ(avltree_insert_left(tree_, root, &items_[2]), 0);
  EXPECT_EQ(avltree_insert_left(tree_, root, &items_[3]), EINVAL);
  EXPECT_EQ(avltree_insert_right(tree_, root, &items_[3]), 0);
  EXPECT_EQ(avltree_insert_right(tree_, root, &items_[4]), EINVAL);
  EXPECT_EQ(avltree_insert_left(nullptr, root, &items_[4]), EINVAL);
  EXPECT_EQ(tree_->size, 3UL);
  EXPECT_EQ(root->left->data, &items_[2]);
  EXPECT_EQ(root->right->data, &items_[3]);
  for (const AVLNode *node : {root, root->left, root->right}) {
    EXPECT_EQ(node->factor, 0);
    EXPECT_EQ(node->hidden, 0);
  }
}

TEST_F(AvlTest, SubtreeRemovalIsPostOrderAndClearsTheLink) {
  // root 1: left 2 (left 4, right 5), right 3.
  ASSERT_EQ(avltree_insert_left(tree_, nullptr, &items_[1]), 0);
  AVLNode *root = tree_->root;
  ASSERT_EQ(avltree_insert_left(tree_, root, &items_[2]), 0);
  ASSERT_EQ(avltree_insert_right(tree_, root, &items_[3]), 0);
  ASSERT_EQ(avltree_insert_left(tree_, root->left, &items_[4]), 0);
  ASSERT_EQ(avltree_insert_right(tree_, root->left, &items_[5]), 0);
  ASSERT_EQ(avltree_remove(tree_, &items_[1]), 0);  // a hidden root is still destroyed

  std::vector<NodeView> before = Snapshot(tree_);
  EXPECT_EQ(avltree_remove_right(tree_, root->right), 0);  // no right child
  EXPECT_EQ(Snapshot(tree_), before);
  EXPECT_TRUE(destroy_order.empty());

  EXPECT_EQ(avltree_remove_left(tree_, root), 0);
  EXPECT_EQ(root->left, nullptr);
  EXPECT_EQ(tree_->size, 2UL);
  EXPECT_EQ(destroy_order, (std::vector<int>{4, 5, 2}));
  EXPECT_EQ(avltree_remove_left(nullptr, root), EINVAL);
  EXPECT_EQ(avltree_remove_right(nullptr, root), EINVAL);

  destroy_order.clear();
  EXPECT_EQ(avltree_remove_left(tree_, nullptr), 0);
  EXPECT_EQ(destroy_order, (std::vector<int>{3, 1}));
  EXPECT_EQ(tree_->size, 0UL);
}

TEST_F(AvlTest, PostOrderHoldsOnAZigZagPositionalTree) {
  // Alternating sides exercise every turn of the iterative release.
  ASSERT_EQ(avltree_insert_left(tree_, nullptr, &items_[0]), 0);
  AVLNode *node = tree_->root;
  for (int v = 1; v < 10; ++v) {
    int status = v % 2 ? avltree_insert_right(tree_, node, &items_[v])
                       : avltree_insert_left(tree_, node, &items_[v]);
    ASSERT_EQ(status, 0);
    ASSERT_EQ(avltree_insert_left(tree_, node, &items_[20 + v]), v % 2 ? 0 : EINVAL);
    node = v % 2 ? node->right : node->left;
  }
  // Expected order by a recursive post-order walk of the same shape.
  std::vector<int> expected;
  auto walk = [&expected](auto &&self, const AVLNode *n) -> void {
    if (n == nullptr) return;
    self(self, n->left);
    self(self, n->right);
    expected.push_back(Value(n));
  };
  walk(walk, tree_->root);
  ASSERT_EQ(avltree_free(&tree_), 0);
  EXPECT_EQ(destroy_order, expected);
}

// Regression: releasing a degenerate positional tree recursed once per level
// and a long chain overflowed the stack.
TEST(AvlDeepTree, MillionNodeChainIsReleasedWithoutRecursion) {
  constexpr int kNodes = 1000000;
  std::vector<int> values(kNodes);
  std::iota(values.begin(), values.end(), 0);
  static long releases = 0;
  releases = 0;
  AVLTree *tree = nullptr;
  ASSERT_EQ(avltree_new(&tree, CompareInts, [](void *) { return static_cast<int>(++releases); }),
            0);
  ASSERT_EQ(avltree_insert_left(tree, nullptr, &values[0]), 0);
  AVLNode *last = tree->root;
  for (int i = 1; i < kNodes; ++i) {
    ASSERT_EQ(avltree_insert_right(tree, last, &values[i]), 0);
    last = last->right;
  }
  // Balanced insertion descends iteratively too, whatever the depth.
  int beyond = kNodes;
  ASSERT_EQ(avltree_insert(tree, &beyond), 0);
  EXPECT_EQ(avltree_find(tree, &values[kNodes - 1]), &values[kNodes - 1]);
  EXPECT_EQ(tree->size, static_cast<unsigned long>(kNodes) + 1);
  ASSERT_EQ(avltree_remove_right(tree, tree->root), 0);
  EXPECT_EQ(releases, kNodes);
  EXPECT_EQ(tree->size, 1UL);
  ASSERT_EQ(avltree_free(&tree), 0);
  EXPECT_EQ(releases, kNodes + 1);
}

TEST(AvlNullCompare, SearchingOperationsRefuseInsteadOfCrashing) {
  int one = 1, two = 2;
  AVLTree *tree = nullptr;
  ASSERT_EQ(avltree_new(&tree, nullptr, nullptr), 0);
  EXPECT_EQ(avltree_insert(tree, &one), EINVAL);
  EXPECT_EQ(tree->size, 0UL);
  ASSERT_EQ(avltree_insert_left(tree, nullptr, &one), 0);  // positional needs no order
  EXPECT_EQ(avltree_insert(tree, &two), EINVAL);
  EXPECT_EQ(avltree_find(tree, &one), nullptr);
  EXPECT_EQ(avltree_exists(tree, &one), 0);
  EXPECT_EQ(avltree_remove(tree, &one), EINVAL);
  int balanced = 0;
  EXPECT_EQ(avltree_insert_recurse(tree, &tree->root, &two, &balanced), EINVAL);
  EXPECT_EQ(avltree_find_by_compare(tree, CompareInts, &one), &one);
  EXPECT_EQ(tree->size, 1UL);
  ASSERT_EQ(avltree_free(&tree), 0);
}

TEST_F(AvlTest, FindByAnotherCompareThatOrdersTheSame) {
  Insert({10, 4, 15, 2, 7, 12, 20});
  long key = 7;
  EXPECT_EQ(avltree_find_by_compare(tree_, CompareLongToInt, &key), &items_[7]);
  EXPECT_EQ(avltree_exists_by_compare(tree_, CompareLongToInt, &key), 1);
  key = 8;
  EXPECT_EQ(avltree_find_by_compare(tree_, CompareLongToInt, &key), nullptr);
  EXPECT_EQ(avltree_exists_by_compare(tree_, CompareLongToInt, &key), 0);
  key = 7;
  EXPECT_EQ(avltree_find_by_compare(tree_, nullptr, &key), nullptr);
  EXPECT_EQ(avltree_find_by_compare(nullptr, CompareLongToInt, &key), nullptr);
  EXPECT_EQ(avltree_find_by_compare(tree_, CompareLongToInt, nullptr), nullptr);
  ASSERT_EQ(avltree_remove(tree_, &items_[7]), 0);
  EXPECT_EQ(avltree_find_by_compare(tree_, CompareLongToInt, &key), nullptr);
}

TEST(AvlRotation, NullOrMissingChildrenAreLeftAlone) {
  avl_rotate_left(nullptr);
  avl_rotate_right(nullptr);
  AVLNode *none = nullptr;
  avl_rotate_left(&none);
  avl_rotate_right(&none);
  EXPECT_EQ(none, nullptr);
  int item = 0;
  AVLNode child{nullptr, nullptr, &item, 0, 0};
  AVLNode top{&child, nullptr, &item, 0, 2};
  AVLNode *link = &top;
  avl_rotate_right(&link);  // no right child
  avl_rotate_left(&link);   // double rotation needs the left child's right child
  EXPECT_EQ(link, &top);
  EXPECT_EQ(top.left, &child);
}

TEST(AvlAllocation, NewFailureGivesEnomemAndNullHandle) {
  AVLTree sentinel{};
  AVLTree *tree = &sentinel;
  tarnu_alloc_hook_fail_at(1);
  EXPECT_EQ(avltree_new(&tree, CompareInts, nullptr), ENOMEM);
  tarnu_alloc_hook_reset();
  EXPECT_EQ(tree, nullptr);
  EXPECT_EQ(avltree_new(nullptr, CompareInts, nullptr), EINVAL);
}

TEST_F(AvlTest, FailedInsertionsLeaveTheTreeAsItWas) {
  // Empty tree, then a full tree where the new leaf would trigger rotations.
  tarnu_alloc_hook_fail_at(1);
  EXPECT_EQ(avltree_insert(tree_, &items_[5]), ENOMEM);
  tarnu_alloc_hook_reset();
  EXPECT_EQ(tree_->root, nullptr);
  EXPECT_EQ(tree_->size, 0UL);

  Insert({50, 30, 60, 20, 40, 10});  // 30 (20 (10), 50 (40, 60))
  AVLNode *ten = tree_->root->left->left;
  AVLNode *sixty = tree_->root->right->right;
  ASSERT_EQ(Value(ten), 10);
  ASSERT_EQ(Value(sixty), 60);
  std::vector<NodeView> before = Snapshot(tree_);
  for (int v : {5, 35, 45, 61}) {
    tarnu_alloc_hook_fail_at(1);
    EXPECT_EQ(avltree_insert(tree_, &items_[v]), ENOMEM) << v;
    int balanced = 0;
    EXPECT_EQ(avltree_insert_recurse(tree_, &tree_->root, &items_[v], &balanced), ENOMEM) << v;
    EXPECT_EQ(avltree_insert_left(tree_, ten, &items_[v]), ENOMEM);
    EXPECT_EQ(avltree_insert_right(tree_, sixty, &items_[v]), ENOMEM);
    tarnu_alloc_hook_reset();
    EXPECT_EQ(Snapshot(tree_), before) << v;
    EXPECT_EQ(tree_->size, 6UL);
  }
  Insert({5});
  ExpectValidAvl(tree_);
}

}  // namespace

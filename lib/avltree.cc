// Height-balanced binary search tree with lazy removal and positional nodes.
#include "tarnu/avltree.h"

#include <cerrno>
#include <cstdint>

#include "alloc.h"

using tarnu::detail::Free;
using tarnu::detail::Malloc;
using tarnu::detail::NewZeroed;

namespace {

// Direction of a step, in balance-factor terms: +1 is the left side.
constexpr int kLeft = 1;
constexpr int kRight = -1;

// A fresh leaf holding data; null when the allocation fails.
AVLNode *NewLeaf(void *data) {
  auto *node = static_cast<AVLNode *>(Malloc(sizeof(AVLNode)));
  if (node == nullptr) return nullptr;
  *node = AVLNode{nullptr, nullptr, data, 0, 0};
  return node;
}

// Starts loading both children while the comparison waits for the node's
// item: the item and the next node are then fetched from memory in parallel
// instead of one after the other.
inline void PrefetchChildren(const AVLNode *node) {
  __builtin_prefetch(node->left);
  __builtin_prefetch(node->right);
}

// The node whose item compares equal to key, or null.
AVLNode *FindNode(const AVLTree &tree, AVLNodeCompare compare, const void *key) {
  AVLNode *node = tree.root;
  while (node != nullptr) {
    PrefetchChildren(node);
    int order = compare(key, node->data);
    if (order == 0) return node;
    node = order < 0 ? node->left : node->right;
  }
  return nullptr;
}

// The visible item equal to key, or null when arguments are missing.
void *FindVisible(AVLTree *tree, AVLNodeCompare compare, const void *key) {
  if (tree == nullptr || compare == nullptr || key == nullptr) return nullptr;
  AVLNode *node = FindNode(*tree, compare, key);
  return node != nullptr && node->hidden == 0 ? node->data : nullptr;
}

// An equal item was met: revive a hidden one in place, refuse a visible one.
int MeetEqual(AVLNode *node, void *data) {
  if (node->hidden == 0) return EEXIST;
  node->hidden = 0;
  node->data = data;
  return 0;
}

// Releases the subtree under top in post-order (left subtree, right subtree,
// item, node) without recursion or extra memory: the left link of a node
// whose left subtree is done holds its parent, and `hidden` records whether
// its right subtree has been entered.
void ReleaseSubtree(AVLTree *tree, AVLNode *top) {
  AVLNode *parent = nullptr;
  AVLNode *node = top;
  for (;;) {
    while (node != nullptr) {  // descend to the leftmost node
      AVLNode *left = node->left;
      node->left = parent;
      node->hidden = 0;
      parent = node;
      node = left;
    }
    while (parent != nullptr && node == nullptr) {
      if (parent->hidden == 0) {  // left side done: the right side is next
        parent->hidden = 1;
        node = parent->right;
        if (node != nullptr) break;
      }
      AVLNode *up = parent->left;
      if (tree->destroy != nullptr) tree->destroy(parent->data);
      Free(parent);
      --tree->size;
      parent = up;
    }
    if (node == nullptr) return;
  }
}

// Releases the subtree hanging from link, which is cleared first so the tree
// stays consistent while destroy callbacks run.
int ReleaseAt(AVLTree *tree, AVLNode **link) {
  AVLNode *top = *link;
  *link = nullptr;
  ReleaseSubtree(tree, top);
  return 0;
}

// Links a positional node at an empty link.
int InsertAt(AVLTree *tree, AVLNode **link, void *data) {
  if (*link != nullptr) return EINVAL;
  AVLNode *node = NewLeaf(data);
  if (node == nullptr) return ENOMEM;
  *link = node;
  ++tree->size;
  return 0;
}

// The directions taken from the deepest unbalanced node down to the new leaf,
// one bit per step (set for left). A tree built by balanced insertion needs
// about 10^13 nodes to reach 64 levels; longer paths, which positional trees
// can have, are marked incomplete.
class PathBelowPivot {
 public:
  void Restart() {
    lefts_ = 0;
    steps_ = 0;
  }
  void Record(bool left) {
    if (steps_ < kMaxSteps) lefts_ |= static_cast<std::uint64_t>(left) << steps_;
    ++steps_;
  }
  bool Complete() const { return steps_ <= kMaxSteps; }
  bool WentLeft(unsigned long step) const { return (lefts_ >> step) & 1U; }

 private:
  static constexpr unsigned long kMaxSteps = 64;
  std::uint64_t lefts_ = 0;
  unsigned long steps_ = 0;
};

// Rebalances the node at *nodep, two levels heavier on its `heavy` side
// (whose factor sign is kLean), by a single rotation when that child leans
// the same way, else by a double rotation through the child's inner child.
// Nothing happens when a child the rotation needs is missing.
template <AVLNode *AVLNode::*heavy, AVLNode *AVLNode::*light, int kLean>
void Rotate(AVLNode **nodep) {
  if (nodep == nullptr || *nodep == nullptr || (*nodep)->*heavy == nullptr) return;
  AVLNode *top = *nodep;
  AVLNode *child = top->*heavy;
  if (child->factor == kLean) {
    top->*heavy = child->*light;
    child->*light = top;
    top->factor = 0;
    child->factor = 0;
    *nodep = child;
    return;
  }
  AVLNode *inner = child->*light;
  if (inner == nullptr) return;
  child->*light = inner->*heavy;
  top->*heavy = inner->*light;
  inner->*heavy = child;
  inner->*light = top;
  top->factor = inner->factor == kLean ? -kLean : 0;
  child->factor = inner->factor == -kLean ? kLean : 0;
  inner->factor = 0;
  *nodep = inner;
}

// Records that the side `grown` of the node at *nodep grew by one level and
// returns 1 when that settled the subtree's height (after a rotation or when
// the node became even), 0 when the subtree grew too.
int AbsorbGrowth(AVLNode **nodep, int grown) {
  AVLNode *node = *nodep;
  if (node->factor == 0) {
    node->factor = grown;
    return 0;
  }
  if (node->factor != grown) {
    node->factor = 0;
    return 1;
  }
  if (grown == kLeft) {
    avl_rotate_left(nodep);
  } else {
    avl_rotate_right(nodep);
  }
  return 1;
}

}  // namespace

extern "C" {

int avltree_new(AVLTree **treep, AVLNodeCompare compare, AVLNodeDestroy destroy) {
  if (treep == nullptr) return EINVAL;
  *treep = nullptr;
  AVLTree *tree = NewZeroed<AVLTree>();
  if (tree == nullptr) return ENOMEM;
  tree->compare = compare;
  tree->destroy = destroy;
  *treep = tree;
  return 0;
}

int avltree_free(AVLTree **treep) {
  if (treep == nullptr || *treep == nullptr) return EINVAL;
  ReleaseAt(*treep, &(*treep)->root);
  Free(*treep);
  *treep = nullptr;
  return 0;
}

// Same result as running avltree_insert_recurse on the root, but iterative:
// only the factors from the deepest unbalanced node on the path down change,
// so that node's link is remembered together with the directions taken below
// it, which are then replayed after the leaf is linked.
int avltree_insert(AVLTree *tree, void *data) {
  if (tree == nullptr || data == nullptr || tree->compare == nullptr) return EINVAL;
  AVLNodeCompare compare = tree->compare;
  if (tree->root == nullptr) return InsertAt(tree, &tree->root, data);

  AVLNode **pivot_link = &tree->root;  // link of the deepest node with factor != 0
  AVLNode **link = &tree->root;
  PathBelowPivot path;
  do {
    AVLNode *node = *link;
    PrefetchChildren(node);
    int order = compare(data, node->data);
    if (order == 0) return MeetEqual(node, data);
    if (node->factor != 0) {
      pivot_link = link;
      path.Restart();
    }
    path.Record(order < 0);
    link = order < 0 ? &node->left : &node->right;
  } while (*link != nullptr);

  AVLNode *leaf = NewLeaf(data);
  if (leaf == nullptr) return ENOMEM;
  *link = leaf;
  ++tree->size;

  // Every node strictly between the pivot and the leaf was even and now leans
  // towards the leaf. The way down is replayed from the recorded directions or,
  // for a path too long to record, found again by comparing.
  bool recorded = path.Complete();
  auto went_left = [&](unsigned long step, const AVLNode *node) {
    return recorded ? path.WentLeft(step) : compare(data, node->data) < 0;
  };
  AVLNode *pivot = *pivot_link;
  int pivot_side = went_left(0, pivot) ? kLeft : kRight;
  AVLNode *node = pivot_side == kLeft ? pivot->left : pivot->right;
  for (unsigned long step = 1; node != leaf; ++step) {
    bool left = went_left(step, node);
    node->factor = left ? kLeft : kRight;
    node = left ? node->left : node->right;
  }
  AbsorbGrowth(pivot_link, pivot_side);
  return 0;
}

int avltree_insert_recurse(AVLTree *tree, AVLNode **nodep, void *data, int *balanced) {
  if (tree == nullptr || nodep == nullptr || *nodep == nullptr || data == nullptr ||
      balanced == nullptr || tree->compare == nullptr) {
    return EINVAL;
  }
  AVLNode *node = *nodep;
  int order = tree->compare(data, node->data);
  if (order == 0) {
    int status = MeetEqual(node, data);
    if (status == 0) *balanced = 1;
    return status;
  }
  AVLNode **child = order < 0 ? &node->left : &node->right;
  if (*child != nullptr) {
    int status = avltree_insert_recurse(tree, child, data, balanced);
    if (status != 0 || *balanced != 0) return status;
  } else {
    AVLNode *leaf = NewLeaf(data);
    if (leaf == nullptr) return ENOMEM;
    *child = leaf;
    ++tree->size;
    *balanced = 0;
  }
  *balanced = AbsorbGrowth(nodep, order < 0 ? kLeft : kRight);
  return 0;
}

int avltree_remove(AVLTree *tree, void *data) {
  if (tree == nullptr || data == nullptr || tree->compare == nullptr) return EINVAL;
  AVLNode *node = FindNode(*tree, tree->compare, data);
  if (node == nullptr) return ENOENT;
  node->hidden = 1;
  return 0;
}

void *avltree_find(AVLTree *tree, void *data) {
  return FindVisible(tree, tree != nullptr ? tree->compare : nullptr, data);
}

int avltree_exists(AVLTree *tree, void *data) {
  return avltree_find(tree, data) != nullptr;
}

void *avltree_find_by_compare(AVLTree *tree, AVLNodeCompare compare, void *data) {
  return FindVisible(tree, compare, data);
}

int avltree_exists_by_compare(AVLTree *tree, AVLNodeCompare compare, void *data) {
  return avltree_find_by_compare(tree, compare, data) != nullptr;
}

int avltree_insert_left(AVLTree *tree, AVLNode *node, void *data) {
  if (tree == nullptr) return EINVAL;
  return InsertAt(tree, node != nullptr ? &node->left : &tree->root, data);
}

int avltree_insert_right(AVLTree *tree, AVLNode *node, void *data) {
  if (tree == nullptr) return EINVAL;
  return InsertAt(tree, node != nullptr ? &node->right : &tree->root, data);
}

int avltree_remove_left(AVLTree *tree, AVLNode *node) {
  if (tree == nullptr) return EINVAL;
  return ReleaseAt(tree, node != nullptr ? &node->left : &tree->root);
}

int avltree_remove_right(AVLTree *tree, AVLNode *node) {
  if (tree == nullptr) return EINVAL;
  return ReleaseAt(tree, node != nullptr ? &node->right : &tree->root);
}

void avl_rotate_left(AVLNode **nodep) {
  Rotate<&AVLNode::left, &AVLNode::right, kLeft>(nodep);
}

void avl_rotate_right(AVLNode **nodep) {
  Rotate<&AVLNode::right, &AVLNode::left, kRight>(nodep);
}

}  // extern "C"

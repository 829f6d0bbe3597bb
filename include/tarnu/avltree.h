/* avltree: a height-balanced binary search tree of caller-owned items.
 *
 * The tree owns its nodes and stores item pointers, never copies. Once an
 * item is in a node the tree releases it through `destroy` (when set) when
 * that node is released, hidden or not. Removal by key is lazy: the node is
 * only marked hidden, and inserting an equal item revives it in place.
 * Besides balanced insertion, nodes can be placed positionally as the left or
 * right child of a given node (no ordering, no balancing) and whole subtrees
 * removed; subtree release needs no recursion, so any depth is safe.
 *
 * Results are 0 or an errno number: 22 (EINVAL) for a missing argument, a
 * tree without a comparison where one is needed, or an occupied position;
 * 12 (ENOMEM) when a node cannot be allocated; 17 (EEXIST) for an equal
 * visible item; 2 (ENOENT) when no equal item exists. A failed operation
 * leaves the tree as it was. Lookups return the item or null.
 *
 * Thread safety: none; one thread at a time per tree, lookups included. */
#ifndef TARNU_AVLTREE_H_
#define TARNU_AVLTREE_H_

#include <tarnu/export.h>

TARNU_BEGIN_DECLS

/* Compares the caller's key or new item (first) with a node's item (second):
 * negative sorts before, 0 equal, positive after. */
typedef int (*AVLNodeCompare)(const void *key, const void *item);
/* Releases an item; the result is ignored. */
typedef int (*AVLNodeDestroy)(void *item);

typedef struct AVLNode {
  struct AVLNode *left; /* children */
  struct AVLNode *right;
  void *data; /* the item */
  int hidden; /* 1 once removed lazily */
  int factor; /* left height minus right height: +1, 0 or -1 */
} AVLNode;

typedef struct AVLTree {
  unsigned long size;     /* nodes, hidden ones included */
  AVLNode *root;          /* null for an empty tree */
  AVLNodeCompare compare; /* the ordering */
  AVLNodeDestroy destroy; /* may be null: items are then never released */
} AVLTree;

/* Makes an empty tree in *treep. 22 for a null treep, 12 on allocation failure
 * (*treep null). A null compare is accepted; searching operations on such a
 * tree then give 22 or null. */
TARNU_EXPORT int avltree_new(AVLTree **treep, AVLNodeCompare compare, AVLNodeDestroy destroy);
/* Releases every node (destroying items) and the tree, sets *treep to null.
 * 22 for a null treep or *treep. */
TARNU_EXPORT int avltree_free(AVLTree **treep);
/* Inserts data in order. 22 for null arguments or a null compare, 17 when an
 * equal visible item exists, 12 on allocation failure. An equal hidden item is
 * replaced by data and made visible (the old item is not destroyed). */
TARNU_EXPORT int avltree_insert(AVLTree *tree, void *data);
/* Hides the node with an item equal to data. 22 for null arguments or a null
 * compare, 2 for an empty tree or no equal item. */
TARNU_EXPORT int avltree_remove(AVLTree *tree, void *data);
/* The visible item equal to data, or null (also for null arguments or a null
 * compare). */
TARNU_EXPORT void *avltree_find(AVLTree *tree, void *data);
/* 1 if avltree_find gives non-null, else 0. */
TARNU_EXPORT int avltree_exists(AVLTree *tree, void *data);
/* As avltree_find with another comparison that orders items as the tree's
 * does; null for a null compare. */
TARNU_EXPORT void *avltree_find_by_compare(AVLTree *tree, AVLNodeCompare compare, void *data);
/* 1 if avltree_find_by_compare gives non-null, else 0. */
TARNU_EXPORT int avltree_exists_by_compare(AVLTree *tree, AVLNodeCompare compare, void *data);
/* Links a new node holding data as node's left child, or as the root when
 * node is null and the tree empty. 22 for a null tree or an occupied position,
 * 12 on allocation failure. */
TARNU_EXPORT int avltree_insert_left(AVLTree *tree, AVLNode *node, void *data);
/* The mirror image of avltree_insert_left. */
TARNU_EXPORT int avltree_insert_right(AVLTree *tree, AVLNode *node, void *data);
/* Releases node's left subtree (the whole tree for a null node) in post-order,
 * destroying items. 22 for a null tree; 0 for an empty position. */
TARNU_EXPORT int avltree_remove_left(AVLTree *tree, AVLNode *node);
/* The mirror image of avltree_remove_left (a null node is the whole tree). */
TARNU_EXPORT int avltree_remove_right(AVLTree *tree, AVLNode *node);
/* Rebalances the left-heavy node held by *nodep with a single or double
 * rotation. Nothing happens for a null link or when a needed child is missing. */
TARNU_EXPORT void avl_rotate_left(AVLNode **nodep);
/* The mirror image of avl_rotate_left for a right-heavy node. */
TARNU_EXPORT void avl_rotate_right(AVLNode **nodep);
/* Inserts data below the non-null link *nodep, recursing once per level, and
 * rebalances on the way back. *balanced becomes 1 once the subtree has settled
 * at its old height. 22 for null arguments, a null *nodep or a null compare;
 * 17 and 12 as for avltree_insert. */
TARNU_EXPORT int avltree_insert_recurse(AVLTree *tree, AVLNode **nodep, void *data, int *balanced);

TARNU_END_DECLS

#endif /* TARNU_AVLTREE_H_ */

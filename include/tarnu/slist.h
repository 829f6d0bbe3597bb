/* slist: a singly linked list of untyped pointers.
 *
 * A list is a pointer to its first node; the null pointer is the empty list.
 * The list owns its nodes but never the items they point to: it does not
 * copy, own or free them. Operations that may change the first node take the
 * address of the list pointer.
 *
 * Results are 0 or an errno number: 22 (EINVAL) for a missing argument or an
 * empty list where one is needed, 12 (ENOMEM) when a node cannot be made (the
 * list is unchanged), 2 (ENOENT) for an index or item not in the list.
 *
 * Thread safety: none; the owner of a list guards it. */
#ifndef TARNU_SLIST_H_
#define TARNU_SLIST_H_

#include <tarnu/export.h>

TARNU_BEGIN_DECLS

typedef struct SList {
  void *data;         /* the caller's item, never null */
  struct SList *next; /* following node, null at the end */
} SList;

/* Appends data at the end. 22 for a null listp or data, 12 on allocation failure. */
TARNU_EXPORT int slist_item_add(SList **listp, void *data);
/* *data = item at index (0 is the first). 22 for null arguments, 2 past the end
 * or for a negative index (*data untouched). */
TARNU_EXPORT int slist_item_get(SList *list, int index, void **data);
/* *count = number of nodes. The empty list gives 22 and leaves *count alone. */
TARNU_EXPORT int slist_item_count(SList *list, int *count);
/* Unlinks the first node holding exactly the pointer data (the item is not
 * freed). 22 for null listp, empty list or null data; 2 if not present. */
TARNU_EXPORT int slist_item_remove(SList **listp, void *data);
/* Frees every node (no item) and sets *listp to null. 22 for a null listp. */
TARNU_EXPORT int slist_free(SList **listp);
/* The following node; null for a null node and at the end. */
TARNU_EXPORT SList *slist_get_next(SList *node);
/* The node's item; null for a null node. */
TARNU_EXPORT void *slist_get_data(SList *node);

TARNU_END_DECLS

#endif /* TARNU_SLIST_H_ */

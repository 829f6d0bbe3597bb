// Singly linked list of caller-owned pointers.
#include "tarnu/slist.h"

#include <cerrno>

#include "alloc.h"

using tarnu::detail::Free;
using tarnu::detail::NewZeroed;

extern "C" {

int slist_item_add(SList **listp, void *data) {
  if (listp == nullptr || data == nullptr) return EINVAL;
  SList *node = NewZeroed<SList>();
  if (node == nullptr) return ENOMEM;
  node->data = data;
  SList **link = listp;
  while (*link != nullptr) link = &(*link)->next;
  *link = node;
  return 0;
}

int slist_item_get(SList *list, int index, void **data) {
  if (list == nullptr || data == nullptr) return EINVAL;
  if (index < 0) return ENOENT;
  SList *node = list;
  for (int i = 0; i < index && node != nullptr; ++i) node = node->next;
  if (node == nullptr) return ENOENT;
  *data = node->data;
  return 0;
}

int slist_item_count(SList *list, int *count) {
  if (list == nullptr || count == nullptr) return EINVAL;
  int n = 0;
  for (SList *node = list; node != nullptr; node = node->next) ++n;
  *count = n;
  return 0;
}

int slist_item_remove(SList **listp, void *data) {
  if (listp == nullptr || *listp == nullptr || data == nullptr) return EINVAL;
  for (SList **link = listp; *link != nullptr; link = &(*link)->next) {
    if ((*link)->data == data) {
      SList *node = *link;
      *link = node->next;
      Free(node);
      return 0;
    }
  }
  return ENOENT;
}

int slist_free(SList **listp) {
  if (listp == nullptr) return EINVAL;
  SList *node = *listp;
  while (node != nullptr) {
    SList *next = node->next;
    Free(node);
    node = next;
  }
  *listp = nullptr;
  return 0;
}

SList *slist_get_next(SList *node) { return node != nullptr ? node->next : nullptr; }

void *slist_get_data(SList *node) { return node != nullptr ? node->data : nullptr; }

}  // extern "C"

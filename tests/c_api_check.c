/* A plain C program against the public C API of libtarnu. */
#include <stdio.h>
#include <string.h>

#include <tarnu/attribute.h>
#include <tarnu/avltree.h>
#include <tarnu/slist.h>
#include <tarnu/squeue.h>

static int compare_ints(const void *key, const void *item) {
  int a = *(const int *)key, b = *(const int *)item;
  return (a > b) - (a < b);
}

static int check(int ok, const char *what) {
  if (!ok) fprintf(stderr, "c_api_check: %s failed\n", what);
  return ok ? 0 : 1;
}

int main(void) {
  int failures = 0;
  SList *list = NULL;
  int one = 1, two = 2, count = 0;
  void *item = NULL;
  failures += check(slist_item_add(&list, &one) == 0, "slist_item_add");
  failures += check(slist_item_add(&list, &two) == 0, "slist_item_add");
  failures += check(slist_item_count(list, &count) == 0 && count == 2, "slist_item_count");
  failures += check(slist_item_get(list, 1, &item) == 0 && item == &two, "slist_item_get");
  failures += check(slist_free(&list) == 0 && list == NULL, "slist_free");

  Attribute *attrs = NULL;
  attrs = attribute_add(attrs, "name", "value");
  failures += check(attrs != NULL && strcmp(attribute_get_value(attrs, "name"), "value") == 0,
                    "attribute_add");
  attribute_freeall(&attrs);
  failures += check(attrs == NULL, "attribute_freeall");

  SQueue *queue = NULL;
  int in = 7, out = 0;
  failures += check(squeue_new(&queue, sizeof(int), 2) == 0, "squeue_new");
  failures += check(squeue_item_enqueue(queue, &in) == 0, "squeue_item_enqueue");
  failures += check(squeue_item_dequeue(queue, &out) == 0 && out == 7, "squeue_item_dequeue");
  failures += check(squeue_free(&queue) == 0 && queue == NULL, "squeue_free");

  AVLTree *tree = NULL;
  failures += check(avltree_new(&tree, compare_ints, NULL) == 0, "avltree_new");
  failures +=
      check(avltree_insert(tree, &one) == 0 && avltree_insert(tree, &two) == 0, "avltree_insert");
  failures += check(avltree_find(tree, &two) == &two && tree->size == 2, "avltree_find");
  failures += check(avltree_free(&tree) == 0 && tree == NULL, "avltree_free");
  return failures == 0 ? 0 : 1;
}

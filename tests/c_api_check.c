/* A plain C program against the public C API of libtarnu. */
#include <stdio.h>
#include <string.h>

#include <tarnu/attribute.h>
#include <tarnu/slist.h>

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
  return failures == 0 ? 0 : 1;
}

/* attribute: a list of owned name/value string pairs.
 *
 * A list is a pointer to its first node; null is the empty list. New nodes go
 * in front, names are unique (compared exactly) and the first value stored
 * under a name wins. Each node owns copies of its name and value. Operations
 * that add or remove return the new first node for the caller to store:
 *     list = attribute_add(list, "name", "value");
 *
 * Thread safety: none; one owner at a time. */
#ifndef TARNU_ATTRIBUTE_H_
#define TARNU_ATTRIBUTE_H_

#include <tarnu/export.h>

TARNU_BEGIN_DECLS

typedef struct Attribute {
  char *name;             /* owned */
  char *value;            /* owned, null when added without a value */
  struct Attribute *next; /* following node */
} Attribute;

typedef int (*AttributeCallbackFunction)(Attribute *node, void *data);

/* Adds a copy of name (and of value, when not null) in front and returns the
 * new first node. Null for a null name. A name already present leaves the
 * list unchanged; so does a failed allocation (nothing leaks). */
TARNU_EXPORT Attribute *attribute_add(Attribute *attrib, char *name, char *value);
/* First node with that name, or null (also for null arguments). */
TARNU_EXPORT Attribute *attribute_find(Attribute *attrib, char *name);
/* The found node's own value string (may be null); null if not found. */
TARNU_EXPORT char *attribute_get_value(Attribute *attrib, char *name);
/* *name, *value = the given node's own strings. 22 for any null argument. */
TARNU_EXPORT int attribute_get_name_and_value(Attribute *attrib, char **name, char **value);
/* Calls callback on each node front to back; the first non-zero result stops
 * the walk and is returned. 0 for a null list or callback. */
TARNU_EXPORT int attribute_foreach(Attribute *attrib, AttributeCallbackFunction callback,
                                   void *data);
/* Unlinks and frees the first node with that name; returns the new first node. */
TARNU_EXPORT Attribute *attribute_remove(Attribute *attrib, char *name);
/* Frees every node with its strings and sets *attrib to null. */
TARNU_EXPORT void attribute_freeall(Attribute **attrib);

TARNU_END_DECLS

#endif /* TARNU_ATTRIBUTE_H_ */

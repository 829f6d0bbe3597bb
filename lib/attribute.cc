// Name/value list: owned string pairs, newest first, names unique.
#include "tarnu/attribute.h"

#include <cerrno>
#include <cstring>

#include "alloc.h"

using tarnu::detail::Free;
using tarnu::detail::NewZeroed;
using tarnu::detail::Strdup;

namespace {

void FreeNode(Attribute *node) {
  Free(node->name);
  Free(node->value);
  Free(node);
}

}  // namespace

extern "C" {

Attribute *attribute_find(Attribute *attrib, char *name) {
  if (name == nullptr) return nullptr;
  for (Attribute *node = attrib; node != nullptr; node = node->next) {
    if (std::strcmp(node->name, name) == 0) return node;
  }
  return nullptr;
}

Attribute *attribute_add(Attribute *attrib, char *name, char *value) {
  if (name == nullptr) return nullptr;
  if (attribute_find(attrib, name) != nullptr) return attrib;
  Attribute *node = NewZeroed<Attribute>();
  if (node == nullptr) return attrib;
  node->name = Strdup(name);
  if (node->name == nullptr || (value != nullptr && (node->value = Strdup(value)) == nullptr)) {
    // A failed copy is treated like a failed node: the list stays as it was.
    FreeNode(node);
    return attrib;
  }
  node->next = attrib;
  return node;
}

char *attribute_get_value(Attribute *attrib, char *name) {
  Attribute *node = attribute_find(attrib, name);
  return node != nullptr ? node->value : nullptr;
}

int attribute_get_name_and_value(Attribute *attrib, char **name, char **value) {
  if (attrib == nullptr || name == nullptr || value == nullptr) return EINVAL;
  *name = attrib->name;
  *value = attrib->value;
  return 0;
}

int attribute_foreach(Attribute *attrib, AttributeCallbackFunction callback, void *data) {
  if (attrib == nullptr || callback == nullptr) return 0;
  for (Attribute *node = attrib; node != nullptr; node = node->next) {
    int result = callback(node, data);
    if (result != 0) return result;
  }
  return 0;
}

Attribute *attribute_remove(Attribute *attrib, char *name) {
  if (attrib == nullptr) return nullptr;
  if (name == nullptr) return attrib;
  for (Attribute **link = &attrib; *link != nullptr; link = &(*link)->next) {
    if (std::strcmp((*link)->name, name) == 0) {
      Attribute *match = *link;
      *link = match->next;
      FreeNode(match);
      return attrib;
    }
  }
  return attrib;
}

void attribute_freeall(Attribute **attrib) {
  if (attrib == nullptr || *attrib == nullptr) return;
  Attribute *node = *attrib;
  while (node != nullptr) {
    Attribute *next = node->next;
    FreeNode(node);
    node = next;
  }
  *attrib = nullptr;
}

}  // extern "C"

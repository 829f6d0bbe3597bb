// XML-RPC value model: reference-counted values, structs and arrays.
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "alloc.h"
#include "xmlrpc_p.h"

using tarnu::detail::Free;
using tarnu::detail::Malloc;
using tarnu::detail::NewZeroed;
using tarnu::detail::Strdup;

namespace tarnu::xmlrpc {

int ListAppend(SList **head, XmlrpcListState *state, void *data) {
  // slist_item_add walks to the end of the list it is given; handing it the
  // tail node makes that walk a single step.
  SList **from = state->tail != nullptr ? &state->tail : head;
  int rc = slist_item_add(from, data);
  if (rc != 0) return rc;
  state->tail = state->tail != nullptr ? state->tail->next : *head;
  ++state->count;
  return 0;
}

int ListGet(SList *head, XmlrpcListState *state, int index, void **data) {
  if (head == nullptr) return EINVAL;
  if (index < 0 || index >= state->count) return ENOENT;
  SList *node = head;
  int at = 0;
  if (state->cursor != nullptr && state->cursorindex <= index) {
    node = state->cursor;
    at = state->cursorindex;
  }
  for (; at < index; ++at) node = node->next;
  state->cursor = node;
  state->cursorindex = index;
  *data = node->data;
  return 0;
}

void ListReleaseValues(SList **head, XmlrpcListState *state) {
  for (SList *node = *head; node != nullptr; node = node->next) {
    auto *value = static_cast<XmlrpcValue *>(node->data);
    xmlrpc_value_ref_dec(&value);
  }
  slist_free(head);
  *state = XmlrpcListState{};
}

int ParamCount(const XmlrpcListState &state, int *paramcount) {
  *paramcount = state.count;
  return 0;
}

int ParamGet(SList *head, XmlrpcListState *state, int paramnumber, XmlrpcValue **xvp) {
  *xvp = nullptr;
  if (head == nullptr) return ENOENT;
  void *item = nullptr;
  int rc = ListGet(head, state, paramnumber, &item);
  if (rc != 0) return rc;
  auto *value = static_cast<XmlrpcValue *>(item);
  ++value->ref.refcount;
  *xvp = value;
  return 0;
}

namespace {

// A scalar value and its data copy share one allocation; the copy starts at
// this offset, aligned for any scalar type.
constexpr std::size_t kInlineDataOffset =
    (sizeof(XmlrpcValue) + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);

bool ValidType(int type) {
  return type >= XMLRPC_TYPE_INT && type <= XMLRPC_TYPE_ARRAY;
}

// Lengths the writer relies on: ints and booleans are read as 4 bytes,
// doubles as 8.
bool ValidLength(int type, int length) {
  switch (type) {
    case XMLRPC_TYPE_INT:
    case XMLRPC_TYPE_BOOLEAN:
      return length == 4;
    case XMLRPC_TYPE_DOUBLE:
      return length == 8;
    default:
      return true;
  }
}

// ---- Release ----
//
// A struct or array whose last reference is gone is released entry by entry,
// head to tail. When an entry's value dies and takes a container with it, that
// container is released completely before the next entry, exactly as a
// recursive release would order it; the containers waiting for it are
// chained through their release links rather than the call stack.

// A struct or array whose last reference has just been dropped.
struct Dying {
  int type = 0;  // XMLRPC_TYPE_STRUCT or XMLRPC_TYPE_ARRAY; 0 for none
  void *container = nullptr;

  explicit operator bool() const { return container != nullptr; }
  XmlrpcStruct *Struct() const { return static_cast<XmlrpcStruct *>(container); }
  XmlrpcArray *Array() const { return static_cast<XmlrpcArray *>(container); }
  XmlrpcReleaseLink &Link() const {
    return type == XMLRPC_TYPE_STRUCT ? Struct()->release : Array()->release;
  }
  // The entry whose value is released next; the list state's cursor is free
  // for this once the container is dying.
  SList *&Entry() const {
    return type == XMLRPC_TYPE_STRUCT ? Struct()->members.cursor : Array()->values.cursor;
  }
  SList *First() const {
    return type == XMLRPC_TYPE_STRUCT ? Struct()->memberlist : Array()->valuelist;
  }
  XmlrpcValue *ValueOf(SList *entry) const {
    return type == XMLRPC_TYPE_STRUCT ? static_cast<XmlrpcStructMember *>(entry->data)->value
                                      : static_cast<XmlrpcValue *>(entry->data);
  }
};

// Drops one reference on the container a struct or array value wraps; the
// container when that was its last reference.
Dying DropWrapped(XmlrpcValue *xv) {
  if (xv->data == nullptr) return {};
  if (xv->type == XMLRPC_TYPE_STRUCT) {
    auto *xs = static_cast<XmlrpcStruct *>(xv->data);
    if (--xs->ref.refcount == 0) return {XMLRPC_TYPE_STRUCT, xs};
  } else if (xv->type == XMLRPC_TYPE_ARRAY) {
    auto *xa = static_cast<XmlrpcArray *>(xv->data);
    if (--xa->ref.refcount == 0) return {XMLRPC_TYPE_ARRAY, xa};
  }
  return {};
}

// Frees what is left of an entry once its value reference has been dropped
// (and, when the value died, the value released), a struct member's name and
// record, and moves on to the next entry.
void FinishEntry(const Dying &owner, SList *entry) {
  if (owner.type == XMLRPC_TYPE_STRUCT) {
    auto *member = static_cast<XmlrpcStructMember *>(entry->data);
    Free(member->name);
    Free(member);
  }
  owner.Entry() = entry->next;
}

// Frees a container whose entries have all been released: its list nodes,
// then the record.
void FreeEmptied(const Dying &dying) {
  if (dying.type == XMLRPC_TYPE_STRUCT) {
    slist_free(&dying.Struct()->memberlist);
  } else {
    slist_free(&dying.Array()->valuelist);
  }
  Free(dying.container);
}

// Releases `outermost` and everything that dies with it.
void ReleaseTree(Dying outermost) {
  outermost.Link() = XmlrpcReleaseLink{};
  outermost.Entry() = outermost.First();
  Dying current = outermost;
  for (;;) {
    SList *entry = current.Entry();
    if (entry == nullptr) {  // all entries released: resume the waiting one
      XmlrpcReleaseLink up = current.Link();
      FreeEmptied(current);
      current = Dying{up.waitingtype, up.waiting};
      if (!current) return;
      entry = current.Entry();
      Free(current.ValueOf(entry));  // the value that wrapped the container
      FinishEntry(current, entry);
      continue;
    }
    XmlrpcValue *xv = current.ValueOf(entry);
    if (--xv->ref.refcount == 0) {
      if (Dying inner = DropWrapped(xv)) {
        inner.Link() = XmlrpcReleaseLink{current.container, current.type};
        inner.Entry() = inner.First();
        current = inner;
        continue;
      }
      Free(xv);
    }
    FinishEntry(current, entry);
  }
}

// Releases a value whose last reference has been dropped.
void ReleaseValue(XmlrpcValue *xv) {
  if (Dying inner = DropWrapped(xv)) ReleaseTree(inner);
  // A scalar's data copy lives in the same allocation as the record.
  Free(xv);
}

// Finds the first member named `name`; *previous receives the node before it
// (null when it is the first).
SList *FindMember(XmlrpcStruct *xs, const char *name, SList **previous) {
  SList *before = nullptr;
  for (SList *node = xs->memberlist; node != nullptr; before = node, node = node->next) {
    auto *member = static_cast<XmlrpcStructMember *>(node->data);
    if (std::strcmp(member->name, name) == 0) {
      if (previous != nullptr) *previous = before;
      return node;
    }
  }
  return nullptr;
}

// Builds the fault struct value; on failure everything built is released.
int BuildFault(XmlrpcValue **xvp, int faultcode, const char *faultstring) {
  XmlrpcStruct *xs = nullptr;
  int rc = xmlrpc_struct_new(&xs);
  if (rc != 0) return rc;
  XmlrpcValue *code = nullptr;
  rc = xmlrpc_value_new(&code, XMLRPC_TYPE_INT, &faultcode, sizeof faultcode);
  if (rc == 0) {
    rc = xmlrpc_struct_add_member(xs, const_cast<char *>("faultCode"), code);
    xmlrpc_value_ref_dec(&code);
  }
  XmlrpcValue *text = nullptr;
  if (rc == 0) {
    rc = xmlrpc_value_new(&text, XMLRPC_TYPE_STRING, const_cast<char *>(faultstring),
                          static_cast<int>(std::strlen(faultstring)));
  }
  if (rc == 0) {
    rc = xmlrpc_struct_add_member(xs, const_cast<char *>("faultString"), text);
    xmlrpc_value_ref_dec(&text);
  }
  if (rc == 0) rc = xmlrpc_value_new_from_struct(xvp, xs);
  xmlrpc_struct_ref_dec(&xs);
  return rc;
}

}  // namespace
}  // namespace tarnu::xmlrpc

using namespace tarnu::xmlrpc;

extern "C" {

// ---- Reference counting ----

int xmlrpc_value_ref_inc(XmlrpcValue *xv) {
  if (xv == nullptr) return EINVAL;
  ++xv->ref.refcount;
  return 0;
}

int xmlrpc_struct_ref_inc(XmlrpcStruct *xs) {
  if (xs == nullptr) return EINVAL;
  ++xs->ref.refcount;
  return 0;
}

int xmlrpc_array_ref_inc(XmlrpcArray *xa) {
  if (xa == nullptr) return EINVAL;
  ++xa->ref.refcount;
  return 0;
}

int xmlrpc_value_ref_dec(XmlrpcValue **xvp) {
  if (xvp == nullptr || *xvp == nullptr) return EINVAL;
  XmlrpcValue *xv = *xvp;
  if (--xv->ref.refcount > 0) return 0;
  ReleaseValue(xv);
  *xvp = nullptr;
  return 0;
}

int xmlrpc_struct_ref_dec(XmlrpcStruct **xsp) {
  if (xsp == nullptr || *xsp == nullptr) return EINVAL;
  XmlrpcStruct *xs = *xsp;
  if (--xs->ref.refcount > 0) return 0;
  ReleaseTree(Dying{XMLRPC_TYPE_STRUCT, xs});
  *xsp = nullptr;
  return 0;
}

int xmlrpc_array_ref_dec(XmlrpcArray **xap) {
  if (xap == nullptr || *xap == nullptr) return EINVAL;
  XmlrpcArray *xa = *xap;
  if (--xa->ref.refcount > 0) return 0;
  ReleaseTree(Dying{XMLRPC_TYPE_ARRAY, xa});
  *xap = nullptr;
  return 0;
}

// ---- Values ----

int xmlrpc_value_new(XmlrpcValue **xvp, int valuetype, void *value, int valuelen) {
  if (xvp == nullptr) return EINVAL;
  *xvp = nullptr;
  if (value == nullptr || valuelen < 0) return EINVAL;
  if (!ValidType(valuetype) || !ValidLength(valuetype, valuelen)) return EINVAL;
  bool container = valuetype == XMLRPC_TYPE_STRUCT || valuetype == XMLRPC_TYPE_ARRAY;
  std::size_t size =
      container ? sizeof(XmlrpcValue) : kInlineDataOffset + static_cast<std::size_t>(valuelen) + 1;
  auto *xv = static_cast<XmlrpcValue *>(Malloc(size));
  if (xv == nullptr) return ENOMEM;
  xv->ref.refcount = 1;
  xv->type = valuetype;
  xv->datalen = valuelen;
  if (valuetype == XMLRPC_TYPE_STRUCT) {
    xmlrpc_struct_ref_inc(static_cast<XmlrpcStruct *>(value));
    xv->data = value;
  } else if (valuetype == XMLRPC_TYPE_ARRAY) {
    xmlrpc_array_ref_inc(static_cast<XmlrpcArray *>(value));
    xv->data = value;
  } else {
    char *copy = reinterpret_cast<char *>(xv) + kInlineDataOffset;
    std::memcpy(copy, value, static_cast<std::size_t>(valuelen));
    copy[valuelen] = '\0';
    xv->data = copy;
  }
  *xvp = xv;
  return 0;
}

int xmlrpc_value_new_from_struct(XmlrpcValue **xvp, XmlrpcStruct *xs) {
  if (xvp == nullptr) return EINVAL;
  *xvp = nullptr;
  if (xs == nullptr) return EINVAL;
  return xmlrpc_value_new(xvp, XMLRPC_TYPE_STRUCT, xs, static_cast<int>(sizeof(XmlrpcStruct)));
}

int xmlrpc_value_new_from_array(XmlrpcValue **xvp, XmlrpcArray *xa) {
  if (xvp == nullptr) return EINVAL;
  *xvp = nullptr;
  if (xa == nullptr) return EINVAL;
  return xmlrpc_value_new(xvp, XMLRPC_TYPE_ARRAY, xa, static_cast<int>(sizeof(XmlrpcArray)));
}

int xmlrpc_value_new_fault(XmlrpcValue **xvp, int faultcode, char *faultstring) {
  if (xvp == nullptr || faultstring == nullptr) return EINVAL;
  *xvp = nullptr;
  return BuildFault(xvp, faultcode, faultstring);
}

int xmlrpc_value_get_value(XmlrpcValue *xv, int *valuetype, void **valuep, int *valuelen) {
  if (xv == nullptr || valuetype == nullptr || valuep == nullptr || valuelen == nullptr) {
    return EINVAL;
  }
  *valuetype = 0;
  *valuep = nullptr;
  *valuelen = 0;
  if (!ValidType(xv->type)) return EINVAL;
  *valuetype = xv->type;
  *valuep = xv->data;
  *valuelen = xv->datalen;
  return 0;
}

int xmlrpc_value_get_struct(XmlrpcValue *xv, XmlrpcStruct **xsp) {
  if (xv == nullptr || xsp == nullptr) return EINVAL;
  *xsp = nullptr;
  if (xv->type != XMLRPC_TYPE_STRUCT) return EINVAL;
  *xsp = static_cast<XmlrpcStruct *>(xv->data);
  return 0;
}

int xmlrpc_value_get_array(XmlrpcValue *xv, XmlrpcArray **xap) {
  if (xv == nullptr || xap == nullptr) return EINVAL;
  *xap = nullptr;
  if (xv->type != XMLRPC_TYPE_ARRAY) return EINVAL;
  *xap = static_cast<XmlrpcArray *>(xv->data);
  return 0;
}

// ---- Structs ----

int xmlrpc_struct_new(XmlrpcStruct **xsp) {
  if (xsp == nullptr) return EINVAL;
  *xsp = nullptr;
  auto *xs = NewZeroed<XmlrpcStruct>();
  if (xs == nullptr) return ENOMEM;
  xs->ref.refcount = 1;
  *xsp = xs;
  return 0;
}

int xmlrpc_struct_add_member(XmlrpcStruct *xs, char *membername, XmlrpcValue *membervalue) {
  if (xs == nullptr || membername == nullptr || membervalue == nullptr) return EINVAL;
  auto *member = NewZeroed<XmlrpcStructMember>();
  if (member == nullptr) return ENOMEM;
  member->name = Strdup(membername);
  if (member->name == nullptr) {
    Free(member);
    return ENOMEM;
  }
  member->value = membervalue;
  int rc = ListAppend(&xs->memberlist, &xs->members, member);
  if (rc != 0) {
    Free(member->name);
    Free(member);
    return rc;
  }
  ++membervalue->ref.refcount;
  return 0;
}

int xmlrpc_struct_member_count(XmlrpcStruct *xs, int *membercount) {
  if (xs == nullptr || membercount == nullptr) return EINVAL;
  *membercount = xs->members.count;
  return 0;
}

int xmlrpc_struct_get_member(XmlrpcStruct *xs, char *membername, XmlrpcValue **membervalue) {
  if (xs == nullptr || membername == nullptr || membervalue == nullptr) return EINVAL;
  *membervalue = nullptr;
  SList *node = FindMember(xs, membername, nullptr);
  if (node == nullptr) return ENOENT;
  XmlrpcValue *value = static_cast<XmlrpcStructMember *>(node->data)->value;
  ++value->ref.refcount;
  *membervalue = value;
  return 0;
}

int xmlrpc_struct_has_member(XmlrpcStruct *xs, char *membername, int *hasmember) {
  if (xs == nullptr || membername == nullptr || hasmember == nullptr) return EINVAL;
  *hasmember = FindMember(xs, membername, nullptr) != nullptr ? 1 : 0;
  return 0;
}

int xmlrpc_struct_remove_member(XmlrpcStruct *xs, char *membername) {
  if (xs == nullptr || membername == nullptr) return EINVAL;
  SList *previous = nullptr;
  SList *node = FindMember(xs, membername, &previous);
  if (node == nullptr) return ENOENT;
  auto *member = static_cast<XmlrpcStructMember *>(node->data);
  if (node == xs->members.tail) xs->members.tail = previous;
  --xs->members.count;
  xs->members.cursor = nullptr;
  // Member records are unique, so this unlinks exactly the node found.
  slist_item_remove(&xs->memberlist, member);
  XmlrpcValue *value = member->value;
  member->value = nullptr;
  Free(member->name);
  Free(member);
  return xmlrpc_value_ref_dec(&value);
}

// ---- Arrays ----

int xmlrpc_array_new(XmlrpcArray **xap) {
  if (xap == nullptr) return EINVAL;
  *xap = nullptr;
  auto *xa = NewZeroed<XmlrpcArray>();
  if (xa == nullptr) return ENOMEM;
  xa->ref.refcount = 1;
  *xap = xa;
  return 0;
}

int xmlrpc_array_add_value(XmlrpcArray *xa, XmlrpcValue *value) {
  if (xa == nullptr || value == nullptr) return EINVAL;
  int rc = ListAppend(&xa->valuelist, &xa->values, value);
  if (rc != 0) return rc;
  ++value->ref.refcount;
  return 0;
}

int xmlrpc_array_value_count(XmlrpcArray *xa, int *valuecount) {
  if (xa == nullptr || valuecount == nullptr) return EINVAL;
  *valuecount = xa->values.count;
  return 0;
}

int xmlrpc_array_get_value(XmlrpcArray *xa, int valuenumber, XmlrpcValue **xvp) {
  if (xa == nullptr || xvp == nullptr) return EINVAL;
  *xvp = nullptr;
  void *item = nullptr;
  int rc = ListGet(xa->valuelist, &xa->values, valuenumber, &item);
  if (rc != 0) return rc;
  auto *value = static_cast<XmlrpcValue *>(item);
  ++value->ref.refcount;
  *xvp = value;
  return 0;
}

}  // extern "C"

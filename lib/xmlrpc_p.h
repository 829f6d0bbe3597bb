// Private to libtarnu: the records of the XML-RPC module and the helpers its
// source files share.
//
// Lists are SList chains. Next to each list head a record keeps an
// XmlrpcListState: the tail (so appends cost constant time), the node count,
// and the last node visited by index (so reading entries by increasing index
// costs constant time per step). Only the owning record changes a list, so
// the state is always in step with it.
#ifndef TARNU_LIB_XMLRPC_P_H_
#define TARNU_LIB_XMLRPC_P_H_

#include <cstdint>

#include "tarnu/slist.h"
#include "tarnu/xmlrpc.h"

typedef struct XmlrpcRef {
  uint32_t refcount;  // number of holders
} XmlrpcRef;

typedef struct XmlrpcListState {
  SList *tail;      // last node, null when the list is empty
  int count;        // number of nodes
  SList *cursor;    // node last reached by index, null when unset
  int cursorindex;  // index of cursor
} XmlrpcListState;

struct XmlrpcValue {
  XmlrpcRef ref;
  int type;
  int datalen;
  void *data;  // scalar copy (datalen bytes and a NUL), or the struct/array
};

typedef struct XmlrpcStructMember {
  XmlrpcValue *value;  // one counted reference
  char *name;          // owned copy
} XmlrpcStructMember;

// Set only while a struct or array is being released: the container whose
// release waits for this one to finish. Releasing a tree chains its dying
// containers through these links instead of the call stack, so a tree of any
// depth is released in constant stack space without allocating.
typedef struct XmlrpcReleaseLink {
  void *waiting;    // XmlrpcStruct * or XmlrpcArray *; null for the outermost
  int waitingtype;  // XMLRPC_TYPE_STRUCT or XMLRPC_TYPE_ARRAY
} XmlrpcReleaseLink;

struct XmlrpcStruct {
  XmlrpcRef ref;
  SList *memberlist;  // of XmlrpcStructMember *, in insertion order
  XmlrpcListState members;
  XmlrpcReleaseLink release;
};

struct XmlrpcArray {
  XmlrpcRef ref;
  SList *valuelist;  // of XmlrpcValue *, each a counted reference
  XmlrpcListState values;
  XmlrpcReleaseLink release;
};

struct XmlrpcRequest {
  char *methodname;
  SList *paramlist;  // of XmlrpcValue *, each a counted reference
  XmlrpcListState params;
};

struct XmlrpcResponse {
  int type;
  char *methodname;
  SList *paramlist;  // of XmlrpcValue *, exactly one counted reference
  XmlrpcListState params;
};

namespace tarnu::xmlrpc {

// Values nested deeper than this are refused by the writer and the reader,
// which keeps their recursion (and a cyclic graph) from exhausting the stack.
inline constexpr int kMaxDepth = 1000;

// Appends data after the tail in constant time. 12 when no node can be made
// (list unchanged).
int ListAppend(SList **head, XmlrpcListState *state, void *data);
// *data = item at index, walking on from the cursor when it is not past the
// index. 22 for an empty list, 2 for a negative index or one past the end.
int ListGet(SList *head, XmlrpcListState *state, int index, void **data);
// Drops the reference held by each value of the list, head to tail, then
// frees the nodes and clears the state.
void ListReleaseValues(SList **head, XmlrpcListState *state);

// The parameter getters shared by requests and responses.
int ParamCount(const XmlrpcListState &state, int *paramcount);
int ParamGet(SList *head, XmlrpcListState *state, int paramnumber, XmlrpcValue **xvp);

}  // namespace tarnu::xmlrpc

#endif  // TARNU_LIB_XMLRPC_P_H_

// XML-RPC value model, requests and responses: status codes, reference
// counts after every operation, constant-time list bookkeeping, and every
// out-of-memory path.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "xmlrpc_test_util.h"

namespace {

using namespace xmlrpc_test;

// ---- Values ----

TEST(XmlrpcValue, NewCopiesScalarsWithTrailingNul) {
  char text[] = "ab\0cd";
  XmlrpcValue *xv = Scalar(XMLRPC_TYPE_STRING, text, 5);
  text[0] = 'X';
  int type = 0, length = 0;
  void *data = nullptr;
  ASSERT_EQ(xmlrpc_value_get_value(xv, &type, &data, &length), 0);
  EXPECT_EQ(type, XMLRPC_TYPE_STRING);
  EXPECT_EQ(length, 5);
  EXPECT_EQ(std::memcmp(data, "ab\0cd\0", 6), 0);
  EXPECT_EQ(Refs(xv), 1u);
  EXPECT_EQ(xmlrpc_value_ref_dec(&xv), 0);
  EXPECT_EQ(xv, nullptr);

  XmlrpcValue *empty = Scalar(XMLRPC_TYPE_STRING, "", 0);
  ASSERT_EQ(xmlrpc_value_get_value(empty, &type, &data, &length), 0);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(static_cast<char *>(data)[0], '\0');
  xmlrpc_value_ref_dec(&empty);
}

TEST(XmlrpcValue, NewRejectsBadArgumentsAndClearsOutput) {
  int32_t n = 1;
  XmlrpcValue *xv = reinterpret_cast<XmlrpcValue *>(&n);
  EXPECT_EQ(xmlrpc_value_new(nullptr, XMLRPC_TYPE_INT, &n, 4), EINVAL);
  EXPECT_EQ(xmlrpc_value_new(&xv, XMLRPC_TYPE_STRING, nullptr, 0), EINVAL);
  EXPECT_EQ(xv, nullptr);
  EXPECT_EQ(xmlrpc_value_new(&xv, XMLRPC_TYPE_STRING, &n, -1), EINVAL);
  EXPECT_EQ(xmlrpc_value_new(&xv, 0, &n, 4), EINVAL);
  EXPECT_EQ(xmlrpc_value_new(&xv, 9, &n, 4), EINVAL);
  EXPECT_EQ(xv, nullptr);
}

TEST(XmlrpcValue, NumbersMustHoldTheirExactWidth) {
  int16_t small = 7;
  double d = 1;
  XmlrpcValue *xv = nullptr;
  EXPECT_EQ(xmlrpc_value_new(&xv, XMLRPC_TYPE_INT, &small, 2), EINVAL);
  EXPECT_EQ(xmlrpc_value_new(&xv, XMLRPC_TYPE_BOOLEAN, &small, 2), EINVAL);
  EXPECT_EQ(xmlrpc_value_new(&xv, XMLRPC_TYPE_INT, &d, 8), EINVAL);
  EXPECT_EQ(xmlrpc_value_new(&xv, XMLRPC_TYPE_DOUBLE, &d, 4), EINVAL);
  EXPECT_EQ(xmlrpc_value_new(&xv, XMLRPC_TYPE_DOUBLE, &d, 9), EINVAL);
  EXPECT_EQ(xv, nullptr);
  EXPECT_EQ(xmlrpc_value_new(&xv, XMLRPC_TYPE_DOUBLE, &d, 8), 0);
  xmlrpc_value_ref_dec(&xv);
}

TEST(XmlrpcValue, ViewsAreBorrowedAndTypeChecked) {
  XmlrpcValue *number = Int(3);
  XmlrpcStruct *xs = nullptr;
  XmlrpcArray *xa = nullptr;
  EXPECT_EQ(xmlrpc_value_get_struct(number, &xs), EINVAL);
  EXPECT_EQ(xmlrpc_value_get_array(number, &xa), EINVAL);
  EXPECT_EQ(xs, nullptr);
  XmlrpcValue *sv = StructOf({});
  ASSERT_EQ(xmlrpc_value_get_struct(sv, &xs), 0);
  EXPECT_EQ(Refs(xs), 1u);
  XmlrpcValue *av = ArrayOf({});
  ASSERT_EQ(xmlrpc_value_get_array(av, &xa), 0);
  EXPECT_EQ(Refs(xa), 1u);
  int type = 0, length = 0;
  void *data = nullptr;
  ASSERT_EQ(xmlrpc_value_get_value(av, &type, &data, &length), 0);
  EXPECT_EQ(data, xa);
  EXPECT_EQ(xmlrpc_value_get_value(av, nullptr, &data, &length), EINVAL);
  number->type = 9;
  EXPECT_EQ(xmlrpc_value_get_value(number, &type, &data, &length), EINVAL);
  EXPECT_EQ(type, 0);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(length, 0);
  number->type = XMLRPC_TYPE_INT;
  xmlrpc_value_ref_dec(&number);
  xmlrpc_value_ref_dec(&sv);
  xmlrpc_value_ref_dec(&av);
}

TEST(XmlrpcValue, WrappingTakesAReferenceAndLastDropFreesTheTree) {
  XmlrpcStruct *xs = nullptr;
  ASSERT_EQ(xmlrpc_struct_new(&xs), 0);
  XmlrpcValue *shared = Int(1);
  ASSERT_EQ(xmlrpc_struct_add_member(xs, const_cast<char *>("a"), shared), 0);
  XmlrpcValue *wrapper = nullptr;
  ASSERT_EQ(xmlrpc_value_new_from_struct(&wrapper, xs), 0);
  EXPECT_EQ(Refs(xs), 2u);
  EXPECT_EQ(xmlrpc_struct_ref_dec(&xs), 0);
  ASSERT_NE(xs, nullptr);
  EXPECT_EQ(Refs(xs), 1u);
  EXPECT_EQ(Refs(shared), 2u);
  EXPECT_EQ(xmlrpc_value_ref_dec(&wrapper), 0);
  EXPECT_EQ(Refs(shared), 1u);
  EXPECT_EQ(xmlrpc_value_ref_dec(&shared), 0);

  XmlrpcValue *xv = nullptr;
  EXPECT_EQ(xmlrpc_value_new_from_struct(&xv, nullptr), EINVAL);
  EXPECT_EQ(xmlrpc_value_new_from_array(&xv, nullptr), EINVAL);
  EXPECT_EQ(xmlrpc_value_ref_dec(&xv), EINVAL);
  EXPECT_EQ(xmlrpc_value_ref_dec(nullptr), EINVAL);
  EXPECT_EQ(xmlrpc_value_ref_inc(nullptr), EINVAL);
  EXPECT_EQ(xmlrpc_struct_ref_inc(nullptr), EINVAL);
  EXPECT_EQ(xmlrpc_array_ref_inc(nullptr), EINVAL);
}

TEST(XmlrpcValue, DropKeepsPointerWhileOthersHold) {
  XmlrpcValue *xv = Int(5);
  XmlrpcValue *alias = xv;
  ASSERT_EQ(xmlrpc_value_ref_inc(xv), 0);
  EXPECT_EQ(xmlrpc_value_ref_dec(&alias), 0);
  EXPECT_EQ(alias, xv);
  EXPECT_EQ(Refs(xv), 1u);
  xmlrpc_value_ref_dec(&xv);
}

TEST(XmlrpcValue, FaultHoldsCodeThenString) {
  XmlrpcValue *fault = nullptr;
  ASSERT_EQ(xmlrpc_value_new_fault(&fault, -7, const_cast<char *>("")), 0);
  EXPECT_EQ(Canon(fault), Cat("{", Hex("faultCode"), "=i-7,", Hex("faultString"), "=s;,}"));
  XmlrpcStruct *xs = nullptr;
  ASSERT_EQ(xmlrpc_value_get_struct(fault, &xs), 0);
  EXPECT_EQ(Refs(xs), 1u);
  xmlrpc_value_ref_dec(&fault);
  EXPECT_EQ(xmlrpc_value_new_fault(&fault, 1, nullptr), EINVAL);
}

// ---- Structs ----

TEST(XmlrpcStruct, DuplicateNamesKeepOrderAndActOnTheEarlierOne) {
  XmlrpcStruct *xs = nullptr;
  ASSERT_EQ(xmlrpc_struct_new(&xs), 0);
  XmlrpcValue *first = Int(1), *second = Int(2);
  char name[] = "k";
  ASSERT_EQ(xmlrpc_struct_add_member(xs, name, first), 0);
  ASSERT_EQ(xmlrpc_struct_add_member(xs, name, second), 0);
  int count = 0, has = 0;
  EXPECT_EQ(xmlrpc_struct_member_count(xs, &count), 0);
  EXPECT_EQ(count, 2);
  XmlrpcValue *got = nullptr;
  ASSERT_EQ(xmlrpc_struct_get_member(xs, name, &got), 0);
  EXPECT_EQ(got, first);
  EXPECT_EQ(Refs(first), 3u);
  xmlrpc_value_ref_dec(&got);
  EXPECT_EQ(xmlrpc_struct_remove_member(xs, name), 0);
  EXPECT_EQ(Refs(first), 1u);
  ASSERT_EQ(xmlrpc_struct_get_member(xs, name, &got), 0);
  EXPECT_EQ(got, second);
  xmlrpc_value_ref_dec(&got);
  EXPECT_EQ(xmlrpc_struct_has_member(xs, name, &has), 0);
  EXPECT_EQ(has, 1);
  EXPECT_EQ(xmlrpc_struct_has_member(xs, const_cast<char *>("K"), &has), 0);
  EXPECT_EQ(has, 0);
  EXPECT_EQ(xmlrpc_struct_remove_member(xs, const_cast<char *>("K")), ENOENT);
  xmlrpc_struct_ref_dec(&xs);
  EXPECT_EQ(Refs(second), 1u);
  xmlrpc_value_ref_dec(&first);
  xmlrpc_value_ref_dec(&second);
}

TEST(XmlrpcStruct, SameValueUnderTwoNamesCountsTwice) {
  XmlrpcStruct *xs = nullptr;
  ASSERT_EQ(xmlrpc_struct_new(&xs), 0);
  XmlrpcValue *xv = Str("x");
  ASSERT_EQ(xmlrpc_struct_add_member(xs, const_cast<char *>("a"), xv), 0);
  ASSERT_EQ(xmlrpc_struct_add_member(xs, const_cast<char *>("b"), xv), 0);
  EXPECT_EQ(Refs(xv), 3u);
  ASSERT_EQ(xmlrpc_struct_remove_member(xs, const_cast<char *>("b")), 0);
  EXPECT_EQ(Refs(xv), 2u);
  xmlrpc_struct_ref_dec(&xs);
  EXPECT_EQ(Refs(xv), 1u);
  xmlrpc_value_ref_dec(&xv);
}

TEST(XmlrpcStruct, EmptyStructAnswers) {
  XmlrpcStruct *xs = nullptr;
  ASSERT_EQ(xmlrpc_struct_new(&xs), 0);
  int count = -1, has = -1;
  XmlrpcValue *got = Int(0);
  XmlrpcValue *keep = got;
  EXPECT_EQ(xmlrpc_struct_member_count(xs, &count), 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(xmlrpc_struct_get_member(xs, const_cast<char *>("a"), &got), ENOENT);
  EXPECT_EQ(got, nullptr);
  EXPECT_EQ(xmlrpc_struct_has_member(xs, const_cast<char *>("a"), &has), 0);
  EXPECT_EQ(has, 0);
  EXPECT_EQ(xmlrpc_struct_remove_member(xs, const_cast<char *>("a")), ENOENT);
  EXPECT_EQ(xmlrpc_struct_add_member(xs, nullptr, keep), EINVAL);
  EXPECT_EQ(xmlrpc_struct_add_member(nullptr, const_cast<char *>("a"), keep), EINVAL);
  EXPECT_EQ(xmlrpc_struct_member_count(xs, nullptr), EINVAL);
  EXPECT_EQ(Refs(keep), 1u);
  xmlrpc_value_ref_dec(&keep);
  xmlrpc_struct_ref_dec(&xs);
}

TEST(XmlrpcStruct, RemovingTheLastMemberKeepsAppendsInOrder) {
  XmlrpcStruct *xs = nullptr;
  ASSERT_EQ(xmlrpc_struct_new(&xs), 0);
  for (const char *name : {"a", "b", "c"}) {
    XmlrpcValue *xv = Str(name);
    ASSERT_EQ(xmlrpc_struct_add_member(xs, const_cast<char *>(name), xv), 0);
    xmlrpc_value_ref_dec(&xv);
  }
  ASSERT_EQ(xmlrpc_struct_remove_member(xs, const_cast<char *>("c")), 0);
  ASSERT_EQ(xmlrpc_struct_remove_member(xs, const_cast<char *>("a")), 0);
  XmlrpcValue *xv = Str("d");
  ASSERT_EQ(xmlrpc_struct_add_member(xs, const_cast<char *>("d"), xv), 0);
  xmlrpc_value_ref_dec(&xv);
  ASSERT_EQ(xmlrpc_struct_remove_member(xs, const_cast<char *>("b")), 0);
  ASSERT_EQ(xmlrpc_struct_remove_member(xs, const_cast<char *>("d")), 0);
  xv = Str("e");
  ASSERT_EQ(xmlrpc_struct_add_member(xs, const_cast<char *>("e"), xv), 0);
  xmlrpc_value_ref_dec(&xv);
  XmlrpcValue *wrapped = nullptr;
  ASSERT_EQ(xmlrpc_value_new_from_struct(&wrapped, xs), 0);
  EXPECT_EQ(Canon(wrapped), Cat("{", Hex("e"), "=s", Hex("e"), ";,}"));
  int count = 0;
  EXPECT_EQ(xmlrpc_struct_member_count(xs, &count), 0);
  EXPECT_EQ(count, 1);
  xmlrpc_value_ref_dec(&wrapped);
  xmlrpc_struct_ref_dec(&xs);
}

// ---- Arrays ----

TEST(XmlrpcArray, IndexRulesAndReferences) {
  XmlrpcArray *xa = nullptr;
  ASSERT_EQ(xmlrpc_array_new(&xa), 0);
  XmlrpcValue *got = nullptr;
  int count = -1;
  EXPECT_EQ(xmlrpc_array_get_value(xa, 0, &got), EINVAL);
  EXPECT_EQ(xmlrpc_array_value_count(xa, &count), 0);
  EXPECT_EQ(count, 0);
  XmlrpcValue *xv = Int(9);
  ASSERT_EQ(xmlrpc_array_add_value(xa, xv), 0);
  ASSERT_EQ(xmlrpc_array_add_value(xa, xv), 0);
  EXPECT_EQ(Refs(xv), 3u);
  EXPECT_EQ(xmlrpc_array_get_value(xa, 2, &got), ENOENT);
  EXPECT_EQ(xmlrpc_array_get_value(xa, -1, &got), ENOENT);
  EXPECT_EQ(got, nullptr);
  ASSERT_EQ(xmlrpc_array_get_value(xa, 1, &got), 0);
  EXPECT_EQ(got, xv);
  EXPECT_EQ(Refs(xv), 4u);
  xmlrpc_value_ref_dec(&got);
  EXPECT_EQ(xmlrpc_array_add_value(xa, nullptr), EINVAL);
  xmlrpc_array_ref_dec(&xa);
  EXPECT_EQ(Refs(xv), 1u);
  xmlrpc_value_ref_dec(&xv);
}

TEST(XmlrpcArray, IndexedReadsInAnyOrderFindTheRightValue) {
  constexpr int kCount = 50;
  XmlrpcArray *xa = nullptr;
  ASSERT_EQ(xmlrpc_array_new(&xa), 0);
  for (int i = 0; i < kCount; ++i) {
    XmlrpcValue *xv = Int(i * 3);
    ASSERT_EQ(xmlrpc_array_add_value(xa, xv), 0);
    xmlrpc_value_ref_dec(&xv);
  }
  // Forward, backward, repeated and skipping reads all go through the
  // remembered position.
  for (int index : {0, 1, 2, 2, 49, 10, 9, 11, 30, 0, 48, 49, 5}) {
    XmlrpcValue *xv = nullptr;
    ASSERT_EQ(xmlrpc_array_get_value(xa, index, &xv), 0);
    EXPECT_EQ(Canon(xv), Cat("i", std::to_string(index * 3))) << index;
    xmlrpc_value_ref_dec(&xv);
  }
  xmlrpc_array_ref_dec(&xa);
}

// ---- Releasing deep trees ----

// Wraps `inner` `levels` times in a one-entry container value made by `wrap`,
// building the tree in a loop; takes over the reference on `inner`.
template <typename Wrap>
XmlrpcValue *Nest(XmlrpcValue *inner, int levels, Wrap wrap) {
  for (int level = 0; level < levels; ++level) inner = wrap(inner);
  return inner;
}

XmlrpcValue *InArray(XmlrpcValue *inner) {
  return ArrayOf({inner});
}

XmlrpcValue *InStruct(XmlrpcValue *inner) {
  return StructOf({{"m", inner}});
}

constexpr int kMillionLevels = 1000000;

// Release used to recurse once per level and ran out of stack long before a
// million levels; the shared leaf shows the counts below stay right.
TEST(XmlrpcRelease, MillionLevelsOfArraysAndOfStructs) {
  for (auto wrap : {InArray, InStruct}) {
    XmlrpcValue *leaf = Int(7);
    ASSERT_EQ(xmlrpc_value_ref_inc(leaf), 0);
    XmlrpcValue *top = Nest(leaf, kMillionLevels, wrap);
    EXPECT_EQ(Refs(leaf), 2u);
    EXPECT_EQ(xmlrpc_value_ref_dec(&top), 0);
    EXPECT_EQ(top, nullptr);
    EXPECT_EQ(Refs(leaf), 1u);
    xmlrpc_value_ref_dec(&leaf);
  }
}

// The outermost container dropped directly, and a request holding the tree.
TEST(XmlrpcRelease, DeepTreeUnderAContainerOrARequest) {
  XmlrpcArray *xa = nullptr;
  ASSERT_EQ(xmlrpc_array_new(&xa), 0);
  XmlrpcValue *deep = Nest(Str("x"), kMillionLevels, InStruct);
  ASSERT_EQ(xmlrpc_array_add_value(xa, deep), 0);
  xmlrpc_value_ref_dec(&deep);
  EXPECT_EQ(xmlrpc_array_ref_dec(&xa), 0);
  EXPECT_EQ(xa, nullptr);

  XmlrpcRequest *xr = nullptr;
  ASSERT_EQ(xmlrpc_request_new(&xr, const_cast<char *>("m")), 0);
  deep = Nest(Int(1), kMillionLevels, InArray);
  ASSERT_EQ(xmlrpc_request_add_param(xr, deep), 0);
  xmlrpc_value_ref_dec(&deep);
  EXPECT_EQ(xmlrpc_request_free(&xr), 0);
}

// Containers still held elsewhere survive the release of a tree around them,
// with their contents, and every shared value loses exactly the references
// the released entries held.
TEST(XmlrpcRelease, SharedEntriesKeepTheirCounts) {
  XmlrpcValue *shared = Str("s");
  XmlrpcValue *kept = ArrayOf({Int(1), StructOf({{"k", Int(2)}})});
  std::string kept_canon = Canon(kept);
  XmlrpcValue *tree = Int(0);
  for (int level = 0; level < 1000; ++level) {
    xmlrpc_value_ref_inc(shared);
    xmlrpc_value_ref_inc(kept);
    tree = level % 2 == 0 ? StructOf({{"a", shared}, {"t", tree}, {"b", kept}})
                          : ArrayOf({kept, tree, shared});
  }
  EXPECT_EQ(Refs(shared), 1001u);
  EXPECT_EQ(Refs(kept), 1001u);
  XmlrpcValue *alias = tree;
  ASSERT_EQ(xmlrpc_value_ref_inc(tree), 0);
  EXPECT_EQ(xmlrpc_value_ref_dec(&alias), 0);  // another holder remains
  EXPECT_EQ(alias, tree);
  EXPECT_EQ(Refs(shared), 1001u);
  EXPECT_EQ(xmlrpc_value_ref_dec(&tree), 0);
  EXPECT_EQ(tree, nullptr);
  EXPECT_EQ(Refs(shared), 1u);
  EXPECT_EQ(Refs(kept), 1u);
  EXPECT_EQ(Canon(kept), kept_canon);
  xmlrpc_value_ref_dec(&shared);
  xmlrpc_value_ref_dec(&kept);
}

// ---- Requests and responses ----

TEST(XmlrpcRequest, ParamsCountNamesAndFree) {
  XmlrpcRequest *xr = nullptr;
  EXPECT_EQ(xmlrpc_request_new(&xr, nullptr), EINVAL);
  ASSERT_EQ(xmlrpc_request_new(&xr, const_cast<char *>("ping")), 0);
  int count = -1;
  XmlrpcValue *got = nullptr;
  EXPECT_EQ(xmlrpc_request_get_param_count(xr, &count), 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(xmlrpc_request_get_param(xr, 0, &got), ENOENT);
  EXPECT_EQ(xmlrpc_request_get_param(xr, -1, &got), EINVAL);
  XmlrpcValue *a = Int(1), *b = Str("b");
  ASSERT_EQ(xmlrpc_request_add_param(xr, a), 0);
  ASSERT_EQ(xmlrpc_request_add_param(xr, b), 0);
  ASSERT_EQ(xmlrpc_request_add_param(xr, a), 0);
  EXPECT_EQ(Refs(a), 3u);
  EXPECT_EQ(xmlrpc_request_get_param_count(xr, &count), 0);
  EXPECT_EQ(count, 3);
  ASSERT_EQ(xmlrpc_request_get_param(xr, 1, &got), 0);
  EXPECT_EQ(got, b);
  EXPECT_EQ(Refs(b), 3u);
  xmlrpc_value_ref_dec(&got);
  EXPECT_EQ(xmlrpc_request_get_param(xr, 3, &got), ENOENT);
  const char *name = nullptr;
  ASSERT_EQ(xmlrpc_request_get_methodname(xr, &name), 0);
  EXPECT_STREQ(name, "ping");
  EXPECT_EQ(xmlrpc_request_free(&xr), 0);
  EXPECT_EQ(xr, nullptr);
  EXPECT_EQ(xmlrpc_request_free(&xr), EINVAL);
  EXPECT_EQ(Refs(a), 1u);
  EXPECT_EQ(Refs(b), 1u);
  xmlrpc_value_ref_dec(&a);
  xmlrpc_value_ref_dec(&b);
}

TEST(XmlrpcResponse, ConstructorsHoldExactlyOneParam) {
  XmlrpcValue *xv = Str("ok");
  XmlrpcResponse *xr = nullptr;
  EXPECT_EQ(xmlrpc_response_new(&xr, nullptr, xv), EINVAL);
  ASSERT_EQ(xmlrpc_response_new(&xr, const_cast<char *>(""), xv), 0);
  EXPECT_EQ(xr->type, XMLRPC_RESPONSE_PARAMS);
  EXPECT_EQ(Refs(xv), 2u);
  int count = 0;
  XmlrpcValue *got = nullptr;
  EXPECT_EQ(xmlrpc_response_get_param_count(xr, &count), 0);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(xmlrpc_response_get_param(xr, 1, &got), ENOENT);
  EXPECT_EQ(xmlrpc_response_get_param(xr, -1, &got), EINVAL);
  const char *name = nullptr;
  ASSERT_EQ(xmlrpc_response_get_methodname(xr, &name), 0);
  EXPECT_STREQ(name, "");
  EXPECT_EQ(xmlrpc_response_free(&xr), 0);
  EXPECT_EQ(xr, nullptr);
  EXPECT_EQ(xmlrpc_response_free(&xr), EINVAL);

  ASSERT_EQ(xmlrpc_response_fault_new_with_value(&xr, const_cast<char *>("m"), xv), 0);
  EXPECT_EQ(xr->type, XMLRPC_RESPONSE_FAULT);
  EXPECT_EQ(Refs(xv), 2u);
  xmlrpc_response_free(&xr);
  EXPECT_EQ(Refs(xv), 1u);
  xmlrpc_value_ref_dec(&xv);

  ASSERT_EQ(xmlrpc_response_fault_new(&xr, const_cast<char *>("m"), 4, const_cast<char *>("bad")),
            0);
  EXPECT_EQ(xr->type, XMLRPC_RESPONSE_FAULT);
  ASSERT_EQ(xmlrpc_response_get_param(xr, 0, &got), 0);
  EXPECT_EQ(Refs(got), 2u);
  EXPECT_EQ(Canon(got),
            Cat("{", Hex("faultCode"), "=i4,", Hex("faultString"), "=s", Hex("bad"), ";,}"));
  xmlrpc_value_ref_dec(&got);
  xmlrpc_response_free(&xr);
}

// ---- Out of memory ----

TEST(XmlrpcOutOfMemory, ValueStructArrayConstructors) {
  XmlrpcValue *xv = nullptr;
  char text[] = "text";
  ForEachAllocationFailure([&] { return xmlrpc_value_new(&xv, XMLRPC_TYPE_STRING, text, 4); },
                           [&] { return xv == nullptr; });
  XmlrpcStruct *xs = nullptr;
  ForEachAllocationFailure([&] { return xmlrpc_struct_new(&xs); }, [&] { return xs == nullptr; });
  XmlrpcArray *xa = nullptr;
  ForEachAllocationFailure([&] { return xmlrpc_array_new(&xa); }, [&] { return xa == nullptr; });
  ForEachAllocationFailure([&] { return xmlrpc_struct_add_member(xs, text, xv); },
                           [&] { return Refs(xv) == 1 && xs->members.count == 0; });
  ForEachAllocationFailure([&] { return xmlrpc_array_add_value(xa, xv); },
                           [&] { return Refs(xv) == 2 && xa->values.count == 0; });
  XmlrpcValue *wrapper = nullptr;
  ForEachAllocationFailure([&] { return xmlrpc_value_new_from_struct(&wrapper, xs); },
                           [&] { return wrapper == nullptr && Refs(xs) == 1; });
  xmlrpc_value_ref_dec(&wrapper);
  ForEachAllocationFailure([&] { return xmlrpc_value_new_from_array(&wrapper, xa); },
                           [&] { return wrapper == nullptr && Refs(xa) == 1; });
  xmlrpc_value_ref_dec(&wrapper);
  XmlrpcValue *fault = nullptr;
  ForEachAllocationFailure([&] { return xmlrpc_value_new_fault(&fault, 3, text); },
                           [&] { return fault == nullptr; });
  xmlrpc_value_ref_dec(&fault);
  xmlrpc_struct_ref_dec(&xs);
  xmlrpc_array_ref_dec(&xa);
  EXPECT_EQ(Refs(xv), 1u);
  xmlrpc_value_ref_dec(&xv);
}

TEST(XmlrpcOutOfMemory, RequestsAndResponses) {
  XmlrpcValue *xv = Int(1);
  XmlrpcRequest *request = nullptr;
  ForEachAllocationFailure([&] { return xmlrpc_request_new(&request, const_cast<char *>("m")); },
                           [&] { return request == nullptr; });
  ForEachAllocationFailure([&] { return xmlrpc_request_add_param(request, xv); },
                           [&] { return Refs(xv) == 1 && request->params.count == 0; });
  xmlrpc_request_free(&request);
  XmlrpcResponse *response = nullptr;
  ForEachAllocationFailure(
      [&] { return xmlrpc_response_new(&response, const_cast<char *>("m"), xv); },
      [&] { return response == nullptr && Refs(xv) == 1; });
  xmlrpc_response_free(&response);
  ForEachAllocationFailure(
      [&] { return xmlrpc_response_fault_new_with_value(&response, const_cast<char *>("m"), xv); },
      [&] { return response == nullptr && Refs(xv) == 1; });
  xmlrpc_response_free(&response);
  ForEachAllocationFailure(
      [&] {
        return xmlrpc_response_fault_new(&response, const_cast<char *>("m"), 2,
                                         const_cast<char *>("f"));
      },
      [&] { return response == nullptr; });
  xmlrpc_response_free(&response);
  xmlrpc_value_ref_dec(&xv);
}

}  // namespace

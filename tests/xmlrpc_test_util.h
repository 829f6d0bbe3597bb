// Helpers shared by the XML-RPC tests: value builders that hand back one
// reference, a canonical text of a value tree for comparisons (the same form
// the Python peer script prints), random value trees, and routing libxml2's
// allocations through the library's failure hook.
#ifndef TARNU_TESTS_XMLRPC_TEST_UTIL_H_
#define TARNU_TESTS_XMLRPC_TEST_UTIL_H_

#include <gtest/gtest.h>
#include <libxml/xmlmemory.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "alloc.h"
#include "alloc_hook.h"
#include "tarnu/xmlrpc.h"
#include "xmlrpc_p.h"

namespace xmlrpc_test {

// libxml2 allocates through the library's hook, so tests can make its
// allocations fail as well. Must run before libxml2 is first used.
inline bool RouteLibxml2ThroughHook() {
  return xmlMemSetup(tarnu::detail::Free, tarnu::detail::Malloc, tarnu::detail::Realloc,
                     [](const char *text) { return tarnu::detail::Strdup(text); }) == 0;
}

// Runs op with the N-th allocation failing for N = 1, 2, ... until it
// succeeds; every failure must be `expected` and leave `unchanged` true.
// LeakSanitizer (asan preset) checks that no failed attempt leaks.
inline void ForEachAllocationFailure(const std::function<int()> &op,
                                     const std::function<bool()> &unchanged, int expected = ENOMEM,
                                     int also_expected = ENOMEM) {
  for (long n = 1;; ++n) {
    tarnu_alloc_hook_fail_once_at(n);
    int rc = op();
    tarnu_alloc_hook_reset();
    if (rc == 0) break;
    ASSERT_TRUE(rc == expected || rc == also_expected) << "allocation " << n << ": " << rc;
    ASSERT_TRUE(unchanged()) << "allocation " << n;
    ASSERT_LT(n, 10000);
  }
}

inline uint32_t Refs(const XmlrpcValue *xv) {
  return xv->ref.refcount;
}
inline uint32_t Refs(const XmlrpcStruct *xs) {
  return xs->ref.refcount;
}
inline uint32_t Refs(const XmlrpcArray *xa) {
  return xa->ref.refcount;
}

inline XmlrpcValue *Scalar(int type, const void *data, int length) {
  XmlrpcValue *xv = nullptr;
  EXPECT_EQ(xmlrpc_value_new(&xv, type, const_cast<void *>(data), length), 0);
  return xv;
}
inline XmlrpcValue *Int(int32_t n) {
  return Scalar(XMLRPC_TYPE_INT, &n, 4);
}
inline XmlrpcValue *Bool(int32_t n) {
  return Scalar(XMLRPC_TYPE_BOOLEAN, &n, 4);
}
inline XmlrpcValue *Dbl(double d) {
  return Scalar(XMLRPC_TYPE_DOUBLE, &d, 8);
}
inline XmlrpcValue *Text(int type, const std::string &s) {
  return Scalar(type, s.data(), static_cast<int>(s.size()));
}
inline XmlrpcValue *Str(const std::string &s) {
  return Text(XMLRPC_TYPE_STRING, s);
}

// Struct value of the given members; drops the references passed in.
inline XmlrpcValue *StructOf(std::vector<std::pair<std::string, XmlrpcValue *>> members) {
  XmlrpcStruct *xs = nullptr;
  EXPECT_EQ(xmlrpc_struct_new(&xs), 0);
  for (auto &[name, value] : members) {
    EXPECT_EQ(xmlrpc_struct_add_member(xs, name.data(), value), 0);
    xmlrpc_value_ref_dec(&value);
  }
  XmlrpcValue *xv = nullptr;
  EXPECT_EQ(xmlrpc_value_new_from_struct(&xv, xs), 0);
  xmlrpc_struct_ref_dec(&xs);
  return xv;
}

// Array value of the given values; drops the references passed in.
inline XmlrpcValue *ArrayOf(std::vector<XmlrpcValue *> values) {
  XmlrpcArray *xa = nullptr;
  EXPECT_EQ(xmlrpc_array_new(&xa), 0);
  for (XmlrpcValue *value : values) {
    EXPECT_EQ(xmlrpc_array_add_value(xa, value), 0);
    xmlrpc_value_ref_dec(&value);
  }
  XmlrpcValue *xv = nullptr;
  EXPECT_EQ(xmlrpc_value_new_from_array(&xv, xa), 0);
  xmlrpc_array_ref_dec(&xa);
  return xv;
}

inline std::string Hex(const std::string &bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

inline std::string WithoutWhiteSpace(const char *text) {
  std::string out;
  for (; *text != '\0'; ++text) {
    if (*text != ' ' && *text != '\n' && *text != '\t' && *text != '\r') out += *text;
  }
  return out;
}

// The pieces one after the other. Tests build expected texts with this, not
// with "text" + a temporary string, which GCC 12 at -O3 takes for an
// overlapping copy (a false -Wrestrict).
template <typename... Pieces>
std::string Cat(const Pieces &...pieces) {
  std::string out;
  ((out += pieces), ...);
  return out;
}

// Canonical text of a value tree. Doubles are compared as they read back
// from their "%f" text unless `as_written` is false.
inline std::string Canon(XmlrpcValue *xv, bool as_written = true) {
  int type = 0, length = 0;
  void *data = nullptr;
  EXPECT_EQ(xmlrpc_value_get_value(xv, &type, &data, &length), 0);
  char buf[512];
  switch (type) {
    case XMLRPC_TYPE_INT: {
      int32_t n;
      std::memcpy(&n, data, 4);
      return Cat("i", std::to_string(n));
    }
    case XMLRPC_TYPE_BOOLEAN: {
      int32_t n;
      std::memcpy(&n, data, 4);
      return n != 0 ? "b1" : "b0";
    }
    case XMLRPC_TYPE_DOUBLE: {
      double d;
      std::memcpy(&d, data, 8);
      if (as_written) {
        std::snprintf(buf, sizeof buf, "%f", d);
        d = std::strtod(buf, nullptr);
      }
      std::snprintf(buf, sizeof buf, "d%.17g", d);
      return buf;
    }
    case XMLRPC_TYPE_STRING:
      return Cat('s', Hex(static_cast<const char *>(data)), ';');
    case XMLRPC_TYPE_DATETIME:
      return Cat('t', Hex(static_cast<const char *>(data)), ';');
    case XMLRPC_TYPE_BASE64:
      return Cat('B', WithoutWhiteSpace(static_cast<const char *>(data)), ';');
    case XMLRPC_TYPE_STRUCT: {
      std::string out = "{";
      auto *xs = static_cast<XmlrpcStruct *>(data);
      for (SList *node = xs->memberlist; node != nullptr; node = node->next) {
        auto *member = static_cast<XmlrpcStructMember *>(node->data);
        out += Hex(member->name) + "=" + Canon(member->value, as_written) + ",";
      }
      return out + "}";
    }
    case XMLRPC_TYPE_ARRAY: {
      std::string out = "[";
      auto *xa = static_cast<XmlrpcArray *>(data);
      int count = 0;
      EXPECT_EQ(xmlrpc_array_value_count(xa, &count), 0);
      for (int i = 0; i < count; ++i) {
        XmlrpcValue *item = nullptr;
        EXPECT_EQ(xmlrpc_array_get_value(xa, i, &item), 0);
        out += Canon(item, as_written) + ",";
        xmlrpc_value_ref_dec(&item);
      }
      return out + "]";
    }
    default:
      return "?";
  }
}

inline std::string Base64(const std::string &bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    uint32_t n = (uint32_t(uint8_t(bytes[i])) << 16) | (uint32_t(uint8_t(bytes[i + 1])) << 8) |
                 uint8_t(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) out += kAlphabet[(n >> shift) & 63];
  }
  if (i < bytes.size()) {
    uint32_t n = uint32_t(uint8_t(bytes[i])) << 16;
    if (i + 1 < bytes.size()) n |= uint32_t(uint8_t(bytes[i + 1])) << 8;
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

// Random value trees over all types (datetime when asked), with text that
// needs escaping and values shared between places.
class RandomValues {
 public:
  RandomValues(uint32_t seed, bool with_datetime) : rng_(seed), with_datetime_(with_datetime) {}
  ~RandomValues() {
    for (XmlrpcValue *&xv : pool_) xmlrpc_value_ref_dec(&xv);
  }

  std::string Text() {
    static const char *const kPieces[] = {"a",
                                          "Z",
                                          "0",
                                          " ",
                                          ".",
                                          "&",
                                          "<",
                                          ">",
                                          "\"",
                                          "'",
                                          "\t",
                                          "\n",
                                          "\r",
                                          ";",
                                          "]",
                                          "&lt;",
                                          "]]>",
                                          "a & b",
                                          "\xc3\xa9",
                                          "\xe2\x82\xac",
                                          "\xf0\x9f\x98\x80"};
    std::string text;
    int n = Below(10);
    for (int i = 0; i < n; ++i) text += kPieces[Below(sizeof kPieces / sizeof kPieces[0])];
    return text;
  }

  // A new reference on a random value tree.
  XmlrpcValue *Value(int depth) {
    if (!pool_.empty() && Below(8) == 0) {
      XmlrpcValue *shared = pool_[Below(static_cast<int>(pool_.size()))];
      xmlrpc_value_ref_inc(shared);
      return shared;
    }
    XmlrpcValue *xv = Fresh(depth);
    if (Below(4) == 0) {
      xmlrpc_value_ref_inc(xv);
      pool_.push_back(xv);
    }
    return xv;
  }

  int Below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

 private:
  XmlrpcValue *Fresh(int depth) {
    int kinds = depth < 3 ? 8 : 6;
    switch (Below(kinds)) {
      case 0:
        return Int(std::uniform_int_distribution<int32_t>(INT32_MIN, INT32_MAX)(rng_));
      case 1:
        return Bool(Below(2));
      case 2:
        return Str(Text());
      case 3: {
        static const double kDoubles[] = {0.0, -1.5, 0.5, 1e300, -1e300, 123456.015625};
        return Dbl(Below(3) == 0 ? Below(1 << 20) / 64.0 - 8192.0 : kDoubles[Below(6)]);
      }
      case 4: {
        if (with_datetime_ && Below(2) == 0) {
          return xmlrpc_test::Text(XMLRPC_TYPE_DATETIME,
                                   "2026120" + std::to_string(Below(10)) + "T21:30:00");
        }
        std::string bytes;
        for (int i = Below(40); i > 0; --i) bytes += static_cast<char>(Below(256));
        return xmlrpc_test::Text(XMLRPC_TYPE_BASE64, Base64(bytes));
      }
      case 5:
        return Str(Text() + "z");
      case 6: {
        std::vector<std::pair<std::string, XmlrpcValue *>> members;
        for (int i = Below(4); i > 0; --i) {
          members.emplace_back(Text() + std::to_string(members.size()), Value(depth + 1));
        }
        return StructOf(std::move(members));
      }
      default: {
        std::vector<XmlrpcValue *> values;
        for (int i = Below(4); i > 0; --i) values.push_back(Value(depth + 1));
        return ArrayOf(std::move(values));
      }
    }
  }

  std::mt19937 rng_;
  bool with_datetime_;
  std::vector<XmlrpcValue *> pool_;
};

// Canonical line of a request or response, as the Python peer prints it.
inline std::string CanonParams(int count, XmlrpcValue *(*get)(void *, int), void *owner,
                               bool as_written) {
  std::string out = "(";
  for (int i = 0; i < count; ++i) {
    XmlrpcValue *xv = get(owner, i);
    out += Canon(xv, as_written) + ",";
    xmlrpc_value_ref_dec(&xv);
  }
  return out + ")";
}

inline std::string CanonRequest(XmlrpcRequest *xr, bool as_written = true) {
  const char *name = nullptr;
  int count = 0;
  EXPECT_EQ(xmlrpc_request_get_methodname(xr, &name), 0);
  EXPECT_EQ(xmlrpc_request_get_param_count(xr, &count), 0);
  auto get = [](void *owner, int i) {
    XmlrpcValue *xv = nullptr;
    EXPECT_EQ(xmlrpc_request_get_param(static_cast<XmlrpcRequest *>(owner), i, &xv), 0);
    return xv;
  };
  return "C|" + Hex(name) + "|" + CanonParams(count, get, xr, as_written);
}

inline std::string CanonResponse(XmlrpcResponse *xr, bool as_written = true) {
  XmlrpcValue *xv = nullptr;
  EXPECT_EQ(xmlrpc_response_get_param(xr, 0, &xv), 0);
  std::string canon = Canon(xv, as_written);
  std::string out = xr->type == XMLRPC_RESPONSE_FAULT ? "F|" + canon : "R|(" + canon + ",)";
  xmlrpc_value_ref_dec(&xv);
  return out;
}

// The document of a request or response as a string; empty on failure.
inline std::string Document(XmlrpcRequest *xr) {
  char *xml = nullptr;
  int length = 0;
  EXPECT_EQ(xmlrpc_request_serialize(xr, &xml, &length), 0);
  std::string out = xml != nullptr ? std::string(xml, static_cast<std::size_t>(length)) : "";
  xmlFree(xml);
  return out;
}

inline std::string Document(XmlrpcResponse *xr) {
  char *xml = nullptr;
  int length = 0;
  EXPECT_EQ(xmlrpc_response_serialize(xr, &xml, &length), 0);
  std::string out = xml != nullptr ? std::string(xml, static_cast<std::size_t>(length)) : "";
  xmlFree(xml);
  return out;
}

}  // namespace xmlrpc_test

#endif  // TARNU_TESTS_XMLRPC_TEST_UTIL_H_

// XML-RPC reading: libxml2 parses the text into a tree, and the reader walks
// it along fixed paths, looking at one node at each step (a first child, or
// the node right after another) and comparing its name with the element name
// expected there. White space, comments or any other node fail the comparison
// where an element is expected. The one exception is a request's parameter
// list, where such nodes are passed over (see ReadRequestParams).
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "xmlrpc_p.h"

using namespace tarnu::xmlrpc;

namespace {

// Parsing never reaches the network, never loads an external DTD and never
// substitutes entities; libxml2 keeps its own limits on nesting depth and
// entity expansion.
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_COMPACT;

struct DocFree {
  void operator()(xmlDoc *doc) const noexcept { xmlFreeDoc(doc); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

bool Named(const xmlNode *node, const char *name) {
  return node != nullptr && node->name != nullptr &&
         std::strcmp(reinterpret_cast<const char *>(node->name), name) == 0;
}

// All text beneath an element, as xmlNodeGetContent gives it. The common
// case of a single text node is read in place; otherwise libxml2 builds the
// text, which is released with the object.
class ElementText {
 public:
  explicit ElementText(xmlNodePtr element) {
    xmlNodePtr child = element->children;
    if (child == nullptr) {
      text_ = "";
    } else if (child->type == XML_TEXT_NODE && child->next == nullptr &&
               child->content != nullptr) {
      text_ = reinterpret_cast<const char *>(child->content);
    } else {
      owned_ = xmlNodeGetContent(element);
      text_ = reinterpret_cast<const char *>(owned_);
    }
  }
  ElementText(const ElementText &) = delete;
  ElementText &operator=(const ElementText &) = delete;
  ~ElementText() {
    if (owned_ != nullptr) xmlFree(owned_);
  }
  // Null when libxml2 ran out of memory building the text.
  const char *get() const { return text_; }

 private:
  const char *text_ = nullptr;
  xmlChar *owned_ = nullptr;
};

int TypeOfElement(const xmlNode *node) {
  if (node == nullptr || node->name == nullptr) return 0;
  static constexpr struct {
    const char *name;
    int type;
  } kTypes[] = {{"i4", XMLRPC_TYPE_INT},        {"int", XMLRPC_TYPE_INT},
                {"string", XMLRPC_TYPE_STRING}, {"boolean", XMLRPC_TYPE_BOOLEAN},
                {"double", XMLRPC_TYPE_DOUBLE}, {"datetime", XMLRPC_TYPE_DATETIME},
                {"base64", XMLRPC_TYPE_BASE64}, {"struct", XMLRPC_TYPE_STRUCT},
                {"array", XMLRPC_TYPE_ARRAY}};
  for (const auto &entry : kTypes) {
    if (Named(node, entry.name)) return entry.type;
  }
  return 0;
}

// strtol in base 10, clamped to the 32-bit range whatever the width of long.
int32_t ParseInt(const char *text) {
  long long number = std::strtoll(text, nullptr, 10);
  if (number > INT32_MAX) return INT32_MAX;
  if (number < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(number);
}

int ReadValue(XmlrpcValue **xvp, xmlNodePtr node, int depth);

int ReadStruct(XmlrpcStruct **xsp, xmlNodePtr node, int depth) {
  if (!Named(node, "struct")) return EINVAL;
  XmlrpcStruct *xs = nullptr;
  int rc = xmlrpc_struct_new(&xs);
  if (rc != 0) return rc;
  for (xmlNodePtr member = node->children; member != nullptr; member = member->next) {
    xmlNodePtr name = Named(member, "member") ? member->children : nullptr;
    xmlNodePtr value = Named(name, "name") ? name->next : nullptr;
    XmlrpcValue *xv = nullptr;
    rc = ReadValue(&xv, value, depth + 1);
    if (rc == 0) {
      ElementText text(name);
      rc = text.get() == nullptr ? ENOMEM
                                 : xmlrpc_struct_add_member(xs, const_cast<char *>(text.get()), xv);
      xmlrpc_value_ref_dec(&xv);
    }
    if (rc != 0) {
      xmlrpc_struct_ref_dec(&xs);
      return EINVAL;
    }
  }
  *xsp = xs;
  return 0;
}

int ReadArray(XmlrpcArray **xap, xmlNodePtr node, int depth) {
  if (!Named(node, "array") || !Named(node->children, "data")) return EINVAL;
  XmlrpcArray *xa = nullptr;
  int rc = xmlrpc_array_new(&xa);
  if (rc != 0) return rc;
  for (xmlNodePtr value = node->children->children; value != nullptr; value = value->next) {
    XmlrpcValue *xv = nullptr;
    rc = ReadValue(&xv, value, depth + 1);
    if (rc == 0) {
      rc = xmlrpc_array_add_value(xa, xv);
      xmlrpc_value_ref_dec(&xv);
    }
    if (rc != 0) {
      xmlrpc_array_ref_dec(&xa);
      return EINVAL;
    }
  }
  *xap = xa;
  return 0;
}

// Wraps a struct or array just read in a value, dropping the local reference.
template <typename Container>
int WrapContainer(XmlrpcValue **xvp, Container *container, int (*wrap)(XmlrpcValue **, Container *),
                  int (*drop)(Container **)) {
  int rc = wrap(xvp, container);
  drop(&container);
  return rc;
}

int ReadScalar(XmlrpcValue **xvp, int type, xmlNodePtr element) {
  ElementText text(element);
  if (text.get() == nullptr) return ENOMEM;
  const char *chars = text.get();
  switch (type) {
    case XMLRPC_TYPE_INT: {
      int32_t number = ParseInt(chars);
      return xmlrpc_value_new(xvp, type, &number, sizeof number);
    }
    case XMLRPC_TYPE_BOOLEAN: {
      int32_t flag = chars[0] == '0' ? 0 : 1;
      return xmlrpc_value_new(xvp, type, &flag, sizeof flag);
    }
    case XMLRPC_TYPE_DOUBLE: {
      double number = std::strtod(chars, nullptr);
      return xmlrpc_value_new(xvp, type, &number, sizeof number);
    }
    default:
      return xmlrpc_value_new(xvp, type, const_cast<char *>(chars),
                              static_cast<int>(std::strlen(chars)));
  }
}

int ReadValue(XmlrpcValue **xvp, xmlNodePtr node, int depth) {
  if (depth > kMaxDepth || !Named(node, "value")) return EINVAL;
  xmlNodePtr element = node->children;
  int type = TypeOfElement(element);
  if (type == XMLRPC_TYPE_STRUCT) {
    XmlrpcStruct *xs = nullptr;
    int rc = ReadStruct(&xs, element, depth);
    if (rc != 0) return rc;
    return WrapContainer(xvp, xs, xmlrpc_value_new_from_struct, xmlrpc_struct_ref_dec);
  }
  if (type == XMLRPC_TYPE_ARRAY) {
    XmlrpcArray *xa = nullptr;
    int rc = ReadArray(&xa, element, depth);
    if (rc != 0) return rc;
    return WrapContainer(xvp, xa, xmlrpc_value_new_from_array, xmlrpc_array_ref_dec);
  }
  if (type == 0) return EINVAL;
  return ReadScalar(xvp, type, element);
}

struct ParserFree {
  void operator()(xmlParserCtxt *ctxt) const noexcept { xmlFreeParserCtxt(ctxt); }
};

// Parses the whole buffer; null when libxml2 cannot (malformed text or no
// memory). libxml2 hands back a truncated tree when memory runs out part way
// (it stops parsing but still calls the document well formed), so a memory
// error recorded in the parser context also counts as no document.
DocPtr Parse(const char *inputxml, int inputxmllen) {
  std::unique_ptr<xmlParserCtxt, ParserFree> ctxt(xmlNewParserCtxt());
  if (ctxt == nullptr) return nullptr;
  DocPtr doc(xmlCtxtReadMemory(ctxt.get(), inputxml, inputxmllen, nullptr, nullptr, kParseOptions));
  if (ctxt->errNo == XML_ERR_NO_MEMORY) doc.reset();
  return doc;
}

// The first element among a node's children, or an entity reference before
// it (entities are not substituted, so one may stand for an element); null
// when there is neither.
xmlNodePtr FirstElement(xmlNodePtr node) {
  xmlNodePtr child = node->children;
  while (child != nullptr && child->type != XML_ELEMENT_NODE &&
         child->type != XML_ENTITY_REF_NODE) {
    child = child->next;
  }
  return child;
}

// A request's parameters. Nodes other than "param" elements among them, and
// nodes other than elements (white space, comments) before a parameter's
// "value", are passed over, so an indented request loses nothing. A "param"
// that holds no element carries no value and is passed over too; one whose
// first element is not a "value" is malformed (22) rather than dropped, since
// dropping it would report success with a parameter missing.
int ReadRequestParams(XmlrpcRequest *xr, xmlNodePtr params) {
  for (xmlNodePtr param = params->children; param != nullptr; param = param->next) {
    if (!Named(param, "param")) continue;
    xmlNodePtr value = FirstElement(param);
    if (value == nullptr) continue;
    XmlrpcValue *xv = nullptr;
    int rc = ReadValue(&xv, value, 1);
    if (rc != 0) return rc;
    rc = xmlrpc_request_add_param(xr, xv);
    xmlrpc_value_ref_dec(&xv);
    if (rc != 0) return rc;
  }
  return 0;
}

}  // namespace

extern "C" {

int xmlrpc_value_new_parse_xml(XmlrpcValue **xvp, xmlNodePtr valuenode) {
  if (xvp == nullptr || valuenode == nullptr) return EINVAL;
  *xvp = nullptr;
  return ReadValue(xvp, valuenode, 1);
}

int xmlrpc_struct_new_parse_xml(XmlrpcStruct **xsp, xmlNodePtr structnode) {
  if (xsp == nullptr || structnode == nullptr) return EINVAL;
  *xsp = nullptr;
  return ReadStruct(xsp, structnode, 1);
}

int xmlrpc_array_new_parse_xml(XmlrpcArray **xap, xmlNodePtr arraynode) {
  if (xap == nullptr || arraynode == nullptr) return EINVAL;
  *xap = nullptr;
  return ReadArray(xap, arraynode, 1);
}

int xmlrpc_request_parse_xml(XmlrpcRequest **xrp, char *inputxml, int inputxmllen) {
  if (xrp == nullptr || inputxml == nullptr || inputxmllen < 1) return EINVAL;
  *xrp = nullptr;
  DocPtr doc = Parse(inputxml, inputxmllen);
  if (doc == nullptr) return ENOMEM;
  xmlNodePtr root = xmlDocGetRootElement(doc.get());
  if (!Named(root, "methodCall")) return EINVAL;
  xmlNodePtr name = root->children;
  if (!Named(name, "methodName") || !Named(name->next, "params")) return EINVAL;
  XmlrpcRequest *xr = nullptr;
  {
    ElementText text(name);
    if (text.get() == nullptr) return ENOMEM;
    if (xmlrpc_request_new(&xr, const_cast<char *>(text.get())) != 0) return EINVAL;
  }
  int rc = ReadRequestParams(xr, name->next);
  if (rc != 0) {
    xmlrpc_request_free(&xr);
    return rc;
  }
  *xrp = xr;
  return 0;
}

int xmlrpc_response_parse_xml(XmlrpcResponse **xrp, char *inputxml, int inputxmllen) {
  if (xrp == nullptr || inputxml == nullptr || inputxmllen < 1) return EINVAL;
  *xrp = nullptr;
  DocPtr doc = Parse(inputxml, inputxmllen);
  if (doc == nullptr) return ENOMEM;
  xmlNodePtr root = xmlDocGetRootElement(doc.get());
  if (!Named(root, "methodResponse") || root->children == nullptr) return EINVAL;
  xmlNodePtr body = root->children;
  xmlNodePtr value = nullptr;
  int type = 0;
  if (Named(body, "params")) {
    if (!Named(body->children, "param")) return EINVAL;
    value = body->children->children;
    type = XMLRPC_RESPONSE_PARAMS;
  } else if (Named(body, "fault")) {
    value = body->children;
    type = XMLRPC_RESPONSE_FAULT;
  }
  if (!Named(value, "value")) return EINVAL;
  XmlrpcValue *xv = nullptr;
  int rc = ReadValue(&xv, value, 1);
  if (rc != 0) return rc;
  XmlrpcResponse *xr = nullptr;
  rc = xmlrpc_response_new(&xr, const_cast<char *>(""), xv);
  xmlrpc_value_ref_dec(&xv);
  if (rc != 0) return rc;
  xr->type = type;
  *xrp = xr;
  return 0;
}

}  // extern "C"

// XML-RPC writing: a value as a libxml2 "value" element, and requests and
// responses as "methodCall" and "methodResponse" documents.
//
// Documents are written straight into a libxml2-allocated buffer rather than
// through a temporary element tree: the bytes are exactly those that
// xmlDocDumpMemory gives for the same tree (XML declaration without
// encoding, no white space between elements, empty elements in short form,
// text escaped and characters outside ASCII as hexadecimal character
// references), at a fraction of the cost.
#include <libxml/tree.h>
#include <libxml/xmlmemory.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>

#include "xmlrpc_p.h"
#include "xmlrpc_text.h"

using namespace tarnu::xmlrpc;

namespace {

const char *TypeElementName(int type) {
  switch (type) {
    case XMLRPC_TYPE_INT:
      return "i4";
    case XMLRPC_TYPE_BOOLEAN:
      return "boolean";
    case XMLRPC_TYPE_STRING:
      return "string";
    case XMLRPC_TYPE_DOUBLE:
      return "double";
    case XMLRPC_TYPE_DATETIME:
      return "datetime";
    case XMLRPC_TYPE_BASE64:
      return "base64";
    case XMLRPC_TYPE_STRUCT:
      return "struct";
    case XMLRPC_TYPE_ARRAY:
      return "array";
    default:
      return nullptr;
  }
}

// The text a scalar value is written with; texts end at their first NUL.
std::string_view ScalarText(const XmlrpcValue *xv, NumberText *scratch) {
  switch (xv->type) {
    case XMLRPC_TYPE_INT:
    case XMLRPC_TYPE_BOOLEAN:
      return FormatInt(xv->data, scratch);
    case XMLRPC_TYPE_DOUBLE:
      return FormatDouble(xv->data, scratch);
    default:
      return static_cast<const char *>(xv->data);
  }
}

// ---- Element trees ----

// Appends a new element to parent (when parent is not null). Null when
// memory runs out.
xmlNodePtr NewElement(xmlNodePtr parent, const char *name) {
  xmlNodePtr node = xmlNewNode(nullptr, reinterpret_cast<const xmlChar *>(name));
  if (node == nullptr) return nullptr;
  if (node->name == nullptr) {
    xmlFreeNode(node);
    return nullptr;
  }
  if (parent != nullptr) xmlAddChild(parent, node);
  return node;
}

// Appends an element holding text as a text node of its own, so the text is
// kept byte for byte and escaped only when the document is written. Empty
// text gives an element without content. 22 for text XML cannot carry, 12.
int AddTextElement(xmlNodePtr parent, const char *name, std::string_view text) {
  if (!IsXmlText(text)) return EINVAL;
  xmlNodePtr element = NewElement(parent, name);
  if (element == nullptr) return ENOMEM;
  if (text.empty()) return 0;
  xmlNodePtr node =
      xmlNewTextLen(reinterpret_cast<const xmlChar *>(text.data()), static_cast<int>(text.size()));
  if (node == nullptr) return ENOMEM;
  if (node->content == nullptr) {
    xmlFreeNode(node);
    return ENOMEM;
  }
  xmlAddChild(element, node);
  return 0;
}

int BuildValue(xmlNodePtr parent, XmlrpcValue *xv, int depth);

int BuildStruct(xmlNodePtr parent, XmlrpcStruct *xs, int depth) {
  xmlNodePtr element = NewElement(parent, "struct");
  if (element == nullptr) return ENOMEM;
  for (SList *node = xs->memberlist; node != nullptr; node = node->next) {
    auto *member = static_cast<XmlrpcStructMember *>(node->data);
    xmlNodePtr member_element = NewElement(element, "member");
    if (member_element == nullptr) return ENOMEM;
    int rc = AddTextElement(member_element, "name", member->name);
    if (rc == 0) rc = BuildValue(member_element, member->value, depth + 1);
    if (rc != 0) return rc;
  }
  return 0;
}

int BuildArray(xmlNodePtr parent, XmlrpcArray *xa, int depth) {
  xmlNodePtr element = NewElement(parent, "array");
  if (element == nullptr) return ENOMEM;
  xmlNodePtr data = NewElement(element, "data");
  if (data == nullptr) return ENOMEM;
  for (SList *node = xa->valuelist; node != nullptr; node = node->next) {
    int rc = BuildValue(data, static_cast<XmlrpcValue *>(node->data), depth + 1);
    if (rc != 0) return rc;
  }
  return 0;
}

// Builds the "value" element of xv under parent; a failure leaves the
// partial subtree attached to parent for the caller to free with it.
int BuildValue(xmlNodePtr parent, XmlrpcValue *xv, int depth) {
  if (depth > kMaxDepth) return EINVAL;
  const char *type_name = TypeElementName(xv->type);
  if (type_name == nullptr) return EINVAL;
  xmlNodePtr element = NewElement(parent, "value");
  if (element == nullptr) return ENOMEM;
  if (xv->type == XMLRPC_TYPE_STRUCT) {
    return BuildStruct(element, static_cast<XmlrpcStruct *>(xv->data), depth);
  }
  if (xv->type == XMLRPC_TYPE_ARRAY) {
    return BuildArray(element, static_cast<XmlrpcArray *>(xv->data), depth);
  }
  NumberText scratch;
  return AddTextElement(element, type_name, ScalarText(xv, &scratch));
}

// ---- Documents ----

// A growing buffer from libxml2's allocator, handed to the caller at the
// end. Once an allocation fails every later append is a no-op.
class DocumentBuffer {
 public:
  DocumentBuffer() = default;
  DocumentBuffer(const DocumentBuffer &) = delete;
  DocumentBuffer &operator=(const DocumentBuffer &) = delete;
  ~DocumentBuffer() {
    if (data_ != nullptr) xmlFree(data_);
  }

  void Append(std::string_view text) {
    if (!Reserve(text.size())) return;
    std::memcpy(data_ + size_, text.data(), text.size());
    size_ += text.size();
  }
  void Open(std::string_view name) {
    Append("<");
    Append(name);
    Append(">");
  }
  void Close(std::string_view name) {
    Append("</");
    Append(name);
    Append(">");
  }
  void Empty(std::string_view name) {
    Append("<");
    Append(name);
    Append("/>");
  }

  // Writes an element holding text, escaped as libxml2 escapes text
  // content. 22 for text XML cannot carry.
  int TextElement(std::string_view name, std::string_view text) {
    if (text.empty()) {
      Empty(name);
      return 0;
    }
    Open(name);
    int rc = EscapedText(text);
    Close(name);
    return rc;
  }

  bool failed() const { return failed_; }

  // Hands the NUL-terminated buffer to the caller. 12 when memory ran out.
  int Release(char **outputxmlp, int *outputxmllen) {
    if (!Reserve(1) || size_ > static_cast<std::size_t>(INT_MAX)) return ENOMEM;
    data_[size_] = '\0';
    *outputxmlp = data_;
    *outputxmllen = static_cast<int>(size_);
    data_ = nullptr;
    return 0;
  }

 private:
  bool Reserve(std::size_t more) {
    if (failed_) return false;
    if (capacity_ - size_ >= more) return true;
    std::size_t capacity = capacity_ == 0 ? 4096 : capacity_;
    while (capacity - size_ < more) {
      if (capacity > (static_cast<std::size_t>(INT_MAX) + 1) / 2) {
        failed_ = true;
        return false;
      }
      capacity *= 2;
    }
    void *grown = xmlRealloc(data_, capacity);
    if (grown == nullptr) {
      failed_ = true;
      return false;
    }
    data_ = static_cast<char *>(grown);
    capacity_ = capacity;
    return true;
  }

  int EscapedText(std::string_view text) {
    std::size_t plain_from = 0;
    std::size_t pos = 0;
    auto flush = [&](std::size_t end) { Append(text.substr(plain_from, end - plain_from)); };
    while (pos < text.size()) {
      unsigned char c = static_cast<unsigned char>(text[pos]);
      const char *entity = nullptr;
      if (c == '<') {
        entity = "&lt;";
      } else if (c == '>') {
        entity = "&gt;";
      } else if (c == '&') {
        entity = "&amp;";
      } else if ((c >= 0x20 && c < 0x80) || c == '\t' || c == '\n') {
        ++pos;
        continue;
      }
      flush(pos);
      if (entity != nullptr) {
        Append(entity);
        ++pos;
      } else {
        uint32_t codepoint = 0;
        if (!DecodeXmlChar(text, &pos, &codepoint)) return EINVAL;
        NumberText reference;
        int n = std::snprintf(reference.data(), reference.size(), "&#x%X;",
                              static_cast<unsigned>(codepoint));
        Append({reference.data(), static_cast<std::size_t>(n)});
      }
      plain_from = pos;
    }
    flush(pos);
    return 0;
  }

  char *data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  bool failed_ = false;
};

int WriteValue(DocumentBuffer &out, XmlrpcValue *xv, int depth);

int WriteStruct(DocumentBuffer &out, XmlrpcStruct *xs, int depth) {
  if (xs->memberlist == nullptr) {
    out.Empty("struct");
    return 0;
  }
  out.Open("struct");
  for (SList *node = xs->memberlist; node != nullptr; node = node->next) {
    auto *member = static_cast<XmlrpcStructMember *>(node->data);
    out.Open("member");
    int rc = out.TextElement("name", member->name);
    if (rc == 0) rc = WriteValue(out, member->value, depth + 1);
    if (rc != 0) return rc;
    out.Close("member");
  }
  out.Close("struct");
  return 0;
}

int WriteArray(DocumentBuffer &out, XmlrpcArray *xa, int depth) {
  out.Open("array");
  if (xa->valuelist == nullptr) {
    out.Empty("data");
  } else {
    out.Open("data");
    for (SList *node = xa->valuelist; node != nullptr; node = node->next) {
      int rc = WriteValue(out, static_cast<XmlrpcValue *>(node->data), depth + 1);
      if (rc != 0) return rc;
    }
    out.Close("data");
  }
  out.Close("array");
  return 0;
}

int WriteValue(DocumentBuffer &out, XmlrpcValue *xv, int depth) {
  if (depth > kMaxDepth) return EINVAL;
  const char *type_name = TypeElementName(xv->type);
  if (type_name == nullptr) return EINVAL;
  out.Open("value");
  int rc = 0;
  if (xv->type == XMLRPC_TYPE_STRUCT) {
    rc = WriteStruct(out, static_cast<XmlrpcStruct *>(xv->data), depth);
  } else if (xv->type == XMLRPC_TYPE_ARRAY) {
    rc = WriteArray(out, static_cast<XmlrpcArray *>(xv->data), depth);
  } else {
    NumberText scratch;
    rc = out.TextElement(type_name, ScalarText(xv, &scratch));
  }
  out.Close("value");
  return rc;
}

// Writes each parameter's "value" element, wrapped in "param" when asked.
int WriteParams(DocumentBuffer &out, SList *params, bool wrap_in_param) {
  for (SList *node = params; node != nullptr; node = node->next) {
    if (wrap_in_param) out.Open("param");
    int rc = WriteValue(out, static_cast<XmlrpcValue *>(node->data), 1);
    if (rc != 0) return rc;
    if (wrap_in_param) out.Close("param");
  }
  return 0;
}

constexpr std::string_view kDeclaration = "<?xml version=\"1.0\"?>\n";

int Finish(DocumentBuffer &out, int rc, char **outputxmlp, int *outputxmllen) {
  if (rc != 0) return rc;
  out.Append("\n");
  return out.Release(outputxmlp, outputxmllen);
}

}  // namespace

extern "C" {

int xmlrpc_value_serialize_xml(xmlNodePtr *nodep, XmlrpcValue *xv) {
  if (nodep == nullptr || xv == nullptr) return EINVAL;
  *nodep = nullptr;
  // The "value" element is built under a holder element so that a failure
  // anywhere frees the partial tree in one call.
  xmlNodePtr holder = NewElement(nullptr, "holder");
  if (holder == nullptr) return ENOMEM;
  int rc = BuildValue(holder, xv, 1);
  if (rc != 0) {
    xmlFreeNode(holder);
    return rc;
  }
  xmlNodePtr value = holder->children;
  xmlUnlinkNode(value);
  xmlFreeNode(holder);
  *nodep = value;
  return 0;
}

int xmlrpc_request_serialize(XmlrpcRequest *xr, char **outputxmlp, int *outputxmllen) {
  if (xr == nullptr || outputxmlp == nullptr || outputxmllen == nullptr) return EINVAL;
  *outputxmlp = nullptr;
  *outputxmllen = 0;
  DocumentBuffer out;
  out.Append(kDeclaration);
  out.Open("methodCall");
  int rc = out.TextElement("methodName", xr->methodname);
  if (rc == 0) {
    if (xr->paramlist == nullptr) {
      out.Empty("params");
    } else {
      out.Open("params");
      rc = WriteParams(out, xr->paramlist, true);
      out.Close("params");
    }
  }
  out.Close("methodCall");
  return Finish(out, rc, outputxmlp, outputxmllen);
}

int xmlrpc_response_serialize(XmlrpcResponse *xr, char **outputxmlp, int *outputxmllen) {
  if (xr == nullptr || outputxmlp == nullptr || outputxmllen == nullptr) return EINVAL;
  *outputxmlp = nullptr;
  *outputxmllen = 0;
  DocumentBuffer out;
  out.Append(kDeclaration);
  int rc = 0;
  const char *wrapper = xr->type == XMLRPC_RESPONSE_PARAMS  ? "params"
                        : xr->type == XMLRPC_RESPONSE_FAULT ? "fault"
                                                            : nullptr;
  if (wrapper == nullptr) {
    out.Empty("methodResponse");
  } else {
    out.Open("methodResponse");
    if (xr->paramlist == nullptr) {
      out.Empty(wrapper);
    } else {
      out.Open(wrapper);
      rc = WriteParams(out, xr->paramlist, xr->type == XMLRPC_RESPONSE_PARAMS);
      out.Close(wrapper);
    }
    out.Close("methodResponse");
  }
  return Finish(out, rc, outputxmlp, outputxmllen);
}

}  // extern "C"

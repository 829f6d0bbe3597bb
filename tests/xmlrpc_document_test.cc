// XML-RPC documents: exact bytes written, round trips of random value trees,
// the strict reader's rejections, hostile input, out-of-memory paths through
// libxml2, and interoperability with Python's xmlrpc.client.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "xmlrpc_test_util.h"

namespace {

using namespace xmlrpc_test;

const bool kLibxml2Routed = RouteLibxml2ThroughHook();

constexpr char kDeclaration[] = "<?xml version=\"1.0\"?>\n";

std::string Doc(const std::string &root) {
  return kDeclaration + root + "\n";
}

int ParseRequest(const std::string &text, XmlrpcRequest **xr) {
  return xmlrpc_request_parse_xml(xr, const_cast<char *>(text.data()),
                                  static_cast<int>(text.size()));
}

int ParseResponse(const std::string &text, XmlrpcResponse **xr) {
  return xmlrpc_response_parse_xml(xr, const_cast<char *>(text.data()),
                                   static_cast<int>(text.size()));
}

XmlrpcRequest *Request(const char *name, std::vector<XmlrpcValue *> params) {
  XmlrpcRequest *xr = nullptr;
  EXPECT_EQ(xmlrpc_request_new(&xr, const_cast<char *>(name)), 0);
  for (XmlrpcValue *xv : params) {
    EXPECT_EQ(xmlrpc_request_add_param(xr, xv), 0);
    xmlrpc_value_ref_dec(&xv);
  }
  return xr;
}

XmlrpcResponse *Response(XmlrpcValue *xv) {
  XmlrpcResponse *xr = nullptr;
  EXPECT_EQ(xmlrpc_response_new(&xr, const_cast<char *>("m"), xv), 0);
  xmlrpc_value_ref_dec(&xv);
  return xr;
}

// The response document holding one value, written and freed.
std::string ResponseDocument(XmlrpcValue *xv) {
  XmlrpcResponse *xr = Response(xv);
  std::string text = Document(xr);
  xmlrpc_response_free(&xr);
  return text;
}

std::string ValueXml(const std::string &inner) {
  return Doc("<methodResponse><params><param><value>" + inner +
             "</value></param></params></methodResponse>");
}

// Canonical text of the single value of a response document; "" and a
// failure when it does not read.
std::string ReadBack(const std::string &text) {
  XmlrpcResponse *xr = nullptr;
  int rc = ParseResponse(text, &xr);
  EXPECT_EQ(rc, 0) << text;
  if (rc != 0) return "";
  std::string canon = CanonResponse(xr);
  xmlrpc_response_free(&xr);
  return canon;
}

// ---- Exact bytes ----

TEST(XmlrpcWrite, RequestShape) {
  XmlrpcRequest *xr = Request("ping", {Int(7)});
  EXPECT_EQ(Document(xr), Doc("<methodCall><methodName>ping</methodName><params><param><value>"
                              "<i4>7</i4></value></param></params></methodCall>"));
  xmlrpc_request_free(&xr);
  xr = Request("", {});
  EXPECT_EQ(Document(xr), Doc("<methodCall><methodName/><params/></methodCall>"));
  xmlrpc_request_free(&xr);
}

TEST(XmlrpcWrite, ResponseShapes) {
  EXPECT_EQ(ResponseDocument(Str("hello")),
            Doc("<methodResponse><params><param><value><string>hello</string></value></param>"
                "</params></methodResponse>"));
  XmlrpcResponse *xr = nullptr;
  ASSERT_EQ(xmlrpc_response_fault_new(&xr, const_cast<char *>("m"), 4, const_cast<char *>("no")),
            0);
  EXPECT_EQ(Document(xr),
            Doc("<methodResponse><fault><value><struct><member><name>faultCode</name><value><i4>4"
                "</i4></value></member><member><name>faultString</name><value><string>no</string>"
                "</value></member></struct></value></fault></methodResponse>"));
  xr->type = 3;
  EXPECT_EQ(Document(xr), Doc("<methodResponse/>"));
  xmlrpc_response_free(&xr);
}

TEST(XmlrpcWrite, ScalarTexts) {
  auto inner = [](XmlrpcValue *xv) {
    std::string text = ResponseDocument(xv);
    std::string head = "<param><value>", tail = "</value></param>";
    std::size_t from = text.find(head) + head.size();
    return text.substr(from, text.find(tail) - from);
  };
  EXPECT_EQ(inner(Int(-5)), "<i4>-5</i4>");
  EXPECT_EQ(inner(Int(2147483647)), "<i4>2147483647</i4>");
  EXPECT_EQ(inner(Bool(5)), "<boolean>5</boolean>");
  EXPECT_EQ(inner(Dbl(0.5)), "<double>0.500000</double>");
  EXPECT_EQ(inner(Str("")), "<string/>");
  EXPECT_EQ(inner(Text(XMLRPC_TYPE_DATETIME, "20261207T21:30:00")),
            "<datetime>20261207T21:30:00</datetime>");
  EXPECT_EQ(inner(Text(XMLRPC_TYPE_BASE64, "AAE=")), "<base64>AAE=</base64>");
  EXPECT_EQ(inner(StructOf({})), "<struct/>");
  EXPECT_EQ(inner(ArrayOf({})), "<array><data/></array>");
  EXPECT_EQ(inner(ArrayOf({Int(1), Int(2)})),
            "<array><data><value><i4>1</i4></value><value><i4>2</i4></value></data></array>");
  EXPECT_EQ(inner(Str(std::string("a\0b", 3))), "<string>a</string>");
  EXPECT_EQ(inner(Str("<a & b>\r\xc3\xa9\xf0\x9f\x98\x80")),
            "<string>&lt;a &amp; b&gt;&#xD;&#xE9;&#x1F600;</string>");
}

TEST(XmlrpcWrite, ValueElementOfAnArray) {
  XmlrpcValue *xv = ArrayOf({Int(1), Int(2)});
  xmlNodePtr node = nullptr;
  ASSERT_EQ(xmlrpc_value_serialize_xml(&node, xv), 0);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->parent, nullptr);
  xmlBufferPtr buffer = xmlBufferCreate();
  xmlNodeDump(buffer, nullptr, node, 0, 0);
  EXPECT_STREQ(reinterpret_cast<const char *>(xmlBufferContent(buffer)),
               "<value><array><data><value><i4>1</i4></value><value><i4>2</i4></value></data>"
               "</array></value>");
  xmlBufferFree(buffer);
  xmlFreeNode(node);
  EXPECT_EQ(xmlrpc_value_serialize_xml(&node, nullptr), EINVAL);
  EXPECT_EQ(xmlrpc_value_serialize_xml(nullptr, xv), EINVAL);
  xmlrpc_value_ref_dec(&xv);
}

// Documents are written directly rather than through a libxml2 tree; they
// must be byte for byte what libxml2 writes for the tree of the same value.
TEST(XmlrpcWrite, DocumentsMatchLibxml2TreeDump) {
  RandomValues random(7, true);
  for (int round = 0; round < 200; ++round) {
    XmlrpcValue *xv = random.Value(0);
    std::string name = random.Text();
    xmlDocPtr doc = xmlNewDoc(reinterpret_cast<const xmlChar *>("1.0"));
    xmlNodePtr root = xmlNewNode(nullptr, reinterpret_cast<const xmlChar *>("methodCall"));
    xmlDocSetRootElement(doc, root);
    xmlNewTextChild(root, nullptr, reinterpret_cast<const xmlChar *>("methodName"),
                    name.empty() ? nullptr : reinterpret_cast<const xmlChar *>(name.c_str()));
    xmlNodePtr params =
        xmlNewChild(root, nullptr, reinterpret_cast<const xmlChar *>("params"), nullptr);
    xmlNodePtr param =
        xmlNewChild(params, nullptr, reinterpret_cast<const xmlChar *>("param"), nullptr);
    xmlNodePtr value = nullptr;
    ASSERT_EQ(xmlrpc_value_serialize_xml(&value, xv), 0);
    xmlAddChild(param, value);
    xmlChar *dump = nullptr;
    int length = 0;
    xmlDocDumpMemory(doc, &dump, &length);
    XmlrpcRequest *xr = Request(name.c_str(), {xv});
    EXPECT_EQ(Document(xr), std::string(reinterpret_cast<char *>(dump), length));
    xmlFree(dump);
    xmlFreeDoc(doc);
    xmlrpc_request_free(&xr);
  }
}

TEST(XmlrpcWrite, TextXmlCannotCarryIsRefused) {
  for (const char *bad : {"a\x01", "\xff", "\xc3", "\xc0\x80", "\xed\xa0\x80", "\xef\xbf\xbe"}) {
    XmlrpcValue *xv = Str(bad);
    XmlrpcResponse *xr = Response(xv);
    char *xml = nullptr;
    int length = 7;
    EXPECT_EQ(xmlrpc_response_serialize(xr, &xml, &length), EINVAL) << Hex(bad);
    EXPECT_EQ(xml, nullptr);
    EXPECT_EQ(length, 0);
    xmlNodePtr node = nullptr;
    ASSERT_EQ(xmlrpc_response_get_param(xr, 0, &xv), 0);
    EXPECT_EQ(xmlrpc_value_serialize_xml(&node, xv), EINVAL);
    EXPECT_EQ(node, nullptr);
    xmlrpc_value_ref_dec(&xv);
    xmlrpc_response_free(&xr);
    XmlrpcRequest *request = Request(bad, {});
    EXPECT_EQ(xmlrpc_request_serialize(request, &xml, &length), EINVAL);
    xmlrpc_request_free(&request);
  }
}

TEST(XmlrpcWrite, BadTypeAndCyclesAreRefused) {
  XmlrpcValue *xv = Int(1);
  xv->type = 9;
  XmlrpcResponse *xr = Response(xv);
  char *xml = nullptr;
  int length = 0;
  EXPECT_EQ(xmlrpc_response_serialize(xr, &xml, &length), EINVAL);
  xmlrpc_response_free(&xr);

  XmlrpcArray *xa = nullptr;
  ASSERT_EQ(xmlrpc_array_new(&xa), 0);
  XmlrpcValue *loop = nullptr;
  ASSERT_EQ(xmlrpc_value_new_from_array(&loop, xa), 0);
  ASSERT_EQ(xmlrpc_array_add_value(xa, loop), 0);
  xmlNodePtr node = nullptr;
  EXPECT_EQ(xmlrpc_value_serialize_xml(&node, loop), EINVAL);
  XmlrpcRequest *request = Request("m", {});
  ASSERT_EQ(xmlrpc_request_add_param(request, loop), 0);
  EXPECT_EQ(xmlrpc_request_serialize(request, &xml, &length), EINVAL);
  xmlrpc_request_free(&request);
  // Break the cycle by hand so the objects can be freed.
  slist_free(&xa->valuelist);
  xa->values = XmlrpcListState{};
  xmlrpc_value_ref_dec(&loop);
  xmlrpc_value_ref_dec(&loop);
  xmlrpc_array_ref_dec(&xa);
}

// ---- Regressions of the text and number writers ----

TEST(XmlrpcRoundTrip, AmpersandTextIsWrittenEscapedNotDropped) {
  for (const char *text : {"a & b", "a &lt; b", "&", "&amp;", "&#65;", "x]]>y"}) {
    XmlrpcValue *member = Str(text);
    XmlrpcValue *xv = StructOf({{text, member}});
    XmlrpcRequest *xr = Request(text, {xv});
    std::string document = Document(xr);
    XmlrpcRequest *back = nullptr;
    ASSERT_EQ(ParseRequest(document, &back), 0) << document;
    EXPECT_EQ(CanonRequest(back), CanonRequest(xr)) << document;
    const char *name = nullptr;
    xmlrpc_request_get_methodname(back, &name);
    EXPECT_STREQ(name, text);
    xmlrpc_request_free(&back);
    xmlrpc_request_free(&xr);
  }
}

TEST(XmlrpcRoundTrip, HugeDoubleIsWrittenInFull) {
  std::string text = ResponseDocument(Dbl(1e300));
  std::size_t from = text.find("<double>") + 8;
  std::string digits = text.substr(from, text.find("</double>") - from);
  EXPECT_EQ(digits.size(), 301u + 7u);
  EXPECT_EQ(digits.substr(0, 25), "1000000000000000052504760");
  EXPECT_EQ(digits.substr(digits.size() - 10), "160.000000");
  EXPECT_EQ(ReadBack(text), "R|(d1.0000000000000001e+300,)");
  EXPECT_EQ(ReadBack(ResponseDocument(Dbl(-1.7976931348623157e308))),
            "R|(d-1.7976931348623157e+308,)");
}

TEST(XmlrpcRoundTrip, DatetimeIsWrittenAndReadBack) {
  EXPECT_EQ(ReadBack(ResponseDocument(Text(XMLRPC_TYPE_DATETIME, "19980717T14:08:55"))),
            "R|(t" + Hex("19980717T14:08:55") + ";,)");
}

// ---- Random round trips ----

TEST(XmlrpcRoundTrip, RandomRequestsAndResponses) {
  RandomValues random(2026, true);
  for (int round = 0; round < 300; ++round) {
    std::vector<XmlrpcValue *> params;
    for (int i = random.Below(4); i > 0; --i) params.push_back(random.Value(0));
    std::string name = random.Text();
    XmlrpcRequest *xr = Request(name.c_str(), params);
    XmlrpcRequest *request_back = nullptr;
    std::string text = Document(xr);
    ASSERT_EQ(ParseRequest(text, &request_back), 0) << text;
    EXPECT_EQ(CanonRequest(request_back), CanonRequest(xr)) << text;
    xmlrpc_request_free(&request_back);
    xmlrpc_request_free(&xr);

    XmlrpcValue *xv = random.Value(0);
    XmlrpcResponse *response = nullptr;
    if (round % 2 == 0) {
      ASSERT_EQ(xmlrpc_response_new(&response, const_cast<char *>("m"), xv), 0);
    } else {
      ASSERT_EQ(xmlrpc_response_fault_new_with_value(&response, const_cast<char *>("m"), xv), 0);
    }
    XmlrpcResponse *response_back = nullptr;
    text = Document(response);
    ASSERT_EQ(ParseResponse(text, &response_back), 0) << text;
    EXPECT_EQ(response_back->type, response->type);
    EXPECT_EQ(CanonResponse(response_back), CanonResponse(response)) << text;
    const char *method = nullptr;
    xmlrpc_response_get_methodname(response_back, &method);
    EXPECT_STREQ(method, "");
    uint32_t held = Refs(xv);
    xmlrpc_response_free(&response_back);
    xmlrpc_response_free(&response);
    EXPECT_EQ(Refs(xv), held - 1);
    xmlrpc_value_ref_dec(&xv);
  }
}

TEST(XmlrpcRoundTrip, SharedValueReadsBackInBothPlaces) {
  XmlrpcValue *shared = Str("both");
  xmlrpc_value_ref_inc(shared);
  XmlrpcValue *xv = ArrayOf({shared, StructOf({{"s", shared}})});
  EXPECT_EQ(Refs(shared), 2u);
  std::string text = ResponseDocument(xv);
  std::string s = "s" + Hex("both") + ";";
  EXPECT_EQ(ReadBack(text), "R|([" + s + ",{" + Hex("s") + "=" + s + ",},],)");
}

TEST(XmlrpcRoundTrip, ValueElementReadsBack) {
  RandomValues random(99, true);
  for (int round = 0; round < 50; ++round) {
    XmlrpcValue *xv = random.Value(0);
    xmlNodePtr node = nullptr;
    ASSERT_EQ(xmlrpc_value_serialize_xml(&node, xv), 0);
    XmlrpcValue *back = nullptr;
    ASSERT_EQ(xmlrpc_value_new_parse_xml(&back, node), 0);
    EXPECT_EQ(Refs(back), 1u);
    EXPECT_EQ(Canon(back), Canon(xv));
    if (node->children != nullptr && Canon(xv)[0] == '{') {
      XmlrpcStruct *xs = nullptr;
      ASSERT_EQ(xmlrpc_struct_new_parse_xml(&xs, node->children), 0);
      EXPECT_EQ(Refs(xs), 1u);
      xmlrpc_struct_ref_dec(&xs);
    }
    if (node->children != nullptr && Canon(xv)[0] == '[') {
      XmlrpcArray *xa = nullptr;
      ASSERT_EQ(xmlrpc_array_new_parse_xml(&xa, node->children), 0);
      EXPECT_EQ(Refs(xa), 1u);
      xmlrpc_array_ref_dec(&xa);
    }
    xmlFreeNode(node);
    xmlrpc_value_ref_dec(&back);
    xmlrpc_value_ref_dec(&xv);
  }
}

// ---- The strict reader ----

// Inserts text right after the first occurrence of `after`.
std::string Insert(std::string text, const std::string &after, const std::string &what) {
  std::size_t at = text.find(after);
  EXPECT_NE(at, std::string::npos) << after;
  return text.insert(at + after.size(), what);
}

const std::string kNested = Doc(
    "<methodResponse><params><param><value><struct><member><name>a</name><value><array><data>"
    "<value><i4>1</i4></value></data></array></value></member></struct></value></param></params>"
    "</methodResponse>");

TEST(XmlrpcRead, WhiteSpaceWhereAnElementIsExpectedIsRejected) {
  for (const char *after :
       {"<methodResponse>", "<params>", "<param>", "<param><value>", "<struct>", "<member>",
        "</name>", "</member>", "<array>", "<data>", "</i4></value>"}) {
    for (const char *space : {" ", "\n", "<!-- c -->"}) {
      XmlrpcResponse *xr = nullptr;
      EXPECT_EQ(ParseResponse(Insert(kNested, after, space), &xr), EINVAL) << after;
      EXPECT_EQ(xr, nullptr);
    }
  }
  std::string fault =
      Doc("<methodResponse><fault><value><i4>3</i4></value></fault></methodResponse>");
  XmlrpcResponse *xr = nullptr;
  EXPECT_EQ(ParseResponse(Insert(fault, "<fault>", "\n"), &xr), EINVAL);
  ASSERT_EQ(ParseResponse(Insert(fault, "</fault>", "\n"), &xr), 0);
  EXPECT_EQ(xr->type, XMLRPC_RESPONSE_FAULT);
  xmlrpc_response_free(&xr);
}

TEST(XmlrpcRead, WhiteSpaceAfterTheLastElementLookedAtIsIgnored) {
  std::string canon = ReadBack(kNested);
  EXPECT_EQ(canon, "R|({" + Hex("a") + "=[i1,],},)");
  for (const char *after : {"<i4>1</i4>", "</params>", "</array></value>", "</data>"}) {
    EXPECT_EQ(ReadBack(Insert(kNested, after, "\n  ")), canon) << after;
  }
}

const std::string kRequest =
    Doc("<methodCall><methodName>m</methodName><params><param><value><i4>1</i4></value></param>"
        "<param><value><i4>2</i4></value></param></params></methodCall>");

int RequestParamCount(const std::string &text, int *rc) {
  XmlrpcRequest *xr = nullptr;
  *rc = ParseRequest(text, &xr);
  int count = -1;
  if (*rc == 0) xmlrpc_request_get_param_count(xr, &count);
  if (xr != nullptr) xmlrpc_request_free(&xr);
  return count;
}

TEST(XmlrpcRead, RequestParams) {
  int rc = 0;
  EXPECT_EQ(RequestParamCount(kRequest, &rc), 2);
  EXPECT_EQ(RequestParamCount(Insert(kRequest, "<methodCall>", " "), &rc), -1);
  EXPECT_EQ(rc, EINVAL);
  EXPECT_EQ(RequestParamCount(Insert(kRequest, "</methodName>", " "), &rc), -1);
  EXPECT_EQ(rc, EINVAL);
  EXPECT_EQ(RequestParamCount(Insert(kRequest, "<params>", "\n"), &rc), 2);
  EXPECT_EQ(RequestParamCount(Insert(kRequest, "</param>", "\n"), &rc), 2);
  // White space between "param" and "value" passes that parameter over.
  EXPECT_EQ(RequestParamCount(Insert(kRequest, "<param>", "\n"), &rc), 1);
  EXPECT_EQ(RequestParamCount(Insert(kRequest, "<param>", "<parm/>"), &rc), 1);
  EXPECT_EQ(RequestParamCount(
                Doc("<methodCall>\n<methodName>m</methodName><params>\n  <param>\n    <value>"
                    "<i4>1</i4></value>\n  </param>\n</params>\n</methodCall>"),
                &rc),
            -1);
  EXPECT_EQ(rc, EINVAL);
  EXPECT_EQ(RequestParamCount(Doc("<methodCall><methodName>m</methodName><params>\n  <param>\n"
                                  "    <value><i4>1</i4></value>\n  </param>\n</params>\n"
                                  "</methodCall>"),
                              &rc),
            0);
  EXPECT_EQ(
      RequestParamCount(Doc("<methodCall><methodName>m</methodName><params/></methodCall>"), &rc),
      0);
  EXPECT_EQ(RequestParamCount(Doc("<methodCall><methodName>m</methodName></methodCall>"), &rc), -1);
  EXPECT_EQ(rc, EINVAL);
  EXPECT_EQ(
      RequestParamCount(Doc("<methodCall><methodname>m</methodname><params/></methodCall>"), &rc),
      -1);
  EXPECT_EQ(rc, EINVAL);
  // A parameter that is present but malformed fails the whole request.
  EXPECT_EQ(RequestParamCount(Insert(kRequest, "<param><value>", " "), &rc), -1);
  EXPECT_EQ(rc, EINVAL);
}

TEST(XmlrpcRead, WrongNamesAreRejected) {
  auto replace_all = [](std::string text, const std::string &from, const std::string &to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
      text.replace(at, from.size(), to);
      at += to.size();
    }
    return text;
  };
  for (auto [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"methodResponse>", "MethodResponse>"},
           {"params>", "param>"},
           {"param>", "parm>"},
           {"name>", "nam>"},
           {"member>", "membre>"},
           {"data>", "dat>"},
           {"struct>", "Struct>"},
           {"i4>", "dateTime.iso8601>"},
           {"i4>", "I4>"},
           {"<value><i4>1</i4></value>", "<value>1</value>"},
           {"<value><i4>1</i4></value>", "<value/>"},
           {"<value><i4>1</i4></value>", "<i4>1</i4>"}}) {
    std::string text = replace_all(kNested, from, to);
    ASSERT_NE(text, kNested) << from;
    XmlrpcResponse *xr = nullptr;
    EXPECT_EQ(ParseResponse(text, &xr), EINVAL) << text;
    EXPECT_EQ(xr, nullptr);
  }
  XmlrpcResponse *xr = nullptr;
  EXPECT_EQ(ParseResponse(kRequest, &xr), EINVAL);
  EXPECT_EQ(ParseResponse(Doc("<methodResponse/>"), &xr), EINVAL);
  EXPECT_EQ(ParseResponse(Doc("<methodResponse><params/></methodResponse>"), &xr), EINVAL);
  EXPECT_EQ(ParseResponse(Doc("<methodResponse><fault/></methodResponse>"), &xr), EINVAL);
  XmlrpcRequest *request = nullptr;
  EXPECT_EQ(ParseRequest(kNested, &request), EINVAL);
}

TEST(XmlrpcRead, ScalarTextRules) {
  EXPECT_EQ(ReadBack(ValueXml("<int>12</int>")), "R|(i12,)");
  EXPECT_EQ(ReadBack(ValueXml("<i4>42abc</i4>")), "R|(i42,)");
  EXPECT_EQ(ReadBack(ValueXml("<i4>abc</i4>")), "R|(i0,)");
  EXPECT_EQ(ReadBack(ValueXml("<i4> -7</i4>")), "R|(i-7,)");
  EXPECT_EQ(ReadBack(ValueXml("<i4>99999999999</i4>")), "R|(i2147483647,)");
  EXPECT_EQ(ReadBack(ValueXml("<i4>-99999999999</i4>")), "R|(i-2147483648,)");
  EXPECT_EQ(ReadBack(ValueXml("<boolean>false</boolean>")), "R|(b1,)");
  EXPECT_EQ(ReadBack(ValueXml("<boolean>0abc</boolean>")), "R|(b0,)");
  EXPECT_EQ(ReadBack(ValueXml("<boolean/>")), "R|(b1,)");
  EXPECT_EQ(ReadBack(ValueXml("<double>x</double>")), "R|(d0,)");
  EXPECT_EQ(ReadBack(ValueXml("<double>2.5e3</double>")), "R|(d2500,)");
  EXPECT_EQ(ReadBack(ValueXml("<string> a<b>c</b><![CDATA[<&>]]></string>")),
            "R|(s" + Hex(" ac<&>") + ";,)");
  EXPECT_EQ(ReadBack(ValueXml("<string>&#233;&amp;&lt;</string>")),
            "R|(s" + Hex("\xc3\xa9&<") + ";,)");
  EXPECT_EQ(ReadBack(ValueXml("<base64>AA\nE=</base64>")), "R|(BAAE=;,)");
  EXPECT_EQ(ReadBack(ValueXml("<struct><member><name>k</name><value><i4>1</i4></value></member>"
                              "<member><name>k</name><value><i4>2</i4></value><x/></member>"
                              "</struct>")),
            "R|({" + Hex("k") + "=i1," + Hex("k") + "=i2,},)");
  EXPECT_EQ(ReadBack(ValueXml("<array><data/><x/></array>")), "R|([],)");
  EXPECT_EQ(ReadBack(ValueXml("<struct/>")), "R|({},)");
}

TEST(XmlrpcRead, ResponseReadsOnlyTheFirstParam) {
  EXPECT_EQ(ReadBack(Doc("<methodResponse><params><param><value><i4>1</i4></value></param><param>"
                         "<value><i4>2</i4></value></param></params></methodResponse>")),
            "R|(i1,)");
}

TEST(XmlrpcRead, ArgumentsAndMalformedText) {
  XmlrpcResponse *xr = reinterpret_cast<XmlrpcResponse *>(&xr);
  char text[] = "<x/>";
  EXPECT_EQ(xmlrpc_response_parse_xml(&xr, text, 0), EINVAL);
  EXPECT_EQ(xmlrpc_response_parse_xml(&xr, nullptr, 4), EINVAL);
  EXPECT_EQ(xmlrpc_response_parse_xml(nullptr, text, 4), EINVAL);
  XmlrpcRequest *request = nullptr;
  EXPECT_EQ(xmlrpc_request_parse_xml(&request, text, -1), EINVAL);
  EXPECT_EQ(ParseResponse("not xml at all", &xr), ENOMEM);
  EXPECT_EQ(xr, nullptr);
  EXPECT_EQ(ParseRequest("<methodCall><methodName>", &request), ENOMEM);
  // The buffer is read for exactly its length: no terminator is needed.
  std::string padded = kRequest + "garbage";
  EXPECT_EQ(xmlrpc_request_parse_xml(&request, padded.data(), static_cast<int>(kRequest.size())),
            0);
  xmlrpc_request_free(&request);
  XmlrpcValue *xv = nullptr;
  XmlrpcStruct *xs = nullptr;
  XmlrpcArray *xa = nullptr;
  EXPECT_EQ(xmlrpc_value_new_parse_xml(&xv, nullptr), EINVAL);
  EXPECT_EQ(xmlrpc_struct_new_parse_xml(&xs, nullptr), EINVAL);
  EXPECT_EQ(xmlrpc_array_new_parse_xml(&xa, nullptr), EINVAL);
}

// ---- Hostile input ----

TEST(XmlrpcRead, DeepNestingIsRefusedWithoutACrash) {
  for (int depth : {20, 80, 100000}) {
    std::string open, close;
    for (int i = 0; i < depth; ++i) {
      open += "<value><array><data>";
      close += "</data></array></value>";
    }
    std::string text = Doc("<methodResponse><params><param>" + open + "<value><i4>1</i4></value>" +
                           close + "</param></params></methodResponse>");
    XmlrpcResponse *xr = nullptr;
    int rc = ParseResponse(text, &xr);
    if (depth <= 80) {
      EXPECT_EQ(rc, 0) << depth;
    } else {
      EXPECT_EQ(rc, ENOMEM) << depth;
    }
    if (xr != nullptr) xmlrpc_response_free(&xr);
  }
}

TEST(XmlrpcRead, ExternalEntitiesAreNeverLoaded) {
  std::filesystem::path secret =
      std::filesystem::temp_directory_path() / ("xmlrpc_secret_" + std::to_string(getpid()));
  std::ofstream(secret) << "SECRET";
  std::string text =
      "<?xml version=\"1.0\"?><!DOCTYPE methodResponse [<!ENTITY x SYSTEM \"file://" +
      secret.string() +
      "\">]><methodResponse><params><param><value><string>[&x;]</string></value></param>"
      "</params></methodResponse>";
  XmlrpcResponse *xr = nullptr;
  int rc = ParseResponse(text, &xr);
  if (rc == 0) {
    EXPECT_EQ(CanonResponse(xr).find(Hex("SECRET")), std::string::npos);
    xmlrpc_response_free(&xr);
  }
  std::filesystem::remove(secret);
}

TEST(XmlrpcRead, NetworkIsNeverTouched) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  socklen_t size = sizeof address;
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size), 0);
  std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/x";
  std::string text = "<?xml version=\"1.0\"?><!DOCTYPE methodResponse SYSTEM \"" + url +
                     ".dtd\" [<!ENTITY x SYSTEM \"" + url +
                     "\">]><methodResponse><params><param><value><string>&x;</string></value>"
                     "</param></params></methodResponse>";
  XmlrpcResponse *xr = nullptr;
  if (ParseResponse(text, &xr) == 0) xmlrpc_response_free(&xr);
  fcntl(listener, F_SETFL, O_NONBLOCK);
  int peer = accept(listener, nullptr, nullptr);
  EXPECT_LT(peer, 0) << "the reader connected to " << url;
  if (peer >= 0) close(peer);
  close(listener);
}

// ---- Out of memory through libxml2 ----

TEST(XmlrpcOutOfMemory, WritingDocumentsAndElements) {
  ASSERT_TRUE(kLibxml2Routed);
  RandomValues random(5, true);
  XmlrpcValue *xv = ArrayOf({random.Value(0), StructOf({{"a & b", Str("x<y")}}), Dbl(1e300)});
  XmlrpcRequest *xr = Request("m", {xv});
  char *xml = nullptr;
  int length = 0;
  ForEachAllocationFailure([&] { return xmlrpc_request_serialize(xr, &xml, &length); },
                           [&] { return xml == nullptr && length == 0; });
  xmlFree(xml);
  XmlrpcResponse *response = nullptr;
  ASSERT_EQ(xmlrpc_request_get_param(xr, 0, &xv), 0);
  ASSERT_EQ(xmlrpc_response_fault_new_with_value(&response, const_cast<char *>(""), xv), 0);
  ForEachAllocationFailure([&] { return xmlrpc_response_serialize(response, &xml, &length); },
                           [&] { return xml == nullptr && length == 0; });
  xmlFree(xml);
  xmlNodePtr node = nullptr;
  ForEachAllocationFailure([&] { return xmlrpc_value_serialize_xml(&node, xv); },
                           [&] { return node == nullptr; });
  xmlFreeNode(node);
  EXPECT_EQ(Refs(xv), 3u);
  xmlrpc_value_ref_dec(&xv);
  xmlrpc_response_free(&response);
  xmlrpc_request_free(&xr);
}

TEST(XmlrpcOutOfMemory, ReadingDocuments) {
  ASSERT_TRUE(kLibxml2Routed);
  XmlrpcValue *xv = ArrayOf(
      {Int(1), StructOf({{"k", Str("a &amp; b")}}), Text(XMLRPC_TYPE_BASE64, "AAE="), Str("x")});
  XmlrpcRequest *xr = Request("m", {xv, Str("top"), Dbl(0.5)});
  std::string text = Document(xr);
  std::string expected = CanonRequest(xr);
  xmlrpc_request_free(&xr);
  ForEachAllocationFailure([&] { return ParseRequest(text, &xr); }, [&] { return xr == nullptr; },
                           ENOMEM, EINVAL);
  EXPECT_EQ(CanonRequest(xr), expected);
  xmlrpc_request_free(&xr);
  XmlrpcResponse *response = nullptr;
  text = ValueXml("<string>a<b/>b</string>");
  ForEachAllocationFailure([&] { return ParseResponse(text, &response); },
                           [&] { return response == nullptr; });
  EXPECT_EQ(CanonResponse(response), "R|(s" + Hex("ab") + ";,)");
  xmlrpc_response_free(&response);
}

// Any single failed allocation, wherever it falls, either fails the read or
// leaves its result intact: libxml2 must not hand over a truncated tree.
TEST(XmlrpcOutOfMemory, NoFailedAllocationYieldsATruncatedRead) {
  ASSERT_TRUE(kLibxml2Routed);
  XmlrpcResponse *response = Response(
      ArrayOf({Str("first"), StructOf({{"k", Str("a & b")}}), Str("middle"), Int(3), Str("last")}));
  std::string text = Document(response);
  std::string expected = CanonResponse(response);
  xmlrpc_response_free(&response);
  tarnu_alloc_hook_count();
  ASSERT_EQ(ParseResponse(text, &response), 0);
  long allocations = tarnu_alloc_hook_allocations();
  tarnu_alloc_hook_reset();
  xmlrpc_response_free(&response);
  for (long n = 1; n <= allocations; ++n) {
    tarnu_alloc_hook_fail_once_at(n);
    int rc = ParseResponse(text, &response);
    tarnu_alloc_hook_reset();
    if (rc == 0) {
      EXPECT_EQ(CanonResponse(response), expected) << "allocation " << n;
      xmlrpc_response_free(&response);
    } else {
      EXPECT_TRUE(rc == ENOMEM || rc == EINVAL) << "allocation " << n;
      EXPECT_EQ(response, nullptr);
    }
  }
}

// ---- Interoperability with Python's xmlrpc.client ----

// Everything left in a stream, which is closed when asked.
std::string ReadAll(FILE *file, bool close_it = true) {
  std::string all;
  if (file == nullptr) return all;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) all.append(buffer, n);
  if (close_it) std::fclose(file);
  return all;
}

class PythonPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("python3 -c 'import xmlrpc.client' >/dev/null 2>&1") != 0) {
      GTEST_SKIP() << "python3 with xmlrpc.client is not available";
    }
    char pattern[] = "/tmp/xmlrpc_interop_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  // Runs the peer script and returns its output lines.
  std::vector<std::string> RunPeer(const std::string &arguments) {
    std::string script = XMLRPC_INTEROP_SCRIPT;
    std::string command = "python3 '" + script + "' " + arguments;
    FILE *pipe = popen(command.c_str(), "r");
    EXPECT_NE(pipe, nullptr);
    std::vector<std::string> lines;
    if (pipe == nullptr) return lines;
    std::string all = ReadAll(pipe, false);
    EXPECT_EQ(pclose(pipe), 0) << command;
    for (std::size_t from = 0, end; (end = all.find('\n', from)) != std::string::npos;
         from = end + 1) {
      lines.push_back(all.substr(from, end - from));
    }
    return lines;
  }

  std::string FilePath(int i) {
    char name[16];
    std::snprintf(name, sizeof name, "%03d.xml", i);
    return (std::filesystem::path(dir_) / name).string();
  }

  std::string dir_;
};

TEST_F(PythonPeer, ReadsEveryDocumentWeWrite) {
  constexpr int kDocuments = 120;
  RandomValues random(31, false);
  std::vector<std::string> expected;
  for (int i = 0; i < kDocuments; ++i) {
    std::string text;
    if (i % 3 == 0) {
      std::vector<XmlrpcValue *> params;
      for (int n = random.Below(4); n > 0; --n) params.push_back(random.Value(0));
      XmlrpcRequest *xr = Request((random.Text() + "m").c_str(), params);
      text = Document(xr);
      expected.push_back(CanonRequest(xr));
      xmlrpc_request_free(&xr);
    } else if (i % 3 == 1) {
      XmlrpcResponse *xr = Response(random.Value(0));
      text = Document(xr);
      expected.push_back(CanonResponse(xr));
      xmlrpc_response_free(&xr);
    } else {
      XmlrpcResponse *xr = nullptr;
      std::string fault = random.Text();
      ASSERT_EQ(xmlrpc_response_fault_new(&xr, const_cast<char *>("m"), random.Below(1000) - 500,
                                          fault.data()),
                0);
      text = Document(xr);
      expected.push_back(CanonResponse(xr));
      xmlrpc_response_free(&xr);
    }
    std::ofstream(FilePath(i), std::ios::binary) << text;
  }
  EXPECT_EQ(RunPeer("read '" + dir_ + "'"), expected);
}

TEST_F(PythonPeer, WeReadWhatItWrites) {
  constexpr int kDocuments = 120;
  std::vector<std::string> expected =
      RunPeer("write '" + dir_ + "' 11 " + std::to_string(kDocuments));
  ASSERT_EQ(expected.size(), static_cast<std::size_t>(kDocuments));
  for (int i = 0; i < kDocuments; ++i) {
    std::string text = ReadAll(std::fopen(FilePath(i).c_str(), "rb"));
    if (expected[i][0] == 'C') {
      XmlrpcRequest *xr = nullptr;
      ASSERT_EQ(ParseRequest(text, &xr), 0) << text;
      EXPECT_EQ(CanonRequest(xr, false), expected[i]) << text;
      xmlrpc_request_free(&xr);
    } else {
      XmlrpcResponse *xr = nullptr;
      ASSERT_EQ(ParseResponse(text, &xr), 0) << text;
      EXPECT_EQ(CanonResponse(xr, false), expected[i]) << text;
      xmlrpc_response_free(&xr);
    }
  }
}

}  // namespace

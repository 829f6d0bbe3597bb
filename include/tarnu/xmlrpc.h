/* xmlrpc: XML-RPC values, requests and responses, written and read as XML.
 *
 * Values, structs and arrays are reference counted: a constructor hands the
 * caller one reference, every container (struct member, array slot, value
 * wrapping a struct or array, request or response parameter) holds its own,
 * and whoever drops the last one frees the object and the references it
 * holds. Getters that return a value from a container hand out a new
 * reference (drop it with xmlrpc_value_ref_dec); view getters hand out
 * borrowed pointers. Requests and responses have one owner and are ended
 * with their _free operation. The value graph must be free of cycles.
 *
 * Results are 0 or an errno number: 22 (EINVAL) for a null or out-of-range
 * argument, a wrong type or malformed input; 12 (ENOMEM) when memory runs
 * out (and when libxml2 cannot parse a document); 2 (ENOENT) for a missing
 * member, index or parameter. Out-parameters are cleared once the argument
 * checks have passed, so on every later failure the caller finds null or 0.
 *
 * Documents are written into buffers that the caller releases with xmlFree.
 * The reader is strict: it expects each element at its place, with no white
 * space between elements where it looks for one. In a request it passes over
 * whatever stands among the parameters besides "param" elements, and any node
 * that is not an element before a parameter's "value"; a "param" holding no
 * element is passed over, one whose first element is not a "value" is 22.
 *
 * Thread safety: none. Counts are plain integers; a value and everything
 * reachable from it is used by one thread at a time. */
#ifndef TARNU_XMLRPC_H_
#define TARNU_XMLRPC_H_

#include <libxml/tree.h>
#include <tarnu/export.h>

TARNU_BEGIN_DECLS

/* Value type codes. */
enum {
  XMLRPC_TYPE_INT = 1,      /* 4-byte signed integer, host byte order */
  XMLRPC_TYPE_BOOLEAN = 2,  /* 4-byte signed integer, 0 is false */
  XMLRPC_TYPE_STRING = 3,   /* text bytes */
  XMLRPC_TYPE_DOUBLE = 4,   /* 8-byte IEEE 754 double */
  XMLRPC_TYPE_DATETIME = 5, /* date/time text, not interpreted */
  XMLRPC_TYPE_BASE64 = 6,   /* Base64 text, not decoded */
  XMLRPC_TYPE_STRUCT = 7,   /* data is the XmlrpcStruct itself */
  XMLRPC_TYPE_ARRAY = 8     /* data is the XmlrpcArray itself */
};

/* Response type codes. */
enum { XMLRPC_RESPONSE_PARAMS = 1, XMLRPC_RESPONSE_FAULT = 2 };

typedef struct XmlrpcValue XmlrpcValue;
typedef struct XmlrpcStruct XmlrpcStruct;
typedef struct XmlrpcArray XmlrpcArray;
typedef struct XmlrpcRequest XmlrpcRequest;
typedef struct XmlrpcResponse XmlrpcResponse;

/* ---- Reference counting ---- */

/* Adds one reference. 22 for a null argument. */
TARNU_EXPORT int xmlrpc_value_ref_inc(XmlrpcValue *xv);
TARNU_EXPORT int xmlrpc_struct_ref_inc(XmlrpcStruct *xs);
TARNU_EXPORT int xmlrpc_array_ref_inc(XmlrpcArray *xa);
/* Drops one reference; the last one frees the object and sets *p to null.
 * 22 for a null pointer or object. */
TARNU_EXPORT int xmlrpc_value_ref_dec(XmlrpcValue **xvp);
TARNU_EXPORT int xmlrpc_struct_ref_dec(XmlrpcStruct **xsp);
TARNU_EXPORT int xmlrpc_array_ref_dec(XmlrpcArray **xap);

/* ---- Values ---- */

/* New value of valuetype from valuelen bytes at value (copied, plus a NUL),
 * or referencing the struct/array at value for types 7 and 8. 22 for null
 * arguments, a negative length, a type outside 1..8, or an int/boolean not
 * of 4 bytes or a double not of 8; 12 when memory runs out. */
TARNU_EXPORT int xmlrpc_value_new(XmlrpcValue **xvp, int valuetype, void *value, int valuelen);
/* New struct value referencing xs (the caller keeps its reference). 22, 12. */
TARNU_EXPORT int xmlrpc_value_new_from_struct(XmlrpcValue **xvp, XmlrpcStruct *xs);
/* New array value referencing xa (the caller keeps its reference). 22, 12. */
TARNU_EXPORT int xmlrpc_value_new_from_array(XmlrpcValue **xvp, XmlrpcArray *xa);
/* New struct value with members "faultCode" (int) and "faultString". 22, 12. */
TARNU_EXPORT int xmlrpc_value_new_fault(XmlrpcValue **xvp, int faultcode, char *faultstring);
/* Borrowed view of the value's type, data and length. 22 for null arguments. */
TARNU_EXPORT int xmlrpc_value_get_value(XmlrpcValue *xv, int *valuetype, void **valuep,
                                        int *valuelen);
/* Borrowed struct of a struct value. 22 for null arguments or another type. */
TARNU_EXPORT int xmlrpc_value_get_struct(XmlrpcValue *xv, XmlrpcStruct **xsp);
/* Borrowed array of an array value. 22 for null arguments or another type. */
TARNU_EXPORT int xmlrpc_value_get_array(XmlrpcValue *xv, XmlrpcArray **xap);

/* ---- Structs ---- */

/* New empty struct. 22 for a null xsp, 12 when memory runs out. */
TARNU_EXPORT int xmlrpc_struct_new(XmlrpcStruct **xsp);
/* Appends a member (name copied, one reference taken on the value after a
 * successful append; duplicates allowed). 22 for null arguments, 12. */
TARNU_EXPORT int xmlrpc_struct_add_member(XmlrpcStruct *xs, char *membername,
                                          XmlrpcValue *membervalue);
/* Number of members, duplicates counted. 22 for null arguments. */
TARNU_EXPORT int xmlrpc_struct_member_count(XmlrpcStruct *xs, int *membercount);
/* New reference on the value of the first member of that name. 22, 2. */
TARNU_EXPORT int xmlrpc_struct_get_member(XmlrpcStruct *xs, char *membername,
                                          XmlrpcValue **membervalue);
/* *hasmember = 1 when a member of that name exists, else 0. 22 for nulls. */
TARNU_EXPORT int xmlrpc_struct_has_member(XmlrpcStruct *xs, char *membername, int *hasmember);
/* Removes the first member of that name. 22 for nulls, 2 when not present. */
TARNU_EXPORT int xmlrpc_struct_remove_member(XmlrpcStruct *xs, char *membername);

/* ---- Arrays ---- */

/* New empty array. 22 for a null xap, 12 when memory runs out. */
TARNU_EXPORT int xmlrpc_array_new(XmlrpcArray **xap);
/* Appends a value (one reference taken after a successful append). 22, 12. */
TARNU_EXPORT int xmlrpc_array_add_value(XmlrpcArray *xa, XmlrpcValue *value);
/* Number of values. 22 for null arguments. */
TARNU_EXPORT int xmlrpc_array_value_count(XmlrpcArray *xa, int *valuecount);
/* New reference on the value at valuenumber (from 0). 22 for null arguments
 * or an empty array, 2 for an index at or past the end or negative. Reading
 * by increasing index costs constant time per step. */
TARNU_EXPORT int xmlrpc_array_get_value(XmlrpcArray *xa, int valuenumber, XmlrpcValue **xvp);

/* ---- Requests ---- */

/* New request with a copy of methodname and no parameters. 22, 12. */
TARNU_EXPORT int xmlrpc_request_new(XmlrpcRequest **xrp, char *methodname);
/* Appends a parameter (one reference taken after a successful append). 22, 12. */
TARNU_EXPORT int xmlrpc_request_add_param(XmlrpcRequest *xr, XmlrpcValue *param);
/* Number of parameters. 22 for null arguments. */
TARNU_EXPORT int xmlrpc_request_get_param_count(XmlrpcRequest *xr, int *paramcount);
/* New reference on parameter paramnumber. 22 for nulls or a negative index,
 * 2 when there is no such parameter. */
TARNU_EXPORT int xmlrpc_request_get_param(XmlrpcRequest *xr, int paramnumber, XmlrpcValue **xvp);
/* Borrowed method name, valid until the request is freed. 22 for nulls. */
TARNU_EXPORT int xmlrpc_request_get_methodname(XmlrpcRequest *xr, const char **methodnamep);
/* Drops the parameters' references, frees the request, sets *xrp to null. 22. */
TARNU_EXPORT int xmlrpc_request_free(XmlrpcRequest **xrp);

/* ---- Responses ---- */

/* New ordinary response whose only parameter is xv. 22, 12. */
TARNU_EXPORT int xmlrpc_response_new(XmlrpcResponse **xrp, char *methodname, XmlrpcValue *xv);
/* New fault response holding a fault struct value. 22, 12. */
TARNU_EXPORT int xmlrpc_response_fault_new(XmlrpcResponse **xrp, char *methodname, int faultcode,
                                           char *faultstring);
/* New fault response whose only parameter is xv, taken as it comes. 22, 12. */
TARNU_EXPORT int xmlrpc_response_fault_new_with_value(XmlrpcResponse **xrp, char *methodname,
                                                      XmlrpcValue *xv);
/* Number of parameters (1 for every response). 22 for null arguments. */
TARNU_EXPORT int xmlrpc_response_get_param_count(XmlrpcResponse *xr, int *paramcount);
/* New reference on parameter paramnumber. 22 for nulls or a negative index, 2. */
TARNU_EXPORT int xmlrpc_response_get_param(XmlrpcResponse *xr, int paramnumber, XmlrpcValue **xvp);
/* Borrowed method name (empty for a parsed response). 22 for nulls. */
TARNU_EXPORT int xmlrpc_response_get_methodname(XmlrpcResponse *xr, const char **methodnamep);
/* Drops the parameter's reference, frees the response, sets *xrp to null. 22. */
TARNU_EXPORT int xmlrpc_response_free(XmlrpcResponse **xrp);

/* ---- Writing XML ---- */

/* Builds a detached "value" element for xv, owned by the caller (add it to a
 * tree or free it with xmlFreeNode). 22 for null arguments, a bad type, text
 * that XML cannot carry or nesting beyond the library's limit; 12 when memory
 * runs out (everything built so far is freed). */
TARNU_EXPORT int xmlrpc_value_serialize_xml(xmlNodePtr *nodep, XmlrpcValue *xv);
/* Writes the "methodCall" document into a new buffer (release with xmlFree)
 * and its length. 22 as above, 12 when memory runs out. */
TARNU_EXPORT int xmlrpc_request_serialize(XmlrpcRequest *xr, char **outputxmlp, int *outputxmllen);
/* Writes the "methodResponse" document likewise. */
TARNU_EXPORT int xmlrpc_response_serialize(XmlrpcResponse *xr, char **outputxmlp,
                                           int *outputxmllen);

/* ---- Reading XML ---- */

/* Reads a "methodCall" document of inputxmllen bytes into a new request.
 * 22 for null arguments, a length below 1 or a document of the wrong shape;
 * 12 when libxml2 cannot parse the text or memory runs out. Never reads from
 * the network or external entities. */
TARNU_EXPORT int xmlrpc_request_parse_xml(XmlrpcRequest **xrp, char *inputxml, int inputxmllen);
/* Reads a "methodResponse" document into a new response; results as above. */
TARNU_EXPORT int xmlrpc_response_parse_xml(XmlrpcResponse **xrp, char *inputxml, int inputxmllen);
/* Reads a "value" element into a new value. 22 for a wrong shape, 12. */
TARNU_EXPORT int xmlrpc_value_new_parse_xml(XmlrpcValue **xvp, xmlNodePtr valuenode);
/* Reads a "struct" element into a new struct. 22 for a wrong shape, 12. */
TARNU_EXPORT int xmlrpc_struct_new_parse_xml(XmlrpcStruct **xsp, xmlNodePtr structnode);
/* Reads an "array" element into a new array. 22 for a wrong shape, 12. */
TARNU_EXPORT int xmlrpc_array_new_parse_xml(XmlrpcArray **xap, xmlNodePtr arraynode);

TARNU_END_DECLS

#endif /* TARNU_XMLRPC_H_ */

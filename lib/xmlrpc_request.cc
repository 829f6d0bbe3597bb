// XML-RPC requests and responses: a method name and counted parameter values.
#include <cerrno>

#include "alloc.h"
#include "xmlrpc_p.h"

using tarnu::detail::Free;
using tarnu::detail::NewZeroed;
using tarnu::detail::Strdup;
using namespace tarnu::xmlrpc;

extern "C" {

// ---- Requests ----

int xmlrpc_request_new(XmlrpcRequest **xrp, char *methodname) {
  if (xrp == nullptr || methodname == nullptr) return EINVAL;
  *xrp = nullptr;
  auto *xr = NewZeroed<XmlrpcRequest>();
  if (xr == nullptr) return ENOMEM;
  xr->methodname = Strdup(methodname);
  if (xr->methodname == nullptr) {
    Free(xr);
    return ENOMEM;
  }
  *xrp = xr;
  return 0;
}

int xmlrpc_request_add_param(XmlrpcRequest *xr, XmlrpcValue *param) {
  if (xr == nullptr || param == nullptr) return EINVAL;
  int rc = ListAppend(&xr->paramlist, &xr->params, param);
  if (rc != 0) return rc;
  return xmlrpc_value_ref_inc(param);
}

int xmlrpc_request_get_param_count(XmlrpcRequest *xr, int *paramcount) {
  if (xr == nullptr || paramcount == nullptr) return EINVAL;
  return ParamCount(xr->params, paramcount);
}

int xmlrpc_request_get_param(XmlrpcRequest *xr, int paramnumber, XmlrpcValue **xvp) {
  if (xr == nullptr || paramnumber < 0 || xvp == nullptr) return EINVAL;
  return ParamGet(xr->paramlist, &xr->params, paramnumber, xvp);
}

int xmlrpc_request_get_methodname(XmlrpcRequest *xr, const char **methodnamep) {
  if (xr == nullptr || methodnamep == nullptr) return EINVAL;
  *methodnamep = xr->methodname;
  return 0;
}

int xmlrpc_request_free(XmlrpcRequest **xrp) {
  if (xrp == nullptr || *xrp == nullptr) return EINVAL;
  XmlrpcRequest *xr = *xrp;
  ListReleaseValues(&xr->paramlist, &xr->params);
  Free(xr->methodname);
  Free(xr);
  *xrp = nullptr;
  return 0;
}

// ---- Responses ----

int xmlrpc_response_new(XmlrpcResponse **xrp, char *methodname, XmlrpcValue *xv) {
  if (xrp == nullptr || methodname == nullptr || xv == nullptr) return EINVAL;
  *xrp = nullptr;
  auto *xr = NewZeroed<XmlrpcResponse>();
  if (xr == nullptr) return ENOMEM;
  xr->methodname = Strdup(methodname);
  if (xr->methodname == nullptr) {
    Free(xr);
    return ENOMEM;
  }
  int rc = ListAppend(&xr->paramlist, &xr->params, xv);
  if (rc != 0) {
    Free(xr->methodname);
    Free(xr);
    return rc;
  }
  xmlrpc_value_ref_inc(xv);
  xr->type = XMLRPC_RESPONSE_PARAMS;
  *xrp = xr;
  return 0;
}

int xmlrpc_response_fault_new(XmlrpcResponse **xrp, char *methodname, int faultcode,
                              char *faultstring) {
  if (xrp == nullptr || methodname == nullptr || faultstring == nullptr) return EINVAL;
  *xrp = nullptr;
  XmlrpcValue *fault = nullptr;
  int rc = xmlrpc_value_new_fault(&fault, faultcode, faultstring);
  if (rc != 0) return rc;
  rc = xmlrpc_response_new(xrp, methodname, fault);
  if (rc == 0) (*xrp)->type = XMLRPC_RESPONSE_FAULT;
  xmlrpc_value_ref_dec(&fault);
  return rc;
}

int xmlrpc_response_fault_new_with_value(XmlrpcResponse **xrp, char *methodname, XmlrpcValue *xv) {
  if (xrp == nullptr || methodname == nullptr || xv == nullptr) return EINVAL;
  *xrp = nullptr;
  int rc = xmlrpc_response_new(xrp, methodname, xv);
  if (rc != 0) return rc;
  (*xrp)->type = XMLRPC_RESPONSE_FAULT;
  return 0;
}

int xmlrpc_response_get_param_count(XmlrpcResponse *xr, int *paramcount) {
  if (xr == nullptr || paramcount == nullptr) return EINVAL;
  return ParamCount(xr->params, paramcount);
}

int xmlrpc_response_get_param(XmlrpcResponse *xr, int paramnumber, XmlrpcValue **xvp) {
  if (xr == nullptr || paramnumber < 0 || xvp == nullptr) return EINVAL;
  return ParamGet(xr->paramlist, &xr->params, paramnumber, xvp);
}

int xmlrpc_response_get_methodname(XmlrpcResponse *xr, const char **methodnamep) {
  if (xr == nullptr || methodnamep == nullptr) return EINVAL;
  *methodnamep = xr->methodname;
  return 0;
}

int xmlrpc_response_free(XmlrpcResponse **xrp) {
  if (xrp == nullptr || *xrp == nullptr) return EINVAL;
  XmlrpcResponse *xr = *xrp;
  ListReleaseValues(&xr->paramlist, &xr->params);
  Free(xr->methodname);
  Free(xr);
  *xrp = nullptr;
  return 0;
}

}  // extern "C"

/* url: a URL held as protocol, host name, port, path and query parameters.
 *
 * A Url is made from its parts (url_new, url_add_param) or parsed from text
 * (url_new_parse), read through the getters and written back as text
 * (url_construct). Nothing is escaped or unescaped. The record owns copies of
 * its strings; getters hand out those internal strings (valid until url_free),
 * or "" for a field that is not set. A string from url_construct belongs to
 * the caller, who releases it with free().
 *
 * Text form: "protocol://hostname[:port]/[path[?name[=value]&...]]". The parser
 * accepts any number of "/" after "protocol:" and after the host part, keeps
 * the first occurrence of a parameter name and reads at most 32 parameters
 * (the 32nd takes the rest of the query). A constructed URL has at most 255
 * characters; its parameters are written most recently added first, and only
 * when there is a path.
 *
 * Status: 0 on success, 22 (EINVAL) for a null argument or malformed text,
 * 12 (ENOMEM) for a failed allocation (nothing leaks), 17 (EEXIST) for a
 * parameter that exists already, 2 (ENOENT) for a missing parameter or one
 * without value, 75 (EOVERFLOW) for a constructed URL that would be too long.
 *
 * Thread safety: no shared state (service names are looked up reentrantly);
 * a record is used by one thread at a time. */
#ifndef TARNU_URL_H_
#define TARNU_URL_H_

#include <tarnu/attribute.h>
#include <tarnu/export.h>

TARNU_BEGIN_DECLS

typedef struct Url {
  char *protocol;    /* owned; without ":" */
  char *hostname;    /* owned; without port */
  char *path;        /* owned, without the leading "/"; null when there is none */
  int port;          /* 0 when the URL names no port */
  Attribute *attrib; /* owned query parameters, most recently added first */
} Url;

/* Output buffer of url_construct: a zero-terminated string and its capacity. */
typedef struct LString {
  char *buffer;
  int alloclen;
} LString;

/* New record with copies of protocol, hostname and path (may be null) and the
 * port as given. 22 for a null urlp, protocol or hostname; 12 on allocation
 * failure (*urlp untouched). */
TARNU_EXPORT int url_new(Url **urlp, char *protocol, char *hostname, char *path, int port);
/* Parses string into a new record stored in *urlp (null on any failure).
 * 22 for text without protocol, host name, path after "/", query after "?",
 * a parameter without name, or a port outside 0..65535; 12 on allocation
 * failure. */
TARNU_EXPORT int url_new_parse(Url **urlp, char *string);
/* Adds copies of name and value in front of the parameters. 22 for a null
 * argument, 17 if the name exists already, 12 on allocation failure. */
TARNU_EXPORT int url_add_param(Url *url, char *name, char *value);
/* Writes the URL into a new string stored in *stringp (null on failure).
 * 22 for a null argument, 12 on allocation failure, 75 when it would exceed
 * 255 characters. A parameter without value is written as its name alone. */
TARNU_EXPORT int url_construct(Url *url, char **stringp);
/* *protocol = the record's protocol, or "". 22 for a null argument. */
TARNU_EXPORT int url_get_protocol(Url *url, char **protocol);
/* *hostname = the record's host name, or "". 22 for a null argument. */
TARNU_EXPORT int url_get_hostname(Url *url, char **hostname);
/* *path = the record's path, or "" when there is none. 22 for a null argument. */
TARNU_EXPORT int url_get_path(Url *url, char **path);
/* *port = the port, 0 when none. 22 for a null argument. */
TARNU_EXPORT int url_get_port(Url *url, int *port);
/* 1 if a parameter of that name exists, else 0; 22 for a null argument. */
TARNU_EXPORT int url_has_param(Url *url, char *name);
/* *value = the parameter's own value string. 2 with *value null when the
 * parameter is missing or has no value; 22 for a null argument. */
TARNU_EXPORT int url_get_param(Url *url, char *name, char **value);
/* Releases the record with its strings and parameters and sets *urlp to null.
 * 22 if urlp or *urlp is null. */
TARNU_EXPORT int url_free(Url **urlp);
/* Appends one parameter to lstring: "&" unless the buffer ends in "?", then
 * the name, and "=" with the value when there is one. 22 for a null argument
 * or a buffer not terminated within alloclen; 75 when it does not fit. */
TARNU_EXPORT int url_attrib_append(Attribute *attrib, LString *lstring);

TARNU_END_DECLS

#endif /* TARNU_URL_H_ */

/* der: a small ASN.1 codec in the style of DER, for the universal types
 * BOOLEAN (1), INTEGER (2), OCTET STRING (4), NULL (5) and SEQUENCE (0x10).
 *
 * Model. A message is a chain of top-level DERIdentifier elements linked
 * through `next`; a SEQUENCE holds its members as a chain under `child`.
 * Every element records the number of its content octets in `length`, so the
 * encoder knows the output size before it writes. An element owns its `s`
 * buffer (OCTET STRING) and, for a SEQUENCE, the whole member chain; a chain
 * is owned by whoever holds its first element. Build trees from the inside
 * out: adding a member updates the `length` of its SEQUENCE only, not of the
 * SEQUENCEs that already contain it.
 *
 * Octets. Identifier octet = the tag number itself (a SEQUENCE is 0x10, never
 * with class or constructed bits). Length: 0..127 in one octet; 128..65535 as
 * 0x82 and two octets; larger as 0x84 and four octets, most significant first.
 * So an element takes length + 2, + 4 or + 6 octets. BOOLEAN content is one
 * octet (0x01 true, 0x00 false); INTEGER content is two's complement in
 * exactly 1, 2 or 4 octets; OCTET STRING content is the octets themselves;
 * NULL has none; SEQUENCE content is its members in chain order.
 *
 * Nesting. Elements nest at most DER_MAX_DEPTH (64) levels deep: a top-level
 * element is at level 1, the members of a SEQUENCE at level n are at level
 * n + 1. The decoder rejects deeper input and the encoder refuses deeper trees
 * with 22, so neither can exhaust the stack.
 *
 * Results are 0 or an errno number: 22 (EINVAL) for a missing argument, a
 * wrong tag, an unsupported type or malformed input; 12 (ENOMEM) when memory
 * runs out (nothing is leaked and the call has no effect); 28 (ENOSPC) when
 * a caller's buffer is too small.
 *
 * Thread safety: none; a tree is used by one thread at a time, different
 * trees are independent. */
#ifndef TARNU_DER_H_
#define TARNU_DER_H_

#include <stdint.h>

#include <tarnu/export.h>

TARNU_BEGIN_DECLS

/* Deepest nesting level the encoder and decoder accept (see above). */
#define DER_MAX_DEPTH 64

typedef struct DERIdentifier {
  struct DERIdentifier *previous; /* element before this one in its chain */
  struct DERIdentifier *next;     /* following element, null at the end */
  struct DERIdentifier *child;    /* SEQUENCE: first member, null if none */
  uint8_t identifier;             /* tag number, also the identifier octet */
  uint32_t length;                /* number of content octets */
  union {
    int32_t l;  /* BOOLEAN or INTEGER value */
    int64_t ll; /* shares the storage; no operation uses it */
    char *s;    /* OCTET STRING content, owned by the element */
  };
} DERIdentifier;

/* Constructors: each sets *dip to null, builds a zero-filled element, stores
 * it in *dip and returns 0; 22 for a null dip, 12 (with *dip null) when
 * memory runs out. */

/* A bare element with tag 0. */
TARNU_EXPORT int der_identifier_new(DERIdentifier **dip);
/* A BOOLEAN: l = 1 if value is non-zero, else 0; length 1. */
TARNU_EXPORT int der_identifier_new_boolean(DERIdentifier **dip, int value);
/* An INTEGER holding value; length 1 for -126..127, 2 for -32766..32767,
 * else 4 (so -127, -128 take 2 octets and -32767, -32768 take 4). */
TARNU_EXPORT int der_identifier_new_integer(DERIdentifier **dip, int value);
/* A NULL, length 0. */
TARNU_EXPORT int der_identifier_new_null(DERIdentifier **dip);
/* An empty SEQUENCE, length 0. */
TARNU_EXPORT int der_identifier_new_sequence(DERIdentifier **dip);
/* An OCTET STRING owning a copy of the `length` octets at `string` (any
 * values, no terminator added). 22 also for a negative length or a null
 * string with a positive length. */
TARNU_EXPORT int der_identifier_new_string(DERIdentifier **dip, char *string, int length);
/* OBJECT IDENTIFIER is not supported: always 22, *dip untouched. */
TARNU_EXPORT int der_identifier_new_oid(DERIdentifier **dip, char *string, int length);

/* Getters: 22 for a null element or out-parameter, or an element of another
 * tag (nothing written); 0 otherwise. */

/* *valuep = l of a BOOLEAN (a decoded one holds its content octet as a signed
 * 8-bit number). */
TARNU_EXPORT int der_identifier_get_boolean(DERIdentifier *di, int *valuep);
/* *valuep = l of an INTEGER. */
TARNU_EXPORT int der_identifier_get_integer(DERIdentifier *di, int *valuep);
/* Copies the content of an OCTET STRING into str, whose size is *lengthp on
 * entry, and sets *lengthp to the content length; no terminator is written.
 * 28 (nothing copied, *lengthp unchanged) when the content does not fit. */
TARNU_EXPORT int der_identifier_get_octetstring(DERIdentifier *di, char *str, int *lengthp);
/* OBJECT IDENTIFIER content is not supported: 0 for an element of tag 6,
 * 22 otherwise; never writes str or *lengthp. */
TARNU_EXPORT int der_identifier_get_oid(DERIdentifier *di, char *str, int *lengthp);

/* Sibling chain: 22 for a null argument or when di is already in parent's
 * chain (linking it again would make the chain a loop); 0 otherwise. */

/* Links di (with whatever follows it) after the last element of the chain
 * that parent belongs to, and sets di's previous to that element. */
TARNU_EXPORT int der_identifier_chain_append(DERIdentifier *parent, DERIdentifier *di);
/* Links di before the first element of parent's chain (found through
 * previous); the caller then holds di as the head of the chain. */
TARNU_EXPORT int der_identifier_chain_prepend(DERIdentifier *parent, DERIdentifier *di);

/* Members of a SEQUENCE: 22 for a null argument, a parent that is not a
 * SEQUENCE, di the parent itself or already its first member (appending: any
 * member), or when the grown length would not fit in 32 bits; 0 otherwise. */

/* Makes di the last member (previous set to the former last member) and adds
 * di's encoded size to parent's length. Only di is counted, not elements
 * linked after it. */
TARNU_EXPORT int der_identifier_child_append(DERIdentifier *parent, DERIdentifier *di);
/* Makes di the first member and adds its encoded size to parent's length. */
TARNU_EXPORT int der_identifier_child_prepend(DERIdentifier *parent, DERIdentifier *di);
/* Links di like der_identifier_child_append but leaves parent's length as it
 * is (a decoded SEQUENCE carries its length from the input). */
TARNU_EXPORT int der_identifier_child_append_decode(DERIdentifier *parent, DERIdentifier *di);

/* Freeing. */

/* Releases *dip with its content and members (not its siblings) and sets
 * *dip to null. It does not unlink the element. 22 for a null dip or *dip. */
TARNU_EXPORT int der_identifier_free(DERIdentifier **dip);
/* Releases *dip and every element after it along next; the element before
 * it (previous) is detached first and stays valid. *dip is not reset: drop
 * the pointer. 22 for a null dip or *dip. */
TARNU_EXPORT int der_identifier_chain_free(DERIdentifier **dip);

/* Encoding and decoding. */

/* Encodes di and every element after it along next into one new buffer of
 * exactly the right size: *datap (release with free) and *datalenp. On any
 * failure *datap is null and *datalenp 0: 22 for a null argument, a tag other
 * than the five, an INTEGER length other than 1, 2 or 4, a BOOLEAN length
 * other than 1, an OCTET STRING without content, a SEQUENCE whose members do
 * not fit the length it declares, nesting deeper than DER_MAX_DEPTH, or a
 * message larger than INT_MAX octets; 12 when memory runs out. Members that
 * fill less than their SEQUENCE's length (and content a NULL does not have)
 * leave zero octets. */
TARNU_EXPORT int der_identifier_encode(DERIdentifier *di, char **datap, int *datalenp);
/* Encodes the one element di with its members (not its siblings) into data,
 * which has room for *datalenp octets; on success *datalenp becomes the
 * number written. 28 (nothing written) when the element does not fit; 22 as
 * for der_identifier_encode. On failure *datalenp is unchanged and the
 * contents of data are unspecified. */
TARNU_EXPORT int der_identifier_encode_r(DERIdentifier *di, char *data, int *datalenp);
/* Parses datalen octets at data into a new chain stored in *dip (free it
 * with der_identifier_chain_free). The input is only read. A decoded OCTET
 * STRING's content is a malloc buffer owned by its element (with one extra
 * 0 octet after the content, so it is terminated in memory). 22 (with *dip
 * null) for a null argument, input shorter than 2 octets, an unknown tag, a
 * length form other than short, 0x82 or 0x84, a length or content running
 * past the end of its input, a BOOLEAN whose length is not 1, a SEQUENCE
 * content shorter than 2 octets (so the empty SEQUENCE is rejected), or
 * nesting deeper than DER_MAX_DEPTH; 12 when memory runs out. Nothing is left
 * allocated on failure. */
TARNU_EXPORT int der_identifier_decode(DERIdentifier **dip, char *data, int datalen);

TARNU_END_DECLS

#endif /* TARNU_DER_H_ */

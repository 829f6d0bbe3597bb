/* ser: typed binary serialization of elements and packets.
 *
 * An element (SERElement) holds one typed value: a 16-, 32- or 64-bit
 * integer, a float, a byte string, a block of octets, or a nested packet. A
 * packet (SERPacket) is an ordered list of elements that encodes into one
 * byte stream: each element is a big-endian 32-bit tag (its type word)
 * followed by its payload, padded with zero bytes to a whole number of 4-byte
 * words. A 16-bit value travels inside the tag. There is no packet header,
 * count or terminator; the caller frames the stream.
 *
 * Ownership: an element owns its payload copy and, for an array element, its
 * nested packet. A packet owns the elements linked into it, its spare
 * records (see ser_packet_clear_c) and, through its array elements, every
 * nested packet. A nested packet belongs to its parent: it is frozen (it
 * refuses new elements, clearing and releasing with 1) and is released with
 * the parent. Packets nest at most SER_NESTING_MAX levels deep.
 *
 * Results are 0 or an errno number: 22 (EINVAL) for a missing argument, an
 * unknown type, a payload over 65535 bytes or malformed input; 12 (ENOMEM)
 * when memory runs out (nothing is leaked and the object is as before);
 * 28 (ENOSPC) when the caller's destination is too small; 1 (EPERM) for a
 * nested (frozen) packet; 75 (EOVERFLOW) when a packet's encoding would
 * exceed INT_MAX bytes.
 *
 * Thread safety: none. An element or packet (with its iteration cursor) is
 * used by one thread at a time. */
#ifndef TARNU_SER_H_
#define TARNU_SER_H_

#include <stdint.h>
#include <tarnu/export.h>

TARNU_BEGIN_DECLS

typedef struct SERElement SERElement;
typedef struct SERPacket SERPacket;

/* Fields of the type word, which is also the element's tag on the wire. */
#define SER_TYPE_SIGNED 0x80000000u /* signed integer kinds */
#define SER_TYPE_MASK 0x7FFC0000u   /* the type code */
#define SER_PAD_MASK 0x00030000u    /* zero bytes after the payload, 0 to 3 */
#define SER_LENGTH_MASK 0x0000FFFFu /* payload length; the value of a 16-bit element */

/* Type codes. */
#define SER_TYPE_INT16 0x00100000u
#define SER_TYPE_INT32 0x00200000u
#define SER_TYPE_INT64 0x00400000u
#define SER_TYPE_FLOAT 0x00800000u
#define SER_TYPE_STRING 0x01000000u
#define SER_TYPE_BINARY 0x02000000u
#define SER_TYPE_ARRAY 0x04000000u

/* Packet flag: the packet is nested in another one and is frozen. */
#define SER_PACKET_NESTED 1u

/* Cursor moves of ser_packet_iterate_elements. */
#define SER_ITERATE_FIRST 1u
#define SER_ITERATE_LAST 2u
#define SER_ITERATE_NEXT 3u
#define SER_ITERATE_PREV 4u

/* Deepest nesting of packets: a top-level packet may hold arrays whose
 * packets hold arrays, and so on, this many levels down. Nesting deeper is
 * refused (22) when building, encoding and decoding. */
#define SER_NESTING_MAX 32

/* Longest string or binary payload in bytes (the tag's length field). */
#define SER_PAYLOAD_MAX 65535

/* Element constructors: *sep = a new free-standing element, or null on
 * failure. 22 for a null sep; 12 when memory runs out. */
TARNU_EXPORT int ser_element_new_uint16(SERElement **sep, uint16_t value);
TARNU_EXPORT int ser_element_new_int16(SERElement **sep, int16_t value);
TARNU_EXPORT int ser_element_new_uint32(SERElement **sep, uint32_t value);
TARNU_EXPORT int ser_element_new_int32(SERElement **sep, int32_t value);
TARNU_EXPORT int ser_element_new_uint64(SERElement **sep, uint64_t value);
TARNU_EXPORT int ser_element_new_int64(SERElement **sep, int64_t value);
TARNU_EXPORT int ser_element_new_float(SERElement **sep, float value);
/* String of strlen(value) bytes (no terminator on the wire); 22 for a string
 * over SER_PAYLOAD_MAX bytes. value must not be null. */
TARNU_EXPORT int ser_element_new_string(SERElement **sep, const char *value);
/* String of exactly `length` bytes: value up to its first zero byte, at most
 * `length` bytes of it, filled up with zero bytes. 22 for a length outside
 * 0..SER_PAYLOAD_MAX. value must not be null. */
TARNU_EXPORT int ser_element_new_string_length(SERElement **sep, const char *value, int length);
/* Binary payload, a copy of `len` bytes of value; 22 for a len outside
 * 0..SER_PAYLOAD_MAX. value must not be null. */
TARNU_EXPORT int ser_element_new_binary(SERElement **sep, const void *value, int len);
/* Element of the kind named by `type` (code plus signed flag), the value read
 * from valuep with the code's width; `length` is the payload length of a
 * string or binary. 22 for a null argument, an unknown code or
 * SER_TYPE_ARRAY, or a bad length. */
TARNU_EXPORT int ser_element_new(SERElement **sep, int type, const void *valuep, int length);
/* *typep = the element's type code (no flag, padding or length); 22 for null
 * arguments. */
TARNU_EXPORT int ser_element_get_type(SERElement *se, uint32_t *typep);
/* Copies the value to valuep, whose capacity in bytes is *lengthp. Numbers
 * are copied as stored (2, 4 or 8 bytes); an array gives the nested packet's
 * handle, which stays owned by the element. A binary copies min(capacity, n)
 * bytes, a string at most capacity - 1 bytes and a zero byte; both set
 * *lengthp to the bytes of payload copied. 28 (nothing written) when the
 * capacity is too small for a number or handle, or below 1 for a string;
 * 22 for null arguments. */
TARNU_EXPORT int ser_element_get_value(SERElement *se, void *valuep, int *lengthp);
/* Releases a free-standing element, its payload and nested packet; *sep =
 * null. 22 for a null sep or *sep. Never call it on an element a packet
 * holds. */
TARNU_EXPORT int ser_element_free(SERElement **sep);

/* *spp = a new empty packet; 22 for a null spp, 12 when memory runs out. */
TARNU_EXPORT int ser_packet_new(SERPacket **spp);
/* Releases every element and spare record; the packet is empty afterwards.
 * 22 for a null sp, 1 for a nested packet (unchanged). */
TARNU_EXPORT int ser_packet_clear(SERPacket *sp);
/* Releases the packet and everything it owns; *spp = null. 22 for a null spp
 * or *spp, 1 for a nested packet (its parent releases it). */
TARNU_EXPORT int ser_packet_free(SERPacket **spp);
/* Links the free-standing element se at the end (append) or the front
 * (prepend); the packet owns it afterwards. 22 for null arguments or an
 * element that is already linked, 1 for a nested packet, 75 when the
 * encoding would grow past INT_MAX bytes. */
TARNU_EXPORT int ser_packet_append(SERPacket *sp, SERElement *se);
TARNU_EXPORT int ser_packet_prepend(SERPacket *sp, SERElement *se);
/* Appends ssp as an array element; sp then owns ssp, which is frozen.
 * 22 for null arguments, ssp already nested, ssp == sp or nesting deeper than
 * SER_NESTING_MAX; 1 when sp is nested; 12 when memory runs out; 75 as for
 * append. On failure ssp stays the caller's. */
TARNU_EXPORT int ser_packet_append_as_array(SERPacket *sp, SERPacket *ssp);
/* Moves the packet's cursor by whence (SER_ITERATE_*) and returns the element
 * it lands on; null for a null sp, an empty packet, a walk past either end,
 * NEXT or PREV without a cursor, and an unknown whence (cursor unchanged). */
TARNU_EXPORT SERElement *ser_packet_iterate_elements(SERPacket *sp, uint32_t whence);
/* *lengthp = bytes of the packet's encoding; 22 for null arguments. */
TARNU_EXPORT int ser_packet_length(SERPacket *sp, uint32_t *lengthp);
/* *countp = number of elements (a nested packet counts as one); 22 for null
 * arguments. */
TARNU_EXPORT int ser_packet_elements(SERPacket *sp, uint32_t *countp);
/* Encodes the packet into buffer, whose capacity is *lenp; *lenp = bytes
 * written (the packet's length). 22 for null arguments or a negative
 * capacity, 28 (nothing written) when the capacity is below the length. */
TARNU_EXPORT int ser_packet_serialize(SERPacket *sp, void *buffer, int *lenp);
/* Decodes len bytes into a new packet, *spp. Integer, float and array length
 * fields are converted to host byte order inside buffer, which must be
 * writable. Decoded integers carry no signed flag. 22 for null arguments,
 * len below 4, and malformed input (unknown or inconsistent tag, anything
 * running past buffer + len, nesting deeper than SER_NESTING_MAX); 12 when
 * memory runs out. On failure nothing is kept and *spp is null. */
TARNU_EXPORT int ser_packet_deserialize(SERPacket **spp, void *buffer, int len);

/* Element cache: reusing one packet for message after message.
 *
 * *sep = a free-standing element made as by ser_element_new, taking a spare
 * record of sp when there is one. 22 for null arguments or a bad length, 1
 * for a nested sp, 12 when memory runs out; on 12, and on 22 for a type with
 * no known code, the record is kept as a spare of sp. */
TARNU_EXPORT int ser_packet_new_element_c(SERPacket *sp, SERElement **sep, int type,
                                          const void *valuep, int length);
/* Empties sp and keeps its element records as spares (payloads and nested
 * packets are released). An empty sp is left as it is (0, nested or not). 22
 * for a null sp, 1 for a nested packet that holds elements. */
TARNU_EXPORT int ser_packet_clear_c(SERPacket *sp);
/* Decodes len bytes as ser_packet_deserialize does and appends the elements to
 * sp, reusing its spares. On failure sp is left empty with all its records as
 * spares; 22 for null arguments and len below 4 (sp unchanged), 1 for a
 * nested sp. */
TARNU_EXPORT int ser_packet_deserialize_c(SERPacket *sp, void *buffer, int len);

TARNU_END_DECLS

#endif /* TARNU_SER_H_ */

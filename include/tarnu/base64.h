/* base64: conversion of byte blocks to Base64 text and back.
 *
 * The encoder uses the standard alphabet with "=" padding and writes a line
 * feed after every 72 characters of complete 3-byte groups; the final padded
 * group never starts a new line. The decoder skips line feeds, carriage
 * returns, spaces and tabs, and rejects every other character outside the
 * alphabet. The first "=" ends decoding.
 *
 * Results are newly allocated and belong to the caller, who releases them with
 * free(). Status: 0 on success, 22 (EINVAL) for a null argument or refused
 * input, 12 (ENOMEM) when the result cannot be allocated. After the argument
 * check both functions set *outdata to null and *outlen to 0, so a failure
 * leaves no result.
 *
 * Thread safety: no state; callable from any thread on distinct data. */
#ifndef TARNU_BASE64_H_
#define TARNU_BASE64_H_

#include <tarnu/export.h>

TARNU_BEGIN_DECLS

/* Encodes inlen bytes into new zero-terminated text; *outlen is its length,
 * line feeds included. A negative inlen gives the empty text. 22 when the text
 * would be longer than the largest int. */
TARNU_EXPORT int base64_encode(const unsigned char *indata, int inlen, char **outdata, int *outlen);
/* Decodes inlen characters of Base64 text into a new byte block of *outlen
 * bytes (the buffer is zero-filled beyond them). Bytes of an incomplete final
 * group without padding are not counted. 22, with no result, for a character
 * that is neither in the alphabet nor "=" nor skipped white space. */
TARNU_EXPORT int base64_decode(const char *indata, int inlen, unsigned char **outdata, int *outlen);

TARNU_END_DECLS

#endif /* TARNU_BASE64_H_ */

/* strfuncs: splitting and trimming of length-bounded strings.
 *
 * strnsplit cuts text at a one-character delimiter into at most a given number
 * of fields. Fields are never empty: delimiters at either end produce no field
 * and a run of delimiters counts as one. The last allowed field takes the whole
 * rest of the text, delimiters included. The array it returns, and every string
 * in it, belong to the caller, who releases them with strarray_free.
 *
 * Results: 0 on success, 22 (EINVAL) for invalid arguments, 12 (ENOMEM) when an
 * allocation fails (nothing is then left allocated).
 *
 * Thread safety: no state; callable from any thread on distinct data. */
#ifndef TARNU_STRFUNCS_H_
#define TARNU_STRFUNCS_H_

#include <tarnu/export.h>

TARNU_BEGIN_DECLS

/* Splits the first len characters of str (a zero octet among them is an
 * ordinary character) at delimiter. On entry *destitems is the maximum number
 * of fields; on success *destarray receives a null-terminated array with room
 * for that maximum plus one, and *destitems the number of fields found.
 * 22 for a null str, destarray or destitems, or a len or *destitems below 1.
 * 12 when an allocation fails: *destarray stays null and *destitems holds the
 * number of fields completed before the failure. */
TARNU_EXPORT int strnsplit(const char *str, int len, char delimiter, char ***destarray,
                           int *destitems);
/* Releases every string up to the first null slot, then the array, and sets
 * *strarray to null. 22 if strarray or *strarray is null. */
TARNU_EXPORT int strarray_free(char ***strarray);
/* Removes leading spaces (0x20 only) from the zero-terminated string in the
 * buffer str of len characters, in place, touching nothing at or beyond
 * position len. 22 for a null str or a len below 1. */
TARNU_EXPORT int strnchug(char *str, int len);

TARNU_END_DECLS

#endif /* TARNU_STRFUNCS_H_ */

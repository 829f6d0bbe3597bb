/* crc: the 32-bit cyclic redundancy check with polynomial 0x04C11DB7, initial
 * value 0xFFFFFFFF, most significant bit first and no final exclusive-or
 * (the check value over the nine characters "123456789" is 0x0376E6E7).
 *
 * The running value is held by the caller. crc32_buffer always starts afresh;
 * to continue over more data, fold further bytes in with crc32_byte.
 * Unlike the rest of the library these return -1 for a missing argument.
 *
 * Thread safety: no state; callable from any thread on distinct data. */
#ifndef TARNU_CRC_H_
#define TARNU_CRC_H_

#include <stdint.h>
#include <tarnu/export.h>

TARNU_BEGIN_DECLS

/* Folds one byte into *crc bit by bit (no initial or final step). 0, or -1
 * for a null crc. */
TARNU_EXPORT int crc32_byte(uint32_t *crc, unsigned char byte);
/* Sets *crc to the checksum of length bytes of buffer (0xFFFFFFFF for an empty
 * buffer). 0, or -1 with *crc untouched for a null crc or buffer. */
TARNU_EXPORT int crc32_buffer(uint32_t *crc, const unsigned char *buffer, unsigned int length);

TARNU_END_DECLS

#endif /* TARNU_CRC_H_ */

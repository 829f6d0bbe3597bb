/* globals: the string, Base64 and CRC-32 functions of libtarnu in one header.
 * Each family keeps its own contract in the header included here. */
#ifndef TARNU_GLOBALS_H_
#define TARNU_GLOBALS_H_

#include <tarnu/base64.h>
#include <tarnu/crc.h>
#include <tarnu/strfuncs.h>

#endif /* TARNU_GLOBALS_H_ */

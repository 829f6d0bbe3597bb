/* EventData: the 408-byte event record shared by clients, the daemon and
 * handler modules.
 *
 * On the wire the integer fields (flags, rc, timestamp, datalen) travel in
 * network byte order; the daemon converts each received record with
 * eventdata_to_hostorder, so queues and handler modules see host order.
 * Senders fill a record in host order and convert it with
 * eventdata_to_netorder just before writing it.
 *
 * Text fields (hostname, object) hold up to 64 bytes; the getters always
 * return zero-terminated text and never read or write past either buffer.
 *
 * Results: 0 or an errno number (22 for a null argument, 12 out of memory,
 * 28 when a value does not fit its field). */
#ifndef ORVIK_EVENT_H_
#define ORVIK_EVENT_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(ORVIK_BUILDING)
#define ORVIK_EXPORT __attribute__((visibility("default")))
#else
#define ORVIK_EXPORT
#endif

#define EVENTDATA_SIZE 408
#define EVENTDATA_TEXT_SIZE 64
#define EVENTDATA_DATA_SIZE 256

typedef struct EventData EventData;

ORVIK_EXPORT int eventdata_new(EventData **event);
ORVIK_EXPORT int eventdata_free(EventData **event);

/* Converts the integer fields in place; pad1 is left as it came. */
ORVIK_EXPORT int eventdata_to_hostorder(EventData *event);
ORVIK_EXPORT int eventdata_to_netorder(EventData *event);

/* *len in: buffer size; out: length of the text copied (without its zero).
 * The text is cut to fit and always terminated. 22 for a size below 1. */
ORVIK_EXPORT int eventdata_get_hostname(EventData *event, char *buffer, int *len);
ORVIK_EXPORT int eventdata_get_object(EventData *event, char *buffer, int *len);
/* Copies text into the field; 28 when it is longer than 63 characters
 * (nothing is changed). */
ORVIK_EXPORT int eventdata_set_hostname(EventData *event, const char *text);
ORVIK_EXPORT int eventdata_set_object(EventData *event, const char *text);

ORVIK_EXPORT int eventdata_get_flags(EventData *event, uint32_t *flags);
ORVIK_EXPORT int eventdata_set_flags(EventData *event, uint32_t flags);
ORVIK_EXPORT int eventdata_get_rc(EventData *event, uint32_t *rc);
ORVIK_EXPORT int eventdata_set_rc(EventData *event, uint32_t rc);
ORVIK_EXPORT int eventdata_get_timestamp(EventData *event, uint64_t *timestamp);
ORVIK_EXPORT int eventdata_set_timestamp(EventData *event, uint64_t timestamp);
/* The payload: *len in: buffer size; out: bytes copied (datalen, capped at
 * 256 and at the buffer). */
ORVIK_EXPORT int eventdata_get_data(EventData *event, void *buffer, int *len);
/* Copies len bytes (at most 256, else 28) and sets datalen. */
ORVIK_EXPORT int eventdata_set_data(EventData *event, const void *data, int len);

#ifdef __cplusplus
}
#endif

#endif /* ORVIK_EVENT_H_ */

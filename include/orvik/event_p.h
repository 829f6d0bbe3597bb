/* The layout of EventData, for code that stores records by value (the
 * daemon's queues, handler modules, senders building records in arrays).
 * The layout is the wire format: 408 bytes, no gaps. */
#ifndef ORVIK_EVENT_P_H_
#define ORVIK_EVENT_P_H_

#include <stddef.h>
#include <stdint.h>

#include <orvik/event.h>

#ifdef __cplusplus
extern "C" {
#endif

struct EventData {
  uint32_t flags;                        /* offset 0 */
  uint32_t rc;                           /* offset 4 */
  uint64_t timestamp;                    /* offset 8 */
  uint32_t datalen;                      /* offset 16 */
  char hostname[EVENTDATA_TEXT_SIZE];    /* offset 20 */
  char object[EVENTDATA_TEXT_SIZE];      /* offset 84 */
  unsigned char data[EVENTDATA_DATA_SIZE]; /* offset 148 */
  uint32_t pad1;                         /* offset 404 */
};

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
static_assert(sizeof(EventData) == EVENTDATA_SIZE, "EventData is 408 bytes");
static_assert(offsetof(EventData, timestamp) == 8, "timestamp at 8");
static_assert(offsetof(EventData, datalen) == 16, "datalen at 16");
static_assert(offsetof(EventData, hostname) == 20, "hostname at 20");
static_assert(offsetof(EventData, object) == 84, "object at 84");
static_assert(offsetof(EventData, data) == 148, "data at 148");
static_assert(offsetof(EventData, pad1) == 404, "pad1 at 404");
#else
_Static_assert(sizeof(EventData) == EVENTDATA_SIZE, "EventData is 408 bytes");
_Static_assert(offsetof(EventData, pad1) == 404, "pad1 at 404");
#endif

#endif /* ORVIK_EVENT_P_H_ */

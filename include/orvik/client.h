/* liborvikclient: sending events to orvikevtd daemons, with acknowledged
 * delivery.
 *
 * A client owns a bounded buffer of records and one background thread that
 * owns the TLS connection. orvik_client_send copies a record into the
 * buffer and returns; the thread writes records to the daemon and, in
 * acknowledged delivery (the default, protocol "orvik-ack/1"), keeps each
 * record until the daemon acknowledges that every loaded module holds it
 * durably. A connection that breaks is made again by the thread, trying
 * the daemons of the list in order (from the first after a connection
 * that worked, on to the next after an attempt that failed, with
 * exponential back-off and jitter after a whole round), and the records not
 * yet acknowledged are sent again: the daemon drops those it already has. A record is never dropped
 * by the client: when the buffer is full, orvik_client_send waits for room, up to the caller's
 * timeout.
 *
 *   OrvikClientOptions *options = NULL;
 *   orvik_client_options_new(&options);
 *   orvik_client_options_set(options, "daemons", "events1:5011,events2:5011");
 *   orvik_client_options_set(options, "ca_file", "/etc/orvik/ca.pem");
 *   OrvikClient *client = NULL;
 *   int rc = orvik_client_new(&client, options);
 *   orvik_client_options_free(&options);
 *   ... rc = orvik_client_send(client, &event, 1000);  (11: buffer full)
 *   uint64_t lost = 0;
 *   rc = orvik_client_free(&client, 5000, &lost);
 *
 * Results: 0 or a positive errno number: 11 a send that found no room in
 * time, 12 allocation failure, 22 bad argument, 110 a flush that timed out,
 * 92 a flush that timed out while the daemon last reached does not speak
 * "orvik-ack/1" (acknowledged delivery only). No function lets a C++
 * exception out.
 *
 * Threads: orvik_client_send, orvik_client_flush and orvik_client_counters
 * may be called from any number of threads at once; orvik_client_free once,
 * when no other call on the client runs. Options objects belong to one
 * thread at a time. */
#ifndef ORVIK_CLIENT_H_
#define ORVIK_CLIENT_H_

#include <stdint.h>

#include <orvik/event_p.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(ORVIK_CLIENT_BUILDING)
#define ORVIK_CLIENT_EXPORT __attribute__((visibility("default")))
#else
#define ORVIK_CLIENT_EXPORT
#endif

typedef struct OrvikClientOptions OrvikClientOptions;
typedef struct OrvikClient OrvikClient;

/* What a client has done since orvik_client_new. */
typedef struct OrvikClientCounters {
  uint64_t sent;            /* records taken by orvik_client_send */
  uint64_t written;         /* records written to a connection at least once */
  uint64_t acknowledged;    /* records the daemon acknowledged (acknowledged delivery) */
  uint64_t resent;          /* records written again on a later connection */
  uint64_t reconnects;      /* connections made after the first */
  uint64_t failed_attempts; /* connection attempts that failed */
  int32_t last_error;       /* errno number of the last failed connection, 0 when none */
  int32_t acknowledging;    /* 1 while connected with acknowledgements, 0 otherwise */
} OrvikClientCounters;

/* Options, by name (every value is text):
 *   "daemons"        "host:port,host:port,...", tried in order on failure
 *                    ("[::1]:5011" for IPv6 addresses); required
 *   "ca_file"        verify the daemon's certificate against these CAs
 *   "insecure"       "1": do not verify the daemon (either this or ca_file)
 *   "certificate", "key"
 *                    a client certificate and its key, for daemons that
 *                    require one (both or neither)
 *   "buffer_records" records the buffer holds (default 65536, 1 to 2^24)
 *   "delivery"       "acknowledged" (default: a daemon that does not select
 *                    "orvik-ack/1" is refused), "fire-and-forget-allowed"
 *                    (acknowledged where the daemon speaks the protocol,
 *                    else a record counts as delivered once written), or
 *                    "fire-and-forget" (never offers the protocol)
 *   "connect_timeout_ms"  longest connection attempt (default 5000)
 *   "backoff_min_ms", "backoff_max_ms"
 *                    the wait after a round of failed attempts starts at
 *                    the first (default 100), doubles up to the second
 *                    (default 30000), and is jittered by up to a half
 * orvik_client_options_set: 0; 22 for an unknown name or a bad value. */
ORVIK_CLIENT_EXPORT int orvik_client_options_new(OrvikClientOptions **options);
ORVIK_CLIENT_EXPORT int orvik_client_options_set(OrvikClientOptions *options, const char *name,
                                                 const char *value);
ORVIK_CLIENT_EXPORT int orvik_client_options_free(OrvikClientOptions **options);

/* Makes a client and starts its thread; it connects in the background (a
 * daemon unreachable now is tried again). The options are copied. 0; 22
 * for missing or contradictory options (no daemons, neither or both of
 * ca_file and insecure, certificate without key); 12; or the comm layer's
 * status when the TLS settings cannot be loaded. */
ORVIK_CLIENT_EXPORT int orvik_client_new(OrvikClient **client, const OrvikClientOptions *options);
/* Copies one record, in host byte order (as handler modules see it), into
 * the buffer. Waits for room at most timeout_ms (0: not at all; -1: no
 * limit). 0; 11 when no room came in time (the record was not taken); 22. */
ORVIK_CLIENT_EXPORT int orvik_client_send(OrvikClient *client, const EventData *event,
                                          int timeout_ms);
/* Sends at once what is buffered and waits, at most timeout_ms (-1: no
 * limit), until every record sent before the call is acknowledged (or,
 * without acknowledgements, written). 0; 110 (or 92, see above); 22. */
ORVIK_CLIENT_EXPORT int orvik_client_flush(OrvikClient *client, int timeout_ms);
ORVIK_CLIENT_EXPORT int orvik_client_counters(OrvikClient *client, OrvikClientCounters *counters);
/* Flushes within timeout_ms, stops the thread (an attempt to connect that
 * runs may add up to connect_timeout_ms), closes the connection and frees
 * the client; *unacknowledged (may be null) is set to the records that
 * stayed unacknowledged. The client is freed whatever the flush gave: 0
 * when nothing stayed, else the flush's 110 or 92. 22 for a null client. */
ORVIK_CLIENT_EXPORT int orvik_client_free(OrvikClient **client, int timeout_ms,
                                          uint64_t *unacknowledged);

#ifdef __cplusplus
}
#endif

#endif /* ORVIK_CLIENT_H_ */

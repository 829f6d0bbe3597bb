/* comm: channels, groups and transport plug-ins over non-blocking sockets.
 *
 * A CommModule is a loaded transport plug-in ("comm_openssl": TLS through
 * OpenSSL). A CommChannel is a listener or a connection made through a
 * module. A CommGroup watches channels with one epoll loop and calls one I/O
 * callback for each event; the callback receives the argument given to
 * comm_group_add for that channel.
 *
 * Results: 0 on success, otherwise an errno number. comm_read and
 * comm_accept use the codes described at each function.
 *
 * The loop: while a connection has bytes buffered (in the layer or inside
 * TLS) the callback is called again, at most 512 times per connection per
 * turn so that others get their turn; a callback that does not read is not
 * repeated until its socket reports something. A callback may remove and
 * close its own channel, or any other; the loop never touches a closed
 * channel again. Once a read has returned the end (61) or an error, the
 * channel's socket leaves the loop: it is not called again, and its owner
 * closes it. A handshake that fails or outlives the handshake timeout
 * (option 2, default 10 s) has its socket closed at once; the callback is
 * then called once more, and comm_read returns the failure (110 for the
 * timeout, 61 when the peer left, another errno for a TLS failure), so an
 * owner that closes on read errors closes it. An established connection is
 * never closed for being silent; TCP keep-alive finds dead peers.
 * Out of descriptors, comm_accept returns 24 (or 23) and the listener rests
 * for 250 ms instead of being reported again at once.
 *
 * Threads: a group and its channels belong to the thread that runs
 * comm_group_loop. comm_group_wakeup is the one call that may be made from
 * any thread or from a signal handler. No call raises SIGPIPE. */
#ifndef COMM_COMM_H_
#define COMM_COMM_H_

#include <tarnu/attribute.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(COMM_BUILDING)
#define COMM_EXPORT __attribute__((visibility("default")))
#else
#define COMM_EXPORT
#endif

typedef struct CommModule CommModule;
typedef struct CommChannel CommChannel;
typedef struct CommGroup CommGroup;

/* iotype values passed to the callback. */
#define COMM_IO_READ 1  /* the channel can read (or has buffered bytes) */
#define COMM_IO_WRITE 2 /* the channel can write */
#define COMM_IO_WAKE 4  /* comm_client_wait: the wake-up descriptor is readable */

/* Bits of comm_get_flags. */
#define COMM_FLAG_LISTENER 1
#define COMM_FLAG_CLIENT 2
#define COMM_FLAG_ACCEPT_PENDING 8 /* the TLS handshake must be continued */
#define COMM_FLAG_READ_BUFFERED 16 /* received bytes wait in the layer or in TLS: */
                                   /* comm_read may return them without the socket */
#define COMM_FLAG_SEND_PENDING 32  /* bytes given to comm_send wait for the socket */

/* Results of comm_read and comm_accept besides 0 and errors. */
#define COMM_PENDING 2           /* comm_accept: handshake pending; comm_read: nothing yet */
#define COMM_PENDING_WRITE 3     /* wait until the channel can write */
#define COMM_READ_NOTHING_YET 11 /* no byte to hand out now */
#define COMM_READ_END 61         /* the connection has ended */

/* comm_accept flags. */
#define COMM_ACCEPT_DEFER_HANDSHAKE 1 /* return 2 before the first handshake step */

/* comm_set_ioneeds values. */
#define COMM_NEED_DEFAULT 0
#define COMM_NEED_WRITE 2

/* comm_group_set_option options. */
#define COMM_OPT_LOOP_TIMEOUT_US 1      /* longest wait of one loop turn, microseconds */
#define COMM_OPT_HANDSHAKE_TIMEOUT_US 2 /* close connections whose handshake is older */

typedef int (*CommIOCallback)(CommChannel *cc, int iotype, void *ccarg);
/* Called on the loop's thread: after comm_group_wakeup, or at every
 * housekeeping tick. */
typedef void (*CommLoopCallback)(CommGroup *group, void *arg);

/* ---- groups and the loop ---- */
COMM_EXPORT int comm_group_new(CommGroup **group, CommIOCallback callback);
/* Frees the group (not its channels, which leave it). 16 from inside its
 * loop. */
COMM_EXPORT int comm_group_free(CommGroup **group);
/* Watches channel; ccarg is handed back to the callback. events: 1 (read). */
COMM_EXPORT int comm_group_add(CommGroup *group, CommChannel *channel, void *ccarg, int events);
COMM_EXPORT int comm_group_remove(CommGroup *group, CommChannel *channel);
COMM_EXPORT int comm_group_set_option(CommGroup *group, int option, long value);
/* Runs until comm_group_stop; returns 0 then (16 when already running, the
 * errno of a failed epoll_wait). Option 1, the longest wait of one turn,
 * defaults to 1 s; deadlines (handshakes, ticks) shorten it. */
COMM_EXPORT int comm_group_loop(CommGroup *group);
/* Makes comm_group_loop return after the current turn (loop thread only). */
COMM_EXPORT int comm_group_stop(CommGroup *group);
/* Async-signal-safe and thread-safe: wakes the loop, which then calls the
 * wake-up callback on its own thread. */
COMM_EXPORT int comm_group_wakeup(CommGroup *group);
COMM_EXPORT int comm_group_set_wakeup_callback(CommGroup *group, CommLoopCallback callback,
                                               void *arg);
/* Housekeeping callback, called on the loop thread every interval_us
 * microseconds (the loop's wait is shortened to meet it; a busy turn may
 * delay it). A null callback turns ticks off. */
COMM_EXPORT int comm_group_set_tick_callback(CommGroup *group, CommLoopCallback callback, void *arg,
                                             long interval_us);
/* paused != 0: connections' read events are not delivered (the kernel
 * buffers fill and peers feel TCP back-pressure); listeners, wake-ups and
 * ticks go on. paused == 0 resumes. */
COMM_EXPORT int comm_group_pause_reads(CommGroup *group, int paused);

/* ---- plug-ins ---- */
/* name: "comm_openssl". Options: "SSLCertificateFile", "SSLPrivateKeyFile"
 * (a server needs both; they must load and match), "SSLCACertificateFile"
 * (server: require client certificates signed by it; client: verify the
 * server against it), "SSLVerifyPeer" ("0" to skip server verification on a
 * client), "SSLCiphers" (the TLS 1.2 cipher list) and "SSLCipherSuites"
 * (the TLS 1.3 suites), both in OpenSSL's syntax and in order of
 * preference, and "ALPNProtocols", a comma-separated list of application
 * protocol ids: a client offers them in that order, a server selects the
 * first id of its own list that the client offers (a client offering none
 * of them, or nothing, gets no protocol and the handshake goes on; an empty
 * id or one over 255 bytes: 22). Unknown name: 2. Unusable certificate or key: non-zero. A
 * cipher list or suite list that OpenSSL rejects: 22, with a message.
 *
 * TLS 1.2 is the oldest protocol spoken. Without the cipher options, TLS
 * 1.2 offers only ECDHE key exchange with AEAD ciphers (AES-GCM and
 * ChaCha20-Poly1305, ECDSA and RSA certificates), TLS 1.3 its own three
 * suites; AES-GCM comes first when the CPU has AES and carry-less multiply
 * instructions that OpenSSL may use (see OPENSSL_ia32cap, OPENSSL_armcap),
 * ChaCha20-Poly1305 otherwise. A server picks by its own order, a client
 * offers its order. The message of a successful load states the choice. */
COMM_EXPORT int comm_plugin_load(CommModule **module, const char *name, Attribute *options);
/* What the calling thread's last comm_plugin_load has to report, "" when
 * nothing; valid until that thread's next load. After a load that worked,
 * the choices the plug-in made; after one that failed, what it refused, if
 * it can say. */
COMM_EXPORT const char *comm_plugin_message(void);
COMM_EXPORT int comm_plugin_unload(CommModule **module);

/* ---- channels ---- */
/* Listens on port; address null = every address (IPv6 and IPv4 where the
 * host has them), else a numeric address. */
COMM_EXPORT int comm_bind(CommModule *module, CommChannel **listener, const char *address,
                          int port);
/* *port = the local port of a listener or connection (after binding port 0,
 * the one the system chose). */
COMM_EXPORT int comm_get_port(CommChannel *channel, int *port);
/* Writes the numeric address of a connection's peer ("192.0.2.7",
 * "2001:db8::7"; an IPv4 peer of a dual-stack listener is named by its IPv4
 * address), as it was when the connection was made, so it stays known after
 * the peer has left or the socket was closed. size: the buffer's bytes; 46
 * (INET6_ADDRSTRLEN) always suffice. 22 for a listener, 28 when the buffer
 * is too small (it then holds ""), 2 when the system could not tell. */
COMM_EXPORT int comm_get_peer_address(CommChannel *channel, char *buffer, int size);
/* 0: *channel is a new connection (possibly one that has already ended:
 * its first read returns 61; or one whose handshake failed at once: its
 * first read returns the failure, as for a handshake that fails later).
 * 2 or 3: a new connection whose handshake is pending (3: it waits for
 * writability, which the channel itself asks the loop for); its flags carry
 * COMM_FLAG_ACCEPT_PENDING. Any other value: no channel (11: none waiting;
 * 24/23: out of descriptors). flags: 0, or COMM_ACCEPT_DEFER_HANDSHAKE: no
 * handshake step is taken yet (the result is 2), so that the owner can
 * refuse the peer (comm_get_peer_address, then comm_close) before any TLS
 * work is spent on it. */
COMM_EXPORT int comm_accept(CommChannel *listener, CommChannel **channel, int flags);
/* Continues a pending handshake: 0 done, 2/3 still pending, else failure. */
COMM_EXPORT int comm_accept_continue(CommChannel *channel);
COMM_EXPORT int comm_get_flags(CommChannel *channel, int *flags);
/* After the handshake: copies the application protocol id the handshake
 * selected (ALPNProtocols) into buffer as zero-terminated text, "" when none
 * was (or the handshake is still pending). 0; 22 for a null argument or a
 * size below 1; 28 when the id does not fit. */
COMM_EXPORT int comm_get_protocol(CommChannel *channel, char *buffer, int size);
/* *len in: most bytes wanted; out: bytes read. 0 data, 2 or 11 nothing yet
 * (COMM_PENDING, COMM_READ_NOTHING_YET), 3 wait for writability
 * (COMM_PENDING_WRITE), 61 end of the connection (COMM_READ_END), other:
 * error. */
COMM_EXPORT int comm_read(CommChannel *channel, char *buffer, int *len);
/* Sends len bytes on an established connection without blocking: what the
 * socket takes now goes out at once, the rest is kept, in order, and
 * written by the group's loop as the socket can take it (the loop watches
 * writability for that by itself and calls no callback for it). 0 when the
 * bytes are sent or kept; 22 for bad arguments, a listener or a pending
 * handshake; 12 when the rest cannot be kept; once sending has failed (the
 * peer left), that failure (32, 104, ...) for every later call, and what
 * was kept is dropped. Kept bytes are dropped by comm_close; comm_flush
 * waits for them. Do not mix with comm_write on one channel. */
COMM_EXPORT int comm_send(CommChannel *channel, const char *buffer, int len);
/* Writes the bytes comm_send kept, waiting at most timeout_ms for the
 * socket: 0 when none is left, 110 when the time ran out, else the failure
 * of sending. */
COMM_EXPORT int comm_flush(CommChannel *channel, int timeout_ms);
/* As comm_flush, then waits until the peer's TCP has acknowledged every
 * byte written (they are in its host's hands: a reset sent later, as when
 * this side closes with input unread, can no longer take them away), at
 * most timeout_ms in all: 0, 110 when the time ran out, else the failure of
 * sending. */
COMM_EXPORT int comm_wait_received(CommChannel *channel, int timeout_ms);
/* As comm_read, but never touches the socket: serves only plaintext already
 * taken off it, in the layer's buffer or decrypted from what TLS has read
 * ahead. A TLS record only partly received stays where it is. 11 when no
 * such byte is left (also during a pending handshake), else as comm_read.
 * For an owner that stops reading and wants every whole record the layer
 * already holds. */
COMM_EXPORT int comm_read_buffered(CommChannel *channel, char *buffer, int *len);
/* needs 2: wait for writability only (the session must write before it can
 * read on); 0: back to reading. On a listener the call has no effect. */
COMM_EXPORT int comm_set_ioneeds(CommChannel *channel, int needs);
/* Removes the channel from its group, sends the TLS closing notice on a
 * live connection (never blocking), closes the socket, frees the channel
 * and sets *channel to null. */
COMM_EXPORT int comm_close(CommChannel **channel, int flags);

/* ---- client side (blocking) ---- */
/* Connects to host:port and completes the TLS handshake, waiting at most
 * timeout_ms (0: a default of 10 s). */
COMM_EXPORT int comm_connect(CommModule *module, CommChannel **channel, const char *host, int port,
                             int timeout_ms);
/* Writes all *len bytes (blocking); *len out: bytes written. */
COMM_EXPORT int comm_write(CommChannel *channel, const char *buffer, int *len);
/* Sends the TLS close notification and shuts the write side down. */
COMM_EXPORT int comm_shutdown(CommChannel *channel);

/* ---- client side (non-blocking) ----
 * A connection made by comm_connect may also be driven without blocking by
 * the one thread that owns it, which both writes and reads on the one TLS
 * session: comm_read returns 11 when nothing has arrived (3: wait for
 * writability), comm_client_write_some writes what the session takes now,
 * and comm_client_wait sleeps until one of them can go on. */
/* Writes at most *len bytes (*len > 0) without waiting. 0 with *len out the
 * bytes written (at least 1); 11 (wait until readable) or 3 (wait until
 * writable) with *len 0, when nothing could be written: the next call must
 * offer the same bytes again, at least as many (the buffer may move); 32
 * after comm_shutdown; another errno number when the connection failed. 22
 * for a channel that is not a client connection. */
COMM_EXPORT int comm_client_write_some(CommChannel *channel, const char *buffer, int *len);
/* Waits until the client connection can read (events bit COMM_IO_READ:
 * bytes already held by the layer or inside TLS count at once) or write
 * (COMM_IO_WRITE), or until wake_fd (-1: none; an eventfd or pipe another
 * thread writes to) is readable, at most timeout_ms (-1: no limit). 0 with
 * *ready the bits of what happened (COMM_IO_WAKE for wake_fd, which the
 * caller empties); 110 when the time passed; 22 for bad arguments. A failed
 * or closed socket counts as ready: the next read or write reports it. */
COMM_EXPORT int comm_client_wait(CommChannel *channel, int events, int wake_fd, int timeout_ms,
                                 int *ready);

#ifdef __cplusplus
}
#endif

#endif /* COMM_COMM_H_ */

// Private structures of libcomm, shared by the loop, the channel calls, the
// socket helpers and the transports.
//
// Ownership: a CommGroup owns its epoll and wake-up descriptors; a
// CommChannel owns its socket and its transport session and holds one
// reference on its CommModule, so a module unloaded while connections live
// is freed with the last of them. A channel in a group is linked into the
// group's lists intrusively, so the loop never allocates per event.
//
// Threads: everything here belongs to the thread that runs the group's loop,
// except CommGroup::wake_fd, which comm_group_wakeup writes from anywhere.
#ifndef LIBCOMM_COMM_P_H_
#define LIBCOMM_COMM_P_H_

#include <sys/epoll.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "comm/comm.h"

namespace comm {

// Bytes of the per-connection buffer that one transport read fills; the
// caller's comm_read is served from it without a system call.
inline constexpr int kReadBufferSize = 64 * 1024;
// Largest plaintext one TLS record carries: a refill goes on while at
// least this much room is left.
inline constexpr int kRecordPlaintextMax = 16 * 1024;
// Callbacks one connection gets per loop turn before the others have theirs.
inline constexpr int kCallbacksPerTurn = 512;
inline constexpr int kMaxEventsPerTurn = 256;
inline constexpr long kDefaultLoopTimeoutUs = 1000000;
inline constexpr long kDefaultHandshakeTimeoutUs = 10000000;
inline constexpr long kDefaultConnectTimeoutMs = 10000;
// How long a listener rests after running out of descriptors.
inline constexpr int64_t kAcceptBackoffUs = 250000;

// Results of transport calls, as errno numbers.
inline constexpr int kWantRead = 11;  // EAGAIN: nothing yet
inline constexpr int kWantReadHandshake = 2;
inline constexpr int kWantWrite = 3;
inline constexpr int kEndOfConnection = 61;  // ENODATA

// Microseconds of CLOCK_MONOTONIC.
int64_t NowUs();

// One TLS (or other) session over a connected, non-blocking socket.
class Session {
 public:
  virtual ~Session() = default;
  // Drives the handshake: 0 done, kWantReadHandshake, kWantWrite, or an
  // errno number (kEndOfConnection when the peer left).
  virtual int Handshake() = 0;
  // Reads up to len bytes: 0 with *got > 0, kWantRead, kWantWrite,
  // kEndOfConnection, or an errno number.
  virtual int Read(char *buffer, int len, int *got) = 0;
  // As Read, but never touches the socket: only what the session has
  // already received; kWantRead when no whole record of it is left.
  virtual int ReadBuffered(char *buffer, int len, int *got) = 0;
  // Writes up to len bytes: 0 with *put > 0, kWantRead, kWantWrite, or an
  // errno number.
  virtual int Write(const char *buffer, int len, int *put) = 0;
  // True while the session holds received bytes not yet returned by Read.
  virtual bool HasPending() = 0;
  // Sends the closing notice (best effort, never blocks): 0, kWantRead,
  // kWantWrite or an errno number.
  virtual int Shutdown() = 0;
  // The application protocol the handshake selected (ALPN), empty when none.
  virtual std::string_view SelectedProtocol() const { return {}; }
};

enum class Role { kServer, kClient };

// A loaded transport: makes sessions for sockets.
class Transport {
 public:
  virtual ~Transport() = default;
  // True when the transport can serve (has a certificate and key).
  virtual bool CanServe() const = 0;
  // A new session on fd (not owned). host: the peer's name for a client.
  // 0 or an errno number.
  virtual int NewSession(int fd, Role role, const char *host, std::unique_ptr<Session> *out) = 0;
};

// The transport named "comm_openssl"; options as for comm_plugin_load.
int CreateOpensslTransport(Attribute *options, std::unique_ptr<Transport> *out);

// True when the CPU has AES and carry-less multiply instructions and
// OpenSSL is not told to leave them alone (OPENSSL_ia32cap,
// OPENSSL_armcap). Decided once per process.
bool CpuHasAesGcmInstructions();

// The text comm_plugin_message returns on this thread: set by a transport
// while it loads (printf-style, cut to 255 characters), emptied by
// comm_plugin_load before each load.
void SetPluginMessage(const char *format, ...) __attribute__((format(printf, 1, 2)));
void ClearPluginMessage();

// Intrusive doubly linked list of channels through the member Link.
struct Link {
  CommChannel *prev = nullptr;
  CommChannel *next = nullptr;
  const void *owner = nullptr;  // the list the channel is on, or null
};

template <Link CommChannel::*member>
class ChannelList {
 public:
  bool empty() const { return head_ == nullptr; }
  CommChannel *front() const { return head_; }
  bool Contains(const CommChannel *channel) const;
  void PushBack(CommChannel *channel);
  void Remove(CommChannel *channel);
  // Moves every channel of other to the end of this list.
  void TakeAll(ChannelList &other);

 private:
  CommChannel *head_ = nullptr;
  CommChannel *tail_ = nullptr;
};

enum class ChannelKind { kListener, kServer, kClient };

// Drops one reference; the module is freed with the last (plugin.cc).
void ReleaseModule(CommModule *module);

// Socket helpers (socket.cc). Each returns 0 or an errno number.
int ListenOn(const char *address, int port, int *fd);
// Accepts one connection as a non-blocking, close-on-exec socket with
// keep-alive. 11 when none is waiting.
int AcceptOn(int listen_fd, int *fd);
// Connects within the deadline (CLOCK_MONOTONIC microseconds).
int ConnectTo(const char *host, int port, int64_t deadline_us, int *fd);
// Waits until fd is readable (want_write false) or writable, at most until
// deadline_us (-1: no deadline). 0, ETIMEDOUT or an errno number.
int WaitFor(int fd, bool want_write, int64_t deadline_us);
// Closes fd, ignoring EINTR (the descriptor is gone either way on Linux).
void CloseFd(int fd);
// Port of a bound socket.
int LocalPort(int fd, int *port);

// Writes what comm_send kept (channel.cc): 0 when nothing is left, kWantWrite
// or kWantRead while bytes remain, else the failure, after which the kept
// bytes are dropped and every later send returns it.
int FlushOutgoing(CommChannel *channel);

// Loop hooks used by the channel calls (loop.cc).
// Re-registers the channel's epoll interest after its state changed.
int UpdateInterest(CommChannel *channel);
// Queues a callback for the channel on the next loop turn.
void MakeReady(CommChannel *channel);
// Ends a pending handshake with result: the socket is closed at once (a
// stalled client holds no descriptor), every later read returns result, and
// the owner gets one more callback to learn it.
void FailHandshake(CommChannel *channel, int result);
// The channel's handshake completed.
void HandshakeFinished(CommChannel *channel);
// Stops accepting on a listener for a while (out of descriptors).
void SuspendAccept(CommChannel *listener);
// Detaches the channel from its group (no-op when it is in none).
void DetachFromGroup(CommChannel *channel);

}  // namespace comm

struct CommModule {
  std::unique_ptr<comm::Transport> transport;
  int references = 1;  // the loader's plus one per channel
};

struct CommChannel {
  comm::ChannelKind kind = comm::ChannelKind::kServer;
  int fd = -1;
  CommModule *module = nullptr;
  std::unique_ptr<comm::Session> session;

  // Membership of a group.
  CommGroup *group = nullptr;
  void *arg = nullptr;
  uint32_t registered = 0;  // epoll events now registered; 0: not in the epoll set
  comm::Link all;           // every channel of the group
  comm::Link ready;         // channels owed a callback
  comm::Link timer;         // on the group's list of pending handshakes or of resting listeners
  uint64_t turn = 0;        // last loop turn that dispatched the channel

  // State.
  bool write_needed = false;           // comm_set_ioneeds(2)
  bool accept_pending = false;         // flag 8
  bool handshake_wants_write = false;  // the handshake waits for writability
  bool starved = false;  // the session wants socket bytes; its pending bytes are a partial record
  bool accept_suspended = false;   // listener out of descriptors, resting
  bool shut_down = false;          // the closing notice was sent
  int terminal = 0;                // once set, the result of every later read
  bool terminal_reported = false;  // a read has returned it
  int64_t accepted_at_us = 0;
  int64_t accept_resume_us = 0;
  uint64_t progress = 0;  // reads and handshake steps, to see whether a callback did anything

  // Plaintext given to comm_send that the session has not taken yet, and
  // the failure that ended sending (0 while it works).
  std::string outgoing;
  int send_failure = 0;

  // Received plaintext not yet handed out.
  std::unique_ptr<char[]> buffer;
  int begin = 0;
  int end = 0;
};

struct CommGroup {
  int epoll_fd = -1;
  int wake_fd = -1;
  CommIOCallback callback = nullptr;
  comm::ChannelList<&CommChannel::all> channels;
  comm::ChannelList<&CommChannel::ready> ready;        // next turn
  comm::ChannelList<&CommChannel::ready> serving;      // this turn
  comm::ChannelList<&CommChannel::timer> handshaking;  // oldest first
  comm::ChannelList<&CommChannel::timer> resting;      // listeners out of descriptors
  epoll_event events[comm::kMaxEventsPerTurn];
  int event_count = 0;
  int event_index = 0;  // events before this one are done

  CommChannel *current = nullptr;  // the channel whose callback runs
  bool current_gone = false;       // it was removed from the group meanwhile
  uint64_t turn = 0;
  bool paused = false;
  bool stopping = false;
  bool in_loop = false;

  long loop_timeout_us = comm::kDefaultLoopTimeoutUs;
  long handshake_timeout_us = comm::kDefaultHandshakeTimeoutUs;
  CommLoopCallback wake_callback = nullptr;
  void *wake_arg = nullptr;
  CommLoopCallback tick_callback = nullptr;
  void *tick_arg = nullptr;
  long tick_interval_us = 0;
  int64_t next_tick_us = 0;
};

namespace comm {

template <Link CommChannel::*member>
bool ChannelList<member>::Contains(const CommChannel *channel) const {
  return (channel->*member).owner == this;
}

template <Link CommChannel::*member>
void ChannelList<member>::PushBack(CommChannel *channel) {
  Link &link = channel->*member;
  link.prev = tail_;
  link.next = nullptr;
  link.owner = this;
  if (tail_ != nullptr) {
    (tail_->*member).next = channel;
  } else {
    head_ = channel;
  }
  tail_ = channel;
}

template <Link CommChannel::*member>
void ChannelList<member>::Remove(CommChannel *channel) {
  Link &link = channel->*member;
  if (link.owner != this) return;
  if (link.prev != nullptr) {
    (link.prev->*member).next = link.next;
  } else {
    head_ = link.next;
  }
  if (link.next != nullptr) {
    (link.next->*member).prev = link.prev;
  } else {
    tail_ = link.prev;
  }
  link = Link{};
}

template <Link CommChannel::*member>
void ChannelList<member>::TakeAll(ChannelList &other) {
  while (!other.empty()) {
    CommChannel *channel = other.front();
    other.Remove(channel);
    PushBack(channel);
  }
}

}  // namespace comm

#endif  // LIBCOMM_COMM_P_H_

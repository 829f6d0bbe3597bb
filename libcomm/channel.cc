// Channels: listeners, accepted connections and client connections, and
// the reads that serve callers from the per-connection buffer.
//
// comm_read is the hot path: while the buffer holds bytes it is a bounds
// check and a memcpy. Only an empty buffer leads to the session, which
// fills the buffer with as much plaintext as it holds (one socket read by
// the session's read-ahead takes several TLS records at once).
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

#include "comm_p.h"

namespace comm {
namespace {

CommChannel *NewChannel(CommModule *module, ChannelKind kind, int fd) {
  auto *channel = new (std::nothrow) CommChannel;
  if (channel == nullptr) return nullptr;
  channel->kind = kind;
  channel->fd = fd;
  channel->module = module;
  ++module->references;
  return channel;
}

void DestroyChannel(CommChannel *channel) {
  DetachFromGroup(channel);
  channel->session.reset();
  CloseFd(channel->fd);
  ReleaseModule(channel->module);
  delete channel;
}

bool IsConnection(const CommChannel *channel) {
  return channel->kind != ChannelKind::kListener;
}

// Records a final result: every later read returns it, and the socket
// leaves the epoll set so that a dead or half-closed peer cannot spin the
// loop.
int SetTerminal(CommChannel *channel, int result) {
  channel->terminal = result;
  UpdateInterest(channel);
  return result;
}

// One step of a pending server handshake.
int ContinueHandshake(CommChannel *channel) {
  int rc = channel->session->Handshake();
  switch (rc) {
    case 0:
      HandshakeFinished(channel);
      channel->starved = false;  // the session may already hold records
      UpdateInterest(channel);
      return 0;
    case kWantReadHandshake:
      channel->starved = true;
      channel->handshake_wants_write = false;
      UpdateInterest(channel);
      return rc;
    case kWantWrite:
      channel->handshake_wants_write = true;
      UpdateInterest(channel);
      return rc;
    default:
      FailHandshake(channel, rc);
      return rc;
  }
}

// A session result other than data.
int ReadFailed(CommChannel *channel, int rc) {
  if (rc == kWantRead) {
    channel->starved = true;
    // An idle connection keeps no buffer: thousands of quiet clients would
    // otherwise hold 64 KiB each.
    if (channel->begin == channel->end) channel->buffer.reset();
    return rc;
  }
  if (rc == kWantWrite) return rc;
  return SetTerminal(channel, rc);
}

// How a refill may reach the session's bytes.
enum class Source {
  kSocket,        // what the session holds, then the socket
  kBufferedOnly,  // only what the session already holds
};

// Fills the empty buffer from the session: 0 when bytes arrived, else the
// result for the caller.
int Refill(CommChannel *channel, Source source) {
  if (channel->terminal != 0) return channel->terminal;
  if (channel->session == nullptr) return EBADF;
  if (channel->accept_pending) {
    if (source == Source::kBufferedOnly) return kWantRead;
    int rc = ContinueHandshake(channel);
    if (rc != 0) return rc == kWantReadHandshake ? kWantRead : rc;
  }
  if (channel->buffer == nullptr) {
    channel->buffer.reset(new (std::nothrow) char[kReadBufferSize]);
    if (channel->buffer == nullptr) return ENOMEM;
  }
  Session &session = *channel->session;
  auto read = [&session, source](char *buffer, int len, int *got) {
    return source == Source::kSocket ? session.Read(buffer, len, got)
                                     : session.ReadBuffered(buffer, len, got);
  };
  channel->begin = 0;
  channel->end = 0;
  int got = 0;
  int rc = read(channel->buffer.get(), kReadBufferSize, &got);
  if (rc != 0) return ReadFailed(channel, rc);
  channel->end = got;
  // Take whatever else the session already holds, while a whole record
  // fits; a failure here is reported once the bytes read are served.
  while (kReadBufferSize - channel->end >= kRecordPlaintextMax && session.HasPending()) {
    rc = read(channel->buffer.get() + channel->end, kReadBufferSize - channel->end, &got);
    if (rc != 0) {
      ReadFailed(channel, rc);
      break;
    }
    channel->end += got;
  }
  return 0;
}

// comm_read and comm_read_buffered: serves the caller from the buffer,
// refilling it from source when it is empty.
int ReadInto(CommChannel *channel, char *buffer, int *len, Source source) {
  if (channel == nullptr || buffer == nullptr || len == nullptr || *len < 0) return EINVAL;
  if (!IsConnection(channel)) return EINVAL;
  ++channel->progress;
  if (*len == 0) return 0;
  if (channel->begin == channel->end) {
    int rc = Refill(channel, source);
    if (rc != 0) {
      // The owner has now seen the end; the loop stops calling for it.
      if (channel->terminal != 0) channel->terminal_reported = true;
      *len = 0;
      return rc;
    }
  }
  int available = channel->end - channel->begin;
  int n = *len < available ? *len : available;
  std::memcpy(buffer, channel->buffer.get() + channel->begin, static_cast<size_t>(n));
  channel->begin += n;
  *len = n;
  return 0;
}

// Drives a client handshake to its end, waiting on the socket until
// deadline_us.
int ClientHandshake(CommChannel *channel, int64_t deadline_us) {
  for (;;) {
    int rc = channel->session->Handshake();
    if (rc == 0) return 0;
    if (rc != kWantReadHandshake && rc != kWantWrite) return rc;
    rc = WaitFor(channel->fd, rc == kWantWrite, deadline_us);
    if (rc != 0) return rc;
  }
}

}  // namespace

int FlushOutgoing(CommChannel *channel) {
  if (channel->send_failure != 0) return channel->send_failure;
  if (channel->session == nullptr) {
    channel->send_failure = EPIPE;
    channel->outgoing.clear();
    return EPIPE;
  }
  size_t done = 0;
  int rc = 0;
  while (done < channel->outgoing.size()) {
    int put = 0;
    size_t left = channel->outgoing.size() - done;
    int chunk = left > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(left);
    rc = channel->session->Write(channel->outgoing.data() + done, chunk, &put);
    if (rc != 0) break;
    done += static_cast<size_t>(put);
  }
  channel->outgoing.erase(0, done);
  if (rc != 0 && rc != kWantWrite && rc != kWantRead) {
    channel->send_failure = rc;
    channel->outgoing.clear();
    channel->outgoing.shrink_to_fit();
  }
  UpdateInterest(channel);
  return channel->outgoing.empty() ? (rc == kWantWrite || rc == kWantRead ? 0 : rc) : rc;
}

}  // namespace comm

using comm::ChannelKind;

extern "C" {

COMM_EXPORT int comm_bind(CommModule *module, CommChannel **listener, const char *address,
                          int port) {
  if (module == nullptr || listener == nullptr) return EINVAL;
  *listener = nullptr;
  if (!module->transport->CanServe()) return EINVAL;
  int fd = -1;
  int rc = comm::ListenOn(address, port, &fd);
  if (rc != 0) return rc;
  CommChannel *channel = comm::NewChannel(module, ChannelKind::kListener, fd);
  if (channel == nullptr) {
    comm::CloseFd(fd);
    return ENOMEM;
  }
  *listener = channel;
  return 0;
}

COMM_EXPORT int comm_get_port(CommChannel *channel, int *port) {
  if (channel == nullptr || port == nullptr || channel->fd < 0) return EINVAL;
  return comm::LocalPort(channel->fd, port);
}

COMM_EXPORT int comm_accept(CommChannel *listener, CommChannel **channel, int flags) {
  if (listener == nullptr || channel == nullptr || (flags & ~COMM_ACCEPT_DEFER_HANDSHAKE) != 0) {
    return EINVAL;
  }
  *channel = nullptr;
  if (listener->kind != ChannelKind::kListener) return EINVAL;
  int fd = -1;
  char peer[comm::kPeerAddressSize] = {};
  int rc = comm::AcceptOn(listener->fd, &fd, peer);
  if (rc == EMFILE || rc == ENFILE || rc == ENOBUFS || rc == ENOMEM) {
    // Level-triggered readiness would report the waiting connection again
    // at once; rest the listener instead of spinning.
    comm::SuspendAccept(listener);
    return rc;
  }
  if (rc != 0) return rc;
  CommChannel *accepted = comm::NewChannel(listener->module, ChannelKind::kServer, fd);
  if (accepted == nullptr) {
    comm::CloseFd(fd);
    return ENOMEM;
  }
  std::memcpy(accepted->peer, peer, sizeof peer);
  rc =
      listener->module->transport->NewSession(fd, comm::Role::kServer, nullptr, &accepted->session);
  if (rc == 0) {
    accepted->accept_pending = true;
    accepted->accepted_at_us = comm::NowUs();
    // Deferred, the owner may look at the peer and close the channel before
    // any TLS work is done for it; the loop reports it once bytes arrive.
    rc = (flags & COMM_ACCEPT_DEFER_HANDSHAKE) != 0 ? comm::kWantReadHandshake
                                                    : comm::ContinueHandshake(accepted);
  }
  if (rc == comm::kEndOfConnection || (rc != 0 && accepted->terminal == rc)) {
    // A peer that connected and left at once (a port probe, a health
    // check) is an accepted connection that has ended: its first read says
    // so, and the owner closes it like any other ended connection. A
    // handshake that failed at once (a peer that speaks no TLS) is reported
    // the same way, as it is when it fails later: by the first read, on a
    // channel that still names its peer.
    *channel = accepted;
    return 0;
  }
  if (rc != 0 && rc != comm::kWantReadHandshake && rc != comm::kWantWrite) {
    comm::DestroyChannel(accepted);
    return rc;
  }
  *channel = accepted;
  return rc;
}

COMM_EXPORT int comm_get_peer_address(CommChannel *channel, char *buffer, int size) {
  if (channel == nullptr || buffer == nullptr || size <= 0 || !comm::IsConnection(channel)) {
    return EINVAL;
  }
  size_t length = std::strlen(channel->peer);
  if (length == 0) return ENOENT;
  if (length >= static_cast<size_t>(size)) {
    buffer[0] = '\0';
    return ENOSPC;
  }
  std::memcpy(buffer, channel->peer, length + 1);
  return 0;
}

COMM_EXPORT int comm_accept_continue(CommChannel *channel) {
  if (channel == nullptr || !comm::IsConnection(channel)) return EINVAL;
  ++channel->progress;
  if (!channel->accept_pending) return channel->terminal;
  return comm::ContinueHandshake(channel);
}

COMM_EXPORT int comm_get_flags(CommChannel *channel, int *flags) {
  if (channel == nullptr || flags == nullptr) return EINVAL;
  int value = 0;
  if (channel->kind == ChannelKind::kListener) value |= COMM_FLAG_LISTENER;
  if (channel->kind == ChannelKind::kClient) value |= COMM_FLAG_CLIENT;
  if (channel->accept_pending) value |= COMM_FLAG_ACCEPT_PENDING;
  // Bytes the session holds count only while they may make a record: a
  // starved session waits for the socket to complete one.
  if (channel->begin < channel->end || (channel->session != nullptr && !channel->accept_pending &&
                                        !channel->starved && channel->session->HasPending())) {
    value |= COMM_FLAG_READ_BUFFERED;
  }
  if (!channel->outgoing.empty()) value |= COMM_FLAG_SEND_PENDING;
  *flags = value;
  return 0;
}

COMM_EXPORT int comm_get_protocol(CommChannel *channel, char *buffer, int size) {
  if (channel == nullptr || buffer == nullptr || size <= 0) return EINVAL;
  std::string_view id;
  if (comm::IsConnection(channel) && channel->session != nullptr && !channel->accept_pending) {
    id = channel->session->SelectedProtocol();
  }
  if (id.size() >= static_cast<size_t>(size)) return ENOSPC;
  // An empty view's data() may be null, which memcpy must never get.
  id.copy(buffer, id.size());
  buffer[id.size()] = '\0';
  return 0;
}

COMM_EXPORT int comm_read(CommChannel *channel, char *buffer, int *len) {
  return comm::ReadInto(channel, buffer, len, comm::Source::kSocket);
}

COMM_EXPORT int comm_read_buffered(CommChannel *channel, char *buffer, int *len) {
  return comm::ReadInto(channel, buffer, len, comm::Source::kBufferedOnly);
}

COMM_EXPORT int comm_send(CommChannel *channel, const char *buffer, int len) {
  if (channel == nullptr || buffer == nullptr || len < 0) return EINVAL;
  if (!comm::IsConnection(channel) || channel->accept_pending) return EINVAL;
  if (channel->send_failure != 0) return channel->send_failure;
  if (channel->session == nullptr || channel->shut_down) return EPIPE;
  try {
    channel->outgoing.append(buffer, static_cast<size_t>(len));
  } catch (const std::bad_alloc &) {
    return ENOMEM;
  }
  int rc = comm::FlushOutgoing(channel);
  return rc == comm::kWantWrite || rc == comm::kWantRead ? 0 : rc;
}

COMM_EXPORT int comm_flush(CommChannel *channel, int timeout_ms) {
  if (channel == nullptr || timeout_ms < 0 || !comm::IsConnection(channel)) return EINVAL;
  int64_t deadline = comm::NowUs() + 1000LL * timeout_ms;
  for (;;) {
    if (channel->outgoing.empty()) return channel->send_failure;
    int rc = comm::FlushOutgoing(channel);
    if (rc != comm::kWantWrite && rc != comm::kWantRead) return rc;
    if (comm::NowUs() >= deadline) return ETIMEDOUT;
    rc = comm::WaitFor(channel->fd, rc == comm::kWantWrite, deadline);
    if (rc != 0) return rc;
  }
}

COMM_EXPORT int comm_wait_received(CommChannel *channel, int timeout_ms) {
  if (channel == nullptr || timeout_ms < 0 || !comm::IsConnection(channel)) return EINVAL;
  int64_t deadline = comm::NowUs() + 1000LL * timeout_ms;
  if (int rc = comm_flush(channel, timeout_ms); rc != 0) return rc;
  // The kernel tells how much of what was written the peer has not
  // acknowledged yet; nothing signals when that reaches 0, so it is looked
  // at every few milliseconds.
  constexpr int64_t kLookEveryUs = 5000;
  for (;;) {
    int unacknowledged = 0;
    if (ioctl(channel->fd, SIOCOUTQ, &unacknowledged) != 0) return errno;
    if (unacknowledged == 0) return 0;
    int64_t left = deadline - comm::NowUs();
    if (left <= 0) return ETIMEDOUT;
    int64_t pause = left < kLookEveryUs ? left : kLookEveryUs;
    timespec nap = {0, static_cast<long>(pause * 1000)};
    nanosleep(&nap, nullptr);
  }
}

COMM_EXPORT int comm_set_ioneeds(CommChannel *channel, int needs) {
  if (channel == nullptr || (needs != COMM_NEED_DEFAULT && needs != COMM_NEED_WRITE)) {
    return EINVAL;
  }
  // A listener only ever waits for connections; a write need means nothing
  // there (the daemon sets it after an accept that waits for writability,
  // and that connection's own handshake carries the need).
  if (channel->kind == ChannelKind::kListener) return 0;
  channel->write_needed = needs == COMM_NEED_WRITE;
  return comm::UpdateInterest(channel);
}

COMM_EXPORT int comm_close(CommChannel **channel, int flags) {
  (void)flags;
  if (channel == nullptr || *channel == nullptr) return EINVAL;
  CommChannel *c = *channel;
  // A connection we end ourselves tells the peer so (best effort: never
  // blocks, and a peer that already left costs nothing but EPIPE).
  if (c->session != nullptr && !c->accept_pending && c->terminal == 0 && !c->shut_down) {
    c->session->Shutdown();
  }
  comm::DestroyChannel(c);
  *channel = nullptr;
  return 0;
}

COMM_EXPORT int comm_connect(CommModule *module, CommChannel **channel, const char *host, int port,
                             int timeout_ms) {
  if (module == nullptr || channel == nullptr || host == nullptr || timeout_ms < 0) return EINVAL;
  *channel = nullptr;
  int64_t deadline =
      comm::NowUs() + 1000LL * (timeout_ms > 0 ? timeout_ms : comm::kDefaultConnectTimeoutMs);
  int fd = -1;
  int rc = comm::ConnectTo(host, port, deadline, &fd);
  if (rc != 0) return rc;
  CommChannel *connected = comm::NewChannel(module, ChannelKind::kClient, fd);
  if (connected == nullptr) {
    comm::CloseFd(fd);
    return ENOMEM;
  }
  comm::PeerAddressOf(fd, connected->peer);
  rc = module->transport->NewSession(fd, comm::Role::kClient, host, &connected->session);
  if (rc == 0) rc = comm::ClientHandshake(connected, deadline);
  if (rc != 0) {
    comm::DestroyChannel(connected);
    return rc == comm::kEndOfConnection ? ECONNRESET : rc;
  }
  *channel = connected;
  return 0;
}

COMM_EXPORT int comm_write(CommChannel *channel, const char *buffer, int *len) {
  if (channel == nullptr || buffer == nullptr || len == nullptr || *len < 0) return EINVAL;
  if (!comm::IsConnection(channel) || channel->accept_pending) return EINVAL;
  if (channel->session == nullptr || channel->shut_down) return EPIPE;
  int total = *len;
  int done = 0;
  int rc = 0;
  while (done < total) {
    int put = 0;
    rc = channel->session->Write(buffer + done, total - done, &put);
    if (rc == 0) {
      done += put;
    } else if (rc == comm::kWantRead || rc == comm::kWantWrite) {
      rc = comm::WaitFor(channel->fd, rc == comm::kWantWrite, -1);
      if (rc != 0) break;
    } else {
      break;
    }
  }
  *len = done;
  return rc;
}

COMM_EXPORT int comm_shutdown(CommChannel *channel) {
  if (channel == nullptr || !comm::IsConnection(channel) || channel->accept_pending) return EINVAL;
  if (channel->shut_down) return 0;
  if (channel->session == nullptr) return EPIPE;
  int64_t deadline = comm::NowUs() + 1000LL * comm::kDefaultConnectTimeoutMs;
  int rc;
  while ((rc = channel->session->Shutdown()) == comm::kWantWrite) {
    rc = comm::WaitFor(channel->fd, true, deadline);
    if (rc != 0) break;
  }
  channel->shut_down = true;
  shutdown(channel->fd, SHUT_WR);
  return rc == comm::kWantRead ? 0 : rc;
}

}  // extern "C"

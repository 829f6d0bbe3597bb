// Non-blocking use of a client connection: one thread owns the channel,
// writes what the session takes without waiting, reads what has arrived,
// and sleeps in comm_client_wait until either can go on or another thread
// wakes it through its own descriptor.
#include <poll.h>

#include <cerrno>

#include "comm_p.h"

namespace comm {
namespace {

bool IsUsableClient(const CommChannel *channel) {
  return channel != nullptr && channel->kind == ChannelKind::kClient;
}

// True when a read would return at once: plaintext held by the layer or
// the session, or a final result to report.
bool ReadableWithoutSocket(CommChannel *channel) {
  if (channel->begin != channel->end || channel->terminal != 0) return true;
  return channel->session != nullptr && channel->session->HasPending();
}

}  // namespace
}  // namespace comm

extern "C" {

COMM_EXPORT int comm_client_write_some(CommChannel *channel, const char *buffer, int *len) {
  if (!comm::IsUsableClient(channel) || buffer == nullptr || len == nullptr || *len <= 0) {
    return EINVAL;
  }
  if (channel->session == nullptr || channel->shut_down) return EPIPE;
  int put = 0;
  int rc = channel->session->Write(buffer, *len, &put);
  *len = rc == 0 ? put : 0;
  return rc;
}

COMM_EXPORT int comm_client_wait(CommChannel *channel, int events, int wake_fd, int timeout_ms,
                                 int *ready) {
  if (!comm::IsUsableClient(channel) || ready == nullptr ||
      (events & ~(COMM_IO_READ | COMM_IO_WRITE)) != 0 || timeout_ms < -1) {
    return EINVAL;
  }
  *ready = 0;
  if ((events & COMM_IO_READ) != 0 && comm::ReadableWithoutSocket(channel)) {
    *ready = COMM_IO_READ;
    return 0;
  }
  pollfd fds[2] = {};
  fds[0].fd = channel->fd;
  fds[0].events = static_cast<short>(((events & COMM_IO_READ) != 0 ? POLLIN : 0) |
                                     ((events & COMM_IO_WRITE) != 0 ? POLLOUT : 0));
  fds[1].fd = wake_fd;
  fds[1].events = POLLIN;
  nfds_t count = wake_fd >= 0 ? 2 : 1;
  int64_t deadline = timeout_ms < 0 ? -1 : comm::NowUs() + 1000LL * timeout_ms;
  for (;;) {
    int wait_ms = -1;
    if (deadline >= 0) {
      int64_t left = deadline - comm::NowUs();
      wait_ms = left <= 0 ? 0 : static_cast<int>((left + 999) / 1000);
    }
    int n = poll(fds, count, wait_ms);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ETIMEDOUT;
    break;
  }
  // An error or hang-up on the socket is reported as readiness for what was
  // asked: the next read or write returns the failure itself.
  short broken = POLLERR | POLLHUP | POLLNVAL;
  if ((fds[0].revents & (POLLIN | broken)) != 0 && (events & COMM_IO_READ) != 0) {
    *ready |= COMM_IO_READ;
  }
  if ((fds[0].revents & (POLLOUT | broken)) != 0 && (events & COMM_IO_WRITE) != 0) {
    *ready |= COMM_IO_WRITE;
  }
  if (count == 2 && fds[1].revents != 0) *ready |= COMM_IO_WAKE;
  return 0;
}

}  // extern "C"

// Socket helpers: listening, accepting and connecting with non-blocking,
// close-on-exec descriptors, keep-alive on every connection, and EINTR
// retried everywhere.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "comm_p.h"

namespace comm {
namespace {

// Dead peers of silent connections are found by TCP keep-alive: probes
// after two minutes of silence, every 30 s, four unanswered probes end it.
constexpr int kKeepAliveIdleS = 120;
constexpr int kKeepAliveIntervalS = 30;
constexpr int kKeepAliveProbes = 4;

void SetIntOption(int fd, int level, int name, int value) {
  // Failures only lose a tuning; the connection works without it.
  (void)setsockopt(fd, level, name, &value, sizeof value);
}

void TuneConnection(int fd) {
  SetIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
  SetIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepAliveIdleS);
  SetIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepAliveIntervalS);
  SetIntOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes);
  SetIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
}

// Owns an addrinfo list.
struct AddressList {
  addrinfo *head = nullptr;
  ~AddressList() {
    if (head != nullptr) freeaddrinfo(head);
  }
};

// An IPv4 peer of the dual-stack listener arrives as ::ffff:a.b.c.d; it is
// named by its IPv4 address, as the peer knows itself.
void DescribeAddress(const sockaddr_storage &address, char (&text)[kPeerAddressSize]) {
  text[0] = '\0';
  if (address.ss_family == AF_INET) {
    const auto &v4 = reinterpret_cast<const sockaddr_in &>(address);
    inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
  } else if (address.ss_family == AF_INET6) {
    const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(address);
    if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
      inet_ntop(AF_INET, &v6.sin6_addr.s6_addr[12], text, sizeof text);
    } else {
      inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    }
  }
}

int ResolveError(int gai) {
  switch (gai) {
    case EAI_MEMORY:
      return ENOMEM;
    case EAI_SYSTEM:
      return errno != 0 ? errno : EIO;
    case EAI_AGAIN:
      return EAGAIN;
    default:
      return EHOSTUNREACH;
  }
}

int Resolve(const char *host, int port, bool passive, AddressList *list) {
  char service[16];
  std::snprintf(service, sizeof service, "%d", port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | (passive ? AI_PASSIVE | AI_NUMERICHOST : AI_ADDRCONFIG);
  int gai = getaddrinfo(host, service, &hints, &list->head);
  return gai == 0 ? 0 : ResolveError(gai);
}

// A bound, listening socket for one address, or an errno number.
int ListenOnAddress(const sockaddr *address, socklen_t length, int *fd) {
  int s = socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0) return errno;
  SetIntOption(s, SOL_SOCKET, SO_REUSEADDR, 1);
  // An IPv6 wildcard listener takes IPv4 connections as well.
  if (address->sa_family == AF_INET6) SetIntOption(s, IPPROTO_IPV6, IPV6_V6ONLY, 0);
  if (bind(s, address, length) != 0 || listen(s, SOMAXCONN) != 0) {
    int error = errno;
    CloseFd(s);
    return error;
  }
  *fd = s;
  return 0;
}

int ListenOnAny(int port, int *fd) {
  sockaddr_in6 any6{};
  any6.sin6_family = AF_INET6;
  any6.sin6_addr = in6addr_any;
  any6.sin6_port = htons(static_cast<uint16_t>(port));
  int rc = ListenOnAddress(reinterpret_cast<sockaddr *>(&any6), sizeof any6, fd);
  if (rc != EAFNOSUPPORT && rc != EADDRNOTAVAIL && rc != EPROTONOSUPPORT) return rc;
  // No IPv6 on this host: IPv4 only.
  sockaddr_in any4{};
  any4.sin_family = AF_INET;
  any4.sin_addr.s_addr = htonl(INADDR_ANY);
  any4.sin_port = htons(static_cast<uint16_t>(port));
  return ListenOnAddress(reinterpret_cast<sockaddr *>(&any4), sizeof any4, fd);
}

// Starts a non-blocking connect and waits for it until deadline_us.
int ConnectOne(const addrinfo *address, int64_t deadline_us, int *fd) {
  int s = socket(address->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0) return errno;
  int rc = 0;
  if (connect(s, address->ai_addr, address->ai_addrlen) != 0) {
    rc = errno;
    if (rc == EINPROGRESS || rc == EINTR) {
      rc = WaitFor(s, true, deadline_us);
      if (rc == 0) {
        socklen_t length = sizeof rc;
        if (getsockopt(s, SOL_SOCKET, SO_ERROR, &rc, &length) != 0) rc = errno;
      }
    }
  }
  if (rc != 0) {
    CloseFd(s);
    return rc;
  }
  TuneConnection(s);
  *fd = s;
  return 0;
}

}  // namespace

int64_t NowUs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void CloseFd(int fd) {
  if (fd >= 0) close(fd);
}

int ListenOn(const char *address, int port, int *fd) {
  if (port < 0 || port > 65535) return EINVAL;
  if (address == nullptr) return ListenOnAny(port, fd);
  AddressList list;
  int rc = Resolve(address, port, true, &list);
  if (rc != 0) return rc == EHOSTUNREACH ? EINVAL : rc;
  rc = EADDRNOTAVAIL;
  for (const addrinfo *a = list.head; a != nullptr; a = a->ai_next) {
    rc = ListenOnAddress(a->ai_addr, a->ai_addrlen, fd);
    if (rc == 0) return 0;
  }
  return rc;
}

int AcceptOn(int listen_fd, int *fd, char (&peer)[kPeerAddressSize]) {
  int s;
  sockaddr_storage address{};
  do {
    socklen_t length = sizeof address;
    s = accept4(listen_fd, reinterpret_cast<sockaddr *>(&address), &length,
                SOCK_NONBLOCK | SOCK_CLOEXEC);
  } while (s < 0 && errno == EINTR);
  if (s < 0) {
    int error = errno;
    // A connection that went away before it was taken is nothing to report.
    if (error == EWOULDBLOCK || error == ECONNABORTED || error == EPROTO) return EAGAIN;
    return error;
  }
  TuneConnection(s);
  DescribeAddress(address, peer);
  *fd = s;
  return 0;
}

void PeerAddressOf(int fd, char (&peer)[kPeerAddressSize]) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getpeername(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
    peer[0] = '\0';
    return;
  }
  DescribeAddress(address, peer);
}

int ConnectTo(const char *host, int port, int64_t deadline_us, int *fd) {
  if (host == nullptr || port <= 0 || port > 65535) return EINVAL;
  AddressList list;
  int rc = Resolve(host, port, false, &list);
  if (rc != 0) return rc;
  rc = EHOSTUNREACH;
  for (const addrinfo *a = list.head; a != nullptr; a = a->ai_next) {
    rc = ConnectOne(a, deadline_us, fd);
    if (rc == 0 || rc == ETIMEDOUT) return rc;
  }
  return rc;
}

int WaitFor(int fd, bool want_write, int64_t deadline_us) {
  pollfd p{fd, static_cast<short>(want_write ? POLLOUT : POLLIN), 0};
  for (;;) {
    int timeout_ms = -1;
    if (deadline_us >= 0) {
      int64_t left = deadline_us - NowUs();
      if (left <= 0) return ETIMEDOUT;
      timeout_ms = static_cast<int>((left + 999) / 1000);
    }
    int n = poll(&p, 1, timeout_ms);
    if (n > 0) return 0;  // readiness or an error the next call will report
    if (n < 0 && errno != EINTR) return errno;
  }
}

int LocalPort(int fd, int *port) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) return errno;
  if (address.ss_family == AF_INET6) {
    *port = ntohs(reinterpret_cast<sockaddr_in6 *>(&address)->sin6_port);
  } else if (address.ss_family == AF_INET) {
    *port = ntohs(reinterpret_cast<sockaddr_in *>(&address)->sin_port);
  } else {
    return EAFNOSUPPORT;
  }
  return 0;
}

}  // namespace comm

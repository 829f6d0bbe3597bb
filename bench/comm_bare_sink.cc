// The reference receiver for the comm benchmark (see comm_bare_sink.h).
#include "comm_bare_sink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

BareSink::BareSink(const std::string &cert, const std::string &key, int64_t expected_bytes)
    : expected_(expected_bytes) {
  ctx_ = SSL_CTX_new(TLS_server_method());
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  // Same reason as in the transport: a client that never reads tickets
  // would reset the connection on close.
  SSL_CTX_set_num_tickets(ctx_, 0);
  if (SSL_CTX_use_certificate_file(ctx_, cert.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx_, key.c_str(), SSL_FILETYPE_PEM) != 1) {
    std::abort();
  }
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
      listen(listen_fd_, 4) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
    std::abort();
  }
  port_ = ntohs(address.sin_port);
}

BareSink::~BareSink() {
  close(listen_fd_);
  SSL_CTX_free(ctx_);
}

int64_t BareSink::Run() {
  int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return 0;
  SSL *ssl = SSL_new(ctx_);
  SSL_set_fd(ssl, fd);
  int64_t received = 0;
  if (SSL_accept(ssl) == 1) {
    std::vector<char> buffer(64 * 1024);
    while (received < expected_) {
      int n = SSL_read(ssl, buffer.data(), static_cast<int>(buffer.size()));
      if (n <= 0) break;
      received += n;
    }
  }
  SSL_free(ssl);
  close(fd);
  return received;
}

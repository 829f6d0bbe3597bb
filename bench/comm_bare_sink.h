// The reference receiver for the comm benchmark: plain blocking OpenSSL,
// one connection, SSL_read of 64 KiB chunks into a byte counter.
#ifndef BENCH_COMM_BARE_SINK_H_
#define BENCH_COMM_BARE_SINK_H_

#include <openssl/ssl.h>

#include <cstdint>
#include <string>

class BareSink {
 public:
  // Listens on 127.0.0.1 (an ephemeral port) with the given identity.
  BareSink(const std::string &cert, const std::string &key, int64_t expected_bytes);
  ~BareSink();
  BareSink(const BareSink &) = delete;
  BareSink &operator=(const BareSink &) = delete;

  int port() const { return port_; }
  // Accepts one connection and reads until expected_bytes or its end;
  // returns the bytes received.
  int64_t Run();

 private:
  SSL_CTX *ctx_ = nullptr;
  int listen_fd_ = -1;
  int port_ = 0;
  int64_t expected_;
};

#endif  // BENCH_COMM_BARE_SINK_H_

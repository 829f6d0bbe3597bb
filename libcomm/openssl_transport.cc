// The "comm_openssl" transport: TLS through OpenSSL over non-blocking
// sockets.
//
// Sessions talk to their socket through a small BIO of our own that sends
// with MSG_NOSIGNAL (a vanished peer gives EPIPE, never SIGPIPE) and retries
// EINTR. The error queue is cleared before every TLS call and drained after
// every failure, so one connection's errors never surface on another.
//
// After the handshake the server sends only what its owner gives comm_send
// (the daemon answers only clients that asked for acknowledgements, and
// those read). Session tickets are off (a client that never reads them would,
// on closing, make its kernel reset the connection and throw away records
// the server has not read yet), and so are renegotiation and compression.
//
// Cipher order follows the CPU: ChaCha20-Poly1305 first where AES-GCM would
// run in software, AES-GCM first where the CPU has AES instructions; TLS 1.2
// keeps to forward-secret AEAD suites unless the caller names its own list.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>
#include <vector>

#include "comm_p.h"

namespace comm {
namespace {

// Read-ahead buffer of OpenSSL's record layer: one socket read takes up to
// this many bytes, several TLS records at once.
constexpr size_t kTlsReadBufferLen = 64 * 1024;

// ---- the socket BIO ----

int FdOf(BIO *bio) {
  return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
}

// BIO data while a session may use only what it already holds: every read
// and write finds the socket busy, so OpenSSL keeps a partial record as it is.
void *const kSocketWithheld = reinterpret_cast<void *>(intptr_t{-1});

int BioWrite(BIO *bio, const char *data, int len) {
  BIO_clear_retry_flags(bio);
  if (BIO_get_data(bio) == kSocketWithheld) {
    BIO_set_retry_write(bio);
    return -1;
  }
  ssize_t n;
  do {
    n = send(FdOf(bio), data, static_cast<size_t>(len), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_write(bio);
  return static_cast<int>(n);
}

int BioRead(BIO *bio, char *data, int len) {
  BIO_clear_retry_flags(bio);
  if (BIO_get_data(bio) == kSocketWithheld) {
    BIO_set_retry_read(bio);
    return -1;
  }
  ssize_t n;
  do {
    n = read(FdOf(bio), data, static_cast<size_t>(len));
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_read(bio);
  return static_cast<int>(n);
}

int BioPuts(BIO *bio, const char *text) {
  return BioWrite(bio, text, static_cast<int>(strlen(text)));
}

long BioCtrl(BIO *, int command, long, void *) {
  // Writes go straight to the socket, so there is never anything to flush.
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int BioCreate(BIO *bio) {
  BIO_set_init(bio, 1);
  return 1;
}

int BioDestroy(BIO *) {
  return 1;
}  // the socket belongs to the channel

BIO_METHOD *SocketBioMethod() {
  static BIO_METHOD *method = nullptr;
  static std::once_flag once;
  std::call_once(once, [] {
    BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "comm socket");
    if (m == nullptr) return;
    if (BIO_meth_set_write(m, BioWrite) != 1 || BIO_meth_set_read(m, BioRead) != 1 ||
        BIO_meth_set_puts(m, BioPuts) != 1 || BIO_meth_set_ctrl(m, BioCtrl) != 1 ||
        BIO_meth_set_create(m, BioCreate) != 1 || BIO_meth_set_destroy(m, BioDestroy) != 1) {
      BIO_meth_free(m);
      return;
    }
    method = m;
  });
  return method;
}

// ---- errors ----

// Empties this thread's error queue and returns its first entry (0 if none).
unsigned long DrainErrors() {
  unsigned long first = ERR_get_error();
  while (ERR_get_error() != 0) {
  }
  return first;
}

// Maps the outcome of a failed TLS call to a result code.
int FailureResult(SSL *ssl, int ret, bool handshaking) {
  int saved_errno = errno;
  int error = SSL_get_error(ssl, ret);
  unsigned long queued = DrainErrors();
  switch (error) {
    case SSL_ERROR_WANT_READ:
      return handshaking ? kWantReadHandshake : kWantRead;
    case SSL_ERROR_WANT_WRITE:
      return kWantWrite;
    case SSL_ERROR_ZERO_RETURN:
      return kEndOfConnection;
    case SSL_ERROR_SYSCALL:
      if (queued == 0 && (saved_errno == 0 || ret == 0)) return kEndOfConnection;
      return saved_errno != 0 ? saved_errno : EIO;
    case SSL_ERROR_SSL:
      if (queued != 0 && ERR_GET_LIB(queued) == ERR_LIB_SSL &&
          ERR_GET_REASON(queued) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        return kEndOfConnection;
      }
      return EPROTO;
    default:
      return EPROTO;
  }
}

// ---- sessions ----

class OpensslSession final : public Session {
 public:
  explicit OpensslSession(SSL *ssl) : ssl_(ssl) {}
  ~OpensslSession() override {
    SSL_free(ssl_);
    DrainErrors();
  }
  OpensslSession(const OpensslSession &) = delete;
  OpensslSession &operator=(const OpensslSession &) = delete;

  int Handshake() override {
    ERR_clear_error();
    int ret = SSL_do_handshake(ssl_);
    return ret == 1 ? 0 : FailureResult(ssl_, ret, true);
  }

  int Read(char *buffer, int len, int *got) override {
    ERR_clear_error();
    errno = 0;
    int ret = SSL_read(ssl_, buffer, len);
    if (ret > 0) {
      *got = ret;
      return 0;
    }
    *got = 0;
    return FailureResult(ssl_, ret, false);
  }

  int Write(const char *buffer, int len, int *put) override {
    ERR_clear_error();
    errno = 0;
    int ret = SSL_write(ssl_, buffer, len);
    if (ret > 0) {
      *put = ret;
      return 0;
    }
    *put = 0;
    return FailureResult(ssl_, ret, false);
  }

  int ReadBuffered(char *buffer, int len, int *got) override {
    BIO *bio = SSL_get_rbio(ssl_);
    void *socket = BIO_get_data(bio);
    BIO_set_data(bio, kSocketWithheld);
    int rc = Read(buffer, len, got);
    BIO_set_data(bio, socket);
    // A session that wanted to write (a reply of its own) has nothing to
    // hand out either.
    return rc == kWantWrite ? kWantRead : rc;
  }

  bool HasPending() override { return SSL_has_pending(ssl_) != 0; }

  std::string_view SelectedProtocol() const override {
    const unsigned char *id = nullptr;
    unsigned int len = 0;
    SSL_get0_alpn_selected(ssl_, &id, &len);
    if (id == nullptr) return {};
    return {reinterpret_cast<const char *>(id), len};
  }

  int Shutdown() override {
    ERR_clear_error();
    errno = 0;
    int ret = SSL_shutdown(ssl_);
    return ret >= 0 ? 0 : FailureResult(ssl_, ret, false);
  }

 private:
  SSL *ssl_;
};

// ---- cipher preference ----

// TLS 1.2: forward secrecy (ECDHE) and AEAD ciphers only, each ECDSA suite
// beside its RSA twin (a server uses those its certificate fits). TLS 1.3:
// its three suites. Two orders of the same suites, by what the CPU decrypts
// fastest: AES-GCM with AES instructions, ChaCha20-Poly1305 without, where
// it costs a fraction of AES-GCM in software.
constexpr const char *kTls12AesGcmFirst =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
constexpr const char *kTls12ChachaFirst =
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384";
constexpr const char *kTls13AesGcmFirst =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";
constexpr const char *kTls13ChachaFirst =
    "TLS_CHACHA20_POLY1305_SHA256:TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384";

// Sets both lists, the configured ones (null: none) before the defaults,
// and makes a server pick by its own order. A list OpenSSL rejects (it
// names no cipher OpenSSL knows) gives EINVAL and a message saying which.
int SetCipherPreference(SSL_CTX *ctx, const char *configured_list, const char *configured_suites) {
  bool aes = CpuHasAesGcmInstructions();
  const char *list = configured_list;
  if (list == nullptr) list = aes ? kTls12AesGcmFirst : kTls12ChachaFirst;
  const char *suites = configured_suites;
  if (suites == nullptr) suites = aes ? kTls13AesGcmFirst : kTls13ChachaFirst;
  ERR_clear_error();
  if (SSL_CTX_set_ciphersuites(ctx, suites) != 1) {
    DrainErrors();
    SetPluginMessage("TLS 1.3 cipher suites refused by OpenSSL: %s", suites);
    return EINVAL;
  }
  if (SSL_CTX_set_cipher_list(ctx, list) != 1) {
    DrainErrors();
    SetPluginMessage("TLS 1.2 cipher list refused by OpenSSL: %s", list);
    return EINVAL;
  }
  SSL_CTX_set_options(ctx, SSL_OP_CIPHER_SERVER_PREFERENCE);
  const char *preferred = aes ? "AES-GCM first" : "ChaCha20-Poly1305 first";
  SetPluginMessage("TLS 1.3 %s, TLS 1.2 %s (%s)",
                   configured_suites != nullptr ? "suites as configured" : preferred,
                   configured_list != nullptr ? "ciphers as configured" : preferred,
                   aes ? "AES instructions found" : "no AES instructions found");
  return 0;
}

// ---- application protocols (ALPN) ----

// Turns "a,b" into the wire form: each id prefixed by its length. EINVAL for
// an empty id or one longer than 255 bytes.
int AlpnWireList(const char *list, std::vector<unsigned char> *wire) {
  wire->clear();
  std::string_view rest(list);
  while (true) {
    size_t comma = rest.find(',');
    std::string_view id = rest.substr(0, comma);
    if (id.empty() || id.size() > 255) return EINVAL;
    wire->push_back(static_cast<unsigned char>(id.size()));
    wire->insert(wire->end(), id.begin(), id.end());
    if (comma == std::string_view::npos) return 0;
    rest.remove_prefix(comma + 1);
  }
}

// Server side: the first id of our list that the client offers. A client
// whose offer holds none of ours goes on without a protocol, as one that
// offered none.
int SelectAlpn(SSL *, const unsigned char **out, unsigned char *outlen, const unsigned char *in,
               unsigned int inlen, void *arg) {
  const auto *ours = static_cast<const std::vector<unsigned char> *>(arg);
  unsigned char *selected = nullptr;
  int found = SSL_select_next_proto(&selected, outlen, ours->data(),
                                    static_cast<unsigned int>(ours->size()), in, inlen);
  if (found != OPENSSL_NPN_NEGOTIATED) return SSL_TLSEXT_ERR_NOACK;
  *out = selected;
  return SSL_TLSEXT_ERR_OK;
}

// ---- the transport ----

struct CtxDeleter {
  void operator()(SSL_CTX *ctx) const { SSL_CTX_free(ctx); }
};

// Value of an option: 0 and *value (null when absent); EINVAL when the
// option is present without a value.
int OptionValue(Attribute *options, const char *name, const char **value) {
  Attribute *node = attribute_find(options, const_cast<char *>(name));
  *value = node != nullptr ? node->value : nullptr;
  if (node != nullptr && (node->value == nullptr || node->value[0] == '\0')) return EINVAL;
  return 0;
}

// 0 when path names a readable file, else its errno; OpenSSL's own messages
// would not tell a missing file from a malformed one.
int CheckReadable(const char *path) {
  FILE *file = std::fopen(path, "re");
  if (file == nullptr) return errno != 0 ? errno : EIO;
  std::fclose(file);
  return 0;
}

class OpensslTransport final : public Transport {
 public:
  bool CanServe() const override { return can_serve_; }

  int Configure(Attribute *options);

  int NewSession(int fd, Role role, const char *host, std::unique_ptr<Session> *out) override;

 private:
  int LoadIdentity(const char *certificate, const char *key);
  int LoadAuthority(const char *ca_file);
  int SetProtocols(const char *list);

  std::unique_ptr<SSL_CTX, CtxDeleter> ctx_;
  bool can_serve_ = false;
  bool require_client_certificate_ = false;
  bool verify_server_ = true;
  // ALPN ids in wire form: offered by a client, selected from by a server.
  std::vector<unsigned char> protocols_;
};

int OpensslTransport::Configure(Attribute *options) {
  const char *certificate, *key, *ca_file, *verify, *cipher_list, *cipher_suites, *protocols;
  if (OptionValue(options, "SSLCertificateFile", &certificate) != 0 ||
      OptionValue(options, "SSLPrivateKeyFile", &key) != 0 ||
      OptionValue(options, "SSLCACertificateFile", &ca_file) != 0 ||
      OptionValue(options, "SSLVerifyPeer", &verify) != 0 ||
      OptionValue(options, "SSLCiphers", &cipher_list) != 0 ||
      OptionValue(options, "SSLCipherSuites", &cipher_suites) != 0 ||
      OptionValue(options, "ALPNProtocols", &protocols) != 0) {
    return EINVAL;
  }
  // Either both or neither: a certificate without its key cannot serve.
  if ((certificate == nullptr) != (key == nullptr)) return EINVAL;

  ERR_clear_error();
  ctx_.reset(SSL_CTX_new(TLS_method()));
  if (ctx_ == nullptr) {
    DrainErrors();
    return ENOMEM;
  }
  SSL_CTX *ctx = ctx_.get();
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_num_tickets(ctx, 0) != 1) {
    DrainErrors();
    return EPROTO;
  }
  SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION |
                               SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  // Idle sessions give their record buffers back.
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                            SSL_MODE_RELEASE_BUFFERS);
  SSL_CTX_set_read_ahead(ctx, 1);
  SSL_CTX_set_default_read_buffer_len(ctx, kTlsReadBufferLen);

  if (certificate != nullptr) {
    int rc = LoadIdentity(certificate, key);
    if (rc != 0) return rc;
  }
  if (ca_file != nullptr) {
    int rc = LoadAuthority(ca_file);
    if (rc != 0) return rc;
  } else if (SSL_CTX_set_default_verify_paths(ctx) != 1) {
    DrainErrors();  // no system store: clients must name a CA or skip checks
  }
  verify_server_ = verify == nullptr || std::strcmp(verify, "0") != 0;
  if (protocols != nullptr) {
    int rc = SetProtocols(protocols);
    if (rc != 0) return rc;
  }
  // Last, so that its message is the one a successful load leaves.
  return SetCipherPreference(ctx, cipher_list, cipher_suites);
}

int OpensslTransport::LoadIdentity(const char *certificate, const char *key) {
  int rc = CheckReadable(certificate);
  if (rc == 0) rc = CheckReadable(key);
  if (rc != 0) return rc;
  SSL_CTX *ctx = ctx_.get();
  ERR_clear_error();
  if (SSL_CTX_use_certificate_chain_file(ctx, certificate) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx, key, SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(ctx) != 1) {
    DrainErrors();
    return EINVAL;
  }
  can_serve_ = true;
  return 0;
}

int OpensslTransport::LoadAuthority(const char *ca_file) {
  int rc = CheckReadable(ca_file);
  if (rc != 0) return rc;
  SSL_CTX *ctx = ctx_.get();
  ERR_clear_error();
  if (SSL_CTX_load_verify_locations(ctx, ca_file, nullptr) != 1) {
    DrainErrors();
    return EINVAL;
  }
  // Tell clients which authority their certificate must come from.
  STACK_OF(X509_NAME) *names = SSL_load_client_CA_file(ca_file);
  if (names == nullptr) {
    DrainErrors();
    return EINVAL;
  }
  SSL_CTX_set_client_CA_list(ctx, names);
  require_client_certificate_ = true;
  return 0;
}

int OpensslTransport::SetProtocols(const char *list) {
  if (AlpnWireList(list, &protocols_) != 0) {
    SetPluginMessage("ALPN protocol list refused: %s", list);
    return EINVAL;
  }
  SSL_CTX *ctx = ctx_.get();
  // A client offers the list with each session (SSL_set_alpn_protos); a
  // server selects from it.
  SSL_CTX_set_alpn_select_cb(ctx, SelectAlpn, &protocols_);
  return 0;
}

// Sets what a client checks of the server: its chain and its name or
// address.
int SetServerIdentityCheck(SSL *ssl, const char *host) {
  SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
  if (host == nullptr) return 0;
  unsigned char address[16];
  bool numeric = inet_pton(AF_INET, host, address) == 1 || inet_pton(AF_INET6, host, address) == 1;
  if (numeric) {
    return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host) == 1 ? 0 : EINVAL;
  }
  // SSL_set_tlsext_host_name, spelled out: the macro casts old-style.
  if (SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
               const_cast<char *>(host)) != 1 ||
      SSL_set1_host(ssl, host) != 1) {
    return EINVAL;
  }
  return 0;
}

int OpensslTransport::NewSession(int fd, Role role, const char *host,
                                 std::unique_ptr<Session> *out) {
  BIO_METHOD *method = SocketBioMethod();
  if (method == nullptr) return ENOMEM;
  ERR_clear_error();
  SSL *ssl = SSL_new(ctx_.get());
  if (ssl == nullptr) {
    DrainErrors();
    return ENOMEM;
  }
  auto *session = new (std::nothrow) OpensslSession(ssl);
  if (session == nullptr) {
    SSL_free(ssl);
    return ENOMEM;
  }
  std::unique_ptr<Session> owned(session);
  BIO *bio = BIO_new(method);
  if (bio == nullptr) {
    DrainErrors();
    return ENOMEM;
  }
  BIO_set_data(bio, reinterpret_cast<void *>(static_cast<intptr_t>(fd)));
  SSL_set_bio(ssl, bio, bio);  // the SSL owns the BIO from here on
  if (role == Role::kServer) {
    SSL_set_accept_state(ssl);
    if (require_client_certificate_) {
      SSL_set_verify(ssl, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
  } else {
    SSL_set_connect_state(ssl);
    // SSL_set_alpn_protos returns 0 on success.
    if (!protocols_.empty() &&
        SSL_set_alpn_protos(ssl, protocols_.data(), static_cast<unsigned int>(protocols_.size())) !=
            0) {
      DrainErrors();
      return ENOMEM;
    }
    if (verify_server_ && SetServerIdentityCheck(ssl, host) != 0) {
      DrainErrors();
      return EINVAL;
    }
  }
  *out = std::move(owned);
  return 0;
}

}  // namespace

int CreateOpensslTransport(Attribute *options, std::unique_ptr<Transport> *out) {
  auto *transport = new (std::nothrow) OpensslTransport;
  if (transport == nullptr) return ENOMEM;
  std::unique_ptr<Transport> owned(transport);
  int rc = transport->Configure(options);
  if (rc != 0) return rc;
  *out = std::move(owned);
  return 0;
}

}  // namespace comm

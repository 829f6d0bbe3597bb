// Loading the comm_openssl transport: certificates and keys that cannot
// serve are refused at load time, never later; listeners.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "comm/comm_harness.h"

namespace {

using commtest::Certs;
using commtest::Options;

int Load(Options &options) {
  CommModule *module = reinterpret_cast<CommModule *>(&options);  // must be reset
  int rc = comm_plugin_load(&module, "comm_openssl", options.get());
  if (rc != 0) {
    EXPECT_EQ(module, nullptr);
  } else {
    EXPECT_EQ(comm_plugin_unload(&module), 0);
  }
  return rc;
}

TEST(CommPlugin, MatchingCertificateAndKeyLoad) {
  Options options;
  options.Add("SSLCertificateFile", Certs().server).Add("SSLPrivateKeyFile", Certs().server_key);
  EXPECT_EQ(Load(options), 0);
  Options with_ca;
  with_ca.Add("SSLCertificateFile", Certs().server)
      .Add("SSLPrivateKeyFile", Certs().server_key)
      .Add("SSLCACertificateFile", Certs().ca);
  EXPECT_EQ(Load(with_ca), 0);
}

TEST(CommPlugin, UnknownNameFails) {
  Options options;
  CommModule *module = nullptr;
  EXPECT_EQ(comm_plugin_load(&module, "comm_plain", options.get()), ENOENT);
  EXPECT_EQ(comm_plugin_load(&module, "comm_openssl.so", options.get()), ENOENT);
  EXPECT_EQ(comm_plugin_load(&module, nullptr, options.get()), EINVAL);
  EXPECT_EQ(comm_plugin_load(nullptr, "comm_openssl", options.get()), EINVAL);
  EXPECT_EQ(module, nullptr);
  EXPECT_EQ(comm_plugin_unload(&module), EINVAL);
  EXPECT_EQ(comm_plugin_unload(nullptr), EINVAL);
}

TEST(CommPlugin, KeyThatDoesNotMatchTheCertificateIsRefused) {
  Options options;
  options.Add("SSLCertificateFile", Certs().server).Add("SSLPrivateKeyFile", Certs().other_key);
  EXPECT_EQ(Load(options), EINVAL);
}

TEST(CommPlugin, MissingOrMalformedFilesAreRefused) {
  const std::string missing = Certs().dir + "/missing.pem";
  {
    Options o;
    o.Add("SSLCertificateFile", missing).Add("SSLPrivateKeyFile", Certs().server_key);
    EXPECT_EQ(Load(o), ENOENT);
  }
  {
    Options o;
    o.Add("SSLCertificateFile", Certs().server).Add("SSLPrivateKeyFile", missing);
    EXPECT_EQ(Load(o), ENOENT);
  }
  {
    Options o;
    o.Add("SSLCertificateFile", Certs().garbage).Add("SSLPrivateKeyFile", Certs().server_key);
    EXPECT_EQ(Load(o), EINVAL);
  }
  {
    Options o;
    o.Add("SSLCertificateFile", Certs().server).Add("SSLPrivateKeyFile", Certs().garbage);
    EXPECT_EQ(Load(o), EINVAL);
  }
  {
    // A key where the certificate belongs.
    Options o;
    o.Add("SSLCertificateFile", Certs().server_key).Add("SSLPrivateKeyFile", Certs().server_key);
    EXPECT_EQ(Load(o), EINVAL);
  }
  {
    Options o;
    o.Add("SSLCertificateFile", Certs().server)
        .Add("SSLPrivateKeyFile", Certs().server_key)
        .Add("SSLCACertificateFile", missing);
    EXPECT_EQ(Load(o), ENOENT);
  }
  {
    Options o;
    o.Add("SSLCertificateFile", Certs().server)
        .Add("SSLPrivateKeyFile", Certs().server_key)
        .Add("SSLCACertificateFile", Certs().garbage);
    EXPECT_EQ(Load(o), EINVAL);
  }
}

TEST(CommPlugin, IncompleteIdentityIsRefused) {
  {
    // A directive line without a value gives an option without a value.
    Options o;
    o.AddWithoutValue("SSLCertificateFile").Add("SSLPrivateKeyFile", Certs().server_key);
    EXPECT_EQ(Load(o), EINVAL);
  }
  {
    Options o;
    o.Add("SSLCertificateFile", Certs().server).Add("SSLPrivateKeyFile", "");
    EXPECT_EQ(Load(o), EINVAL);
  }
  {
    Options o;
    o.Add("SSLCertificateFile", Certs().server);
    EXPECT_EQ(Load(o), EINVAL);
  }
}

TEST(CommPlugin, CipherListsOpensslRejectsAreRefusedWithAMessage) {
  struct Case {
    const char *option;
    const char *value;
    const char *message;
  };
  const Case cases[] = {
      {"SSLCiphers", "NO-SUCH-CIPHER", "TLS 1.2 cipher list refused by OpenSSL: NO-SUCH-CIPHER"},
      // TLS 1.3 names only: nothing is left for TLS 1.2.
      {"SSLCiphers", "TLS_AES_128_GCM_SHA256",
       "TLS 1.2 cipher list refused by OpenSSL: TLS_AES_128_GCM_SHA256"},
      {"SSLCipherSuites", "ECDHE-RSA-AES128-GCM-SHA256",
       "TLS 1.3 cipher suites refused by OpenSSL: ECDHE-RSA-AES128-GCM-SHA256"},
  };
  for (const Case &c : cases) {
    Options options;
    options.Add("SSLCertificateFile", Certs().server)
        .Add("SSLPrivateKeyFile", Certs().server_key)
        .Add(c.option, c.value);
    EXPECT_EQ(Load(options), EINVAL) << c.value;
    EXPECT_STREQ(comm_plugin_message(), c.message);
  }
  // A list OpenSSL accepts; the message of the last load replaces the
  // refusal and names what was configured.
  Options both;
  both.Add("SSLCiphers", "ECDHE-ECDSA-AES256-GCM-SHA384")
      .Add("SSLCipherSuites", "TLS_AES_256_GCM_SHA384");
  EXPECT_EQ(Load(both), 0);
  EXPECT_EQ(std::string(comm_plugin_message())
                .rfind("TLS 1.3 suites as configured, "
                       "TLS 1.2 ciphers as configured (",
                       0),
            0u)
      << comm_plugin_message();
  // A failure that is not about ciphers leaves no stale message behind.
  Options unmatched;
  unmatched.Add("SSLCertificateFile", Certs().server).Add("SSLPrivateKeyFile", Certs().other_key);
  EXPECT_EQ(Load(unmatched), EINVAL);
  EXPECT_STREQ(comm_plugin_message(), "");
}

TEST(CommPlugin, ModuleWithoutIdentityConnectsButCannotListen) {
  Options none;
  CommModule *module = nullptr;
  ASSERT_EQ(comm_plugin_load(&module, "comm_openssl", none.get()), 0);
  CommChannel *listener = nullptr;
  EXPECT_EQ(comm_bind(module, &listener, "127.0.0.1", 0), EINVAL);
  EXPECT_EQ(listener, nullptr);
  comm_plugin_unload(&module);
}

bool Connects(int family, int port) {
  int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  int rc;
  if (family == AF_INET) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    rc = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
  } else {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(port));
    a.sin6_addr = in6addr_loopback;
    rc = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
  }
  close(fd);
  return rc == 0;
}

bool HostHasIpv6Loopback() {
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  bool ok = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

TEST(CommPlugin, ListenerWithoutAddressTakesIpv4AndIpv6) {
  Options options;
  options.Add("SSLCertificateFile", Certs().server).Add("SSLPrivateKeyFile", Certs().server_key);
  CommModule *module = nullptr;
  ASSERT_EQ(comm_plugin_load(&module, "comm_openssl", options.get()), 0);
  CommChannel *listener = nullptr;
  ASSERT_EQ(comm_bind(module, &listener, nullptr, 0), 0);
  int port = 0;
  ASSERT_EQ(comm_get_port(listener, &port), 0);
  EXPECT_GT(port, 0);
  int flags = 0;
  ASSERT_EQ(comm_get_flags(listener, &flags), 0);
  EXPECT_EQ(flags, COMM_FLAG_LISTENER);
  EXPECT_TRUE(Connects(AF_INET, port));
  if (HostHasIpv6Loopback()) {
    EXPECT_TRUE(Connects(AF_INET6, port));
  }
  // The probes wait in the backlog, already closed: accepting one gives a
  // connection that has ended.
  CommChannel *probe = nullptr;
  ASSERT_EQ(comm_accept(listener, &probe, 0), 0);
  ASSERT_NE(probe, nullptr);
  char buffer[8];
  int wanted = sizeof buffer;
  EXPECT_EQ(comm_read(probe, buffer, &wanted), 61);
  EXPECT_EQ(wanted, 0);
  wanted = sizeof buffer;
  EXPECT_EQ(comm_read(probe, buffer, &wanted), 61);
  EXPECT_EQ(comm_close(&probe, 0), 0);
  // Reads and writes make no sense on a listener.
  char byte;
  int len = 1;
  EXPECT_EQ(comm_read(listener, &byte, &len), EINVAL);
  EXPECT_EQ(comm_set_ioneeds(listener, COMM_NEED_WRITE), 0);
  EXPECT_EQ(comm_set_ioneeds(listener, 7), EINVAL);
  // The port is taken now.
  CommChannel *second = nullptr;
  EXPECT_EQ(comm_bind(module, &second, "127.0.0.1", port), EADDRINUSE);
  EXPECT_EQ(comm_bind(module, &second, "not-an-address", 0), EINVAL);
  EXPECT_EQ(comm_bind(module, &second, nullptr, 70000), EINVAL);
  EXPECT_EQ(comm_close(&listener, 0), 0);
  EXPECT_EQ(comm_close(&listener, 0), EINVAL);
  comm_plugin_unload(&module);
}

// The peer's address of the next connection accepted on listener.
std::string AcceptedPeer(CommChannel *listener) {
  CommChannel *accepted = nullptr;
  int rc = comm_accept(listener, &accepted, 0);
  EXPECT_TRUE(rc == 0 || rc == 2 || rc == 3) << rc;
  if (accepted == nullptr) return "(none)";
  char text[46] = "unchanged";
  EXPECT_EQ(comm_get_peer_address(accepted, text, sizeof text), 0);
  comm_close(&accepted, 0);
  return text;
}

TEST(CommPlugin, PeerAddressNamesTheClientAsItKnowsItself) {
  Options options;
  options.Add("SSLCertificateFile", Certs().server).Add("SSLPrivateKeyFile", Certs().server_key);
  CommModule *module = nullptr;
  ASSERT_EQ(comm_plugin_load(&module, "comm_openssl", options.get()), 0);
  CommChannel *listener = nullptr;
  ASSERT_EQ(comm_bind(module, &listener, nullptr, 0), 0);
  int port = 0;
  ASSERT_EQ(comm_get_port(listener, &port), 0);
  // The probes have left before they are accepted: the address is the one
  // they came from all the same, and an IPv4 peer of the dual-stack
  // listener is not named as an IPv6-mapped address.
  ASSERT_TRUE(Connects(AF_INET, port));
  EXPECT_EQ(AcceptedPeer(listener), "127.0.0.1");
  if (HostHasIpv6Loopback()) {
    ASSERT_TRUE(Connects(AF_INET6, port));
    EXPECT_EQ(AcceptedPeer(listener), "::1");
  }
  char text[46];
  EXPECT_EQ(comm_get_peer_address(listener, text, sizeof text), EINVAL);
  EXPECT_EQ(comm_get_peer_address(nullptr, text, sizeof text), EINVAL);

  ASSERT_TRUE(Connects(AF_INET, port));
  CommChannel *accepted = nullptr;
  ASSERT_EQ(comm_accept(listener, &accepted, 0), 0);
  char small[9] = "x";
  EXPECT_EQ(comm_get_peer_address(accepted, small, sizeof small), ENOSPC);
  EXPECT_STREQ(small, "");
  char exact[10];
  EXPECT_EQ(comm_get_peer_address(accepted, exact, sizeof exact), 0);
  EXPECT_STREQ(exact, "127.0.0.1");
  EXPECT_EQ(comm_get_peer_address(accepted, exact, 0), EINVAL);
  EXPECT_EQ(comm_get_peer_address(accepted, nullptr, 10), EINVAL);
  comm_close(&accepted, 0);
  comm_close(&listener, 0);
  comm_plugin_unload(&module);
}

TEST(CommPluginRegression, AHandshakeFailingAtOnceIsReadOnAChannelThatNamesItsPeer) {
  Options options;
  options.Add("SSLCertificateFile", Certs().server).Add("SSLPrivateKeyFile", Certs().server_key);
  CommModule *module = nullptr;
  ASSERT_EQ(comm_plugin_load(&module, "comm_openssl", options.get()), 0);
  CommChannel *listener = nullptr;
  ASSERT_EQ(comm_bind(module, &listener, "127.0.0.1", 0), 0);
  int port = 0;
  ASSERT_EQ(comm_get_port(listener, &port), 0);
  // A peer that speaks no TLS, its bytes there before the accept.
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  const char garbage[] = "GET / HTTP/1.0\r\n\r\n";
  ASSERT_EQ(send(fd, garbage, sizeof garbage - 1, MSG_NOSIGNAL),
            static_cast<ssize_t>(sizeof garbage - 1));
  usleep(200000);
  CommChannel *accepted = nullptr;
  ASSERT_EQ(comm_accept(listener, &accepted, 0), 0);
  ASSERT_NE(accepted, nullptr);
  char text[46] = {};
  EXPECT_EQ(comm_get_peer_address(accepted, text, sizeof text), 0);
  EXPECT_STREQ(text, "127.0.0.1");
  char buffer[8];
  int wanted = sizeof buffer;
  int rc = comm_read(accepted, buffer, &wanted);
  EXPECT_NE(rc, 0);
  EXPECT_NE(rc, 61);
  EXPECT_NE(rc, 11);
  EXPECT_EQ(wanted, 0);
  // The peer learns it at once.
  char byte;
  EXPECT_LE(recv(fd, &byte, 1, 0), 0);
  close(fd);
  comm_close(&accepted, 0);
  comm_close(&listener, 0);
  comm_plugin_unload(&module);
}

TEST(CommPlugin, ADeferredAcceptSpendsNoTlsWorkUntilContinued) {
  Options options;
  options.Add("SSLCertificateFile", Certs().server).Add("SSLPrivateKeyFile", Certs().server_key);
  CommModule *module = nullptr;
  ASSERT_EQ(comm_plugin_load(&module, "comm_openssl", options.get()), 0);
  CommChannel *listener = nullptr;
  ASSERT_EQ(comm_bind(module, &listener, "127.0.0.1", 0), 0);
  int port = 0;
  ASSERT_EQ(comm_get_port(listener, &port), 0);
  CommChannel *accepted = nullptr;
  EXPECT_EQ(comm_accept(listener, &accepted, 2), EINVAL);
  {
    // The ClientHello is there before the accept: without the flag the
    // server's answer would be on its way at once.
    commtest::RawClient client(port);
    client.Begin();
    client.SendPending();
    usleep(200000);
    ASSERT_EQ(comm_accept(listener, &accepted, COMM_ACCEPT_DEFER_HANDSHAKE), 2);
    int flags = 0;
    ASSERT_EQ(comm_get_flags(accepted, &flags), 0);
    EXPECT_EQ(flags & COMM_FLAG_ACCEPT_PENDING, COMM_FLAG_ACCEPT_PENDING);
    char text[46] = {};
    EXPECT_EQ(comm_get_peer_address(accepted, text, sizeof text), 0);
    EXPECT_STREQ(text, "127.0.0.1");
    usleep(100000);
    EXPECT_EQ(client.BytesWaiting(), 0);
    // Continued, the handshake answers.
    int rc = comm_accept_continue(accepted);
    EXPECT_TRUE(rc == 0 || rc == 2 || rc == 3) << rc;
    EXPECT_TRUE(commtest::Readable(client.fd(), 5000));
    EXPECT_GT(client.BytesWaiting(), 0);
    comm_close(&accepted, 0);
  }
  comm_close(&listener, 0);
  comm_plugin_unload(&module);
}

}  // namespace

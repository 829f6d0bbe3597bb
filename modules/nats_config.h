// The NATS JetStream settings shared by orvik_nats.so and orvikevt-read: the
// module's configuration file and the client options made from it.
//
// The file uses the daemon's directive syntax ("DIRECTIVE value" per line,
// '#' comments) and is read with liborvik's reader:
//   SERVERS      comma-separated nats:// (or tls://) URLs, user:password@ allowed
//   SUBJECT      subject the messages are published on
//   STREAM       JetStream stream that stores them
//   CREATESTREAM yes|no: create the stream (file storage) when it is missing
//   REPLICAS     copies of a created stream (1 to 5)
//   BATCH        records per message at most (1 to 1024)
//   FLUSHMS      milliseconds after which a partly filled message is sent
//   MAXPENDING   messages published but not yet acknowledged, at most
//   CREDS        a NATS credentials file (user JWT and seed)
//   TLSCA        CA certificates that verify the servers (turns TLS on)
//   TLSCERT, TLSKEY  client certificate and key (PEM), both or neither
// Every directive appears at most once; an unknown directive or a bad value
// is an error that names the file, the directive and the value.
#ifndef ORVIKEVT_MODULES_NATS_CONFIG_H_
#define ORVIKEVT_MODULES_NATS_CONFIG_H_

#include <nats/nats.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace orvikevt::nats {

struct NatsConfig {
  std::vector<std::string> servers = {"nats://127.0.0.1:4222"};
  std::string subject = "orvik.events";
  std::string stream = "ORVIK";
  bool create_stream = true;
  int replicas = 1;
  uint32_t batch = 64;
  uint32_t flush_ms = 100;
  uint32_t max_pending = 128;
  std::string creds;
  std::string tls_ca;
  std::string tls_cert;
  std::string tls_key;
};

inline constexpr uint32_t kMaxBatch = 1024;
inline constexpr uint32_t kMaxFlushMs = 60000;
inline constexpr uint32_t kMaxPending = 4096;
inline constexpr int kMaxReplicas = 5;

// Reads path into *config (defaults for what the file leaves out). Empty on
// success, else one line of text saying what is wrong and where; *config is
// then unspecified.
std::string ReadNatsConfig(const char *path, NatsConfig *config);

// Sets one directive's value (the text after the directive) in *config.
// Empty on success, else what is wrong with it.
std::string ApplyDirective(const char *directive, const std::string &value, NatsConfig *config);

// Checks what a connection will load, without touching the NATS library (the
// daemon calls its module_init before it forks, and the library's threads do
// not survive a fork): the credentials file holds a user JWT and a seed, the
// TLS files are PEM that OpenSSL reads, the key belongs to the certificate.
// Empty when usable, else the reason. REQUIRES: config as ReadNatsConfig
// accepted it (which pairs TLSCERT with TLSKEY).
std::string CheckSecurityFiles(const NatsConfig &config);

// Connection behaviour beyond the file.
struct ConnectionSettings {
  std::string name;                            // the client name the servers show
  bool keep_trying = false;                    // reconnect forever; connect in the background
  int64_t reconnect_buffer = 8 * 1024 * 1024;  // bytes published while disconnected
  natsConnectionHandler disconnected = nullptr;
  natsConnectionHandler reconnected = nullptr;
  natsConnectionHandler closed = nullptr;  // the library gave the connection up for good
  void *closure = nullptr;
};

// Owns a natsOptions; destroyed with it.
struct OptionsDeleter {
  void operator()(natsOptions *options) const { natsOptions_Destroy(options); }
};

// Owners of the library's objects.
struct ConnectionDeleter {
  void operator()(natsConnection *connection) const { natsConnection_Destroy(connection); }
};
struct ContextDeleter {
  void operator()(jsCtx *context) const { jsCtx_Destroy(context); }
};
struct MsgDeleter {
  void operator()(natsMsg *msg) const { natsMsg_Destroy(msg); }
};
using Connection = std::unique_ptr<natsConnection, ConnectionDeleter>;
using Context = std::unique_ptr<jsCtx, ContextDeleter>;
using Msg = std::unique_ptr<natsMsg, MsgDeleter>;

// The servers of config for messages: host:port, without user or password.
std::string ServerList(const NatsConfig &config);

// Makes client options for config. NATS_OK, or the failing status with a
// text in *error.
natsStatus MakeOptions(const NatsConfig &config, const ConnectionSettings &settings,
                       natsOptions **options, std::string *error);

// The NATS library frees OpenSSL's table of compression methods in an exit
// handler of its own, and OpenSSL frees it again in its own one: a double
// free at exit in every process that used TLS through the library. Called
// once the library is done with TLS, this takes the table out of both hands
// (releasing it), so that both handlers find nothing to free.
void ReleaseCompressionMethods();

// The library's text for a failed call: status text plus its last error.
std::string StatusText(natsStatus status);

}  // namespace orvikevt::nats

#endif  // ORVIKEVT_MODULES_NATS_CONFIG_H_

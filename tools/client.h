// Shared by the client tools: the connection options every tool takes, the
// TLS connection to a daemon through the comm layer, and record building.
//
// Errors are reported on standard error with the tool's name; functions
// return the exit status to end with (see kExit*) or 0.
#ifndef ORVIKEVT_CLIENT_H_
#define ORVIKEVT_CLIENT_H_

#include <comm/comm.h>
#include <orvik/client.h>
#include <orvik/event_p.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace orvikevt {

// Exit statuses of the tools (sysexits values).
inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 64;
inline constexpr int kExitBadInput = 65;
inline constexpr int kExitUnavailable = 69;
inline constexpr int kExitIoError = 74;
inline constexpr int kExitProtocol = 76;

struct ConnectionOptions {
  std::string host = "127.0.0.1";
  int port = 5011;
  std::string ca_file;    // verify the daemon against it
  bool insecure = false;  // skip verification (explicit choice)
  std::string cert_file;  // client certificate, for daemons with CLIENTCA
  std::string key_file;
};

// The option letters handled by HandleConnectionOption, for getopt strings.
inline constexpr const char *kConnectionOptionLetters = "H:p:c:kC:K:";
// Help lines for those options.
inline constexpr const char *kConnectionOptionHelp =
    "  -H HOST      daemon host name or address (default 127.0.0.1)\n"
    "  -p PORT      daemon port (default 5011)\n"
    "  -c CAFILE    verify the daemon's certificate against the CA certificates in CAFILE\n"
    "  -k           insecure: do not verify the daemon's certificate\n"
    "  -C CERTFILE  client certificate, for daemons that require one (with -K)\n"
    "  -K KEYFILE   private key of the client certificate\n";

// Prints "TOOL - version X" (the project's version) to standard output.
void PrintVersion(const char *tool);

// Reads the command line with getopt: the connection options into
// connection, every other letter of own_letters through own_option, which
// returns 0 to go on or the status to stop with. -V prints the version and
// stops with -1, as -h does. 0 when every option was read, else the first
// non-zero status (kExitUsage for a bad connection option).
int ParseCommandLine(const char *tool, int argc, char **argv, const char *own_letters,
                     ConnectionOptions &connection,
                     const std::function<int(int option, const char *value)> &own_option);
// Checks the combination (-c or -k, -C with -K). kExitOk or kExitUsage.
int CheckConnectionOptions(const char *tool, const ConnectionOptions &options);

// Reads text as an unsigned number in base (0: with C prefixes) into *value.
// False, *value untouched, for empty text, a leading '-', trailing
// characters, overflow, a value above max, or 0 unless zero_allowed.
bool ParseUnsigned(const char *text, int base, bool zero_allowed, unsigned long long max,
                   unsigned long long *value);

// A loaded comm_openssl client transport; unloaded on destruction.
class Transport {
 public:
  Transport() = default;
  ~Transport();
  Transport(const Transport &) = delete;
  Transport &operator=(const Transport &) = delete;

  // Loads the transport. kExitOk or kExitUnavailable (message printed).
  int Load(const char *tool, const ConnectionOptions &options);
  // Connects and completes the handshake. kExitOk or kExitUnavailable.
  int Connect(const char *tool, const ConnectionOptions &options, CommChannel **channel);

 private:
  CommModule *module_ = nullptr;
};

// Writes all of bytes. kExitOk or kExitIoError (message printed).
int WriteAll(const char *tool, CommChannel *channel, const char *bytes, size_t size);
// Closes the TLS session cleanly and the channel.
void Disconnect(CommChannel **channel);

// ---- through liborvikclient ----

// "host:port" of the connection options (an IPv6 address in brackets).
std::string DaemonList(const ConnectionOptions &options);
// Makes a client of the daemons listed ("host:port,..."), with the TLS
// settings of options, delivery as the library's "delivery" option, and
// buffer_records (0: the library's default). kExitOk, kExitUsage for a bad
// list, or kExitUnavailable (message printed).
int NewLibraryClient(const char *tool, const ConnectionOptions &options, const std::string &daemons,
                     const char *delivery, unsigned buffer_records, OrvikClient **client);
// Why nothing more can be delivered now, from the client's counters:
// kExitProtocol when the daemon does not speak the acknowledged protocol,
// kExitUnavailable when no connection was ever made and every daemon of
// the list has failed at least once (daemons: how many are listed), 0 when
// delivery may still go on.
int DeliveryBlocked(const OrvikClientCounters &counters, size_t daemons);
// Sends one record (host order), waiting for room at most timeout_ms.
// kExitOk, or (message printed) kExitProtocol, kExitUnavailable or
// kExitIoError.
int SendRecord(const char *tool, OrvikClient *client, const EventData &record, int timeout_ms,
               size_t daemons);
// Waits, at most timeout_ms, until every record sent is delivered. kExitOk,
// or (message printed) kExitProtocol, kExitUnavailable or kExitIoError.
int AwaitDelivery(const char *tool, OrvikClient *client, int timeout_ms, size_t daemons);

// What one event carries, in host order.
struct EventFields {
  std::string_view host;
  std::string_view object;
  uint32_t flags = 0;
  uint32_t rc = 0;
  uint64_t timestamp = 0;
  std::string_view data;
};

// Fills record from fields, in host order. False when a text is longer
// than 63 bytes or the data longer than 256 bytes.
bool FillRecord(const EventFields &fields, EventData *record);
// FillRecord, then converted to network order for writing as it is.
bool BuildRecord(const EventFields &fields, EventData *record);

// Microseconds since the epoch.
uint64_t NowMicroseconds();

}  // namespace orvikevt

#endif  // ORVIKEVT_CLIENT_H_

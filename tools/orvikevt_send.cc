// orvikevt-send: sends events over TLS to orvikevtd daemons through
// liborvikclient, and succeeds only when every event was acknowledged (or,
// with -f against a daemon without acknowledgements, written).
//
//   orvikevt-send -k [-H host] [-p port] [-o object] 'disk full on /var'
//   tail -f app.log | orvikevt-send -c ca.pem -d events1:5011,events2:5011 -i
//   orvikevt-send -c ca.pem -n 1000
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "client.h"
#include "sequence.h"

namespace {

constexpr const char *kTool = "orvikevt-send";

void print_usage(FILE *out) {
  std::fprintf(
      out,
      "Usage: %s (-c CAFILE | -k) [options] [DATA...]\n"
      "Sends events to an orvikevtd daemon over TLS: one event whose data is DATA (the\n"
      "arguments joined by blanks), or with -i one event per line of standard input,\n"
      "or with -n COUNT generated, numbered events.\n"
      "%s"
      "  -s NAME      host name the events carry (default: this machine's name)\n"
      "  -o OBJECT    object the events concern (default \"orvikevt-send\")\n"
      "  -F FLAGS     event flags (default 0)\n"
      "  -r RC        result code (default 0)\n"
      "  -i           one event per line of standard input (the line is its data)\n"
      "  -n COUNT     COUNT generated events, numbered for the counting module\n"
      "  -d DAEMONS   daemons as host:port,... tried in order on failure (instead of -H, -p)\n"
      "  -f           fire and forget where a daemon does not acknowledge events\n"
      "  -t SECONDS   longest wait for room to send and for the acknowledgements (default 30)\n"
      "  -h           this help\n"
      "  -V           the version\n"
      "Exit status: 0 every event acknowledged (with -f and a daemon without\n"
      "acknowledgements: written), 64 usage error, 65 an event does not fit a record\n"
      "(texts up to 63 bytes, data up to 256), 69 no connection, 74 events not\n"
      "acknowledged in time, 76 the daemon does not acknowledge events (see -f).\n",
      kTool, orvikevt::kConnectionOptionHelp);
}

// Hands records to the library, which sends them in the background.
class Sender {
 public:
  Sender(OrvikClient *client, int timeout_ms, size_t daemons)
      : client_(client), timeout_ms_(timeout_ms), daemons_(daemons) {}
  int Add(const EventData &record) {
    int status = orvikevt::SendRecord(kTool, client_, record, timeout_ms_, daemons_);
    if (status == 0) ++sent_;
    return status;
  }
  int Flush() { return orvikevt::AwaitDelivery(kTool, client_, timeout_ms_, daemons_); }
  unsigned long long sent() const { return sent_; }

 private:
  OrvikClient *client_;
  int timeout_ms_;
  size_t daemons_;
  unsigned long long sent_ = 0;
};

struct Settings {
  orvikevt::ConnectionOptions connection;
  std::string host;
  std::string object = "orvikevt-send";
  uint32_t flags = 0;
  uint32_t rc = 0;
  bool from_stdin = false;
  unsigned long long generate = 0;
  bool generating = false;
  std::string data;
  std::string daemons;  // empty: host and port of the connection options
  bool fire_and_forget = false;
  int timeout_ms = 30000;
};

int parse(int argc, char **argv, Settings &settings) {
  auto own_option = [&settings](int option, const char *value) {
    unsigned long long number = 0;
    switch (option) {
      case 's':
        settings.host = value;
        return 0;
      case 'o':
        settings.object = value;
        return 0;
      case 'F':
      case 'r':
        if (!orvikevt::ParseUnsigned(value, 0, true, UINT32_MAX, &number)) {
          std::fprintf(stderr, "%s: -%c needs a number up to 4294967295\n", kTool, option);
          return orvikevt::kExitUsage;
        }
        (option == 'F' ? settings.flags : settings.rc) = static_cast<uint32_t>(number);
        return 0;
      case 'i':
        settings.from_stdin = true;
        return 0;
      case 'n':
        if (!orvikevt::ParseUnsigned(value, 0, true, ~0ull, &settings.generate)) {
          std::fprintf(stderr, "%s: -n needs a count\n", kTool);
          return orvikevt::kExitUsage;
        }
        settings.generating = true;
        return 0;
      case 'd':
        settings.daemons = value;
        return 0;
      case 'f':
        settings.fire_and_forget = true;
        return 0;
      case 't':
        if (!orvikevt::ParseUnsigned(value, 10, false, 86400, &number)) {
          std::fprintf(stderr, "%s: -t needs seconds from 1 to 86400\n", kTool);
          return orvikevt::kExitUsage;
        }
        settings.timeout_ms = static_cast<int>(number) * 1000;
        return 0;
      case 'h':
        print_usage(stdout);
        return -1;
      default:
        print_usage(stderr);
        return orvikevt::kExitUsage;
    }
  };
  if (int status = orvikevt::ParseCommandLine(kTool, argc, argv, "s:o:F:r:in:d:ft:h",
                                              settings.connection, own_option);
      status != 0) {
    return status;
  }
  for (int index = optind; index < argc; ++index) {
    if (index > optind) settings.data += ' ';
    settings.data += argv[index];
  }
  if (settings.from_stdin + settings.generating + (optind < argc) > 1) {
    std::fprintf(stderr, "%s: give DATA, -i or -n, not several\n", kTool);
    return orvikevt::kExitUsage;
  }
  if (int status = orvikevt::CheckConnectionOptions(kTool, settings.connection); status != 0) {
    return status;
  }
  if (settings.host.empty()) {
    char name[256] = {};
    gethostname(name, sizeof(name) - 1);
    settings.host = name;
  }
  if (settings.host.size() >= EVENTDATA_TEXT_SIZE ||
      settings.object.size() >= EVENTDATA_TEXT_SIZE) {
    std::fprintf(stderr, "%s: host name and object are at most 63 bytes\n", kTool);
    return orvikevt::kExitBadInput;
  }
  return orvikevt::kExitOk;
}

orvikevt::EventFields fields_of(const Settings &settings, std::string_view data) {
  orvikevt::EventFields fields;
  fields.host = settings.host;
  fields.object = settings.object;
  fields.flags = settings.flags;
  fields.rc = settings.rc;
  fields.timestamp = orvikevt::NowMicroseconds();
  fields.data = data;
  return fields;
}

int send_lines(const Settings &settings, Sender &sender) {
  std::string line;
  unsigned long long number = 0;
  while (std::getline(std::cin, line)) {
    ++number;
    EventData record;
    if (!orvikevt::FillRecord(fields_of(settings, line), &record)) {
      std::fprintf(stderr, "%s: line %llu: data longer than 256 bytes; stopped\n", kTool, number);
      int status = sender.Flush();
      return status != 0 ? status : orvikevt::kExitBadInput;
    }
    if (int status = sender.Add(record); status != 0) return status;
  }
  return sender.Flush();
}

int send_generated(const Settings &settings, Sender &sender) {
  // A stream number of its own for this run, so the counting module checks
  // this sender's records apart from everyone else's.
  uint32_t stream = static_cast<uint32_t>(getpid()) * 2654435761u ^
                    static_cast<uint32_t>(orvikevt::NowMicroseconds());
  for (unsigned long long position = 0; position < settings.generate; ++position) {
    std::string data = "orvikevt-send event " + std::to_string(position);
    orvikevt::EventFields fields = fields_of(settings, data);
    fields.flags |= orvikevt::kSequencedFlag;
    fields.rc = stream;
    fields.timestamp = position;
    EventData record;
    orvikevt::FillRecord(fields, &record);
    if (int status = sender.Add(record); status != 0) return status;
  }
  return sender.Flush();
}

int send_one(const Settings &settings, Sender &sender) {
  EventData record;
  if (!orvikevt::FillRecord(fields_of(settings, settings.data), &record)) {
    std::fprintf(stderr, "%s: data longer than 256 bytes\n", kTool);
    return orvikevt::kExitBadInput;
  }
  if (int status = sender.Add(record); status != 0) return status;
  return sender.Flush();
}

}  // namespace

int main(int argc, char **argv) {
  Settings settings;
  int status = parse(argc, argv, settings);
  if (status != 0) return status < 0 ? orvikevt::kExitOk : status;
  if (!settings.from_stdin && !settings.generating && settings.data.size() > EVENTDATA_DATA_SIZE) {
    std::fprintf(stderr, "%s: data longer than 256 bytes\n", kTool);
    return orvikevt::kExitBadInput;
  }
  std::string daemons =
      settings.daemons.empty() ? orvikevt::DaemonList(settings.connection) : settings.daemons;
  OrvikClient *client = nullptr;
  const char *delivery = settings.fire_and_forget ? "fire-and-forget-allowed" : "acknowledged";
  if ((status = orvikevt::NewLibraryClient(kTool, settings.connection, daemons, delivery, 0,
                                           &client)) != 0) {
    return status;
  }
  size_t listed = static_cast<size_t>(std::count(daemons.begin(), daemons.end(), ',')) + 1;
  Sender sender(client, settings.timeout_ms, listed);
  if (settings.from_stdin) {
    status = send_lines(settings, sender);
  } else if (settings.generating) {
    status = send_generated(settings, sender);
  } else {
    status = send_one(settings, sender);
  }
  // Whatever happened, the wait above has had its time: free at once.
  orvik_client_free(&client, 0, nullptr);
  if (status == 0 && settings.generating) {
    std::printf("%llu events sent\n", sender.sent());
  }
  return status;
}

// orvikevt-read: reads the events that orvik_nats.so stored in a NATS
// JetStream stream and prints them in the event-log line format, or counts
// them.
//
//   orvikevt-read -f /etc/orvik/nats.conf                   # everything stored
//   orvikevt-read -f /etc/orvik/nats.conf -t '2026-12-07 21:00:00' -F
//   orvikevt-read -s nats://10.0.0.5:4222 -q 1500 -n
//
// Each message holds 1 or more whole EventData records as on the daemon's
// wire (see modules/nats.cc); a message that does not is reported on
// standard error with its stream sequence and skipped.
#include <orvik/event_p.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <utility>

#include "client.h"
#include "event_line.h"
#include "nats_config.h"

namespace {

constexpr const char *kTool = "orvikevt-read";
// How long one wait for the next message lasts before the tool looks whether
// anything is left to read.
constexpr int64_t kWaitMs = 500;

void print_usage(FILE *out) {
  std::fprintf(
      out,
      "Usage: %s [options]\n"
      "Reads the events that orvik_nats.so stored in a NATS JetStream stream and prints\n"
      "one event-log line per event (the time is when the stream stored the event), or\n"
      "counts them. Reads from the start to the last event stored, unless told otherwise.\n"
      "  -f CONFFILE  the module's configuration file: SERVERS, SUBJECT, STREAM, CREDS,\n"
      "               TLSCA, TLSCERT, TLSKEY are taken from it\n"
      "  -s SERVERS   comma-separated server URLs (default nats://127.0.0.1:4222)\n"
      "  -S STREAM    stream name (default ORVIK)\n"
      "  -u SUBJECT   subject of the events (default orvik.events)\n"
      "  -q SEQUENCE  start at this stream sequence (1 is the first message)\n"
      "  -t TIME      start at this time: 'YYYY-MM-DD HH:MM:SS' (local) or @SECONDS\n"
      "  -F           follow: after the last event, wait for new ones until interrupted\n"
      "  -n           print only the number of events\n"
      "  -h           this help\n"
      "  -V           the version\n"
      "Exit status: 0 done, 64 usage error, 65 a message that is not whole event records\n"
      "(skipped, the others printed), 69 no connection or no such stream, 74 reading failed.\n",
      kTool);
}

struct Settings {
  orvikevt::nats::NatsConfig config;
  std::string servers;  // overrides of the file
  std::string stream;
  std::string subject;
  uint64_t start_sequence = 0;
  int64_t start_time_ns = -1;
  bool follow = false;
  bool count_only = false;
};

// The latest start time, in seconds since the epoch. Stream times are
// nanoseconds in 64 bits (up to the year 2262), but the NATS client library
// writes a start time out through the C library's own time_t: where that is
// 32 bits wide (glibc's default on armhf, whatever this program is built
// with), a time after January 2038 would wrap to early last century and the
// reading would start at the stream's beginning.
#if defined(__TIMESIZE) && __TIMESIZE == 32
constexpr int64_t kLatestStartSeconds = INT32_MAX;
#else
constexpr int64_t kLatestStartSeconds = int64_t{1} << 33;
#endif

// 'YYYY-MM-DD HH:MM:SS' in local time, or @SECONDS since the epoch; at most
// kLatestStartSeconds.
bool parse_time(const char *text, int64_t *ns) {
  if (text[0] == '@') {
    unsigned long long seconds = 0;
    if (!orvikevt::ParseUnsigned(text + 1, 10, true,
                                 static_cast<unsigned long long>(kLatestStartSeconds), &seconds))
      return false;
    *ns = static_cast<int64_t>(seconds) * 1000000000;
    return true;
  }
  struct tm local = {};
  const char *end = strptime(text, "%Y-%m-%d %H:%M:%S", &local);
  if (end == nullptr || *end != '\0') return false;
  local.tm_isdst = -1;
  time_t seconds = mktime(&local);
  if (seconds == static_cast<time_t>(-1) || seconds < 0 || seconds > kLatestStartSeconds) {
    return false;
  }
  *ns = static_cast<int64_t>(seconds) * 1000000000;
  return true;
}

int parse(int argc, char **argv, Settings &settings) {
  std::string file;
  int option = 0;
  while ((option = getopt(argc, argv, "f:s:S:u:q:t:FnhV")) != -1) {
    unsigned long long number = 0;
    switch (option) {
      case 'f':
        file = optarg;
        break;
      case 's':
        settings.servers = optarg;
        break;
      case 'S':
        settings.stream = optarg;
        break;
      case 'u':
        settings.subject = optarg;
        break;
      case 'q':
        if (!orvikevt::ParseUnsigned(optarg, 10, false, ~0ull, &number)) {
          std::fprintf(stderr, "%s: -q needs a sequence from 1\n", kTool);
          return orvikevt::kExitUsage;
        }
        settings.start_sequence = number;
        break;
      case 't':
        if (!parse_time(optarg, &settings.start_time_ns)) {
          std::fprintf(stderr,
                       "%s: -t needs 'YYYY-MM-DD HH:MM:SS' or @SECONDS, at most @%" PRId64 "\n",
                       kTool, kLatestStartSeconds);
          return orvikevt::kExitUsage;
        }
        break;
      case 'F':
        settings.follow = true;
        break;
      case 'n':
        settings.count_only = true;
        break;
      case 'h':
        print_usage(stdout);
        return -1;
      case 'V':
        orvikevt::PrintVersion(kTool);
        return -1;
      default:
        print_usage(stderr);
        return orvikevt::kExitUsage;
    }
  }
  if (optind < argc) {
    std::fprintf(stderr, "%s: unexpected argument '%s'\n", kTool, argv[optind]);
    return orvikevt::kExitUsage;
  }
  if (settings.start_sequence != 0 && settings.start_time_ns >= 0) {
    std::fprintf(stderr, "%s: give -q or -t, not both\n", kTool);
    return orvikevt::kExitUsage;
  }
  if (!file.empty()) {
    std::string error = orvikevt::nats::ReadNatsConfig(file.c_str(), &settings.config);
    if (!error.empty()) {
      std::fprintf(stderr, "%s: %s\n", kTool, error.c_str());
      return orvikevt::kExitUsage;
    }
  }
  // The command line's values go through the file's checks.
  for (auto [directive, value] :
       {std::pair{"SERVERS", &settings.servers}, std::pair{"STREAM", &settings.stream},
        std::pair{"SUBJECT", &settings.subject}}) {
    if (value->empty()) continue;
    std::string error = orvikevt::nats::ApplyDirective(directive, *value, &settings.config);
    if (!error.empty()) {
      std::fprintf(stderr, "%s: %s\n", kTool, error.c_str());
      return orvikevt::kExitUsage;
    }
  }
  if (std::string error = orvikevt::nats::CheckSecurityFiles(settings.config); !error.empty()) {
    std::fprintf(stderr, "%s: %s\n", kTool, error.c_str());
    return orvikevt::kExitUsage;
  }
  return orvikevt::kExitOk;
}

struct Library {
  ~Library() {
    nats_CloseAndWait(2000);
    orvikevt::nats::ReleaseCompressionMethods();
  }
};
struct SubscriptionDeleter {
  void operator()(natsSubscription *subscription) const { natsSubscription_Destroy(subscription); }
};
struct MetaDeleter {
  void operator()(jsMsgMetaData *meta) const { jsMsgMetaData_Destroy(meta); }
};

// Reads messages and prints or counts their records.
class Reader {
 public:
  explicit Reader(const Settings &settings) : settings_(settings) {}

  int Run() {
    if (int status = Connect(); status != orvikevt::kExitOk) return status;
    uint64_t last = 0;
    if (int status = LastSequence(&last); status != orvikevt::kExitOk) return status;
    if (!settings_.follow && (last == 0 || settings_.start_sequence > last)) return Done();
    if (int status = Subscribe(); status != orvikevt::kExitOk) return status;
    for (;;) {
      natsMsg *raw = nullptr;
      natsStatus status = natsSubscription_NextMsg(&raw, subscription_.get(), kWaitMs);
      orvikevt::nats::Msg msg(raw);
      if (status == NATS_TIMEOUT) {
        if (!settings_.follow && NothingLeft()) return Done();
        continue;
      }
      if (status != NATS_OK) {
        std::fprintf(stderr, "%s: reading failed: %s\n", kTool,
                     orvikevt::nats::StatusText(status).c_str());
        return orvikevt::kExitIoError;
      }
      jsMsgMetaData *meta_raw = nullptr;
      if (natsMsg_GetMetaData(&meta_raw, msg.get()) != NATS_OK) continue;  // not a stream message
      std::unique_ptr<jsMsgMetaData, MetaDeleter> meta(meta_raw);
      Handle(msg.get(), *meta);
      if (!settings_.follow && (meta->NumPending == 0 || meta->Sequence.Stream >= last)) {
        return Done();
      }
    }
  }

 private:
  int Connect() {
    orvikevt::nats::ConnectionSettings connection;
    connection.name = kTool;
    connection.keep_trying = settings_.follow;
    natsOptions *made = nullptr;
    std::string error;
    if (orvikevt::nats::MakeOptions(settings_.config, connection, &made, &error) != NATS_OK) {
      std::fprintf(stderr, "%s: %s\n", kTool, error.c_str());
      return orvikevt::kExitUsage;
    }
    std::unique_ptr<natsOptions, orvikevt::nats::OptionsDeleter> options(made);
    if (settings_.follow) natsOptions_SetRetryOnFailedConnect(made, false, nullptr, nullptr);
    natsConnection *connected = nullptr;
    natsStatus status = natsConnection_Connect(&connected, made);
    connection_.reset(connected);
    if (status != NATS_OK) {
      std::fprintf(stderr, "%s: cannot connect to %s: %s\n", kTool, ServerList().c_str(),
                   orvikevt::nats::StatusText(status).c_str());
      return orvikevt::kExitUnavailable;
    }
    jsCtx *context = nullptr;
    status = natsConnection_JetStream(&context, connected, nullptr);
    context_.reset(context);
    if (status != NATS_OK) {
      std::fprintf(stderr, "%s: no JetStream: %s\n", kTool,
                   orvikevt::nats::StatusText(status).c_str());
      return orvikevt::kExitUnavailable;
    }
    return orvikevt::kExitOk;
  }

  std::string ServerList() const { return orvikevt::nats::ServerList(settings_.config); }

  int LastSequence(uint64_t *last) {
    jsStreamInfo *info = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    natsStatus status =
        js_GetStreamInfo(&info, context_.get(), settings_.config.stream.c_str(), nullptr, &code);
    if (status != NATS_OK) {
      std::fprintf(
          stderr, "%s: stream %s: %s\n", kTool, settings_.config.stream.c_str(),
          status == NATS_NOT_FOUND ? "does not exist" : orvikevt::nats::StatusText(status).c_str());
      return orvikevt::kExitUnavailable;
    }
    *last = info->State.LastSeq;
    jsStreamInfo_Destroy(info);
    return orvikevt::kExitOk;
  }

  int Subscribe() {
    jsSubOptions options;
    jsSubOptions_Init(&options);
    options.Stream = settings_.config.stream.c_str();
    options.Ordered = true;
    if (settings_.start_sequence != 0) {
      options.Config.DeliverPolicy = js_DeliverByStartSequence;
      options.Config.OptStartSeq = settings_.start_sequence;
    } else if (settings_.start_time_ns > 0) {  // the epoch itself: from the start
      options.Config.DeliverPolicy = js_DeliverByStartTime;
      options.Config.OptStartTime = settings_.start_time_ns;
    }
    natsSubscription *made = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    natsStatus status = js_SubscribeSync(&made, context_.get(), settings_.config.subject.c_str(),
                                         nullptr, &options, &code);
    subscription_.reset(made);
    if (status != NATS_OK) {
      std::fprintf(stderr, "%s: cannot read stream %s: %s\n", kTool,
                   settings_.config.stream.c_str(), orvikevt::nats::StatusText(status).c_str());
      return orvikevt::kExitUnavailable;
    }
    return orvikevt::kExitOk;
  }

  // True when the consumer has nothing more to deliver and nothing waits in
  // the subscription.
  bool NothingLeft() {
    jsConsumerInfo *info = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    if (natsSubscription_GetConsumerInfo(&info, subscription_.get(), nullptr, &code) != NATS_OK) {
      return false;
    }
    bool none = info->NumPending == 0;
    jsConsumerInfo_Destroy(info);
    int messages = 0, bytes = 0;
    natsSubscription_GetPending(subscription_.get(), &messages, &bytes);
    return none && messages == 0;
  }

  void Handle(natsMsg *msg, const jsMsgMetaData &meta) {
    int length = natsMsg_GetDataLength(msg);
    const char *data = natsMsg_GetData(msg);
    const char *count_text = nullptr;
    natsMsgHeader_Get(msg, "Orvik-Records", &count_text);
    size_t records = static_cast<size_t>(length) / sizeof(EventData);
    if (length <= 0 || static_cast<size_t>(length) % sizeof(EventData) != 0 ||
        count_text == nullptr || std::to_string(records) != count_text) {
      std::fprintf(stderr,
                   "%s: message %" PRIu64
                   " is not whole event records (%d bytes, "
                   "Orvik-Records %s); skipped\n",
                   kTool, meta.Sequence.Stream, length,
                   count_text != nullptr ? count_text : "missing");
      bad_messages_ = true;
      return;
    }
    events_ += records;
    if (settings_.count_only) return;
    time_t stored = static_cast<time_t>(meta.Timestamp / 1000000000);
    for (size_t i = 0; i < records; ++i) {
      EventData event;
      std::memcpy(&event, data + i * sizeof(EventData), sizeof(EventData));
      eventdata_to_hostorder(&event);
      char line[orvikevt::kEventLineSize];
      size_t used = orvikevt::FormatEventLine(event, stored, line);
      std::fwrite(line, 1, used, stdout);
    }
    if (settings_.follow) std::fflush(stdout);
  }

  int Done() {
    if (settings_.count_only) std::printf("%" PRIu64 "\n", events_);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
      std::fprintf(stderr, "%s: cannot write the output: %s\n", kTool, std::strerror(errno));
      return orvikevt::kExitIoError;
    }
    return bad_messages_ ? orvikevt::kExitBadInput : orvikevt::kExitOk;
  }

  const Settings &settings_;
  // Declared first: destroyed last, after every object of the library.
  Library library_;
  orvikevt::nats::Connection connection_;
  orvikevt::nats::Context context_;
  std::unique_ptr<natsSubscription, SubscriptionDeleter> subscription_;
  uint64_t events_ = 0;
  bool bad_messages_ = false;
};

}  // namespace

int main(int argc, char **argv) {
  Settings settings;
  int status = parse(argc, argv, settings);
  if (status == -1) return orvikevt::kExitOk;
  if (status != orvikevt::kExitOk) return status;
  Reader reader(settings);
  return reader.Run();
}

// orvikevt-bench: a load generator for orvikevtd. C connections each send N
// generated, numbered records, B records per TLS write, and the tool reports
// records/s and MB/s as sent; with -w it also waits until the counting module
// (orvik_count) has handled every record and reports the rate end to end.
#include <endian.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client.h"
#include "sequence.h"

namespace {

constexpr const char *kTool = "orvikevt-bench";

void print_usage(FILE *out) {
  std::fprintf(
      out,
      "Usage: %s (-c CAFILE | -k) [options]\n"
      "Sends generated records to an orvikevtd daemon and reports the rate.\n"
      "%s"
      "  -j CONNECTIONS  parallel connections (default 1)\n"
      "  -n RECORDS      records per connection (default 100000)\n"
      "  -b BATCH        records per TLS write (default 40; 1: one record per write)\n"
      "  -w COUNTFILE    figures file of the daemon's orvik_count module: wait until\n"
      "                  every record is counted and report the end-to-end rate\n"
      "  -t SECONDS      longest wait for the count and the acknowledgements (default 120)\n"
      "  -a              acknowledged delivery through liborvikclient (one client per\n"
      "                  connection); reports acknowledged records/s and the latency\n"
      "                  from send to acknowledgement (median, 99th percentile)\n"
      "  -h              this help\n"
      "  -V              the version\n"
      "Output ends with one line \"RESULT key=value ...\" for scripts.\n"
      "Exit status: 0 done (and, with -w, every record counted in order), 1 records\n"
      "missing or out of order, 64 usage error, 69 no connection, 74 sending failed.\n",
      kTool, orvikevt::kConnectionOptionHelp);
}

struct Settings {
  orvikevt::ConnectionOptions connection;
  unsigned long connections = 1;
  unsigned long long records = 100000;
  unsigned long batch = 40;
  std::string count_file;
  double timeout_seconds = 120;
  bool acknowledged = false;
  unsigned long long rate = 0;  // records/s per connection with -a; 0: as fast as it goes
};

int parse(int argc, char **argv, Settings &settings) {
  auto own_option = [&settings](int option, const char *value) {
    unsigned long long number = 0;
    switch (option) {
      case 'j':
      case 'b':
        if (!orvikevt::ParseUnsigned(value, 10, false, 4096, &number)) {
          std::fprintf(stderr, "%s: -%c needs a number from 1 to 4096\n", kTool, option);
          return orvikevt::kExitUsage;
        }
        (option == 'j' ? settings.connections : settings.batch) = number;
        return 0;
      case 'n':
        if (!orvikevt::ParseUnsigned(value, 10, false, 1ull << 40, &settings.records)) {
          std::fprintf(stderr, "%s: -n needs a positive number\n", kTool);
          return orvikevt::kExitUsage;
        }
        return 0;
      case 'w':
        settings.count_file = value;
        return 0;
      case 't':
        if (!orvikevt::ParseUnsigned(value, 10, false, 86400, &number)) {
          std::fprintf(stderr, "%s: -t needs seconds\n", kTool);
          return orvikevt::kExitUsage;
        }
        settings.timeout_seconds = static_cast<double>(number);
        return 0;
      case 'a':
        settings.acknowledged = true;
        return 0;
      case 'r':
        if (!orvikevt::ParseUnsigned(value, 10, false, 100000000, &settings.rate)) {
          std::fprintf(stderr, "%s: -r needs records per second\n", kTool);
          return orvikevt::kExitUsage;
        }
        return 0;
      case 'h':
        print_usage(stdout);
        return -1;
      default:
        print_usage(stderr);
        return orvikevt::kExitUsage;
    }
  };
  if (int status = orvikevt::ParseCommandLine(kTool, argc, argv, "j:n:b:w:t:ar:h",
                                              settings.connection, own_option);
      status != 0) {
    return status;
  }
  if (optind < argc) {
    std::fprintf(stderr, "%s: unexpected argument '%s'\n", kTool, argv[optind]);
    return orvikevt::kExitUsage;
  }
  return orvikevt::CheckConnectionOptions(kTool, settings.connection);
}

// The counting module's figures, read from its file.
std::map<std::string, std::string> read_figures(const std::string &path) {
  std::map<std::string, std::string> figures;
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    auto equals = line.find('=');
    if (equals != std::string::npos) figures[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return figures;
}

uint64_t figure(const std::map<std::string, std::string> &figures, const char *name) {
  auto found = figures.find(name);
  return found == figures.end() ? 0 : std::strtoull(found->second.c_str(), nullptr, 10);
}

uint64_t realtime_ns() {
  timespec now = {};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

// Sends records numbered 0..records-1 of one stream, batch records per write.
int send_stream(CommChannel *channel, uint32_t stream, unsigned long long records,
                unsigned long batch) {
  std::vector<EventData> buffer(batch);
  orvikevt::EventFields fields;
  fields.host = "orvikevt-bench";
  fields.object = "generated";
  fields.flags = orvikevt::kSequencedFlag;
  fields.rc = stream;
  fields.data = "orvikevt-bench record ................................................";
  for (EventData &record : buffer) orvikevt::BuildRecord(fields, &record);
  for (unsigned long long sent = 0; sent < records;) {
    unsigned long long count = records - sent < batch ? records - sent : batch;
    for (unsigned long long i = 0; i < count; ++i) {
      // The position is the only field that changes: set it in network order.
      uint64_t position = sent + i;
      buffer[i].timestamp = htobe64(position);
    }
    int status = orvikevt::WriteAll(kTool, channel, reinterpret_cast<const char *>(buffer.data()),
                                    count * sizeof(EventData));
    if (status != 0) return status;
    sent += count;
  }
  return orvikevt::kExitOk;
}

double megabytes(unsigned long long records) {
  return static_cast<double>(records) * EVENTDATA_SIZE / 1e6;
}

// Today's clients: C connections written directly, B records per write.
int send_plain(const Settings &settings, uint32_t stream_base, uint64_t *start_ns,
               uint64_t *sent_ns) {
  int status = 0;
  orvikevt::Transport transport;
  if ((status = transport.Load(kTool, settings.connection)) != 0) return status;
  std::vector<CommChannel *> channels(settings.connections, nullptr);
  for (CommChannel *&channel : channels) {
    if ((status = transport.Connect(kTool, settings.connection, &channel)) != 0) {
      for (CommChannel *&open : channels) orvikevt::Disconnect(&open);
      return status;
    }
  }

  std::vector<int> results(settings.connections, 0);
  std::vector<std::thread> senders;
  *start_ns = realtime_ns();
  for (unsigned long i = 0; i < settings.connections; ++i) {
    senders.emplace_back([&, i] {
      results[i] = send_stream(channels[i], stream_base + static_cast<uint32_t>(i),
                               settings.records, settings.batch);
    });
  }
  for (std::thread &sender : senders) sender.join();
  *sent_ns = realtime_ns();
  for (CommChannel *&channel : channels) orvikevt::Disconnect(&channel);
  for (int result : results) {
    if (result != 0) return result;
  }

  return orvikevt::kExitOk;
}

// Times from sending records to their acknowledgement, in nanoseconds.
struct Latencies {
  std::vector<uint64_t> samples;
};

// One acknowledged connection: a library client, and the send times of
// every stride-th record (record number i + 1 has position i).
struct AcknowledgedStream {
  OrvikClient *client = nullptr;
  std::vector<uint64_t> sent_at;     // steady-clock ns, by position / stride
  std::atomic<uint64_t> sampled{0};  // entries of sent_at filled
  size_t measured = 0;               // entries whose acknowledgement was seen (poller's)
  int status = 0;
};

uint64_t steady_ns() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

int send_acknowledged_stream(const Settings &settings, uint32_t stream, uint64_t stride,
                             AcknowledgedStream &out) {
  orvikevt::EventFields fields;
  fields.host = "orvikevt-bench";
  fields.object = "generated";
  fields.flags = orvikevt::kSequencedFlag;
  fields.rc = stream;
  fields.data = "orvikevt-bench record ................................................";
  EventData record;
  orvikevt::FillRecord(fields, &record);
  int timeout_ms = static_cast<int>(settings.timeout_seconds * 1000);
  uint64_t begin_ns = steady_ns();
  for (unsigned long long position = 0; position < settings.records; ++position) {
    record.timestamp = position;
    if (settings.rate > 0) {
      // Whole seconds and the rest apart: position * 1e9 alone could overflow.
      uint64_t due = begin_ns + position / settings.rate * 1000000000ull +
                     position % settings.rate * 1000000000ull / settings.rate;
      uint64_t now = steady_ns();
      // Records that are due go at once; the thread sleeps only when a
      // millisecond or more ahead, as a busy application would send.
      if (due > now + 1000000) std::this_thread::sleep_for(std::chrono::nanoseconds(due - now));
    }
    if (position % stride == 0) {
      out.sent_at[position / stride] = steady_ns();
      out.sampled.store(position / stride + 1, std::memory_order_release);
    }
    if (int status = orvikevt::SendRecord(kTool, out.client, record, timeout_ms, 1); status != 0) {
      return status;
    }
  }
  return orvikevt::AwaitDelivery(kTool, out.client, timeout_ms, 1);
}

// Looks at the clients' acknowledged counts until every record is
// acknowledged or the senders are done, and takes the latency of each
// sampled record as its acknowledgement is seen.
void watch_acknowledgements(std::vector<std::unique_ptr<AcknowledgedStream>> &streams,
                            uint64_t stride, const std::atomic<bool> &senders_done,
                            Latencies *latencies) {
  bool more = true;
  while (more) {
    more = !senders_done.load();
    for (auto &stream : streams) {
      OrvikClientCounters counters{};
      orvik_client_counters(stream->client, &counters);
      uint64_t now = steady_ns();
      size_t sampled = stream->sampled.load(std::memory_order_acquire);
      while (stream->measured < sampled && stream->measured * stride + 1 <= counters.acknowledged) {
        latencies->samples.push_back(now - stream->sent_at[stream->measured]);
        ++stream->measured;
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

// Acknowledged delivery: one library client per connection.
int send_acknowledged(const Settings &settings, uint32_t stream_base, uint64_t *start_ns,
                      uint64_t *sent_ns, Latencies *latencies) {
  // Up to 65536 samples per connection.
  uint64_t stride = std::max<uint64_t>(1, settings.records / 65536);
  std::vector<std::unique_ptr<AcknowledgedStream>> streams;
  int status = orvikevt::kExitOk;
  for (unsigned long i = 0; i < settings.connections && status == 0; ++i) {
    streams.push_back(std::make_unique<AcknowledgedStream>());
    streams.back()->sent_at.resize(settings.records / stride + 1);
    status = orvikevt::NewLibraryClient(kTool, settings.connection,
                                        orvikevt::DaemonList(settings.connection), "acknowledged",
                                        0, &streams.back()->client);
  }
  if (status == 0) {
    std::atomic<bool> senders_done{false};
    *start_ns = realtime_ns();
    std::thread watcher([&] { watch_acknowledgements(streams, stride, senders_done, latencies); });
    std::vector<std::thread> senders;
    for (unsigned long i = 0; i < settings.connections; ++i) {
      senders.emplace_back([&, i] {
        streams[i]->status = send_acknowledged_stream(
            settings, stream_base + static_cast<uint32_t>(i), stride, *streams[i]);
      });
    }
    for (std::thread &sender : senders) sender.join();
    *sent_ns = realtime_ns();
    senders_done = true;
    watcher.join();
  }
  for (auto &stream : streams) {
    if (stream->client != nullptr) orvik_client_free(&stream->client, 0, nullptr);
    if (status == 0) status = stream->status;
  }
  return status;
}

double percentile_ms(std::vector<uint64_t> &samples, double fraction) {
  if (samples.empty()) return 0;
  size_t index = static_cast<size_t>(fraction * static_cast<double>(samples.size() - 1));
  std::nth_element(samples.begin(), samples.begin() + static_cast<long>(index), samples.end());
  return static_cast<double>(samples[index]) / 1e6;
}

// Every sender ends with a flush: all its records were acknowledged by
// acknowledged_ns.
void print_acknowledgements(Latencies &latencies, unsigned long long total, uint64_t start_ns,
                            uint64_t acknowledged_ns) {
  double seconds = static_cast<double>(acknowledged_ns - start_ns) / 1e9;
  double p50 = percentile_ms(latencies.samples, 0.5);
  double p99 = percentile_ms(latencies.samples, 0.99);
  std::printf(" ack_rps=%.0f ack_p50_ms=%.3f ack_p99_ms=%.3f ack_samples=%zu",
              static_cast<double>(total) / seconds, p50, p99, latencies.samples.size());
}

}  // namespace

int main(int argc, char **argv) {
  Settings settings;
  int status = parse(argc, argv, settings);
  if (status != 0) return status < 0 ? orvikevt::kExitOk : status;

  uint64_t baseline_count = 0;
  uint64_t baseline_errors = 0;
  if (!settings.count_file.empty()) {
    auto figures = read_figures(settings.count_file);
    if (figures.empty()) {
      std::fprintf(stderr, "%s: cannot read the count file %s\n", kTool,
                   settings.count_file.c_str());
      return orvikevt::kExitUsage;
    }
    baseline_count = figure(figures, "count");
    baseline_errors = figure(figures, "sequence_errors");
  }

  uint32_t stream_base = static_cast<uint32_t>(getpid()) * 2654435761u ^
                         static_cast<uint32_t>(orvikevt::NowMicroseconds());
  uint64_t start_ns = 0;
  uint64_t sent_ns = 0;
  Latencies latencies;
  status = settings.acknowledged
               ? send_acknowledged(settings, stream_base, &start_ns, &sent_ns, &latencies)
               : send_plain(settings, stream_base, &start_ns, &sent_ns);
  if (status != 0) return status;

  unsigned long long total = settings.records * settings.connections;
  double send_seconds = static_cast<double>(sent_ns - start_ns) / 1e9;
  std::printf(
      "sent: %lu connections x %llu records, %lu per write: %.3f s, %.0f records/s, "
      "%.1f MB/s\n",
      settings.connections, settings.records, settings.batch, send_seconds,
      static_cast<double>(total) / send_seconds, megabytes(total) / send_seconds);
  std::printf("RESULT connections=%lu batch=%lu records=%llu send_rps=%.0f", settings.connections,
              settings.batch, total, static_cast<double>(total) / send_seconds);
  if (settings.acknowledged) print_acknowledgements(latencies, total, start_ns, sent_ns);
  if (settings.count_file.empty()) {
    std::printf("\n");
    return orvikevt::kExitOk;
  }

  // Wait until the counting module has handled every record.
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(settings.timeout_seconds);
  std::map<std::string, std::string> figures;
  uint64_t counted = 0;
  while (true) {
    figures = read_figures(settings.count_file);
    counted = figure(figures, "count") - baseline_count;
    if (counted >= total || std::chrono::steady_clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  uint64_t errors = figure(figures, "sequence_errors") - baseline_errors;
  double seconds = static_cast<double>(figure(figures, "last_ns") - start_ns) / 1e9;
  std::printf(" counted=%" PRIu64 " sequence_errors=%" PRIu64
              " e2e_seconds=%.3f e2e_rps=%.0f"
              " e2e_mbps=%.1f\n",
              counted, errors, seconds, static_cast<double>(counted) / seconds,
              megabytes(counted) / seconds);
  if (counted != total || errors != 0) {
    std::fprintf(stderr, "%s: %" PRIu64 " of %llu records counted, %" PRIu64 " out of sequence\n",
                 kTool, counted, total, errors);
    return 1;
  }
  std::printf("end to end: %llu records counted in %.3f s: %.0f records/s, %.1f MB/s\n", total,
              seconds, static_cast<double>(total) / seconds, megabytes(total) / seconds);
  return orvikevt::kExitOk;
}

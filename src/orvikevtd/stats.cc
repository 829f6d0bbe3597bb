// Statistics: a log line per STATSINTERVAL and a Prometheus text file
// (STATSFILE) for node_exporter's textfile collector.
//
// Counting costs intake nothing shared: the main thread counts what it
// owns (records received, connections, paused time) and reads those counts
// itself; the processing thread counts records handled and each module's
// figures in its own data and copies them into `published` under
// statsmutex only now and then: at most every kPublishEvery while it is
// busy, and before it waits for more work so that an idle daemon shows
// every record. The main thread copies `published` once per interval.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "evtserver.h"

namespace orvikevtd {
namespace {

using orvik::kNsPerSecond;
// Longest a busy processing thread keeps its figures to itself.
constexpr int64_t kPublishEvery = 100000000;

int64_t seconds_to_ns(double seconds) {
  return static_cast<int64_t>(seconds * static_cast<double>(kNsPerSecond));
}

double ns_to_seconds(uint64_t ns) {
  return static_cast<double>(ns) / static_cast<double>(kNsPerSecond);
}

// Seconds paused at the cap so far, the pause in progress included.
uint64_t paused_ns(const EvtServer &server, int64_t now) {
  const EvtServer::IntakeCounters &intake = server.intake;
  uint64_t total = intake.paused_ns;
  if (intake.paused_since != 0 && now > intake.paused_since) {
    total += static_cast<uint64_t>(now - intake.paused_since);
  }
  return total;
}

struct QueueFigures {
  long total = 0;
  long in_use = 0;  // not waiting empty: the current queue and the full ones
  long full = 0;    // handed to the processing thread and not yet emptied
};

QueueFigures count_queues(EvtServer &server) {
  int empty = 0;
  {
    MutexLock lock(&server.inqmutex);
    slist_item_count(server.inqlist, &empty);
  }
  QueueFigures figures;
  figures.total = server.queuetotal.load();
  figures.in_use = std::max(0L, figures.total - empty);
  figures.full = std::max(0L, figures.in_use - (server.inqcurrent != nullptr ? 1 : 0));
  return figures;
}

double per_second(uint64_t count, int64_t elapsed_ns) {
  return elapsed_ns > 0 ? static_cast<double>(count) / ns_to_seconds(elapsed_ns) : 0.0;
}

// Records handed to a module that it has not committed yet.
uint64_t commit_lag(const ModuleCounters &module) {
  return module.events - std::min(module.committed, module.events);
}

uint64_t largest_commit_lag(const std::vector<ModuleCounters> &modules) {
  uint64_t largest = 0;
  for (const ModuleCounters &module : modules) largest = std::max(largest, commit_lag(module));
  return largest;
}

void log_figures(EvtServer &server, int64_t now, const QueueFigures &queues) {
  EvtServer::Reporter &reporter = server.reporter;
  uint64_t received = server.intake.received - reporter.last_received;
  uint64_t handled = reporter.copy.handled - reporter.last_handled;
  uint64_t paused = paused_ns(server, now);
  int64_t elapsed = now - reporter.last_line_at;
  log_entry(server,
            "Statistics: %llu records received (%.1f/s), %llu handed to the modules (%.1f/s), "
            "%ld connections open, %ld of %ld queues in use, intake paused %.3f s, "
            "%zu streams, %llu acks, %llu duplicates, commit lag %llu\n",
            static_cast<unsigned long long>(received), per_second(received, elapsed),
            static_cast<unsigned long long>(handled), per_second(handled, elapsed),
            server.connections_open, queues.in_use, queues.total,
            ns_to_seconds(paused - reporter.last_paused_ns), server.ack.streams.size(),
            static_cast<unsigned long long>(server.ack.frames_sent - reporter.last_frames),
            static_cast<unsigned long long>(server.ack.duplicates - reporter.last_duplicates),
            static_cast<unsigned long long>(largest_commit_lag(reporter.copy.modules)));
  reporter.last_frames = server.ack.frames_sent;
  reporter.last_duplicates = server.ack.duplicates;
  reporter.last_line_at = now;
  reporter.last_received = server.intake.received;
  reporter.last_handled = reporter.copy.handled;
  reporter.last_paused_ns = paused;
}

// ---- the text exposition format ----

void add_family(std::string &out, const char *name, const char *type, const char *help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

// A label value escaped as the format requires: backslash, double quote
// and line feed.
void add_label_value(std::string &out, const std::string &value) {
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
}

void add_sample(std::string &out, const char *name, unsigned long long value) {
  char number[32];
  std::snprintf(number, sizeof(number), " %llu\n", value);
  out += name;
  out += number;
}

void add_seconds(std::string &out, const char *name, uint64_t ns) {
  char number[40];
  std::snprintf(number, sizeof(number), " %.9f\n", ns_to_seconds(ns));
  out += name;
  out += number;
}

struct ModuleFamily {
  const char *name;
  const char *type;
  const char *help;
};

constexpr ModuleFamily kModuleFamilies[] = {
    {"orvikevtd_module_events_total", "counter", "Records handed to the module."},
    {"orvikevtd_module_errors_total", "counter", "Non-zero results of the module's handle_event."},
    {"orvikevtd_module_seconds_total", "counter", "Seconds spent in the module's handle_event."},
    {"orvikevtd_module_commit_lag", "gauge",
     "Records handed to the module that it has not made durable yet."},
};

void add_module_families(std::string &out, const EvtServer::Reporter &reporter) {
  const std::vector<ModuleCounters> &modules = reporter.copy.modules;
  for (int family = 0; family < 4; ++family) {
    const ModuleFamily &f = kModuleFamilies[family];
    add_family(out, f.name, f.type, f.help);
    for (size_t i = 0; i < modules.size() && i < reporter.module_paths.size(); ++i) {
      std::string name = std::string(f.name) + "{module=\"";
      add_label_value(name, reporter.module_paths[i]);
      name += "\"}";
      if (family == 0) add_sample(out, name.c_str(), modules[i].events);
      if (family == 1) add_sample(out, name.c_str(), modules[i].errors);
      if (family == 2) add_seconds(out, name.c_str(), modules[i].nanoseconds);
      if (family == 3) add_sample(out, name.c_str(), commit_lag(modules[i]));
    }
  }
}

void add_ack_families(std::string &out, const EvtServer &server) {
  add_family(out, "orvikevtd_ack_streams", "gauge",
             "Streams of acknowledged clients the daemon remembers.");
  add_sample(out, "orvikevtd_ack_streams", server.ack.streams.size());
  add_family(out, "orvikevtd_ack_frames_total", "counter", "Acknowledgements sent to clients.");
  add_sample(out, "orvikevtd_ack_frames_total", server.ack.frames_sent);
  add_family(out, "orvikevtd_ack_duplicates_total", "counter",
             "Records of acknowledged clients read before, dropped.");
  add_sample(out, "orvikevtd_ack_duplicates_total", server.ack.duplicates);
}

std::string exposition(EvtServer &server, int64_t now, const QueueFigures &queues) {
  const EvtServer::Reporter &reporter = server.reporter;
  std::string out;
  add_family(out, "orvikevtd_events_received_total", "counter", "Records received from clients.");
  add_sample(out, "orvikevtd_events_received_total", server.intake.received);
  add_family(out, "orvikevtd_events_handled_total", "counter",
             "Records that passed the whole module chain.");
  add_sample(out, "orvikevtd_events_handled_total", reporter.copy.handled);
  add_family(out, "orvikevtd_connections_open", "gauge",
             "Client connections open now, handshakes in progress included.");
  add_sample(out, "orvikevtd_connections_open",
             static_cast<unsigned long long>(std::max(0L, server.connections_open)));
  add_family(out, "orvikevtd_connections_total", "counter", "Client connections accepted.");
  add_sample(out, "orvikevtd_connections_total", server.conncount);
  add_family(out, "orvikevtd_queues_total", "gauge", "Event queues in the pool.");
  add_sample(out, "orvikevtd_queues_total", static_cast<unsigned long long>(queues.total));
  add_family(out, "orvikevtd_queues_in_use", "gauge",
             "Queues not waiting empty: the one being filled and the full ones.");
  add_sample(out, "orvikevtd_queues_in_use", static_cast<unsigned long long>(queues.in_use));
  add_family(out, "orvikevtd_queues_full", "gauge",
             "Full queues handed to the processing thread and not yet emptied.");
  add_sample(out, "orvikevtd_queues_full", static_cast<unsigned long long>(queues.full));
  add_family(out, "orvikevtd_intake_paused_seconds_total", "counter",
             "Seconds intake was paused because the queue pool was at its cap.");
  add_seconds(out, "orvikevtd_intake_paused_seconds_total", paused_ns(server, now));
  add_ack_families(out, server);
  add_module_families(out, reporter);
  return out;
}

// Writes all of text to fd; 0 or an errno number.
int write_all(int fd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    done += static_cast<size_t>(n);
  }
  return 0;
}

// Replaces path with text: a new file in the same folder, renamed over it,
// so that a reader sees the old figures or the new ones, never a mix.
// 0 or an errno number.
int replace_file(const char *path, const std::string &text) {
  std::string temporary = std::string(path) + ".XXXXXX";
  int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  int status = write_all(fd, text);
  // Readable by the collector, which often runs as another user.
  if (status == 0 && fchmod(fd, 0644) != 0) status = errno;
  if (close(fd) != 0 && status == 0) status = errno;
  if (status == 0 && rename(temporary.c_str(), path) != 0) status = errno;
  if (status != 0) unlink(temporary.c_str());
  return status;
}

void write_stats_file(EvtServer &server, int64_t now, const QueueFigures &queues) {
  int status = replace_file(server.statsfile, exposition(server, now, queues));
  if (status == 0) {
    server.reporter.file_failure.End();
  } else if (server.reporter.file_failure.Begin()) {
    log_entry(server, "Failed to write statistics file %s (rc=%d)\n", server.statsfile, status);
  }
}

}  // namespace

double stats_period(const EvtServer &server) {
  if (server.statsinterval > 0) return server.statsinterval;
  return server.statsfile[0] != '\0' ? 1.0 : 0.0;
}

void stats_prepare(EvtServer &server) {
  std::vector<std::string> paths;
  {
    MutexLock lock(&server.modmutex);
    for (SList *node = server.modlist; node != nullptr; node = slist_get_next(node)) {
      paths.emplace_back(static_cast<OrvikEHModule *>(slist_get_data(node))->modulepath);
    }
  }
  {
    MutexLock lock(&server.statsmutex);
    server.published.modules.assign(paths.size(), ModuleCounters{});
  }
  EvtServer::Reporter &reporter = server.reporter;
  reporter.copy.modules.assign(paths.size(), ModuleCounters{});
  reporter.module_paths = std::move(paths);
  int64_t now = monotonic_ns();
  reporter.last_line_at = now;
  reporter.next_due = now + seconds_to_ns(stats_period(server));
}

void stats_intake_paused(EvtServer &server) {
  server.intake.paused_since = monotonic_ns();
}

void stats_intake_resumed(EvtServer &server) {
  EvtServer::IntakeCounters &intake = server.intake;
  if (intake.paused_since == 0) return;
  int64_t now = monotonic_ns();
  if (now > intake.paused_since)
    intake.paused_ns += static_cast<uint64_t>(now - intake.paused_since);
  intake.paused_since = 0;
}

void stats_publish(EvtServer &server, int64_t now, bool idle) {
  EvtServer::ProcessingCounters &own = server.processing;
  // While a module has records to commit, its lag changes without new ones.
  if (own.handled == own.published && !own.lag_open) return;
  if (now == 0) now = monotonic_ns();
  if (!idle && now < own.next_publish) return;
  MutexLock modules(&server.modmutex);
  // Asked before statsmutex is taken: a module's lock never nests in it.
  own.lag_open = false;
  for (SList *node = server.modlist; node != nullptr; node = slist_get_next(node)) {
    auto *module = static_cast<OrvikEHModule *>(slist_get_data(node));
    module->counters.committed = module_committed_now(module);
    own.lag_open = own.lag_open || commit_lag(module->counters) > 0;
  }
  MutexLock lock(&server.statsmutex);
  server.published.handled = own.handled;
  std::vector<ModuleCounters> &figures = server.published.modules;
  size_t index = 0;
  for (SList *node = server.modlist; node != nullptr && index < figures.size();
       node = slist_get_next(node), ++index) {
    figures[index] = static_cast<OrvikEHModule *>(slist_get_data(node))->counters;
  }
  own.published = own.handled;
  own.next_publish = now + std::min(kPublishEvery, seconds_to_ns(stats_period(server)) / 4);
}

void stats_tick(EvtServer &server) {
  double period = stats_period(server);
  if (period <= 0) return;
  int64_t now = monotonic_ns();
  EvtServer::Reporter &reporter = server.reporter;
  if (now < reporter.next_due) return;
  reporter.next_due = now + seconds_to_ns(period);
  {
    // The sizes are equal, so the copy allocates nothing.
    MutexLock lock(&server.statsmutex);
    reporter.copy.handled = server.published.handled;
    std::copy(server.published.modules.begin(), server.published.modules.end(),
              reporter.copy.modules.begin());
  }
  QueueFigures queues = count_queues(server);
  if (server.statsinterval > 0) log_figures(server, now, queues);
  if (server.statsfile[0] == '\0') return;
  try {
    write_stats_file(server, now, queues);
  } catch (const std::bad_alloc &) {
    // No memory for the text this time: the file keeps its last figures.
  }
}

}  // namespace orvikevtd

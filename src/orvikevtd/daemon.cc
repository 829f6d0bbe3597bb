// Start-up in its fixed order, then the comm loop; stop.cc ends the process.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "evtserver.h"

namespace orvikevtd {
namespace {

// Tells the parent waiting for a detached start-up how it ended.
void report_startup(EvtServer &server, int status) {
  if (server.startup_report_fd < 0) return;
  auto byte = static_cast<unsigned char>(status);
  ssize_t written;
  do {
    written = write(server.startup_report_fd, &byte, 1);
  } while (written < 0 && errno == EINTR);
  close(server.startup_report_fd);
  server.startup_report_fd = -1;
}

[[noreturn]] void exit_with_log_closed(EvtServer &server, int status) {
  log_close(server);
  report_startup(server, status);
  std::exit(status);
}

// Ends start-up after the comm plug-in is loaded: unloads it, logs and exits
// with status.
[[noreturn]] void close_and_exit(EvtServer &server, int status) {
  comm_plugin_unload(&server.cm);
  log_entry(server, "Exiting.\n");
  exit_with_log_closed(server, status);
}

// Ends start-up after the listener joined the group: the setup failed.
[[noreturn]] void close_listener_and_exit(EvtServer &server) {
  comm_group_remove(server.cg, server.ccs);
  comm_close(&server.ccs, 0);
  close_and_exit(server, kExitSetup);
}

// The parent of a detached start-up: waits until the child has started or
// failed, and ends with its status, so that a start-up failure is seen by
// whoever started the daemon. A child that ends without a word counts as
// failed.
[[noreturn]] void await_detached_startup(int report_fd) {
  unsigned char status = kExitUsage;
  ssize_t got;
  do {
    got = read(report_fd, &status, 1);
  } while (got < 0 && errno == EINTR);
  _exit(got == 1 ? status : kExitUsage);
}

// Detaches from the terminal; only the child returns.
void detach(EvtServer &server) {
  // Entries still buffered would otherwise be written by both processes.
  log_flush(server);
  std::fflush(stdout);
  std::fflush(stderr);
  int report[2] = {-1, -1};
  // Without the pipe the parent ends at once, as it always did.
  if (pipe2(report, O_CLOEXEC) != 0) report[0] = report[1] = -1;
  pid_t child = fork();
  if (child < 0) std::exit(kExitUsage);
  // The parent leaves without flushing streams the child also holds.
  if (child > 0) {
    if (report[0] < 0) _exit(0);
    close(report[1]);
    await_detached_startup(report[0]);
  }
  if (report[0] >= 0) close(report[0]);
  server.startup_report_fd = report[1];
  // "/" always exists; should it fail, the daemon keeps its folder.
  [[maybe_unused]] int changed = chdir("/");
  setsid();
  umask(0);
  // The standard descriptors leave the terminal for /dev/null. They are
  // replaced, never closed: were one closed, the next file opened would
  // take its number and standard output would write into it.
  int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) return;
  for (int fd = 2; fd >= 0; --fd) dup2(null_fd, fd);
  if (null_fd > 2) close(null_fd);
}

// Opens /dev/null on each of descriptors 0 to 2 that is closed, before the
// daemon opens anything: its log or a module's file would otherwise get a
// standard descriptor's number, which detaching replaces and which a stray
// write to a standard stream would reach.
void occupy_standard_descriptors() {
  for (;;) {
    int fd = open("/dev/null", O_RDWR);
    if (fd < 0) return;
    if (fd > 2) {
      close(fd);
      return;
    }
  }
}

void set_defaults(EvtServer &server) {
  std::snprintf(server.config_file, sizeof(server.config_file), "%s", kDefaultConfigFile);
  std::snprintf(server.log_file, sizeof(server.log_file), "%s", kDefaultLogFile);
  server.queuesize = kDefaultQueueSize;
  server.queuecount = kInitialQueueCount;
  server.serverport = kDefaultPort;
  server.eventsize = EVENTDATA_SIZE;
}

// How often the loop's tick runs: once a second (signals are also looked
// at there, a second safety net beside the wake-up), and for each timer
// (QUEUEFLUSH, statistics) a quarter of its time, between 10 ms and 250 ms.
long tick_interval_us(const EvtServer &server) {
  long interval = 1000000;
  auto shorten_for = [&interval](double seconds) {
    double quarter = seconds * 1e6 / 4;
    long tick = quarter < 10000 ? 10000 : quarter > 250000 ? 250000 : static_cast<long>(quarter);
    if (tick < interval) interval = tick;
  };
  if (server.queueflush > 0) shorten_for(server.queueflush);
  if (stats_period(server) > 0) shorten_for(stats_period(server));
  if (server.idletimeout > 0) shorten_for(server.idletimeout);
  if (notify_watchdog_seconds(server) > 0) shorten_for(notify_watchdog_seconds(server));
  return interval;
}

// Creates the listener on EVENTADDRESS (every address when none is set).
bool bind_listener(EvtServer &server) {
  const char *address = server.eventaddress[0] != '\0' ? server.eventaddress : nullptr;
  int status = comm_bind(server.cm, &server.ccs, address, server.serverport);
  if (status == 0) return true;
  log_startup_failure(server, "cannot listen on %s port %d: %s\n",
                      address != nullptr ? address : "every address", server.serverport,
                      std::strerror(status));
  if (address == nullptr) {
    log_entry(server, "Failed to bind to port.\n");
  } else {
    log_entry(server, "Failed to bind to address %s port %d (rc=%d).\n", address, server.serverport,
              status);
  }
  return false;
}

// HANDSHAKETIMEOUT, when set; without it the comm layer keeps its own.
bool set_handshake_timeout(EvtServer &server) {
  if (server.handshaketimeout <= 0) return true;
  long microseconds = static_cast<long>(server.handshaketimeout * 1e6);
  int status = comm_group_set_option(server.cg, COMM_OPT_HANDSHAKE_TIMEOUT_US, microseconds);
  if (status == 0) return true;
  log_entry(server, "Failed in comm_group_set_option(). rc=%d\n", status);
  return false;
}

}  // namespace

EvtServer &orvikevtd_server() {
  static EvtServer *const server = new EvtServer;
  return *server;
}

int orvikevtd_run(int argc, char **argv) {
  occupy_standard_descriptors();
  EvtServer &server = orvikevtd_server();
  set_defaults(server);
  if (int status = parse_command_line(server, argc, argv); status >= 0) std::exit(status);
  if (server.check_only) check_and_exit(server);
  if (!log_open(server)) {
    int error = errno;
    std::fputs("Failed to open logfile\n", stderr);
    std::fprintf(stderr, "orvikevtd: cannot open log file %s: %s\n", server.log_file,
                 std::strerror(error));
    std::exit(kExitLogFile);
  }
  log_entry(server, "orvikevtd - Version %s\n", kVersion);
  log_entry(server, "Starting system...\n");
  pthread_attr_init(&server.threadattr);
  pthread_attr_setdetachstate(&server.threadattr, PTHREAD_CREATE_DETACHED);

  if (comm_group_new(&server.cg, handle_connection_io) != 0) {
    log_entry(server, "Failed to create comm group.\n");
    exit_with_log_closed(server, kExitConfiguration);
  }
  comm_group_set_wakeup_callback(server.cg, on_loop_wakeup, &server);
  if (int status = read_configuration(server); status != 0) exit_with_log_closed(server, status);
  log_if_no_module(server);
  signals_install();
  if (!(server.flags & kFlagForeground)) detach(server);

  if (int status = load_comm_layer(server); status != 0) {
    log_entry(server, "Failed to initialize comm layer.\n");
    exit_with_log_closed(server, status);
  }
  log_entry(server, "Cipher preference: %s\n", comm_plugin_message());
  if (!allocate_queues(server)) {
    log_entry(server, "Failed to allocate event queues.\n");
    close_and_exit(server, kExitQueues);
  }
  log_entry(server, "Successfully allocated %d event queues, of size %ld.\n", server.queuecount,
            server.queuesize);
  if (!bind_listener(server)) close_and_exit(server, kExitListener);
  if (int status = comm_group_add(server.cg, server.ccs, nullptr, 1); status != 0) {
    log_entry(server, "Failed in comm_group_add(). rc=%d\n", status);
    comm_close(&server.ccs, 0);
    close_and_exit(server, kExitSetup);
  }
  if (int status = comm_group_set_option(server.cg, COMM_OPT_LOOP_TIMEOUT_US, 60000000);
      status != 0) {
    log_entry(server, "Failed in comm_group_set_option(). rc=%d\n", status);
    close_listener_and_exit(server);
  }
  if (!set_handshake_timeout(server)) close_listener_and_exit(server);
  stats_prepare(server);
  if (int status = processing_start(server); status != 0) {
    log_entry(server, "Failed to spawn event processing thread. rc=%d\n", status);
    close_listener_and_exit(server);
  }
  log_entry(server, "Successfully spawned event handler thread.\n");
  log_entry(server, "System ready.\n");
  log_limit_repeats(server);
  report_startup(server, 0);
  notify_watchdog_prepare(server);
  notify_ready();
  {
    MutexLock lock(&server.inqmutex);
    server.inqcurrent = static_cast<SQueue *>(slist_get_data(server.inqlist));
    if (server.inqcurrent != nullptr) slist_item_remove(&server.inqlist, server.inqcurrent);
  }
  comm_group_set_tick_callback(server.cg, on_loop_tick, &server, tick_interval_us(server));
  comm_group_loop(server.cg);
  stop_after_loop(server);
  return 0;
}

}  // namespace orvikevtd

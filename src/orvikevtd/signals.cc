// Signals: the handler only notes the signal and wakes the comm loop; the
// loop's wake-up callback, on the main thread and outside signal context,
// logs each signal and carries out the shutdown. So no lock held by the
// interrupted code is ever taken in a handler.
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "evtserver.h"

namespace orvikevtd {
namespace {

constexpr std::array<int, 5> kHandledSignals = {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE};

// How often each signal arrived and has not been acted on yet.
std::array<std::atomic<unsigned>, NSIG> caught_signals;
static_assert(std::atomic<unsigned>::is_always_lock_free, "usable in a signal handler");

bool is_terminating(int sig) {
  return sig == SIGINT || sig == SIGQUIT || sig == SIGTERM;
}

// How long the shutdown waits for the record in progress to leave the
// modules; a module that never returns does not hold the shutdown up.
constexpr long kModuleDrainMs = 1000;

// Keeps the processing thread out of the modules for the rest of the
// process: exit() flushes and unbuffers every stdio stream without taking
// their locks and runs the modules' destructors, so a module called
// meanwhile writes into buffers that are being flushed and freed (an event
// log got torn and repeated lines). The thread parks before its next record;
// taking modmutex waits for the record in progress. The lock is never given
// back, the process ends holding it.
// True when the lock was taken: no module runs from then on.
bool keep_modules_idle(EvtServer &server) NO_THREAD_SAFETY_ANALYSIS {
  server.modules_stopped.store(true);
  return server.modmutex.LockWithin(kModuleDrainMs);
}

[[noreturn]] void shut_down(EvtServer &server) {
  comm_close(&server.ccs, 0);
  comm_plugin_unload(&server.cm);
  log_entry(server, "Server shutdown.\n");
  log_close(server);
  end_process(server, keep_modules_idle(server));
}

// SIGTERM and SIGINT drain when a drain time is set, unless a drain runs
// already; SIGQUIT always stops at once.
bool starts_drain(const EvtServer &server, int sig) {
  return sig != SIGQUIT && server.shutdowndrain > 0 && !server.draining.load();
}

void install_handler() {
  struct sigaction action = {};
  action.sa_handler = signal_handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int sig : kHandledSignals) sigaction(sig, &action, nullptr);
}

}  // namespace

void signals_install() {
  install_handler();
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGCHLD, &ignore, nullptr);
}

[[noreturn]] void end_process(EvtServer &server, bool modules_idle) {
  if (!modules_idle && server.drain_cleanup_started.load() && !server.drain_cleanup_done.load()) {
    _exit(0);
  }
  std::exit(0);
}

void signals_handle_caught(EvtServer &server) {
  for (int sig = 1; sig < NSIG; ++sig) {
    for (unsigned count = caught_signals[sig].exchange(0); count > 0; --count) {
      log_entry(server, "Caught signal %d\n", sig);
      if (is_terminating(sig)) notify_stopping();
      if (is_terminating(sig) && starts_drain(server, sig)) {
        // The same signal again, already caught, comes during the drain.
        caught_signals[sig].fetch_add(count - 1);
        drain_and_exit(server);
      }
      if (is_terminating(sig)) shut_down(server);
      // The handler stays installed; installing it again keeps the
      // daemon's answer to these signals the same whatever changed it.
      install_handler();
    }
  }
}

void on_loop_wakeup(CommGroup *, void *arg) {
  auto &server = *static_cast<EvtServer *>(arg);
  signals_handle_caught(server);
  if (server.intake_paused.load()) intake_resume(server);
}

void on_loop_tick(CommGroup *, void *arg) {
  auto &server = *static_cast<EvtServer *>(arg);
  signals_handle_caught(server);
  notify_watchdog(server);
  if (!server.intake_paused.load()) queues_flush_if_due(server);
  stats_tick(server);
}

}  // namespace orvikevtd

extern "C" void signal_handler(int sig) {
  int saved_errno = errno;
  if (sig > 0 && sig < NSIG) orvikevtd::caught_signals[sig].fetch_add(1);
  orvikevtd::EvtServer &server = orvikevtd::orvikevtd_server();
  if (server.cg != nullptr) comm_group_wakeup(server.cg);
  // A drain waits outside the comm loop.
  server.drain_wakeup.Post();
  errno = saved_errno;
}

// Signals: the handler only notes the signal and wakes the comm loop; the
// loop's wake-up callback, on the main thread and outside signal context,
// logs each signal and hands a terminating one to the stop (stop.cc). So no
// lock held by the interrupted code is ever taken in a handler.
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>

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

void signals_handle_caught(EvtServer &server) {
  for (int sig = 1; sig < NSIG; ++sig) {
    for (unsigned count = caught_signals[sig].exchange(0); count > 0; --count) {
      log_entry(server, "Caught signal %d\n", sig);
      if (is_terminating(sig)) {
        // The same signal again, already caught, comes during an orderly stop.
        caught_signals[sig].fetch_add(count - 1);
        stop_on_signal(server, sig);
      }
      // The handler stays installed; installing it again keeps the
      // daemon's answer to these signals the same whatever changed it.
      install_handler();
    }
  }
}

void on_loop_wakeup(CommGroup *, void *arg) {
  auto &server = *static_cast<EvtServer *>(arg);
  signals_handle_caught(server);
  ack_apply_updates(server);
  if (server.intake_paused.load()) intake_resume(server);
}

void on_loop_tick(CommGroup *, void *arg) {
  auto &server = *static_cast<EvtServer *>(arg);
  signals_handle_caught(server);
  if (!server.intake_paused.load()) queues_flush_if_due(server);
  ack_send_waiting(server);
  stats_tick(server);
}

}  // namespace orvikevtd

extern "C" void signal_handler(int sig) {
  int saved_errno = errno;
  if (sig > 0 && sig < NSIG) orvikevtd::caught_signals[sig].fetch_add(1);
  orvikevtd::EvtServer &server = orvikevtd::orvikevtd_server();
  if (server.cg != nullptr) comm_group_wakeup(server.cg);
  // An orderly stop waits outside the comm loop.
  server.stop_wakeup.Post();
  errno = saved_errno;
}

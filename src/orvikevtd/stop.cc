// The stop: every way the daemon ends, as one state machine (EvtServer's
// stop_stage). The main thread drives it; the processing thread takes the
// two cleanup steps.
//
//   kRunning ── SIGINT, SIGQUIT, SIGTERM: hook (c) ──┬── at once ─────────────────────► kEnding
//                                                    │   (SHUTDOWNDRAIN 0, or SIGQUIT)
//                                                    └── orderly ──► kDraining
//   kDraining:   the listener is closed and no socket is read again; hook (a);
//                the records held on connections and in the current queue are
//                handed over; the processing thread delivers them all, then
//   kCleaningUp: runs every module_cleanup and closes the modules;
//   kCleanedUp:  the main thread logs the outcome; hook (b); ──────────────────► kEnding
//   Before kCleanedUp, the drain time running out or a terminating signal
//   leads straight to kEnding.
//   The comm loop returning by itself: hook (c); the main thread cleans the
//   modules up ─────────────────────────────────────────────────────────────────► kEnding
//
// kEnding: no module code is called any more. The main thread takes
// modmutex, which the processing thread holds over each record and over the
// cleanup, and never gives it back. Then the process ends:
//  - with modmutex taken (no module is running) through exit(): stdio
//    buffers are flushed and the modules' destructors and exit hooks run,
//    bounded by a watchdog that ends the process without them once
//    kEndingAllowanceMs have passed;
//  - without it (a module is inside handle_event or module_cleanup and does
//    not come back in time) through _exit(): exit handlers would run beside
//    that module code and tear down what it uses.
// So the stop at once ends within kRecordInProgressMs + kEndingAllowanceMs,
// and the orderly stop within SHUTDOWNDRAIN + kLateModuleMs +
// kEndingAllowanceMs, module destructors included; both with status 0. (The
// loop returns by itself only when epoll fails; that cleanup has no bound.)
#include <signal.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdint>
#include <cstdlib>

#include "evtserver.h"

namespace orvikevtd {
namespace {

// The stop at once lets the record in progress finish for this long.
constexpr long kRecordInProgressMs = 1000;
// An orderly stop out of time waits this long for the record in progress.
constexpr long kLateModuleMs = 250;
// What the process's own ending (exit handlers, module destructors) may take.
constexpr long kEndingAllowanceMs = 2000;

constexpr int64_t kNsPerMs = 1000000;

// Ends the process with status 0 at its deadline, whatever exit() is doing.
void *watchdog(void *deadline_ns) {
  timespec at = orvik::monotonic_timespec(*static_cast<const int64_t *>(deadline_ns));
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) != 0) {
  }
  _exit(0);
}

// Ends the process through exit(), within kEndingAllowanceMs.
[[noreturn]] void exit_within_allowance() {
  static int64_t deadline_ns = 0;
  deadline_ns = monotonic_ns() + kEndingAllowanceMs * kNsPerMs;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  // Without a watchdog the ending could not be bounded: skip the handlers.
  if (pthread_create(&thread, &attributes, watchdog, &deadline_ns) != 0) _exit(0);
  std::exit(0);
}

// The move to kEnding: from here on the processing thread calls no module.
// modules_idle: modmutex was taken within wait_ms (and is never released),
// so no module is running.
struct Ending {
  StopStage from;
  bool modules_idle;
};

Ending begin_ending(EvtServer &server, long wait_ms) NO_THREAD_SAFETY_ANALYSIS {
  StopStage from = server.stop_stage.exchange(StopStage::kEnding);
  return {from, server.modmutex.LockWithin(wait_ms)};
}

[[noreturn]] void end_process(const Ending &ending) {
  if (!ending.modules_idle) _exit(0);
  exit_within_allowance();
}

// The last lines of every stop from a signal.
void close_down(EvtServer &server) {
  comm_plugin_unload(&server.cm);
  log_entry(server, "Server shutdown.\n");
  log_close(server);
}

[[noreturn]] void stop_at_once(EvtServer &server) {
  // Null already when the orderly stop closed it.
  if (server.ccs != nullptr) comm_close(&server.ccs, 0);
  close_down(server);
  end_process(begin_ending(server, kRecordInProgressMs));
}

// ---- the orderly stop ----

// Every record completed on a connection: stored in a queue, waiting for
// one at the pool's cap, or (counted when out of time) still buffered.
uint64_t received(const EvtServer &server) {
  return server.intake.received;
}

// Records received that did not pass every module (yet).
uint64_t not_handled(const EvtServer &server) {
  return received(server) - server.processing.handled.load(std::memory_order_relaxed);
}

[[noreturn]] void run_out_of_time(EvtServer &server) {
  Ending ending = begin_ending(server, kLateModuleMs);
  intake_count_buffered(server);
  log_entry(server,
            "Drain time ran out: %" PRIu64 " events received since start, %" PRIu64
            " not handed to the modules%s.\n",
            received(server), not_handled(server),
            ending.from == StopStage::kCleaningUp ? ", module cleanup unfinished" : "");
  close_down(server);
  end_process(ending);
}

// Waits for the processing thread to make progress, acting on signals
// caught meanwhile: a terminating one stops at once. Runs out of time at
// the deadline.
void wait_for_progress(EvtServer &server, int64_t deadline_ns) {
  signals_handle_caught(server);
  timespec deadline = orvik::monotonic_timespec(deadline_ns);
  bool in_time = server.stop_wakeup.WaitUntil(deadline);
  signals_handle_caught(server);
  if (!in_time) run_out_of_time(server);
}

// The listener leaves and is closed; the comm loop does not run again, so
// no socket is read from here on.
void stop_intake(EvtServer &server) {
  if (!server.listener_resting) comm_group_remove(server.cg, server.ccs);
  comm_close(&server.ccs, 0);
}

void report_drain(EvtServer &server) {
  const char *outcome =
      server.cleanup_failures.load() == 0 ? "Drain complete" : "Drain ended, module cleanup failed";
  log_entry(server,
            "%s: %" PRIu64 " events received since start, %" PRIu64 " not handed to the modules.\n",
            outcome, received(server), not_handled(server));
}

[[noreturn]] void stop_in_order(EvtServer &server) {
  const int64_t deadline =
      monotonic_ns() + static_cast<int64_t>(server.shutdowndrain * orvik::kNsPerSecond);
  server.stop_stage.store(StopStage::kDraining);
  stop_intake(server);
  stop_hook_intake_stopped(server);
  while (!intake_collect_buffered(server)) wait_for_progress(server, deadline);
  queues_finish_intake(server);
  while (server.stop_stage.load() != StopStage::kCleanedUp) wait_for_progress(server, deadline);
  report_drain(server);
  stop_hook_modules_cleaned_up(server, deadline);
  close_down(server);
  // The processing thread has parked: modmutex is free.
  end_process(begin_ending(server, kRecordInProgressMs));
}

}  // namespace

void stop_on_signal(EvtServer &server, int sig) {
  if (server.stop_stage.load() == StopStage::kRunning) {
    stop_hook_begun(server);
    if (sig != SIGQUIT && server.shutdowndrain > 0) stop_in_order(server);
  }
  stop_at_once(server);
}

void stop_after_loop(EvtServer &server) {
  stop_hook_begun(server);
  comm_group_remove(server.cg, server.ccs);
  comm_close(&server.ccs, 0);
  comm_plugin_unload(&server.cm);
  server.stop_stage.store(StopStage::kCleaningUp);
  modules_cleanup(server);
  server.stop_stage.store(StopStage::kCleanedUp);
  end_process(begin_ending(server, kRecordInProgressMs));
}

bool stop_ending(const EvtServer &server) {
  return server.stop_stage.load() == StopStage::kEnding;
}

void stop_note_progress(EvtServer &server) {
  if (server.stop_stage.load() != StopStage::kRunning) server.stop_wakeup.Post();
}

void stop_clean_up_modules(EvtServer &server) {
  // A stop at once or a drain out of time that came first keeps the modules
  // as they are.
  StopStage expected = StopStage::kDraining;
  if (!server.stop_stage.compare_exchange_strong(expected, StopStage::kCleaningUp)) return;
  // What the modules committed by the end of their cleanup is durable: the
  // final positions (hook b) carry it.
  uint64_t committed = 0;
  server.cleanup_failures.store(modules_cleanup(server, &committed));
  durable_release(server, committed);
  expected = StopStage::kCleaningUp;
  server.stop_stage.compare_exchange_strong(expected, StopStage::kCleanedUp);
  server.stop_wakeup.Post();
}

// ---- hook points ----

void stop_hook_begun(EvtServer &) {}

// Acknowledged senders learn at once that nothing more is read.
void stop_hook_intake_stopped(EvtServer &server) {
  ack_announce_stop(server);
}

// Every acknowledged connection gets its final position, so that a
// restart makes no sender resend what was stored.
void stop_hook_modules_cleaned_up(EvtServer &server, int64_t deadline_ns) {
  ack_send_final_positions(server, deadline_ns);
}

}  // namespace orvikevtd

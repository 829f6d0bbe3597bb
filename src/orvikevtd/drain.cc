// The orderly stop (SHUTDOWNDRAIN): on SIGTERM or SIGINT the main thread
// stops intake and hands every record the daemon holds to the processing
// thread, in arrival order: the full queues are there already, then the
// records that waited in their connections' buffers at the pool's cap, then
// the partly filled current queue. The processing thread delivers them and
// then runs every module's module_cleanup in load order, after its last
// handle_event; the main thread ends the process once that is done.
//
// The main thread never runs module code here, so it keeps the clock: it
// waits on a semaphore that the processing thread and the signal handler
// post, and when the drain time runs out, or a terminating signal comes, it
// stops at once whatever the modules are doing. The comm loop does not run
// again, so nothing more is read and records not yet complete are dropped.
#include <cinttypes>
#include <cstdint>
#include <ctime>

#include "evtserver.h"

namespace orvikevtd {
namespace {

// How long a drain that ran out of time waits for the record in progress.
constexpr long kLateModuleMs = 250;
// Longest wait for the final acknowledgements to leave.
constexpr int kFinalFramesMs = 2000;

timespec deadline_after(double seconds) {
  timespec deadline = {};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  auto whole = static_cast<time_t>(seconds);
  long nanoseconds =
      deadline.tv_nsec + static_cast<long>((seconds - static_cast<double>(whole)) * 1e9);
  deadline.tv_sec += whole + nanoseconds / 1000000000;
  deadline.tv_nsec = nanoseconds % 1000000000;
  return deadline;
}

// Every record completed on a connection: stored in a queue, or waiting for
// one at the pool's cap.
uint64_t received(const EvtServer &server) {
  return server.intake.received;
}

// Records received that did not pass every module (yet).
uint64_t not_handled(const EvtServer &server) {
  return received(server) - server.processing.handled.load(std::memory_order_relaxed);
}

// Out of time: the modules are stopped as at once, and the records that did
// not pass every module are counted. Ends the process.
[[noreturn]] void run_out_of_time(EvtServer &server) NO_THREAD_SAFETY_ANALYSIS {
  server.modules_stopped.store(true);
  // Held until the process ends, as in the stop at once.
  bool idle = server.modmutex.LockWithin(kLateModuleMs);
  bool in_cleanup = server.drain_cleanup_started.load() && !server.drain_cleanup_done.load();
  log_entry(server,
            "Drain time ran out: %" PRIu64 " events received since start, %" PRIu64
            " not handed to the modules%s.\n",
            received(server), not_handled(server), in_cleanup ? ", module cleanup unfinished" : "");
  comm_plugin_unload(&server.cm);
  log_entry(server, "Server shutdown.\n");
  log_close(server);
  end_process(server, idle);
}

// Waits for the processing thread to make progress. Acts on signals caught
// meanwhile: a terminating one stops at once. False when the time is up.
bool wait_for_progress(EvtServer &server, const timespec &deadline) {
  signals_handle_caught(server);
  bool in_time = server.drain_wakeup.WaitUntil(deadline);
  signals_handle_caught(server);
  return in_time;
}

// Stores the records held at the pool's cap as queues come back.
void store_stalled_records(EvtServer &server, const timespec &deadline) {
  for (bool in_time = true;; in_time = wait_for_progress(server, deadline)) {
    intake_resume(server);
    if (server.stalled.empty()) return;
    if (!in_time) run_out_of_time(server);
  }
}

void wait_for_cleanup(EvtServer &server, const timespec &deadline) {
  for (bool in_time = true; !server.drain_cleanup_done.load();
       in_time = wait_for_progress(server, deadline)) {
    if (!in_time) run_out_of_time(server);
  }
}

}  // namespace

void drain_and_exit(EvtServer &server) {
  timespec deadline = deadline_after(server.shutdowndrain);
  server.draining.store(true);
  comm_group_remove(server.cg, server.ccs);
  comm_close(&server.ccs, 0);
  // Nothing more is read: acknowledged senders learn it at once.
  ack_announce_stop(server);
  store_stalled_records(server, deadline);
  queues_finish_intake(server);
  wait_for_cleanup(server, deadline);
  // The modules are cleaned up: what they committed is acknowledged, so a
  // restart makes no sender resend what was stored.
  ack_send_final_positions(server, kFinalFramesMs);
  log_entry(server,
            "Drain complete: %" PRIu64 " events received since start, %" PRIu64
            " not handed to the modules.\n",
            received(server), not_handled(server));
  comm_plugin_unload(&server.cm);
  log_entry(server, "Server shutdown.\n");
  log_close(server);
  end_process(server, true);
}

}  // namespace orvikevtd

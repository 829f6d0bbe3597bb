// The processing thread: takes full queues in the order they were filled
// and hands each record, in order, to every module in load order, keeping
// each module's mean time per record.
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <ctime>

#include "evtserver.h"
#include "text_escape.h"

namespace orvikevtd {
namespace {

constexpr uint64_t kReportEvery = 10000;

// The host name and object come from the client: escaped, so that a line
// feed in them cannot start a forged line of the log, and each shown in
// at most 80 characters, so that the entry keeps its own line end.
void log_module_failure(EvtServer &server, OrvikEHModule *module, EventData *record, int rc) {
  char host[EVENTDATA_TEXT_SIZE] = {};
  char object[EVENTDATA_TEXT_SIZE] = {};
  int host_len = sizeof(host);
  int object_len = sizeof(object);
  eventdata_get_hostname(record, host, &host_len);
  eventdata_get_object(record, object, &object_len);
  char escaped_host[orvikevt::EscapedSize(EVENTDATA_TEXT_SIZE)];
  char escaped_object[orvikevt::EscapedSize(EVENTDATA_TEXT_SIZE)];
  orvikevt::EscapeText(host, escaped_host);
  orvikevt::EscapeText(object, escaped_object);
  log_entry(server, "(%s) Module method returned rc=%d (host='%.80s' object='%.80s')\n",
            module->modulepath, rc, escaped_host, escaped_object);
}

// Hands the record to one module; returns the clock reading at the end and
// sets refused when the module refused the record.
int64_t call_module(EvtServer &server, OrvikEHModule *module, EventData *record, bool *refused) {
  int64_t start = monotonic_ns();
  int rc = 0;
  {
    MutexLock lock(&module->mutex);
    rc = module->handle_event(record);
  }
  if (rc != 0) log_module_failure(server, module, record, rc);
  int64_t end = monotonic_ns();
  // 64 bits throughout: a module that waits for hours still gets its time.
  uint64_t elapsed = static_cast<uint64_t>(end - start) / 1000u;
  ModuleCounters &counters = module->counters;
  ++counters.events;
  if (rc != 0) {
    ++counters.errors;
    durable_note_refused(server, module);
    *refused = true;
  }
  counters.nanoseconds += static_cast<uint64_t>(end - start);
  ++module->eventsprocessed;
  module->usecondssum += elapsed;
  if (module->eventsprocessed % kReportEvery == 0) {
    log_entry(server, "(%s) Module processing avg = %" PRIu64 " usec/event\n", module->modulepath,
              module->usecondssum / kReportEvery);
    module->usecondssum = 0;
  }
  return end;
}

// Called before the thread waits for work: an idle daemon's figures show
// every record handled.
void publish_before_wait(EvtServer &server) {
  stats_publish(server, 0, true);
}

// The process is ending: the thread waits for it to end, holding no lock
// (every signal is blocked here, so pause never returns).
[[noreturn]] void park_forever() {
  for (;;) pause();
}

void run_processing(EvtServer &server) {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  // The item each queued record is copied into; its layout is public, so
  // it lives here rather than on the heap.
  QueuedRecord item = {};
  const bool counting = stats_period(server) > 0;
  for (;;) {
    SQueue *queue = queues_take_full(server, counting ? publish_before_wait : nullptr,
                                     durable_poll_interval_ms(server));
    if (queue == nullptr && queues_intake_finished(server)) {
      stop_clean_up_modules(server);
      park_forever();
    }
    while (queue != nullptr && squeue_item_dequeue(queue, &item) == 0) {
      if (stop_ending(server)) park_forever();
      int64_t now = processing_deliver(server, &item.record, &item.origin);
      if (counting && now >= server.processing.next_publish) stats_publish(server, now, false);
    }
    // Between queues, and every poll interval while idle.
    durable_poll(server);
    if (counting) stats_publish(server, 0, false);
    if (queue == nullptr) continue;
    queues_return_empty(server, queue);
    // A stopping main thread may be waiting for this queue to store a record
    // held at the pool's cap.
    stop_note_progress(server);
  }
}

}  // namespace

int64_t processing_deliver(EvtServer &server, EventData *record, const RecordOrigin *origin) {
  int64_t now = 0;
  uint64_t handled = 0;
  bool refused = false;
  {
    MutexLock lock(&server.modmutex);
    // Looked at under the lock that the ending takes: once it is set, no
    // module is entered.
    if (stop_ending(server)) return 0;
    durable_set_origin(origin);
    for (SList *node = server.modlist; node != nullptr; node = slist_get_next(node)) {
      now =
          call_module(server, static_cast<OrvikEHModule *>(slist_get_data(node)), record, &refused);
    }
    durable_set_origin(nullptr);
    // Counted under the lock, so that a stop holding it counts exactly.
    // Only this thread writes the count: a plain load and store, so nothing
    // on the hot path waits for it.
    handled = server.processing.handled.load(std::memory_order_relaxed) + 1;
    server.processing.handled.store(handled, std::memory_order_relaxed);
  }
  // Without a module nothing took the record: it is never acknowledged.
  if (origin != nullptr && origin->sequence != 0 && now != 0) {
    durable_note_handed(server, *origin, handled, refused);
  }
  return now;
}

int processing_start(EvtServer &server) {
  return pthread_create(&server.evtproc_threadid, &server.threadattr,
                        orvikevtd_event_processing_thread, &server);
}

int modules_cleanup(EvtServer &server, uint64_t *committed) {
  MutexLock lock(&server.modmutex);
  if (stop_ending(server)) return 0;
  // The list is emptied first: the processing thread, which walks it under
  // the same lock, finds no module from here on.
  SList *modules = server.modlist;
  server.modlist = nullptr;
  int failures = 0;
  uint64_t durable = modules != nullptr ? UINT64_MAX : 0;
  for (SList *node = modules; node != nullptr; node = slist_get_next(node)) {
    auto *module = static_cast<OrvikEHModule *>(slist_get_data(node));
    if (int rc = module->module_cleanup(); rc != 0) {
      log_entry(server, "(%s) Module cleanup returned rc=%d\n", module->modulepath, rc);
      ++failures;
    }
    // Asked once more: the cleanup may have committed what it still held.
    uint64_t done = module->counters.events;
    if (module->module_committed != nullptr && committed != nullptr) {
      done = std::min(done, refused_position(module->refused, module->module_committed()));
    }
    durable = std::min(durable, done);
    dlclose(module->module);
    free_module_record(module);
  }
  slist_free(&modules);
  if (committed != nullptr) *committed = durable;
  return failures;
}

}  // namespace orvikevtd

extern "C" void *orvikevtd_event_processing_thread(void *arg) {
  orvikevtd::EvtServer &server =
      arg != nullptr ? *static_cast<orvikevtd::EvtServer *>(arg) : orvikevtd::orvikevtd_server();
  orvikevtd::run_processing(server);
  return nullptr;
}

// The queue pool: ring queues of queuesize records move from the empty list
// (inqlist) to the main thread's current queue, to the full list (outqlist),
// to the processing thread and back. The pool grows on demand up to
// maxqueues; at the cap the caller keeps a record until a queue comes back.
#include <cstdint>
#include <ctime>

#include "evtserver.h"

namespace orvikevtd {
namespace {

// First queue of list, removed from it; null for the empty list.
SQueue *pop_front(SList **list) {
  auto *queue = static_cast<SQueue *>(slist_get_data(*list));
  if (queue != nullptr) slist_item_remove(list, queue);
  return queue;
}

bool below_cap(const EvtServer &server) {
  return server.maxqueues <= 0 || server.queuetotal.load() < server.maxqueues;
}

// Appends the current queue (if any) to outqlist and wakes the processing
// thread; the current queue is none afterwards.
void hand_over(EvtServer &server) {
  SQueue *queue = server.inqcurrent;
  server.inqcurrent = nullptr;
  server.inqcurrent_since = 0;
  if (queue == nullptr) return;
  int status = 0;
  {
    MutexLock lock(&server.outqmutex);
    status = slist_item_add(&server.outqlist, queue);
  }
  if (status != 0) {
    // No list node for it: the records in it cannot reach the handlers.
    log_entry(server, "Failed to hand over a full queue (rc=%d)\n", status);
    squeue_free(&queue);
    server.queuetotal.fetch_sub(1);
    return;
  }
  bool waiting = false;
  {
    // Counted under procmutex: the processing thread looks at the count
    // under the same lock before it waits, so this signal cannot fall
    // between its look and its wait.
    MutexLock lock(&server.procmutex);
    ++server.procpending;
    waiting = server.procwaiting;
  }
  if (waiting) server.proccond.Signal();
}

// Makes the next queue current: the oldest empty one, else a new one while
// the pool is below its cap. False when none is available.
bool obtain_current(EvtServer &server) {
  {
    MutexLock lock(&server.inqmutex);
    server.inqcurrent = pop_front(&server.inqlist);
  }
  if (server.inqcurrent != nullptr) return true;
  if (!below_cap(server)) return false;
  log_entry(server, "Allocating a new inqueue!\n");
  int status = queue_make(server, &server.inqcurrent);
  if (status != 0) {
    log_entry(server, "Failed to allocate a new inqueue! (rc=%d)\n", status);
    return false;
  }
  return true;
}

// What the processing thread finds when it looks for a handed-over queue.
enum class Claim {
  kTaken,     // one hand-over counted as taken
  kNoneYet,   // none now, and the caller may not wait
  kNoneLeft,  // none now, and none will come: the orderly stop finished intake
};

// Counts one hand-over as taken; without one, waits for it when may_wait,
// at most wait_ms (-1: no limit).
Claim claim_hand_over(EvtServer &server, bool may_wait, long wait_ms) {
  MutexLock lock(&server.procmutex);
  while (server.procpending == 0) {
    if (server.drain_intake_done) return Claim::kNoneLeft;
    if (!may_wait) return Claim::kNoneYet;
    server.procwaiting = true;
    bool woken = true;
    if (wait_ms < 0) {
      server.proccond.Wait(&server.procmutex);
    } else {
      woken = server.proccond.WaitFor(&server.procmutex, wait_ms);
    }
    server.procwaiting = false;
    if (!woken && server.procpending == 0 && !server.drain_intake_done) return Claim::kNoneYet;
  }
  --server.procpending;
  return Claim::kTaken;
}

}  // namespace

int queue_make(EvtServer &server, SQueue **queue) {
  *queue = nullptr;
  if (server.queuesize <= 0 || server.eventsize <= 0) return 22;
  // The buffer size is checked in full width before the queue is made: a
  // size whose buffer cannot be addressed is refused, never wrapped.
  const auto item_size = static_cast<uint64_t>(queue_item_size(server));
  uint64_t bytes = static_cast<uint64_t>(server.queuesize) * item_size;
  if (bytes / item_size != static_cast<uint64_t>(server.queuesize) ||
      bytes > static_cast<uint64_t>(PTRDIFF_MAX)) {
    return 22;
  }
  int status = squeue_new(queue, static_cast<unsigned long>(queue_item_size(server)),
                          static_cast<unsigned long>(server.queuesize));
  if (status == 0) server.queuetotal.fetch_add(1);
  return status;
}

int queues_allocate(EvtServer &server, long qsize, int qcount) {
  server.queuesize = qsize;
  if (qcount > 0 && qsize <= 0) return 22;
  MutexLock lock(&server.inqmutex);
  for (int made = 0; made < qcount; ++made) {
    SQueue *queue = nullptr;
    if (int status = queue_make(server, &queue); status != 0) return status;
    if (int status = slist_item_add(&server.inqlist, queue); status != 0) {
      squeue_free(&queue);
      server.queuetotal.fetch_sub(1);
      return status;
    }
  }
  return 0;
}

int queues_deallocate(EvtServer &server) {
  auto free_all = [&server](SList **list) {
    for (SList *node = *list; node != nullptr; node = slist_get_next(node)) {
      auto *queue = static_cast<SQueue *>(slist_get_data(node));
      squeue_free(&queue);
      server.queuetotal.fetch_sub(1);
    }
    return slist_free(list);
  };
  {
    MutexLock lock(&server.outqmutex);
    free_all(&server.outqlist);
  }
  MutexLock lock(&server.inqmutex);
  return free_all(&server.inqlist);
}

bool queues_store_record(EvtServer &server, const QueuedRecord *queued) {
  // The queue copies the item in; it never writes through the pointer.
  void *record = const_cast<QueuedRecord *>(queued);
  if (server.inqcurrent != nullptr && squeue_item_enqueue(server.inqcurrent, record) == 0) {
    if (server.inqcurrent_since == 0 && server.queueflush > 0) {
      server.inqcurrent_since = monotonic_ns();
    }
    return true;
  }
  // The record does not fit: switch queues.
  hand_over(server);
  if (!obtain_current(server)) return false;
  int status = squeue_item_enqueue(server.inqcurrent, record);
  if (status != 0) {
    log_entry(server, "Enqueue failed after queue switch (rc=%d)!\n", status);
    return true;
  }
  if (server.queueflush > 0) server.inqcurrent_since = monotonic_ns();
  return true;
}

void queues_hand_over_current(EvtServer &server) {
  int held = 0;
  if (server.inqcurrent == nullptr || squeue_item_count(server.inqcurrent, &held) != 0 ||
      held == 0) {
    return;
  }
  hand_over(server);
  obtain_current(server);
}

void queues_finish_intake(EvtServer &server) {
  int held = 0;
  if (server.inqcurrent != nullptr && squeue_item_count(server.inqcurrent, &held) == 0 &&
      held > 0) {
    hand_over(server);
  }
  bool waiting = false;
  {
    MutexLock lock(&server.procmutex);
    server.drain_intake_done = true;
    waiting = server.procwaiting;
  }
  if (waiting) server.proccond.Signal();
}

bool queues_intake_finished(EvtServer &server) {
  MutexLock lock(&server.procmutex);
  return server.drain_intake_done;
}

void queues_flush_if_due(EvtServer &server) {
  if (server.queueflush <= 0 || server.inqcurrent == nullptr || server.inqcurrent_since == 0) {
    return;
  }
  double age = static_cast<double>(monotonic_ns() - server.inqcurrent_since) / 1e9;
  if (age >= server.queueflush) queues_hand_over_current(server);
}

SQueue *queues_take_full(EvtServer &server, void (*before_wait)(EvtServer &), long wait_ms) {
  Claim claim = claim_hand_over(server, before_wait == nullptr, wait_ms);
  if (claim == Claim::kNoneYet && before_wait != nullptr) {
    before_wait(server);
    claim = claim_hand_over(server, true, wait_ms);
  }
  if (claim != Claim::kTaken) return nullptr;
  MutexLock lock(&server.outqmutex);
  return pop_front(&server.outqlist);
}

void queues_return_empty(EvtServer &server, SQueue *queue) {
  if (queue == nullptr) return;
  int status = 0;
  {
    MutexLock lock(&server.inqmutex);
    status = slist_item_add(&server.inqlist, queue);
  }
  if (status != 0) {
    // No node to keep it: give its memory back so the pool may make another.
    squeue_free(&queue);
    server.queuetotal.fetch_sub(1);
    log_entry(server, "Failed to return an empty queue (rc=%d)\n", status);
  }
  if (server.intake_paused.load() && server.cg != nullptr) comm_group_wakeup(server.cg);
}

int queue_item_size(const EvtServer &server) {
  return server.eventsize + static_cast<int>(sizeof(RecordOrigin));
}

}  // namespace orvikevtd

extern "C" int orvikevtd_queues_allocate(int qsize, int qcount) {
  return orvikevtd::queues_allocate(orvikevtd::orvikevtd_server(), qsize, qcount);
}

extern "C" int orvikevtd_queues_deallocate() {
  return orvikevtd::queues_deallocate(orvikevtd::orvikevtd_server());
}

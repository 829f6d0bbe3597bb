// Durability on the processing thread: which acknowledged records every
// module has taken durably, reported to the main thread, which sends the
// acknowledgements (ack.cc).
//
// A module that exports module_committed says how many of the records
// handed to it it has made durable; one without it has made a record
// durable when its handle_event returned. Every module gets every record in
// the same order, so the records durable everywhere are the first N handed
// over, N the least of the modules' counts. With no module loaded nothing
// takes a record, and nothing is ever acknowledged.
//
// A record a module refused is not retried, and the module's count leaves
// it out: the daemon remembers which records each such module refused and
// finds its position past them. A refused record of an acknowledged stream
// is never acknowledged: the stream's position stops below it until its
// sender has resent it (ack.cc closes the stream's connections for that).
#include <algorithm>
#include <new>

#include "evtserver.h"

namespace orvikevtd {
namespace {

// The record whose handle_event calls run now, for orvikevtd_event_origin.
thread_local const RecordOrigin *current_origin = nullptr;

// How often an idle processing thread asks the modules what they committed.
constexpr long kIdlePollMs = 50;

void stop_tracking(EvtServer &server) {
  if (server.ack.tracking_failed) return;
  server.ack.tracking_failed = true;
  // What was not found durable yet is never acknowledged: senders resend it.
  server.ack.pending.clear();
  log_entry(server,
            "No memory to follow acknowledged records; no more acknowledgements are sent.\n");
}

// Hands the positions found durable to the main thread and wakes it.
void publish_outgoing(EvtServer &server) {
  AckState &ack = server.ack;
  if (ack.outgoing.empty()) return;
  bool was_empty = false;
  {
    MutexLock lock(&ack.mutex);
    was_empty = ack.updates.empty();
    try {
      ack.updates.insert(ack.updates.end(), ack.outgoing.begin(), ack.outgoing.end());
    } catch (const std::bad_alloc &) {
      return;  // kept for the next time
    }
  }
  ack.outgoing.clear();
  if (was_empty && server.cg != nullptr) comm_group_wakeup(server.cg);
}

// A refused record holds its stream: nothing of it from the refused record
// on is acknowledged until the resend of that record is handed, and the
// main thread learns of the refusal at once. True when the record is
// followed as usual.
bool passes_holds(EvtServer &server, const RecordOrigin &origin, bool refused) {
  AckState &ack = server.ack;
  auto hold = std::find_if(ack.held.begin(), ack.held.end(),
                           [&](const DurableUpdate &held) { return held.id == origin.stream_id; });
  if (refused) {
    try {
      if (hold == ack.held.end()) {
        ack.held.push_back({origin.stream_id, origin.sequence, true});
      } else {
        hold->sequence = std::min(hold->sequence, origin.sequence);
      }
      ack.outgoing.push_back({origin.stream_id, origin.sequence, true});
    } catch (const std::bad_alloc &) {
      stop_tracking(server);
      return false;
    }
    publish_outgoing(server);
    return false;
  }
  if (hold == ack.held.end() || origin.sequence < hold->sequence) return true;
  // Read before the refusal closed the connection: resent after it.
  if (origin.sequence > hold->sequence) return false;
  ack.held.erase(hold);  // the resend
  return true;
}

}  // namespace

uint64_t refused_position(RefusedRecords &refused, uint64_t committed) {
  uint64_t position = committed + refused.settled;
  // A refused record at or right behind the position is passed.
  while (!refused.indices.empty() && refused.indices.front() <= position + 1) {
    refused.indices.pop_front();
    ++refused.settled;
    ++position;
  }
  return position;
}

void durable_note_refused(EvtServer &server, OrvikEHModule *module) {
  if (module->module_committed == nullptr) return;
  try {
    module->refused.indices.push_back(module->counters.events);
  } catch (const std::bad_alloc &) {
    stop_tracking(server);  // the module's position would stay behind
  }
}

uint64_t module_committed_now(OrvikEHModule *module) {
  uint64_t handed = module->counters.events;
  if (module->module_committed == nullptr) return handed;
  uint64_t committed = 0;
  {
    MutexLock lock(&module->mutex);
    committed = module->module_committed();
  }
  return std::min(refused_position(module->refused, committed), handed);
}

void durable_set_origin(const RecordOrigin *origin) {
  current_origin = origin;
}

void durable_note_handed(EvtServer &server, const RecordOrigin &origin, uint64_t handed,
                         bool refused) {
  AckState &ack = server.ack;
  if (ack.tracking_failed) return;
  if ((refused || !ack.held.empty()) && !passes_holds(server, origin, refused)) return;
  // The next record of a run of one stream extends the run.
  if (!ack.pending.empty()) {
    AckState::Pending &run = ack.pending.back();
    if (run.last_handed + 1 == handed && run.last_sequence + 1 == origin.sequence &&
        run.id == origin.stream_id) {
      run.last_handed = handed;
      run.last_sequence = origin.sequence;
      return;
    }
  }
  try {
    ack.pending.push_back({handed, origin.sequence, handed, origin.sequence, origin.stream_id});
  } catch (const std::bad_alloc &) {
    stop_tracking(server);
  }
}

uint64_t modules_committed(EvtServer &server) {
  MutexLock lock(&server.modmutex);
  if (server.modlist == nullptr) return 0;
  uint64_t least = UINT64_MAX;
  for (SList *node = server.modlist; node != nullptr; node = slist_get_next(node)) {
    auto *module = static_cast<OrvikEHModule *>(slist_get_data(node));
    module->counters.committed = module_committed_now(module);
    least = std::min(least, module->counters.committed);
  }
  return least;
}

void durable_release(EvtServer &server, uint64_t durable) {
  AckState &ack = server.ack;
  while (!ack.pending.empty() && ack.pending.front().first_handed <= durable) {
    AckState::Pending &run = ack.pending.front();
    // The whole run, or its first records up to the durable one.
    uint64_t covered = std::min(durable, run.last_handed);
    uint64_t sequence = run.first_sequence + (covered - run.first_handed);
    try {
      ack.outgoing.push_back({run.id, sequence});
    } catch (const std::bad_alloc &) {
      break;  // released the next time
    }
    if (covered == run.last_handed) {
      ack.pending.pop_front();
    } else {
      run.first_handed = covered + 1;
      run.first_sequence = sequence + 1;
    }
  }
  publish_outgoing(server);
}

bool durable_waiting(const EvtServer &server) {
  return !server.ack.pending.empty() || !server.ack.outgoing.empty();
}

long durable_poll_interval_ms(const EvtServer &server) {
  // A commit lag in the statistics is also kept up to date.
  bool lag_shown = server.processing.lag_open && stats_period(server) > 0;
  return durable_waiting(server) || lag_shown ? kIdlePollMs : -1;
}

void durable_poll(EvtServer &server) {
  if (!durable_waiting(server)) return;
  durable_release(server, modules_committed(server));
}

}  // namespace orvikevtd

extern "C" int orvikevtd_event_origin(unsigned char stream_id[16], uint64_t *sequence) {
  if (stream_id == nullptr || sequence == nullptr) return 22;
  const orvikevtd::RecordOrigin *origin = orvikevtd::current_origin;
  if (origin == nullptr || origin->sequence == 0) return 2;
  std::copy(origin->stream_id.begin(), origin->stream_id.end(), stream_id);
  *sequence = origin->sequence;
  return 0;
}

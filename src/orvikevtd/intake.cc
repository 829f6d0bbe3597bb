// Connection intake: the comm group's callback accepts connections on the
// listener and assembles fixed-size records on each connection, reading at
// most the rest of the current record per call. Complete records go into the
// queue pool; when the pool is at its cap the record waits in its
// connection's buffer and reading pauses (peers feel TCP back-pressure)
// until the processing thread hands a queue back.
#include <algorithm>
#include <cstdlib>

#include "evtserver.h"

namespace orvikevtd {
namespace {

// At MAXCONNECTIONS the listener leaves the group: new clients wait in the
// kernel's listen queue, as at the descriptor limit, until one ends.
void rest_listener_at_cap(EvtServer &server) {
  if (server.maxconnections <= 0 || server.connections_open < server.maxconnections ||
      server.listener_resting) {
    return;
  }
  comm_group_remove(server.cg, server.ccs);
  server.listener_resting = true;
  log_entry(server, "Connection limit of %ld reached; new clients wait until a connection ends.\n",
            server.maxconnections);
}

void wake_listener_below_cap(EvtServer &server) {
  if (!server.listener_resting || server.connections_open >= server.maxconnections) return;
  // Closed meanwhile (the daemon is stopping): nothing to accept on.
  if (server.ccs == nullptr) return;
  if (int status = comm_group_add(server.cg, server.ccs, nullptr, 1); status != 0) {
    // Stays resting; the next connection that ends tries again.
    log_entry(server, "Failed in comm_group_add(). rc=%d\n", status);
    return;
  }
  server.listener_resting = false;
}

void link_connection(EvtServer &server, ConnBuffer *conn) {
  conn->prev = nullptr;
  conn->next = server.connections;
  if (conn->next != nullptr) conn->next->prev = conn;
  server.connections = conn;
}

void unlink_connection(EvtServer &server, ConnBuffer *conn) {
  if (conn->prev != nullptr) {
    conn->prev->next = conn->next;
  } else {
    server.connections = conn->next;
  }
  if (conn->next != nullptr) conn->next->prev = conn->prev;
}

int accept_connection(EvtServer &server, CommChannel *listener) {
  CommChannel *channel = nullptr;
  int status = comm_accept(listener, &channel, 0);
  if (status != 0 && status != COMM_PENDING && status != COMM_PENDING_WRITE) {
    log_entry(server, "comm_accept(): failed rc=%d\n", status);
    return status;
  }
  auto *conn = static_cast<ConnBuffer *>(std::calloc(1, sizeof(ConnBuffer)));
  if (conn == nullptr) {
    comm_close(&channel, 0);
    log_entry(server, "calloc(): failed to allocate connbuffer rc=%d\n", 12);
    return 12;
  }
  if (status == COMM_PENDING_WRITE) comm_set_ioneeds(listener, COMM_NEED_WRITE);
  if (int added = comm_group_add(server.cg, channel, conn, 1); added != 0) {
    std::free(conn);
    comm_close(&channel, 0);
    log_entry(server, "comm_group_add(): failed rc=%d\n", added);
    return added;
  }
  conn->channel = channel;
  link_connection(server, conn);
  ++server.conncount;
  ++server.connections_open;
  if (server.conncount % 100 == 0) {
    log_entry(server, "Handled %lu connections so far.\n", server.conncount);
  }
  rest_listener_at_cap(server);
  return 0;
}

// Stops reading from every connection until a queue is free again.
void pause_intake(EvtServer &server, ConnBuffer *conn) {
  conn->stalled = true;
  server.stalled.push_back(conn);
  if (!server.intake_paused.exchange(true)) {
    comm_group_pause_reads(server.cg, 1);
    stats_intake_paused(server);
  }
  // A queue may have come back between the failed attempt and the flag:
  // the processing thread only wakes the loop after seeing the flag.
  intake_resume(server);
}

// Stores the complete record held in conn. False when it must wait.
bool store_complete_record(EvtServer &server, ConnBuffer *conn) {
  if (!queues_store_record(server, &conn->queued)) return false;
  conn->len = 0;
  return true;
}

int close_connection(EvtServer &server, CommChannel *cc, ConnBuffer *conn, int status) {
  ack_connection_closed(server, conn);
  comm_group_remove(server.cg, cc);
  unlink_connection(server, conn);
  std::free(conn);
  comm_close(&cc, 0);
  --server.connections_open;
  wake_listener_below_cap(server);
  return status;
}

int read_channel(void *cc, char *buffer, int *len) {
  return comm_read(static_cast<CommChannel *>(cc), buffer, len);
}

int read_channel_buffered(void *cc, char *buffer, int *len) {
  return comm_read_buffered(static_cast<CommChannel *>(cc), buffer, len);
}

// Takes the whole records conn's channel holds decrypted, while queues take
// them. False when one waits for a queue.
// Reads on through read: the hello of an acknowledged connection first,
// then records. The handshake must be done.
int read_next(EvtServer &server, ConnBuffer *conn, IntakeReadFn read) {
  if (conn->mode == kModeUndecided) ack_decide_mode(conn, conn->channel);
  if (conn->mode == kModeHello) return ack_read_hello(server, conn, read, conn->channel);
  return intake_read(server, conn, read, conn->channel);
}

bool collect_connection(EvtServer &server, ConnBuffer *conn) {
  int flags = 0;
  comm_get_flags(conn->channel, &flags);
  // A handshake never finished has no record.
  if (flags & COMM_FLAG_ACCEPT_PENDING) conn->drained = true;
  while (!conn->drained) {
    if (read_next(server, conn, read_channel_buffered) != 0) {
      conn->drained = true;
    } else if (conn->stalled) {
      return false;
    }
  }
  return true;
}

// Bytes conn's channel still holds decrypted, taken off and thrown away.
uint64_t discard_buffered(ConnBuffer *conn) {
  uint64_t bytes = 0;
  char scratch[kConnBufferSize];
  for (;;) {
    int len = sizeof(scratch);
    if (comm_read_buffered(conn->channel, scratch, &len) != 0) return bytes;
    bytes += static_cast<uint64_t>(len);
  }
}

int read_from_connection(EvtServer &server, CommChannel *cc, int iotype, ConnBuffer *conn) {
  if (iotype == COMM_IO_WRITE) comm_set_ioneeds(cc, COMM_NEED_DEFAULT);
  // A stalled record is stored before anything more is read.
  if (conn->stalled) return 0;
  int flags = 0;
  comm_get_flags(cc, &flags);
  if (flags & COMM_FLAG_ACCEPT_PENDING) return comm_accept_continue(cc);

  int status = read_next(server, conn, read_channel);
  if (conn->mode == kModeAcked &&
      (status == 0 || status == COMM_PENDING || status == COMM_READ_NOTHING_YET)) {
    ack_burst_end(server, cc);
  }
  switch (status) {
    case 0:
    case COMM_PENDING:
    case COMM_READ_NOTHING_YET:
      // Nothing read yet: the next call goes on where this one stopped.
      return 0;
    case COMM_PENDING_WRITE:
      comm_set_ioneeds(cc, COMM_NEED_WRITE);
      return 0;
    case COMM_READ_END:
    case kHelloRefused:
      return close_connection(server, cc, conn, status);
    default:
      log_entry(server, "openssl_comm_read(): rc=%d\n", status);
      return close_connection(server, cc, conn, status);
  }
}

}  // namespace

int intake_read(EvtServer &server, ConnBuffer *conn, IntakeReadFn read, void *source) {
  int wanted = server.eventsize - conn->len;
  int status = read(source, conn->buffer + conn->len, &wanted);
  if (status != 0) return status;
  conn->len += wanted;
  if (conn->len == server.eventsize) {
    if (conn->mode == kModeAcked && !ack_admit_record(server, conn)) {
      conn->len = 0;  // read before: dropped, counted as a duplicate
      return 0;
    }
    ++server.intake.received;
    eventdata_to_hostorder(&conn->record);
    if (!store_complete_record(server, conn)) pause_intake(server, conn);
  }
  return 0;
}

void intake_resume(EvtServer &server) {
  while (!server.stalled.empty()) {
    ConnBuffer *conn = server.stalled.front();
    if (!store_complete_record(server, conn)) return;
    conn->stalled = false;
    server.stalled.erase(server.stalled.begin());
  }
  if (server.intake_paused.exchange(false)) {
    comm_group_pause_reads(server.cg, 0);
    stats_intake_resumed(server);
  }
}

void intake_close(EvtServer &server, ConnBuffer *conn) {
  if (conn->stalled) {
    auto found = std::find(server.stalled.begin(), server.stalled.end(), conn);
    if (found != server.stalled.end()) server.stalled.erase(found);
  }
  close_connection(server, conn->channel, conn, 0);
}

bool intake_collect_buffered(EvtServer &server) {
  intake_resume(server);
  if (!server.stalled.empty()) return false;
  for (ConnBuffer *conn = server.connections; conn != nullptr; conn = conn->next) {
    if (!collect_connection(server, conn)) return false;
  }
  return true;
}

void intake_count_buffered(EvtServer &server) {
  auto eventsize = static_cast<uint64_t>(server.eventsize);
  for (ConnBuffer *conn = server.connections; conn != nullptr; conn = conn->next) {
    if (conn->drained) continue;
    // A stalled record is counted already; after it a new record begins.
    uint64_t bytes = conn->stalled ? 0 : static_cast<uint64_t>(conn->len);
    bytes += discard_buffered(conn);
    server.intake.received += bytes / eventsize;
    conn->drained = true;
  }
}

}  // namespace orvikevtd

extern "C" int handle_connection_io(CommChannel *cc, int iotype, void *ccarg) {
  if (cc == nullptr) return 22;
  orvikevtd::EvtServer &server = orvikevtd::orvikevtd_server();
  if (cc == server.ccs) return orvikevtd::accept_connection(server, cc);
  return orvikevtd::read_from_connection(server, cc, iotype,
                                         static_cast<orvikevtd::ConnBuffer *>(ccarg));
}

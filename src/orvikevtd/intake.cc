// Connection intake: the comm group's callback accepts connections on the
// listener and assembles fixed-size records on each connection, reading at
// most the rest of the current record per call. Complete records go into the
// queue pool; when the pool is at its cap the record waits in its
// connection's buffer and reading pauses (peers feel TCP back-pressure)
// until the processing thread hands a queue back.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

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

// The idle order: oldest delivery first.
void idle_list_append(EvtServer &server, ConnBuffer *conn) {
  conn->older = server.idle_newest;
  conn->newer = nullptr;
  if (server.idle_newest != nullptr) {
    server.idle_newest->newer = conn;
  } else {
    server.idle_oldest = conn;
  }
  server.idle_newest = conn;
}

void idle_list_remove(EvtServer &server, ConnBuffer *conn) {
  (conn->older != nullptr ? conn->older->newer : server.idle_oldest) = conn->newer;
  (conn->newer != nullptr ? conn->newer->older : server.idle_newest) = conn->older;
  conn->older = conn->newer = nullptr;
}

// A complete record arrived on conn: it is the newest in the idle order.
void note_record(EvtServer &server, ConnBuffer *conn) {
  conn->last_record_ns = intake_clock_ns(server);
  if (server.idle_newest == conn) return;
  idle_list_remove(server, conn);
  idle_list_append(server, conn);
}

const char *peer_of(const ConnBuffer *conn) {
  return conn->peer[0] != '\0' ? conn->peer : "unknown";
}

// MAXCONNECTIONSPERADDRESS: true when the address may have one more
// connection. An address refused logs once, until one of its connections
// is accepted again.
bool address_admits(EvtServer &server, const char *peer) {
  if (server.maxperaddress <= 0) return true;
  auto found = server.per_address.find(std::string_view(peer));
  if (found == server.per_address.end() || found->second.open < server.maxperaddress) return true;
  if (!found->second.refusing) {
    found->second.refusing = true;
    log_entry(server,
              "Connection limit of %ld per address reached; new connections closed at once "
              "(client %s)\n",
              server.maxperaddress, peer);
  }
  return false;
}

// Counts one more connection of the address; false when there is no room
// to count it.
bool address_opened(EvtServer &server, const char *peer) {
  if (server.maxperaddress <= 0) return true;
  try {
    EvtServer::AddressCount &count = server.per_address[peer];
    ++count.open;
    count.refusing = false;
  } catch (const std::bad_alloc &) {
    return false;
  }
  return true;
}

void address_closed(EvtServer &server, const char *peer) {
  if (server.maxperaddress <= 0) return;
  auto found = server.per_address.find(std::string_view(peer));
  if (found == server.per_address.end()) return;
  if (--found->second.open <= 0) server.per_address.erase(found);
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
  // With a cap per address, a peer over it is closed before any TLS work is
  // spent on it: a host reconnecting at its cap costs an accept, not a
  // handshake.
  int status =
      comm_accept(listener, &channel, server.maxperaddress > 0 ? COMM_ACCEPT_DEFER_HANDSHAKE : 0);
  if (status != 0 && status != COMM_PENDING && status != COMM_PENDING_WRITE) {
    log_entry(server, "comm_accept(): failed rc=%d\n", status);
    return status;
  }
  char peer[kPeerAddressSize] = {};
  comm_get_peer_address(channel, peer, sizeof(peer));
  if (!address_admits(server, peer)) {
    comm_close(&channel, 0);
    return 0;
  }
  auto *conn = static_cast<ConnBuffer *>(std::calloc(1, sizeof(ConnBuffer)));
  if (conn == nullptr || !address_opened(server, peer)) {
    std::free(conn);
    comm_close(&channel, 0);
    log_entry(server, "calloc(): failed to allocate connbuffer rc=%d (client %s)\n", 12, peer);
    return 12;
  }
  if (status == COMM_PENDING_WRITE) comm_set_ioneeds(listener, COMM_NEED_WRITE);
  std::memcpy(conn->peer, peer, sizeof(peer));
  if (int added = comm_group_add(server.cg, channel, conn, 1); added != 0) {
    address_closed(server, peer);
    std::free(conn);
    comm_close(&channel, 0);
    log_entry(server, "comm_group_add(): failed rc=%d (client %s)\n", added, peer);
    return added;
  }
  conn->channel = channel;
  link_connection(server, conn);
  conn->last_record_ns = intake_clock_ns(server);
  idle_list_append(server, conn);
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
  idle_list_remove(server, conn);
  address_closed(server, conn->peer);
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

  uint64_t records_before = server.intake.received;
  int status = read_next(server, conn, read_channel);
  if (conn->mode == kModeAcked &&
      (status == 0 || status == COMM_PENDING || status == COMM_READ_NOTHING_YET)) {
    ack_burst_end(server, cc);
  }
  if (server.intake.received != records_before && server.idletimeout > 0) note_record(server, conn);
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
      log_entry(server, "openssl_comm_read(): rc=%d (client %s)\n", status, peer_of(conn));
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

int64_t intake_clock_ns(const EvtServer &server) {
  const EvtServer::IntakeCounters &intake = server.intake;
  int64_t now = monotonic_ns();
  int64_t paused = static_cast<int64_t>(intake.paused_ns);
  if (intake.paused_since != 0) paused += now - intake.paused_since;
  return now - paused;
}

void intake_close_idle(EvtServer &server) {
  if (server.idletimeout <= 0 || server.intake_paused.load()) return;
  const auto limit = static_cast<int64_t>(server.idletimeout * 1e9);
  int64_t now = intake_clock_ns(server);
  while (server.idle_oldest != nullptr && now - server.idle_oldest->last_record_ns >= limit) {
    ConnBuffer *conn = server.idle_oldest;
    log_entry(server, "Closed a connection that sent no event for %g seconds (client %s)\n",
              server.idletimeout, peer_of(conn));
    close_connection(server, conn->channel, conn, 0);
  }
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

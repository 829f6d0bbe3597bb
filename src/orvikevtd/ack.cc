// The acknowledged protocol on the main thread: the hello, de-duplication
// by stream and sequence, and the frames that tell each sender how far its
// stream is durable.
//
// A connection whose client got the protocol selected through ALPN sends a
// 32-byte hello ("OVK1", a 16-byte stream id, the big-endian sequence of its
// first record, 4 bytes of flags that must be 0), then records. The daemon
// remembers per stream the highest sequence it has read: a record at or
// below it is read and dropped, so a sender that resends after a broken
// connection causes no duplicate. The processing thread reports which
// records every module has made durable (durable.cc); the daemon then sends
// each connection of the stream a 16-byte frame ("ACK1", the big-endian
// position, a big-endian status), at most one waiting in the socket per
// connection, carrying the latest position. Connections without the
// protocol never get a byte.
//
// A record a module refused is never acknowledged: the stream's
// connections are closed and its de-duplication position goes back to just
// below the record, so that the sender's resend from there is taken. Records
// after it that were already handed may then reach the modules twice.
#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <new>

#include "evtserver.h"

namespace orvikevtd {
namespace {

constexpr char kHelloMagic[4] = {'O', 'V', 'K', '1'};
constexpr char kFrameMagic[4] = {'A', 'C', 'K', '1'};
// Longest wait for the final acknowledgements to leave at the orderly stop.
constexpr int64_t kFinalFramesMs = 2000;

uint64_t read_be64(const unsigned char *bytes) {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = (value << 8) | bytes[i];
  return value;
}

uint32_t read_be32(const unsigned char *bytes) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value = (value << 8) | bytes[i];
  return value;
}

void write_be(unsigned char *bytes, uint64_t value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    bytes[i] = static_cast<unsigned char>(value & 0xff);
    value >>= 8;
  }
}

struct Hello {
  StreamId id = {};
  uint64_t sequence = 0;
  uint32_t flags = 0;
};

// Why a hello is refused; null when it is good.
const char *hello_fault(const unsigned char *bytes, Hello *hello) {
  std::memcpy(hello->id.data(), bytes + 4, kStreamIdSize);
  hello->sequence = read_be64(bytes + 20);
  hello->flags = read_be32(bytes + 28);
  if (std::memcmp(bytes, kHelloMagic, sizeof(kHelloMagic)) != 0) return "wrong magic";
  if (hello->id == StreamId{}) return "zero stream id";
  if (hello->sequence == 0) return "sequence 0";
  if (hello->flags != 0) return "non-zero flags";
  return nullptr;
}

template <typename T>
void erase_value(std::vector<T> &values, T value) {
  for (auto it = values.begin(); it != values.end(); ++it) {
    if (*it == value) {
      values.erase(it);
      return;
    }
  }
}

// Forgets the least recently used streams without a connection while the
// table is over its bound.
void forget_idle_streams(EvtServer &server) {
  AckState &ack = server.ack;
  while (ack.maxstreams > 0 && ack.streams.size() > static_cast<size_t>(ack.maxstreams) &&
         !ack.idle.empty()) {
    AckStream *oldest = ack.idle.front();
    ack.idle.pop_front();
    ack.streams.erase(oldest->id);
  }
}

// The stream of a good hello, made when it is new; null without memory.
AckStream *stream_for(EvtServer &server, const Hello &hello, bool *known) {
  AckState &ack = server.ack;
  auto found = ack.streams.find(hello.id);
  *known = found != ack.streams.end();
  if (*known) return &found->second;
  try {
    AckStream &stream = ack.streams[hello.id];
    stream.id = hello.id;
    // Records before the first one this daemon sees are not its business.
    stream.highest_read = hello.sequence - 1;
    return &stream;
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

bool attach(EvtServer &server, ConnBuffer *conn, AckStream *stream) {
  AckState &ack = server.ack;
  try {
    stream->connections.push_back(conn);
  } catch (const std::bad_alloc &) {
    return false;
  }
  try {
    ack.connections.push_back(conn);
  } catch (const std::bad_alloc &) {
    stream->connections.pop_back();
    return false;
  }
  if (stream->on_idle_list) {
    ack.idle.erase(stream->idle_position);
    stream->on_idle_list = false;
  }
  conn->stream = stream;
  return true;
}

void send_frame(EvtServer &server, ConnBuffer *conn, uint64_t position, uint32_t status) {
  unsigned char frame[kAckFrameSize];
  std::memcpy(frame, kFrameMagic, sizeof(kFrameMagic));
  write_be(frame + 4, position, 8);
  write_be(frame + 12, status, 4);
  // A failure means the peer has gone: its read ends the connection.
  if (comm_send(conn->channel, reinterpret_cast<const char *>(frame), kAckFrameSize) == 0) {
    ++server.ack.frames_sent;
    conn->acknowledged = position;
  }
}

// Once the orderly stop has stopped reading, every frame says so.
uint32_t current_status(const EvtServer &server) {
  return server.ack.stopping ? kAckStatusStopping : kAckStatusRunning;
}

bool frame_in_flight(CommChannel *channel) {
  int flags = 0;
  comm_get_flags(channel, &flags);
  return (flags & COMM_FLAG_SEND_PENDING) != 0;
}

// Sends the stream's position unless the connection has it already; waits
// while an earlier frame is still in the socket's way.
void offer_position(EvtServer &server, ConnBuffer *conn) {
  if (conn->stream == nullptr || conn->acknowledged >= conn->stream->durable) return;
  if (frame_in_flight(conn->channel)) {
    if (!conn->frame_waiting) {
      try {
        server.ack.waiting.push_back(conn);
        conn->frame_waiting = true;
      } catch (const std::bad_alloc &) {
        // The next position offered tries again.
      }
    }
    return;
  }
  send_frame(server, conn, conn->stream->durable, current_status(server));
}

void log_bad_hello(EvtServer &server, const char *fault) {
  if (!server.ack.bad_hello.Begin()) return;
  log_entry(server, "Refused an acknowledged connection: bad hello (%s).\n", fault);
}

void log_no_memory(EvtServer &server) {
  if (!server.ack.no_memory.Begin()) return;
  log_entry(server, "No memory for an acknowledged stream; its connection is closed.\n");
}

// Takes the hello in conn's buffer: the connection joins its stream and
// learns the stream's position when the daemon knows it. False: refused.
bool accept_hello(EvtServer &server, ConnBuffer *conn) {
  Hello hello;
  if (const char *fault = hello_fault(reinterpret_cast<unsigned char *>(conn->buffer), &hello)) {
    log_bad_hello(server, fault);
    return false;
  }
  server.ack.bad_hello.End();
  bool known = false;
  AckStream *stream = stream_for(server, hello, &known);
  if (stream == nullptr || !attach(server, conn, stream)) {
    // A stream made for this hello would be on no list: it goes again.
    if (stream != nullptr && !known) server.ack.streams.erase(hello.id);
    log_no_memory(server);
    return false;
  }
  server.ack.no_memory.End();
  forget_idle_streams(server);
  conn->mode = kModeAcked;
  conn->next_sequence = hello.sequence;
  conn->len = 0;
  std::memset(conn->buffer, 0, kHelloSize);
  std::memcpy(conn->queued.origin.stream_id.data(), hello.id.data(), kStreamIdSize);
  if (known) send_frame(server, conn, stream->durable, current_status(server));
  return true;
}

// A module refused record sequence of stream: its resend is to be taken.
void note_refused(EvtServer &server, AckStream &stream, uint64_t sequence) {
  if (stream.refused == 0 || sequence < stream.refused) stream.refused = sequence;
  if (stream.highest_read >= sequence) stream.highest_read = sequence - 1;
  if (!server.ack.refused_record.Begin()) return;
  log_entry(server,
            "A module refused record %" PRIu64
            " of an acknowledged stream; its connection is closed for a resend.\n",
            sequence);
}

// Closes the connections of the stream id, whose sender is to resend a
// refused record. The last one closed may make the stream forgotten.
void close_for_resend(EvtServer &server, const StreamId &id) {
  auto found = server.ack.streams.find(id);
  if (found == server.ack.streams.end()) return;
  std::vector<ConnBuffer *> &connections = found->second.connections;
  while (connections.size() > 1) intake_close(server, connections.back());
  if (!connections.empty()) intake_close(server, connections.front());
}

}  // namespace

void ack_decide_mode(ConnBuffer *conn, CommChannel *cc) {
  char protocol[32] = {};
  bool acked = comm_get_protocol(cc, protocol, sizeof(protocol)) == 0 &&
               std::strcmp(protocol, kAckProtocol) == 0;
  conn->mode = acked ? kModeHello : kModePlain;
}

int ack_read_hello(EvtServer &server, ConnBuffer *conn, IntakeReadFn read, void *source) {
  int wanted = kHelloSize - conn->len;
  int status = read(source, conn->buffer + conn->len, &wanted);
  if (status != 0) return status;
  conn->len += wanted;
  if (conn->len == kHelloSize && !accept_hello(server, conn)) return kHelloRefused;
  return 0;
}

bool ack_admit_record(EvtServer &server, ConnBuffer *conn) {
  AckStream *stream = conn->stream;
  uint64_t sequence = conn->next_sequence++;
  if (sequence <= stream->highest_read) {
    ++server.ack.duplicates;
    return false;
  }
  if (sequence > stream->highest_read + 1 && !conn->gap_logged) {
    conn->gap_logged = true;
    log_entry(server, "Acknowledged stream skipped sequences %" PRIu64 " to %" PRIu64 ".\n",
              stream->highest_read + 1, sequence - 1);
  }
  stream->highest_read = sequence;
  conn->queued.origin.sequence = sequence;
  server.ack.inqcurrent_acked = true;
  return true;
}

void ack_burst_end(EvtServer &server, CommChannel *cc) {
  if (!server.ack.inqcurrent_acked) return;
  int flags = 0;
  comm_get_flags(cc, &flags);
  if ((flags & COMM_FLAG_READ_BUFFERED) != 0) return;
  server.ack.inqcurrent_acked = false;
  queues_hand_over_current(server);
}

void ack_connection_closed(EvtServer &server, ConnBuffer *conn) {
  AckStream *stream = conn->stream;
  if (stream == nullptr) return;
  AckState &ack = server.ack;
  erase_value(ack.connections, conn);
  if (conn->frame_waiting) erase_value(ack.waiting, conn);
  erase_value(stream->connections, conn);
  conn->stream = nullptr;
  if (!stream->connections.empty()) return;
  try {
    ack.idle.push_back(stream);
    stream->idle_position = std::prev(ack.idle.end());
    stream->on_idle_list = true;
  } catch (const std::bad_alloc &) {
    // Not on the list: the stream stays remembered until the daemon ends.
  }
  forget_idle_streams(server);
}

void ack_apply_updates(EvtServer &server, bool send) {
  std::vector<DurableUpdate> updates;
  {
    MutexLock lock(&server.ack.mutex);
    updates.swap(server.ack.updates);
  }
  // Each stream's connections get one frame, with its newest position.
  std::vector<AckStream *> advanced;
  bool refused = false;
  for (const DurableUpdate &update : updates) {
    auto found = server.ack.streams.find(update.id);
    if (found == server.ack.streams.end()) continue;  // forgotten meanwhile
    AckStream &stream = found->second;
    if (update.refused) {
      note_refused(server, stream, update.sequence);
      refused = true;
      continue;
    }
    if (update.sequence <= stream.durable) continue;
    stream.durable = update.sequence;
    if (stream.refused != 0 && stream.durable >= stream.refused) {
      stream.refused = 0;  // the resend is durable
      server.ack.refused_record.End();
    }
    if (!send || stream.advanced) continue;
    try {
      advanced.push_back(&stream);
      stream.advanced = true;
    } catch (const std::bad_alloc &) {
      for (ConnBuffer *conn : stream.connections) offer_position(server, conn);
    }
  }
  for (AckStream *stream : advanced) {
    stream->advanced = false;
    for (ConnBuffer *conn : stream->connections) offer_position(server, conn);
  }
  // Once the orderly stop no longer reads, nothing is resent: the final
  // positions, below the refused records, still go out.
  if (!refused || server.ack.stopping) return;
  for (const DurableUpdate &update : updates) {
    if (update.refused) close_for_resend(server, update.id);
  }
}

void ack_send_waiting(EvtServer &server) {
  if (server.ack.waiting.empty()) return;
  std::vector<ConnBuffer *> waiting;
  waiting.swap(server.ack.waiting);
  for (ConnBuffer *conn : waiting) {
    conn->frame_waiting = false;
    offer_position(server, conn);
  }
}

void ack_announce_stop(EvtServer &server) {
  server.ack.stopping = true;
  for (ConnBuffer *conn : server.ack.connections) {
    send_frame(server, conn, conn->stream->durable, kAckStatusStopping);
  }
}

void ack_send_final_positions(EvtServer &server, int64_t deadline_ns) {
  ack_apply_updates(server, false);
  for (ConnBuffer *conn : server.ack.connections) {
    send_frame(server, conn, conn->stream->durable, kAckStatusStopping);
  }
  // The process ends next, most likely with records of the senders unread,
  // and its sockets then reset their connections, throwing away what the
  // peer has not acknowledged yet: the frames are waited for until they are
  // in the peers' hands. Bounded by the stop's deadline, and by
  // kFinalFramesMs when that is far.
  int64_t deadline = std::min(deadline_ns, monotonic_ns() + kFinalFramesMs * 1000000);
  for (ConnBuffer *conn : server.ack.connections) {
    int64_t left_ms = (deadline - monotonic_ns()) / 1000000;
    comm_wait_received(conn->channel, left_ms > 0 ? static_cast<int>(left_ms) : 0);
  }
}

}  // namespace orvikevtd

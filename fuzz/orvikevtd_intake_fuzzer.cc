// The daemon's record intake on a byte stream split at arbitrary points.
//
// The stream goes through the same assembly path as a connection's reads
// (intake_read, which the daemon's connection callback uses with comm_read),
// in pieces whose sizes follow the input, with "nothing yet" results between
// some of them. Small queues and a small pool cap make the queue switch and
// the back-pressure path run often; a stalled connection gets its queue back
// the way the processing thread hands one back. The records that come out of
// the queues must be exactly the complete records of the stream, in order,
// with their integer fields in host order and every other byte unchanged.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "evtserver.h"

namespace {

using orvikevtd::ConnBuffer;
using orvikevtd::EvtServer;

constexpr std::size_t kRecordSize = EVENTDATA_SIZE;
constexpr int kNothingYet = 11;

// Hands out the stream in pieces like a transport: each read takes at most
// what is left of the current piece, and an empty piece reads as "nothing
// yet" once.
class SplitStream {
 public:
  SplitStream(const std::vector<unsigned char> &bytes, uint32_t seed)
      : bytes_(bytes), random_(seed) {}

  bool Done() const { return offset_ == bytes_.size(); }

  int Read(char *buffer, int *len) {
    if (piece_left_ == 0) {
      piece_left_ = NextPieceSize();
      if (random_() % 4 == 0) return kNothingYet;
    }
    std::size_t count =
        std::min({static_cast<std::size_t>(*len), piece_left_, bytes_.size() - offset_});
    std::memcpy(buffer, bytes_.data() + offset_, count);
    offset_ += count;
    piece_left_ -= count;
    *len = static_cast<int>(count);
    return 0;
  }

  static int ReadFn(void *source, char *buffer, int *len) {
    return static_cast<SplitStream *>(source)->Read(buffer, len);
  }

 private:
  // Mostly short pieces, sometimes pieces of a few records.
  std::size_t NextPieceSize() {
    switch (random_() % 3) {
      case 0:
        return 1 + random_() % 16;
      case 1:
        return 1 + random_() % kRecordSize;
      default:
        return 1 + random_() % (3 * kRecordSize);
    }
  }

  const std::vector<unsigned char> &bytes_;
  std::size_t offset_ = 0;
  std::size_t piece_left_ = 0;
  std::minstd_rand random_;
};

uint64_t LoadBigEndian(const unsigned char *bytes, int width) {
  uint64_t value = 0;
  for (int i = 0; i < width; ++i) value = value << 8 | bytes[i];
  return value;
}

template <typename T>
void StoreHost(unsigned char *at, T value) {
  std::memcpy(at, &value, sizeof value);
}

// The record as the handlers must see it: the stream's bytes with flags, rc,
// timestamp and datalen read as big-endian numbers and stored in host order.
std::vector<unsigned char> InHostOrder(const unsigned char *wire) {
  std::vector<unsigned char> record(wire, wire + kRecordSize);
  StoreHost(&record[0], static_cast<uint32_t>(LoadBigEndian(wire, 4)));
  StoreHost(&record[4], static_cast<uint32_t>(LoadBigEndian(wire + 4, 4)));
  StoreHost(&record[8], LoadBigEndian(wire + 8, 8));
  StoreHost(&record[16], static_cast<uint32_t>(LoadBigEndian(wire + 16, 4)));
  return record;
}

bool HasPendingQueue(EvtServer &server) {
  orvikevtd::MutexLock lock(&server.procmutex);
  return server.procpending > 0;
}

// Does what the processing thread does with one full queue: takes it,
// copies its records out in order and hands it back.
void DrainOneQueue(EvtServer &server, std::vector<std::vector<unsigned char>> *out) {
  SQueue *queue = orvikevtd::queues_take_full(server);
  if (queue == nullptr) std::abort();  // counted as pending but not in the list
  // A queue item is the record followed by its origin.
  orvikevtd::QueuedRecord item = {};
  while (squeue_item_dequeue(queue, &item) == 0) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(&item.record);
    out->emplace_back(bytes, bytes + kRecordSize);
  }
  orvikevtd::queues_return_empty(server, queue);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const long queuesize = provider.ConsumeIntegralInRange<long>(1, 4);
  const long maxqueues = provider.ConsumeIntegralInRange<long>(0, 3);  // 0: no cap
  const int initial = provider.ConsumeIntegralInRange<int>(0, 2);
  const uint32_t seed = provider.ConsumeIntegral<uint32_t>();
  const std::vector<unsigned char> stream = provider.ConsumeRemainingBytes<unsigned char>();

  EvtServer server;
  server.maxqueues = maxqueues;
  if (orvikevtd::queues_allocate(server, queuesize, initial) != 0) std::abort();
  auto *conn = static_cast<ConnBuffer *>(std::calloc(1, sizeof(ConnBuffer)));
  if (conn == nullptr) return 0;

  std::vector<std::vector<unsigned char>> handled;
  SplitStream source(stream, seed);
  for (;;) {
    if (conn->stalled) {
      // Intake waits for a queue: one must be on its way to the handlers,
      // or the connection would wait for ever.
      if (!HasPendingQueue(server)) std::abort();
      DrainOneQueue(server, &handled);
      orvikevtd::intake_resume(server);
      continue;
    }
    if (source.Done()) break;
    int status = orvikevtd::intake_read(server, conn, SplitStream::ReadFn, &source);
    if (status != 0 && status != kNothingYet) std::abort();
    if (conn->len < 0 || conn->len > server.eventsize) std::abort();
  }
  // Whatever sits in the current queue goes through as well.
  orvikevtd::queues_hand_over_current(server);
  while (HasPendingQueue(server)) DrainOneQueue(server, &handled);

  // The pool grows only below its cap (the initial queues are made regardless).
  if (maxqueues > 0 && server.queuetotal.load() > std::max<long>(maxqueues, initial)) {
    std::abort();
  }
  const std::size_t complete = stream.size() / kRecordSize;
  if (static_cast<std::size_t>(conn->len) != stream.size() % kRecordSize) std::abort();
  if (handled.size() != complete) std::abort();
  for (std::size_t i = 0; i < complete; ++i) {
    if (handled[i] != InHostOrder(stream.data() + i * kRecordSize)) std::abort();
  }

  if (server.inqcurrent != nullptr) {
    squeue_free(&server.inqcurrent);
    server.queuetotal.fetch_sub(1);
  }
  orvikevtd::queues_deallocate(server);
  if (server.queuetotal.load() != 0) std::abort();
  std::free(conn);
  return 0;
}

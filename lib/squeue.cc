// Fixed-capacity ring queue of fixed-size items copied by value.
#include "tarnu/squeue.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <limits>

#include "alloc.h"

using tarnu::detail::Calloc;
using tarnu::detail::Free;
using tarnu::detail::NewZeroed;

namespace {

// Byte size of the ring buffer; the positions reach up to it.
std::size_t BufferBytes(const SQueue &queue) {
  return queue.queuesize * queue.itemsize;
}

// Moves a position one slot on, back to 0 at the end of the buffer.
unsigned long Advance(const SQueue &queue, unsigned long pos) {
  pos += queue.itemsize;
  return pos >= BufferBytes(queue) ? 0 : pos;
}

// True when a queue of that shape can work: itemsize x maxitems bytes must be
// addressable (positions are unsigned long, the buffer is indexed with size_t)
// and the item count must fit the int that squeue_item_count reports.
bool ShapeFits(unsigned long itemsize, unsigned long maxitems) {
  constexpr unsigned long kByteLimit =
      std::numeric_limits<std::size_t>::max() < std::numeric_limits<unsigned long>::max()
          ? static_cast<unsigned long>(std::numeric_limits<std::size_t>::max())
          : std::numeric_limits<unsigned long>::max();
  constexpr auto kCountLimit = static_cast<unsigned long>(std::numeric_limits<int>::max());
  return maxitems <= kCountLimit && maxitems <= kByteLimit / itemsize;
}

}  // namespace

extern "C" {

int squeue_new(SQueue **queuep, unsigned long itemsize, unsigned long maxitems) {
  if (queuep == nullptr || itemsize == 0 || maxitems == 0) return EINVAL;
  // A product that wraps would give a buffer smaller than the positions reach.
  if (!ShapeFits(itemsize, maxitems)) return EINVAL;
  *queuep = nullptr;
  SQueue *queue = NewZeroed<SQueue>();
  if (queue == nullptr) return ENOMEM;
  queue->queuedata = static_cast<unsigned char *>(Calloc(maxitems, itemsize));
  if (queue->queuedata == nullptr) {
    Free(queue);
    return ENOMEM;
  }
  queue->queuesize = maxitems;
  queue->itemsize = itemsize;
  *queuep = queue;
  return 0;
}

int squeue_free(SQueue **queuep) {
  if (queuep == nullptr || *queuep == nullptr) return EINVAL;
  Free((*queuep)->queuedata);
  Free(*queuep);
  *queuep = nullptr;
  return 0;
}

int squeue_item_enqueue(SQueue *queue, void *data) {
  if (queue == nullptr || data == nullptr) return EINVAL;
  if (queue->items >= queue->queuesize) return ENOSPC;
  std::memcpy(queue->queuedata + queue->writepos, data, queue->itemsize);
  queue->writepos = Advance(*queue, queue->writepos);
  ++queue->items;
  return 0;
}

int squeue_item_dequeue(SQueue *queue, void *data) {
  int status = squeue_item_peek(queue, data);
  if (status != 0) return status;
  queue->readpos = Advance(*queue, queue->readpos);
  --queue->items;
  return 0;
}

int squeue_item_peek(SQueue *queue, void *data) {
  if (queue == nullptr || data == nullptr) return EINVAL;
  if (queue->items == 0) return ENOENT;
  std::memcpy(data, queue->queuedata + queue->readpos, queue->itemsize);
  return 0;
}

int squeue_item_count(SQueue *queue, int *countp) {
  if (queue == nullptr || countp == nullptr) return EINVAL;
  *countp = static_cast<int>(queue->items);
  return 0;
}

}  // extern "C"

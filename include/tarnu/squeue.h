/* squeue: a fixed-capacity first-in first-out ring of fixed-size items.
 *
 * The queue owns one buffer of queuesize x itemsize bytes, made by squeue_new.
 * Items are copied in and out by value: the queue never keeps a caller's
 * pointer, and enqueue, dequeue and peek allocate nothing. The caller's
 * buffers for those three must hold itemsize bytes.
 *
 * Results are 0 or an errno number: 22 (EINVAL) for a missing argument or an
 * unusable size, 12 (ENOMEM) when the queue cannot be made, 28 (ENOSPC) for a
 * full queue, 2 (ENOENT) for an empty one.
 *
 * Thread safety: none; one thread at a time per queue. */
#ifndef TARNU_SQUEUE_H_
#define TARNU_SQUEUE_H_

#include <tarnu/export.h>

TARNU_BEGIN_DECLS

typedef struct SQueue {
  unsigned long queuesize;  /* capacity, in items */
  unsigned long itemsize;   /* bytes per item */
  unsigned long writepos;   /* byte offset where the next item goes */
  unsigned long readpos;    /* byte offset of the oldest item */
  unsigned long items;      /* number of items held */
  unsigned char *queuedata; /* owned, queuesize x itemsize bytes */
} SQueue;

/* Makes an empty queue of maxitems items of itemsize bytes in *queuep. 22 for a
 * null queuep, a zero size, a buffer size that does not fit size_t, or more
 * than INT_MAX items (which squeue_item_count could not report); *queuep is
 * then untouched. 12 when the record or buffer cannot be allocated (*queuep
 * null). */
TARNU_EXPORT int squeue_new(SQueue **queuep, unsigned long itemsize, unsigned long maxitems);
/* Frees the buffer and the record and sets *queuep to null. 22 for a null
 * queuep or *queuep. */
TARNU_EXPORT int squeue_free(SQueue **queuep);
/* Copies itemsize bytes from data to the back. 22 for null arguments, 28 when
 * the queue is full (nothing copied). */
TARNU_EXPORT int squeue_item_enqueue(SQueue *queue, void *data);
/* Copies the oldest item into data and drops it. 22 for null arguments, 2 when
 * the queue is empty. */
TARNU_EXPORT int squeue_item_dequeue(SQueue *queue, void *data);
/* Copies the oldest item into data and keeps it. 22 for null arguments, 2 when
 * the queue is empty. */
TARNU_EXPORT int squeue_item_peek(SQueue *queue, void *data);
/* *countp = number of items held. 22 for null arguments. */
TARNU_EXPORT int squeue_item_count(SQueue *queue, int *countp);

TARNU_END_DECLS

#endif /* TARNU_SQUEUE_H_ */

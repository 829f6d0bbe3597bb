// Ring queue: order across the wrap, full/empty results, sizes, allocation failure.
#include "tarnu/squeue.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "alloc_hook.h"

namespace {

// Owns a queue for the duration of a test.
class QueueTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (queue_ != nullptr) {
      EXPECT_EQ(squeue_free(&queue_), 0);
    }
  }
  void Make(unsigned long itemsize, unsigned long maxitems) {
    ASSERT_EQ(squeue_new(&queue_, itemsize, maxitems), 0);
  }
  int Count() {
    int count = -1;
    EXPECT_EQ(squeue_item_count(queue_, &count), 0);
    return count;
  }
  // Enqueues one int, returning the status.
  int Put(int value) { return squeue_item_enqueue(queue_, &value); }
  // Dequeues one int; -1 stands for a failed dequeue.
  int Take() {
    int value = -1;
    return squeue_item_dequeue(queue_, &value) == 0 ? value : -1;
  }

  SQueue *queue_ = nullptr;
};

TEST_F(QueueTest, NewQueueIsEmptyAndZeroFilled) {
  Make(8, 4);
  EXPECT_EQ(queue_->queuesize, 4UL);
  EXPECT_EQ(queue_->itemsize, 8UL);
  EXPECT_EQ(queue_->writepos, 0UL);
  EXPECT_EQ(queue_->readpos, 0UL);
  EXPECT_EQ(queue_->items, 0UL);
  ASSERT_NE(queue_->queuedata, nullptr);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(queue_->queuedata[i], 0) << i;
  EXPECT_EQ(Count(), 0);
}

TEST_F(QueueTest, CapacityOneFillsAndEmpties) {
  Make(sizeof(int), 1);
  EXPECT_EQ(Put(7), 0);
  EXPECT_EQ(Put(8), ENOSPC);
  EXPECT_EQ(Count(), 1);
  EXPECT_EQ(Take(), 7);
  int value = 99;
  EXPECT_EQ(squeue_item_dequeue(queue_, &value), ENOENT);
  EXPECT_EQ(value, 99);
  EXPECT_EQ(Count(), 0);
}

TEST_F(QueueTest, OrderSurvivesTheWrap) {
  Make(sizeof(int), 3);
  EXPECT_EQ(Put('A'), 0);
  EXPECT_EQ(Put('B'), 0);
  EXPECT_EQ(Put('C'), 0);
  EXPECT_EQ(Take(), 'A');
  EXPECT_EQ(Take(), 'B');
  EXPECT_EQ(Put('D'), 0);
  EXPECT_EQ(Put('E'), 0);
  EXPECT_EQ(Put('F'), ENOSPC);
  EXPECT_EQ(Count(), 3);
  EXPECT_EQ(queue_->writepos, queue_->readpos);
  EXPECT_EQ(Take(), 'C');
  EXPECT_EQ(Take(), 'D');
  EXPECT_EQ(Take(), 'E');
  EXPECT_EQ(Take(), -1);
}

TEST_F(QueueTest, PositionsStayInsideTheBufferOverManyRounds) {
  Make(sizeof(int), 5);
  int next_in = 0;
  int next_out = 0;
  // Uneven bursts move the wrap point around every slot.
  for (int round = 0; round < 40; ++round) {
    int burst = 1 + round % 5;
    for (int i = 0; i < burst && Count() < 5; ++i) ASSERT_EQ(Put(next_in++), 0);
    for (int i = 0; i < (round % 3) + 1 && Count() > 0; ++i) ASSERT_EQ(Take(), next_out++);
    ASSERT_LT(queue_->writepos, 5 * sizeof(int));
    ASSERT_LT(queue_->readpos, 5 * sizeof(int));
    ASSERT_EQ(queue_->writepos % sizeof(int), 0U);
    ASSERT_EQ(Count(), next_in - next_out);
  }
  while (Count() > 0) ASSERT_EQ(Take(), next_out++);
  EXPECT_EQ(next_out, next_in);
}

TEST_F(QueueTest, PeekShowsTheOldestAndChangesNothing) {
  Make(sizeof(int), 2);
  int value = 0;
  EXPECT_EQ(squeue_item_peek(queue_, &value), ENOENT);
  ASSERT_EQ(Put(1), 0);
  ASSERT_EQ(Put(2), 0);
  EXPECT_EQ(squeue_item_peek(queue_, &value), 0);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(squeue_item_peek(queue_, &value), 0);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(Count(), 2);
  EXPECT_EQ(Take(), 1);
  EXPECT_EQ(squeue_item_peek(queue_, &value), 0);
  EXPECT_EQ(value, 2);
  EXPECT_EQ(Take(), 2);
}

TEST_F(QueueTest, WholeRecordsAreCopiedByValue) {
  constexpr unsigned long kRecord = 408;
  Make(kRecord, 2);
  std::array<unsigned char, kRecord> in{};
  for (unsigned long i = 0; i < kRecord; ++i) in[i] = static_cast<unsigned char>(i * 7 + 1);
  ASSERT_EQ(squeue_item_enqueue(queue_, in.data()), 0);
  in.fill(0);  // the queue keeps its own copy
  std::array<unsigned char, kRecord> out{};
  ASSERT_EQ(squeue_item_dequeue(queue_, out.data()), 0);
  for (unsigned long i = 0; i < kRecord; ++i) {
    ASSERT_EQ(out[i], static_cast<unsigned char>(i * 7 + 1)) << i;
  }
}

TEST_F(QueueTest, NullArgumentsGiveEinval) {
  Make(sizeof(int), 1);
  int value = 0;
  EXPECT_EQ(squeue_item_enqueue(nullptr, &value), EINVAL);
  EXPECT_EQ(squeue_item_enqueue(queue_, nullptr), EINVAL);
  EXPECT_EQ(squeue_item_dequeue(nullptr, &value), EINVAL);
  EXPECT_EQ(squeue_item_dequeue(queue_, nullptr), EINVAL);
  EXPECT_EQ(squeue_item_peek(nullptr, &value), EINVAL);
  EXPECT_EQ(squeue_item_peek(queue_, nullptr), EINVAL);
  EXPECT_EQ(squeue_item_count(nullptr, &value), EINVAL);
  EXPECT_EQ(squeue_item_count(queue_, nullptr), EINVAL);
  EXPECT_EQ(Count(), 0);
}

TEST(QueueLifecycle, ZeroSizesAndNullHandleAreRefusedWithoutTouchingTheHandle) {
  SQueue sentinel{};
  SQueue *queue = &sentinel;
  EXPECT_EQ(squeue_new(nullptr, 4, 4), EINVAL);
  EXPECT_EQ(squeue_new(&queue, 0, 4), EINVAL);
  EXPECT_EQ(squeue_new(&queue, 4, 0), EINVAL);
  EXPECT_EQ(queue, &sentinel);
}

TEST(QueueLifecycle, FreeTwiceGivesZeroThenEinval) {
  SQueue *queue = nullptr;
  ASSERT_EQ(squeue_new(&queue, 4, 4), 0);
  EXPECT_EQ(squeue_free(&queue), 0);
  EXPECT_EQ(queue, nullptr);
  EXPECT_EQ(squeue_free(&queue), EINVAL);
  EXPECT_EQ(squeue_free(nullptr), EINVAL);
}

TEST(QueueLifecycle, BufferSizeOverflowingSizeTIsRefused) {
  SQueue sentinel{};
  SQueue *queue = &sentinel;
  constexpr unsigned long kMax = std::numeric_limits<unsigned long>::max();
  tarnu_alloc_hook_count();
  // The wrapped product would be small (2 and 0 bytes) and allocate fine.
  EXPECT_EQ(squeue_new(&queue, kMax / 2 + 2, 2), EINVAL);
  EXPECT_EQ(squeue_new(&queue, 1UL << (sizeof(long) * 4), 1UL << (sizeof(long) * 4)), EINVAL);
  EXPECT_EQ(squeue_new(&queue, kMax, 3), EINVAL);
  EXPECT_EQ(tarnu_alloc_hook_allocations(), 0);
  tarnu_alloc_hook_reset();
  EXPECT_EQ(queue, &sentinel);
}

TEST(QueueLifecycle, CapacityBeyondWhatTheCountCanReportIsRefused) {
  SQueue *queue = nullptr;
  tarnu_alloc_hook_count();
  EXPECT_EQ(squeue_new(&queue, 1, static_cast<unsigned long>(INT_MAX) + 1), EINVAL);
  EXPECT_EQ(tarnu_alloc_hook_allocations(), 0);
  tarnu_alloc_hook_reset();
  EXPECT_EQ(queue, nullptr);
}

TEST(QueueLifecycle, AllocationFailureGivesEnomemAndLeaksNothing) {
  int failures = 0;
  for (long n = 1;; ++n) {
    SQueue sentinel{};
    SQueue *queue = &sentinel;
    tarnu_alloc_hook_fail_at(n);
    int status = squeue_new(&queue, 408, 16);
    tarnu_alloc_hook_reset();
    if (status == 0) {
      ASSERT_NE(queue, nullptr);
      ASSERT_EQ(squeue_free(&queue), 0);
      break;
    }
    ++failures;
    EXPECT_EQ(status, ENOMEM) << n;
    EXPECT_EQ(queue, nullptr) << n;
  }
  EXPECT_EQ(failures, 2);  // the record, then the buffer
}

}  // namespace

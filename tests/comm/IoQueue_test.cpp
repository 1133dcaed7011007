#include "comm/IoQueue.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using comm::TDataBuffer;
using comm::TIOQueue;
using comm::TStatusBuffer;

// A record the dispatcher has read empty comes back to the read thread as a fresh one: no
// bytes counted as filled or already handed out, not in use, full capacity.
TEST(IoQueueSpares, ARecordReadEmptyIsHandedBackResetAndOnlyDataRecordsAreKept) {
  TIOQueue queue;
  EXPECT_EQ(queue.TakeSpare(), nullptr);

  auto record = TDataBuffer::Create();
  TDataBuffer* raw = record.get();
  record->Used = 200;
  queue.Push(std::move(record));
  auto* first = static_cast<TDataBuffer*>(queue.PeekFirst());
  ASSERT_EQ(first, raw);
  first->ReadPos = 200;
  queue.Recycle(queue.PopFirst());
  EXPECT_EQ(queue.Count(), 0u);

  std::unique_ptr<TDataBuffer> spare = queue.TakeSpare();
  ASSERT_EQ(spare.get(), raw);
  EXPECT_EQ(spare->Used, 0u);
  EXPECT_EQ(spare->ReadPos, 0u);
  EXPECT_FALSE(spare->InUse.load());
  EXPECT_EQ(spare->Size, TDataBuffer::kCapacity);
  EXPECT_EQ(queue.TakeSpare(), nullptr);

  // Status records and short data records are freed, not kept.
  queue.Recycle(std::make_unique<TStatusBuffer>(0x80));
  queue.Recycle(TDataBuffer::Create(16));
  EXPECT_EQ(queue.TakeSpare(), nullptr);

  // The number kept is bounded; what is beyond the bound is freed.
  for (int i = 0; i < 1000; ++i) queue.Recycle(TDataBuffer::Create());
  int kept = 0;
  while (queue.TakeSpare()) ++kept;
  EXPECT_GT(kept, 0);
  EXPECT_LT(kept, 1000);
}

// The producer stops at the bound and is told when a removal takes the queue back below it;
// removals that leave it above the bound, or that were below it anyway, say nothing.
TEST(IoQueueBound, RoomIsSignalledOnlyWhenARemovalCrossesBackBelowTheBound) {
  TIOQueue queue;
  const uint32_t record = TDataBuffer::kCapacity;
  queue.SetByteLimit(3 * record);
  auto push = [&] { queue.Push(TDataBuffer::Create()); };
  push();
  push();
  EXPECT_FALSE(queue.AtLimit());
  push();
  push();  // the producer may overshoot by the record it was reading when it got there
  EXPECT_TRUE(queue.AtLimit());

  queue.PopFirst();  // 3 records: still at the bound
  EXPECT_TRUE(queue.AtLimit());
  EXPECT_FALSE(queue.RoomEvent().Wait(0));
  queue.PopFirst();  // 2 records: room
  EXPECT_FALSE(queue.AtLimit());
  EXPECT_TRUE(queue.RoomEvent().Wait(0));
  queue.PopFirst();
  EXPECT_FALSE(queue.RoomEvent().Wait(0));

  // A purge that empties a full queue makes room too, but not one that finds it below.
  push();
  push();
  push();
  ASSERT_TRUE(queue.AtLimit());
  queue.Clear();
  EXPECT_EQ(queue.ByteCount(), 0u);
  EXPECT_TRUE(queue.RoomEvent().Wait(0));
  push();
  queue.Clear();
  EXPECT_FALSE(queue.RoomEvent().Wait(0));

  // Without a bound (the dispatch log's queue) nothing is ever at the limit.
  TIOQueue unbounded;
  for (int i = 0; i < 1000; ++i) unbounded.Push(TDataBuffer::Create());
  EXPECT_FALSE(unbounded.AtLimit());
}

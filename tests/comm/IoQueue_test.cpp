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

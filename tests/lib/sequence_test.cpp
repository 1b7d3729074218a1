// Loss accounting: gaps in block numbers and frames overwritten in the ring.
#include <gtest/gtest.h>

#include "tarvik/sequence.h"

namespace tarvik {
namespace {

TEST(BlockSequenceTest, CountsEveryMissingNumberIncludingBeforeTheFirstAndAcrossTheWrap) {
  BlockSequence sequence;
  EXPECT_EQ(sequence.Accept(0), 0u);
  EXPECT_EQ(sequence.Accept(1), 0u);
  EXPECT_EQ(sequence.Accept(5), 3u);  // 2, 3, 4 dropped by a full pool
  EXPECT_EQ(sequence.Accept(6), 0u);
  EXPECT_EQ(sequence.Received(), 4u);
  EXPECT_EQ(sequence.Lost(), 3u);

  BlockSequence late;
  EXPECT_EQ(late.Accept(2), 2u);  // blocks 0 and 1 never arrived

  BlockSequence wrap;
  for (uint32_t n = 0; n <= 0xFFFF; ++n) wrap.Accept(static_cast<uint16_t>(n));
  EXPECT_EQ(wrap.Accept(0), 0u);  // 65535 -> 0 is the next block
  EXPECT_EQ(wrap.Accept(3), 2u);
  EXPECT_EQ(wrap.Lost(), 2u);
}

TEST(StreamPositionTest, TakesOnlyNewFramesAndCountsOverwrittenOnes) {
  StreamPosition position(4);
  // Before the first frame the ring reports no wrap and its last index: nothing new.
  auto none = position.Accept(0, 3, 4);
  EXPECT_EQ(none.fresh, 0u);
  EXPECT_EQ(none.lost, 0u);

  auto two = position.Accept(0, 1, 4);  // frames 0 and 1
  EXPECT_EQ(two.fresh, 2u);
  auto full = position.Accept(1, 3, 4);  // frames 2 and 3; the wrap counts at the ring's end
  EXPECT_EQ(full.fresh, 2u);
  EXPECT_EQ(full.lost, 0u);
  EXPECT_EQ(position.Accept(1, 3, 4).fresh, 0u);  // the same snapshot again

  auto overrun = position.Accept(3, 1, 4);  // written up to 14: 10 new, only 4 in the ring
  EXPECT_EQ(overrun.fresh, 4u);
  EXPECT_EQ(overrun.lost, 6u);
  EXPECT_EQ(position.Written(), 14u);
  EXPECT_EQ(position.Lost(), 6u);

  // A snapshot shorter than the ring limits what can be taken.
  auto shortSnapshot = position.Accept(4, 3, 1);  // up to 16: 2 new, 1 returned
  EXPECT_EQ(shortSnapshot.fresh, 1u);
  EXPECT_EQ(shortSnapshot.lost, 1u);
}

TEST(StreamPositionTest, PendingCountsWhatASnapshotWouldAddWithoutTakingIt) {
  StreamPosition position(4);
  EXPECT_EQ(position.Pending(0, 3), 0u);  // before the first frame
  EXPECT_EQ(position.Pending(0, 1), 2u);
  EXPECT_EQ(position.Pending(0, 1), 2u);  // asking takes nothing
  position.Accept(0, 1, 4);
  EXPECT_EQ(position.Pending(0, 1), 0u);
  EXPECT_EQ(position.Pending(2, 0), 7u);  // across two wraps: frames 2..8
  EXPECT_EQ(position.Accept(2, 0, 4).fresh, 4u);
  EXPECT_EQ(position.Lost(), 3u);
}

TEST(StreamPositionTest, FollowsTheSixteenBitWrapCounterPastItsEnd) {
  StreamPosition position(2);
  uint64_t fresh = 0;
  for (uint32_t wraps = 1; wraps <= 0x10002; ++wraps) {
    fresh += position.Accept(static_cast<uint16_t>(wraps), 1, 2).fresh;
  }
  EXPECT_EQ(fresh, 2u * 0x10002);
  EXPECT_EQ(position.Lost(), 0u);
}

}  // namespace
}  // namespace tarvik

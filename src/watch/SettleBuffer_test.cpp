#include "watch/SettleBuffer.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>

namespace watch {
namespace {

class SettleBufferTest : public ::testing::Test {
 protected:
  // Adds count frames of different lengths, written at at_ms.
  void Add(int count, int64_t at_ms) {
    for (int i = 0; i < count; ++i, ++n) {
      kept.push_back("<" + std::to_string(n) + std::string(n % 7, '.') + ">");
      buffer.Add(kept.back(), at_ms);
    }
  }
  size_t Settle(int64_t until_ms) {
    const size_t settled = buffer.SettleUntil(until_ms);
    kept.erase(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(settled));
    return settled;
  }
  // The kept frames from the i-th on, back to back.
  std::string Kept(size_t from, size_t count) const {
    std::string out;
    for (size_t i = from; i < from + count; ++i) out += kept[i];
    return out;
  }

  SettleBuffer buffer;
  std::deque<std::string> kept;
  int n = 0;
};

// Reports settle oldest first by the time of their last write; after a
// break they all wait, nothing settles, and they go back onto the
// connection in order, stamped anew, in as many parts as the writer likes.
TEST_F(SettleBufferTest, SettlesInOrderAndGivesBackWhatABreakLeft) {
  Add(100, 1);
  Add(100, 2);
  EXPECT_EQ(Settle(0), 0u);
  EXPECT_EQ(Settle(1), 100u);
  EXPECT_EQ(buffer.OnConnection(), 100u);

  buffer.Broke();
  EXPECT_EQ(buffer.Waiting(), 100u);
  EXPECT_EQ(Settle(100), 0u) << "nothing on a broken connection settles";
  EXPECT_EQ(buffer.NextWaiting(100), Kept(0, 100));
  EXPECT_EQ(buffer.NextWaiting(30), Kept(0, 30));
  buffer.Rewritten(30, 10);
  EXPECT_EQ(buffer.Waiting(), 70u);
  EXPECT_EQ(buffer.NextWaiting(70), Kept(30, 70));
  buffer.Rewritten(70, 11);
  EXPECT_EQ(Settle(10), 30u);
  EXPECT_EQ(buffer.Reports(), 70u);

  EXPECT_EQ(buffer.Clear(), 70u);
  kept.clear();
  EXPECT_TRUE(buffer.Empty());
  Add(1, 0);
  EXPECT_EQ(buffer.NextWaiting(0), "");
  buffer.Broke();
  EXPECT_EQ(buffer.NextWaiting(1), Kept(0, 1));
}

// Many rounds of writes, settles and breaks: the ring wraps and grows, the
// buffer of frames compacts, and what is kept is always what was written
// last, byte for byte.
TEST_F(SettleBufferTest, KeepsTheBytesAcrossWrapGrowthAndCompaction) {
  for (int round = 0; round < 60; ++round) {
    Add(300 + round * 7, 20 + round);
    Settle(18 + round);
    buffer.Broke();
    ASSERT_EQ(buffer.NextWaiting(buffer.Waiting()), Kept(0, kept.size())) << round;
    buffer.Rewritten(buffer.Waiting(), 20 + round);
  }
  EXPECT_EQ(buffer.Reports(), kept.size());
}

}  // namespace
}  // namespace watch

#include "support/lock_table.h"

#include <gtest/gtest.h>

#include <limits>

namespace tarvo {
namespace {

TEST(LockTableTest, OverlapsAtEveryEdge) {
  TLockTable table;
  ASSERT_TRUE(table.Add(100, 10));  // [100, 109]
  EXPECT_FALSE(table.Add(105, 1));
  EXPECT_FALSE(table.Add(90, 11));   // ends at 100
  EXPECT_FALSE(table.Add(109, 5));   // starts at 109
  EXPECT_FALSE(table.Add(50, 100));  // covers it
  EXPECT_TRUE(table.Add(110, 1));
  EXPECT_TRUE(table.Add(99, 1));
  EXPECT_EQ(3u, table.Count());
}

TEST(LockTableTest, OnlyTheExactRangeIsReleased) {
  TLockTable table;
  ASSERT_TRUE(table.Add(100, 10));
  EXPECT_FALSE(table.Remove(100, 5));
  EXPECT_FALSE(table.Remove(101, 9));
  EXPECT_TRUE(table.Remove(100, 10));
  EXPECT_FALSE(table.Remove(100, 10));
  EXPECT_TRUE(table.Empty());
}

TEST(LockTableTest, RefusesEmptyAndOverflowingRanges) {
  TLockTable table;
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  EXPECT_FALSE(table.Add(5, 0));
  EXPECT_FALSE(table.Add(5, -1));
  EXPECT_FALSE(table.Add(kMax, 2));
  EXPECT_TRUE(table.Add(kMax, 1));
  EXPECT_TRUE(table.Add(-10, 5));  // the in-memory layer takes any offsets
  EXPECT_FALSE(table.Overlaps(kMax - 1, 0));
  EXPECT_TRUE(table.Overlaps(kMax - 1, 2));
}

}  // namespace
}  // namespace tarvo

#include "support/system_list.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <vector>

namespace tarvo {
namespace {

void* P(std::intptr_t v) {
  return reinterpret_cast<void*>(v);
}
std::intptr_t V(void* p) {
  return reinterpret_cast<std::intptr_t>(p);
}

TEST(SystemListTest, GrowsByTheRule) {
  TSystemList list;
  std::vector<std::size_t> capacities;
  for (int i = 0; i < 130; ++i) {
    const std::size_t before = list.Capacity();
    list.Add(P(i + 1));
    if (list.Capacity() != before) capacities.push_back(list.Capacity());
  }
  // +4 below 9, +16 from 9 to 64, +1/4 above 64.
  EXPECT_EQ((std::vector<std::size_t>{4, 8, 12, 28, 44, 60, 76, 95, 118, 147}), capacities);
}

TEST(SystemListTest, InsertDeleteExchangeIndexOf) {
  TSystemList list;
  for (int i = 1; i <= 5; ++i) list.Add(P(i));
  list.Insert(0, P(10));
  list.Insert(6, P(11));
  list.Delete(3);  // removes 3
  ASSERT_EQ(6u, list.Count());
  std::vector<std::intptr_t> items;
  for (std::size_t i = 0; i < list.Count(); ++i) items.push_back(V(list.Item(i)));
  EXPECT_EQ((std::vector<std::intptr_t>{10, 1, 2, 4, 5, 11}), items);
  list.Exchange(0, 5);
  EXPECT_EQ(11, V(list.First()));
  EXPECT_EQ(10, V(list.Last()));
  EXPECT_EQ(3, list.IndexOf(P(4)));
  EXPECT_EQ(-1, list.IndexOf(P(3)));
  EXPECT_THROW(list.Item(6), std::out_of_range);
  EXPECT_THROW(list.Insert(7, nullptr), std::out_of_range);
  EXPECT_THROW(list.Delete(6), std::out_of_range);
  TSystemList empty;
  EXPECT_THROW(empty.First(), std::out_of_range);
  EXPECT_THROW(empty.Last(), std::out_of_range);
}

TEST(SystemListTest, CountCapacityAndCopy) {
  TSystemList list;
  list.Add(P(1));
  list.Add(P(2));
  list.SetCount(5);
  EXPECT_EQ(nullptr, list.Item(4));
  list.SetCount(1);
  list.SetCount(2);
  EXPECT_EQ(nullptr, list.Item(1));  // dropped items do not come back
  list.SetCapacity(0);
  EXPECT_EQ(2u, list.Capacity());  // never below the count
  TSystemList copy;
  copy.Assign(list);
  EXPECT_EQ(2u, copy.Count());
  EXPECT_EQ(1, V(copy.First()));
  list.Clear();
  EXPECT_EQ(0u, list.Capacity());
}

int Ascending(const void* a, const void* b) {
  return V(const_cast<void*>(a)) < V(const_cast<void*>(b))
             ? -1
             : V(const_cast<void*>(a)) > V(const_cast<void*>(b));
}
int Liar(const void*, const void*) {
  static std::mt19937 random(7);
  return static_cast<int>(random() % 3) - 1;
}

TEST(SystemListTest, SortsAndStaysInBoundsWhateverTheComparison) {
  std::mt19937 random(42);
  TSystemList list;
  for (int i = 0; i < 1000; ++i) list.Add(P(static_cast<std::intptr_t>(random() % 100)));
  list.Sort(&Ascending);
  for (std::size_t i = 1; i < list.Count(); ++i) EXPECT_LE(V(list.Item(i - 1)), V(list.Item(i)));
  list.Sort(&Liar);  // inconsistent answers: any order, but every item still there
  EXPECT_EQ(1000u, list.Count());
  for (int i = 0; i < 1000; ++i) list.SetItem(static_cast<std::size_t>(i), P(5));
  list.Sort(&Ascending);  // all equal
  EXPECT_EQ(5, V(list.Last()));
}

}  // namespace
}  // namespace tarvo

// The key sorter against a plain sort of the same pairs by the tree's own comparison: keys with
// long shared beginnings, many equal keys and few distinct leading bytes, in every kind of order
// (ascending and descending bytes, case-insensitive text, a locale's collation), drained alone,
// with a second thread sorting groups ahead, with that thread told to stop at once, and through
// spilled runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/index/key_sorter.h"
#include "tests/engine/index/index_test_table.h"

namespace tarvo {
namespace {

using testing::Field;
using testing::MakeIndex;
using testing::Numbered;
using testing::TIndexTestTable;

constexpr std::uint16_t kName = 2;
constexpr std::uint16_t kNum = 3;

using TPair = std::pair<std::vector<std::byte>, std::int32_t>;

std::vector<TFieldDescriptor> Fields() {
  return Numbered(
      {Field("ID", kTypeInt32, 0, kSubTypeAutoInc), Field("Name", kTypeText, 40), Field("Num", kTypeInt32)});
}

std::vector<TIndexDescriptor> Indexes() {
  return {MakeIndex({"", {1}, {}, true}), MakeIndex({"ByName", {kName}, {}}),
          MakeIndex({"ByNameDesc", {kName}, {}, false, true}),
          MakeIndex({"ByNameCI", {kName}, {}, false, false, true}),
          MakeIndex({"ByNameNum", {kName, kNum}, {false, true}})};
}

// Names over few letters after a long common part: many keys share their first 16 bytes, a
// third of them repeat, and some are NULL.
std::vector<TPair> MakePairs(TIndexTestTable& table, const TIndexTree& tree, int count, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<TPair> pairs;
  std::vector<std::byte> key(tree.KeyLength());
  for (int n = 1; n <= count; ++n) {
    std::vector<std::byte> record = table.NewRecord(n);
    if (rng() % 20 != 0) {
      std::string name = (rng() % 2 == 0 ? "Oberkirchenverwaltung " : "Ob") + std::to_string(rng() % 300);
      if (rng() % 3 == 0) name[1] = 'B';
      table.SetText(record, kName, name);
    }
    table.SetInt32(record, kNum, static_cast<std::int32_t>(rng() % 7) - 3);
    tree.Codec().BuildInto(record, key);
    pairs.emplace_back(key, n);
  }
  std::shuffle(pairs.begin(), pairs.end(), rng);
  return pairs;
}

std::vector<TPair> InTreeOrder(const TIndexTree& tree, std::vector<TPair> pairs) {
  std::sort(pairs.begin(), pairs.end(), [&](const TPair& a, const TPair& b) {
    const int c = tree.CompareKeys(a.first, b.first);
    return c != 0 ? c < 0 : a.second < b.second;
  });
  return pairs;
}

enum class TMode { kAlone, kSortedAhead, kStoppedAtOnce, kSpilled };

std::vector<TPair> Sorted(TIndexTestTable& table, const TIndexTree& tree, const std::vector<TPair>& pairs,
                          TMode mode) {
  // Small enough a budget spills every few thousand pairs.
  const std::size_t budget = mode == TMode::kSpilled ? 64u << 10 : 16u << 20;
  TKeySorter sorter(tree, budget, table.Dir().File("T.S01"), false, static_cast<std::int64_t>(pairs.size()));
  for (const auto& [key, record] : pairs) sorter.Add(key, record);
  sorter.Prepare();
  if (mode == TMode::kSpilled) {
    EXPECT_GT(sorter.RunCount(), 1);
  }
  std::atomic<bool> stop{mode == TMode::kStoppedAtOnce};
  std::thread ahead;
  if (mode == TMode::kSortedAhead || mode == TMode::kStoppedAtOnce) ahead = std::thread([&] { sorter.SortAhead(stop); });
  std::vector<TPair> out;
  sorter.Drain([&](std::span<const std::byte> key, std::int32_t record) {
    out.emplace_back(std::vector<std::byte>(key.begin(), key.end()), record);
  });
  if (ahead.joinable()) ahead.join();
  EXPECT_EQ(sorter.PairCount(), 0);
  return out;
}

TEST(KeySorterTest, PairsComeOutInTheTreesOrderHoweverTheyAreSorted) {
  for (const TLanguageId language : {TLanguageId{0}, TLanguageId{1033}}) {
    TIndexTestTable table(Fields(), Indexes(), language, 0);
    for (int slot = 1; slot <= 4; ++slot) {
      const auto tree = table.Tree(slot);
      const std::vector<TPair> pairs = MakePairs(table, *tree, 8000, static_cast<std::uint32_t>(slot));
      const std::vector<TPair> expected = InTreeOrder(*tree, pairs);
      for (const TMode mode : {TMode::kAlone, TMode::kSortedAhead, TMode::kStoppedAtOnce, TMode::kSpilled}) {
        EXPECT_TRUE(Sorted(table, *tree, pairs, mode) == expected)
            << "language " << language << ", index " << tree->Name() << ", mode " << static_cast<int>(mode);
      }
    }
  }
}

TEST(KeySorterTest, PairsInOrderAlreadyAndNoPairsAtAll) {
  TIndexTestTable table(Fields(), Indexes());
  const auto tree = table.Tree(1);
  const std::vector<TPair> expected = InTreeOrder(*tree, MakePairs(table, *tree, 3000, 7));
  EXPECT_TRUE(Sorted(table, *tree, expected, TMode::kSortedAhead) == expected);
  EXPECT_TRUE(Sorted(table, *tree, {}, TMode::kSortedAhead).empty());
}

TEST(KeySorterTest, PairsThatMayNotFitAreSpilledBeforeTheBudgetIsFull) {
  // A table too big for the budget must not take more memory than one that just fits it.
  TIndexTestTable table(Fields(), Indexes());
  const auto tree = table.Tree(1);
  const std::vector<TPair> pairs = MakePairs(table, *tree, 1000, 3);
  const std::size_t budget = 1000 * TKeySorter::PairCost(tree->KeyLength());  // room for the 1000 pairs
  for (const std::int64_t bound : {std::int64_t{1000}, std::int64_t{-1}, std::int64_t{5000}}) {
    TKeySorter sorter(*tree, budget, table.Dir().File("T.S01"), false, bound);
    for (const auto& [key, record] : pairs) sorter.Add(key, record);
    sorter.Prepare();
    EXPECT_EQ(sorter.RunCount(), bound == 1000 ? 0 : 2) << "bound " << bound;
    std::vector<TPair> out;
    sorter.Drain([&](std::span<const std::byte> key, std::int32_t record) {
      out.emplace_back(std::vector<std::byte>(key.begin(), key.end()), record);
    });
    EXPECT_TRUE(out == InTreeOrder(*tree, pairs));
  }
}

}  // namespace
}  // namespace tarvo

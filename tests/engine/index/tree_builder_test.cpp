// Trees written from sorted keys against trees grown by inserts: the same records go into two
// tables, one through the cursor's ordinary inserts, one with its keys deferred and its indexes
// built afterwards. Every index kind takes part (each compression mode, unique and not,
// descending, a descending field, case-insensitive text with case variants and NULLs); the built
// trees must pass the tree checker, hold the same leaf entries as the inserted ones, keep working
// under later inserts and deletes, and refuse a unique key met twice. Small sort budgets force
// the keys through spilled runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <tuple>
#include <utility>

#include "errors/engine_error.h"
#include "support/fault_injector.h"
#include "engine/maintenance/index_build.h"
#include "tests/engine/index/index_test_table.h"
#include "tests/testing/engine_matchers.h"
#include "tests/testing/tree_checker.h"

namespace tarvo {
namespace {

using testing::Field;
using testing::MakeIndex;
using testing::Numbered;
using testing::TIndexTestTable;

constexpr std::uint16_t kId = 1;
constexpr std::uint16_t kName = 2;
constexpr std::uint16_t kNum = 3;
constexpr std::uint16_t kSmall = 4;
constexpr int kNameSize = 250;  // long keys: few entries a page, trees of three levels

std::vector<TFieldDescriptor> Fields() {
  return Numbered({Field("ID", kTypeInt32, 0, kSubTypeAutoInc), Field("Name", kTypeText, kNameSize),
                   Field("Num", kTypeInt32), Field("Small", kTypeInt16)});
}

std::vector<TIndexDescriptor> Indexes(bool unique_name) {
  return {MakeIndex({"", {kId}, {}, true}),
          MakeIndex({"ByNameNum", {kName, kNum}, {}, true, false, false, 0}),
          MakeIndex({"ByName1", {kName}, {}, unique_name, false, false, 1}),
          MakeIndex({"ByNameDesc2", {kName}, {}, false, true, false, 2}),
          MakeIndex({"ByNameCI3", {kName}, {}, false, false, true, 3}),
          MakeIndex({"ByNumNameDesc", {kNum, kName}, {false, true}, false, false, false, 0}),
          MakeIndex({"BySmall3", {kSmall}, {}, false, false, false, 3})};
}

// Names with long shared beginnings, case variants and NULLs: every compression mode has
// prefixes and trailing zeros to take away.
std::vector<std::byte> MakeRecord(TIndexTestTable& table, std::mt19937& rng, std::int32_t n) {
  std::vector<std::byte> record = table.NewRecord(0);
  const int kind = static_cast<int>(rng() % 10);
  if (kind > 0) {
    std::string name = std::string(rng() % 40, 'm') + std::to_string(rng() % 997);
    if (kind == 1) name[0] = 'M';
    if (kind == 2) name += std::string(60, 'z');
    table.SetText(record, kName, name);
  }
  table.SetInt32(record, kNum, n % 2 == 0 ? n : -n);
  table.SetInt16(record, kSmall, static_cast<std::int16_t>(rng() % 50));
  return record;
}

std::string SpillBase(TIndexTestTable& table) {
  return table.Dir().File("T");
}

void AddAll(TIndexTestTable& table, std::int32_t count, bool deferred) {
  std::mt19937 rng(count);
  table.Cursor().DeferIndexKeys(deferred);
  for (std::int32_t n = 1; n <= count; ++n) {
    std::vector<std::byte> record = MakeRecord(table, rng, n);
    (void)table.Cursor().AddRecord(record, false);
  }
  table.Cursor().DeferIndexKeys(false);
}

void ExpectSoundTable(TIndexTestTable& table) {
  const auto reader = testing::FileRecordReader(table.Table());
  table.Table().WriteAll(true, true);
  for (const auto& line : testing::CheckAllIndexTrees(table.Table())) ADD_FAILURE() << line;
  for (const auto& line : testing::CheckOneKeyPerRecord(table.Table(), reader)) ADD_FAILURE() << line;
  for (const auto& line : testing::CheckSysDeletedKeys(table.Table(), reader)) ADD_FAILURE() << line;
  for (const auto& line : testing::CheckActiveRecordCount(table.Table(), reader)) ADD_FAILURE() << line;
}

TEST(TreeBuilderTest, BuiltTreesEqualInsertedTreesAtEverySize) {
  // Budgets: everything in memory, and one small enough to sort in many spilled runs; the keys
  // sorted where the records are read, and on a thread of their own (batches of at most 512 KiB:
  // the largest table hands several over).
  const std::size_t small = 20000;
  const std::tuple<std::int32_t, std::size_t, bool> cases[] = {
      {0, kIndexBuildBudget, false},    {1, small, false},   {9, kIndexBuildBudget, false}, {250, small, false},
      {800, kIndexBuildBudget, false},  {800, small, false}, {0, kIndexBuildBudget, true},  {1, small, true},
      {4500, kIndexBuildBudget, true},  {4500, 100000, true}};
  for (const auto& [count, budget, background] : cases) {
    SCOPED_TRACE("count " + std::to_string(count) + ", budget " + std::to_string(budget) +
                 (background ? ", in the background" : ""));
    TIndexTestTable inserted(Fields(), Indexes(false));
    TIndexTestTable built(Fields(), Indexes(false));
    AddAll(inserted, count, false);
    AddAll(built, count, true);
    BuildIndexesFromRecords(built.Table(), AllIndexSlots(built.File()), SpillBase(built), false, budget, -1,
                            background);
    ExpectSoundTable(built);
    int deepest = 0;
    for (const int slot : testing::IndexSlots(built.Table(), true)) {
      const testing::TTreeReport want = testing::CheckIndexTree(*inserted.Tree(slot));
      const testing::TTreeReport got = testing::CheckIndexTree(*built.Tree(slot));
      EXPECT_TRUE(got.Ok()) << "slot " << slot << "\n" << got.Text();
      EXPECT_EQ(got.entries, want.entries) << "slot " << slot;
      // Full pages: never more pages than the inserts needed.
      EXPECT_LE(got.pages, want.pages) << "slot " << slot;
      deepest = std::max(deepest, got.depth);
    }
    if (count >= 800) {
      EXPECT_GE(deepest, 3);
    }
    // The spill files are gone.
    for (const auto& entry : std::filesystem::directory_iterator(built.Dir().Dir())) {
      EXPECT_EQ(entry.path().string().find(".S"), std::string::npos) << entry.path();
    }
  }
}

// Trees written as the keys arrive: the primary index and "Sys Deleted" get theirs in order, the
// others soon meet a key out of order; their trees then take the rest by inserts. Both ways must
// end in the trees the inserts grew, with a unique key met twice refused either way.
TEST(TreeBuilderTest, StreamedTreesTakeKeysOutOfOrderAfterAll) {
  for (const bool background : {false, true}) {
    SCOPED_TRACE(background ? "in the background" : "in the caller's thread");
    TIndexTestTable inserted(Fields(), Indexes(false));
    TIndexTestTable built(Fields(), Indexes(false));
    AddAll(inserted, 700, false);
    AddAll(built, 700, true);
    TDataFile& data = built.Table().DataFile();
    const std::vector<int> slots = AllIndexSlots(built.File());
    {
      TIndexBuild build(built.Table(), slots, SpillBase(built), false, 30000, 700, background);
      for (const int slot : slots) build.StreamInOrder(slot);
      for (std::int32_t s = 1; s < data.Header().NextRecordSlot; ++s) {
        TRecordPin pin = built.Table().Records().GetRecord(nullptr, s, true, TReadAhead::kSlotOrder);
        ASSERT_TRUE(pin);
        build.Add(pin->Bytes(), s);
      }
      build.Finish();
    }
    ExpectSoundTable(built);
    for (const int slot : testing::IndexSlots(built.Table(), true)) {
      EXPECT_EQ(testing::CheckIndexTree(*built.Tree(slot)).entries, testing::CheckIndexTree(*inserted.Tree(slot)).entries)
          << "slot " << slot;
    }
  }
  // A unique index meets a key twice: while it streams, and after it fell back to inserts.
  for (const std::int32_t again : {40, 250}) {
    TIndexTestTable built(Fields(), Indexes(true));
    built.Cursor().DeferIndexKeys(true);
    for (std::int32_t n = 1; n <= 300; ++n) {
      std::vector<std::byte> record = built.NewRecord(0);
      // In order up to 100, then out of order.
      const std::int32_t k = n <= 100 ? n : 400 - n;
      built.SetText(record, kName, "name" + std::to_string(1000 + (n == again ? again - 1 : k)));
      built.SetInt32(record, kNum, n);
      (void)built.Cursor().AddRecord(record, false);
    }
    TDataFile& data = built.Table().DataFile();
    const std::vector<int> slots = AllIndexSlots(built.File());
    TIndexBuild build(built.Table(), slots, SpillBase(built), false, 30000, 300);
    for (const int slot : slots) build.StreamInOrder(slot);
    EXPECT_ENGINE_ERROR(kDuplicateKey, {
      for (std::int32_t s = 1; s < data.Header().NextRecordSlot; ++s) {
        TRecordPin pin = built.Table().Records().GetRecord(nullptr, s, true, TReadAhead::kSlotOrder);
        build.Add(pin->Bytes(), s);
      }
      build.Finish();
    });
  }
}

TEST(TreeBuilderTest, BuiltTreesTakeLaterChangesAndSurviveReopening) {
  TIndexTestTable built(Fields(), Indexes(false));
  AddAll(built, 600, true);
  BuildIndexesFromRecords(built.Table(), AllIndexSlots(built.File()), SpillBase(built), false, 50000);
  built.Reopen();
  ExpectSoundTable(built);
  // Full leaves split, half-full ones merge: inserts between existing keys, deletes in runs.
  std::mt19937 rng(7);
  for (std::int32_t n = 1; n <= 400; ++n) {
    std::vector<std::byte> record = MakeRecord(built, rng, 5000 + n);
    (void)built.Cursor().AddRecord(record, false);
  }
  // Two slots in three deleted: leaves empty and merge, levels shrink.
  TDataCursor& cursor = built.Cursor();
  for (std::int32_t slot = 1; slot <= 1000; ++slot) {
    if (slot % 3 == 0 || !cursor.GoToSlot(slot)) continue;
    const std::vector<std::byte> record = cursor.CurrentRecord();
    cursor.DeleteRecord(record, false);
  }
  ExpectSoundTable(built);
}

TEST(TreeBuilderTest, UniqueKeyMetTwiceIsRefused) {
  for (const auto& [budget, background] : {std::pair{kIndexBuildBudget, false}, std::pair{std::size_t{3000}, false},
                                           std::pair{std::size_t{3000}, true}}) {
    TIndexTestTable built(Fields(), Indexes(true));
    std::mt19937 rng(3);
    built.Cursor().DeferIndexKeys(true);
    for (std::int32_t n = 1; n <= 300; ++n) {
      std::vector<std::byte> record = built.NewRecord(0);
      built.SetText(record, kName, "name" + std::to_string(n) + "x");
      if (n == 250) built.SetText(record, kName, "name17x");  // the key of record 17 again
      built.SetInt32(record, kNum, n);
      (void)built.Cursor().AddRecord(record, false);
    }
    EXPECT_ENGINE_ERROR(kDuplicateKey, BuildIndexesFromRecords(built.Table(), AllIndexSlots(built.File()),
                                                               SpillBase(built), false, budget, -1, background));
  }
}

// A spill that fails on the sorting thread is raised by the build, whichever write it was, and
// no spill file stays behind.
TEST(TreeBuilderTest, FailureWhileSortingInTheBackgroundIsRaised) {
  TIndexTestTable built(Fields(), Indexes(false));
  AddAll(built, 4500, true);
  built.Table().WriteAll(true, true);
  for (const std::int64_t nth : {1, 7, 40}) {
    SCOPED_TRACE("write " + std::to_string(nth));
    TFaultScope fault(TFaultOp::kWrite, nth, ENOSPC);
    EXPECT_ANY_THROW(BuildIndexesFromRecords(built.Table(), AllIndexSlots(built.File()), SpillBase(built), false,
                                             100000, -1, true));
    EXPECT_TRUE(fault.Fired());
    for (const auto& entry : std::filesystem::directory_iterator(built.Dir().Dir())) {
      EXPECT_EQ(entry.path().string().find(".S"), std::string::npos) << entry.path();
    }
  }
}

}  // namespace
}  // namespace tarvo

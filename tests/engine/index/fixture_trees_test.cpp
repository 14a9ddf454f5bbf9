// The index trees of the fixture tables, written by an independent implementation: every tree
// passes the checker, keys rebuilt from the records equal the stored ones byte for byte, and
// the leaf level walks in order in both directions.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/index/index_tree.h"
#include "engine/tables/data_cursor.h"
#include "engine/tables/data_directory.h"
#include "engine/tables/data_session.h"
#include "tests/testing/temp_dir.h"
#include "tests/testing/tree_checker.h"

namespace tarvo {
namespace {

using testing::TTempDir;

std::string Lines(const std::vector<std::string>& errors) {
  std::string text;
  for (const auto& e : errors) text += e + "\n";
  return text;
}

class TFixtureTreesTest : public ::testing::TestWithParam<std::tuple<std::string, std::string, int, int>> {
 protected:
  void SetUp() override {
    const auto& [folder, table, in_use, slots] = GetParam();
    testing::CopyFixture(folder, dir_.Path());
    directory_ = session_.GetDirectory("fixture", dir_.Dir());
    cursor_ = std::make_unique<TDataCursor>(session_, *directory_);
    TCursorOpenOptions options;
    options.table_name = table;
    options.exclusive = true;
    cursor_->Open(options);
  }
  void TearDown() override {
    cursor_.reset();
    (void)session_.ReleaseDirectory(directory_);
  }
  TDataTable& Table() { return cursor_->Table(); }

  TTempDir dir_;
  TDataSession session_;
  TDataDirectory* directory_ = nullptr;
  std::unique_ptr<TDataCursor> cursor_;
};

TEST_P(TFixtureTreesTest, TreesHoldOneKeyPerRecordInStoredOrder) {
  const int in_use = std::get<2>(GetParam());
  const int slots = std::get<3>(GetParam());
  EXPECT_EQ(Lines(testing::CheckAllIndexTrees(Table())), "");
  const testing::TRecordReader read = testing::FileRecordReader(Table());
  EXPECT_EQ(Lines(testing::CheckOneKeyPerRecord(Table(), read)), "");
  EXPECT_EQ(Lines(testing::CheckSysDeletedKeys(Table(), read)), "");
  EXPECT_EQ(Lines(testing::CheckActiveRecordCount(Table(), read)), "");
  for (int slot : testing::IndexSlots(Table(), true)) {
    TIndexTree tree(Table().IndexFile(), slot, cursor_->Descriptors(), cursor_->LanguageID(),
                    cursor_->SortID());
    EXPECT_EQ(tree.KeyCount(), slot == kSysDeletedSlot ? slots : in_use) << "slot " << slot;
  }
}

TEST_P(TFixtureTreesTest, PositionsWalkEveryIndexBothWays) {
  const int in_use = std::get<2>(GetParam());
  for (int slot : testing::IndexSlots(Table(), false)) {
    TIndexTree tree(Table().IndexFile(), slot, cursor_->Descriptors(), cursor_->LanguageID(),
                    cursor_->SortID());
    TIndexPosition pos(tree);
    std::vector<TKey> forward;
    for (bool ok = pos.First(); ok; ok = pos.Next()) {
      forward.push_back(pos.Key());
      EXPECT_EQ(pos.Ordinal(), static_cast<std::int32_t>(forward.size()));
    }
    ASSERT_EQ(static_cast<int>(forward.size()), in_use) << "slot " << slot;
    std::vector<TKey> backward;
    for (bool ok = pos.Last(); ok; ok = pos.Prior()) backward.push_back(pos.Key());
    std::reverse(backward.begin(), backward.end());
    EXPECT_EQ(forward, backward);
    // Every key is found, exactly and by ordinal.
    for (std::size_t i = 0; i < forward.size(); i += 7) {
      EXPECT_TRUE(tree.Find(forward[i]));
      ASSERT_TRUE(pos.SeekExact(forward[i]));
      EXPECT_EQ(pos.Ordinal(), static_cast<std::int32_t>(i + 1));
      ASSERT_TRUE(pos.SeekOrdinal(static_cast<std::int32_t>(i + 1)));
      EXPECT_EQ(pos.Key(), forward[i]);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, TFixtureTreesTest,
                         ::testing::Values(std::make_tuple("basic", "Kunden", 178, 200),
                                           std::make_tuple("blocks1024", "Notizen", 225, 300),
                                           std::make_tuple("noprimary", "Journal", 120, 150)),
                         [](const auto& info) { return std::get<0>(info.param); });

}  // namespace
}  // namespace tarvo

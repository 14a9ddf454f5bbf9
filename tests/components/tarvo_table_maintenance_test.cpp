// The table component's restructure and optimize: the reorganization sequence on a fixture, the
// events, the primary index moved first, an unknown key field, and the database released.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "components/database_texts.h"
#include "components/session_list.h"
#include "components/tarvo_session.h"
#include "components/tarvo_table.h"
#include "engine/tables/data_cursor.h"
#include "tests/testing/engine_matchers.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

using testing::TTempDir;

class TTarvoTableMaintenanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::CopyFixture("basic", dir_.Path());
    table_.SetDatabaseName(dir_.Dir());
    table_.SetTableName("Kunden.dat");
  }
  std::size_t DefaultDatabases() const { return Sessions().DefaultSession()->Databases().size(); }
  bool Exists(const std::string& file) const { return std::filesystem::exists(dir_.File(file)); }

  TTempDir dir_;
  TTarvoTable table_;
};

TEST_F(TTarvoTableMaintenanceTest, ReorganizationSequence) {
  const std::size_t databases = DefaultDatabases();
  const auto language = table_.LanguageID();
  const auto sort = table_.SortID();
  const auto block = table_.BlobBlockSize();
  const auto last = table_.LastAutoIncValue();
  table_.RestructureFieldDefs().Update();
  table_.RestructureIndexDefs().Update();
  int restructure_events = 0;
  table_.OnRestructureProgress = [&](TComponent&, std::int32_t, std::uint16_t) { ++restructure_events; };
  table_.RestructureTable(language, sort, 0, 0, false, "", "", block, last, false);
  EXPECT_EQ(restructure_events, 0);  // nothing changed: header values only
  EXPECT_FALSE(Exists("Kunden.DBK"));
  EXPECT_FALSE(Exists("Kunden.IBK"));
  std::int32_t last_record = 0;
  std::uint16_t last_percent = 0;
  table_.OnOptimizeProgress = [&](TComponent& sender, std::int32_t current, std::uint16_t percent) {
    EXPECT_EQ(&sender, &table_);
    last_record = current;
    last_percent = percent;
  };
  table_.OptimizeTable("", false);
  EXPECT_EQ(last_record, 178);
  EXPECT_EQ(last_percent, 89);  // 178 of 200 slots
  EXPECT_TRUE(Exists("Kunden.DBK"));
  EXPECT_TRUE(Exists("Kunden.IBK"));
  EXPECT_TRUE(Exists("Kunden.BBK"));
  EXPECT_EQ(DefaultDatabases(), databases);
  EXPECT_EQ(table_.DBFlags(), 0);
  // With no event assigned the operations run to the end as well.
  table_.OnOptimizeProgress = nullptr;
  table_.OptimizeTable("", true);
  EXPECT_EQ(table_.LastAutoIncValue(), last);
}

TEST_F(TTarvoTableMaintenanceTest, PrimaryIndexMovesFirstAndUnknownKeyFieldFails) {
  table_.RestructureFieldDefs().Update();
  table_.RestructureIndexDefs().Update();
  TRestructureIndexDefs& indexes = table_.RestructureIndexDefs();
  indexes.Move(0, 2);
  ASSERT_EQ(indexes[2].Options & kIxPrimary, kIxPrimary);
  table_.RestructureTable(0, 0, 0, 0, false, "", "", 512, -1, false);
  EXPECT_EQ(indexes[0].Options & kIxPrimary, kIxPrimary);
  EXPECT_FALSE(Exists("Kunden.DBK"));
  indexes.Add("ByNothing", "NoSuchField", 0);
  try {
    table_.RestructureTable(0, 0, 0, 0, false, "", "", 512, -1, false);
    FAIL() << "nothing raised";
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(std::string(e.what()), "Das Feld 'NoSuchField' wurde nicht gefunden");
  }
  EXPECT_EQ(table_.DBFlags(), 0);
}

TEST_F(TTarvoTableMaintenanceTest, RepairOfASoundTableSendsTheStartAndEndLinesOnly) {
  std::vector<std::string> lines;
  table_.OnRepairLog = [&](TComponent& sender, const std::string& message) {
    EXPECT_EQ(&sender, &table_);
    lines.push_back(message);
  };
  std::int32_t last_record = 0;
  std::uint16_t last_percent = 0;
  table_.OnRepairProgress = [&](TComponent&, std::int32_t current, std::uint16_t percent) {
    last_record = current;
    last_percent = percent;
  };
  table_.RepairTable();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[0], ::testing::MatchesRegex("Repair of table [^ ]+ started at .+"));
  EXPECT_THAT(lines[1], ::testing::MatchesRegex("Repair of table [^ ]+ completed at .+"));
  EXPECT_EQ(last_record, 200);  // every physical slot, deleted ones included
  EXPECT_EQ(last_percent, 100);
  EXPECT_EQ(table_.DBFlags(), 0);
  lines.clear();
  table_.VerifyTable();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[0], ::testing::StartsWith("Verification of table "));
  // With no event assigned the repair runs to the end as well, and leaves the table sound.
  table_.OnRepairLog = nullptr;
  table_.OnRepairProgress = nullptr;
  table_.RepairTable();
  table_.Open();
  EXPECT_EQ(table_.Handle()->RecordCount(), 178);
  EXPECT_THROW(table_.RepairTable(), EDatabaseError);  // not on an open table
  table_.Close();
}

TEST_F(TTarvoTableMaintenanceTest, OpenTableOrUnknownIndexFail) {
  EXPECT_ENGINE_ERROR(kInvalidIndexName, table_.OptimizeTable("NoSuchIndex", false));
  EXPECT_FALSE(Exists("Kunden.DBK"));
  table_.Open();
  EXPECT_THROW(table_.OptimizeTable("", false), EDatabaseError);
  table_.Close();
}

}  // namespace
}  // namespace tarvo

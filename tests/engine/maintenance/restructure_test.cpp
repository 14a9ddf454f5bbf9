// Restructure: the three ways, the data-lost reports and the callback rule, progress per slot,
// backups, and the table left as it was when a run stops.
#include <gtest/gtest.h>

#include "engine/maintenance/optimize.h"
#include "engine/maintenance/repair.h"
#include "engine/maintenance/restructure.h"
#include "tests/engine/maintenance/maintenance_tables.h"
#include "tests/testing/engine_matchers.h"

namespace tarvo {
namespace {

using namespace tarvo::testing;

struct TLoss {
  std::uint8_t cause;
  std::string context;
  bool operator==(const TLoss&) const = default;
};

class RestructureTest : public ::testing::Test {
 protected:
  // The table's own definition as a request.
  TRestructureRequest OwnRequest() {
    auto cursor = OpenItems(engine_, true);
    return RequestFromDefinition(DefinitionOf(cursor->Table()));
  }
  TRestructureWay Run(const TRestructureRequest& request) {
    TDataCursor cursor(*engine_.session, *engine_.directory);
    TCursorOpenOptions options;
    options.table_name = "Items";
    options.exclusive = true;
    TRestructureCallbacks callbacks;
    callbacks.progress = [this](std::int32_t current, std::uint16_t percent) {
      progress_.emplace_back(current, percent);
    };
    callbacks.data_lost = [this](std::uint8_t cause, const std::string& context, bool& go_on,
                                 bool& stop_asking) {
      losses_.push_back({cause, context});
      if (answer_stop_) go_on = false;
      if (answer_stop_asking_) stop_asking = true;
    };
    return RestructureTable(cursor, options, request, callbacks);
  }
  bool Exists(const std::string& file) const { return std::filesystem::exists(dir_.File(file)); }

  TTempDir dir_;
  TTestEngine engine_{dir_.Dir()};
  std::vector<std::pair<std::int32_t, std::uint16_t>> progress_;
  std::vector<TLoss> losses_;
  bool answer_stop_ = false;
  bool answer_stop_asking_ = false;
};

TEST_F(RestructureTest, OwnDefinitionRewritesOnlyTheHeader) {
  BuildItems(engine_, 30, 4);
  auto files = DirectoryBytes(dir_.Path());
  EXPECT_EQ(Run(OwnRequest()), TRestructureWay::kHeaderOnly);
  auto now = DirectoryBytes(dir_.Path());
  ASSERT_EQ(now.size(), files.size());  // no backups
  EXPECT_EQ(now["Items.IDX"], files["Items.IDX"]);
  EXPECT_EQ(now["Items.BLB"], files["Items.BLB"]);
  ASSERT_EQ(now["Items.DAT"].size(), files["Items.DAT"].size());
  EXPECT_TRUE(std::equal(now["Items.DAT"].begin() + kDataHeaderSize, now["Items.DAT"].end(),
                         files["Items.DAT"].begin() + kDataHeaderSize));
  EXPECT_TRUE(progress_.empty());
}

TEST_F(RestructureTest, AddingASecondaryIndexRebuildsInPlace) {
  BuildItems(engine_, 40, 5);
  const auto before = Snapshot(engine_);
  TRestructureRequest r = OwnRequest();
  r.indexes.push_back(Index("ByCountDesc", {3}, false, 3));
  EXPECT_EQ(Run(r), TRestructureWay::kIndexesInPlace);
  EXPECT_TRUE(Exists("Items.IBK"));
  EXPECT_FALSE(Exists("Items.DBK"));
  EXPECT_EQ(Snapshot(engine_), before);
  ExpectSoundTable(engine_, false);
  // Progress once per slot, deleted slots included, up to the slot count.
  ASSERT_EQ(progress_.size(), 40u);
  EXPECT_EQ(progress_.back(), (std::pair<std::int32_t, std::uint16_t>{40, 100}));
  EXPECT_EQ(progress_[9], (std::pair<std::int32_t, std::uint16_t>{10, 25}));
  // With NoBackup no index backup stays.
  std::filesystem::remove(dir_.File("Items.IBK"));
  r.indexes.pop_back();
  r.no_backup = true;
  EXPECT_EQ(Run(r), TRestructureWay::kIndexesInPlace);
  EXPECT_FALSE(Exists("Items.IBK"));
  ExpectSoundTable(engine_, false);
}

TEST_F(RestructureTest, IndexBackupOfAPrivateTableIsPrivate) {
  BuildItems(engine_, 10, 0);
  const auto mode = std::filesystem::perms::owner_read | std::filesystem::perms::owner_write;
  for (const char* file : {"Items.DAT", "Items.IDX", "Items.BLB"}) std::filesystem::permissions(dir_.File(file), mode);
  TRestructureRequest r = OwnRequest();
  r.indexes.push_back(Index("ByCountDesc", {3}, false, 3));
  EXPECT_EQ(Run(r), TRestructureWay::kIndexesInPlace);
  EXPECT_EQ(std::filesystem::status(dir_.File("Items.IBK")).permissions(), mode);
}

TEST_F(RestructureTest, UniqueIndexBrokenInPlaceDeletesTheRecord) {
  BuildItems(engine_, 60, 0);
  TRestructureRequest r = OwnRequest();
  r.indexes.push_back(Index("UniqueName", {2}, true));
  EXPECT_EQ(Run(r), TRestructureWay::kIndexesInPlace);
  ASSERT_FALSE(losses_.empty());
  EXPECT_EQ(losses_[0], (TLoss{kLossKeyViolation, "UniqueName"}));
  const auto after = Snapshot(engine_);
  EXPECT_EQ(losses_.size(), 10u);
  EXPECT_EQ(after.size(), 50u);
  ExpectSoundTable(engine_, false);
  // The deleted records keep no references to the memo blocks they freed: a verification finds
  // nothing.
  std::vector<std::string> lines;
  TDataCursor cursor(*engine_.session, *engine_.directory);
  TCursorOpenOptions options;
  options.table_name = "Items";
  options.exclusive = true;
  TRepairOptions verify;
  verify.verify_only = true;
  RepairTable(cursor, options, verify, {[&lines](const std::string& line) { lines.push_back(line); }, {}});
  EXPECT_EQ(lines.size(), 2u) << lines.at(1);
}

TEST_F(RestructureTest, StoppingInPlaceRestoresTheIndexFile) {
  BuildItems(engine_, 60, 0);
  const auto files = DirectoryBytes(dir_.Path());
  TRestructureRequest r = OwnRequest();
  r.indexes.push_back(Index("UniqueName", {2}, true));
  answer_stop_ = true;
  EXPECT_EQ(Run(r), TRestructureWay::kIndexesInPlace);
  EXPECT_EQ(losses_.size(), 1u);
  EXPECT_EQ(DirectoryBytes(dir_.Path()), files);
}

TEST_F(RestructureTest, TextToIntegerReportsConversionLossAndStoresZero) {
  BuildItems(engine_, 6, 0, false);
  {
    auto cursor = OpenItems(engine_, true);
    ASSERT_TRUE(cursor->GoToSlot(2));
    std::vector<std::byte> record = cursor->CurrentRecord();
    PutText(FieldSlot(record, cursor->Descriptors()[1]), "12a", 0, 0, 0);
    cursor->ChangeRecord(record, false, true);
    ASSERT_TRUE(cursor->GoToSlot(3));
    record = cursor->CurrentRecord();
    PutText(FieldSlot(record, cursor->Descriptors()[1]), "77", 0, 0, 0);
    cursor->ChangeRecord(record, false, true);
  }
  TRestructureRequest r = OwnRequest();
  r.fields[1].FieldType = kTypeInt32;
  r.fields[1].FieldSize = 0;
  r.fields[1].FieldName = "Number";
  r.indexes.resize(3);  // the text indexes go with the text
  r.indexes.erase(r.indexes.begin() + 1);
  EXPECT_EQ(Run(r), TRestructureWay::kCopy);
  // "Name0" .. texts that are no numbers, and "12a": each a loss of the old field's name.
  ASSERT_EQ(losses_.size(), 5u);
  for (const TLoss& loss : losses_) EXPECT_EQ(loss, (TLoss{kLossConversionLoss, "Name"}));
  EXPECT_TRUE(Exists("Items.DBK"));
  auto cursor = OpenItems(engine_, true);
  cursor->SelectSlotOrder();
  ASSERT_TRUE(cursor->GoToSlot(2));
  EXPECT_EQ(GetInt32(ConstFieldSlot(cursor->CurrentRecord(), cursor->Descriptors()[1])), 0);
  ASSERT_TRUE(cursor->GoToSlot(3));
  EXPECT_EQ(GetInt32(ConstFieldSlot(cursor->CurrentRecord(), cursor->Descriptors()[1])), 77);
  EXPECT_EQ(RecordAutoIncrement(cursor->CurrentRecord()), 3);
  EXPECT_EQ(progress_.back().first, 6);
}

TEST_F(RestructureTest, CopyLeavesOutARecordThatBreaksANewUniqueIndex) {
  BuildItems(engine_, 60, 3);
  TRestructureRequest r = OwnRequest();
  r.fields[2].Required = 1;  // a structure change: the copy way
  r.indexes.push_back(Index("UniqueName", {2}, true));
  EXPECT_EQ(Run(r), TRestructureWay::kCopy);
  ASSERT_FALSE(losses_.empty());
  EXPECT_EQ(losses_[0], (TLoss{kLossKeyViolation, "UniqueName"}));
  EXPECT_EQ(Snapshot(engine_).size() + losses_.size(), 40u);
  ExpectSoundTable(engine_);
  EXPECT_EQ(progress_.size(), 60u);
}

TEST_F(RestructureTest, StopAtTheFirstLossLeavesTheOldFiles) {
  BuildItems(engine_, 12, 3);
  const auto files = DirectoryBytes(dir_.Path());
  TRestructureRequest r = OwnRequest();
  r.fields.erase(r.fields.begin() + 2);  // Count removed
  r.indexes.resize(2);
  answer_stop_ = true;
  EXPECT_EQ(Run(r), TRestructureWay::kCopy);
  EXPECT_EQ(losses_, (std::vector<TLoss>{{kLossFieldRemoved, "Count"}}));
  EXPECT_EQ(DirectoryBytes(dir_.Path()), files);
  EXPECT_TRUE(progress_.empty());
}

TEST_F(RestructureTest, StopAskingSilencesLaterLosses) {
  BuildItems(engine_, 12, 0);
  TRestructureRequest r = OwnRequest();
  r.fields.erase(r.fields.begin() + 2);
  r.indexes.resize(2);
  answer_stop_asking_ = true;
  EXPECT_EQ(Run(r), TRestructureWay::kCopy);
  EXPECT_EQ(losses_.size(), 1u);
  const auto after = Snapshot(engine_);
  EXPECT_EQ(after.size(), 12u);
  EXPECT_EQ(after[0].second.memo, MemoOfSize(0, 0));
  EXPECT_EQ(after[5].second.memo, MemoOfSize(513, 5));
}

TEST_F(RestructureTest, ValidationFailsBeforeAnythingChanges) {
  BuildItems(engine_, 5, 0);
  const auto files = DirectoryBytes(dir_.Path());
  TRestructureRequest r = OwnRequest();
  r.encrypted = true;
  EXPECT_ENGINE_ERROR(kInvalidPassword, Run(r));
  r = OwnRequest();
  r.blob_block_size = 32;
  EXPECT_ENGINE_ERROR(kBlobFieldLimits, Run(r));
  r = OwnRequest();
  r.fields[2].FieldName = "name";
  EXPECT_ENGINE_ERROR(kInvalidFieldName, Run(r));
  r = OwnRequest();
  r.indexes[1].name = "1bad";
  EXPECT_ENGINE_ERROR(kInvalidIndexName, Run(r));
  r = OwnRequest();
  r.indexes[2].field_numbers[0] = 99;
  EXPECT_ENGINE_ERROR(kInvalidIndexField, Run(r));
  r = OwnRequest();
  r.indexes[2].field_numbers[0] = 4;
  EXPECT_ENGINE_ERROR(kInvalidIndexFieldType, Run(r));
  r = OwnRequest();
  r.last_auto_inc_value = -2;
  EXPECT_ENGINE_ERROR(kFieldLimits, Run(r));
  // Names as the table will be read: without NUL, duplicates found in its code page (Ä, ä).
  r = OwnRequest();
  r.fields[2].FieldName = std::string("Na\0me", 5);
  EXPECT_ENGINE_ERROR(kInvalidFieldName, Run(r));
  r = OwnRequest();
  r.fields[1].FieldName = "\xC4pfel";
  r.fields[2].FieldName = "\xE4pfel";
  EXPECT_ENGINE_ERROR(kInvalidFieldName, Run(r));
  r = OwnRequest();
  r.indexes[1].name = std::string("By\0Name", 7);
  EXPECT_ENGINE_ERROR(kInvalidIndexName, Run(r));
  EXPECT_EQ(DirectoryBytes(dir_.Path()), files);
}

}  // namespace
}  // namespace tarvo

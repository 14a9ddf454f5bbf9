#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/format/byte_codec.h"
#include "engine/index/index_file.h"
#include "engine/index/index_tree.h"
#include "tests/engine/maintenance/repair_table.h"
#include "tests/testing/engine_matchers.h"

namespace tarvo::repair_test {
namespace {

using ::testing::ElementsAre;
using ::testing::MatchesRegex;

class RepairTest : public ::testing::Test {
 protected:
  TRepairTable t_;
};

TEST_F(RepairTest, AnUndamagedTableGivesTheStartAndEndLinesAndKeepsItsRecords) {
  t_.Add({{"Anna", 1, 600}, {"Bert", 2, 0}, {"Cleo", 3, 100}});
  const auto data_before = t_.Bytes(".DAT");
  const TRepairResult verify = t_.Run(true);
  ASSERT_EQ(verify.lines.size(), 2u) << TRepairTable::Joined(verify.lines);
  EXPECT_THAT(verify.lines[0], MatchesRegex("Verification of table T\\.DAT started at .+"));
  EXPECT_THAT(verify.lines[1], MatchesRegex("Verification of table T\\.DAT completed at .+"));
  EXPECT_EQ(t_.Bytes(".DAT"), data_before);  // a verification writes nothing of the data file
  EXPECT_THAT(verify.progress, ElementsAre(std::pair{1, 33}, std::pair{2, 66}, std::pair{3, 100}));

  const TRepairResult repair = t_.Run(false);
  ASSERT_EQ(repair.lines.size(), 2u) << TRepairTable::Joined(repair.lines);
  EXPECT_THAT(repair.lines[0], MatchesRegex("Repair of table T\\.DAT started at .+"));
  EXPECT_THAT(repair.lines[1], MatchesRegex("Repair of table T\\.DAT completed at .+"));
  // The records themselves stay byte for byte; only the header's counters move.
  const auto data_after = t_.Bytes(".DAT");
  ASSERT_EQ(data_after.size(), data_before.size());
  EXPECT_TRUE(
      std::equal(data_after.begin() + kDataHeader, data_after.end(), data_before.begin() + kDataHeader));
  t_.ExpectSound();
}

TEST_F(RepairTest, PreconditionsAreCheckedBeforeTheTableOpens) {
  TDataCursor cursor(t_.Session(), t_.Directory());
  TCursorOpenOptions open;
  open.table_name = "T";
  EXPECT_ENGINE_ERROR(kNeedsExclusive, RepairTable(cursor, open, {}, {}));
  open.exclusive = true;
  open.read_only = true;
  EXPECT_ENGINE_ERROR(kAccessDenied, RepairTable(cursor, open, {}, {}));
  RepairTable(cursor, open, {true, false}, {});  // a read-only verification is fine
  open.read_only = false;
  cursor.Open(open);
  EXPECT_ENGINE_ERROR(kTableInUse, RepairTable(cursor, open, {}, {}));
  cursor.Close();
  // Another opener holds the table: the open's own error, no start line.
  auto other = t_.Open(false);
  std::vector<std::string> lines;
  TRepairCallbacks callbacks;
  callbacks.log = [&](const std::string& m) { lines.push_back(m); };
  EXPECT_THROW(RepairTable(cursor, open, {}, callbacks), ETarvoEngineError);
  EXPECT_TRUE(lines.empty());
}

TEST_F(RepairTest, FieldNamesAreMended) {
  t_.Add({{"Anna", 1, 0}});
  t_.SetFieldName(3, "");      // field 3 blank
  t_.SetFieldName(4, "1ABC");  // starts with a digit
  t_.SetFieldName(1, "Name");
  t_.SetFieldName(2, " NAME ");
  const TRepairResult verify = t_.Run(true);
  EXPECT_THAT(
      Findings(verify),
      ElementsAre("Invalid field name (duplicate) for field Name in table header, error not fixed",
                  "Invalid field name (first character) for field  NAME  in table header, error not fixed",
                  "Invalid field name (duplicate) for field  NAME  in table header, error not fixed",
                  "Invalid field name (blank) for field # 3 in table header, error not fixed",
                  "Invalid field name (first character) for field 1ABC in table header, error not fixed"));
  const TRepairResult repair = t_.Run(false);
  EXPECT_THAT(
      Findings(repair),
      ElementsAre("Invalid field name (duplicate) for field Name in table header, error fixed",
                  "Invalid field name (first character) for field  NAME  in table header, error fixed",
                  "Invalid field name (duplicate) for field _ NAME  in table header, error fixed",
                  "Invalid field name (blank) for field # 3 in table header, error fixed",
                  "Invalid field name (first character) for field 1ABC in table header, error fixed"));
  auto cursor = t_.Open();
  EXPECT_EQ(cursor->Descriptors()[0].FieldName, "_1Name");
  EXPECT_EQ(cursor->Descriptors()[1].FieldName, "_ NAME ");  // a blank is no first character
  EXPECT_EQ(cursor->Descriptors()[2].FieldName, "Repaired_Fld3");
  EXPECT_EQ(cursor->Descriptors()[3].FieldName, "_1ABC");
  cursor.reset();
  t_.ExpectSound();
}

TEST_F(RepairTest, BlankFieldsWithADamagedNumberGetNamesOfTheirOwn) {
  t_.Add({{"Anna", 1, 0}});
  // Number and name of fields 2 and 3 zeroed: both read as field number 0 without a name.
  t_.Patch(".DAT", 127 + 768 * 1, {0, 0, 0, 0});
  t_.Patch(".DAT", 127 + 768 * 2, {0, 0, 0, 0});
  t_.SetFieldName(4, "Repaired_Fld3");  // the name the third field would get
  EXPECT_THAT(Findings(t_.Run(false)),
              ElementsAre("Invalid field name (blank) for field # 0 in table header, error fixed",
                          "Invalid field number for field Repaired_Fld2 in table header, error fixed",
                          "Invalid field name (blank) for field # 0 in table header, error fixed",
                          "Invalid field number for field _Repaired_Fld3 in table header, error fixed"));
  auto cursor = t_.Open();
  EXPECT_EQ(cursor->Descriptors()[1].FieldName, "Repaired_Fld2");
  EXPECT_EQ(cursor->Descriptors()[2].FieldName, "_Repaired_Fld3");
  EXPECT_EQ(cursor->Descriptors()[2].FieldNumber, 3);
  cursor.reset();
  t_.ExpectSound();
}

TEST_F(RepairTest, RenumberingIsFixedInVerificationToo) {
  t_.Add({{"Anna", 1, 0}});
  t_.Patch(".DAT", 127 + 768 * 1, {7, 0});  // field 2 stored as number 7
  EXPECT_THAT(Findings(t_.Run(true)),
              ElementsAre("Invalid field number for field Name in table header, error fixed"));
  EXPECT_THAT(Findings(t_.Run(true)), ElementsAre());
}

// Damage from the generated cases: four bytes 0x86 over the memo's case mapping and the length and
// first characters of its minimum value. The open refuses any value text on a blob field, so the
// repair must not keep it.
TEST_F(RepairTest, AValueTextTheOpenRefusesIsCleared) {
  t_.Add({{"Anna", 1, 30}});
  t_.Patch(".DAT", 127 + 768 * (kMemo - 1) + 93, {0x86, 0x86, 0x86, 0x86});
  t_.Patch(".DAT", 127 + 768 * (kCode - 1) + 196, {3, 'a', 'b', 'c'});  // default of an integer
  EXPECT_THAT(Findings(t_.Run(true)),
              ElementsAre("Invalid default value for field Code in table header, error not fixed",
                          "Invalid minimum value for field Memo in table header, error not fixed"));
  EXPECT_THAT(Findings(t_.Run(false)),
              ElementsAre("Invalid default value for field Code in table header, error fixed",
                          "Invalid minimum value for field Memo in table header, error fixed"));
  t_.ExpectSound();
}

TEST_F(RepairTest, APartialRecordIsCutBeforeTheRecordCountIsCompared) {
  t_.Add({{"Anna", 1, 0}, {"Bert", 2, 0}});
  t_.Resize(".DAT", kDataHeader + 2 * kRecordSize + 20);
  EXPECT_THAT(Findings(t_.Run(true)),
              ElementsAre("Physical records not aligned on even record size boundaries, error not fixed"));
  EXPECT_EQ(std::filesystem::file_size(t_.File(".DAT")), kDataHeader + 2 * kRecordSize + 20);
  EXPECT_THAT(Findings(t_.Run(false)),
              ElementsAre("Physical records not aligned on even record size boundaries, error fixed"));
  EXPECT_EQ(std::filesystem::file_size(t_.File(".DAT")), kDataHeader + 2 * kRecordSize);
  t_.ExpectSound();
}

// Descriptors, record length and file agree on where the memo lies; only its "computed" flag says
// it has no place. The flag gives way, not the records.
TEST_F(RepairTest, AComputedFlagTheLayoutContradictsIsCleared) {
  std::vector<std::tuple<std::string, std::int32_t, std::size_t>> rows;
  for (std::int32_t i = 1; i <= 200; ++i)
    rows.emplace_back("N" + std::to_string(i), i, i % 3 == 0 ? 600 : 40);
  t_.Add(rows);
  const auto records = t_.Bytes(".DAT");
  const auto blobs = t_.Bytes(".BLB");
  t_.Patch(".DAT", 127 + 768 * (kMemo - 1) + 247, {1});
  EXPECT_THAT(Findings(t_.Run(true)),
              ElementsAre("Invalid computed field flag for field Memo in table header, error not fixed"));
  EXPECT_THAT(Findings(t_.Run(false)),
              ElementsAre("Invalid computed field flag for field Memo in table header, error fixed"));
  const auto after = t_.Bytes(".DAT");
  ASSERT_EQ(after.size(), records.size());
  EXPECT_TRUE(std::equal(after.begin() + kDataHeader, after.end(), records.begin() + kDataHeader));
  const auto blocks = t_.Bytes(".BLB");
  ASSERT_EQ(blocks.size(), blobs.size());
  EXPECT_TRUE(std::equal(blocks.begin() + 512, blocks.end(), blobs.begin() + 512));
  EXPECT_EQ(t_.Open()->RecordCount(), 200);
  t_.ExpectSound();
}

// A field size that no longer fits the stored offsets: the file holds whole records of the stored
// length, as many as the header counts, so the stride stays and the table is left as it was.
TEST_F(RepairTest, TheStrideOfWholeRecordsIsNeverChanged) {
  t_.Add({{"Anna", 1, 600}, {"Bert", 2, 0}, {"Cleo", 3, 100}});
  t_.Patch(".DAT", 127 + 768 * (kName - 1) + 86, {10});
  EXPECT_THAT(Findings(t_.Run(true)),
              ::testing::Contains("Invalid physical record length in table header, error not fixed"));
  const std::vector<std::vector<std::byte>> before = {t_.Bytes(".DAT"), t_.Bytes(".IDX"), t_.Bytes(".BLB")};
  EXPECT_ENGINE_ERROR(kHeaderCorrupt, t_.Run(false));
  EXPECT_EQ(t_.Bytes(".DAT"), before[0]);
  EXPECT_EQ(t_.Bytes(".IDX"), before[1]);
  EXPECT_EQ(t_.Bytes(".BLB"), before[2]);
}

// The header counts a blob field that the descriptors do not have, and there is no blob file.
TEST_F(RepairTest, ABlobCountWithoutBlobFieldsNeedsNoBlobFile) {
  t_.Add({{"Anna", 1, 0}, {"Bert", 2, 0}});
  t_.Patch(".DAT", 127 + 768 * (kMemo - 1) + 84, {kTypeBytes, 0, 8});  // 8 bytes: the same layout
  std::filesystem::remove(t_.File(".BLB"));
  EXPECT_THAT(Findings(t_.Run(true)),
              ElementsAre("Invalid BLOB field count in table header, error not fixed"));
  EXPECT_THAT(Findings(t_.Run(false)), ElementsAre("Invalid BLOB field count in table header, error fixed"));
  EXPECT_EQ(t_.Open()->RecordCount(), 2);
  EXPECT_EQ(t_.Run(true).lines.size(), 2u);
  EXPECT_FALSE(std::filesystem::exists(t_.File(".BLB")));
}

TEST_F(RepairTest, ADuplicateInAUniqueIndexDeletesTheRecordInTheHigherSlot) {
  t_.Add({{"Anna", 1, 700}, {"Bert", 2, 900}, {"Cleo", 3, 0}});
  t_.PatchI32(".DAT", TRepairTable::RecordOffset(2) + 32, 1);  // Bert's Code becomes Anna's
  const TRepairResult repair = t_.Run(false);
  EXPECT_THAT(
      Findings(repair),
      ElementsAre(
          "Error rebuilding index keys for physical record # 2, error fixed but physical record deleted"));
  {
    auto cursor = t_.Open();
    EXPECT_EQ(cursor->RecordCount(), 2);
    EXPECT_TRUE(cursor->GoToSlot(1));
    EXPECT_FALSE(cursor->GoToSlot(2));
    TDataTable& table = cursor->Table();
    EXPECT_EQ(table.DataFile().Header().FirstFreeRecord, 2);
    // Bert's two blocks went to the free list, his last block at its head.
    EXPECT_EQ(table.BlobFile().Header().free_head, 512 + 3 * 512);
    const std::vector<std::byte> record = testing::FileRecordReader(table)(2);
    EXPECT_EQ(GetBlobRef(ConstFieldSlot(record, cursor->Descriptors()[kMemo - 1])).Reference, 0);
  }
  t_.ExpectSound();
}

// Damage to the index file only: a verification reports it (it compares every tree with the keys
// made from the records), and the repair, which builds every tree anew, leaves a sound table.
TEST_F(RepairTest, IndexDamageIsFoundByVerification) {
  const auto tree_of = [](TDataCursor& cursor, int slot) {
    return std::make_unique<TIndexTree>(cursor.Table().IndexFile(), slot, cursor.Descriptors(),
                                        cursor.LanguageID(), cursor.SortID());
  };
  struct TCase {
    const char* name;
    std::function<void(TRepairTable&)> damage;
    std::vector<std::string> findings;
  };
  const std::vector<TCase> cases = {
      {"a record's primary key missing",
       [&](TRepairTable& t) {
         auto cursor = t.Open();
         ASSERT_TRUE(cursor->GoToSlot(2));
         auto tree = tree_of(*cursor, kPrimarySlot);
         tree->Remove(tree->BuildKey(cursor->CurrentRecord()));
       },
       {"Invalid index keys for primary index, error not fixed"}},
      {"a key that the record no longer gives",
       [](TRepairTable& t) {
         t.Patch(".DAT", TRepairTable::RecordOffset(2) + 10, {'Z', 'e', 'd', 0});
       },
       {"Invalid index keys for index ByName, error not fixed"}},
      {"two records with one key of a unique index",
       [](TRepairTable& t) { t.PatchI32(".DAT", TRepairTable::RecordOffset(2) + 32, 1); },
       {"Invalid index keys for index ByCode, error not fixed"}},
      {"every page garbage",
       [](TRepairTable& t) {
         const auto size = static_cast<std::size_t>(std::filesystem::file_size(t.File(".IDX")));
         t.Patch(".IDX", 4096, std::vector<std::uint8_t>(size - 4096, 0xA5));
       },
       {"Invalid index tree for primary index, error not fixed",
        "Invalid index keys for primary index, error not fixed",
        "Invalid index tree for index ByName, error not fixed",
        "Invalid index keys for index ByName, error not fixed",
        "Invalid index tree for index ByCode, error not fixed",
        "Invalid index keys for index ByCode, error not fixed",
        "Invalid index tree for index Sys Deleted, error not fixed",
        "Invalid index keys for index Sys Deleted, error not fixed"}},
      {"a leaf linked to a page after it",
       [&](TRepairTable& t) {
         auto cursor = t.Open();
         auto tree = tree_of(*cursor, 1);
         TPagePin leaf = tree->PinPage(tree->Root());
         leaf->SetNextPage(tree->Root());
       },
       {"Invalid index tree for index ByName, error not fixed"}},
      {"a free chain into another index's tree",
       [](TRepairTable& t) {
         auto cursor = t.Open();
         TIndexFile& index = cursor->Table().IndexFile();
         index.MutableHeader().slots[2].free_head = index.Header().slots[kPrimarySlot].root;
         index.MarkModified();
       },
       {"Invalid free page chain for index ByCode, error not fixed"}},
      {"a wrong active record count",
       [](TRepairTable& t) {
         auto cursor = t.Open();
         cursor->Table().IndexFile().MutableHeader().active_records = 4;
         cursor->Table().IndexFile().MarkModified();
       },
       {"Invalid active record count in index file header, error not fixed"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TRepairTable t;
    t.Add({{"Anna", 1, 0}, {"Bert", 2, 0}, {"Cleo", 3, 0}});
    c.damage(t);
    const auto index_before = t.Bytes(".IDX");
    EXPECT_EQ(Findings(t.Run(true)), c.findings);
    EXPECT_EQ(t.Bytes(".IDX"), index_before);
    (void)t.Run(false);
    t.ExpectSound();
  }
}

TEST_F(RepairTest, LogicalRecordIdsAndTheAutoIncrementCounter) {
  t_.Add({{"Anna", 1, 0}, {"Bert", 2, 0}, {"Cleo", 3, 0}});
  t_.PatchI32(".DAT", TRepairTable::RecordOffset(2) + 5, 0);
  // The keys that hold the ID no longer agree with the record either.
  EXPECT_THAT(Findings(t_.Run(true)),
              ElementsAre("Logical record ID for physical record # 2 is invalid, error not fixed",
                          "Invalid index keys for primary index, error not fixed",
                          "Invalid index keys for index ByName, error not fixed",
                          "Invalid index keys for index Sys Deleted, error not fixed"));
  EXPECT_THAT(Findings(t_.Run(false)),
              ElementsAre("Logical record ID for physical record # 2 is invalid, error fixed"));
  {
    auto cursor = t_.Open();
    EXPECT_EQ(cursor->LastAutoIncrement(), 4);
    EXPECT_EQ(RecordAutoIncrement(testing::FileRecordReader(cursor->Table())(2)), 4);
  }
  t_.ExpectSound();
  // A counter below a record's ID (a deleted one counts too) is raised to it.
  t_.Delete(3);
  t_.PatchI32(".DAT", TRepairTable::RecordOffset(3) + 5, 50);
  t_.PatchI32(".DAT", 17, 10);
  EXPECT_THAT(Findings(t_.Run(false)),
              ElementsAre("Invalid next available record ID (auto-increment), error fixed"));
  EXPECT_EQ(t_.Open()->LastAutoIncrement(), 50);
  t_.ExpectSound();
}

// Record 1 lost its ID and the counter stands one below the highest ID: the renewed ID goes above
// every ID in use, and the record that holds the highest keeps it.
TEST_F(RepairTest, ARenewedIdGoesAboveEveryIdInUse) {
  t_.Add({{"Anna", 1, 0}, {"Bert", 2, 0}, {"Cleo", 3, 0}});
  t_.PatchI32(".DAT", TRepairTable::RecordOffset(1) + 5, 0);
  t_.PatchI32(".DAT", 17, 2);
  EXPECT_THAT(Findings(t_.Run(false)),
              ElementsAre("Logical record ID for physical record # 1 is invalid, error fixed",
                          "Invalid next available record ID (auto-increment), error fixed"));
  {
    auto cursor = t_.Open();
    const auto read = testing::FileRecordReader(cursor->Table());
    EXPECT_EQ(RecordAutoIncrement(read(1)), 4);
    EXPECT_EQ(RecordAutoIncrement(read(2)), 2);
    EXPECT_EQ(RecordAutoIncrement(read(3)), 3);
    EXPECT_EQ(cursor->LastAutoIncrement(), 4);
  }
  t_.ExpectSound();
}

TEST_F(RepairTest, IndexDefinitions) {
  t_.Add({{"Anna", 1, 0}});
  const std::int64_t slot1 = 14 + 120 * 1;  // ByName
  // ByName names field 9 after its own field: the field is dropped from it.
  t_.Patch(".IDX", slot1 + 37, {2});
  t_.Patch(".IDX", slot1 + 54 + 2, {9, 0});
  EXPECT_THAT(Findings(t_.Run(false)),
              ElementsAre("Invalid field number 9 in index ByName, field removed from index"));
  t_.ExpectSound();
}

// Without records: a longer field in a table with records is a layout the repair refuses.
TEST_F(RepairTest, AKeyOver524BytesRemovesTheIndexInRepairOnly) {
  const std::int64_t slot1 = 14 + 120 * 1;
  std::vector<std::uint8_t> fields;
  for (int i = 0; i < 16; ++i) fields.insert(fields.end(), {2, 0});
  for (int i = 0; i < 16; ++i) fields.push_back(0);
  t_.Patch(".IDX", slot1 + 37, {16});
  t_.Patch(".IDX", slot1 + 54, std::vector<std::uint8_t>(fields.begin(), fields.begin() + 32));
  t_.Patch(".DAT", 127 + 768 + 86, {40});  // Name 40 characters: 16 x 42 = 672 bytes
  const TRepairResult verify = t_.Run(true);
  EXPECT_THAT(Findings(verify),
              ::testing::Contains("Invalid key size of 672 for index ByName, error not fixed"));
  const TRepairResult repair = t_.Run(false);
  EXPECT_THAT(Findings(repair),
              ::testing::Contains("Invalid key size of 672 for index ByName, error fixed and index removed"));
  EXPECT_EQ(t_.Open()->Table().IndexFile().SecondaryIndexCount(), 1);
  t_.ExpectSound();
}

TEST_F(RepairTest, BlobFileDamage) {
  // Memos: slot 1 1000 bytes (blocks 512, 1024, 1536), slot 2 400 bytes (2048), slot 3 800 (2560, 3072).
  t_.Add({{"Anna", 1, 1000}, {"Bert", 2, 400}, {"Cleo", 3, 800}});
  // A partial block at the end is cut off, in verification too.
  const std::uintmax_t size = std::filesystem::file_size(t_.File(".BLB"));
  t_.Resize(".BLB", size + 100);
  EXPECT_THAT(Findings(t_.Run(true)),
              ElementsAre("BLOB blocks not aligned on even block size boundaries, error fixed"));
  EXPECT_EQ(std::filesystem::file_size(t_.File(".BLB")), size);
  // 794 of 1000: the second block holds 300 bytes and still has a successor.
  t_.Patch(".BLB", 1024 + 8, {44, 1});  // used 300
  EXPECT_THAT(Findings(t_.Run(true)),
              ElementsAre("Invalid block size in BLOB file for physical record # 1, error not fixed",
                          "BLOB size mismatch in BLOB file for physical record # 1, error not fixed"));
  EXPECT_THAT(Findings(t_.Run(false)),
              ElementsAre("Invalid block size in BLOB file for physical record # 1, error fixed",
                          "BLOB size mismatch in BLOB file for physical record # 1, error fixed"));
  {
    auto cursor = t_.Open();
    TBlockPin first(cursor->Table().BlobFile(), cursor->Table().BlobFile().GetBlock(512, 1, false));
    EXPECT_EQ(first->TotalSize(), 794);
    // The block cut off is nobody's: it went to the free list.
    EXPECT_EQ(cursor->Table().BlobFile().Header().free_head, 1536);
  }
  t_.ExpectSound();
  // Slot 3's first block names itself.
  t_.PatchI32(".BLB", 2560 + 4, 2560);
  EXPECT_THAT(Findings(t_.Run(false)),
              ElementsAre("Recursive intra-block pointer in BLOB file for physical record # 3, error fixed",
                          "BLOB size mismatch in BLOB file for physical record # 3, error fixed"));
  t_.ExpectSound();
  // Slot 2's block carries a foreign stamp: the value is lost, the block stays where it is.
  t_.PatchI32(".BLB", 2048 + 10, 999);
  EXPECT_THAT(Findings(t_.Run(false)),
              ElementsAre("Invalid BLOB offset in BLOB file for physical record # 2, error fixed"));
  {
    auto cursor = t_.Open();
    const auto record = testing::FileRecordReader(cursor->Table())(2);
    EXPECT_EQ(GetBlobRef(ConstFieldSlot(record, cursor->Descriptors()[kMemo - 1])).Reference, 0);
    EXPECT_EQ(static_cast<int>(ConstFieldSlot(record, cursor->Descriptors()[kMemo - 1])[0]), 0);
  }
  t_.ExpectSound();
}

TEST_F(RepairTest, LenientOwnershipTakesForeignBlocksSilently) {
  t_.Add({{"Anna", 1, 1000}});
  t_.PatchI32(".BLB", 1024 + 10, 999);
  EXPECT_THAT(Findings(t_.Run(false, true)), ElementsAre());
  t_.ExpectSound();
}

TEST_F(RepairTest, ReferencesOutOfRangeOrWithoutPresenceAreCleared) {
  t_.Add({{"Anna", 1, 100}, {"Bert", 2, 100}, {"Cleo", 3, 0}});
  t_.PatchI32(".DAT", TRepairTable::RecordOffset(1) + kMemoSlot + 1, -512);
  t_.Patch(".DAT", TRepairTable::RecordOffset(2) + kMemoSlot, {0});
  t_.PatchI32(".DAT", TRepairTable::RecordOffset(3) + kMemoSlot + 1, 1 << 20);
  t_.Patch(".DAT", TRepairTable::RecordOffset(3) + kMemoSlot, {1});
  EXPECT_THAT(Findings(t_.Run(false)),
              ElementsAre("Invalid BLOB offset into BLOB file for physical record # 1, error fixed",
                          "Invalid BLOB offset into BLOB file for physical record # 2, error fixed",
                          "Invalid BLOB offset into BLOB file for physical record # 3, error fixed"));
  t_.ExpectSound();
}

TEST_F(RepairTest, DeletedRecordsChainsAreFreedAndTheChainRebuilt) {
  t_.Add({{"Anna", 1, 1000}, {"Bert", 2, 0}, {"Cleo", 3, 0}, {"Dora", 4, 0}});
  t_.Delete(1);
  t_.Delete(3);
  // The deleted-record chain is damaged; the deletions left Anna's chain behind.
  t_.PatchI32(".DAT", 9, 4);
  EXPECT_THAT(Findings(t_.Run(false)), ElementsAre());
  auto cursor = t_.Open();
  TDataTable& table = cursor->Table();
  EXPECT_EQ(table.DataFile().Header().FirstFreeRecord, 3);
  EXPECT_EQ(RecordSlotLink(testing::FileRecordReader(table)(3)), 1);
  EXPECT_EQ(RecordSlotLink(testing::FileRecordReader(table)(1)), 0);
  // Anna's three blocks, freed in chain order: the last one heads the free list.
  EXPECT_EQ(table.BlobFile().Header().free_head, 1536);
  EXPECT_EQ(cursor->RecordCount(), 2);
  cursor.reset();
  t_.ExpectSound();
}

TEST_F(RepairTest, TheRepairRebuildsEveryLostIndexOfTheFixture) {
  testing::TTempDir dir;
  testing::CopyFixture("lostindex", dir.Path());
  testing::TTestEngine engine(dir.Dir());
  TDataCursor cursor(*engine.session, *engine.directory);
  TCursorOpenOptions open;
  open.table_name = "Artikel";
  open.exclusive = true;
  std::vector<std::string> lines;
  TRepairCallbacks callbacks;
  callbacks.log = [&](const std::string& m) { lines.push_back(m); };
  RepairTable(cursor, open, {}, callbacks);
  EXPECT_EQ(lines.size(), 2u) << TRepairTable::Joined(lines);
  cursor.Open(open);
  TDataTable& table = cursor.Table();
  for (const auto& e : testing::CheckAllIndexTrees(table)) ADD_FAILURE() << e;
  const auto read = testing::FileRecordReader(table);
  for (const auto& e : testing::CheckOneKeyPerRecord(table, read)) ADD_FAILURE() << e;
  for (const auto& e : testing::CheckActiveRecordCount(table, read)) ADD_FAILURE() << e;
  // The same table with its trees: the same number of records and keys per index.
  testing::TTempDir reference_dir;
  testing::CopyFixture("blocks1024", reference_dir.Path());
  testing::TTestEngine reference_engine(reference_dir.Dir());
  TDataCursor reference(*reference_engine.session, *reference_engine.directory);
  TCursorOpenOptions reference_open;
  reference_open.table_name = "Notizen";
  reference.Open(reference_open);
  // Every record is in use; each index holds one key per record, under the same definitions as
  // the reference table that kept its trees.
  EXPECT_EQ(cursor.RecordCount(), 300);
  for (const int slot : testing::IndexSlots(table, true)) {
    TIndexTree mine(table.IndexFile(), slot, cursor.Descriptors(), cursor.LanguageID(), cursor.SortID());
    EXPECT_EQ(mine.KeyCount(), 300) << "index slot " << slot;
    TIndexDescriptor a = table.IndexFile().Header().slots[static_cast<std::size_t>(slot)];
    TIndexDescriptor b = reference.Table().IndexFile().Header().slots[static_cast<std::size_t>(slot)];
    a.root = b.root = 0;
    a.free_head = b.free_head = 0;
    EXPECT_EQ(a, b) << "index slot " << slot;
  }
}

// The unique keys and logical IDs of the records, taken in slot order, decide which record keeps
// a key and which ID is renewed: the first comes first, wherever the keys and IDs stand in their
// indexes' order. Random IDs (0, repeated, deleted beside live) and codes (repeated, NULL) after
// an undamaged beginning, against a model of those rules.
TEST(RepairKeyOrderTest, SlotOrderDecidesWhateverTheKeyOrder) {
  constexpr std::int32_t kRecords = 160;
  constexpr std::int32_t kCounter = 1000;
  for (std::uint32_t seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    TRepairTable t;
    std::vector<std::tuple<std::string, std::int32_t, std::size_t>> rows;
    for (std::int32_t i = 1; i <= kRecords; ++i) rows.emplace_back("N" + std::to_string(i), i * 10, 0);
    t.Add(rows);
    for (std::int32_t slot = 3; slot <= kRecords; slot += 7) t.Delete(slot);
    // Damage from a slot on that moves with the seed: the keys before it arrive in order.
    const std::int32_t from = 1 + static_cast<std::int32_t>(rng() % (kRecords / 2));
    for (std::int32_t slot = from; slot <= kRecords; ++slot) {
      const std::int64_t at = TRepairTable::RecordOffset(slot);
      if (rng() % 3 == 0) t.PatchI32(".DAT", at + kRecOffAutoIncrement, static_cast<std::int32_t>(rng() % 200));
      const std::uint32_t code = rng() % 6;
      if (code == 0) t.Patch(".DAT", at + 31, {0});  // NULL
      if (code == 1) t.PatchI32(".DAT", at + 32, static_cast<std::int32_t>(rng() % 40) * 10);
    }
    t.PatchI32(".DAT", 17, kCounter);

    // The model: the slots in order, as the records stand before the repair.
    struct TExpected {
      bool deleted;
      std::int32_t id;
    };
    std::vector<TExpected> expected;
    std::vector<std::string> lines;
    {
      const std::vector<std::byte> bytes = t.Bytes(".DAT");
      std::set<std::pair<bool, std::int32_t>> taken;
      std::set<std::int64_t> codes;
      // New IDs go past every ID in the table.
      std::int32_t counter = kCounter;
      for (std::int32_t slot = 1; slot <= kRecords; ++slot) {
        counter =
            std::max(counter, GetI32(bytes, static_cast<std::size_t>(TRepairTable::RecordOffset(slot) + 5)));
      }
      const auto fresh = [&] { return ++counter; };
      for (std::int32_t slot = 1; slot <= kRecords; ++slot) {
        const std::span<const std::byte> record(bytes.data() + TRepairTable::RecordOffset(slot), kRecordSize);
        bool deleted = IsRecordDeleted(record);
        std::int32_t id = RecordAutoIncrement(record);
        const std::int64_t code = GetU8(record, 31) != 0 ? std::int64_t{GetI32(record, 32)} : -1;
        if (id == 0 || taken.contains({deleted, id})) {
          lines.push_back("Logical record ID for physical record # " + std::to_string(slot) +
                          " is invalid, error fixed");
          id = fresh();
        }
        if (!deleted && !codes.insert(code).second) {
          lines.push_back("Error rebuilding index keys for physical record # " + std::to_string(slot) +
                          ", error fixed but physical record deleted");
          deleted = true;
          if (taken.contains({true, id})) id = fresh();
        }
        taken.insert({deleted, id});
        expected.push_back({deleted, id});
      }
    }

    EXPECT_EQ(Findings(t.Run(false)), lines);
    {
      auto cursor = t.Open();
      const auto read = testing::FileRecordReader(cursor->Table());
      for (std::int32_t slot = 1; slot <= kRecords; ++slot) {
        const std::vector<std::byte> record = read(slot);
        EXPECT_EQ(IsRecordDeleted(record), expected[static_cast<std::size_t>(slot - 1)].deleted) << slot;
        EXPECT_EQ(RecordAutoIncrement(record), expected[static_cast<std::size_t>(slot - 1)].id) << slot;
      }
    }
    t.ExpectSound();
  }
}

}  // namespace
}  // namespace tarvo::repair_test

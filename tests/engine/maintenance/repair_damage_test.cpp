// Damage to the three files of a small table, then a repair: generated damage checked the way the
// repair fuzz target checks it (no crash, and a repaired table that opens and verifies clean, or
// it aborts), and each kind of damage to blob chains with the exact finding it gives.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

#include "engine/maintenance/repair_blob.h"
#include "fuzz/repair_table_fuzz.cpp"
#include "tests/engine/maintenance/repair_table.h"

namespace {

TEST(RepairDamageTest, GeneratedDamageIsRepairedOrRefused) {
  std::mt19937 random(20260607);
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::uint8_t> input(7 * (1 + random() % 4));
    for (auto& b : input) b = static_cast<std::uint8_t>(random());
    // Most damage in the headers and the first records, where it matters most.
    for (std::size_t i = 0; i < input.size(); i += 7) {
      if (random() % 2 == 0) input[i + 2] = input[i + 3] = input[i + 4] = 0;
    }
    SCOPED_TRACE(round);
    tarvo::fuzz::RepairOneInput(input.data(), input.size());
  }
}

}  // namespace

namespace tarvo::repair_test {
namespace {

using ::testing::ElementsAre;

// Blocks of 512 bytes hold 494 data bytes; a block's header: previous 0, next 4, used bytes 8,
// stamp 10, total size 14.
constexpr std::int64_t kNext = 4, kUsed = 8, kStamp = 10, kTotal = 14;

// A verification reports `finding` + "error not fixed" and changes nothing; the repair reports it
// + "error fixed" and leaves a sound table.
void ExpectFinding(TRepairTable& t, const std::string& finding) {
  const auto blob_before = t.Bytes(".BLB");
  EXPECT_THAT(Findings(t.Run(true)), ElementsAre(finding + "error not fixed"));
  EXPECT_EQ(t.Bytes(".BLB"), blob_before);
  EXPECT_THAT(Findings(t.Run(false)), ElementsAre(finding + "error fixed"));
  t.ExpectSound();
}

TBlobRef MemoOf(TRepairTable& t, std::int32_t slot) {
  auto cursor = t.Open();
  const auto record = testing::FileRecordReader(cursor->Table())(slot);
  return GetBlobRef(ConstFieldSlot(record, cursor->Descriptors()[kMemo - 1]));
}

std::int32_t FreeHead(TRepairTable& t) {
  return t.Open()->Table().BlobFile().Header().free_head;
}

// Live values. Memos: Anna 1000 bytes (blocks 512, 1024, 1536), Bert 400 bytes (2048).
TEST(RepairBlobChainTest, LiveValues) {
  {
    SCOPED_TRACE("two records name the same chain: the later one loses its value");
    TRepairTable t;
    t.Add({{"Anna", 1, 1000}, {"Bert", 2, 400}});
    t.PatchI32(".DAT", TRepairTable::RecordOffset(2) + kMemoSlot + 1, 512);
    ExpectFinding(t, "Invalid BLOB offset in BLOB file for physical record # 2, ");
    EXPECT_EQ(MemoOf(t, 1).Reference, 512);
    EXPECT_EQ(MemoOf(t, 2).Reference, 0);
    EXPECT_EQ(FreeHead(t), 2048);  // Bert's own block belongs to nobody now
  }
  {
    SCOPED_TRACE("the only block holds no byte of a 400-byte value: no value is left");
    TRepairTable t;
    t.Add({{"Anna", 1, 400}, {"Bert", 2, 0}});
    t.Patch(".BLB", 512 + kUsed, {0, 0});
    ExpectFinding(t, "BLOB size mismatch in BLOB file for physical record # 1, ");
    EXPECT_EQ(MemoOf(t, 1).Reference, 0);
    EXPECT_EQ(FreeHead(t), 512);
  }
  {
    SCOPED_TRACE("a first block that records no size: its chain is released without a finding");
    TRepairTable t;
    t.Add({{"Anna", 1, 1000}, {"Bert", 2, 400}});
    t.PatchI32(".BLB", 512 + kTotal, 0);
    EXPECT_THAT(Findings(t.Run(true)), ElementsAre());
    EXPECT_THAT(Findings(t.Run(false)), ElementsAre());
    EXPECT_EQ(MemoOf(t, 1).Reference, 0);
    EXPECT_EQ(MemoOf(t, 2).Reference, 2048);
    EXPECT_EQ(FreeHead(t), 1536);  // freed in chain order
    t.ExpectSound();
  }
  {
    SCOPED_TRACE("lenient: a first block with another stamp is taken over");
    TRepairTable t;
    t.Add({{"Anna", 1, 1000}});
    t.PatchI32(".BLB", 512 + kStamp, 999);
    EXPECT_THAT(Findings(t.Run(true)),
                ElementsAre("Invalid BLOB offset in BLOB file for physical record # 1, error not fixed"));
    EXPECT_THAT(Findings(t.Run(false, true)), ElementsAre());
    EXPECT_EQ(MemoOf(t, 1).Reference, 512);
    t.ExpectSound();
  }
}

// A free list that runs into a live value, or round in a circle, is damage: the next value
// stored would take blocks still in use. The repair builds the list anew and says so.
TEST(RepairBlobChainTest, AFreeListIntoALiveValueOrInACircle) {
  for (const bool circle : {false, true}) {
    SCOPED_TRACE(circle ? "circle" : "into a live value");
    TRepairTable t;
    t.Add({{"Anna", 1, 1000}, {"Bert", 2, 400}, {"Cleo", 3, 0}});
    if (circle) {
      t.PatchI32(".BLB", 9, 4096);
      t.PatchI32(".BLB", 4096 + kNext, 4096);
    } else {
      t.PatchI32(".BLB", 9, 1024);  // Anna's second block
    }
    if (circle) t.Resize(".BLB", 4096 + 512);
    std::vector<std::string> found;
    // The block put onto the end lies beyond the header's end offset.
    if (circle) found.push_back("Invalid end offset in BLOB file header, error fixed");
    found.push_back("Invalid free block chain in BLOB file, error not fixed");
    EXPECT_THAT(Findings(t.Run(true)), ::testing::ElementsAreArray(found));
    EXPECT_THAT(Findings(t.Run(false)), ElementsAre("Invalid free block chain in BLOB file, error fixed"));
    t.ExpectSound();
  }
}

// Chains still named by deleted records are freed; damage ends the walk with a finding, and the
// blocks it did not reach go to the free list all the same.
TEST(RepairBlobChainTest, DeletedRecordsChains) {
  struct TCase {
    const char* name;
    std::int64_t offset;  // in the blob file
    std::int32_t value;
    std::string finding;  // empty: none, lenient only
    bool lenient;
  };
  const TCase cases[] = {
      {"first block with another stamp", 512 + kStamp, 999,
       "Invalid BLOB offset in BLOB file for physical record # 1, ", false},
      {"next pointer before the first block", 1024 + kNext, 100,
       "Invalid intra-block pointer in BLOB file for physical record # 1, ", false},
      {"next pointer beyond the end", 1024 + kNext, 1 << 20,
       "Invalid intra-block pointer in BLOB file for physical record # 1, ", false},
      {"block naming itself", 1024 + kNext, 1024,
       "Recursive intra-block pointer in BLOB file for physical record # 1, ", false},
      {"next block with another stamp", 1536 + kStamp, 999,
       "Invalid intra-block pointer in BLOB file for physical record # 1, ", false},
      {"lenient: first block with another stamp", 512 + kStamp, 999, "", true},
      {"lenient: next block with another stamp", 1536 + kStamp, 999, "", true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TRepairTable t;
    t.Add({{"Anna", 1, 1000}, {"Bert", 2, 400}});
    t.Delete(1);
    t.PatchI32(".BLB", c.offset, c.value);
    if (c.lenient) {
      EXPECT_THAT(Findings(t.Run(false, true)), ElementsAre());
      EXPECT_EQ(FreeHead(t), 1536);  // the whole chain, in chain order
      t.ExpectSound();
    } else {
      ExpectFinding(t, c.finding);
    }
    EXPECT_EQ(MemoOf(t, 1).Reference, 0);
    EXPECT_EQ(MemoOf(t, 2).Reference, 2048);
  }
  {
    SCOPED_TRACE("a deleted record names a live chain: the live value keeps it");
    TRepairTable t;
    t.Add({{"Anna", 1, 1000}, {"Bert", 2, 400}});
    t.Delete(2);
    t.PatchI32(".DAT", TRepairTable::RecordOffset(2) + kMemoSlot + 1, 512);
    ExpectFinding(t, "Invalid BLOB offset in BLOB file for physical record # 2, ");
    EXPECT_EQ(MemoOf(t, 1).Reference, 512);
    auto cursor = t.Open();
    TBlobFile& blobs = cursor->Table().BlobFile();
    TBlockPin first(blobs, blobs.GetBlock(512, 1, false));
    EXPECT_EQ(first->TotalSize(), 1000);
    EXPECT_EQ(blobs.Header().free_head, 2048);
  }
}

// A block that something else holds pinned is not walked into (the block states already stop a
// walk at every block the repair itself holds, so only another holder shows this).
TEST(RepairBlobChainTest, ABlockHeldElsewhereEndsTheWalk) {
  TRepairTable t;
  t.Add({{"Anna", 1, 1000}});
  auto cursor = t.Open();
  TBlobFile& blobs = cursor->Table().BlobFile();
  TBlockPin held(blobs, blobs.GetBlock(1024, 1, false));
  const std::int32_t stamp = held->BlobStamp();
  std::vector<std::string> lines;
  TBlobRepair repair(blobs, true, false, [&](const std::string& line) { lines.push_back(line); });
  repair.AlignFile();
  std::int32_t reference = 512;
  repair.BeginRecord();
  repair.CheckLiveChain(1, stamp, reference);
  EXPECT_THAT(
      lines,
      ElementsAre("Recursive intra-block pointer in BLOB file for physical record # 1, error not fixed",
                  "BLOB size mismatch in BLOB file for physical record # 1, error not fixed"));
  EXPECT_EQ(reference, 512);
  lines.clear();
  repair.ForgetRecord();
  repair.BeginRecord();
  repair.ReleaseChain(1, stamp, reference);
  EXPECT_THAT(
      lines,
      ElementsAre("Recursive intra-block pointer in BLOB file for physical record # 1, error not fixed"));
  EXPECT_EQ(held->PinCount(), 1);
}

}  // namespace
}  // namespace tarvo::repair_test

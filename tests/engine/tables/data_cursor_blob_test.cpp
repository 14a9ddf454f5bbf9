// Blob values through the cursor: the codes of the blob operations, posting a record with its
// open values (stamps, references written back, values made the new record's own, stale images
// refused), releasing them when a record goes, and a randomized comparison of adding, changing
// and deleting records with blob values against a model, checked with the blob and tree checkers.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "engine/blob/blob_values.h"
#include "tests/engine/tables/blob_table_fixture.h"
#include "tests/testing/blob_checker.h"
#include "tests/testing/engine_matchers.h"
#include "tests/testing/temp_dir.h"
#include "tests/testing/tree_checker.h"

namespace tarvo {
namespace {

using namespace testing;

constexpr std::size_t kD = 494;

class CursorBlobTest : public ::testing::Test {
 protected:
  CursorBlobTest() : db_(dir_.Dir()) {
    db_.directory->CreateTable("Blobs", BlobCursorDefinition());
    cursor_ = OpenCursor(db_, "Blobs", true);
  }
  ~CursorBlobTest() override { cursor_.reset(); }

  TBlobRef Ref(std::span<const std::byte> record, std::uint16_t field) {
    return GetBlobRef(ConstFieldSlot(record, cursor_->Descriptors()[field - 1u]));
  }
  std::int32_t Add(const std::string& name, const std::vector<std::byte>& notes,
                   const std::vector<std::byte>& pic = {}) {
    auto record = cursor_->NewRecordBuffer();
    PutName(*cursor_, record, name);
    cursor_->SetBlobField(record, kBlobNotes, notes);
    cursor_->SetBlobField(record, kBlobPic, pic);
    return cursor_->AddRecord(record, true);
  }
  TBlobCheckReport Check() {
    std::vector<TChainRef> chains;
    TDataCursor& c = *cursor_;
    c.SelectSlotOrder();
    for (bool on = c.First(); on; on = c.Next()) {
      for (const std::uint16_t f : {kBlobNotes, kBlobPic}) {
        const TBlobRef ref = Ref(c.CurrentRecord(), f);
        chains.push_back({ref.Reference, ref.Stamp});
      }
    }
    c.SelectIndex("");
    return CheckBlobFile(c.Table().BlobFile(), chains);
  }

  TTempDir dir_;
  TTestDatabase db_;
  std::unique_ptr<TDataCursor> cursor_;
};

TEST_F(CursorBlobTest, BlobOperationsReportTheirCodes) {
  cursor_.reset();
  cursor_ = OpenCursor(db_, "Blobs", false);
  auto other = OpenCursor(db_, "Blobs", false);
  TDataCursor& c = *cursor_;
  auto record = c.NewRecordBuffer();
  EXPECT_EQ(kInvalidBlobField, c.OpenBlob(kBlobName, record));
  EXPECT_EQ(kInvalidBlobHandle, c.CloseBlob(kBlobNotes, record));
  std::int64_t size = -1;
  EXPECT_EQ(kInvalidBlobHandle, c.GetBlobSize(kBlobNotes, record, size));
  ASSERT_EQ(0, c.OpenBlob(kBlobNotes, record, false, kBlobModeWrite));
  EXPECT_EQ(0, c.WriteBlob(kBlobNotes, record, 3, BytesOf("abc")));
  EXPECT_EQ(0, c.GetBlobSize(kBlobNotes, record, size));
  EXPECT_EQ(6, size);
  std::vector<std::byte> out(10);
  std::size_t copied = 0;
  EXPECT_EQ(kEndOfBlob, c.ReadBlob(kBlobNotes, record, 2, out, copied));
  EXPECT_EQ(4u, copied);
  EXPECT_EQ(0, c.SetBlobSize(kBlobNotes, record, 1));
  EXPECT_EQ(0, c.GetBlobSize(kBlobNotes, record, size));
  EXPECT_EQ(1, size);
  // A handle of another cursor is none of this one's.
  EXPECT_EQ(kInvalidBlobOffset, other->OpenBlob(kBlobNotes, record));
  EXPECT_EQ(0, c.CloseBlob(kBlobNotes, record));
  EXPECT_EQ(0u, c.OpenBlobCount());
  // On a record just reached: a field that is no blob, or none at all, is refused.
  (void)Add("anna", BytesOf("notes"));
  ASSERT_TRUE(c.First());
  for (const std::uint16_t field : {kBlobName, std::uint16_t{60}}) {
    EXPECT_ENGINE_ERROR(kInvalidBlobField, (void)c.ReadBlobField(field));
  }
  // 64 values at most.
  std::vector<std::vector<std::byte>> records(65, c.NewRecordBuffer());
  for (int i = 0; i < 64; ++i) ASSERT_EQ(0, c.OpenBlob(kBlobNotes, records[static_cast<std::size_t>(i)]));
  EXPECT_EQ(kTooManyBlobs, c.OpenBlob(kBlobNotes, records[64]));
  // Closing the cursor frees them all; a closed cursor refuses.
  c.Close();
  EXPECT_EQ(0u, c.OpenBlobCount());
  EXPECT_ENGINE_ERROR(kInvalidFileHandle, (void)c.OpenBlob(kBlobNotes, records[64]));
}

TEST_F(CursorBlobTest, PostingStoresValuesAndWritesReferencesBack) {
  TDataCursor& c = *cursor_;
  const auto notes = Pattern(kD + 1);
  auto record = c.NewRecordBuffer();
  PutName(c, record, "eins");
  // A value the user keeps open across the post, and one the engine frees with it.
  ASSERT_EQ(0, c.OpenBlob(kBlobNotes, record, false, kBlobModeWrite));
  ASSERT_EQ(0, c.WriteBlob(kBlobNotes, record, 0, notes));
  c.SetBlobField(record, kBlobPic, BytesOf("png"));
  const std::int32_t slot = c.AddRecord(record, true);
  EXPECT_EQ(1u, c.OpenBlobCount());
  // The current record is the stored image; the caller's buffer keeps its open handle with the
  // new stamp and got the reference of the value the engine closed.
  const TBlobRef stored_notes = Ref(c.CurrentRecord(), kBlobNotes);
  EXPECT_GT(stored_notes.Reference, 0);
  EXPECT_LT(Ref(record, kBlobNotes).Reference, 0);
  EXPECT_EQ(stored_notes.Stamp, Ref(record, kBlobNotes).Stamp);
  EXPECT_EQ(Ref(c.CurrentRecord(), kBlobPic), Ref(record, kBlobPic));
  ASSERT_EQ(0, c.CloseBlob(kBlobNotes, record));
  EXPECT_EQ(record, c.CurrentRecord());
  EXPECT_EQ(notes, c.ReadBlobField(kBlobNotes));
  EXPECT_EQ(BytesOf("png"), c.ReadBlobField(kBlobPic));
  EXPECT_ENGINE_ERROR(kInvalidBlobField, (void)c.ReadBlobField(kBlobName));

  // Changing: a value written with the same bytes is not stored again; other bytes get a stamp.
  auto change = c.CurrentRecord();
  c.SetBlobField(change, kBlobNotes, notes);
  c.SetBlobField(change, kBlobPic, {});
  c.ChangeRecord(change, true, true);
  EXPECT_EQ(stored_notes, Ref(c.CurrentRecord(), kBlobNotes));
  EXPECT_EQ(0, Ref(c.CurrentRecord(), kBlobPic).Reference);
  EXPECT_EQ(0, static_cast<int>(ConstFieldSlot(c.CurrentRecord(), c.Descriptors()[kBlobPic - 1])[0]));
  EXPECT_TRUE(c.ReadBlobField(kBlobPic).empty());
  EXPECT_EQ(slot, c.CurrentSlot());
  const auto report = Check();
  EXPECT_TRUE(report.Ok()) << report.Text();
  EXPECT_EQ(report.block_count, report.chain_blocks + report.free_blocks);
}

TEST_F(CursorBlobTest, ACopiedRecordGetsChainsOfItsOwnAndAStaleImageIsRefused) {
  TDataCursor& c = *cursor_;
  const auto notes = Pattern(3 * kD);
  Add("erste", notes, Pattern(10));
  // The whole record, references included, added again as a new record: its values are copies.
  auto copy = c.CurrentRecord();
  PutName(c, copy, "zweite");
  c.AddRecord(copy, true);
  const TBlobRef first = Ref(copy, kBlobNotes);
  ASSERT_TRUE(c.First());
  EXPECT_NE(first.Reference, Ref(c.CurrentRecord(), kBlobNotes).Reference);
  const auto stale = c.CurrentRecord();
  // Deleting the original leaves the copy readable.
  c.DeleteRecord(stale, false);
  ASSERT_TRUE(c.First());
  EXPECT_EQ("zweite", NameOf(c, c.CurrentRecord()));
  EXPECT_EQ(notes, c.ReadBlobField(kBlobNotes));
  EXPECT_EQ(Pattern(10), c.ReadBlobField(kBlobPic));
  // An image whose reference the record no longer holds (another cursor changed the value).
  auto before = c.CurrentRecord();
  auto newer = c.CurrentRecord();
  c.SetBlobField(newer, kBlobNotes, Pattern(5));
  c.ChangeRecord(newer, true, true);
  PutName(c, before, "dritte");
  EXPECT_ENGINE_ERROR(kRecordChanged, c.ChangeRecord(before, true, true));
  EXPECT_EQ(Pattern(5), c.ReadBlobField(kBlobNotes));
  // A handle of a value that is gone is refused before anything changes.
  auto dangling = c.CurrentRecord();
  ASSERT_EQ(0, c.OpenBlob(kBlobNotes, dangling));
  auto kept = dangling;
  ASSERT_EQ(0, c.CloseBlob(kBlobNotes, dangling));
  EXPECT_ENGINE_ERROR(kInvalidBlobHandle, c.AddRecord(kept, false));
  EXPECT_EQ(1, c.RecordCount());
  const auto report = Check();
  EXPECT_TRUE(report.Ok()) << report.Text();
  EXPECT_EQ(report.block_count, report.chain_blocks + report.free_blocks);
}

TEST_F(CursorBlobTest, DeletingAndTakingOutRecordsFreesTheirChains) {
  TDataCursor& c = *cursor_;
  Add("a", Pattern(2 * kD + 1), Pattern(kD));
  const std::int32_t slot = Add("b", Pattern(4 * kD), Pattern(1));
  c.RemoveAddedRecord(slot, -1);
  ASSERT_TRUE(c.First());
  c.DeleteRecord(c.CurrentRecord(), false);
  EXPECT_EQ(0, c.RecordCount());
  const auto report = Check();
  EXPECT_TRUE(report.Ok()) << report.Text();
  EXPECT_EQ(0, report.chain_blocks);
  EXPECT_EQ(report.block_count, report.free_blocks);
  // The freed blocks are used again before the file grows.
  const std::int64_t size = report.file_size;
  Add("c", Pattern(3 * kD), Pattern(4 * kD));
  EXPECT_EQ(size, Check().file_size);
}

// Thousands of operations on records with blob values of the sizes at block boundaries and of
// many blocks, against a model of what each record holds.
TEST_F(CursorBlobTest, RandomizedRecordsWithBlobsMatchTheModel) {
  TDataCursor* c = cursor_.get();
  std::mt19937 random(20240607);
  const std::vector<std::size_t> sizes = {0, 1, kD - 1, kD, kD + 1, 2 * kD, 3 * kD + 7, 9 * kD};
  auto size_of = [&] {
    return random() % 4 == 0 ? static_cast<std::size_t>(random() % (6 * kD)) : sizes[random() % sizes.size()];
  };
  struct TValues {
    std::string name;
    std::vector<std::byte> notes;
    std::vector<std::byte> pic;
  };
  std::map<std::int32_t, TValues> model;  // by ID
  std::map<std::int32_t, std::int32_t> slots;
  auto go_to = [&](std::int32_t id) {
    c->SelectIndex("");
    ASSERT_TRUE(c->GoToSlot(slots.at(id)));
  };
  auto pick = [&] {
    auto it = model.begin();
    std::advance(it, static_cast<long>(random() % model.size()));
    return it->first;
  };
  for (int step = 0; step < 2500; ++step) {
    const unsigned what = random() % 10;
    if (model.size() < 50 || what < 4) {
      TValues v{"n" + std::to_string(random() % 1000), RandomBytes(size_of(), random),
                RandomBytes(size_of(), random)};
      auto record = c->NewRecordBuffer();
      PutName(*c, record, v.name);
      c->SetBlobField(record, kBlobNotes, v.notes);
      c->SetBlobField(record, kBlobPic, v.pic);
      const std::int32_t slot = c->AddRecord(record, true);
      const std::int32_t id = RecordAutoIncrement(c->CurrentRecord());
      model[id] = v;
      slots[id] = slot;
    } else if (what < 8) {
      const std::int32_t id = pick();
      go_to(id);
      TValues& v = model[id];
      auto record = c->CurrentRecord();
      // Rewritten, shrunk, grown, emptied, or only one field.
      if (random() % 3 != 0) {
        v.notes = RandomBytes(size_of(), random);
        c->SetBlobField(record, kBlobNotes, v.notes);
      }
      if (random() % 2 == 0) {
        v.pic = RandomBytes(size_of(), random);
        c->SetBlobField(record, kBlobPic, v.pic);
      }
      if (random() % 4 == 0) {
        v.name = "m" + std::to_string(random() % 1000);
        PutName(*c, record, v.name);
      }
      c->ChangeRecord(record, false, true);
    } else {
      const std::int32_t id = pick();
      go_to(id);
      c->DeleteRecord(c->CurrentRecord(), false);
      model.erase(id);
      slots.erase(id);
    }
    if (step % 500 == 499) {
      // From the files alone now and then.
      cursor_.reset();
      cursor_ = OpenCursor(db_, "Blobs", true);
      c = cursor_.get();
    }
  }
  TDataCursor& d = *cursor_;
  ASSERT_EQ(static_cast<std::int32_t>(model.size()), d.RecordCount());
  auto it = model.begin();
  for (bool on = d.First(); on; on = d.Next(), ++it) {
    ASSERT_NE(it, model.end());
    ASSERT_EQ(it->first, RecordAutoIncrement(d.CurrentRecord()));
    EXPECT_EQ(it->second.name, NameOf(d, d.CurrentRecord()));
    ASSERT_EQ(it->second.notes, d.ReadBlobField(kBlobNotes)) << "ID " << it->first;
    ASSERT_EQ(it->second.pic, d.ReadBlobField(kBlobPic)) << "ID " << it->first;
  }
  EXPECT_EQ(it, model.end());
  auto report = Check();
  EXPECT_TRUE(report.Ok()) << report.Text();
  EXPECT_EQ(report.block_count, report.chain_blocks + report.free_blocks);
  d.Table().WriteAll(false, true);
  for (const std::string& error : CheckAllIndexTrees(d.Table())) ADD_FAILURE() << error;
  for (const std::string& error : CheckOneKeyPerRecord(d.Table(), FileRecordReader(d.Table())))
    ADD_FAILURE() << error;
  for (const std::string& error : CheckSysDeletedKeys(d.Table(), FileRecordReader(d.Table())))
    ADD_FAILURE() << error;
  for (const std::string& error : CheckActiveRecordCount(d.Table(), FileRecordReader(d.Table())))
    ADD_FAILURE() << error;

  // Replacing every value by one of the same size takes no new block.
  const std::int64_t size = report.file_size;
  for (bool on = d.First(); on; on = d.Next()) {
    auto record = d.CurrentRecord();
    TValues& v = model[RecordAutoIncrement(record)];
    for (auto& b : v.notes) b = ~b;
    v.pic = RandomBytes(v.pic.size(), random);
    d.SetBlobField(record, kBlobNotes, v.notes);
    d.SetBlobField(record, kBlobPic, v.pic);
    d.ChangeRecord(record, false, true);
  }
  report = Check();
  EXPECT_TRUE(report.Ok()) << report.Text();
  EXPECT_EQ(size, report.file_size);
  it = model.begin();
  for (bool on = d.First(); on; on = d.Next(), ++it) {
    ASSERT_EQ(it->second.notes, d.ReadBlobField(kBlobNotes));
    ASSERT_EQ(it->second.pic, d.ReadBlobField(kBlobPic));
  }
}

}  // namespace
}  // namespace tarvo

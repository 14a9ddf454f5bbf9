// A cursor's open blob values over record images of a real table: handles in the slots, the
// codes of the operations, the limit of 64, posting (stamps, stores, frees, references) and
// releasing a record's values before it is deleted.
#include "engine/blob/blob_values.h"

#include <gtest/gtest.h>

#include "engine/blob/blob_chain.h"
#include "engine/format/field_values.h"
#include "engine/format/record_layout.h"
#include "tests/engine/blob/blob_table.h"
#include "tests/testing/blob_checker.h"
#include "tests/testing/engine_matchers.h"

namespace tarvo {
namespace {

using blob_test::Pattern;
using blob_test::TBlobTable;

constexpr std::uint16_t kId = 1;
constexpr std::uint16_t kNotes = 2;
constexpr std::uint16_t kPic = 3;
constexpr std::size_t kD = 494;

class BlobValuesTest : public ::testing::Test {
 protected:
  BlobValuesTest() : values_(t_.Table().DataFile(), t_.Table().BlobFile()) {}

  std::vector<std::byte> NewRecord(std::int32_t slot) {
    std::vector<std::byte> record(t_.Table().DataFile().RecordSize());
    SetRecordSlotLink(record, slot);
    return record;
  }
  const TFieldDescriptor& Field(std::uint16_t number) {
    return t_.Table().DataFile().Descriptors()[number - 1u];
  }
  TBlobRef Ref(const std::vector<std::byte>& record, std::uint16_t field) {
    return GetBlobRef(ConstFieldSlot(record, Field(field)));
  }
  std::uint8_t Presence(const std::vector<std::byte>& record, std::uint16_t field) {
    return static_cast<std::uint8_t>(ConstFieldSlot(record, Field(field))[0]);
  }
  // A record whose Notes hold `value` in the blob file.
  std::vector<std::byte> RecordWithNotes(std::int32_t slot, const std::vector<std::byte>& value,
                                         std::int32_t stamp) {
    auto record = NewRecord(slot);
    const std::int32_t first = StoreBlobValue(t_.Blob(), 0, value, stamp);
    PutBlobRef(FieldSlot(record, Field(kNotes)), {first, stamp});
    return record;
  }
  std::vector<std::byte> Contents(std::vector<std::byte>& record, std::uint16_t field) {
    std::int64_t size = 0;
    EXPECT_EQ(0, values_.GetSize(field, record, size));
    std::vector<std::byte> out(static_cast<std::size_t>(size));
    std::size_t copied = 0;
    EXPECT_EQ(0, values_.Read(field, record, 0, out, copied));
    EXPECT_EQ(out.size(), copied);
    return out;
  }

  TBlobTable t_;
  TBlobValues values_;
};

TEST_F(BlobValuesTest, OpenPutsAHandleInTheSlotAndCloseGivesTheReferenceBack) {
  const auto value = Pattern(kD + 5, 1);
  auto record = RecordWithNotes(4, value, 7);
  const TBlobRef stored = Ref(record, kNotes);
  ASSERT_EQ(0, values_.Open(kNotes, record, false, kBlobModeRead));
  const TBlobRef open = Ref(record, kNotes);
  EXPECT_LT(open.Reference, 0);
  EXPECT_EQ(7, open.Stamp);
  EXPECT_EQ(1, Presence(record, kNotes));
  const TBlobBuffer* buffer = values_.Find(open.Reference);
  ASSERT_NE(nullptr, buffer);
  EXPECT_EQ(4, buffer->RecordNumber());
  EXPECT_EQ(kNotes, buffer->FieldNumber());
  EXPECT_EQ(stored.Reference, buffer->FirstBlock());
  EXPECT_EQ(value, Contents(record, kNotes));
  // An empty field opens with presence 0.
  ASSERT_EQ(0, values_.Open(kPic, record, false, kBlobModeRead));
  EXPECT_EQ(0, Presence(record, kPic));
  EXPECT_EQ(0, values_.Close(kNotes, record));
  EXPECT_EQ(0, values_.Close(kPic, record));
  EXPECT_EQ(stored, Ref(record, kNotes));
  EXPECT_EQ(1, Presence(record, kNotes));
  EXPECT_EQ(0, Presence(record, kPic));
  EXPECT_EQ(0u, values_.OpenCount());
}

TEST_F(BlobValuesTest, OperationsReportTheirCodes) {
  auto record = NewRecord(1);
  std::int64_t size = 0;
  std::size_t copied = 0;
  std::byte byte{};
  for (const std::uint16_t field : {kId, std::uint16_t{4}, std::uint16_t{0}, std::uint16_t{99}}) {
    SCOPED_TRACE(field);
    EXPECT_EQ(kInvalidBlobField, values_.Open(field, record, false, kBlobModeRead));
    EXPECT_EQ(kInvalidBlobField, values_.Close(field, record));
    EXPECT_EQ(kInvalidBlobField, values_.GetSize(field, record, size));
  }
  // No handle in the slot.
  EXPECT_EQ(kInvalidBlobHandle, values_.Close(kNotes, record));
  EXPECT_EQ(kInvalidBlobHandle, values_.Read(kNotes, record, 0, std::span(&byte, 1), copied));
  EXPECT_EQ(kInvalidBlobHandle, values_.Write(kNotes, record, 0, std::span(&byte, 1)));
  EXPECT_EQ(kInvalidBlobHandle, values_.SetSize(kNotes, record, 3));
  EXPECT_EQ(kInvalidBlobHandle, values_.GetSize(kNotes, record, size));
  // A handle of another cursor's buffer is not ours.
  TBlobValues other(t_.Table().DataFile(), t_.Table().BlobFile());
  auto foreign = NewRecord(1);
  ASSERT_EQ(0, other.Open(kNotes, foreign, false, kBlobModeRead));
  EXPECT_EQ(kInvalidBlobOffset, values_.Open(kNotes, foreign, false, kBlobModeRead));
  EXPECT_EQ(kInvalidBlobHandle, values_.GetSize(kNotes, foreign, size));
}

TEST_F(BlobValuesTest, The65thOpenValueIsRefused) {
  std::vector<std::vector<std::byte>> records;
  for (int i = 0; i < 33; ++i) records.push_back(NewRecord(i + 1));
  for (int i = 0; i < 32; ++i) {
    ASSERT_EQ(0, values_.Open(kNotes, records[i], false, kBlobModeRead));
    ASSERT_EQ(0, values_.Open(kPic, records[i], false, kBlobModeRead));
  }
  EXPECT_EQ(64u, values_.OpenCount());
  EXPECT_EQ(kTooManyBlobs, values_.Open(kNotes, records[32], false, kBlobModeRead));
  // Opening an open one again only changes its flag.
  EXPECT_EQ(0, values_.Open(kNotes, records[0], true, kBlobModeRead));
  ASSERT_EQ(0, values_.Close(kPic, records[5]));
  EXPECT_EQ(0, values_.Open(kNotes, records[32], false, kBlobModeRead));
}

TEST_F(BlobValuesTest, AReadPastTheEndCopiesWhatThereIsAndSays8711) {
  const auto value = Pattern(10, 2);
  auto record = RecordWithNotes(1, value, 3);
  ASSERT_EQ(0, values_.Open(kNotes, record, false, kBlobModeRead));
  std::vector<std::byte> out(8, std::byte{0xEE});
  std::size_t copied = 0;
  EXPECT_EQ(kEndOfBlob, values_.Read(kNotes, record, 6, out, copied));
  EXPECT_EQ(4u, copied);
  EXPECT_TRUE(std::equal(value.begin() + 6, value.end(), out.begin()));
  EXPECT_EQ(kEndOfBlob, values_.Read(kNotes, record, 10, out, copied));
  EXPECT_EQ(0u, copied);
  EXPECT_EQ(0, values_.Read(kNotes, record, 2, std::span(out).first(8), copied));
  EXPECT_EQ(8u, copied);
}

TEST_F(BlobValuesTest, PostStoresChangedValuesUnderNewStampsOnly) {
  const auto notes = Pattern(3 * kD, 4);
  auto record = RecordWithNotes(2, notes, 5);
  const TBlobRef notes_before = Ref(record, kNotes);
  ASSERT_EQ(0, values_.Open(kNotes, record, false, kBlobModeWrite));
  ASSERT_EQ(0, values_.Open(kPic, record, false, kBlobModeWrite));
  const auto pic = Pattern(kD + 1, 5);
  ASSERT_EQ(0, values_.Write(kPic, record, 0, pic));
  EXPECT_EQ(1, Presence(record, kPic));
  auto image = record;  // what goes to the file
  values_.Post(image);
  const TBlobRef pic_ref = Ref(image, kPic);
  EXPECT_EQ(t_.Table().DataFile().Header().BlobStampCounter, pic_ref.Stamp);
  EXPECT_NE(0, pic_ref.Reference);
  EXPECT_EQ(1, Presence(image, kPic));
  EXPECT_EQ(notes_before, Ref(image, kNotes));  // unchanged: not stored, no new stamp
  EXPECT_EQ(pic, LoadBlobValue(t_.Blob(), pic_ref.Reference, pic_ref.Stamp));
  EXPECT_EQ(notes, LoadBlobValue(t_.Blob(), notes_before.Reference, notes_before.Stamp));
  // The values stay open for the user; a second post without changes stores nothing.
  EXPECT_EQ(2u, values_.OpenCount());
  const std::int32_t counter = t_.Table().DataFile().Header().BlobStampCounter;
  values_.Post(image);
  EXPECT_EQ(counter, t_.Table().DataFile().Header().BlobStampCounter);
}

// Rewriting bytes with the same bytes changes nothing; rewriting them with other bytes inside
// the present size is a change like any other and reaches the file.
TEST_F(BlobValuesTest, WritesInsideTheSizeAreStoredOnlyWhenTheyChangeSomething) {
  const auto notes = Pattern(2 * kD, 6);
  auto record = RecordWithNotes(2, notes, 5);
  ASSERT_EQ(0, values_.Open(kNotes, record, false, kBlobModeWrite));
  ASSERT_EQ(0, values_.Write(kNotes, record, 100, std::span(notes).subspan(100, 50)));
  auto image = record;
  values_.Post(image);
  EXPECT_EQ(5, Ref(image, kNotes).Stamp);
  auto changed = notes;
  changed[700] ^= std::byte{0xFF};
  ASSERT_EQ(0, values_.Write(kNotes, record, 700, std::span(changed).subspan(700, 1)));
  image = record;
  values_.Post(image);
  const TBlobRef after = Ref(image, kNotes);
  EXPECT_NE(5, after.Stamp);
  EXPECT_EQ(changed, LoadBlobValue(t_.Blob(), after.Reference, after.Stamp));
}

TEST_F(BlobValuesTest, SizeZeroFreesTheChainAndClearsTheReference) {
  auto record = RecordWithNotes(3, Pattern(4 * kD, 7), 5);
  ASSERT_EQ(0, values_.Open(kNotes, record, false, kBlobModeWrite));
  ASSERT_EQ(0, values_.SetSize(kNotes, record, 0));
  EXPECT_EQ(0, Presence(record, kNotes));
  auto image = record;
  values_.Post(image);
  EXPECT_EQ(0, Ref(image, kNotes).Reference);
  EXPECT_EQ(0, Presence(image, kNotes));
  const auto report = testing::CheckBlobFile(t_.Blob(), {});
  EXPECT_TRUE(report.Ok()) << report.Text();
  EXPECT_EQ(4, report.free_blocks);
}

TEST_F(BlobValuesTest, ReleasingARecordsValuesFreesEveryChain) {
  auto record = RecordWithNotes(6, Pattern(2 * kD, 8), 5);
  const std::int32_t pic = StoreBlobValue(t_.Blob(), 0, Pattern(3 * kD, 9), 6);
  PutBlobRef(FieldSlot(record, Field(kPic)), {pic, 6});
  ASSERT_EQ(0, values_.Open(kPic, record, false, kBlobModeRead));  // the user has one open
  values_.ReleaseRecordValues(record);
  EXPECT_EQ(0u, values_.OpenCount());
  for (const std::uint16_t field : {kNotes, kPic}) {
    EXPECT_EQ(0, Ref(record, field).Reference);
    EXPECT_EQ(0, Presence(record, field));
  }
  const auto report = testing::CheckBlobFile(t_.Blob(), {});
  EXPECT_TRUE(report.Ok()) << report.Text();
  EXPECT_EQ(5, report.free_blocks);
}

TEST_F(BlobValuesTest, AReleaseThatFailsLeavesNoHandlesBehind) {
  auto record = RecordWithNotes(6, Pattern(2 * kD, 10), 5);
  PutBlobRef(FieldSlot(record, Field(kPic)), {t_.Blob().Header().end_offset + 512, 6});
  const auto before = record;
  EXPECT_ENGINE_ERROR(kBlobBuffersCorrupt, values_.ReleaseRecordValues(record));
  EXPECT_EQ(0u, values_.OpenCount());
  EXPECT_EQ(before, record);
}

// Only the values a record image names take part in its post; among them, changed values
// opened for two different records are refused before anything changes.
TEST_F(BlobValuesTest, ChangedValuesOfTwoRecordsCannotBePostedTogether) {
  auto first = NewRecord(1);
  auto second = NewRecord(2);
  ASSERT_EQ(0, values_.Open(kNotes, first, false, kBlobModeWrite));
  ASSERT_EQ(0, values_.Open(kNotes, second, false, kBlobModeWrite));
  const auto bytes = Pattern(5, 11);
  ASSERT_EQ(0, values_.Write(kNotes, first, 0, bytes));
  ASSERT_EQ(0, values_.Write(kNotes, second, 0, bytes));
  // The second record's value stays open and unstored when the first is posted.
  auto image = first;
  values_.Post(image);
  EXPECT_GT(Ref(image, kNotes).Reference, 0);
  std::int64_t size = 0;
  EXPECT_EQ(0, values_.GetSize(kNotes, second, size));
  EXPECT_EQ(5, size);
  // One image naming values opened for records 2 and 3.
  SetRecordSlotLink(second, 3);
  ASSERT_EQ(0, values_.Open(kPic, second, false, kBlobModeWrite));
  ASSERT_EQ(0, values_.Write(kPic, second, 0, bytes));
  const std::int32_t counter = t_.Table().DataFile().Header().BlobStampCounter;
  const std::int32_t end = t_.Blob().Header().end_offset;
  EXPECT_ENGINE_ERROR(kBlobBuffersCorrupt, values_.Post(second));
  EXPECT_EQ(counter, t_.Table().DataFile().Header().BlobStampCounter);
  EXPECT_EQ(end, t_.Blob().Header().end_offset);
  // A slot holding a handle of no open value is refused too.
  auto gone = second;
  ASSERT_EQ(0, values_.Close(kPic, second));
  EXPECT_ENGINE_ERROR(kInvalidBlobHandle, values_.Post(gone));
}

TEST_F(BlobValuesTest, EngineInternalValuesCloseWithThePost) {
  auto record = RecordWithNotes(1, Pattern(7, 12), 5);
  ASSERT_EQ(0, values_.Open(kNotes, record, true, kBlobModeRead));
  ASSERT_EQ(0, values_.Open(kPic, record, false, kBlobModeRead));
  values_.Post(record);
  EXPECT_EQ(1u, values_.OpenCount());
  EXPECT_GT(Ref(record, kNotes).Reference, 0);
  values_.CloseAll();
  EXPECT_EQ(0u, values_.OpenCount());
}

}  // namespace
}  // namespace tarvo

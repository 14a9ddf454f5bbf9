// TRecord and TRecordStack: the record header operations, enciphering on the way to and from the
// file, and the reuse of pooled objects.
#include "engine/records/record.h"

#include <gtest/gtest.h>

#include <vector>

#include "engine/format/encipher.h"
#include "engine/format/record_layout.h"
#include "engine/records/record_stack.h"

namespace tarvo {
namespace {

std::vector<std::byte> Bytes(std::initializer_list<int> values, std::size_t size) {
  std::vector<std::byte> bytes(size);
  std::size_t i = 0;
  for (const int v : values) bytes[i++] = static_cast<std::byte>(v);
  return bytes;
}

TEST(RecordTest, HeaderOperationsKeepSlotAndLinkApart) {
  TRecord record(nullptr, 20);
  record.SetSlotNumber(7);
  record.Clear(false);
  EXPECT_FALSE(record.Modified());
  EXPECT_EQ(RecordSlotLink(record.Bytes()), 7);
  EXPECT_EQ(record.Link(), 0) << "a record in use has no link";

  record.SetDeleted(true);
  record.SetLink(3);
  EXPECT_TRUE(record.Modified());
  EXPECT_EQ(record.Link(), 3);
  // A deleted record keeps its link when its slot number changes.
  record.SetSlotNumber(9);
  EXPECT_EQ(record.Link(), 3);
  EXPECT_EQ(record.SlotNumber(), 9);

  record.SetDeleted(false);
  record.SetSlotNumber(11);
  EXPECT_EQ(RecordSlotLink(record.Bytes()), 11);
}

TEST(RecordTest, LoadPutsTheSlotIntoARecordInUseOnly) {
  TRecord record(nullptr, 12);
  record.SetSlotNumber(5);
  record.LoadFromFile(Bytes({0, 99, 0, 0, 0, 42, 0, 0, 0, 1, 2, 3}, 12));
  EXPECT_EQ(RecordSlotLink(record.Bytes()), 5);
  EXPECT_EQ(record.AutoIncrement(), 42);
  record.LoadFromFile(Bytes({1, 99, 0, 0, 0, 42, 0, 0, 0, 1, 2, 3}, 12));
  EXPECT_EQ(record.Link(), 99);
  EXPECT_FALSE(record.Modified());
}

TEST(RecordTest, CopyFieldsLeavesTheHeaderAndSameAsComparesEverything) {
  TRecord record(nullptr, 12);
  record.SetSlotNumber(2);
  record.Clear(false);
  record.SetAutoIncrement(8);
  const auto source = Bytes({1, 9, 9, 9, 9, 9, 9, 9, 9, 4, 5, 6}, 12);
  record.CopyFields(source);
  EXPECT_EQ(record.AutoIncrement(), 8);
  EXPECT_FALSE(record.Deleted());
  EXPECT_EQ(record.Bytes()[9], std::byte{4});
  EXPECT_EQ(record.Bytes()[11], std::byte{6});
  EXPECT_FALSE(record.SameAs(source));
  const std::vector<std::byte> copy(record.Bytes().begin(), record.Bytes().end());
  EXPECT_TRUE(record.SameAs(copy));
  EXPECT_FALSE(record.SameAs(std::span(copy).first(11))) << "a short buffer is never the same";

  TRecord other(nullptr, 10);
  other.CopyFrom(record);
  EXPECT_EQ(other.SlotNumber(), 2);
  EXPECT_EQ(other.AutoIncrement(), 8);
  EXPECT_TRUE(other.Modified());
}

TEST(RecordTest, PinsNeverGoBelowZero) {
  TRecord record(nullptr, 9);
  record.Unpin();
  EXPECT_EQ(record.PinCount(), 0);
  record.Pin();
  record.Pin();
  record.Unpin();
  EXPECT_EQ(record.PinCount(), 1);
}

TEST(RecordStackTest, PooledRecordsComeBackClearedAndResized) {
  TRecordStack stack(nullptr);
  auto record = stack.Get(30);
  record->SetSlotNumber(4);
  record->SetAutoIncrement(77);
  record->Pin();
  TRecord* raw = record.get();
  stack.Put(std::move(record));
  EXPECT_EQ(stack.Count(), 1u);
  auto again = stack.Get(600);
  EXPECT_EQ(again.get(), raw);
  EXPECT_EQ(again->Size(), 600);
  EXPECT_EQ(again->PinCount(), 0);
  EXPECT_EQ(again->SlotNumber(), 0);
  EXPECT_EQ(again->AutoIncrement(), 0);
  EXPECT_FALSE(again->Modified());
  EXPECT_EQ(stack.Count(), 0u);
}

}  // namespace
}  // namespace tarvo

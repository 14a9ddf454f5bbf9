#include "engine/format/record_layout.h"

#include <gtest/gtest.h>

#include "errors/engine_error.h"
#include "engine/format/field_types.h"
#include "tests/engine/format/format_builders.h"

namespace tarvo {
namespace {

using testing::Field;

TEST(RecordLayoutTest, StoredFieldsFollowTheRecordHeaderWithAFlagByteEach) {
  std::vector<TFieldDescriptor> fields = {
      Field("Name", kTypeText, 40),  Field("ID", kTypeInt32, 0, kSubTypeAutoInc), Field("Born", kTypeDate),
      Field("Calc", kTypeFloat),     Field("Dec", kTypeFixed, 0, 0, 2),           Field("Ext", kTypeExtended),
      Field("VB", kTypeVarBytes, 10)};
  fields[3].NotStored = 1;
  fields[3].ComputeExpression[0] = std::byte{1};

  EXPECT_EQ(DeriveRecordLayout(fields, true), 9 + 42 + 5 + 9 + 11 + 11);
  EXPECT_EQ(fields[0].RecordOffset, 9);
  EXPECT_EQ(fields[0].DataSize, 41);
  EXPECT_EQ(fields[1].RecordOffset, 5);  // auto-increment: the record identifier, no flag
  EXPECT_EQ(fields[2].RecordOffset, 51);
  EXPECT_EQ(fields[3].RecordOffset, 0);  // computed: no place
  EXPECT_EQ(fields[4].RecordOffset, 56);
  EXPECT_EQ(fields[4].DecimalsCopy, 2);
  EXPECT_EQ(fields[5].RecordOffset, 65);
  EXPECT_EQ(fields[5].DataSize, 10);
  EXPECT_EQ(fields[6].RecordOffset, 76);

  // Without computed fields allowed, the mark and the expression are cleared and the field stored.
  EXPECT_EQ(DeriveRecordLayout(fields, false), 9 + 42 + 5 + 9 + 9 + 11 + 11);
  EXPECT_EQ(fields[3].NotStored, 0);
  EXPECT_EQ(fields[3].ComputeExpression[0], std::byte{0});
  EXPECT_EQ(fields[3].RecordOffset, 56);
}

TEST(RecordLayoutTest, EdgeSizes) {
  std::vector<TFieldDescriptor> only_id = {Field("ID", kTypeInt32, 0, kSubTypeAutoInc)};
  EXPECT_EQ(DeriveRecordLayout(only_id, false), 9);

  std::vector<TFieldDescriptor> none;
  EXPECT_EQ(DeriveRecordLayout(none, false), 9);

  std::vector<TFieldDescriptor> text250 = {Field("T", kTypeText, 250)};
  EXPECT_EQ(DeriveRecordLayout(text250, false), 9 + 252);

  // 261 text fields of 250 need 9 + 261 x 252 = 65,781 bytes; 260 need 65,529.
  std::vector<TFieldDescriptor> wide(260, Field("T", kTypeText, 250));
  EXPECT_EQ(DeriveRecordLayout(wide, false), 65'529);
  wide.push_back(Field("T", kTypeText, 250));
  EXPECT_EQ(DeriveRecordLayout(wide, false), -static_cast<int>(kMaxRecordSize));
}

TEST(RecordLayoutTest, SixtyFifthBlobFieldIsRefused) {
  std::vector<TFieldDescriptor> blobs(64, Field("B", kTypeBlob, 0, kSubTypeMemo));
  EXPECT_EQ(DeriveRecordLayout(blobs, false), 9 + 64 * 9);
  EXPECT_EQ(CountBlobFields(blobs), 64);
  blobs.push_back(Field("B", kTypeBlob));
  EXPECT_EQ(DeriveRecordLayout(blobs, false), -static_cast<int>(kBlobFieldLimits));
}

TEST(RecordLayoutTest, RecordHeaderAndSlotOffsets) {
  std::vector<std::byte> record(20);
  SetRecordDeleted(record, true);
  SetRecordSlotLink(record, 198);
  SetRecordAutoIncrement(record, -3);
  EXPECT_EQ(record[0], std::byte{1});
  EXPECT_EQ(record[1], std::byte{198});
  EXPECT_EQ(record[5], std::byte{0xFD});
  EXPECT_EQ(record[8], std::byte{0xFF});
  EXPECT_TRUE(IsRecordDeleted(record));
  EXPECT_EQ(RecordSlotLink(record), 198);
  EXPECT_EQ(RecordAutoIncrement(record), -3);

  EXPECT_EQ(RecordFileOffset(16, 149, 1), 12'415u);
  EXPECT_EQ(RecordFileOffset(16, 149, 200), 12'415u + 199 * 149);
  EXPECT_EQ(RecordFileOffset(1, 65'535, 100'000'000), 895u + 99'999'999ull * 65'535);
}

TEST(FieldTypesTest, DataSizesAndDataSetTypes) {
  EXPECT_EQ(DataSizeOf(kTypeText, 250), 251);
  EXPECT_EQ(DataSizeOf(kTypeBytes, 8), 8);
  EXPECT_EQ(DataSizeOf(kTypeVarBytes, 10), 10);
  EXPECT_EQ(DataSizeOf(kTypeExtended, 0), 10);
  EXPECT_EQ(DataSizeOf(kTypeBoolean, 0), 2);
  EXPECT_EQ(DataSizeOf(kTypeDateTime, 0), 8);
  EXPECT_EQ(DataSizeOf(18, 0), 0);

  using enum TFieldType;
  EXPECT_EQ(FieldTypeOf(kTypeBlob, kSubTypeOle), ftBlob);
  EXPECT_EQ(FieldTypeOf(kTypeBlob, 99), ftBlob);
  EXPECT_EQ(FieldTypeOf(kTypeBlob, kSubTypeGraphic), ftGraphic);
  EXPECT_EQ(FieldTypeOf(kTypeInt32, kSubTypeAutoInc), ftAutoInc);
  EXPECT_EQ(FieldTypeOf(kTypeFloat, kSubTypeMoney), ftCurrency);
  for (const TTypeCode none : {0, 14, 16, 17, 24, 255})
    EXPECT_EQ(FieldTypeOf(none, 0), ftUnknown) << int{none};

  // Every data-set type that an engine type reads as is written back as that engine type,
  // except the documented losses (13 → ftInteger → 6; blob subtypes 23, 25, 27 → 0; 19 → 18).
  for (int type = 1; type <= 23; ++type) {
    for (const TTypeCode subtype : {0, 21, 22, 24, 26, 28, 29}) {
      const TFieldType ft = FieldTypeOf(static_cast<TTypeCode>(type), subtype);
      if (ft == ftUnknown) continue;
      const TEngineType back = EngineTypeOf(ft);
      EXPECT_EQ(FieldTypeOf(back.Type, back.SubType), ft) << type << "/" << int{subtype};
    }
  }
  EXPECT_EQ(EngineTypeOf(FieldTypeOf(kTypeUInt32, 0)), (TEngineType{kTypeInt32, 0}));
  EXPECT_EQ(EngineTypeOf(ftFixedChar), (TEngineType{kTypeText, 31}));
  EXPECT_EQ(EngineTypeOf(ftVariant), (TEngineType{0, 0}));
}

}  // namespace
}  // namespace tarvo

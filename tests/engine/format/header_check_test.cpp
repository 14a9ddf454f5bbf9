#include "engine/format/header_check.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "engine/format/field_types.h"
#include "tests/engine/format/format_builders.h"

namespace tarvo {
namespace {

using testing::Field;

bool AnyLocale(TLanguageId, TSortId) {
  return true;
}
bool NoLocale(TLanguageId, TSortId) {
  return false;
}

class HeaderCheckTest : public ::testing::Test {
 protected:
  HeaderCheckTest()
      : fields_{Field("ID", kTypeInt32, 0, kSubTypeAutoInc),
                Field("Name", kTypeText, 40),
                Field("Born", kTypeDate),
                Field("Notes", kTypeBlob, 0, kSubTypeMemo),
                Field("Dec", kTypeFixed, 0, 0, 2),
                Field("_Raw", kTypeBytes, 8)} {
    fields_[2].MinValue = "1900-01-01";
    fields_[4].DefaultValue = "1.25";
    header_ = testing::LayOut(fields_, 10);
    header_.FormatVersion = kFormatVersion;
  }

  TEngineCode Check(TLocaleValidity validity = AnyLocale) const {
    return CheckDataHeader(header_, fields_, testing::FileLength(header_) + extra_bytes_, validity);
  }

  std::vector<TFieldDescriptor> fields_;
  TDataHeader header_;
  std::int64_t extra_bytes_ = 0;
};

TEST_F(HeaderCheckTest, AcceptsAConsistentTable) {
  EXPECT_EQ(header_.RecordSize, 9 + 42 + 5 + 9 + 9 + 9);
  EXPECT_EQ(Check(), 0);
  EXPECT_EQ(Check(NoLocale), 0);  // language 0 needs no locale

  // An empty table: 127 + 768 x n bytes, NextRecordSlot 1.
  header_.NextRecordSlot = 1;
  EXPECT_EQ(CheckDataHeader(header_, fields_, 127 + 768 * fields_.size(), AnyLocale), 0);
}

TEST_F(HeaderCheckTest, VersionAndLocaleHaveTheirOwnCodes) {
  header_.FormatVersion = 3;
  EXPECT_EQ(Check(), kWrongVersion);
  header_.FormatVersion = kFormatVersion;
  header_.LanguageID = 0x0407;
  EXPECT_EQ(Check(NoLocale), kLocaleUnavailable);
  EXPECT_EQ(Check([](TLanguageId l, TSortId s) { return l == 0x0407 && s == 0; }), 0);
}

TEST_F(HeaderCheckTest, EachDescriptorInconsistencyIsHeaderCorrupt) {
  const std::vector<std::pair<const char*, std::function<void(std::vector<TFieldDescriptor>&)>>> damages = {
      {"empty name", [](auto& f) { f[1].FieldName = ""; }},
      {"name starts with a digit", [](auto& f) { f[1].FieldName = "1Name"; }},
      {"name starts with a blank", [](auto& f) { f[1].FieldName = " Name"; }},
      {"name starts with code 128", [](auto& f) { f[1].FieldName = "\x80Name"; }},
      {"duplicate name", [](auto& f) { f[2].FieldName = "name "; }},
      {"type 0", [](auto& f) { f[2].FieldType = 0; }},
      {"text size 251", [](auto& f) { f[1].FieldSize = 251; }},
      {"size on a date", [](auto& f) { f[2].FieldSize = 4; }},
      {"decimals on a date", [](auto& f) { f[2].FieldDecimals = 1; }},
      {"bad minimum", [](auto& f) { f[2].MinValue = "1900-02-30"; }},
      {"bad maximum", [](auto& f) { f[4].MaxValue = "1,5"; }},
      {"bad default", [](auto& f) { f[3].DefaultValue = "x"; }},
      {"auto-increment offset", [](auto& f) { f[0].RecordOffset = 9; }},
      {"field offset", [](auto& f) { ++f[3].RecordOffset; }},
      {"field number", [](auto& f) { f[5].FieldNumber = 7; }},
      {"field numbers swapped", [](auto& f) { std::swap(f[1].FieldNumber, f[2].FieldNumber); }},
  };
  const std::vector<TFieldDescriptor> good = fields_;
  for (const auto& [what, damage] : damages) {
    fields_ = good;
    damage(fields_);
    EXPECT_EQ(Check(), kHeaderCorrupt) << what;
  }
  // Stored DataSize and DecimalsCopy are recomputed, not trusted or checked.
  fields_ = good;
  fields_[1].DataSize = 3;
  fields_[4].DecimalsCopy = 0;
  EXPECT_EQ(Check(), 0);
}

TEST_F(HeaderCheckTest, HeaderValuesMustMatchTheDescriptorsAndTheFile) {
  const TDataHeader good = header_;
  header_.RecordSize += 1;
  EXPECT_EQ(Check(), kHeaderCorrupt) << "record size";

  header_ = good;
  extra_bytes_ = 5;  // a partial record at the end
  EXPECT_EQ(Check(), kHeaderCorrupt) << "partial record";
  extra_bytes_ = header_.RecordSize;  // one slot more than NextRecordSlot says
  EXPECT_EQ(Check(), kHeaderCorrupt) << "slot count";

  extra_bytes_ = 0;
  header_.NextRecordSlot = 1;  // a file shorter than header and descriptors
  EXPECT_EQ(CheckDataHeader(header_, fields_, 127 + 768 * 2, AnyLocale), kHeaderCorrupt) << "short file";

  header_ = good;
  header_.FieldCount = 1025;
  EXPECT_EQ(Check(), kHeaderCorrupt) << "field count";
}

TEST_F(HeaderCheckTest, ComputedFieldsHaveNoPlaceInTheRecord) {
  fields_.insert(fields_.begin() + 2, Field("Calc", kTypeFloat));
  fields_[2].NotStored = 1;
  header_ = testing::LayOut(fields_, 10);
  EXPECT_EQ(Check(), 0);
}

TEST(HeaderCheckEdgeTest, OnlyAutoIncrementAndHighCharacterNames) {
  std::vector<TFieldDescriptor> only_id = {Field("ID", kTypeInt32, 0, kSubTypeAutoInc)};
  TDataHeader h = testing::LayOut(only_id, 3);
  EXPECT_EQ(h.RecordSize, 9);
  EXPECT_EQ(CheckDataHeader(h, only_id, 127 + 768 + 3 * 9, AnyLocale), 0);

  EXPECT_TRUE(IsValidFieldName("\x81x", 0, 0));
  EXPECT_TRUE(IsValidFieldName("_", 0, 0));
  EXPECT_TRUE(IsValidFieldName(std::string(30, 'a'), 0, 0));
  EXPECT_FALSE(IsValidFieldName(std::string(31, 'a'), 0, 0));
  EXPECT_FALSE(IsValidFieldName("-x", 0, 0));
}

}  // namespace
}  // namespace tarvo

#include "components/restructure_defs.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>

#include "components/database_texts.h"
#include "tests/testing/field_builder.h"

namespace tarvo {
namespace {

std::string ErrorText(const std::function<void()>& action) {
  try {
    action();
  } catch (const EDatabaseError& e) {
    return e.what();
  }
  return "nothing raised";
}

TEST(TRestructureFieldDefTest, SizesAreCheckedAgainstTheType) {
  using enum TFieldType;
  TRestructureFieldDefs defs(nullptr);
  const std::string refused = "Ungültige Feldgröße";
  for (TFieldType sized : {ftString, ftBytes, ftVarBytes}) {
    EXPECT_EQ(refused, ErrorText([&] { defs.Add("A", sized, 0); }));
    EXPECT_EQ(refused, ErrorText([&] { defs.Add("A", sized, 251); }));
    defs.Add("A", sized, 1);
    defs.Add("A", sized, 250);
  }
  defs.Add("B", ftBCD, 0);
  defs.Add("B", ftBCD, 8);
  EXPECT_EQ(refused, ErrorText([&] { defs.Add("B", ftBCD, 9); }));
  EXPECT_EQ(refused, ErrorText([&] { defs.Add("C", ftInteger, 4); }));
  EXPECT_EQ(refused, ErrorText([&] { defs.Add("C", ftMemo, 1); }));
  EXPECT_EQ(8u, defs.Count());
  EXPECT_EQ(8, defs[7].FieldNo);
}

TEST(TRestructureFieldDefTest, ReadingMapsEngineTypesAndLeavesUnknownOnesOut) {
  struct TCase {
    TTypeCode type, subtype;
    TFieldType expected;
  };
  using enum TFieldType;
  const TCase cases[] = {
      {1, 0, ftString},    {2, 0, ftDate},         {3, 0, ftBlob},      {3, 22, ftMemo},
      {3, 23, ftBlob},     {3, 24, ftFmtMemo},     {3, 25, ftBlob},     {3, 26, ftGraphic},
      {3, 27, ftBlob},     {3, 28, ftTypedBinary}, {4, 0, ftBoolean},   {5, 0, ftSmallint},
      {6, 0, ftInteger},   {6, 29, ftAutoInc},     {7, 0, ftFloat},     {7, 21, ftCurrency},
      {8, 0, ftBCD},       {9, 0, ftBytes},        {10, 0, ftTime},     {11, 0, ftDateTime},
      {12, 0, ftWord},     {13, 0, ftInteger},     {15, 0, ftVarBytes}, {18, 0, ftLargeint},
      {19, 0, ftLargeint}, {20, 0, ftADT},         {21, 0, ftArray},    {22, 0, ftReference},
      {23, 0, ftDataSet}};
  for (const TCase& c : cases) {
    const TFieldDescriptor d =
        testing::Field("", c.type, (c.type == 1 || c.type == 9 || c.type == 15) ? 12 : 0, c.subtype);
    const auto def = TRestructureFieldDef::FromDescriptor(nullptr, d);
    ASSERT_TRUE(def.has_value()) << int(c.type) << "/" << int(c.subtype);
    EXPECT_EQ(c.expected, def->DataType) << int(c.type) << "/" << int(c.subtype);
  }
  for (TTypeCode none : {0, 14, 16, 17, 24, 200}) {
    EXPECT_FALSE(TRestructureFieldDef::FromDescriptor(nullptr, testing::Field("", none)).has_value())
        << int(none);
  }
}

TEST(TRestructureFieldDefTest, WritingMapsFieldTypesAndCutsTexts) {
  using enum TFieldType;
  struct TCase {
    TFieldType type;
    TTypeCode engine, subtype;
  };
  const TCase cases[] = {{ftFixedChar, 1, 31}, {ftWideString, 1, 32},  {ftGuid, 1, 0},
                         {ftAutoInc, 6, 29},   {ftCurrency, 7, 21},    {ftParadoxOle, 3, 0},
                         {ftOraClob, 3, 0},    {ftTypedBinary, 3, 28}, {ftCursor, 17, 0},
                         {ftLargeint, 18, 0},  {ftUnknown, 0, 0},      {ftIDispatch, 0, 0}};
  for (const TCase& c : cases) {
    const TRestructureFieldDef def(nullptr, "F", c.type, false, 0, 1);
    const TFieldDescriptor d = def.ToDescriptor();
    EXPECT_EQ(c.engine, d.FieldType);
    EXPECT_EQ(c.subtype, d.FieldSubType);
  }
  TRestructureFieldDef text(nullptr, std::string(40, 'N'), ftString, true, 30, 3);
  text.Description = std::string(60, 'd');
  text.DefaultValue = std::string(49, 'x') + "ä";  // the cut does not split the character
  text.CaseMapping = kCaseLower;
  const TFieldDescriptor d = text.ToDescriptor();
  EXPECT_EQ(3, d.FieldNumber);
  EXPECT_EQ(std::string(30, 'N'), d.FieldName);
  EXPECT_EQ(30, d.FieldSize);
  EXPECT_EQ(0, d.FieldDecimals);
  EXPECT_EQ(1, d.Required);
  EXPECT_EQ(kCaseLower, d.CaseMapping);
  EXPECT_EQ(std::string(50, 'd'), d.FieldDescription);
  EXPECT_EQ(std::string(49, 'x'), d.DefaultValue);
  const TFieldDescriptor bcd = TRestructureFieldDef(nullptr, "B", ftBCD, false, 2, 1).ToDescriptor();
  EXPECT_EQ(0, bcd.FieldSize);
  EXPECT_EQ(2, bcd.FieldDecimals);
}

TEST(TRestructureFieldDefTest, OnlyTheNotStoredMarkSkipsAField) {
  TFieldDescriptor d;
  EXPECT_FALSE(IsSkippedDescriptor(d));
  // An expression text reaching byte 252 without the mark is not a computed field.
  d.ComputeExpression[4] = std::byte{'x'};
  EXPECT_FALSE(IsSkippedDescriptor(d));
  d.NotStored = 1;
  EXPECT_TRUE(IsSkippedDescriptor(d));
}

TEST(TRestructureIndexDefTest, ConvertsToTheEngineDescriptor) {
  TRestructureFieldDefs fields(nullptr);
  fields.Add("Name", TFieldType::ftString, 20);
  fields.Add("Born", TFieldType::ftDate);
  fields.Add("Count", TFieldType::ftInteger);
  TRestructureIndexDefs indexes(nullptr);
  TRestructureIndexDef& def =
      indexes.Add(std::string(35, 'I'), "count; NAME", kIxDescending | kIxCaseInsensitive | kIxUnique, 3);
  const TIndexDescriptor d = def.ToDescriptor(fields);
  EXPECT_EQ(std::string(30, 'I'), d.name);
  EXPECT_EQ(1, d.descending);
  EXPECT_EQ(1, d.case_insensitive);
  EXPECT_EQ(1, d.unique);
  EXPECT_EQ(3, d.compression);
  EXPECT_EQ(2, d.field_count);
  EXPECT_EQ(3, d.field_numbers[0]);
  EXPECT_EQ(1, d.field_numbers[1]);
  std::array<std::uint8_t, kMaxKeyFields> all{};
  all.fill(1);
  EXPECT_EQ(all, d.field_descending);
  const TIndexDescriptor plain = indexes.Add("P", "Born", 0).ToDescriptor(fields);
  EXPECT_EQ(0, plain.descending);
  EXPECT_EQ((std::array<std::uint8_t, kMaxKeyFields>{}), plain.field_descending);
  TRestructureIndexDef& bad = indexes.Add("Bad", "Name;Missing", 0);
  EXPECT_EQ("Das Feld 'Missing' wurde nicht gefunden", ErrorText([&] { (void)bad.ToDescriptor(fields); }));
  // Moving a definition keeps the others in order.
  indexes.Move(2, 0);
  EXPECT_EQ("Bad", indexes[0].Name);
  EXPECT_EQ("P", indexes[2].Name);
}

}  // namespace
}  // namespace tarvo

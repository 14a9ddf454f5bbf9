// The mapping between field values and SQL values: every type as it comes out, what goes back in
// unchanged, and what is refused rather than stored differently.
#include "sql/sql_values.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/format/field_messages.h"
#include "engine/format/field_types.h"
#include "engine/format/record_layout.h"
#include "tests/testing/field_builder.h"

namespace tarvo::sql {
namespace {

using testing::Field;

constexpr TLanguageId kGerman = 0x0407;

struct TCase {
  TFieldDescriptor field;
  TSqlValue in;   // given to the field
  TSqlValue out;  // read back
};

std::vector<std::byte> RecordFor(std::vector<TFieldDescriptor>& fields) {
  const std::int32_t size = DeriveRecordLayout(fields, false);
  EXPECT_GT(size, 0);
  return std::vector<std::byte>(static_cast<std::size_t>(size));
}

TSqlValue RoundTrip(const TFieldDescriptor& field, const TSqlValue& in, TLanguageId language = kGerman) {
  std::vector<TFieldDescriptor> fields = {field};
  fields[0].FieldNumber = 1;
  std::vector<std::byte> record = RecordFor(fields);
  PutRecordFieldValue(record, fields[0], language, 0, in);
  return RecordFieldValue(record, fields[0], language);
}

TEST(SqlValuesTest, ValuesComeBackInTheirSqlForm) {
  const TSqlBytes raw = {std::byte{1}, std::byte{0}, std::byte{0xFF}};
  const std::vector<TCase> cases = {
      {Field("T", kTypeText, 10), std::string("Müller"), std::string("Müller")},
      {Field("T", kTypeText, 10), std::string("abc  "), std::string("abc")},
      {Field("T", kTypeText, 10), std::string(""), {}},
      {Field("T", kTypeText, 10), std::int64_t{42}, std::string("42")},
      {Field("D", kTypeDate), std::string("2024-02-29"), std::string("2024-02-29")},
      {Field("Z", kTypeTime), std::string("23:59:59.5"), std::string("23:59:59.500")},
      {Field("S", kTypeDateTime), std::string("2024-02-29 08:15:00.250"),
       std::string("2024-02-29 08:15:00.250")},
      {Field("S", kTypeDateTime), std::string("2024-02-29T08:15"), std::string("2024-02-29 08:15:00.000")},
      {Field("B", kTypeBoolean), std::int64_t{1}, std::int64_t{1}},
      {Field("I", kTypeInt16), std::string("-32768"), std::int64_t{-32768}},
      {Field("I", kTypeUInt32), std::int64_t{4294967295}, std::int64_t{4294967295}},
      {Field("I", kTypeInt32), 7.0, std::int64_t{7}},
      {Field("F", kTypeFloat), 0.1, 0.1},
      {Field("F", kTypeFloat, 0, kSubTypeMoney), std::int64_t{3}, 3.0},
      {Field("X", kTypeExtended), -2.5, -2.5},
      // Fixed point: whole values INTEGER, up to 15 digits REAL, beyond that exact TEXT.
      {Field("N", kTypeFixed, 0, 0, 2), std::int64_t{12}, std::int64_t{12}},
      {Field("N", kTypeFixed, 0, 0, 2), 0.1, 0.1},
      {Field("N", kTypeFixed, 0, 0, 4), std::string("-12.3456"), -12.3456},
      {Field("N", kTypeFixed, 0, 0, 4), std::string("123456789012.3456"), std::string("123456789012.3456")},
      {Field("N", kTypeFixed, 0, 0, 4), std::string("-922337203685477.5807"),
       std::string("-922337203685477.5807")},
      {Field("R", kTypeBytes, 4), raw, TSqlBytes{std::byte{1}, std::byte{0}, std::byte{0xFF}, std::byte{0}}},
      {Field("A", kTypeInt32, 0, kSubTypeAutoInc), std::int64_t{2147483647}, std::int64_t{2147483647}},
      {Field("I", kTypeInt32), {}, {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(SqlTypeName(c.field)) + " field type " + std::to_string(c.field.FieldType));
    EXPECT_EQ(RoundTrip(c.field, c.in), c.out);
  }
}

TEST(SqlValuesTest, RefusesWhatTheFieldWouldNotKeep) {
  struct TRefusal {
    TFieldDescriptor field;
    TSqlValue in;
    std::string reason;
  };
  const std::vector<TRefusal> cases = {
      {Field("T", kTypeText, 10), std::string("\xE4\xB8\xAD"), "a character is not in the table's code page"},
      {Field("T", kTypeText, 3), std::string("abcd"), "the text is longer than the field's 3 characters"},
      {Field("T", kTypeText, 5), std::string("a\0b", 3), "a text cannot hold the character 0"},
      {Field("T", kTypeText, 5), TSqlBytes(1), "a text is expected"},
      {Field("I", kTypeInt16), std::int64_t{32768}, "the value is out of range"},
      {Field("I", kTypeUInt16), std::int64_t{-1}, "the value is out of range"},
      {Field("I", kTypeUInt32), 4294967296.0, "the value is out of range"},
      {Field("I", kTypeInt32), 1.5, "a whole number is expected"},
      {Field("I", kTypeInt32), std::string("12a"), "an integer is expected"},
      {Field("B", kTypeBoolean), std::int64_t{2}, "the value is out of range"},
      {Field("F", kTypeFloat), std::int64_t{9007199254740993}, "the integer has no floating-point value of its own"},
      {Field("F", kTypeFloat), std::string("x"), "a number is expected"},
      {Field("N", kTypeFixed, 0, 0, 2), 0.125, "more decimal places than the field's 2"},
      {Field("N", kTypeFixed, 0, 0, 2), std::string("1.001"), "more decimal places than the field's 2"},
      {Field("N", kTypeFixed, 0, 0, 2), std::string("1,5"), "a decimal number is expected"},
      {Field("N", kTypeFixed, 0, 0, 4), std::int64_t{1'000'000'000'000'000}, "the value is out of range"},
      {Field("D", kTypeDate), std::string("2023-02-29"), "a date YYYY-MM-DD is expected"},
      {Field("D", kTypeDate), std::int64_t{20240101}, "a date YYYY-MM-DD is expected"},
      {Field("Z", kTypeTime), std::string("24:00"), "a time HH:MM:SS.mmm is expected"},
      {Field("S", kTypeDateTime), std::string("2024-02-30 10:00"), "a date-time YYYY-MM-DD HH:MM:SS.mmm is expected"},
      {Field("R", kTypeBytes, 2), TSqlBytes(3), "more bytes than the field holds"},
      {Field("A", kTypeInt32, 0, kSubTypeAutoInc), std::int64_t{0}, "an auto-increment value is 1 to 2147483647"},
  };
  for (const TRefusal& c : cases) {
    SCOPED_TRACE(std::string(SqlTypeName(c.field)) + " field type " + std::to_string(c.field.FieldType));
    try {
      RoundTrip(c.field, c.in);
      ADD_FAILURE() << "not refused";
    } catch (const EFieldValueError& e) {
      EXPECT_EQ(e.Reason(), c.reason);
    }
  }
}

TEST(SqlValuesTest, DeclaredTypes) {
  EXPECT_STREQ(SqlTypeName(Field("M", kTypeBlob, 0, kSubTypeMemo)), "TEXT");
  EXPECT_STREQ(SqlTypeName(Field("G", kTypeBlob, 0, kSubTypeGraphic)), "BLOB");
  EXPECT_STREQ(SqlTypeName(Field("D", kTypeDate)), "TEXT");
  EXPECT_STREQ(SqlTypeName(Field("B", kTypeBoolean)), "INTEGER");
  EXPECT_STREQ(SqlTypeName(Field("N", kTypeFixed, 0, 0, 2)), "NUMERIC");
  EXPECT_STREQ(SqlTypeName(Field("F", kTypeFloat, 0, kSubTypeMoney)), "REAL");
}

}  // namespace
}  // namespace tarvo::sql

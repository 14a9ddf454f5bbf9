#include "engine/format/value_text.h"

#include <gtest/gtest.h>

#include <vector>

#include "engine/format/calendar.h"
#include "engine/format/field_values.h"
#include "tests/engine/format/format_builders.h"

namespace tarvo {
namespace {

TEST(ValueTextTest, DatesTimesAndDateTimes) {
  EXPECT_EQ(ParseDateText("1931-10-01"), 705'191);
  EXPECT_EQ(ParseDateText(" 0001-01-01 "), 1);
  for (const char* bad :
       {"1931-10-1", "1931-13-01", "2023-02-29", "0000-01-01", "31.10.1931", "1931-10-01x"}) {
    EXPECT_EQ(ParseDateText(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(ParseTimeText("05:50"), (5 * 60 + 50) * 60'000);
  EXPECT_EQ(ParseTimeText("05:50:43"), ((5 * 60 + 50) * 60 + 43) * 1000);
  EXPECT_EQ(ParseTimeText("05:50:43.355"), ((5 * 60 + 50) * 60 + 43) * 1000 + 355);
  EXPECT_EQ(ParseTimeText("00:00:00.5"), 500);
  for (const char* bad : {"24:00", "12:60", "12:00:60", "1:00", "12:00:00.", "12:00:00.1234", "12"}) {
    EXPECT_EQ(ParseTimeText(bad), std::nullopt) << bad;
  }
  const double stamp = DateTimeValue(DayNumber({2052, 1, 22}), ((16 * 60 + 54) * 60 + 3) * 1000 + 542);
  EXPECT_EQ(ParseDateTimeText("2052-01-22T16:54:03.542"), stamp);
  EXPECT_EQ(ParseDateTimeText("2052-01-22 16:54:03.542"), stamp);
  EXPECT_EQ(ParseDateTimeText("2052-01-22"), std::nullopt);
  EXPECT_EQ(ParseDateTimeText("2052-01-22X16:54"), std::nullopt);

  EXPECT_EQ(FormatDateText(705'191), "1931-10-01");
  EXPECT_EQ(FormatDateText(0), "");
  EXPECT_EQ(FormatTimeText(500), "00:00:00.500");
  EXPECT_EQ(FormatTimeText(86'400'000), "");
  EXPECT_EQ(FormatDateTimeText(stamp), "2052-01-22T16:54:03.542");
  EXPECT_EQ(FormatDateTimeText(0.0), "");
}

TEST(ValueTextTest, BooleansIntegersFloatsAndFixedPoint) {
  EXPECT_EQ(ParseBooleanText("TRUE"), true);
  EXPECT_EQ(ParseBooleanText("fAlSe"), false);
  EXPECT_EQ(ParseBooleanText("1"), std::nullopt);
  EXPECT_EQ(ParseBooleanText("TRUEE"), std::nullopt);

  EXPECT_EQ(ParseIntegerText("-32768", INT16_MIN, INT16_MAX), -32768);
  EXPECT_EQ(ParseIntegerText("32768", INT16_MIN, INT16_MAX), std::nullopt);
  EXPECT_EQ(ParseIntegerText("+7", 0, 10), 7);
  EXPECT_EQ(ParseIntegerText("-9223372036854775808", INT64_MIN, INT64_MAX), INT64_MIN);
  EXPECT_EQ(ParseIntegerText("9223372036854775808", INT64_MIN, INT64_MAX), std::nullopt);
  EXPECT_EQ(ParseIntegerText("99999999999999999999999", INT64_MIN, INT64_MAX), std::nullopt);
  for (const char* bad : {"", "-", "1.0", "1e3", "0x10", "1 2"}) {
    EXPECT_EQ(ParseIntegerText(bad, INT64_MIN, INT64_MAX), std::nullopt) << bad;
  }

  EXPECT_EQ(ParseFloatText("-17"), -17.0);
  EXPECT_EQ(ParseFloatText("1.5e3"), 1500.0);
  EXPECT_EQ(ParseFloatText(".25"), 0.25);
  EXPECT_EQ(ParseFloatText("+2.E-1"), 0.2);
  for (const char* bad : {"", ".", "e5", "1e", "1,5", "inf", "nan", "1e999", "--1"}) {
    EXPECT_EQ(ParseFloatText(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(FormatFloatText(17.929194521569936), "17.929194521569936");

  EXPECT_EQ(ParseFixedText("6321259771.65"), 63'212'597'716'500);
  EXPECT_EQ(ParseFixedText("-0.5"), -5'000);
  EXPECT_EQ(ParseFixedText("12"), 120'000);
  EXPECT_EQ(ParseFixedText("922337203685477.5807"), INT64_MAX);
  EXPECT_EQ(ParseFixedText("922337203685477.5808"), std::nullopt);
  for (const char* bad : {"1.23456", "1.", ".5", "5 .5", "1e2", "-"}) {
    EXPECT_EQ(ParseFixedText(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(FormatFixedText(63'212'597'716'500, 2), "6321259771.65");
  EXPECT_EQ(FormatFixedText(-5'000, 2), "-0.50");
  EXPECT_EQ(FormatFixedText(-4'999, 0), "0");
  EXPECT_EQ(FormatFixedText(15'000, 0), "2");
  EXPECT_EQ(FormatFixedText(INT64_MIN, 4), "-922337203685477.5808");
}

TEST(ValueTextTest, ValidityByFieldType) {
  EXPECT_TRUE(IsValidValueText(kTypeText, 0, 10, 0, "anything at all, longer than ten"));
  for (TTypeCode type = 0; type < 30; ++type) EXPECT_TRUE(IsValidValueText(type, 0, 0, 0, "")) << int{type};
  for (const TTypeCode type : {kTypeBlob, kTypeBytes, kTypeVarBytes, TTypeCode{0}, TTypeCode{18}}) {
    EXPECT_FALSE(IsValidValueText(type, 0, 8, 0, "00")) << int{type};
  }
  EXPECT_TRUE(IsValidValueText(kTypeUInt16, 0, 0, 0, "65535"));
  EXPECT_FALSE(IsValidValueText(kTypeUInt16, 0, 0, 0, "-1"));
  EXPECT_TRUE(IsValidValueText(kTypeUInt32, 0, 0, 0, "4294967295"));
  EXPECT_FALSE(IsValidValueText(kTypeInt32, 0, 0, 0, "4294967295"));
  EXPECT_TRUE(IsValidValueText(kTypeInt32, kSubTypeAutoInc, 0, 0, "1"));
  EXPECT_TRUE(IsValidValueText(kTypeExtended, 0, 0, 0, "1e10"));
  EXPECT_TRUE(IsValidValueText(kTypeBoolean, 0, 0, 0, "true"));
  EXPECT_FALSE(IsValidValueText(kTypeDate, 0, 0, 0, "2023-02-29"));
  EXPECT_TRUE(IsValidValueText(kTypeFixed, 0, 0, 2, "1.25"));
}

TEST(ValueTextTest, ComparesRecordValuesWithLimitTexts) {
  std::vector<TFieldDescriptor> fields = {testing::Field("ID", kTypeInt32, 0, kSubTypeAutoInc),
                                          testing::Field("Name", kTypeText, 10),
                                          testing::Field("Born", kTypeDate),
                                          testing::Field("Price", kTypeFixed, 0, 0, 2),
                                          testing::Field("Amount", kTypeFloat),
                                          testing::Field("Raw", kTypeBytes, 2)};
  const TDataHeader h = testing::LayOut(fields);
  std::vector<std::byte> record(h.RecordSize);
  SetRecordAutoIncrement(record, 7);
  PutText(FieldSlot(record, fields[1]), "Meier", kCaseUnchanged, 0, 0);
  PutDate(FieldSlot(record, fields[2]), DayNumber({1966, 10, 26}));
  PutFixed(FieldSlot(record, fields[3]), 12'500);
  SetNull(FieldSlot(record, fields[4]));
  PutBytes(FieldSlot(record, fields[5]), std::vector<std::byte>(2));

  EXPECT_EQ(CompareFieldWithText(fields[0], record, "7", 0, 0), 0);
  EXPECT_EQ(CompareFieldWithText(fields[0], record, "10", 0, 0), -1);
  EXPECT_EQ(CompareFieldWithText(fields[1], record, "Mai", 0, 0), 1);
  EXPECT_EQ(CompareFieldWithText(fields[1], record, "Meier", 0, 0), 0);
  EXPECT_EQ(CompareFieldWithText(fields[2], record, "1966-10-27", 0, 0), -1);
  EXPECT_EQ(CompareFieldWithText(fields[3], record, "1.25", 0, 0), 0);
  EXPECT_EQ(CompareFieldWithText(fields[3], record, "1.2", 0, 0), 1);
  EXPECT_EQ(CompareFieldWithText(fields[4], record, "0", 0, 0), std::nullopt);  // null field
  EXPECT_EQ(CompareFieldWithText(fields[2], record, "", 0, 0), std::nullopt);   // no limit
  EXPECT_EQ(CompareFieldWithText(fields[2], record, "x", 0, 0), std::nullopt);  // not a date
  EXPECT_EQ(CompareFieldWithText(fields[5], record, "", 0, 0), std::nullopt);   // bytes: no order
}

}  // namespace
}  // namespace tarvo

// The conversion of one field value into another field type during a restructure: the value
// that lands in the new slot and whether it came over completely.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/format/record_layout.h"
#include "engine/format/value_text.h"
#include "engine/maintenance/restructure.h"
#include "tests/testing/field_builder.h"

namespace tarvo {
namespace {

struct TSlot {
  TFieldDescriptor field;
  std::vector<std::byte> bytes;
};

TSlot Slot(TTypeCode type, std::uint8_t size = 0, std::uint8_t decimals = 0, std::uint8_t case_mapping = 0) {
  TSlot s{testing::Field("", type, size, 0, decimals), {}};
  s.field.CaseMapping = case_mapping;
  RecomputeDataSizes(std::span(&s.field, 1));
  s.bytes.assign(s.field.DataSize + 1u, std::byte{0});
  return s;
}

struct TConverted {
  bool complete;
  TSlot to;
};

// Converts `from` into a fresh (null) slot of `to`.
TConverted Convert(const TSlot& from, TSlot to) {
  const bool complete = ConvertFieldValue(from.field, from.bytes, to.field, to.bytes, 0, 0);
  return {complete, std::move(to)};
}

TSlot Text(const std::string& value, std::uint8_t size = 20) {
  TSlot s = Slot(kTypeText, size);
  PutText(s.bytes, value, 0, 0, 0);
  return s;
}
TSlot Int16(std::int16_t v) {
  TSlot s = Slot(kTypeInt16);
  PutInt16(s.bytes, v);
  return s;
}
TSlot Int32(std::int32_t v) {
  TSlot s = Slot(kTypeInt32);
  PutInt32(s.bytes, v);
  return s;
}
TSlot Word(std::uint16_t v) {
  TSlot s = Slot(kTypeUInt16);
  PutUInt16(s.bytes, v);
  return s;
}
TSlot Float(double v) {
  TSlot s = Slot(kTypeFloat);
  PutFloat(s.bytes, v);
  return s;
}
TSlot Fixed(std::int64_t scaled, std::uint8_t decimals = 4) {
  TSlot s = Slot(kTypeFixed, 0, decimals);
  PutFixed(s.bytes, scaled);
  return s;
}
TSlot Boolean(bool v) {
  TSlot s = Slot(kTypeBoolean);
  PutBoolean(s.bytes, v ? 1 : 0);
  return s;
}
TSlot Date(const char* text) {
  TSlot s = Slot(kTypeDate);
  PutDate(s.bytes, *ParseDateText(text));
  return s;
}
TSlot Time(const char* text) {
  TSlot s = Slot(kTypeTime);
  PutTime(s.bytes, *ParseTimeText(text));
  return s;
}
TSlot DateTime(double ms) {
  TSlot s = Slot(kTypeDateTime);
  PutDateTime(s.bytes, ms);
  return s;
}
TSlot Bytes(TTypeCode type, std::uint8_t size, const std::vector<std::uint8_t>& values) {
  TSlot s = Slot(type, size);
  std::vector<std::byte> raw;
  for (const auto v : values) raw.push_back(static_cast<std::byte>(v));
  PutBytes(s.bytes, raw);
  return s;
}
std::vector<std::uint8_t> Data(const TSlot& s) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 1; i < s.bytes.size(); ++i) out.push_back(static_cast<std::uint8_t>(s.bytes[i]));
  return out;
}

// Text into numbers and numbers into text; a text that does not parse, or does not fit the
// target, gives zero and reports the loss.
TEST(FieldConversionTest, TextAndNumbers) {
  struct TCase {
    const char* text;
    TTypeCode type;
    std::uint8_t decimals;
    bool complete;
    double value;  // read back by type
  };
  const TCase cases[] = {
      {"123", kTypeInt16, 0, true, 123},        {" -7 ", kTypeInt32, 0, true, -7},
      {"12a", kTypeInt32, 0, false, 0},         {"70000", kTypeInt16, 0, false, 0},
      {"-1", kTypeUInt16, 0, false, 0},         {"65535", kTypeUInt16, 0, true, 65535},
      {"2.5e3", kTypeFloat, 0, true, 2500},     {"x1", kTypeFloat, 0, false, 0},
      {"12.345", kTypeFixed, 2, true, 123500},  {"-12.345", kTypeFixed, 2, true, -123500},
      {"12.3449", kTypeFixed, 4, true, 123449}, {"abc", kTypeFixed, 2, false, 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.text);
    const auto [complete, to] = Convert(Text(c.text), Slot(c.type, 0, c.decimals));
    EXPECT_EQ(complete, c.complete);
    ASSERT_FALSE(IsNull(to.bytes));  // a failed text conversion still stores zero
    double got = -1;
    switch (c.type) {
      case kTypeInt16: got = *GetInt16(to.bytes); break;
      case kTypeInt32: got = *GetInt32(to.bytes); break;
      case kTypeUInt16: got = *GetUInt16(to.bytes); break;
      case kTypeFloat: got = *GetFloat(to.bytes); break;
      case kTypeFixed: got = static_cast<double>(*GetFixed(to.bytes)); break;
    }
    EXPECT_EQ(got, c.value);
  }
  // Booleans: TRUE or FALSE in any case, anything else is a loss stored as false.
  EXPECT_EQ(*GetBoolean(Convert(Text("true"), Slot(kTypeBoolean)).to.bytes), true);
  EXPECT_EQ(*GetBoolean(Convert(Text("FaLsE"), Slot(kTypeBoolean)).to.bytes), false);
  const auto yes = Convert(Text("yes"), Slot(kTypeBoolean));
  EXPECT_FALSE(yes.complete);
  EXPECT_EQ(GetBoolean(yes.to.bytes), false);
  // Types without a rule for text: a loss, the target stays null.
  for (const TTypeCode type : {kTypeUInt32, kTypeExtended}) {
    const auto r = Convert(Text("5"), Slot(type));
    EXPECT_FALSE(r.complete);
    EXPECT_TRUE(IsNull(r.to.bytes));
  }

  // Back into text.
  const auto text = [](const TSlot& from, std::uint8_t size = 20) {
    const auto r = Convert(from, Slot(kTypeText, size));
    EXPECT_TRUE(r.complete);
    return GetText(r.to.bytes).value_or("<null>");
  };
  EXPECT_EQ(text(Int16(-42)), "-42");
  EXPECT_EQ(text(Int32(-2147483647 - 1)), "-2147483648");
  EXPECT_EQ(text(Word(65535)), "65535");
  EXPECT_EQ(text(Float(2.5)), "2.5");
  EXPECT_EQ(text(Fixed(1234567, 2)), "123.46");
  EXPECT_EQ(text(Boolean(true)), "True");
  EXPECT_EQ(text(Boolean(false)), "False");
  // Text into text: cut to the new size and mapped by the new field's case.
  EXPECT_EQ(text(Text("Hello world"), 5), "Hello");
  const auto upper = Convert(Text("Hello"), Slot(kTypeText, 20, 0, kCaseUpper));
  EXPECT_EQ(GetText(upper.to.bytes), "HELLO");
}

TEST(FieldConversionTest, TextAndDatesAndTimes) {
  const auto date = Convert(Text("2024-02-29"), Slot(kTypeDate));
  EXPECT_TRUE(date.complete);
  EXPECT_EQ(GetDate(date.to.bytes), ParseDateText("2024-02-29"));
  const auto time = Convert(Text("12:34:56.789"), Slot(kTypeTime));
  EXPECT_TRUE(time.complete);
  EXPECT_EQ(GetTime(time.to.bytes), ((12 * 60 + 34) * 60 + 56) * 1000 + 789);
  const auto stamp = Convert(Text("2024-02-29T06:00"), Slot(kTypeDateTime));
  EXPECT_TRUE(stamp.complete);
  EXPECT_EQ(GetDateTime(stamp.to.bytes), *ParseDateText("2024-02-29") * 86'400'000.0 + 6 * 3'600'000.0);
  // Texts that are no date, time or time stamp: a loss, the target holds zero.
  for (const TTypeCode type : {kTypeDate, kTypeTime, kTypeDateTime}) {
    for (const char* bad : {"2023-02-29", "25:00", "someday"}) {
      SCOPED_TRACE(bad);
      const auto r = Convert(Text(bad), Slot(type));
      EXPECT_FALSE(r.complete);
      ASSERT_FALSE(IsNull(r.to.bytes));
      EXPECT_EQ(Data(r.to), std::vector<std::uint8_t>(r.to.bytes.size() - 1, 0));
    }
  }
  // And back.
  EXPECT_EQ(GetText(Convert(Date("2024-02-29"), Slot(kTypeText, 20)).to.bytes), "2024-02-29");
  EXPECT_EQ(GetText(Convert(Time("07:05:03.020"), Slot(kTypeText, 20)).to.bytes), "07:05:03.020");
  EXPECT_EQ(
      GetText(Convert(DateTime(*ParseDateTimeText("2024-02-29T23:59:59.999")), Slot(kTypeText, 30)).to.bytes),
      "2024-02-29T23:59:59.999");
}

// Between numeric types: same value where it fits, truncation toward zero from float and
// decimal, rounding half away from zero to the new field's decimals, and a loss (zero) where the
// value does not fit the target's range instead of its low bits.
TEST(FieldConversionTest, NumbersToNumbers) {
  struct TCase {
    const char* name;
    TSlot from;
    TTypeCode to;
    std::uint8_t decimals;
    bool complete;
    double value;
  };
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  const TCase cases[] = {
      {"int16 to int32", Int16(-5), kTypeInt32, 0, true, -5},
      {"int16 to float", Int16(-5), kTypeFloat, 0, true, -5},
      {"int16 to fixed", Int16(-5), kTypeFixed, 2, true, -50000},
      {"int16 to word", Int16(1234), kTypeUInt16, 0, true, 1234},
      {"negative int16 to word", Int16(-1), kTypeUInt16, 0, false, 0},
      {"int32 to int16", Int32(-32768), kTypeInt16, 0, true, -32768},
      {"int32 beyond int16", Int32(70000), kTypeInt16, 0, false, 0},
      {"int32 beyond word", Int32(65536), kTypeUInt16, 0, false, 0},
      {"int32 to fixed", Int32(2147483647), kTypeFixed, 0, true, 21474836470000.0},
      {"word to int16", Word(40000), kTypeInt16, 0, false, 0},
      {"word to int32", Word(40000), kTypeInt32, 0, true, 40000},
      {"word to float", Word(65535), kTypeFloat, 0, true, 65535},
      {"word to uint32", Word(65535), kTypeUInt32, 0, true, 65535},
      {"negative int32 to uint32", Int32(-1), kTypeUInt32, 0, false, 0},
      {"float truncated", Float(3.99), kTypeInt16, 0, true, 3},
      {"negative float truncated", Float(-3.99), kTypeInt32, 0, true, -3},
      {"float beyond int16", Float(1e6), kTypeInt16, 0, false, 0},
      {"float beyond int32", Float(3e9), kTypeInt32, 0, false, 0},
      {"float not a number", Float(kNaN), kTypeInt32, 0, false, 0},
      {"float infinite", Float(-HUGE_VAL), kTypeUInt16, 0, false, 0},
      {"float rounded up", Float(1.235), kTypeFixed, 2, true, 12400},
      {"negative float rounded", Float(-1.235), kTypeFixed, 2, true, -12400},
      {"float rounded down", Float(1.2349), kTypeFixed, 2, true, 12300},
      {"float all decimals", Float(1.23456), kTypeFixed, 4, true, 12346},
      {"float beyond fixed", Float(1e300), kTypeFixed, 2, false, 0},
      {"fixed truncated", Fixed(123456), kTypeInt16, 0, true, 12},
      {"negative fixed truncated", Fixed(-123456), kTypeInt32, 0, true, -12},
      {"fixed beyond int32", Fixed(30'000'000'000'000), kTypeInt32, 0, false, 0},
      {"fixed to float", Fixed(123456), kTypeFloat, 0, true, 12.3456},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    const auto r = Convert(c.from, Slot(c.to, 0, c.decimals));
    EXPECT_EQ(r.complete, c.complete);
    ASSERT_FALSE(IsNull(r.to.bytes));
    double got = -1;
    switch (c.to) {
      case kTypeInt16: got = *GetInt16(r.to.bytes); break;
      case kTypeInt32: got = *GetInt32(r.to.bytes); break;
      case kTypeUInt16: got = *GetUInt16(r.to.bytes); break;
      case kTypeUInt32: got = *GetUInt32(r.to.bytes); break;
      case kTypeFloat: got = *GetFloat(r.to.bytes); break;
      case kTypeFixed: got = static_cast<double>(*GetFixed(r.to.bytes)); break;
    }
    EXPECT_EQ(got, c.value);
  }
  // Same type: unchanged, also a decimal whose field now has fewer decimals.
  const auto same = Convert(Fixed(123456, 4), Slot(kTypeFixed, 0, 2));
  EXPECT_TRUE(same.complete);
  EXPECT_EQ(GetFixed(same.to.bytes), 123456);
  // Types without rules are copied as they are.
  TSlot big = Slot(kTypeUInt32);
  PutUInt32(big.bytes, 0x80000001u);
  const auto raw = Convert(big, Slot(kTypeInt32));
  EXPECT_TRUE(raw.complete);
  EXPECT_EQ(Data(raw.to), Data(big));
}

TEST(FieldConversionTest, Booleans) {
  // Into a boolean: 0 stays false, every other integer becomes true; from int32 no rule.
  for (const auto& [from, value] :
       {std::pair{Int16(0), false}, {Int16(5), true}, {Int16(-1), true}, {Word(0), false}, {Word(7), true}}) {
    const auto r = Convert(from, Slot(kTypeBoolean));
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(GetBoolean(r.to.bytes), value);
    EXPECT_EQ(Data(r.to)[0], value ? 1 : 0);
  }
  for (const TSlot& from : {Int32(1), Float(1), Fixed(10000), Date("2024-01-01")}) {
    const auto r = Convert(from, Slot(kTypeBoolean));
    EXPECT_FALSE(r.complete);
    EXPECT_TRUE(IsNull(r.to.bytes));
  }
  // Out of a boolean: 1 or 0, into a decimal as the stored integer (not times 10,000).
  EXPECT_EQ(GetInt16(Convert(Boolean(true), Slot(kTypeInt16)).to.bytes), 1);
  EXPECT_EQ(GetUInt16(Convert(Boolean(false), Slot(kTypeUInt16)).to.bytes), 0);
  EXPECT_EQ(GetInt32(Convert(Boolean(true), Slot(kTypeInt32)).to.bytes), 1);
  EXPECT_EQ(GetFixed(Convert(Boolean(true), Slot(kTypeFixed, 0, 2)).to.bytes), 1);
  const auto to_float = Convert(Boolean(true), Slot(kTypeFloat));
  EXPECT_FALSE(to_float.complete);
  EXPECT_TRUE(IsNull(to_float.to.bytes));
}

// Byte fields take and give raw bytes: the smaller of both sizes, the rest zero; never a blob.
TEST(FieldConversionTest, BytesAreCopiedRaw) {
  const auto shorter = Convert(Bytes(kTypeBytes, 4, {1, 2, 3, 4}), Slot(kTypeBytes, 2));
  EXPECT_TRUE(shorter.complete);
  EXPECT_EQ(Data(shorter.to), (std::vector<std::uint8_t>{1, 2}));
  const auto longer = Convert(Bytes(kTypeBytes, 2, {9, 8}), Slot(kTypeVarBytes, 4));
  EXPECT_TRUE(longer.complete);
  EXPECT_EQ(Data(longer.to), (std::vector<std::uint8_t>{9, 8, 0, 0}));
  const auto from_int = Convert(Int32(0x04030201), Slot(kTypeBytes, 6));
  EXPECT_EQ(Data(from_int.to), (std::vector<std::uint8_t>{1, 2, 3, 4, 0, 0}));
  const auto to_int = Convert(Bytes(kTypeVarBytes, 8, {1, 2, 3, 4, 5}), Slot(kTypeInt32));
  EXPECT_TRUE(to_int.complete);
  EXPECT_EQ(GetInt32(to_int.to.bytes), 0x04030201);
  const auto date = Date("2024-02-29");
  EXPECT_EQ(Data(Convert(date, Slot(kTypeBytes, 4)).to), Data(date));
  // Text into bytes: its characters.
  EXPECT_EQ(Data(Convert(Text("AB"), Slot(kTypeBytes, 3)).to), (std::vector<std::uint8_t>{'A', 'B', 0}));
  EXPECT_EQ(Data(Convert(Text("ABCD"), Slot(kTypeBytes, 3)).to), (std::vector<std::uint8_t>{'A', 'B', 'C'}));
  // Bytes into text: the characters, cut so that the text keeps its terminating zero.
  const auto text = Convert(Bytes(kTypeBytes, 6, {'a', 'b', 'c', 'd', 'e', 'f'}), Slot(kTypeText, 4));
  EXPECT_TRUE(text.complete);
  EXPECT_EQ(GetText(text.to.bytes), "abcd");
  EXPECT_EQ(Data(text.to).back(), 0);
  const auto empty = Convert(Bytes(kTypeBytes, 3, {0, 'x', 0}), Slot(kTypeText, 4));
  EXPECT_TRUE(IsNull(empty.to.bytes));
  // A blob never takes part.
  TSlot blob = Slot(kTypeBlob, 8);
  PutBlobRef(blob.bytes, {512, 1});
  EXPECT_FALSE(Convert(Bytes(kTypeBytes, 4, {1}), blob).complete);
  const auto from_blob = Convert(blob, Slot(kTypeBytes, 9));
  EXPECT_FALSE(from_blob.complete);
  EXPECT_TRUE(IsNull(from_blob.to.bytes));
}

// Dates, times and time stamps: a date is midnight of the same day, a time lies on the day of
// time stamp 0 (1899-12-30), a time stamp splits into its date and its time of day.
TEST(FieldConversionTest, DatesTimesAndTimeStamps) {
  constexpr double kDay = 86'400'000.0;
  const std::int32_t leap = *ParseDateText("2024-02-29");
  const auto midnight = Convert(Date("2024-02-29"), Slot(kTypeDateTime));
  EXPECT_TRUE(midnight.complete);
  EXPECT_EQ(GetDateTime(midnight.to.bytes), ParseDateTimeText("2024-02-29T00:00"));
  const auto on_day_zero = Convert(Time("13:30"), Slot(kTypeDateTime));
  EXPECT_TRUE(on_day_zero.complete);
  EXPECT_EQ(GetDateTime(on_day_zero.to.bytes), ParseDateTimeText("1899-12-30T13:30"));
  const TSlot stamp = DateTime(leap * kDay + 13.5 * 3'600'000);
  const auto day = Convert(stamp, Slot(kTypeDate));
  EXPECT_TRUE(day.complete);
  EXPECT_EQ(GetDate(day.to.bytes), leap);
  const auto time = Convert(stamp, Slot(kTypeTime));
  EXPECT_TRUE(time.complete);
  EXPECT_EQ(GetTime(time.to.bytes), 13 * 3'600'000 + 1'800'000);
  // Damaged time stamps no day number can hold: a loss, zero.
  for (const double bad : {1e300, -1e300, std::numeric_limits<double>::quiet_NaN()}) {
    for (const TTypeCode type : {kTypeDate, kTypeTime}) {
      const auto r = Convert(DateTime(bad), Slot(type));
      EXPECT_FALSE(r.complete);
      EXPECT_EQ(GetInt32(r.to.bytes), 0);
    }
  }
  // No rule between dates and times, nor from them into numbers.
  for (const auto& [from, to] : {std::pair{Date("2024-01-01"), kTypeTime},
                                 {Time("01:00"), kTypeDate},
                                 {Date("2024-01-01"), kTypeInt32},
                                 {DateTime(kDay), kTypeFloat}}) {
    const auto r = Convert(from, Slot(to));
    EXPECT_FALSE(r.complete);
    EXPECT_TRUE(IsNull(r.to.bytes));
  }
}

// A null value leaves the new slot as the new record has it, for every pair, without a loss.
TEST(FieldConversionTest, NullsLeaveTheTargetAsItIs) {
  for (const TTypeCode from :
       {kTypeText, kTypeDate, kTypeBoolean, kTypeInt16, kTypeInt32, kTypeFloat, kTypeFixed, kTypeBytes,
        kTypeTime, kTypeDateTime, kTypeUInt16, kTypeVarBytes}) {
    for (const TTypeCode to : {kTypeText, kTypeInt32, kTypeBytes, kTypeDate}) {
      TSlot target = Slot(to, to == kTypeText || to == kTypeBytes ? 4 : 0);
      target.bytes[0] = std::byte{1};
      target.bytes[1] = std::byte{'7'};
      const std::vector<std::byte> before = target.bytes;
      const auto r = Convert(
          Slot(from, from == kTypeText || from == kTypeBytes || from == kTypeVarBytes ? 4 : 0), target);
      EXPECT_TRUE(r.complete) << int{from} << " to " << int{to};
      EXPECT_EQ(r.to.bytes, before) << int{from} << " to " << int{to};
    }
  }
}

}  // namespace
}  // namespace tarvo

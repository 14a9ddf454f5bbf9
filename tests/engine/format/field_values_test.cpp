#include "engine/format/field_values.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine/format/calendar.h"
#include "engine/format/field_types.h"

namespace tarvo {
namespace {

std::vector<std::byte> Slot(std::size_t data_size, std::byte fill = std::byte{0x5A}) {
  return std::vector<std::byte>(data_size + 1, fill);
}

std::vector<std::byte> Bytes(std::initializer_list<int> values) {
  std::vector<std::byte> out;
  for (const int v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

TEST(FieldValuesTest, TextIsStoredWithoutTrailingBlanksAndZeroFilled) {
  auto slot = Slot(DataSizeOf(kTypeText, 5));
  PutText(slot, "ab  ", kCaseUnchanged, 0, 0);
  EXPECT_EQ(slot, Bytes({1, 'a', 'b', 0, 0, 0, 0}));
  EXPECT_EQ(GetText(slot), "ab");

  PutText(slot, "abcdefgh", kCaseUnchanged, 0, 0);  // cut to the field size
  EXPECT_EQ(slot, Bytes({1, 'a', 'b', 'c', 'd', 'e', 0}));
  EXPECT_EQ(GetText(slot), "abcde");

  PutText(slot, "abc  xyz", kCaseUnchanged, 0, 0);  // cut first, so no blank remains at the end
  EXPECT_EQ(GetText(slot), "abc");

  for (const char* empty : {"", "   "}) {
    PutText(slot, empty, kCaseUnchanged, 0, 0);
    EXPECT_EQ(slot, Bytes({0, 0, 0, 0, 0, 0, 0})) << '"' << empty << '"';
    EXPECT_EQ(GetText(slot), std::nullopt);
  }
}

TEST(FieldValuesTest, TextOfSize250OccupiesFlagCharactersAndZeroByte) {
  auto slot = Slot(DataSizeOf(kTypeText, 250));
  ASSERT_EQ(slot.size(), 252u);
  PutText(slot, std::string(300, 'x'), kCaseUnchanged, 0, 0);
  EXPECT_EQ(slot[250], std::byte{'x'});
  EXPECT_EQ(slot[251], std::byte{0});
  EXPECT_EQ(GetText(slot), std::string(250, 'x'));
}

TEST(FieldValuesTest, TextCaseMappingInPlainByteOrder) {
  auto slot = Slot(DataSizeOf(kTypeText, 10));
  PutText(slot, "Hello World", kCaseUpper, 0, 0);
  EXPECT_EQ(GetText(slot), "HELLO WORL");
  PutText(slot, "MiXeD  ", kCaseLower, 0, 0);
  EXPECT_EQ(GetText(slot), "mixed");
  PutText(slot, "MiXeD", kCaseUnchanged, 0, 0);
  EXPECT_EQ(GetText(slot), "MiXeD");
}

TEST(FieldValuesTest, NullWritesFlagZeroAndZeroFillsEveryType) {
  auto slot = Slot(8, std::byte{0xEE});
  SetNull(slot);
  EXPECT_EQ(slot, Slot(8, std::byte{0}));
  EXPECT_TRUE(IsNull(slot));
  EXPECT_EQ(GetFloat(slot), std::nullopt);
  EXPECT_EQ(GetFixed(slot), std::nullopt);
  EXPECT_EQ(GetDateTime(slot), std::nullopt);
  EXPECT_EQ(GetBytes(slot), std::nullopt);
  EXPECT_EQ(GetDate(slot), std::nullopt);
  EXPECT_EQ(GetBoolean(slot), std::nullopt);
}

TEST(FieldValuesTest, BooleanIsNeverNullAndStoresOneForAnyNonZeroValue) {
  auto slot = Slot(2);
  PutBoolean(slot, 5);
  EXPECT_EQ(slot, Bytes({1, 1, 0}));
  EXPECT_EQ(GetBoolean(slot), true);
  PutBoolean(slot, 0);
  EXPECT_EQ(slot, Bytes({1, 0, 0}));
  EXPECT_EQ(GetBoolean(slot), false);
  // Another writer's 0x0100 still reads as true.
  slot = Bytes({1, 0, 1});
  EXPECT_EQ(GetBoolean(slot), true);
}

TEST(FieldValuesTest, NumbersAreLittleEndianAfterTheFlag) {
  auto s2 = Slot(2);
  PutInt16(s2, -2);
  EXPECT_EQ(s2, Bytes({1, 0xFE, 0xFF}));
  EXPECT_EQ(GetInt16(s2), -2);
  EXPECT_EQ(GetUInt16(s2), 65534);
  PutUInt16(s2, 0x1234);
  EXPECT_EQ(s2, Bytes({1, 0x34, 0x12}));

  auto s4 = Slot(4);
  PutInt32(s4, -959);
  EXPECT_EQ(s4, Bytes({1, 0x41, 0xFC, 0xFF, 0xFF}));
  PutUInt32(s4, 4'000'000'000u);
  EXPECT_EQ(GetUInt32(s4), 4'000'000'000u);
  PutDate(s4, 705'191);  // 1931-10-01
  EXPECT_EQ(s4, Bytes({1, 0xA7, 0xC2, 0x0A, 0x00}));
  PutTime(s4, 86'399'999);
  EXPECT_EQ(GetTime(s4), 86'399'999);

  auto s8 = Slot(8);
  PutFloat(s8, -17.0);
  EXPECT_EQ(s8, Bytes({1, 0, 0, 0, 0, 0, 0, 0x31, 0xC0}));
  PutFixed(s8, -12'345);  // -1.2345: low half first
  EXPECT_EQ(s8, Bytes({1, 0xC7, 0xCF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(GetFixed(s8), -12'345);
  PutDateTime(s8, DateTimeValue(1, 1));
  EXPECT_EQ(GetDateTime(s8), 86'400'001.0);
}

TEST(FieldValuesTest, ExtendedMatchesTheX87Layout) {
  std::array<std::byte, 10> raw{};
  EncodeExtended(1.0, raw);
  EXPECT_EQ(std::vector(raw.begin(), raw.end()), Bytes({0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F}));
  EncodeExtended(-2.5, raw);
  EXPECT_EQ(std::vector(raw.begin(), raw.end()), Bytes({0, 0, 0, 0, 0, 0, 0, 0xA0, 0x00, 0xC0}));

  constexpr double kMin = std::numeric_limits<double>::denorm_min();
  for (const double v : {0.0, -0.0, 1.0, -2.5, 3.141592653589793, 1e300, -1e-300, kMin, 3 * kMin,
                         std::numeric_limits<double>::min(), std::numeric_limits<double>::max(),
                         std::numeric_limits<double>::infinity()}) {
    EncodeExtended(v, raw);
    const double back = DecodeExtended(raw);
    EXPECT_EQ(back, v);
    EXPECT_EQ(std::signbit(back), std::signbit(v));
  }
  EncodeExtended(std::numeric_limits<double>::quiet_NaN(), raw);
  EXPECT_TRUE(std::isnan(DecodeExtended(raw)));

  // Values beyond double: 2^2000 becomes infinity, 2^-16382 zero.
  std::array<std::byte, 10> big = {std::byte{0}, {}, {}, {}, {}, {}, {}, std::byte{0x80}};
  big[8] = std::byte{(16383 + 2000) & 0xFF};
  big[9] = std::byte{(16383 + 2000) >> 8};
  EXPECT_EQ(DecodeExtended(big), std::numeric_limits<double>::infinity());
  big[8] = std::byte{1};  // 1.0 x 2^-16382
  big[9] = std::byte{0};
  EXPECT_EQ(DecodeExtended(big), 0.0);

  // 1 + 2^-60 rounds to 1; 1 + 2^-53 (a tie) to even 1; 1 + 2^-53 + 2^-60 up.
  std::array<std::byte, 10> fine{};
  auto set_mantissa = [&fine](std::uint64_t m) {
    for (int i = 0; i < 8; ++i) fine[i] = static_cast<std::byte>(m >> (8 * i));
    fine[8] = std::byte{0xFF};
    fine[9] = std::byte{0x3F};
  };
  set_mantissa((std::uint64_t{1} << 63) | 8);
  EXPECT_EQ(DecodeExtended(fine), 1.0);
  set_mantissa((std::uint64_t{1} << 63) | (std::uint64_t{1} << 10));
  EXPECT_EQ(DecodeExtended(fine), 1.0);
  set_mantissa((std::uint64_t{1} << 63) | (std::uint64_t{1} << 10) | 8);
  EXPECT_EQ(DecodeExtended(fine), std::nextafter(1.0, 2.0));

  auto slot = Slot(10);
  PutExtended(slot, 42.5);
  EXPECT_EQ(GetExtended(slot), 42.5);
}

TEST(FieldValuesTest, BytesAreRawAndZeroFilled) {
  auto slot = Slot(4);
  PutBytes(slot, Bytes({9, 8}));
  EXPECT_EQ(slot, Bytes({1, 9, 8, 0, 0}));
  EXPECT_EQ(GetBytes(slot), Bytes({9, 8, 0, 0}));
  PutBytes(slot, Bytes({1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(slot, Bytes({1, 1, 2, 3, 4}));
}

TEST(FieldValuesTest, BlobFlagFollowsTheReference) {
  auto slot = Slot(8);
  PutBlobRef(slot, {2048, 2});
  EXPECT_EQ(slot, Bytes({1, 0x00, 0x08, 0, 0, 2, 0, 0, 0}));
  EXPECT_EQ(GetBlobRef(slot), (TBlobRef{2048, 2}));
  PutBlobRef(slot, {0, 7});
  EXPECT_TRUE(IsNull(slot));
  EXPECT_EQ(GetBlobRef(slot), (TBlobRef{0, 7}));
}

TEST(CalendarTest, DayNumbersStartAtYearOne) {
  EXPECT_EQ(DayNumber({1, 1, 1}), 1);
  EXPECT_EQ(DayNumber({1899, 12, 30}), 693'594);
  EXPECT_EQ(DayNumber({2000, 2, 29}), 730'179);
  EXPECT_EQ(DayNumber({9999, 12, 31}), kMaxDayNumber);
  EXPECT_FALSE(IsValidDate(1900, 2, 29));
  EXPECT_TRUE(IsValidDate(2000, 2, 29));
  EXPECT_FALSE(IsValidDate(2023, 4, 31));
  EXPECT_FALSE(IsValidDate(0, 1, 1));
  EXPECT_FALSE(IsValidDate(10000, 1, 1));
  EXPECT_EQ(DateFromDayNumber(0), std::nullopt);
  EXPECT_EQ(DateFromDayNumber(kMaxDayNumber + 1), std::nullopt);

  // Every day of the calendar round-trips and follows its predecessor.
  TDate previous{0, 12, 31};
  for (std::int32_t n = 1; n <= kMaxDayNumber; ++n) {
    const auto date = DateFromDayNumber(n);
    ASSERT_TRUE(date.has_value()) << n;
    const bool next_day = date->Day == previous.Day + 1 && date->Month == previous.Month;
    const bool next_month = date->Day == 1 && date->Month == previous.Month + 1;
    const bool next_year = date->Day == 1 && date->Month == 1 && date->Year == previous.Year + 1;
    ASSERT_TRUE(next_day || next_month || next_year) << n;
    ASSERT_EQ(DayNumber(*date), n);
    previous = *date;
  }
}

}  // namespace
}  // namespace tarvo

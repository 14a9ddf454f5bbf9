// Keys built from record images against hand-written bytes, and key comparison under byte order
// and under a locale.
#include "engine/index/key_codec.h"

#include <gtest/gtest.h>

#include <cstring>

#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/format/record_layout.h"
#include "tests/testing/field_builder.h"

namespace tarvo {
namespace {

using testing::Field;
using testing::Numbered;

using TBytes = std::vector<std::byte>;

TBytes B(std::initializer_list<int> values) {
  TBytes out;
  for (int v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

TIndexDescriptor Index(std::vector<std::uint16_t> fields, bool unique, std::vector<int> field_descending = {},
                       bool descending = false, bool case_insensitive = false) {
  TIndexDescriptor d;
  d.unique = unique ? 1 : 0;
  d.descending = descending ? 1 : 0;
  d.case_insensitive = case_insensitive ? 1 : 0;
  d.field_count = static_cast<std::uint8_t>(fields.size());
  for (std::size_t i = 0; i < fields.size(); ++i) {
    d.field_numbers[i] = fields[i];
    d.field_descending[i] = i < field_descending.size() ? static_cast<std::uint8_t>(field_descending[i]) : 0;
  }
  return d;
}

class TKeyCodecTest : public ::testing::Test {
 protected:
  // 1 ID autoinc, 2 text(5), 3 date, 4 boolean, 5 int16, 6 int32, 7 float, 8 fixed, 9 bytes(3),
  // 10 time, 11 datetime, 12 word, 13 uint32.
  TKeyCodecTest() {
    fields_ = Numbered({Field("F1", kTypeInt32, 0, kSubTypeAutoInc), Field("F2", kTypeText, 5),
                        Field("F3", kTypeDate), Field("F4", kTypeBoolean), Field("F5", kTypeInt16),
                        Field("F6", kTypeInt32), Field("F7", kTypeFloat), Field("F8", kTypeFixed),
                        Field("F9", kTypeBytes, 3), Field("F10", kTypeTime), Field("F11", kTypeDateTime),
                        Field("F12", kTypeUInt16), Field("F13", kTypeUInt32)});
    const std::int32_t size = DeriveRecordLayout(fields_, false);
    record_.assign(static_cast<std::size_t>(size), std::byte{0});
    SetRecordAutoIncrement(record_, 0x01020304);
  }
  TBytes Key(const TIndexDescriptor& d, TLanguageId language = 0, int slot = 1) {
    TIndexDescriptor with_length = d;
    int length = d.unique ? 0 : 4;
    for (int i = 0; i < d.field_count; ++i) length += fields_[d.field_numbers[i] - 1].DataSize + 1;
    with_length.key_length = static_cast<std::uint16_t>(length);
    return TKeyCodec(with_length, slot, fields_, language, 0).Build(record_);
  }
  TBytes Slot(std::uint16_t n) {
    auto s = FieldSlot(record_, fields_[n - 1]);
    return TBytes(s.begin(), s.end());
  }
  void Text(std::uint16_t n, const char* text) {
    auto s = FieldSlot(record_, fields_[n - 1]);
    std::fill(s.begin(), s.end(), std::byte{0});
    s[0] = std::byte{1};
    std::memcpy(s.data() + 1, text, std::strlen(text));
  }

  std::vector<TFieldDescriptor> fields_;
  TBytes record_;
};

TEST_F(TKeyCodecTest, NumbersBecomeSortableBigEndian) {
  PutInt32(FieldSlot(record_, fields_[5]), -2);
  EXPECT_EQ(Key(Index({6}, true)), B({1, 0x7F, 0xFF, 0xFF, 0xFE}));
  PutInt16(FieldSlot(record_, fields_[4]), 0x1234);
  EXPECT_EQ(Key(Index({5}, true)), B({1, 0x92, 0x34}));
  PutBoolean(FieldSlot(record_, fields_[3]), 1);
  EXPECT_EQ(Key(Index({4}, true)), B({1, 0x00, 0x01}));
  PutUInt16(FieldSlot(record_, fields_[11]), 0xABCD);
  EXPECT_EQ(Key(Index({12}, true)), B({1, 0xAB, 0xCD}));
  PutFloat(FieldSlot(record_, fields_[6]), 1.0);  // 3FF0000000000000
  EXPECT_EQ(Key(Index({7}, true)), B({1, 0xBF, 0xF0, 0, 0, 0, 0, 0, 0}));
  PutFloat(FieldSlot(record_, fields_[6]), -1.0);  // BFF0000000000000, all bits inverted
  EXPECT_EQ(Key(Index({7}, true)), B({1, 0x40, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  PutFixed(FieldSlot(record_, fields_[7]), 1);
  EXPECT_EQ(Key(Index({8}, true)), B({1, 0x80, 0, 0, 0, 0, 0, 0, 1}));
  PutUInt32(FieldSlot(record_, fields_[12]), 0x01020304);  // kept as stored (little-endian)
  EXPECT_EQ(Key(Index({13}, true)), B({1, 4, 3, 2, 1}));
  PutDate(FieldSlot(record_, fields_[2]), 1);
  PutTime(FieldSlot(record_, fields_[9]), 1);
  EXPECT_EQ(Key(Index({3, 10}, true)), B({1, 0x80, 0, 0, 1, 1, 0x80, 0, 0, 1}));
}

TEST_F(TKeyCodecTest, NullFieldsEncodeZeroAndTheAutoIncrementIsNeverNull) {
  EXPECT_EQ(Key(Index({6, 7, 2}, true)),
            B({0, 0x80, 0, 0, 0, /**/ 0, 0x80, 0, 0, 0, 0, 0, 0, 0, /**/ 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Key(Index({1}, true)), B({1, 0x81, 2, 3, 4}));
}

TEST_F(TKeyCodecTest, NonUniqueKeysEndInTheSortableAutoIncrement) {
  Text(2, "ab");
  EXPECT_EQ(Key(Index({2}, false)), B({1, 'a', 'b', 0, 0, 0, 0, /**/ 0x81, 2, 3, 4}));
  // "Sys Deleted": deleted flag and the sortable auto-increment value.
  SetRecordDeleted(record_, true);
  EXPECT_EQ(Key(Index({}, false), 0, kSysDeletedSlot), B({1, 0x81, 2, 3, 4}));
}

TEST_F(TKeyCodecTest, CaseInsensitiveTextIsUpperCased) {
  Text(2, "ab\xE4");
  EXPECT_EQ(Key(Index({2}, true, {}, false, true)), B({1, 'A', 'B', 0xC4, 0, 0, 0}));
  EXPECT_EQ(Key(Index({2}, true, {}, false, true), 0x0407), B({1, 'A', 'B', 0xC4, 0, 0, 0}));
  EXPECT_EQ(Key(Index({2}, true)), B({1, 'a', 'b', 0xE4, 0, 0, 0}));
}

TEST_F(TKeyCodecTest, DescendingFieldsUnderByteOrderAreStoredComplemented) {
  Text(2, "ab");
  PutInt16(FieldSlot(record_, fields_[4]), 1);
  // The string keeps its terminator position uncomplemented.
  EXPECT_EQ(Key(Index({5, 2}, true, {0, 1})), B({1, 0x80, 0x01, 0xFE, 0x9E, 0x9D, 0xFF, 0xFF, 0xFF, 0}));
  EXPECT_EQ(Key(Index({2, 5}, true, {0, 1})), B({1, 'a', 'b', 0, 0, 0, 0, 0xFE, 0x7F, 0xFE}));
  // Not under a locale, and not when the whole index is descending.
  EXPECT_EQ(Key(Index({2, 5}, true, {0, 1}), 0x0407), B({1, 'a', 'b', 0, 0, 0, 0, 1, 0x80, 0x01}));
  EXPECT_EQ(Key(Index({2, 5}, true, {0, 1}, true)), B({1, 'a', 'b', 0, 0, 0, 0, 1, 0x80, 0x01}));
}

TEST_F(TKeyCodecTest, ComparisonFollowsTheIndexRules) {
  auto codec = [&](const TIndexDescriptor& d, TLanguageId language) {
    TIndexDescriptor with_length = d;
    with_length.key_length = 7 + 3 + (d.unique ? 0 : 4);
    return TKeyCodec(with_length, 1, fields_, language, 0);
  };
  const TBytes a = B({1, 'a', 0, 0, 0, 0, 0, 1, 0x80, 0x01});
  const TBytes b = B({1, 'B', 0, 0, 0, 0, 0, 1, 0x80, 0x00});
  // Byte order: 'B' (0x42) below 'a' (0x61); a descending index reverses.
  EXPECT_EQ(codec(Index({2, 5}, true), 0).Compare(a, b, a.size()), 1);
  EXPECT_EQ(codec(Index({2, 5}, true, {}, true), 0).Compare(a, b, a.size()), -1);
  // A locale collates letters alphabetically; a descending field reverses only that field.
  EXPECT_EQ(codec(Index({2, 5}, true), 0x0409).Compare(a, b, a.size()), -1);
  EXPECT_EQ(codec(Index({2, 5}, true, {1, 0}), 0x0409).Compare(a, b, a.size()), 1);
  const TBytes a2 = B({1, 'a', 0, 0, 0, 0, 0, 1, 0x80, 0x00});
  EXPECT_EQ(codec(Index({2, 5}, true), 0x0409).Compare(a, a2, a.size()), 1);
  EXPECT_EQ(codec(Index({2, 5}, true, {0, 1}), 0x0409).Compare(a, a2, a.size()), -1);
  // Accents do not count under the locale; NULL sorts first.
  const TBytes accent = B({1, 0xE0, 0, 0, 0, 0, 0, 1, 0x80, 0x01});
  EXPECT_EQ(codec(Index({2, 5}, true), 0x0409).Compare(a, accent, a.size()), 0);
  const TBytes null_text = B({0, 0, 0, 0, 0, 0, 0, 1, 0x80, 0x01});
  EXPECT_EQ(codec(Index({2, 5}, true), 0x0409).Compare(null_text, a, a.size()), -1);
  // A shorter length compares only the leading bytes.
  EXPECT_EQ(codec(Index({2, 5}, true), 0x0409).Compare(a, a2, 7), 0);
  // The suffix of a non-unique index compares as bytes, reversed for a descending index.
  TBytes s1 = a, s2 = a;
  s1.insert(s1.end(), {std::byte{0x80}, std::byte{0}, std::byte{0}, std::byte{1}});
  s2.insert(s2.end(), {std::byte{0x80}, std::byte{0}, std::byte{0}, std::byte{2}});
  EXPECT_EQ(codec(Index({2, 5}, false), 0x0409).Compare(s1, s2, s1.size()), -1);
  EXPECT_EQ(codec(Index({2, 5}, false, {}, true), 0x0409).Compare(s1, s2, s1.size()), 1);
}

TEST(TSortableInt32Test, RoundTripsAndOrders) {
  for (std::int32_t v : {INT32_MIN, -1, 0, 1, INT32_MAX}) {
    std::array<std::byte, 4> raw{};
    PutSortableInt32(v, raw);
    EXPECT_EQ(GetSortableInt32(raw), v);
  }
  std::array<std::byte, 4> lo{}, hi{};
  PutSortableInt32(-1, lo);
  PutSortableInt32(0, hi);
  EXPECT_LT(std::memcmp(lo.data(), hi.data(), 4), 0);
}

}  // namespace
}  // namespace tarvo

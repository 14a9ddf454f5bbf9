#include "engine/format/checked_puts.h"

#include <limits>
#include <optional>

#include "engine/format/field_messages.h"
#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/format/record_layout.h"
#include "engine/format/value_text.h"
#include "support/code_page.h"

namespace tarvo {

void RefuseFieldValue(const TFieldDescriptor& d, const std::string& reason) {
  throw EFieldValueError(d.FieldName, reason);
}

std::string CodePageTextOf(const std::string& utf8, const TFieldDescriptor& d, TLanguageId language) {
  const std::optional<std::string> bytes = Utf8ToCodePageExactly(utf8, language);
  if (!bytes) RefuseFieldValue(d, "a character is not in the table's code page");
  return *bytes;
}

void PutCheckedText(TBytes slot, const TFieldDescriptor& d, std::string_view text, TLanguageId language,
                    TSortId sort) {
  if (text.find('\0') != std::string_view::npos) RefuseFieldValue(d, "a text cannot hold the character 0");
  if (text.find_last_not_of(' ') + 1 > d.FieldSize)
    RefuseFieldValue(d, "the text is longer than the field's " + std::to_string(d.FieldSize) + " characters");
  PutText(slot, text, d.CaseMapping, language, sort);
}

std::string TemporalExpected(const TFieldDescriptor& d, char separator) {
  switch (d.FieldType) {
    case kTypeDate: return "a date YYYY-MM-DD is expected";
    case kTypeTime: return "a time HH:MM:SS.mmm is expected";
    default: return std::string("a date-time YYYY-MM-DD") + separator + "HH:MM:SS.mmm is expected";
  }
}

void PutCheckedTemporal(TBytes slot, const TFieldDescriptor& d, std::string_view text, char separator) {
  if (d.FieldType == kTypeDate) {
    const std::optional<std::int32_t> day = ParseDateText(text);
    if (!day) RefuseFieldValue(d, TemporalExpected(d, separator));
    PutDate(slot, *day);
  } else if (d.FieldType == kTypeTime) {
    const std::optional<std::int32_t> ms = ParseTimeText(text);
    if (!ms) RefuseFieldValue(d, TemporalExpected(d, separator));
    PutTime(slot, *ms);
  } else {
    const std::optional<double> ms = ParseDateTimeText(text);
    if (!ms) RefuseFieldValue(d, TemporalExpected(d, separator));
    PutDateTime(slot, *ms);
  }
}

TIntegerRange IntegerRange(const TFieldDescriptor& d) {
  switch (d.FieldType) {
    case kTypeBoolean: return {0, 1};
    case kTypeInt16: return {std::numeric_limits<std::int16_t>::min(), std::numeric_limits<std::int16_t>::max()};
    case kTypeInt32: return {std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()};
    case kTypeUInt16: return {0, std::numeric_limits<std::uint16_t>::max()};
    default: return {0, std::numeric_limits<std::uint32_t>::max()};
  }
}

void PutCheckedInteger(TBytes slot, const TFieldDescriptor& d, std::int64_t value) {
  const TIntegerRange range = IntegerRange(d);
  if (value < range.Min || value > range.Max) RefuseFieldValue(d, "the value is out of range");
  switch (d.FieldType) {
    case kTypeBoolean: PutBoolean(slot, static_cast<std::uint16_t>(value)); break;
    case kTypeInt16: PutInt16(slot, static_cast<std::int16_t>(value)); break;
    case kTypeInt32: PutInt32(slot, static_cast<std::int32_t>(value)); break;
    case kTypeUInt16: PutUInt16(slot, static_cast<std::uint16_t>(value)); break;
    default: PutUInt32(slot, static_cast<std::uint32_t>(value)); break;
  }
}

void PutCheckedFloat(TBytes slot, const TFieldDescriptor& d, double value) {
  if (d.FieldType == kTypeExtended) {
    PutExtended(slot, value);
  } else {
    PutFloat(slot, value);
  }
}

namespace {

template <class TInteger>
double ExactDouble(const TFieldDescriptor& d, TInteger value) {
  const double v = static_cast<double>(value);
  // 2^63 (2^64) itself is no int64 (uint64): the comparison keeps the cast below defined.
  constexpr double kBeyond = static_cast<double>(TInteger{1} << (std::numeric_limits<TInteger>::digits - 1)) * 2;
  if (v >= kBeyond || static_cast<TInteger>(v) != value)
    RefuseFieldValue(d, "the integer has no floating-point value of its own");
  return v;
}

}  // namespace

double ExactDoubleOf(const TFieldDescriptor& d, std::int64_t value) {
  return ExactDouble(d, value);
}

double ExactDoubleOf(const TFieldDescriptor& d, std::uint64_t value) {
  return ExactDouble(d, value);
}

void RefuseFixedPlaces(const TFieldDescriptor& d) {
  RefuseFieldValue(d, "more decimal places than the field's " + std::to_string(d.FieldDecimals));
}

void PutCheckedFixed(TBytes slot, const TFieldDescriptor& d, std::int64_t scaled) {
  // The field shows FieldDecimals places: more would not come back as they were given.
  std::int64_t step = 1;
  for (int places = d.FieldDecimals; places < 4; ++places) step *= 10;
  if (scaled % step != 0) RefuseFixedPlaces(d);
  PutFixed(slot, scaled);
}

void PutCheckedFixedText(TBytes slot, const TFieldDescriptor& d, std::string_view text) {
  const std::optional<std::int64_t> scaled = ParseFixedText(text);
  if (!scaled) RefuseFieldValue(d, "a decimal number is expected");
  PutCheckedFixed(slot, d, *scaled);
}

void PutCheckedBytes(TBytes slot, const TFieldDescriptor& d, std::span<const std::byte> bytes) {
  if (bytes.size() > d.DataSize) RefuseFieldValue(d, "more bytes than the field holds");
  PutBytes(slot, bytes);
}

void PutCheckedAutoIncrement(TBytes record, const TFieldDescriptor& d, std::int64_t id) {
  if (id < 1 || id > std::numeric_limits<std::int32_t>::max())
    RefuseFieldValue(d, "an auto-increment value is 1 to 2147483647");
  SetRecordAutoIncrement(record, static_cast<std::int32_t>(id));
}

}  // namespace tarvo

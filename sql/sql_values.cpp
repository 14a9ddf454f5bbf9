#include "sql/sql_values.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

#include "engine/format/checked_puts.h"
#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/format/record_layout.h"
#include "engine/format/value_text.h"
#include "support/code_page.h"

namespace tarvo::sql {

namespace {

// Fixed-point values below this many units x 10,000 have at most 15 significant digits.
constexpr std::int64_t kExactRealScaled = 1'000'000'000'000'000;

[[noreturn]] void Refuse(const TFieldDescriptor& d, const std::string& why) {
  RefuseFieldValue(d, why);
}

TSqlBytes BytesOf(std::span<const std::byte> bytes) {
  return TSqlBytes(bytes.begin(), bytes.end());
}

TSqlBytes BytesOf(const std::string& text) {
  const auto* data = reinterpret_cast<const std::byte*>(text.data());
  return TSqlBytes(data, data + text.size());
}

TSqlValue FixedValue(std::int64_t scaled) {
  if (scaled % kFixedScale == 0) return scaled / kFixedScale;
  if (scaled > -kExactRealScaled && scaled < kExactRealScaled) {
    return static_cast<double>(scaled) / static_cast<double>(kFixedScale);
  }
  std::string text = FormatFixedText(scaled, 4);
  text.erase(text.find_last_not_of('0') + 1);
  return text;
}

// The shortest decimal text of a number, for a text field given a number.
std::string NumberText(const TSqlValue& value) {
  if (const auto* i = std::get_if<std::int64_t>(&value)) return std::to_string(*i);
  return FormatFloatText(std::get<double>(value));
}

bool IsNumber(const TSqlValue& value) {
  return std::holds_alternative<std::int64_t>(value) || std::holds_alternative<double>(value);
}

// The integer of a value for a boolean or integer field; PutCheckedInteger checks its range.
std::int64_t IntegerOf(const TSqlValue& value, const TFieldDescriptor& d) {
  if (const auto* i = std::get_if<std::int64_t>(&value)) return *i;
  if (const auto* r = std::get_if<double>(&value)) {
    if (!std::isfinite(*r) || *r != std::trunc(*r)) Refuse(d, "a whole number is expected");
    const TIntegerRange range = IntegerRange(d);
    if (*r < static_cast<double>(range.Min) || *r > static_cast<double>(range.Max))
      Refuse(d, "the value is out of range");
    return static_cast<std::int64_t>(*r);
  }
  if (const auto* t = std::get_if<std::string>(&value)) {
    const auto parsed = ParseIntegerText(*t, std::numeric_limits<std::int64_t>::min(),
                                         std::numeric_limits<std::int64_t>::max());
    if (!parsed) Refuse(d, "an integer is expected");
    return *parsed;
  }
  Refuse(d, "an integer is expected");
}

double DoubleOf(const TSqlValue& value, const TFieldDescriptor& d) {
  if (const auto* r = std::get_if<double>(&value)) {
    if (!std::isfinite(*r)) Refuse(d, "a finite number is expected");
    return *r;
  }
  if (const auto* i = std::get_if<std::int64_t>(&value)) return ExactDoubleOf(d, *i);
  if (const auto* t = std::get_if<std::string>(&value)) {
    const auto parsed = ParseFloatText(*t);
    if (!parsed) Refuse(d, "a number is expected");
    return *parsed;
  }
  Refuse(d, "a number is expected");
}

void PutFixedValue(TBytes slot, const TSqlValue& value, const TFieldDescriptor& d) {
  constexpr std::int64_t kMaxUnits = std::numeric_limits<std::int64_t>::max() / kFixedScale;
  if (const auto* i = std::get_if<std::int64_t>(&value)) {
    if (*i < -kMaxUnits || *i > kMaxUnits) Refuse(d, "the value is out of range");
    PutCheckedFixed(slot, d, *i * kFixedScale);
  } else if (const auto* r = std::get_if<double>(&value)) {
    if (!std::isfinite(*r) || std::fabs(*r) >= static_cast<double>(kMaxUnits))
      Refuse(d, "the value is out of range");
    // The shortest decimal that reads back as this double: 0.1 is 0.1, not 0.1000000000000000055.
    char buffer[64];
    std::optional<std::int64_t> scaled;
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, *r, std::chars_format::fixed);
    if (error == std::errc())
      scaled = ParseFixedText(std::string_view(buffer, static_cast<std::size_t>(end - buffer)));
    if (!scaled) RefuseFixedPlaces(d);
    PutCheckedFixed(slot, d, *scaled);
  } else if (const auto* t = std::get_if<std::string>(&value)) {
    PutCheckedFixedText(slot, d, *t);
  } else {
    Refuse(d, "a decimal number is expected");
  }
}

const std::string& TextOf(const TSqlValue& value, const TFieldDescriptor& d, const std::string& expected) {
  const auto* t = std::get_if<std::string>(&value);
  if (t == nullptr) Refuse(d, expected);
  return *t;
}

// The value of a blob field as it goes to the blob file.
TSqlBytes BlobBytesOf(const TSqlValue& value, const TFieldDescriptor& d, TLanguageId language) {
  if (std::holds_alternative<std::monostate>(value)) return {};
  if (const auto* b = std::get_if<TSqlBytes>(&value)) return *b;
  if (IsTextBlob(d)) {
    if (IsNumber(value)) return BytesOf(NumberText(value));
    return BytesOf(CodePageTextOf(std::get<std::string>(value), d, language));
  }
  return BytesOf(TextOf(value, d, "bytes are expected"));
}

}  // namespace

const char* SqlTypeName(const TFieldDescriptor& d) {
  if (!IsStored(d)) return "BLOB";
  switch (d.FieldType) {
    case kTypeText:
    case kTypeDate:
    case kTypeTime:
    case kTypeDateTime: return "TEXT";
    case kTypeBoolean:
    case kTypeInt16:
    case kTypeInt32:
    case kTypeUInt16:
    case kTypeUInt32: return "INTEGER";
    case kTypeFloat:
    case kTypeExtended: return "REAL";
    case kTypeFixed: return "NUMERIC";
    case kTypeBlob: return IsTextBlob(d) ? "TEXT" : "BLOB";
    default: return "BLOB";
  }
}

TSqlValue RecordFieldValue(std::span<const std::byte> record, const TFieldDescriptor& d,
                           TLanguageId language) {
  if (!IsStored(d) || d.FieldType == kTypeBlob) return {};
  if (IsAutoIncrement(d.FieldType, d.FieldSubType)) return std::int64_t{RecordAutoIncrement(record)};
  const TConstBytes slot = ConstFieldSlot(record, d);
  if (IsNull(slot)) return {};
  switch (d.FieldType) {
    case kTypeText: return CodePageToUtf8(GetTextChars(slot), language);
    case kTypeDate: {
      const std::int32_t day = *GetDate(slot);
      std::string text = FormatDateText(day);
      if (text.empty()) return std::int64_t{day};
      return text;
    }
    case kTypeTime: {
      const std::int32_t ms = *GetTime(slot);
      std::string text = FormatTimeText(ms);
      if (text.empty()) return std::int64_t{ms};
      return text;
    }
    case kTypeDateTime: {
      const double ms = *GetDateTime(slot);
      std::string text = FormatDateTimeText(ms);
      if (text.empty()) return ms;
      text[10] = ' ';  // SQL's form: a blank between the date and the time
      return text;
    }
    case kTypeBoolean: return std::int64_t{*GetBoolean(slot) ? 1 : 0};
    case kTypeInt16: return std::int64_t{*GetInt16(slot)};
    case kTypeInt32: return std::int64_t{*GetInt32(slot)};
    case kTypeUInt16: return std::int64_t{*GetUInt16(slot)};
    case kTypeUInt32: return std::int64_t{*GetUInt32(slot)};
    case kTypeFloat: return *GetFloat(slot);
    case kTypeExtended: return *GetExtended(slot);
    case kTypeFixed: return FixedValue(*GetFixed(slot));
    case kTypeBytes:
    case kTypeVarBytes: return BytesOf(*GetBytes(slot));
    default: return BytesOf(slot.subspan(1));
  }
}

TSqlValue CurrentFieldValue(TDataCursor& cursor, std::uint16_t field_number) {
  const TFieldDescriptor& d = cursor.Descriptors()[field_number - 1u];
  const std::vector<std::byte>& record = cursor.CurrentRecord();
  if (d.FieldType != kTypeBlob || !IsStored(d)) return RecordFieldValue(record, d, cursor.LanguageID());
  // A field can be present with an empty value (presence byte 1, no chain): '' or x''.
  if (IsNull(ConstFieldSlot(record, d))) return {};
  const std::vector<std::byte> value = cursor.ReadBlobField(field_number);
  if (IsTextBlob(d)) {
    return CodePageToUtf8(std::string(reinterpret_cast<const char*>(value.data()), value.size()),
                          cursor.LanguageID());
  }
  return value;
}

void PutRecordFieldValue(std::span<std::byte> record, const TFieldDescriptor& d, TLanguageId language,
                         TSortId sort, const TSqlValue& value) {
  if (!IsStored(d)) {
    if (!std::holds_alternative<std::monostate>(value)) Refuse(d, "a computed field takes no value");
    return;
  }
  if (d.FieldType == kTypeBlob) Refuse(d, "a blob value is stored through a cursor");
  if (IsAutoIncrement(d.FieldType, d.FieldSubType)) {
    if (std::holds_alternative<std::monostate>(value)) return;
    if (!std::holds_alternative<std::int64_t>(value)) Refuse(d, "an integer is expected");
    PutCheckedAutoIncrement(record, d, std::get<std::int64_t>(value));
    return;
  }
  const TBytes slot = FieldSlot(record, d);
  if (std::holds_alternative<std::monostate>(value)) {
    SetNull(slot);
    return;
  }
  switch (d.FieldType) {
    case kTypeText: {
      const std::string text = IsNumber(value)
                                   ? NumberText(value)
                                   : CodePageTextOf(TextOf(value, d, "a text is expected"), d, language);
      PutCheckedText(slot, d, text, language, sort);
      break;
    }
    case kTypeDate:
    case kTypeTime:
    case kTypeDateTime:
      PutCheckedTemporal(slot, d, TextOf(value, d, TemporalExpected(d, ' ')), ' ');
      break;
    case kTypeBoolean:
    case kTypeInt16:
    case kTypeInt32:
    case kTypeUInt16:
    case kTypeUInt32: PutCheckedInteger(slot, d, IntegerOf(value, d)); break;
    case kTypeFloat:
    case kTypeExtended: PutCheckedFloat(slot, d, DoubleOf(value, d)); break;
    case kTypeFixed: PutFixedValue(slot, value, d); break;
    case kTypeBytes:
    case kTypeVarBytes: {
      const TSqlBytes bytes = std::holds_alternative<TSqlBytes>(value)
                                  ? std::get<TSqlBytes>(value)
                                  : BytesOf(TextOf(value, d, "bytes are expected"));
      PutCheckedBytes(slot, d, bytes);
      break;
    }
    default: {
      // A type this system does not interpret keeps the bytes it came with.
      const auto* bytes = std::get_if<TSqlBytes>(&value);
      if (bytes == nullptr || bytes->size() != d.DataSize) Refuse(d, "the field's type cannot be written");
      slot[0] = std::byte{1};
      std::copy(bytes->begin(), bytes->end(), slot.begin() + 1);
      break;
    }
  }
}

void PutCursorFieldValue(TDataCursor& cursor, std::span<std::byte> record, std::uint16_t field_number,
                         const TSqlValue& value) {
  const TFieldDescriptor& d = cursor.Descriptors()[field_number - 1u];
  if (d.FieldType != kTypeBlob || !IsStored(d)) {
    PutRecordFieldValue(record, d, cursor.LanguageID(), cursor.SortID(), value);
    return;
  }
  // An empty value is stored as NULL, as the engine stores every empty blob value.
  cursor.SetBlobField(record, field_number, BlobBytesOf(value, d, cursor.LanguageID()));
}

}  // namespace tarvo::sql

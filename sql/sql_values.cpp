#include "sql/sql_values.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

#include "engine/format/field_messages.h"
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
  throw EFieldValueError(d.FieldName, why);
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

std::int64_t IntegerOf(const TSqlValue& value, const TFieldDescriptor& d, std::int64_t min,
                       std::int64_t max) {
  std::int64_t v = 0;
  if (const auto* i = std::get_if<std::int64_t>(&value)) {
    v = *i;
  } else if (const auto* r = std::get_if<double>(&value)) {
    if (!std::isfinite(*r) || *r != std::trunc(*r)) Refuse(d, "a whole number is expected");
    if (*r < static_cast<double>(min) || *r > static_cast<double>(max))
      Refuse(d, "the value is out of range");
    v = static_cast<std::int64_t>(*r);
  } else if (const auto* t = std::get_if<std::string>(&value)) {
    const auto parsed = ParseIntegerText(*t, std::numeric_limits<std::int64_t>::min(),
                                         std::numeric_limits<std::int64_t>::max());
    if (!parsed) Refuse(d, "an integer is expected");
    v = *parsed;
  } else {
    Refuse(d, "an integer is expected");
  }
  if (v < min || v > max) Refuse(d, "the value is out of range");
  return v;
}

double DoubleOf(const TSqlValue& value, const TFieldDescriptor& d) {
  if (const auto* r = std::get_if<double>(&value)) {
    if (!std::isfinite(*r)) Refuse(d, "a finite number is expected");
    return *r;
  }
  if (const auto* i = std::get_if<std::int64_t>(&value)) {
    const double v = static_cast<double>(*i);
    // 2^63 itself is no int64: the comparison keeps the cast below defined.
    if (v >= 0x1p63 || static_cast<std::int64_t>(v) != *i)
      Refuse(d, "the integer has no floating-point value of its own");
    return v;
  }
  if (const auto* t = std::get_if<std::string>(&value)) {
    const auto parsed = ParseFloatText(*t);
    if (!parsed) Refuse(d, "a number is expected");
    return *parsed;
  }
  Refuse(d, "a number is expected");
}

std::int64_t FixedOf(const TSqlValue& value, const TFieldDescriptor& d) {
  constexpr std::int64_t kMaxUnits = std::numeric_limits<std::int64_t>::max() / kFixedScale;
  std::optional<std::int64_t> scaled;
  if (const auto* i = std::get_if<std::int64_t>(&value)) {
    if (*i < -kMaxUnits || *i > kMaxUnits) Refuse(d, "the value is out of range");
    scaled = *i * kFixedScale;
  } else if (const auto* r = std::get_if<double>(&value)) {
    if (!std::isfinite(*r) || std::fabs(*r) >= static_cast<double>(kMaxUnits))
      Refuse(d, "the value is out of range");
    // The shortest decimal that reads back as this double: 0.1 is 0.1, not 0.1000000000000000055.
    char buffer[64];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, *r, std::chars_format::fixed);
    if (error == std::errc())
      scaled = ParseFixedText(std::string_view(buffer, static_cast<std::size_t>(end - buffer)));
    if (!scaled) Refuse(d, "more decimal places than the field's " + std::to_string(d.FieldDecimals));
  } else if (const auto* t = std::get_if<std::string>(&value)) {
    scaled = ParseFixedText(*t);
    if (!scaled) Refuse(d, "a decimal number is expected");
  } else {
    Refuse(d, "a decimal number is expected");
  }
  // The field shows FieldDecimals places: more would not come back as they were given.
  std::int64_t step = 1;
  for (int places = d.FieldDecimals; places < 4; ++places) step *= 10;
  if (*scaled % step != 0)
    Refuse(d, "more decimal places than the field's " + std::to_string(d.FieldDecimals));
  return *scaled;
}

const std::string& TextOf(const TSqlValue& value, const TFieldDescriptor& d, const char* expected) {
  const auto* t = std::get_if<std::string>(&value);
  if (t == nullptr) Refuse(d, expected);
  return *t;
}

// A text in the table's code page, refused when one of its characters has no byte there (it
// would be stored as '?').
std::string CodePageTextOf(const std::string& utf8, const TFieldDescriptor& d, TLanguageId language) {
  const std::optional<std::string> bytes = Utf8ToCodePageExactly(utf8, language);
  if (!bytes) Refuse(d, "a character is not in the table's code page");
  return *bytes;
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
    case kTypeText: return CodePageToUtf8(GetText(slot).value_or(""), language);
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
    // 0 and negative values mark damaged records; the counter never hands them out.
    if (!std::holds_alternative<std::int64_t>(value)) Refuse(d, "an integer is expected");
    const std::int64_t id = std::get<std::int64_t>(value);
    if (id < 1 || id > std::numeric_limits<std::int32_t>::max())
      Refuse(d, "an auto-increment value is 1 to 2147483647");
    SetRecordAutoIncrement(record, static_cast<std::int32_t>(id));
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
      // Trailing blanks are never stored; the rest must fit whole.
      if (text.find('\0') != std::string::npos) Refuse(d, "a text cannot hold the character 0");
      if (text.find_last_not_of(' ') + 1 > d.FieldSize)
        Refuse(d, "the text is longer than the field's " + std::to_string(d.FieldSize) + " characters");
      PutText(slot, text, d.CaseMapping, language, sort);
      break;
    }
    case kTypeDate: {
      const auto day = ParseDateText(TextOf(value, d, "a date YYYY-MM-DD is expected"));
      if (!day) Refuse(d, "a date YYYY-MM-DD is expected");
      PutDate(slot, *day);
      break;
    }
    case kTypeTime: {
      const auto ms = ParseTimeText(TextOf(value, d, "a time HH:MM:SS.mmm is expected"));
      if (!ms) Refuse(d, "a time HH:MM:SS.mmm is expected");
      PutTime(slot, *ms);
      break;
    }
    case kTypeDateTime: {
      const auto ms = ParseDateTimeText(TextOf(value, d, "a date-time YYYY-MM-DD HH:MM:SS.mmm is expected"));
      if (!ms) Refuse(d, "a date-time YYYY-MM-DD HH:MM:SS.mmm is expected");
      PutDateTime(slot, *ms);
      break;
    }
    case kTypeBoolean: PutBoolean(slot, static_cast<std::uint16_t>(IntegerOf(value, d, 0, 1))); break;
    case kTypeInt16:
      PutInt16(slot, static_cast<std::int16_t>(IntegerOf(value, d, INT16_MIN, INT16_MAX)));
      break;
    case kTypeInt32:
      PutInt32(slot, static_cast<std::int32_t>(IntegerOf(value, d, INT32_MIN, INT32_MAX)));
      break;
    case kTypeUInt16: PutUInt16(slot, static_cast<std::uint16_t>(IntegerOf(value, d, 0, UINT16_MAX))); break;
    case kTypeUInt32: PutUInt32(slot, static_cast<std::uint32_t>(IntegerOf(value, d, 0, UINT32_MAX))); break;
    case kTypeFloat: PutFloat(slot, DoubleOf(value, d)); break;
    case kTypeExtended: PutExtended(slot, DoubleOf(value, d)); break;
    case kTypeFixed: PutFixed(slot, FixedOf(value, d)); break;
    case kTypeBytes:
    case kTypeVarBytes: {
      const TSqlBytes bytes = std::holds_alternative<TSqlBytes>(value)
                                  ? std::get<TSqlBytes>(value)
                                  : BytesOf(TextOf(value, d, "bytes are expected"));
      if (bytes.size() > d.DataSize) Refuse(d, "more bytes than the field holds");
      PutBytes(slot, bytes);
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

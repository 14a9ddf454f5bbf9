#include "cli/record_json.h"

#include <stdexcept>

#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/format/record_layout.h"
#include "engine/format/value_text.h"
#include "support/code_page.h"

namespace tarvo::cli {

namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

[[noreturn]] void Refuse(const TFieldDescriptor& d, const std::string& why) {
  throw EFieldValueError(d.FieldName, why);
}

std::int64_t IntegerOf(const nlohmann::json& value, const TFieldDescriptor& d, std::int64_t min,
                       std::int64_t max) {
  if (!value.is_number_integer()) Refuse(d, "an integer is expected");
  const std::int64_t v = value.is_number_unsigned() && value.get<std::uint64_t>() > INT64_MAX
                             ? max + 1
                             : value.get<std::int64_t>();
  if (v < min || v > max) Refuse(d, "the value is out of range");
  return v;
}

std::string TextOf(const nlohmann::json& value, const TFieldDescriptor& d) {
  if (!value.is_string()) Refuse(d, "a string is expected");
  return value.get<std::string>();
}

// Whether a number is stored as given by a double: an integer beyond 2^53 may fall between two.
bool IsExactDouble(const nlohmann::json& value) {
  if (!value.is_number_integer()) return true;
  const double v = value.get<double>();
  if (value.is_number_unsigned())
    return v < 0x1p64 && static_cast<std::uint64_t>(v) == value.get<std::uint64_t>();
  return v >= -0x1p63 && v < 0x1p63 && static_cast<std::int64_t>(v) == value.get<std::int64_t>();
}

// A text in the table's code page, refused when one of its characters has no byte there (it
// would be stored as '?').
std::string CodePageTextOf(const std::string& utf8, const TFieldDescriptor& d, TLanguageId language) {
  const std::optional<std::string> bytes = Utf8ToCodePageExactly(utf8, language);
  if (!bytes) Refuse(d, "a character is not in the table's code page");
  return *bytes;
}

}  // namespace

std::string EncodeBase64(std::span<const std::byte> bytes) {
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned v = static_cast<unsigned>(bytes[i]) << 16 | static_cast<unsigned>(bytes[i + 1]) << 8 |
                       static_cast<unsigned>(bytes[i + 2]);
    for (int k = 3; k >= 0; --k) out += kBase64Alphabet[(v >> (6 * k)) & 0x3F];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    unsigned v = static_cast<unsigned>(bytes[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned>(bytes[i + 1]) << 8;
    out += kBase64Alphabet[(v >> 18) & 0x3F];
    out += kBase64Alphabet[(v >> 12) & 0x3F];
    out += rest == 2 ? kBase64Alphabet[(v >> 6) & 0x3F] : '=';
    out += '=';
  }
  return out;
}

std::vector<std::byte> DecodeBase64(const std::string& text) {
  std::vector<std::byte> out;
  unsigned buffer = 0;
  int bits = 0;
  std::size_t padding = 0;
  for (const char c : text) {
    if (c == '=') {
      ++padding;
      continue;
    }
    const char* at = std::char_traits<char>::find(kBase64Alphabet, 64, c);
    if (at == nullptr || padding > 0) throw std::invalid_argument("not Base64");
    buffer = buffer << 6 | static_cast<unsigned>(at - kBase64Alphabet);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::byte>((buffer >> bits) & 0xFF));
    }
  }
  if (padding > 2) throw std::invalid_argument("not Base64");
  return out;
}

nlohmann::ordered_json RecordToJson(std::span<const std::byte> record,
                                    const std::vector<TFieldDescriptor>& fields, TLanguageId language) {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  for (const TFieldDescriptor& d : fields) {
    if (d.FieldType == kTypeBlob || !IsStored(d)) continue;
    auto& value = object[CodePageToUtf8(d.FieldName, language)];
    if (IsAutoIncrement(d.FieldType, d.FieldSubType)) {
      value = RecordAutoIncrement(record);
      continue;
    }
    const TConstBytes slot = ConstFieldSlot(record, d);
    if (IsNull(slot)) {
      value = nullptr;
      continue;
    }
    switch (d.FieldType) {
      case kTypeText: value = CodePageToUtf8(GetText(slot).value_or(""), language); break;
      case kTypeDate: value = FormatDateText(*GetDate(slot)); break;
      case kTypeTime: value = FormatTimeText(*GetTime(slot)); break;
      case kTypeDateTime: value = FormatDateTimeText(*GetDateTime(slot)); break;
      case kTypeBoolean: value = *GetBoolean(slot); break;
      case kTypeInt16: value = *GetInt16(slot); break;
      case kTypeInt32: value = *GetInt32(slot); break;
      case kTypeUInt16: value = *GetUInt16(slot); break;
      case kTypeUInt32: value = *GetUInt32(slot); break;
      case kTypeFloat: value = *GetFloat(slot); break;
      case kTypeExtended: value = *GetExtended(slot); break;
      case kTypeFixed: value = FormatFixedText(*GetFixed(slot), d.FieldDecimals); break;
      case kTypeBytes:
      case kTypeVarBytes: value = {{"b64", EncodeBase64(*GetBytes(slot))}}; break;
      default: value = {{"b64", EncodeBase64(slot.subspan(1))}}; break;
    }
  }
  return object;
}

nlohmann::json BlobToJson(std::span<const std::byte> value, const TFieldDescriptor& d, TLanguageId language) {
  if (IsTextBlob(d)) {
    return CodePageToUtf8(std::string(reinterpret_cast<const char*>(value.data()), value.size()), language);
  }
  return {{"b64", EncodeBase64(value)}};
}

std::vector<std::byte> JsonToBlob(const nlohmann::json& value, const TFieldDescriptor& d,
                                  TLanguageId language) {
  if (value.is_null()) return {};
  if (IsTextBlob(d) && value.is_string()) {
    const std::string bytes = CodePageTextOf(value.get<std::string>(), d, language);
    const auto* data = reinterpret_cast<const std::byte*>(bytes.data());
    return {data, data + bytes.size()};
  }
  if (!value.is_object() || !value.contains("b64") || !value.at("b64").is_string()) {
    Refuse(d, IsTextBlob(d) ? "a string is expected" : "{\"b64\": ...} is expected");
  }
  return DecodeBase64(value.at("b64").get<std::string>());
}

nlohmann::ordered_json CurrentRecordToJson(TDataCursor& cursor) {
  const std::vector<std::byte>& record = cursor.CurrentRecord();
  const std::vector<TFieldDescriptor>& fields = cursor.Descriptors();
  nlohmann::ordered_json object = RecordToJson(record, fields, cursor.LanguageID());
  nlohmann::ordered_json ordered = nlohmann::ordered_json::object();
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const TFieldDescriptor& d = fields[i];
    if (!IsStored(d)) continue;
    const std::string name = CodePageToUtf8(d.FieldName, cursor.LanguageID());
    if (d.FieldType != kTypeBlob) {
      ordered[name] = std::move(object[name]);
      continue;
    }
    // A field can be present with an empty value (presence byte 1, no chain): "" or {"b64": ""}.
    if (IsNull(ConstFieldSlot(record, d))) {
      ordered[name] = nullptr;
      continue;
    }
    const std::vector<std::byte> value = cursor.ReadBlobField(static_cast<std::uint16_t>(i + 1));
    ordered[name] = BlobToJson(value, d, cursor.LanguageID());
  }
  return ordered;
}

bool JsonToCursorRecord(const nlohmann::json& object, TDataCursor& cursor, std::span<std::byte> record) {
  const std::vector<TFieldDescriptor>& fields = cursor.Descriptors();
  const bool has_auto_increment = JsonToRecord(object, fields, cursor.LanguageID(), cursor.SortID(), record);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const TFieldDescriptor& d = fields[i];
    if (d.FieldType != kTypeBlob || !IsStored(d)) continue;
    const std::string name = CodePageToUtf8(d.FieldName, cursor.LanguageID());
    if (!object.contains(name)) continue;
    // An empty value is stored as NULL, as the engine stores every empty blob value.
    const std::vector<std::byte> value = JsonToBlob(object.at(name), d, cursor.LanguageID());
    cursor.SetBlobField(record, static_cast<std::uint16_t>(i + 1), value);
  }
  return has_auto_increment;
}

bool JsonToRecord(const nlohmann::json& object, const std::vector<TFieldDescriptor>& fields,
                  TLanguageId language, TSortId sort, std::span<std::byte> record) {
  if (!object.is_object()) throw std::invalid_argument("a JSON object is expected");
  bool has_auto_increment = false;
  const std::vector<std::string> names = Utf8FieldNames(fields, language);
  for (const auto& [name, value] : object.items()) {
    const auto field = std::find(names.begin(), names.end(), name);
    if (field == names.end()) throw std::invalid_argument("the table has no field '" + name + "'");
    const TFieldDescriptor& d = fields[static_cast<std::size_t>(field - names.begin())];
    if (d.FieldType == kTypeBlob || !IsStored(d)) continue;
    if (IsAutoIncrement(d.FieldType, d.FieldSubType)) {
      if (value.is_null()) continue;
      // 0 and negative values mark damaged records; the counter never hands them out.
      if (!value.is_number_integer()) Refuse(d, "an integer is expected");
      const bool in_range = value.is_number_unsigned()
                                ? value.get<std::uint64_t>() >= 1 && value.get<std::uint64_t>() <= INT32_MAX
                                : value.get<std::int64_t>() >= 1 && value.get<std::int64_t>() <= INT32_MAX;
      if (!in_range) Refuse(d, "an auto-increment value is 1 to 2147483647");
      SetRecordAutoIncrement(record, static_cast<std::int32_t>(value.get<std::int64_t>()));
      has_auto_increment = true;
      continue;
    }
    const TBytes slot = FieldSlot(record, d);
    if (value.is_null()) {
      SetNull(slot);
      continue;
    }
    switch (d.FieldType) {
      case kTypeText: {
        const std::string text = CodePageTextOf(TextOf(value, d), d, language);
        // Trailing blanks are never stored; the rest must fit whole.
        if (text.find('\0') != std::string::npos) Refuse(d, "a text cannot hold the character 0");
        if (text.find_last_not_of(' ') + 1 > d.FieldSize)
          Refuse(d, "the text is longer than the field's " + std::to_string(d.FieldSize) + " characters");
        PutText(slot, text, d.CaseMapping, language, sort);
        break;
      }
      case kTypeDate: {
        const auto day = ParseDateText(TextOf(value, d));
        if (!day) Refuse(d, "a date YYYY-MM-DD is expected");
        PutDate(slot, *day);
        break;
      }
      case kTypeTime: {
        const auto ms = ParseTimeText(TextOf(value, d));
        if (!ms) Refuse(d, "a time HH:MM:SS.mmm is expected");
        PutTime(slot, *ms);
        break;
      }
      case kTypeDateTime: {
        const auto ms = ParseDateTimeText(TextOf(value, d));
        if (!ms) Refuse(d, "a date-time YYYY-MM-DDTHH:MM:SS.mmm is expected");
        PutDateTime(slot, *ms);
        break;
      }
      case kTypeBoolean:
        if (!value.is_boolean()) Refuse(d, "true or false is expected");
        PutBoolean(slot, value.get<bool>() ? 1 : 0);
        break;
      case kTypeInt16:
        PutInt16(slot, static_cast<std::int16_t>(IntegerOf(value, d, INT16_MIN, INT16_MAX)));
        break;
      case kTypeInt32:
        PutInt32(slot, static_cast<std::int32_t>(IntegerOf(value, d, INT32_MIN, INT32_MAX)));
        break;
      case kTypeUInt16:
        PutUInt16(slot, static_cast<std::uint16_t>(IntegerOf(value, d, 0, UINT16_MAX)));
        break;
      case kTypeUInt32:
        PutUInt32(slot, static_cast<std::uint32_t>(IntegerOf(value, d, 0, UINT32_MAX)));
        break;
      case kTypeFloat:
      case kTypeExtended:
        if (!value.is_number()) Refuse(d, "a number is expected");
        if (!IsExactDouble(value)) Refuse(d, "the integer has no floating-point value of its own");
        if (d.FieldType == kTypeFloat) {
          PutFloat(slot, value.get<double>());
        } else {
          PutExtended(slot, value.get<double>());
        }
        break;
      case kTypeFixed: {
        const auto scaled = value.is_string()
                                ? ParseFixedText(value.get<std::string>())
                                : ParseFixedText(value.is_number() ? value.dump() : std::string("x"));
        if (!scaled) Refuse(d, "a decimal number is expected");
        // The field shows FieldDecimals places: more would not come back as they were given.
        std::int64_t step = 1;
        for (int places = d.FieldDecimals; places < 4; ++places) step *= 10;
        if (*scaled % step != 0)
          Refuse(d, "more decimal places than the field's " + std::to_string(d.FieldDecimals));
        PutFixed(slot, *scaled);
        break;
      }
      case kTypeBytes:
      case kTypeVarBytes: {
        if (!value.is_object() || !value.contains("b64") || !value.at("b64").is_string()) {
          Refuse(d, "{\"b64\": ...} is expected");
        }
        const std::vector<std::byte> bytes = DecodeBase64(value.at("b64").get<std::string>());
        if (bytes.size() > d.DataSize) Refuse(d, "more bytes than the field holds");
        PutBytes(slot, bytes);
        break;
      }
      default: Refuse(d, "the field's type cannot be imported");
    }
  }
  return has_auto_increment;
}

}  // namespace tarvo::cli

#include "cli/record_json.h"

#include <algorithm>
#include <stdexcept>

#include "engine/format/checked_puts.h"
#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/format/record_layout.h"
#include "engine/format/value_text.h"
#include "support/code_page.h"

namespace tarvo::cli {

namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

[[noreturn]] void Refuse(const TFieldDescriptor& d, const std::string& why) {
  RefuseFieldValue(d, why);
}

// An integer of the document; one beyond int64 as the largest int64, out of every field's range.
std::int64_t IntegerOf(const TJsonValue& value, const TFieldDescriptor& d) {
  if (!value.IsInteger()) Refuse(d, "an integer is expected");
  return value.kind == TJsonValue::TKind::kUnsigned && value.unsigned_integer > INT64_MAX ? INT64_MAX
                                                                                         : value.Int64();
}

const std::string& TextOf(const TJsonValue& value, const TFieldDescriptor& d) {
  if (value.kind != TJsonValue::TKind::kString) Refuse(d, "a string is expected");
  return value.text;
}

// A number of the document as a double: an integer beyond 2^53 may fall between two, and is refused.
double DoubleOf(const TJsonValue& value, const TFieldDescriptor& d) {
  switch (value.kind) {
    case TJsonValue::TKind::kInteger: return ExactDoubleOf(d, value.integer);
    case TJsonValue::TKind::kUnsigned: return ExactDoubleOf(d, value.unsigned_integer);
    default: return value.number;
  }
}

// The import's view of a document's value.
void ValueOf(const nlohmann::json& json, TJsonValue& value) {
  using TKind = TJsonValue::TKind;
  value.has_b64_text = false;
  value.text.clear();
  switch (json.type()) {
    case nlohmann::json::value_t::boolean:
      value.kind = TKind::kBoolean;
      value.boolean = json.get<bool>();
      break;
    case nlohmann::json::value_t::number_integer:
      value.kind = TKind::kInteger;
      value.integer = json.get<std::int64_t>();
      break;
    case nlohmann::json::value_t::number_unsigned:
      value.kind = TKind::kUnsigned;
      value.unsigned_integer = json.get<std::uint64_t>();
      break;
    case nlohmann::json::value_t::number_float:
      value.kind = TKind::kFloat;
      value.number = json.get<double>();
      break;
    case nlohmann::json::value_t::string:
      value.kind = TKind::kString;
      value.text = json.get<std::string>();
      break;
    case nlohmann::json::value_t::object:
      value.kind = TKind::kObject;
      if (const auto b64 = json.find("b64"); b64 != json.end() && b64->is_string()) {
        value.has_b64_text = true;
        value.text = b64->get<std::string>();
      }
      break;
    case nlohmann::json::value_t::array:
    case nlohmann::json::value_t::binary: value.kind = TKind::kArray; break;
    default: value.kind = TKind::kNull; break;
  }
}

}  // namespace

std::int64_t TJsonValue::Int64() const {
  switch (kind) {
    case TKind::kUnsigned: return static_cast<std::int64_t>(unsigned_integer);
    case TKind::kFloat: return static_cast<std::int64_t>(number);
    default: return integer;
  }
}

std::uint64_t TJsonValue::UInt64() const {
  switch (kind) {
    case TKind::kInteger: return static_cast<std::uint64_t>(integer);
    case TKind::kFloat: return static_cast<std::uint64_t>(number);
    default: return unsigned_integer;
  }
}

double TJsonValue::Double() const {
  switch (kind) {
    case TKind::kInteger: return static_cast<double>(integer);
    case TKind::kUnsigned: return static_cast<double>(unsigned_integer);
    default: return number;
  }
}

std::string TJsonValue::NumberText() const {
  switch (kind) {
    case TKind::kInteger: return std::to_string(integer);
    case TKind::kUnsigned: return std::to_string(unsigned_integer);
    default: return nlohmann::json(number).dump();
  }
}

// The events of nlohmann's reader, kept as the first level of one object.
class TJsonRecordReader {
 public:
  explicit TJsonRecordReader(TJsonRecord& record) : record_(record) {}

  bool null() { return Scalar(TJsonValue::TKind::kNull); }
  bool boolean(bool v) {
    if (TJsonValue* value = Target(); value != nullptr) {
      value->kind = TJsonValue::TKind::kBoolean;
      value->boolean = v;
    }
    return Scalar(TJsonValue::TKind::kBoolean);
  }
  bool number_integer(std::int64_t v) {
    if (TJsonValue* value = Target(); value != nullptr) {
      value->kind = TJsonValue::TKind::kInteger;
      value->integer = v;
    }
    return Scalar(TJsonValue::TKind::kInteger);
  }
  bool number_unsigned(std::uint64_t v) {
    if (TJsonValue* value = Target(); value != nullptr) {
      value->kind = TJsonValue::TKind::kUnsigned;
      value->unsigned_integer = v;
    }
    return Scalar(TJsonValue::TKind::kUnsigned);
  }
  bool number_float(double v, const std::string& /*text*/) {
    if (TJsonValue* value = Target(); value != nullptr) {
      value->kind = TJsonValue::TKind::kFloat;
      value->number = v;
    }
    return Scalar(TJsonValue::TKind::kFloat);
  }
  bool string(std::string& v) {
    if (TJsonValue* value = Target(); value != nullptr) {
      value->kind = TJsonValue::TKind::kString;
      value->text.swap(v);
    } else if (depth_ == 2 && in_b64_) {
      // The "b64" member of a field's object: the last one counts.
      TJsonValue& field = *field_;
      field.has_b64_text = true;
      field.text.swap(v);
    }
    return Scalar(TJsonValue::TKind::kString);
  }
  bool binary(nlohmann::json::binary_t& /*v*/) { return Scalar(TJsonValue::TKind::kArray); }
  bool start_object(std::size_t /*size*/) { return Open(TJsonValue::TKind::kObject); }
  bool key(std::string& key) {
    if (depth_ == 1 && record_.is_object_) {
      field_ = &record_.Add(key);
    } else if (depth_ == 2 && field_ != nullptr && field_->kind == TJsonValue::TKind::kObject) {
      in_b64_ = key == "b64";
    }
    return true;
  }
  bool end_object() {
    --depth_;
    return true;
  }
  bool start_array(std::size_t /*size*/) { return Open(TJsonValue::TKind::kArray); }
  bool end_array() {
    --depth_;
    return true;
  }
  template <class TException>
  bool parse_error(std::size_t /*position*/, const std::string& /*token*/, const TException& e) {
    throw e;
  }

 private:
  // The value a scalar at this place sets: a field's, at the first level of the object.
  TJsonValue* Target() { return depth_ == 1 && record_.is_object_ && field_ != nullptr ? field_ : nullptr; }
  bool Scalar(TJsonValue::TKind kind) {
    if (depth_ == 2 && in_b64_ && kind != TJsonValue::TKind::kString) field_->has_b64_text = false;
    return true;
  }
  bool Open(TJsonValue::TKind kind) {
    if (depth_ == 0) {
      record_.is_object_ = kind == TJsonValue::TKind::kObject;
    } else if (TJsonValue* value = Target(); value != nullptr) {
      value->kind = kind;
      in_b64_ = false;
    } else if (depth_ == 2 && in_b64_) {
      field_->has_b64_text = false;
    }
    ++depth_;
    return true;
  }

  TJsonRecord& record_;
  int depth_ = 0;
  TJsonValue* field_ = nullptr;  // the field whose value comes next, or came last
  bool in_b64_ = false;          // in a field's object, after its key "b64"
};

void TJsonRecord::Reset() {
  is_object_ = false;
  used_ = 0;
  order_.clear();
}

TJsonValue& TJsonRecord::Add(const std::string& key) {
  if (used_ == entries_.size()) entries_.emplace_back();
  TEntry& entry = entries_[used_++];
  entry.key = key;
  entry.value.kind = TJsonValue::TKind::kNull;
  entry.value.has_b64_text = false;
  entry.value.text.clear();
  return entry.value;
}

void TJsonRecord::Order() {
  // In the order of the keys, the last of equal keys kept.
  for (std::uint32_t i = 0; i < used_; ++i) order_.push_back(i);
  std::stable_sort(order_.begin(), order_.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return entries_[a].key < entries_[b].key; });
  std::size_t kept = 0;
  for (std::size_t i = 0; i < order_.size(); ++i) {
    if (i + 1 < order_.size() && entries_[order_[i]].key == entries_[order_[i + 1]].key) continue;
    order_[kept++] = order_[i];
  }
  order_.resize(kept);
}

void TJsonRecord::Parse(const std::string& text) {
  Reset();
  TJsonRecordReader reader(*this);
  (void)nlohmann::json::sax_parse(text, &reader);
  Order();
}

void TJsonRecord::Assign(const nlohmann::json& value) {
  Reset();
  is_object_ = value.is_object();
  if (is_object_) {
    for (const auto& [key, member] : value.items()) ValueOf(member, Add(key));
  }
  Order();
}

const TJsonValue* TJsonRecord::Find(const std::string& key) const {
  for (const std::uint32_t i : order_) {
    if (entries_[i].key == key) return &entries_[i].value;
  }
  return nullptr;
}

const std::vector<std::string>& TJsonRecord::FieldNames(const std::vector<TFieldDescriptor>& fields,
                                                        TLanguageId language) {
  if (names_of_ != &fields || names_count_ != fields.size() || names_language_ != language) {
    names_ = Utf8FieldNames(fields, language);
    names_of_ = &fields;
    names_count_ = fields.size();
    names_language_ = language;
  }
  return names_;
}

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

namespace {

std::vector<std::byte> ValueToBlob(const TJsonValue& value, const TFieldDescriptor& d, TLanguageId language) {
  if (value.IsNull()) return {};
  if (IsTextBlob(d) && value.kind == TJsonValue::TKind::kString) {
    const std::string bytes = CodePageTextOf(value.text, d, language);
    const auto* data = reinterpret_cast<const std::byte*>(bytes.data());
    return {data, data + bytes.size()};
  }
  if (value.kind != TJsonValue::TKind::kObject || !value.has_b64_text) {
    Refuse(d, IsTextBlob(d) ? "a string is expected" : "{\"b64\": ...} is expected");
  }
  return DecodeBase64(value.text);
}

}  // namespace

std::vector<std::byte> JsonToBlob(const nlohmann::json& value, const TFieldDescriptor& d,
                                  TLanguageId language) {
  TJsonValue view;
  ValueOf(value, view);
  return ValueToBlob(view, d, language);
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

bool JsonToCursorRecord(TJsonRecord& object, TDataCursor& cursor, std::span<std::byte> record) {
  const std::vector<TFieldDescriptor>& fields = cursor.Descriptors();
  const bool has_auto_increment = JsonToRecord(object, fields, cursor.LanguageID(), cursor.SortID(), record);
  const std::vector<std::string>& names = object.FieldNames(fields, cursor.LanguageID());
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const TFieldDescriptor& d = fields[i];
    if (d.FieldType != kTypeBlob || !IsStored(d)) continue;
    const TJsonValue* value = object.Find(names[i]);
    if (value == nullptr) continue;
    // An empty value is stored as NULL, as the engine stores every empty blob value.
    const std::vector<std::byte> bytes = ValueToBlob(*value, d, cursor.LanguageID());
    cursor.SetBlobField(record, static_cast<std::uint16_t>(i + 1), bytes);
  }
  return has_auto_increment;
}

bool JsonToCursorRecord(const nlohmann::json& object, TDataCursor& cursor, std::span<std::byte> record) {
  TJsonRecord view;
  view.Assign(object);
  return JsonToCursorRecord(view, cursor, record);
}

bool JsonToRecord(TJsonRecord& object, const std::vector<TFieldDescriptor>& fields, TLanguageId language,
                  TSortId sort, std::span<std::byte> record) {
  if (!object.IsObject()) throw std::invalid_argument("a JSON object is expected");
  bool has_auto_increment = false;
  const std::vector<std::string>& names = object.FieldNames(fields, language);
  for (std::size_t entry = 0; entry < object.Size(); ++entry) {
    const std::string& name = object.Key(entry);
    const TJsonValue& value = object.Value(entry);
    const auto field = std::find(names.begin(), names.end(), name);
    if (field == names.end()) throw std::invalid_argument("the table has no field '" + name + "'");
    const TFieldDescriptor& d = fields[static_cast<std::size_t>(field - names.begin())];
    if (d.FieldType == kTypeBlob || !IsStored(d)) continue;
    if (IsAutoIncrement(d.FieldType, d.FieldSubType)) {
      if (value.IsNull()) continue;
      PutCheckedAutoIncrement(record, d, IntegerOf(value, d));
      has_auto_increment = true;
      continue;
    }
    const TBytes slot = FieldSlot(record, d);
    if (value.IsNull()) {
      SetNull(slot);
      continue;
    }
    switch (d.FieldType) {
      case kTypeText:
        PutCheckedText(slot, d, CodePageTextOf(TextOf(value, d), d, language), language, sort);
        break;
      case kTypeDate:
      case kTypeTime:
      case kTypeDateTime: PutCheckedTemporal(slot, d, TextOf(value, d), 'T'); break;
      case kTypeBoolean:
        if (value.kind != TJsonValue::TKind::kBoolean) Refuse(d, "true or false is expected");
        PutCheckedInteger(slot, d, value.boolean ? 1 : 0);
        break;
      case kTypeInt16:
      case kTypeInt32:
      case kTypeUInt16:
      case kTypeUInt32: PutCheckedInteger(slot, d, IntegerOf(value, d)); break;
      case kTypeFloat:
      case kTypeExtended:
        if (!value.IsNumber()) Refuse(d, "a number is expected");
        PutCheckedFloat(slot, d, DoubleOf(value, d));
        break;
      case kTypeFixed:
        if (value.kind == TJsonValue::TKind::kString) {
          PutCheckedFixedText(slot, d, value.text);
        } else if (value.IsNumber()) {
          PutCheckedFixedText(slot, d, value.NumberText());
        } else {
          Refuse(d, "a decimal number is expected");
        }
        break;
      case kTypeBytes:
      case kTypeVarBytes:
        if (value.kind != TJsonValue::TKind::kObject || !value.has_b64_text) Refuse(d, "{\"b64\": ...} is expected");
        PutCheckedBytes(slot, d, DecodeBase64(value.text));
        break;
      default: Refuse(d, "the field's type cannot be imported");
    }
  }
  return has_auto_increment;
}

bool JsonToRecord(const nlohmann::json& object, const std::vector<TFieldDescriptor>& fields,
                  TLanguageId language, TSortId sort, std::span<std::byte> record) {
  TJsonRecord view;
  view.Assign(object);
  return JsonToRecord(view, fields, language, sort, record);
}

}  // namespace tarvo::cli

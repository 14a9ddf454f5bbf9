// Records as JSON objects, for import and export: one object per record, its keys the field names
// (in UTF-8) in field order. Text is converted between the table's code page and UTF-8; integers and floats
// are numbers, booleans true/false, dates "YYYY-MM-DD", times "HH:MM:SS.mmm", date-times
// "YYYY-MM-DDTHH:MM:SS.mmm", fixed-point values decimal strings, byte fields {"b64": "..."}, NULL
// null. Blob values travel through the cursor that reads or writes the record: memos and
// formatted memos as text (converted like text fields), every other blob {"b64": "..."}. An
// empty value imports as NULL (the engine keeps no empty chains); a field that a file marks
// present without a chain exports as "" or {"b64": ""}. Without a cursor, blob fields are left
// out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/format/field_descriptor.h"
#include "engine/format/field_messages.h"
#include "engine/tables/data_cursor.h"
#include "engine/tables/data_session.h"
#include "engine/tables/table_by_path.h"
#include "support/code_page.h"
#include "support/locale.h"

namespace tarvo::cli {

std::string EncodeBase64(std::span<const std::byte> bytes);
// Throws std::invalid_argument for text that is not Base64.
std::vector<std::byte> DecodeBase64(const std::string& text);

nlohmann::ordered_json RecordToJson(std::span<const std::byte> record,
                                    const std::vector<TFieldDescriptor>& fields, TLanguageId language);
// The cursor's current record with its blob values.
nlohmann::ordered_json CurrentRecordToJson(TDataCursor& cursor);

nlohmann::json BlobToJson(std::span<const std::byte> value, const TFieldDescriptor& d, TLanguageId language);
// Throws std::invalid_argument naming the field for a value of the wrong form.
std::vector<std::byte> JsonToBlob(const nlohmann::json& value, const TFieldDescriptor& d,
                                  TLanguageId language);

// One JSON value of a record's object as the import reads it: a scalar, or only the kind of an
// array, or of an object its "b64" member when that is a string.
struct TJsonValue {
  enum class TKind : std::uint8_t { kNull, kBoolean, kInteger, kUnsigned, kFloat, kString, kObject, kArray };
  TKind kind = TKind::kNull;
  bool boolean = false;
  std::int64_t integer = 0;
  std::uint64_t unsigned_integer = 0;
  double number = 0;
  std::string text;          // a string; of an object its "b64" string
  bool has_b64_text = false;  // an object whose "b64" member is a string

  bool IsNull() const { return kind == TKind::kNull; }
  bool IsInteger() const { return kind == TKind::kInteger || kind == TKind::kUnsigned; }
  bool IsNumber() const { return IsInteger() || kind == TKind::kFloat; }
  // As nlohmann's get<std::int64_t>(), get<std::uint64_t>() and get<double>() of a number.
  std::int64_t Int64() const;
  std::uint64_t UInt64() const;
  double Double() const;
  // A number as nlohmann's dump() writes it.
  std::string NumberText() const;
};

// The first level of a JSON object, read without building a document, in the order of the keys
// (as nlohmann::json keeps them; a repeated key keeps its last value). Kept and reused from one
// line to the next, so that reading a record allocates nothing once the buffers have grown.
class TJsonRecord {
 public:
  // Reads one JSON text; throws what nlohmann::json::parse throws for it.
  void Parse(const std::string& text);
  // Takes a document's first level.
  void Assign(const nlohmann::json& value);

  bool IsObject() const { return is_object_; }
  std::size_t Size() const { return order_.size(); }
  const std::string& Key(std::size_t i) const { return entries_[order_[i]].key; }
  const TJsonValue& Value(std::size_t i) const { return entries_[order_[i]].value; }
  // The value of `key`, nullptr when the object has none.
  const TJsonValue* Find(const std::string& key) const;
  // The field names of `fields` in UTF-8, worked out once for the same fields.
  const std::vector<std::string>& FieldNames(const std::vector<TFieldDescriptor>& fields, TLanguageId language);

 private:
  friend class TJsonRecordReader;
  struct TEntry {
    std::string key;
    TJsonValue value;
  };
  TJsonValue& Add(const std::string& key);
  void Reset();
  void Order();

  bool is_object_ = false;
  std::vector<TEntry> entries_;  // the first `used_` are this object's
  std::size_t used_ = 0;
  std::vector<std::uint32_t> order_;
  const std::vector<TFieldDescriptor>* names_of_ = nullptr;
  std::size_t names_count_ = 0;
  TLanguageId names_language_ = 0;
  std::vector<std::string> names_;
};

// Fills `record` (zeroed, RecordSize bytes) from `object`. Returns whether the object gave a
// value for the auto-increment field. Throws std::invalid_argument for a key that is no field and
// EFieldValueError for a value that does not fit its field.
bool JsonToRecord(const nlohmann::json& object, const std::vector<TFieldDescriptor>& fields,
                  TLanguageId language, TSortId sort, std::span<std::byte> record);
bool JsonToRecord(TJsonRecord& object, const std::vector<TFieldDescriptor>& fields, TLanguageId language,
                  TSortId sort, std::span<std::byte> record);
// As JsonToRecord for a record of the cursor's table, blob values included (set through the
// cursor, stored when the buffer is added or posted as a change).
bool JsonToCursorRecord(const nlohmann::json& object, TDataCursor& cursor, std::span<std::byte> record);
bool JsonToCursorRecord(TJsonRecord& object, TDataCursor& cursor, std::span<std::byte> record);

}  // namespace tarvo::cli

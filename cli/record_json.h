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

// Fills `record` (zeroed, RecordSize bytes) from `object`. Returns whether the object gave a
// value for the auto-increment field. Throws std::invalid_argument for a key that is no field and
// EFieldValueError for a value that does not fit its field.
bool JsonToRecord(const nlohmann::json& object, const std::vector<TFieldDescriptor>& fields,
                  TLanguageId language, TSortId sort, std::span<std::byte> record);
// As JsonToRecord for a record of the cursor's table, blob values included (set through the
// cursor, stored when the buffer is added or posted as a change).
bool JsonToCursorRecord(const nlohmann::json& object, TDataCursor& cursor, std::span<std::byte> record);

}  // namespace tarvo::cli

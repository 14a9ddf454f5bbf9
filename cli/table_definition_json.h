// The JSON form of a table definition, as `tarvo create` reads it and `tarvo info --json` writes
// it:
//
//   {"description": "Kunden", "language_id": 0, "sort_id": 0, "blob_block_size": 512,
//    "user_word1": 0, "user_word2": 0, "encrypted": false, "password": "",
//    "fields": [{"name": "ID", "type": "autoinc"},
//               {"name": "Name", "type": "text", "size": 40, "required": true,
//                "case_mapping": "upper", "default": "", "min": "", "max": "", "description": ""},
//               {"name": "Notes", "type": 3, "subtype": 22}],
//    "primary": ["ID"],
//    "indexes": [{"name": "ByName", "fields": ["Name"], "unique": false, "descending": false,
//                 "case_insensitive": true, "field_descending": [false], "compression": 3}]}
//
// A field's "type" is a type code or a name (text, date, memo, blob, fmtmemo, ole, graphic,
// dbole, typedbinary, boolean, smallint, integer, autoinc, float, money, bcd, bytes, time,
// datetime, word, cardinal, extended, varbytes); "subtype" overrides the name's subtype.
// Compression is 0 to 3 or none, dupbyte, trailbyte, full. Index fields are named; "primary" may
// be empty or missing for a table without primary index.
#pragma once

#include <istream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "engine/format/data_header.h"
#include "engine/format/index_header.h"
#include "engine/format/table_definition.h"

namespace tarvo::cli {

// The JSON of a definition text. Throws std::invalid_argument for text that is not JSON and for a
// list of fields longer than a table holds (found at its first surplus field, without reading on).
nlohmann::json ParseDefinitionText(std::istream& in);
// The JSON of a definition file; on failure one line on standard error and nothing returned.
std::optional<nlohmann::json> ReadDefinitionFile(const std::string& path);

// Names and texts are UTF-8 in the JSON and come back in the code page of the definition's
// language. Raises std::invalid_argument for JSON that is not a definition (wrong kinds of values,
// unknown type names, a text with a character that the code page has no byte for) and
// ETarvoEngineError (9985) for an index field that is not a field.
TTableDefinition ParseTableDefinition(const nlohmann::json& json, const std::string& table_name);

// The language of a definition's JSON ("language_id"), 0 when it names none or none valid.
TLanguageId DefinitionLanguage(const nlohmann::json& json);

// The definition of an existing table in the same form, its texts converted to UTF-8.
nlohmann::json DefinitionToJson(const TDataHeader& header, const std::vector<TFieldDescriptor>& fields,
                                const TIndexHeader& indexes);

}  // namespace tarvo::cli

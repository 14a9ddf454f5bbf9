#include "cli/table_definition_json.h"

#include <array>
#include <fstream>
#include <iostream>
#include <stdexcept>

#include "engine/format/field_messages.h"
#include "support/code_page.h"
#include "errors/engine_error.h"
#include "engine/format/field_types.h"
#include "support/code_page.h"
#include "support/platform_names.h"

namespace tarvo::cli {

namespace {

using nlohmann::json;

struct TTypeName {
  const char* name;
  TTypeCode type;
  TTypeCode subtype;
};

constexpr std::array kTypeNames = {
    TTypeName{"text", kTypeText, 0},
    TTypeName{"string", kTypeText, 0},
    TTypeName{"date", kTypeDate, 0},
    TTypeName{"memo", kTypeBlob, kSubTypeMemo},
    TTypeName{"blob", kTypeBlob, kSubTypeBinary},
    TTypeName{"fmtmemo", kTypeBlob, kSubTypeFmtMemo},
    TTypeName{"ole", kTypeBlob, kSubTypeOle},
    TTypeName{"graphic", kTypeBlob, kSubTypeGraphic},
    TTypeName{"dbole", kTypeBlob, kSubTypeDbOle},
    TTypeName{"typedbinary", kTypeBlob, kSubTypeTypedBinary},
    TTypeName{"boolean", kTypeBoolean, 0},
    TTypeName{"smallint", kTypeInt16, 0},
    TTypeName{"integer", kTypeInt32, 0},
    TTypeName{"autoinc", kTypeInt32, kSubTypeAutoInc},
    TTypeName{"float", kTypeFloat, 0},
    TTypeName{"money", kTypeFloat, kSubTypeMoney},
    TTypeName{"bcd", kTypeFixed, 0},
    TTypeName{"bytes", kTypeBytes, 0},
    TTypeName{"time", kTypeTime, 0},
    TTypeName{"datetime", kTypeDateTime, 0},
    TTypeName{"word", kTypeUInt16, 0},
    TTypeName{"cardinal", kTypeUInt32, 0},
    TTypeName{"extended", kTypeExtended, 0},
    TTypeName{"varbytes", kTypeVarBytes, 0},
};

constexpr std::array<const char*, 4> kCompressionNames = {"none", "dupbyte", "trailbyte", "full"};
constexpr std::array<const char*, 3> kCaseNames = {"none", "lower", "upper"};

[[noreturn]] void Bad(const std::string& what) {
  throw std::invalid_argument("invalid definition: " + what);
}

template <typename T>
T Number(const json& object, const char* key, T fallback, long long low, long long high) {
  if (!object.contains(key) || object[key].is_null()) return fallback;
  const json& value = object[key];
  if (!value.is_number_integer()) Bad(std::string("\"") + key + "\" must be a whole number");
  const long long n = value.get<long long>();
  if (n < low || n > high) Bad(std::string("\"") + key + "\" is out of range");
  return static_cast<T>(n);
}

bool Flag(const json& object, const char* key) {
  if (!object.contains(key) || object[key].is_null()) return false;
  if (!object[key].is_boolean()) Bad(std::string("\"") + key + "\" must be true or false");
  return object[key].get<bool>();
}

std::string Text(const json& object, const char* key) {
  if (!object.contains(key) || object[key].is_null()) return {};
  if (!object[key].is_string()) Bad(std::string("\"") + key + "\" must be a string");
  return object[key].get<std::string>();
}

// A text of the definition as the table stores it: in the code page of its language, every
// character kept (a name never takes a '?' in place of a character).
std::string StoredText(const std::string& utf8, TLanguageId language, const std::string& what) {
  const std::optional<std::string> bytes = Utf8ToCodePageExactly(utf8, language);
  if (!bytes) {
    Bad(what + " \"" + utf8 + "\" has a character that code page " +
        std::to_string(CodePageFor(language).Number()) + " cannot hold");
  }
  return *bytes;
}

std::string StoredText(const json& object, const char* key, TLanguageId language, const std::string& what) {
  return StoredText(Text(object, key), language, what);
}

// A number in [0, names.size()) or one of the names.
template <std::size_t N>
std::uint8_t Choice(const json& object, const char* key, const std::array<const char*, N>& names) {
  if (!object.contains(key) || object[key].is_null()) return 0;
  const json& value = object[key];
  if (value.is_string()) {
    for (std::size_t i = 0; i < N; ++i) {
      if (SameNameIgnoringCase(value.get<std::string>(), names[i])) return static_cast<std::uint8_t>(i);
    }
    Bad(std::string("unknown ") + key + " \"" + value.get<std::string>() + "\"");
  }
  return Number<std::uint8_t>(object, key, 0, 0, N - 1);
}

TFieldDescriptor ParseField(const json& object, std::size_t number, TLanguageId language) {
  if (!object.is_object()) Bad("every field must be an object");
  TFieldDescriptor d;
  d.FieldNumber = static_cast<std::uint16_t>(number);
  const std::string name = Text(object, "name");
  d.FieldName = StoredText(name, language, "the field name");
  if (!object.contains("type")) Bad("field \"" + name + "\" has no type");
  const json& type = object["type"];
  if (type.is_string()) {
    bool known = false;
    for (const TTypeName& t : kTypeNames) {
      if (SameNameIgnoringCase(type.get<std::string>(), t.name)) {
        d.FieldType = t.type;
        d.FieldSubType = t.subtype;
        known = true;
        break;
      }
    }
    if (!known) Bad("field \"" + name + "\" has the unknown type \"" + type.get<std::string>() + "\"");
  } else {
    d.FieldType = Number<std::uint8_t>(object, "type", 0, 0, 255);
  }
  d.FieldSubType = Number<std::uint8_t>(object, "subtype", d.FieldSubType, 0, 255);
  d.FieldSize = Number<std::uint8_t>(object, "size", 0, 0, 255);
  d.FieldDecimals = Number<std::uint8_t>(object, "decimals", 0, 0, 255);
  d.Required = Flag(object, "required") ? 1 : 0;
  d.CaseMapping = Choice(object, "case_mapping", kCaseNames);
  d.DefaultValue = StoredText(object, "default", language, "the default of \"" + name + "\"");
  d.MinValue = StoredText(object, "min", language, "the minimum of \"" + name + "\"");
  d.MaxValue = StoredText(object, "max", language, "the maximum of \"" + name + "\"");
  d.FieldDescription = StoredText(object, "description", language, "the description of \"" + name + "\"");
  return d;
}

// The number of the field named `name` (UTF-8), compared without regard to case.
std::uint16_t FieldNumberOf(const std::vector<TFieldDescriptor>& fields, const json& name, TLanguageId language,
                            const std::string& table_name) {
  if (!name.is_string()) Bad("index fields are given by name");
  for (const TFieldDescriptor& f : fields) {
    if (SameNameIgnoringCase(CodePageToUtf8(f.FieldName, language), name.get<std::string>()))
      return f.FieldNumber;
  }
  RaiseEngineError(kInvalidField, table_name, Utf8ToCodePage(name.get<std::string>(), language));
}

TIndexDescriptor ParseIndex(const json& object, const std::vector<TFieldDescriptor>& fields, TLanguageId language,
                            const std::string& table_name) {
  if (!object.is_object()) Bad("every index must be an object");
  TIndexDescriptor d;
  d.name = StoredText(object, "name", language, "the index name");
  d.unique = Flag(object, "unique") ? 1 : 0;
  d.descending = Flag(object, "descending") ? 1 : 0;
  d.case_insensitive = Flag(object, "case_insensitive") ? 1 : 0;
  d.compression = Choice(object, "compression", kCompressionNames);
  if (!object.contains("fields") || !object["fields"].is_array())
    Bad("index \"" + Text(object, "name") + "\" has no fields");
  const json& names = object["fields"];
  if (names.size() > kMaxKeyFields) RaiseEngineError(kIndexLimits, table_name, {}, {}, d.name);
  for (const json& name : names)
    d.field_numbers[d.field_count++] = FieldNumberOf(fields, name, language, table_name);
  if (object.contains("field_descending") && !object["field_descending"].is_null()) {
    const json& flags = object["field_descending"];
    if (!flags.is_array() || flags.size() > d.field_count)
      Bad("\"field_descending\" of \"" + Text(object, "name") + "\"");
    for (std::size_t i = 0; i < flags.size(); ++i) {
      if (!flags[i].is_boolean()) Bad("\"field_descending\" holds true or false");
      d.field_descending[i] = flags[i].get<bool>() ? 1 : 0;
    }
  }
  return d;
}

json FieldToJson(const TFieldDescriptor& d, TLanguageId language) {
  json field = {{"name", CodePageToUtf8(d.FieldName, language)}, {"type", d.FieldType}};
  if (d.FieldSubType != 0) field["subtype"] = d.FieldSubType;
  if (d.FieldSize != 0) field["size"] = d.FieldSize;
  if (d.FieldDecimals != 0) field["decimals"] = d.FieldDecimals;
  if (d.Required != 0) field["required"] = true;
  if (d.CaseMapping != 0 && d.CaseMapping < kCaseNames.size())
    field["case_mapping"] = kCaseNames[d.CaseMapping];
  if (!d.DefaultValue.empty()) field["default"] = CodePageToUtf8(d.DefaultValue, language);
  if (!d.MinValue.empty()) field["min"] = CodePageToUtf8(d.MinValue, language);
  if (!d.MaxValue.empty()) field["max"] = CodePageToUtf8(d.MaxValue, language);
  if (!d.FieldDescription.empty()) field["description"] = CodePageToUtf8(d.FieldDescription, language);
  return field;
}

json FieldNames(const TIndexDescriptor& d, const std::vector<TFieldDescriptor>& fields, TLanguageId language) {
  json names = json::array();
  for (int i = 0; i < d.field_count && i < kMaxKeyFields; ++i) {
    const std::uint16_t number = d.field_numbers[i];
    names.push_back(number >= 1 && number <= fields.size()
                        ? json(CodePageToUtf8(fields[number - 1].FieldName, language))
                        : json(number));
  }
  return names;
}

}  // namespace

json ParseDefinitionText(std::istream& in) {
  // A list of fields longer than a table can hold is refused at its first surplus element,
  // before the rest of it is read.
  std::string key;
  bool in_fields = false;
  std::size_t field_count = 0;
  const json::parser_callback_t watch = [&](int depth, json::parse_event_t event, json& parsed) {
    if (depth == 1 && event == json::parse_event_t::key) key = parsed.get<std::string>();
    if (depth == 1 && event == json::parse_event_t::array_start) in_fields = key == "fields";
    if (depth == 1 && event == json::parse_event_t::array_end) in_fields = false;
    if (in_fields && depth == 2 &&
        (event == json::parse_event_t::object_start || event == json::parse_event_t::array_start ||
         event == json::parse_event_t::value) &&
        ++field_count > kMaxFieldCount) {
      Bad("more than " + std::to_string(kMaxFieldCount) + " fields, the most a table holds");
    }
    return true;
  };
  try {
    return json::parse(in, watch);
  } catch (const json::exception& e) {
    throw std::invalid_argument(std::string("not valid JSON: ") + e.what());
  }
}

std::optional<json> ReadDefinitionFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    std::cerr << "cannot read the definition " << path << "\n";
    return std::nullopt;
  }
  try {
    return ParseDefinitionText(in);
  } catch (const std::invalid_argument& e) {
    std::cerr << "the definition " << path << ": " << e.what() << "\n";
    return std::nullopt;
  }
}

TLanguageId DefinitionLanguage(const json& json_definition) {
  try {
    return json_definition.is_object() ? Number<TLanguageId>(json_definition, "language_id", 0, 0, 0xFFFF) : 0;
  } catch (const std::invalid_argument&) {
    return 0;
  }
}

TTableDefinition ParseTableDefinition(const json& json_definition, const std::string& table_name) {
  if (!json_definition.is_object()) Bad("the definition must be a JSON object");
  TTableDefinition definition;
  definition.language_id = Number<TLanguageId>(json_definition, "language_id", 0, 0, 0xFFFF);
  const TLanguageId language = definition.language_id;
  definition.description = StoredText(json_definition, "description", language, "the description");
  definition.sort_id = Number<TSortId>(json_definition, "sort_id", 0, 0, 0xFFFF);
  definition.blob_block_size = Number<std::uint16_t>(json_definition, "blob_block_size", 512, 0, 0xFFFF);
  definition.user_word1 = Number<std::uint16_t>(json_definition, "user_word1", 0, 0, 0xFFFF);
  definition.user_word2 = Number<std::uint16_t>(json_definition, "user_word2", 0, 0, 0xFFFF);
  definition.encrypted = Flag(json_definition, "encrypted");
  definition.password = Text(json_definition, "password");
  if (definition.encrypted && definition.password.empty()) Bad("an encrypted table needs a password");
  if (!json_definition.contains("fields") || !json_definition["fields"].is_array())
    Bad("\"fields\" is missing");
  if (json_definition["fields"].size() > kMaxFieldCount) RaiseEngineError(kFieldLimits, table_name);
  for (const json& field : json_definition["fields"]) {
    definition.fields.push_back(ParseField(field, definition.fields.size() + 1, language));
  }
  TIndexDescriptor primary;
  primary.unique = 1;
  if (json_definition.contains("primary") && !json_definition["primary"].is_null()) {
    const json& names = json_definition["primary"];
    if (!names.is_array()) Bad("\"primary\" is a list of field names");
    if (names.size() > kMaxKeyFields) RaiseEngineError(kIndexLimits, table_name);
    for (const json& name : names)
      primary.field_numbers[primary.field_count++] = FieldNumberOf(definition.fields, name, language, table_name);
  }
  definition.indexes.push_back(primary);
  if (json_definition.contains("indexes") && !json_definition["indexes"].is_null()) {
    if (!json_definition["indexes"].is_array()) Bad("\"indexes\" is a list");
    for (const json& index : json_definition["indexes"]) {
      definition.indexes.push_back(ParseIndex(index, definition.fields, language, table_name));
    }
  }
  return definition;
}

json DefinitionToJson(const TDataHeader& header, const std::vector<TFieldDescriptor>& fields,
                      const TIndexHeader& indexes) {
  const TLanguageId language = header.LanguageID;
  json out;
  out["description"] = CodePageToUtf8(PlainDescription(header), language);
  out["language_id"] = header.LanguageID;
  out["sort_id"] = header.SortID;
  out["blob_block_size"] = EffectiveBlobBlockSize(header);
  out["user_word1"] = header.UserWord1;
  out["user_word2"] = header.UserWord2;
  out["encrypted"] = header.Encrypted != 0;
  out["fields"] = json::array();
  for (const TFieldDescriptor& field : fields) out["fields"].push_back(FieldToJson(field, language));
  out["primary"] =
      indexes.no_primary != 0 ? json::array() : FieldNames(indexes.slots[kPrimarySlot], fields, language);
  out["indexes"] = json::array();
  for (int slot = 1; slot <= indexes.secondary_count && slot <= kMaxSecondaryIndexes; ++slot) {
    const TIndexDescriptor& d = indexes.slots[slot];
    json index = {{"name", CodePageToUtf8(d.name, language)},
                  {"fields", FieldNames(d, fields, language)},
                  {"unique", d.unique != 0},
                  {"descending", d.descending != 0},
                  {"case_insensitive", d.case_insensitive != 0},
                  {"compression", d.compression}};
    json flags = json::array();
    bool any = false;
    for (int i = 0; i < d.field_count && i < kMaxKeyFields; ++i) {
      flags.push_back(d.field_descending[i] != 0);
      any = any || d.field_descending[i] != 0;
    }
    if (any) index["field_descending"] = flags;
    out["indexes"].push_back(index);
  }
  return out;
}

}  // namespace tarvo::cli

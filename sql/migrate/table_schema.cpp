#include "sql/migrate/table_schema.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <limits>

#include "engine/format/field_messages.h"
#include "engine/format/field_types.h"
#include "engine/format/record_layout.h"
#include "engine/format/value_text.h"
#include "engine/tables/data_cursor.h"
#include "sql/sql_values.h"
#include "support/code_page.h"

namespace tarvo::sql {

namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// PostgreSQL's reserved key words, which no bare column or table name may be.
// clang-format off
constexpr std::array<std::string_view, 97> kPostgresReserved = {
    "all", "analyse", "analyze", "and", "any", "array", "as", "asc", "asymmetric", "authorization", "binary",
    "both", "case", "cast", "check", "collate", "collation", "column", "concurrently", "constraint", "create",
    "cross", "current_catalog", "current_date", "current_role", "current_schema", "current_time",
    "current_timestamp", "current_user", "default", "deferrable", "desc", "distinct", "do", "else", "end",
    "except", "false", "fetch", "for", "foreign", "freeze", "from", "full", "grant", "group", "having",
    "ilike", "in", "initially", "inner", "intersect", "into", "is", "isnull", "join", "lateral", "leading",
    "left", "like", "limit", "localtime", "localtimestamp", "natural", "not", "notnull", "null", "offset",
    "on", "only", "or", "order", "outer", "overlaps", "placing", "primary", "references", "returning",
    "right", "select", "session_user", "similar", "some", "symmetric", "system_user", "table", "tablesample",
    "then", "to", "trailing", "true", "union", "unique", "user", "using", "variadic", "verbose"};
// clang-format on

bool IsBareIdentifier(std::string_view name, TSqlDialect dialect) {
  if (name.empty()) return false;
  const auto first = static_cast<unsigned char>(name[0]);
  if (!(std::isalpha(first) || first == '_')) return false;
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (!(std::isalnum(u) || u == '_')) return false;
    // PostgreSQL folds bare names to lower case.
    if (dialect == TSqlDialect::kPostgresql && std::isupper(u)) return false;
  }
  if (dialect == TSqlDialect::kSqlite) {
    return sqlite3_keyword_check(name.data(), static_cast<int>(name.size())) == 0;
  }
  return std::find(kPostgresReserved.begin(), kPostgresReserved.end(), Lower(name)) ==
         kPostgresReserved.end();
}

bool IsTextField(const TFieldDescriptor& d) {
  return d.FieldType == kTypeText;
}

// The literal of a value text for the field, in the form its column holds; nothing when the text
// gives no value.
std::optional<std::string> ValueLiteral(const TFieldDescriptor& d, const std::string& text,
                                        TLanguageId language, TSqlDialect dialect) {
  if (text.empty()) return std::nullopt;
  const auto value = ParseValueText(d.FieldType, d.FieldSubType, d.FieldSize, d.FieldDecimals, text);
  if (!value) return std::nullopt;
  switch (d.FieldType) {
    case kTypeText: return QuoteText(CodePageToUtf8(std::get<std::string>(*value), language));
    case kTypeDate:
      return QuoteText(FormatDateText(static_cast<std::int32_t>(std::get<std::int64_t>(*value))));
    case kTypeTime:
      return QuoteText(FormatTimeText(static_cast<std::int32_t>(std::get<std::int64_t>(*value))));
    case kTypeDateTime: {
      std::string iso = FormatDateTimeText(std::get<double>(*value));
      std::replace(iso.begin(), iso.end(), 'T', ' ');
      return QuoteText(iso);
    }
    case kTypeBoolean: {
      const bool on = std::get<std::int64_t>(*value) != 0;
      if (dialect == TSqlDialect::kPostgresql) return std::string(on ? "TRUE" : "FALSE");
      return std::string(on ? "1" : "0");
    }
    case kTypeFixed: return FormatFixedText(std::get<std::int64_t>(*value), 4);
    case kTypeFloat:
    case kTypeExtended: return FormatFloatText(std::get<double>(*value));
    case kTypeInt16:
    case kTypeInt32:
    case kTypeUInt16:
    case kTypeUInt32: return std::to_string(std::get<std::int64_t>(*value));
    default: return std::nullopt;
  }
}

// Whether SQL compares the column's values as the engine compares the field's: numbers, dates,
// times and booleans (text compares under the table's locale).
bool HasComparableLimits(const TFieldDescriptor& d) {
  switch (d.FieldType) {
    case kTypeDate:
    case kTypeTime:
    case kTypeDateTime:
    case kTypeBoolean:
    case kTypeFloat:
    case kTypeExtended:
    case kTypeInt16:
    case kTypeInt32:
    case kTypeUInt16:
    case kTypeUInt32: return true;
    default: return false;
  }
}

bool IsNotNull(const TFieldDescriptor& d) {
  return d.Required != 0 || IsAutoIncrement(d.FieldType, d.FieldSubType);
}

const TSqlIndex* PrimaryIndex(const TTableSchema& schema) {
  return !schema.indexes.empty() && schema.indexes.front().primary ? &schema.indexes.front() : nullptr;
}

bool HasCaseInsensitiveText(const TTableSchema& schema, const TSqlIndex& index) {
  if (!index.case_insensitive) return false;
  return std::any_of(index.fields.begin(), index.fields.end(),
                     [&](int f) { return IsTextField(schema.fields[static_cast<std::size_t>(f)]); });
}

// The key columns of an index: "a", "b" DESC, "c" COLLATE NOCASE (SQLite) or lower("c")
// (PostgreSQL).
std::string KeyColumns(const TTableSchema& schema, const TSqlIndex& index, TSqlDialect dialect,
                       bool with_order) {
  std::string out;
  for (std::size_t i = 0; i < index.fields.size(); ++i) {
    const auto f = static_cast<std::size_t>(index.fields[i]);
    if (i > 0) out += ", ";
    const std::string column = QuoteIdentifier(schema.columns[f], dialect);
    const bool fold = index.case_insensitive && IsTextField(schema.fields[f]);
    if (fold && dialect == TSqlDialect::kPostgresql) {
      out += "lower(" + column + ")";
    } else {
      out += column;
      if (fold) out += " COLLATE NOCASE";
    }
    if (with_order && index.descending[i]) out += " DESC";
  }
  return out;
}

}  // namespace

std::optional<TSqlDialect> ParseDialect(std::string_view text) {
  const std::string lower = Lower(text);
  if (lower == "sqlite") return TSqlDialect::kSqlite;
  if (lower == "postgresql" || lower == "postgres") return TSqlDialect::kPostgresql;
  return std::nullopt;
}

std::string QuoteIdentifier(std::string_view name, TSqlDialect dialect) {
  if (IsBareIdentifier(name, dialect)) return std::string(name);
  std::string out = "\"";
  for (const char c : name) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

std::string QuoteText(std::string_view text) {
  std::string out = "'";
  for (const char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

std::string ColumnType(const TFieldDescriptor& d, TSqlDialect dialect) {
  if (dialect == TSqlDialect::kSqlite) {
    // A NUMERIC column turns every value into a double, which keeps 15 digits; a column without
    // a type keeps each fixed-point value as it comes (INTEGER, REAL or exact decimal TEXT).
    if (d.FieldType == kTypeFixed) {
      return "/* NUMERIC(" + std::to_string(15 + d.FieldDecimals) + "," + std::to_string(d.FieldDecimals) +
             ") */";
    }
    return SqlTypeName(d);
  }
  switch (d.FieldType) {
    case kTypeText: return "VARCHAR(" + std::to_string(d.FieldSize) + ")";
    case kTypeDate: return "DATE";
    case kTypeBlob: return IsTextBlob(d) ? "TEXT" : "BYTEA";
    case kTypeBoolean: return "BOOLEAN";
    case kTypeInt16: return "SMALLINT";
    case kTypeInt32:
    case kTypeUInt16: return "INTEGER";
    case kTypeUInt32: return "BIGINT";
    case kTypeFloat:
    case kTypeExtended: return "DOUBLE PRECISION";
    // The value is kept x 10,000 in 64 bits: at most 15 digits before the point.
    case kTypeFixed:
      return "NUMERIC(" + std::to_string(15 + d.FieldDecimals) + "," + std::to_string(d.FieldDecimals) + ")";
    case kTypeTime: return "TIME(3)";
    case kTypeDateTime: return "TIMESTAMP(3)";
    default: return "BYTEA";
  }
}

TTableSchema SchemaOf(const std::string& table, const std::vector<TFieldDescriptor>& fields,
                      const TIndexHeader& indexes, TLanguageId language, std::int32_t last_auto_increment) {
  TTableSchema schema;
  schema.table = table;
  schema.fields = fields;
  schema.columns = Utf8FieldNames(fields, language);
  schema.language = language;
  schema.last_auto_increment = last_auto_increment;
  auto position = [&](std::uint16_t number) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].FieldNumber == number) return static_cast<int>(i);
    }
    return -1;
  };
  auto add = [&](const TIndexDescriptor& d, bool primary) {
    TSqlIndex index;
    index.primary = primary;
    index.name = primary ? std::string() : CodePageToUtf8(d.name, language);
    index.unique = primary || d.unique != 0;
    index.case_insensitive = d.case_insensitive != 0;
    for (int i = 0; i < d.field_count && i < kMaxKeyFields; ++i) {
      const int at = position(d.field_numbers[static_cast<std::size_t>(i)]);
      if (at < 0) continue;
      index.fields.push_back(at);
      index.descending.push_back(d.descending != 0 || d.field_descending[static_cast<std::size_t>(i)] != 0);
    }
    if (!index.fields.empty()) schema.indexes.push_back(std::move(index));
  };
  if (indexes.no_primary == 0) add(indexes.slots[kPrimarySlot], true);
  for (int slot = 1; slot <= indexes.secondary_count && slot <= kMaxSecondaryIndexes; ++slot) {
    add(indexes.slots[static_cast<std::size_t>(slot)], false);
  }
  return schema;
}

TTableSchema SchemaOf(TDataCursor& cursor) {
  TDataTable& table = cursor.Table();
  const std::string name = std::filesystem::path(table.TableName()).stem().string();
  return SchemaOf(name, cursor.Descriptors(), table.IndexFile().Header(), cursor.LanguageID(),
                  cursor.LastAutoIncrement());
}

bool HasPrimaryKeyClause(const TTableSchema& schema, TSqlDialect dialect) {
  const TSqlIndex* primary = PrimaryIndex(schema);
  if (primary == nullptr) return false;
  for (const int f : primary->fields) {
    if (!IsNotNull(schema.fields[static_cast<std::size_t>(f)])) return false;
  }
  return dialect == TSqlDialect::kSqlite || !HasCaseInsensitiveText(schema, *primary);
}

std::string CreateTableStatement(const TTableSchema& schema, TSqlDialect dialect) {
  std::string out = "CREATE TABLE " + QuoteIdentifier(schema.table, dialect) + " (";
  for (std::size_t i = 0; i < schema.fields.size(); ++i) {
    const TFieldDescriptor& d = schema.fields[i];
    const std::string column = QuoteIdentifier(schema.columns[i], dialect);
    out += i == 0 ? "\n  " : ",\n  ";
    out += column + " " + ColumnType(d, dialect);
    if (IsAutoIncrement(d.FieldType, d.FieldSubType) && dialect == TSqlDialect::kPostgresql) {
      // The engine hands out the value after the last one, starting again at 1 after the largest.
      const std::int64_t next = schema.last_auto_increment < std::numeric_limits<std::int32_t>::max()
                                    ? std::int64_t{schema.last_auto_increment} + 1
                                    : 1;
      out += " GENERATED BY DEFAULT AS IDENTITY (START WITH " +
             std::to_string(std::max<std::int64_t>(next, 1)) + ")";
    }
    if (IsNotNull(d)) out += " NOT NULL";
    if (auto literal = ValueLiteral(d, d.DefaultValue, schema.language, dialect))
      out += " DEFAULT " + *literal;
    if (HasComparableLimits(d)) {
      const auto min = ValueLiteral(d, d.MinValue, schema.language, dialect);
      const auto max = ValueLiteral(d, d.MaxValue, schema.language, dialect);
      if (min && max) {
        out += " CHECK (" + column + " BETWEEN " + *min + " AND " + *max + ")";
      } else if (min) {
        out += " CHECK (" + column + " >= " + *min + ")";
      } else if (max) {
        out += " CHECK (" + column + " <= " + *max + ")";
      }
    }
  }
  if (HasPrimaryKeyClause(schema, dialect)) {
    out += ",\n  PRIMARY KEY (" +
           KeyColumns(schema, *PrimaryIndex(schema), dialect, dialect == TSqlDialect::kSqlite) + ")";
  }
  return out + "\n);";
}

std::vector<std::string> IndexStatements(const TTableSchema& schema, TSqlDialect dialect) {
  std::vector<std::string> statements;
  const bool primary_key = HasPrimaryKeyClause(schema, dialect);
  for (const TSqlIndex& index : schema.indexes) {
    if (index.primary && primary_key) continue;
    const std::string name = schema.table + "_" + (index.primary ? std::string("primary") : index.name);
    statements.push_back(std::string(index.unique ? "CREATE UNIQUE INDEX " : "CREATE INDEX ") +
                         QuoteIdentifier(name, dialect) + " ON " + QuoteIdentifier(schema.table, dialect) +
                         " (" + KeyColumns(schema, index, dialect, true) + ");");
  }
  return statements;
}

std::string SchemaScript(const TTableSchema& schema, TSqlDialect dialect) {
  std::string out = CreateTableStatement(schema, dialect) + "\n";
  for (const std::string& statement : IndexStatements(schema, dialect)) out += statement + "\n";
  return out;
}

}  // namespace tarvo::sql

#include "sql/migrate/value_literals.h"

#include <cmath>

#include "engine/format/field_types.h"
#include "engine/format/value_text.h"

namespace tarvo::sql {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void AppendHex(std::string& out, const TSqlBytes& bytes) {
  out.reserve(out.size() + 2 * bytes.size());
  for (const std::byte b : bytes) {
    const auto u = static_cast<unsigned>(b);
    out += kHexDigits[u >> 4];
    out += kHexDigits[u & 0xF];
  }
}

// A double that SQL reads back as the same double; infinities and NaN in the dialect's form.
std::string DoubleLiteral(double value, TSqlDialect dialect) {
  if (std::isfinite(value)) return FormatFloatText(value);
  if (dialect == TSqlDialect::kPostgresql) {
    return std::isnan(value) ? "'NaN'" : value > 0 ? "'Infinity'" : "'-Infinity'";
  }
  // SQLite keeps no NaN (it stores NULL for one); a literal beyond the double range is infinite.
  return std::isnan(value) ? "NULL" : value > 0 ? "9e999" : "-9e999";
}

}  // namespace

std::string SqlLiteral(const TSqlValue& value, const TFieldDescriptor& field, TSqlDialect dialect) {
  if (std::holds_alternative<std::monostate>(value)) return "NULL";
  if (const auto* number = std::get_if<std::int64_t>(&value)) {
    if (field.FieldType == kTypeBoolean && dialect == TSqlDialect::kPostgresql)
      return *number != 0 ? "TRUE" : "FALSE";
    return std::to_string(*number);
  }
  if (const auto* real = std::get_if<double>(&value)) return DoubleLiteral(*real, dialect);
  if (const auto* text = std::get_if<std::string>(&value)) return QuoteText(*text);
  const auto& bytes = std::get<TSqlBytes>(value);
  std::string out = dialect == TSqlDialect::kSqlite ? "X'" : "'\\x";
  AppendHex(out, bytes);
  out += '\'';
  if (dialect == TSqlDialect::kPostgresql) out += "::bytea";
  return out;
}

std::string InsertStatement(const TTableSchema& schema, std::span<const TSqlValue> values,
                            TSqlDialect dialect) {
  std::string out = "INSERT INTO " + QuoteIdentifier(schema.table, dialect) + " VALUES (";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ", ";
    out += SqlLiteral(values[i], schema.fields[i], dialect);
  }
  return out + ");";
}

std::string CsvText(const TSqlValue& value) {
  if (std::holds_alternative<std::monostate>(value)) return {};
  if (const auto* number = std::get_if<std::int64_t>(&value)) return std::to_string(*number);
  if (const auto* real = std::get_if<double>(&value)) {
    if (std::isfinite(*real)) return FormatFloatText(*real);
    return std::isnan(*real) ? "NaN" : *real > 0 ? "Infinity" : "-Infinity";
  }
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  std::string out = "\\x";
  AppendHex(out, std::get<TSqlBytes>(value));
  return out;
}

namespace {

void AppendCsvField(std::string& out, const std::string& text, bool null) {
  if (null) return;
  const bool quote = text.empty() || text.find_first_of(",\"\r\n") != std::string::npos;
  if (!quote) {
    out += text;
    return;
  }
  out += '"';
  for (const char c : text) {
    out += c;
    if (c == '"') out += '"';
  }
  out += '"';
}

}  // namespace

void AppendCsvRecord(std::string& out, std::span<const TSqlValue> values) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ',';
    AppendCsvField(out, CsvText(values[i]), std::holds_alternative<std::monostate>(values[i]));
  }
  out += "\r\n";
}

void AppendCsvHeader(std::string& out, std::span<const std::string> names) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += ',';
    AppendCsvField(out, names[i], false);
  }
  out += "\r\n";
}

}  // namespace tarvo::sql

#include "cli/sql_output.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include "cli/record_json.h"
#include "sql/migrate/value_literals.h"
#include "sql/sql_values.h"

namespace tarvo::cli {

namespace {

using sql::AppendCsvHeader;
using sql::AppendCsvRecord;
using sql::CsvText;
using sql::TSqlBytes;
using sql::TSqlValue;

// The column's value as the value mapping holds it.
TSqlValue ColumnValue(sqlite3_stmt* statement, int column) {
  switch (sqlite3_column_type(statement, column)) {
    case SQLITE_INTEGER:
      return static_cast<std::int64_t>(sqlite3_column_int64(statement, column));
    case SQLITE_FLOAT:
      return sqlite3_column_double(statement, column);
    case SQLITE_TEXT: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
      return std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, column)));
    }
    case SQLITE_BLOB: {
      const auto* data = static_cast<const std::byte*>(sqlite3_column_blob(statement, column));
      return TSqlBytes(data, data + sqlite3_column_bytes(statement, column));
    }
    default:
      return std::monostate{};
  }
}

std::vector<TSqlValue> RowValues(sqlite3_stmt* statement) {
  std::vector<TSqlValue> values;
  for (int i = 0; i < sqlite3_column_count(statement); ++i) values.push_back(ColumnValue(statement, i));
  return values;
}

std::string JsonString(std::string_view text) {
  return nlohmann::json(std::string(text)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string JsonValue(const TSqlValue& value) {
  if (std::holds_alternative<std::monostate>(value)) return "null";
  if (const auto* number = std::get_if<std::int64_t>(&value)) return std::to_string(*number);
  if (const auto* real = std::get_if<double>(&value)) return nlohmann::json(*real).dump();
  if (const auto* text = std::get_if<std::string>(&value)) return JsonString(*text);
  return "{\"b64\": " + JsonString(EncodeBase64(std::get<TSqlBytes>(value))) + "}";
}

std::vector<std::string> ColumnNames(sqlite3_stmt* statement) {
  std::vector<std::string> names;
  for (int i = 0; i < sqlite3_column_count(statement); ++i) {
    const char* name = sqlite3_column_name(statement, i);
    names.emplace_back(name == nullptr ? "" : name);
  }
  return names;
}

// Columns a terminal gives `text`: none for combining marks and format characters, two for wide
// East Asian characters, one for the rest (a byte that is not UTF-8 included).
std::size_t DisplayWidth(std::string_view text) {
  std::size_t width = 0;
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  for (std::int32_t i = 0; i < length;) {
    UChar32 c = 0;
    U8_NEXT(s, i, length, c);
    if (c < 0) {
      ++width;
      continue;
    }
    const std::int32_t category = U_GET_GC_MASK(c);
    if ((category & (U_GC_MN_MASK | U_GC_ME_MASK | U_GC_CF_MASK)) != 0) continue;
    const auto east_asian = u_getIntPropertyValue(c, UCHAR_EAST_ASIAN_WIDTH);
    width += east_asian == U_EA_WIDE || east_asian == U_EA_FULLWIDTH ? 2 : 1;
  }
  return width;
}

// Text with its control characters written as escapes, so that a cell stays on its line.
std::string EscapeControls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u != 0x7F) {
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      static constexpr char kDigits[] = "0123456789abcdef";
      out += "\\x";
      out += kDigits[u >> 4];
      out += kDigits[u & 15];
    }
  }
  return out;
}

class TTableWriter : public TSqlResultWriter {
 public:
  explicit TTableWriter(std::ostream& out) : out_(out) {}

  void Begin(sqlite3_stmt* statement) override {
    if (sets_++ > 0) out_ << "\n";
    header_.clear();
    for (const std::string& name : ColumnNames(statement)) header_.push_back(EscapeControls(name));
    rows_.clear();
  }

  void Row(sqlite3_stmt* statement) override {
    std::vector<TCell> row;
    for (const TSqlValue& value : RowValues(statement)) {
      const bool number = std::holds_alternative<std::int64_t>(value) || std::holds_alternative<double>(value);
      row.push_back({EscapeControls(CsvText(value)), number});
    }
    rows_.push_back(std::move(row));
  }

  void End() override {
    std::vector<std::size_t> widths;
    for (const std::string& name : header_) widths.push_back(DisplayWidth(name));
    for (const auto& row : rows_) {
      for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], DisplayWidth(row[i].text));
    }
    std::vector<TCell> rule;
    std::vector<TCell> names;
    for (std::size_t i = 0; i < header_.size(); ++i) {
      names.push_back({header_[i], false});
      rule.push_back({std::string(widths[i], '-'), false});
    }
    WriteLine(names, widths);
    WriteLine(rule, widths);
    for (const auto& row : rows_) WriteLine(row, widths);
    rows_.clear();
  }

 private:
  struct TCell {
    std::string text;
    bool right = false;  // numbers stand to the right
  };

  void WriteLine(const std::vector<TCell>& cells, const std::vector<std::size_t>& widths) {
    std::string line;
    for (std::size_t i = 0; i < cells.size(); ++i) {
      if (i > 0) line += "  ";
      const std::string padding(widths[i] - DisplayWidth(cells[i].text), ' ');
      const bool last = i + 1 == cells.size();
      if (cells[i].right) line += padding;
      line += cells[i].text;
      if (!cells[i].right && !last) line += padding;
    }
    out_ << line << "\n";
  }

  std::ostream& out_;
  int sets_ = 0;
  std::vector<std::string> header_;
  std::vector<std::vector<TCell>> rows_;
};

class TCsvWriter : public TSqlResultWriter {
 public:
  explicit TCsvWriter(std::ostream& out) : out_(out) {}

  void Begin(sqlite3_stmt* statement) override {
    std::string line;
    AppendCsvHeader(line, ColumnNames(statement));
    out_ << line;
  }

  void Row(sqlite3_stmt* statement) override {
    std::string line;
    AppendCsvRecord(line, RowValues(statement));
    out_ << line;
  }

  void End() override {}

 private:
  std::ostream& out_;
};

class TJsonWriter : public TSqlResultWriter {
 public:
  TJsonWriter(std::ostream& out, bool lines) : out_(out), lines_(lines) {}

  void Begin(sqlite3_stmt* statement) override {
    keys_.clear();
    for (const std::string& name : ColumnNames(statement)) keys_.push_back(JsonString(name));
    rows_ = 0;
    if (!lines_) out_ << "[";
  }

  void Row(sqlite3_stmt* statement) override {
    if (!lines_) out_ << (rows_ > 0 ? ",\n" : "\n");
    ++rows_;
    out_ << "{";
    const std::vector<TSqlValue> values = RowValues(statement);
    for (std::size_t i = 0; i < keys_.size(); ++i) {
      if (i > 0) out_ << ", ";
      out_ << keys_[i] << ": " << JsonValue(values[i]);
    }
    out_ << "}";
    if (lines_) out_ << "\n";
  }

  void End() override {
    if (!lines_) out_ << (rows_ > 0 ? "\n]\n" : "]\n");
  }

 private:
  std::ostream& out_;
  bool lines_;
  std::vector<std::string> keys_;
  std::int64_t rows_ = 0;
};

}  // namespace

std::optional<TSqlFormat> SqlFormatByName(const std::string& name) {
  if (name == "table") return TSqlFormat::kTable;
  if (name == "csv") return TSqlFormat::kCsv;
  if (name == "json") return TSqlFormat::kJson;
  if (name == "jsonl") return TSqlFormat::kJsonl;
  return std::nullopt;
}

std::unique_ptr<TSqlResultWriter> MakeSqlResultWriter(TSqlFormat format, std::ostream& out) {
  switch (format) {
    case TSqlFormat::kCsv:
      return std::make_unique<TCsvWriter>(out);
    case TSqlFormat::kJson:
      return std::make_unique<TJsonWriter>(out, false);
    case TSqlFormat::kJsonl:
      return std::make_unique<TJsonWriter>(out, true);
    case TSqlFormat::kTable:
      break;
  }
  return std::make_unique<TTableWriter>(out);
}

}  // namespace tarvo::cli

// The tables that the way-out tests (schema, export, convert) carry into other databases, and their
// records as `tarvo export` gives them. MakeWayOutTables fills a directory with the fixtures and
// two generated tables, Alles (German, 1031) and Plain (language 0), each with every field type,
// NULLs, text beyond ASCII, blob values of many sizes and deleted slots. Values are compared in
// one text form per kind (TCanon), so that a value read back from SQLite, PostgreSQL or CSV can
// be set beside the export's.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace tarvo::testing {

void MakeWayOutTables(const std::filesystem::path& dir);
// Every table of MakeWayOutTables whose records `tarvo export` gives in full (Artikel's trees are
// lost: its export, which follows the primary index, gives none; its records come in slot order).
inline const std::vector<std::string> kWayOutTables = {"Alles", "Plain", "Kunden", "Notizen", "Journal"};
// The secondary indexes of two of them: "table_index[ unique]: column[ DESC][ NOCASE] ...".
inline const std::vector<std::pair<std::string, std::vector<std::string>>> kWayOutIndexes = {
    {"Alles",
     {"Alles_ByBornName: Born Name DESC", "Alles_ByCount unique: Count", "Alles_ByName: Name NOCASE",
      "Alles_Down: Small DESC W DESC"}},
    {"Kunden",
     {"Kunden_ByAmount: Amount Small DESC", "Kunden_ByBorn: Born DESC", "Kunden_ByCount unique: Count",
      "Kunden_ByName: Name NOCASE"}},
};

// A value in one comparable text form; nothing for NULL.
using TCanon = std::optional<std::string>;
using TRows = std::vector<std::vector<TCanon>>;

// What kind of value a column holds, from the export's JSON and the field's type name in `info`.
enum class TValueKind { kText, kNumber, kDecimal, kReal, kBoolean, kDateTime, kBytes };

TValueKind KindOf(const nlohmann::json& field);

struct TTableInfo {
  std::vector<std::string> columns;
  std::vector<TValueKind> kinds;
  nlohmann::json definition;
};

// The columns and their kinds from `tarvo info --json`.
TTableInfo InfoOf(const std::string& table);

std::string Hex(const std::string& bytes);
std::string FromBase64(const std::string& text);
// A decimal without trailing zeros of its fraction: "12.50" and "12.5" compare equal.
std::string Decimal(std::string text);
TCanon FromExport(const nlohmann::json& value, TValueKind kind);
TCanon FromCsv(const std::string& text, TValueKind kind);
TRows Sorted(TRows rows);
// The records of `tarvo export`, sorted.
TRows ExportRows(const std::string& table, const TTableInfo& info);
// Empty when the rows are equal, else the first difference, short enough to read.
std::string FirstDifference(const TRows& actual, const TRows& expected, const TTableInfo& info);

}  // namespace tarvo::testing

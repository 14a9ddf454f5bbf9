#include "tests/sql/sql_tables.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "engine/tables/data_cursor.h"
#include "tests/testing/run_cli.h"
#include "tests/testing/table_builder.h"

namespace tarvo::testing {

namespace {

// A fixed pseudo-random sequence, so that every run builds the same rows.
class TSequence {
 public:
  std::uint64_t Next(std::uint64_t bound) {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return (state_ >> 33) % bound;
  }

 private:
  std::uint64_t state_ = 20261208;
};

std::string TwoDigits(std::uint64_t n) {
  char text[8];
  std::snprintf(text, sizeof text, "%02u", static_cast<unsigned>(n % 100));
  return text;
}

std::string DateText(std::uint64_t year, std::uint64_t month, std::uint64_t day) {
  char text[16];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u", static_cast<unsigned>(year),
                static_cast<unsigned>(month), static_cast<unsigned>(day));
  return text;
}

std::string RandomDate(TSequence& random) {
  return DateText(1900 + random.Next(131), 1 + random.Next(12), 1 + random.Next(28));
}

std::string RandomTime(TSequence& random) {
  char text[16];
  std::snprintf(text, sizeof text, "%02u:%02u:%02u.%03u", static_cast<unsigned>(random.Next(24)),
                static_cast<unsigned>(random.Next(60)), static_cast<unsigned>(random.Next(60)),
                static_cast<unsigned>(random.Next(1000)));
  return text;
}

TBlob RandomBytes(TSequence& random, std::size_t size) {
  TBlob blob;
  for (std::size_t i = 0; i < size; ++i) blob.bytes += static_cast<char>(random.Next(256));
  return blob;
}

// The decimal text of a fixed-point value kept x 10,000, with `places` decimals (no rounding
// needed: the values here have no more).
std::string FixedText(std::int64_t scaled, int places) {
  const bool negative = scaled < 0;
  const std::uint64_t magnitude =
      negative ? 0 - static_cast<std::uint64_t>(scaled) : static_cast<std::uint64_t>(scaled);
  std::string fraction = std::to_string(magnitude % 10000);
  fraction.insert(0, 4 - fraction.size(), '0');
  return (negative ? "-" : "") + std::to_string(magnitude / 10000) + "." + fraction.substr(0, places);
}

// A fixed-point value as SQL shows it: INTEGER when whole, REAL below 10^11 (the double prints back
// as the same decimal), otherwise the exact decimal as TEXT.
TCell FixedCell(std::int64_t scaled) {
  if (scaled % 10000 == 0) return scaled / 10000;
  if (scaled > -1000000000000000 && scaled < 1000000000000000) return std::stod(FixedText(scaled, 4));
  std::string text = FixedText(scaled, 4);
  while (text.back() == '0') text.pop_back();
  return text;
}

std::string Base64(const std::string& bytes) {
  static const char* const kDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t group = static_cast<std::uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) group |= static_cast<std::uint8_t>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) group |= static_cast<std::uint8_t>(bytes[i + 2]);
    out += kDigits[group >> 18 & 63];
    out += kDigits[group >> 12 & 63];
    out += i + 1 < bytes.size() ? kDigits[group >> 6 & 63] : '=';
    out += i + 2 < bytes.size() ? kDigits[group & 63] : '=';
  }
  return out;
}

nlohmann::json JsonOf(const TCell& cell, TColumnKind kind) {
  if (std::holds_alternative<std::monostate>(cell)) return nullptr;
  switch (kind) {
    case TColumnKind::kBoolean: return std::get<std::int64_t>(cell) != 0;
    case TColumnKind::kBytes: return {{"b64", Base64(std::get<TBlob>(cell).bytes)}};
    case TColumnKind::kFixed:
      if (const auto* whole = std::get_if<std::int64_t>(&cell)) return std::to_string(*whole);
      if (const auto* real = std::get_if<double>(&cell)) return nlohmann::json(*real).dump();
      return std::get<std::string>(cell);
    default: break;
  }
  return std::visit(
      [](const auto& value) -> nlohmann::json {
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<T, std::monostate> || std::is_same_v<T, TBlob>) {
          return nullptr;
        } else {
          return value;
        }
      },
      cell);
}

// Texts in code page 1252: letter case outside ASCII, letters that sort elsewhere under a locale
// than in byte order, and bytes 0x80 to 0x9F (Š, Œ, €, Ÿ) that sort below Ä in the code page but
// above it in UTF-8.
const std::vector<std::string> kNames = {
    "Müller",   "müller",  "MÜLLER",  "Mueller", "Möller", "Özdemir", "Ärger",  "ärger",  "Zoë",
    "Ångström", "Straße",  "Strasse", "Éclair",  "ébène",  "Œuvre",   "Šimek",  "šimek",  "Žižek",
    "€uro",     "Ÿvonne",  "ÿvonne",  "Adams",   "adams",  "Baker",   "Zimmer", "zimmer", "a%b",
    "a_b",      "O'Brien", "Ñandú",   "Ünal",    "Ìmola",  "Meier",   "Maier",  "Mayer",  "Meyer"};
const std::vector<std::string> kCities = {"Berlin", "München",  "Köln",    "Düsseldorf", "Zürich",
                                          "Århus",  "Göteborg", "Šibenik", "Œuilly",     "Ærøskøbing",
                                          "Paris",  "paris",    "Ölberg",  "Zaandam",    "Aachen"};
// The plain table of regions by city that the joins use.
const std::vector<std::pair<std::string, std::string>> kRegions = {
    {"Berlin", "Ost"},       {"München", "Süd"},    {"Köln", "West"},
    {"Düsseldorf", "West"},  {"Zürich", "Schweiz"}, {"Aachen", "West"},
    {"Paris", "Frankreich"}, {"Ölberg", "Süd"},     {"Nirgendwo", "Keine"}};

std::string CustomerDefinition(int language) {
  nlohmann::ordered_json definition = {
      {"description", "Kunden"},
      {"language_id", language},
      {"sort_id", 0},
      {"fields",
       {{{"name", "ID"}, {"type", "autoinc"}},
        {{"name", "Name"}, {"type", "text"}, {"size", 24}},
        {{"name", "City"}, {"type", "text"}, {"size", 20}},
        {{"name", "Born"}, {"type", "date"}},
        {{"name", "Notes"}, {"type", "memo"}},
        {{"name", "Active"}, {"type", "boolean"}},
        {{"name", "Small"}, {"type", "smallint"}},
        {{"name", "Count"}, {"type", "integer"}},
        {{"name", "Amount"}, {"type", "float"}},
        {{"name", "Price"}, {"type", "money"}},
        {{"name", "Dec"}, {"type", "bcd"}, {"decimals", 2}},
        {{"name", "Raw"}, {"type", "bytes"}, {"size", 6}},
        {{"name", "At"}, {"type", "time"}},
        {{"name", "Stamp"}, {"type", "datetime"}},
        {{"name", "W"}, {"type", "word"}},
        {{"name", "U"}, {"type", "cardinal"}},
        {{"name", "VB"}, {"type", "varbytes"}, {"size", 10}},
        {{"name", "Pic"}, {"type", "graphic"}}}},
      {"primary", {"ID"}},
      {"indexes",
       {{{"name", "ByName"}, {"fields", {"Name"}}, {"case_insensitive", true}, {"compression", "full"}},
        {{"name", "ByCity"}, {"fields", {"City", "Name"}}},
        {{"name", "ByBorn"}, {"fields", {"Born"}}, {"descending", true}},
        {{"name", "ByCount"}, {"fields", {"Count"}}, {"unique", true}},
        {{"name", "ByAmount"}, {"fields", {"Amount"}}},
        {{"name", "ByStamp"}, {"fields", {"Active", "Stamp"}}, {"field_descending", {false, true}}},
        {{"name", "ByU"}, {"fields", {"U"}}},
        {{"name", "ByVB"}, {"fields", {"VB"}}}}}};
  return definition.dump();
}

}  // namespace

std::string CellText(const TCell& cell) {
  return std::visit(
      [](const auto& value) -> std::string {
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return "NULL";
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          return std::to_string(value);
        } else if constexpr (std::is_same_v<T, double>) {
          char text[32];
          std::snprintf(text, sizeof text, "%.17g", value);
          return std::string(text) + "r";
        } else if constexpr (std::is_same_v<T, std::string>) {
          return "'" + value + "'";
        } else {
          std::string hex = "x'";
          for (const char c : value.bytes) {
            char two[4];
            std::snprintf(two, sizeof two, "%02x", static_cast<unsigned>(static_cast<std::uint8_t>(c)));
            hex += two;
          }
          return hex + "'";
        }
      },
      cell);
}

std::string RowsText(const std::vector<TRow>& rows) {
  std::string text;
  for (const TRow& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) text += (i == 0 ? "" : "|") + CellText(row[i]);
    text += "\n";
  }
  return text;
}

std::string MissingRowsText(const std::vector<TRow>& ours, const std::vector<TRow>& theirs) {
  std::vector<TRow> only_ours;
  std::vector<TRow> only_theirs;
  std::set_difference(ours.begin(), ours.end(), theirs.begin(), theirs.end(), std::back_inserter(only_ours));
  std::set_difference(theirs.begin(), theirs.end(), ours.begin(), ours.end(),
                      std::back_inserter(only_theirs));
  return "only in Tarvo:\n" + RowsText(only_ours) + "only in plain:\n" + RowsText(only_theirs);
}

TSqlTable CustomerTable(const std::string& name, int language) {
  using K = TColumnKind;
  TSqlTable table;
  table.name = name;
  table.definition = CustomerDefinition(language);
  table.columns = {{"ID", K::kAutoInc, "INTEGER"},    {"Name", K::kText, "TEXT"},
                   {"City", K::kText, "TEXT"},        {"Born", K::kDate, "TEXT"},
                   {"Notes", K::kText, "TEXT"},       {"Active", K::kBoolean, "INTEGER"},
                   {"Small", K::kInteger, "INTEGER"}, {"Count", K::kInteger, "INTEGER"},
                   {"Amount", K::kReal, "REAL"},      {"Price", K::kReal, "REAL"},
                   {"Dec", K::kFixed, "BLOB"},        {"Raw", K::kBytes, "BLOB"},
                   {"At", K::kTime, "TEXT"},          {"Stamp", K::kDateTime, "TEXT"},
                   {"W", K::kInteger, "INTEGER"},     {"U", K::kInteger, "INTEGER"},
                   {"VB", K::kBytes, "BLOB"},         {"Pic", K::kBytes, "BLOB"}};
  TSequence random;
  const std::string long_note = [] {
    std::string text;
    for (int i = 0; i < 150; ++i) text += "Grüße aus Köln – Nr. " + std::to_string(i) + ". ";
    return text;
  }();
  for (std::int64_t i = 1; i <= 300; ++i) {
    TRow row(table.columns.size());
    const auto set = [&](std::size_t column, bool null, TCell value) {
      if (!null) row[column] = std::move(value);
    };
    set(0, false, 100 + 7 * i);
    set(1, i % 29 == 0, kNames[static_cast<std::size_t>(i * 13) % kNames.size()]);
    set(2, i % 19 == 0, kCities[static_cast<std::size_t>(i * 7 + i / 15) % kCities.size()]);
    std::string born = RandomDate(random);
    if (i == 1) born = "0001-01-01";
    if (i == 2) born = "9999-12-31";
    set(3, i % 17 == 0, born);
    set(4, i % 5 == 0, i % 7 == 0 ? long_note : "Notiz " + std::to_string(i) + " – äöü");
    set(5, i % 13 == 0, std::int64_t{i % 3 != 0});
    std::int64_t small = static_cast<std::int64_t>(random.Next(65536)) - 32768;
    if (i == 3) small = -32768;
    if (i == 4) small = 32767;
    set(6, i % 23 == 0, small);
    set(7, i == 150, (i * 37) % 1009 - 500);
    double amount = (static_cast<double>(random.Next(2000001)) - 1000000.0) / 16.0;
    if (i == 5) amount = 1e300;
    if (i == 6) amount = -2.5e-300;
    if (i == 9) amount = -0.0;
    if (i == 10) amount = 0.0;
    set(8, i % 31 == 0, amount);
    set(9, i % 37 == 0, static_cast<double>(random.Next(1000000)) / 100.0);
    std::int64_t dec = (static_cast<std::int64_t>(random.Next(20000001)) - 10000000) * 100;
    if (i == 7) dec = 9223372036854775800;  // 922337203685477.58: more digits than a double holds
    if (i == 8) dec = 10000;                // 1.00
    set(10, i % 41 == 0, FixedCell(dec));
    TBlob raw = RandomBytes(random, 6);
    if (i == 11) raw.bytes = std::string("\x7f\0\0\0\0\0", 6);
    set(11, i % 43 == 0, raw);
    set(12, i % 47 == 0, RandomTime(random));
    set(13, i % 53 == 0, RandomDate(random) + " " + RandomTime(random));
    set(14, false, static_cast<std::int64_t>(random.Next(65536)));
    set(15, false, i == 8 ? std::int64_t{4294967295} : static_cast<std::int64_t>(random.Next(4294967296)));
    // Variable bytes keep no length: a shorter value reads back with zeros up to the field's size.
    TBlob variable = RandomBytes(random, 1 + static_cast<std::size_t>(i % 10));
    if (i == 11) variable.bytes = "\x80";
    variable.bytes.resize(10, '\0');
    set(16, i % 59 == 0, variable);
    if (i % 4 == 0)
      set(17, false, RandomBytes(random, i == 12 ? 6000 : 1 + static_cast<std::size_t>(i * 37 % 3000)));
    table.rows.push_back(std::move(row));
    if (i % 11 == 5) table.deleted_slots.push_back(static_cast<std::int32_t>(i));
  }
  return table;
}

TSqlTable OrderTable(const std::string& name) {
  using K = TColumnKind;
  TSqlTable table;
  table.name = name;
  nlohmann::ordered_json definition = {{"description", "Bestellungen"},
                                       {"language_id", 1031},
                                       {"fields",
                                        {{{"name", "OrderID"}, {"type", "autoinc"}},
                                         {{"name", "KundeID"}, {"type", "integer"}},
                                         {{"name", "Day"}, {"type", "date"}},
                                         {{"name", "Total"}, {"type", "money"}},
                                         {{"name", "Note"}, {"type", "text"}, {"size", 30}}}},
                                       {"primary", {"OrderID"}},
                                       {"indexes",
                                        {{{"name", "ByKunde"}, {"fields", {"KundeID", "Day"}}},
                                         {{"name", "ByDay"}, {"fields", {"Day"}}, {"descending", true}}}}};
  table.definition = definition.dump();
  table.columns = {{"OrderID", K::kAutoInc, "INTEGER"},
                   {"KundeID", K::kInteger, "INTEGER"},
                   {"Day", K::kDate, "TEXT"},
                   {"Total", K::kReal, "REAL"},
                   {"Note", K::kText, "TEXT"}};
  TSequence random;
  for (std::int64_t j = 1; j <= 200; ++j) {
    TRow row(table.columns.size());
    row[0] = 5000 + j;
    if (j % 25 != 0) row[1] = 100 + 7 * ((j * 53) % 150);
    row[2] = DateText(2020 + random.Next(6), 1 + random.Next(12), 1 + random.Next(28));
    row[3] = static_cast<double>(random.Next(100000)) / 100.0;
    if (j % 6 != 0)
      row[4] = "Lieferung " + TwoDigits(static_cast<std::uint64_t>(j)) + (j % 4 == 0 ? " für Köln" : "");
    table.rows.push_back(std::move(row));
    if (j % 9 == 4) table.deleted_slots.push_back(static_cast<std::int32_t>(j));
  }
  return table;
}

TSqlTable RegionTable(const std::string& name) {
  TSqlTable table;
  table.name = name;
  table.columns = {{"City", TColumnKind::kText, "TEXT"}, {"Region", TColumnKind::kText, "TEXT"}};
  for (const auto& [city, region] : kRegions) table.rows.push_back({city, region});
  return table;
}

void CreateTarvoTable(const std::string& dir, const TSqlTable& table) {
  const std::string folder = dir.ends_with('/') ? dir : dir + "/";
  const std::string data_file = folder + table.name + ".DAT";
  {
    std::ofstream definition(folder + table.name + ".json");
    definition << table.definition;
    std::ofstream rows(folder + table.name + ".jsonl");
    for (const TRow& row : table.rows) {
      nlohmann::ordered_json object = nlohmann::ordered_json::object();
      for (std::size_t i = 0; i < table.columns.size(); ++i) {
        object[table.columns[i].name] = JsonOf(row[i], table.columns[i].kind);
      }
      rows << object.dump() << "\n";
    }
  }
  const TCliResult created = RunCli({"create", data_file, "--definition", folder + table.name + ".json"});
  if (created.status != 0) throw std::runtime_error("tarvo create " + table.name + ": " + created.err);
  const TCliResult imported = RunCli({"import", data_file, folder + table.name + ".jsonl"});
  if (imported.status != 0) throw std::runtime_error("tarvo import " + table.name + ": " + imported.err);
  std::remove((folder + table.name + ".json").c_str());
  std::remove((folder + table.name + ".jsonl").c_str());
  if (table.deleted_slots.empty()) return;
  TTestEngine engine(folder);
  TDataCursor cursor(*engine.session, *engine.directory);
  TCursorOpenOptions options;
  options.table_name = table.name;
  cursor.Open(options);
  for (const std::int32_t slot : table.deleted_slots) {
    if (!cursor.GoToSlot(slot)) throw std::runtime_error("no record in slot " + std::to_string(slot));
    const std::vector<std::byte> seen = cursor.CurrentRecord();
    cursor.DeleteRecord(seen, false);
  }
}

void CreatePlainTable(sqlite3* db, const TSqlTable& table) {
  std::string create = "CREATE TABLE \"" + table.name + "\"(";
  std::string insert = "INSERT INTO \"" + table.name + "\"(rowid";
  std::string marks = "?";
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    create += (i == 0 ? "" : ", ") + table.columns[i].name + " " + table.columns[i].sql_type;
    insert += ", " + table.columns[i].name;
    marks += ", ?";
  }
  const std::string error = Execute(db, create + ")");
  if (!error.empty()) throw std::runtime_error(error);
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, (insert + ") VALUES(" + marks + ")").c_str(), -1, &statement, nullptr) !=
      SQLITE_OK) {
    throw std::runtime_error(sqlite3_errmsg(db));
  }
  for (std::size_t r = 0; r < table.rows.size(); ++r) {
    const auto slot = static_cast<std::int32_t>(r + 1);
    if (std::find(table.deleted_slots.begin(), table.deleted_slots.end(), slot) != table.deleted_slots.end())
      continue;
    sqlite3_reset(statement);
    sqlite3_bind_int64(statement, 1, slot);
    for (std::size_t i = 0; i < table.columns.size(); ++i) {
      const int at = static_cast<int>(i) + 2;
      const TCell& cell = table.rows[r][i];
      if (const auto* whole = std::get_if<std::int64_t>(&cell)) sqlite3_bind_int64(statement, at, *whole);
      if (const auto* real = std::get_if<double>(&cell)) sqlite3_bind_double(statement, at, *real);
      if (const auto* text = std::get_if<std::string>(&cell)) {
        sqlite3_bind_text(statement, at, text->data(), static_cast<int>(text->size()), SQLITE_TRANSIENT);
      }
      if (const auto* blob = std::get_if<TBlob>(&cell)) {
        sqlite3_bind_blob(statement, at, blob->bytes.data(), static_cast<int>(blob->bytes.size()),
                          SQLITE_TRANSIENT);
      }
      if (std::holds_alternative<std::monostate>(cell)) sqlite3_bind_null(statement, at);
    }
    if (sqlite3_step(statement) != SQLITE_DONE) {
      const std::string message = sqlite3_errmsg(db);
      sqlite3_finalize(statement);
      throw std::runtime_error(message);
    }
  }
  sqlite3_finalize(statement);
}

std::vector<TRow> QueryRows(sqlite3* db, const std::string& sql, std::string* error) {
  std::vector<TRow> rows;
  const char* rest = sql.c_str();
  while (rest != nullptr && *rest != '\0') {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, rest, -1, &statement, &rest) != SQLITE_OK) {
      if (error != nullptr) *error = sqlite3_errmsg(db);
      return {};
    }
    if (statement == nullptr) break;  // only blanks or a comment were left
    rows.clear();
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
      TRow row;
      for (int i = 0; i < sqlite3_column_count(statement); ++i) {
        switch (sqlite3_column_type(statement, i)) {
          case SQLITE_INTEGER: row.emplace_back(std::int64_t{sqlite3_column_int64(statement, i)}); break;
          case SQLITE_FLOAT: row.emplace_back(sqlite3_column_double(statement, i)); break;
          case SQLITE_TEXT:
            row.emplace_back(std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, i)),
                                         static_cast<std::size_t>(sqlite3_column_bytes(statement, i))));
            break;
          case SQLITE_BLOB: {
            const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, i));
            row.emplace_back(
                TBlob{std::string(bytes, static_cast<std::size_t>(sqlite3_column_bytes(statement, i)))});
            break;
          }
          default: row.emplace_back(std::monostate{}); break;
        }
      }
      rows.push_back(std::move(row));
    }
    if (step != SQLITE_DONE) {
      if (error != nullptr) *error = sqlite3_errmsg(db);
      sqlite3_finalize(statement);
      return {};
    }
    sqlite3_finalize(statement);
  }
  if (error != nullptr) error->clear();
  return rows;
}

std::string Execute(sqlite3* db, const std::string& sql) {
  std::string error;
  QueryRows(db, sql, &error);
  return error;
}

std::string QueryPlan(sqlite3* db, const std::string& sql) {
  std::string error;
  const std::vector<TRow> rows = QueryRows(db, "EXPLAIN QUERY PLAN " + sql, &error);
  if (!error.empty()) return "error: " + error;
  std::string plan;
  for (const TRow& row : rows) {
    if (row.size() >= 4 && std::holds_alternative<std::string>(row[3]))
      plan += std::get<std::string>(row[3]) + "\n";
  }
  return plan;
}

}  // namespace tarvo::testing

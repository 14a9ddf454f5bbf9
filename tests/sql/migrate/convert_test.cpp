// The way out of the tables: `tarvo schema`, `tarvo export --format csv|sql` and `tarvo convert`
// to SQLite, on every fixture and on two generated tables with every field type, NULLs, text
// beyond ASCII (language 0 and German), blob values of many sizes and deleted slots. Every value
// that arrives is compared with `tarvo export` of the source.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "engine/format/field_types.h"
#include "engine/format/value_text.h"
#include "engine/tables/data_cursor.h"
#include "engine/tables/table_by_path.h"
#include "tests/testing/run_cli.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

using nlohmann::json;
using testing::RunCli;
using testing::TTempDir;

// The generated tables: the same definition under language 0 and German (1031).
const char* kDefinition = R"({"language_id": LANG, "blob_block_size": 512, "fields": [
  {"name": "ID", "type": "autoinc"},
  {"name": "Name", "type": "text", "size": 40, "required": true},
  {"name": "Born", "type": "date", "min": "0001-01-01", "default": "2000-01-01"},
  {"name": "Notes", "type": "memo"},
  {"name": "Active", "type": "boolean", "default": "TRUE"},
  {"name": "Small", "type": "smallint", "min": "-32768", "max": "32767"},
  {"name": "Count", "type": "integer"},
  {"name": "Amount", "type": "float"},
  {"name": "Price", "type": "money"},
  {"name": "Dec", "type": "bcd", "decimals": 2, "default": "1.5"},
  {"name": "Raw", "type": "bytes", "size": 8},
  {"name": "At", "type": "time"},
  {"name": "Stamp", "type": "datetime"},
  {"name": "W", "type": "word"},
  {"name": "C", "type": "cardinal"},
  {"name": "X", "type": "extended"},
  {"name": "VB", "type": "varbytes", "size": 10},
  {"name": "Pic", "type": "graphic"},
  {"name": "order", "type": "blob"}],
 "primary": ["ID"],
 "indexes": [
  {"name": "ByName", "fields": ["Name"], "case_insensitive": true, "compression": 3},
  {"name": "ByBornName", "fields": ["Born", "Name"], "field_descending": [false, true]},
  {"name": "ByCount", "fields": ["Count"], "unique": true, "compression": 2},
  {"name": "Down", "fields": ["Small", "W"], "descending": true}]})";

std::string Blob(std::size_t size, int seed) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (std::size_t i = 0; i < (size + 2) / 3 * 4 && size > 0; ++i) text += alphabet[(i * 7 + seed) % 64];
  return text;  // Base64 of some bytes
}

std::string RowsJsonl() {
  const std::vector<std::string> names = {"Müller", "Ärger & Öl", "plain", "Straße \"quoted\", comma",
                                          "€uro",   "line\nbreak"};
  const std::vector<std::size_t> blob_sizes = {1, 100, 511, 512, 513, 4096, 70000};
  std::string out;
  for (int i = 1; i <= 40; ++i) {
    json row;
    row["Name"] = names[i % names.size()] + " " + std::to_string(i);
    row["Count"] = i * 7 - 100;
    if (i % 4 != 0) {
      row["Born"] = i % 3 == 0 ? "0001-01-01" : "2024-02-29";
      row["Notes"] = std::string(static_cast<std::size_t>(i * 37), 'x') + "ÄÖÜäöüß";
      row["Active"] = i % 2 == 0;
      row["Small"] = i % 5 == 0 ? -32768 : i;
      row["Amount"] = i % 3 == 0 ? 0.1 : 1e300 / i;
      row["Price"] = 19.99 * i;
      row["Dec"] = i % 5 == 0 ? "-922337203685477.58" : std::to_string(i) + ".05";
      row["Raw"] = {{"b64", "AAEC/wD+"}};
      row["At"] = i % 2 == 0 ? "23:59:59.999" : "00:00:00.000";
      row["Stamp"] = "2024-02-29T12:34:56.789";
      row["W"] = 65535 - i;
      row["C"] = 4294967295LL - i;
      row["X"] = -2.5 * i;
      row["VB"] = {{"b64", Blob(i % 8, i)}};
      row["Pic"] = {{"b64", Blob(blob_sizes[i % blob_sizes.size()], i)}};
      row["order"] = {{"b64", Blob(blob_sizes[(i + 3) % blob_sizes.size()], i + 1)}};
    }
    out += row.dump() + "\n";
  }
  return out;
}

void MakeGeneratedTable(const std::filesystem::path& dir, const std::string& name, int language) {
  std::string definition = kDefinition;
  definition.replace(definition.find("LANG"), 4, std::to_string(language));
  std::ofstream(dir / "def.json") << definition;
  std::ofstream(dir / "rows.jsonl") << RowsJsonl();
  const std::string table = (dir / (name + ".DAT")).string();
  ASSERT_EQ(RunCli({"create", table, "--definition", (dir / "def.json").string()}).status, 0);
  const auto imported = RunCli({"import", table, (dir / "rows.jsonl").string()});
  ASSERT_EQ(imported.status, 0) << imported.err;
  // Deleted slots: every fifth record goes.
  auto opened = OpenTableByPath(table, true, false, {});
  TDataCursor& cursor = *opened->cursor;
  int at = 0;
  for (bool on = cursor.First(); on;) {
    if (++at % 5 == 0) {
      const std::vector<std::byte> record = cursor.CurrentRecord();
      cursor.DeleteRecord(record, false);
      on = cursor.OnRecord() || cursor.Next();
    } else {
      on = cursor.Next();
    }
  }
  std::filesystem::remove(dir / "def.json");
  std::filesystem::remove(dir / "rows.jsonl");
}

// A value in one comparable text form; nothing for NULL.
using TCanon = std::optional<std::string>;

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 0xF];
  }
  return out;
}

std::string FromBase64(const std::string& text) {
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned buffer = 0;
  int bits = 0;
  for (const char c : text) {
    const auto at = alphabet.find(c);
    if (at == std::string::npos) continue;
    buffer = buffer << 6 | static_cast<unsigned>(at);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((buffer >> bits) & 0xFF);
    }
  }
  return out;
}

// A decimal without trailing zeros of its fraction: "12.50" and "12.5" compare equal.
std::string Decimal(std::string text) {
  if (text.find('.') != std::string::npos) {
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
  }
  return text == "-0" ? "0" : text;
}

// What kind of value a column holds, from the export's JSON and the field's type name in `info`.
enum class TKind { kText, kNumber, kDecimal, kReal, kBoolean, kDateTime, kBytes };

TKind KindOf(const json& field) {
  const json& type = field["type"];
  const std::string t = type.is_string() ? type.get<std::string>() : std::to_string(type.get<int>());
  if (t == "bcd" || t == "8") return TKind::kDecimal;
  if (t == "float" || t == "money" || t == "extended" || t == "7" || t == "14") return TKind::kReal;
  if (t == "boolean" || t == "4") return TKind::kBoolean;
  if (t == "datetime" || t == "11") return TKind::kDateTime;
  if (t == "memo" || t == "fmtmemo" || t == "text" || t == "1" || t == "date" || t == "2" || t == "time" ||
      t == "10")
    return TKind::kText;
  if (t == "bytes" || t == "varbytes" || t == "9" || t == "15" || t == "3" || t == "blob" || t == "graphic" ||
      t == "ole" || t == "dbole" || t == "typedbinary")
    return field.contains("subtype") && (field["subtype"] == 22 || field["subtype"] == 24) ? TKind::kText
                                                                                           : TKind::kBytes;
  return TKind::kNumber;
}

TCanon FromExport(const json& value, TKind kind) {
  if (value.is_null()) return std::nullopt;
  switch (kind) {
    case TKind::kBytes: return Hex(FromBase64(value["b64"].get<std::string>()));
    case TKind::kDecimal: return Decimal(value.get<std::string>());
    case TKind::kReal: return FormatFloatText(value.get<double>());
    case TKind::kBoolean: return value.get<bool>() ? "1" : "0";
    case TKind::kDateTime: {
      std::string text = value.get<std::string>();
      std::replace(text.begin(), text.end(), 'T', ' ');
      return text;
    }
    case TKind::kText: return value.get<std::string>();
    case TKind::kNumber: return value.dump();
  }
  return std::nullopt;
}

TCanon FromCsv(const std::string& text, TKind kind) {
  if (text.empty()) return std::nullopt;
  if (kind == TKind::kBytes) return text.substr(2);  // after "\x"
  if (kind == TKind::kDecimal) return Decimal(text);
  if (kind == TKind::kReal) return FormatFloatText(std::stod(text));
  return text;
}

TCanon FromSqlite(sqlite3_stmt* row, int column, TKind kind) {
  switch (sqlite3_column_type(row, column)) {
    case SQLITE_NULL: return std::nullopt;
    case SQLITE_INTEGER: return std::to_string(sqlite3_column_int64(row, column));
    case SQLITE_FLOAT: return FormatFloatText(sqlite3_column_double(row, column));
    case SQLITE_BLOB: {
      const auto* data = static_cast<const char*>(sqlite3_column_blob(row, column));
      return Hex(std::string(data, data + sqlite3_column_bytes(row, column)));
    }
    default: {
      const std::string text(reinterpret_cast<const char*>(sqlite3_column_text(row, column)));
      return kind == TKind::kDecimal ? Decimal(text) : text;
    }
  }
}

using TRows = std::vector<std::vector<TCanon>>;

struct TTableInfo {
  std::vector<std::string> columns;
  std::vector<TKind> kinds;
  json definition;
};

TTableInfo InfoOf(const std::string& table) {
  const auto info = RunCli({"info", table, "--json"});
  EXPECT_EQ(info.status, 0) << info.err;
  TTableInfo out;
  out.definition = json::parse(info.out)["definition"];
  for (const json& field : out.definition["fields"]) {
    out.columns.push_back(field["name"]);
    out.kinds.push_back(KindOf(field));
  }
  return out;
}

TRows Sorted(TRows rows) {
  std::sort(rows.begin(), rows.end());
  return rows;
}

TRows ExportRows(const std::string& table, const TTableInfo& info) {
  const auto exported = RunCli({"export", table});
  EXPECT_EQ(exported.status, 0) << exported.err;
  TRows rows;
  std::istringstream in(exported.out);
  for (std::string line; std::getline(in, line);) {
    const json object = json::parse(line);
    std::vector<TCanon> row;
    for (std::size_t i = 0; i < info.columns.size(); ++i) {
      row.push_back(FromExport(object.value(info.columns[i], json()), info.kinds[i]));
    }
    rows.push_back(row);
  }
  return Sorted(rows);
}

class TSqliteDb {
 public:
  explicit TSqliteDb(const std::string& path) { EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK); }
  ~TSqliteDb() { sqlite3_close(db_); }
  // Runs a script; SQLite's message on failure, empty on success.
  std::string Exec(const std::string& script) {
    char* error = nullptr;
    if (sqlite3_exec(db_, script.c_str(), nullptr, nullptr, &error) == SQLITE_OK) return {};
    std::string message = error != nullptr ? error : "?";
    sqlite3_free(error);
    return message;
  }
  TRows Rows(const std::string& table, const TTableInfo& info) {
    sqlite3_stmt* row = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, ("SELECT * FROM \"" + table + "\"").c_str(), -1, &row, nullptr),
              SQLITE_OK)
        << sqlite3_errmsg(db_);
    TRows rows;
    while (row != nullptr && sqlite3_step(row) == SQLITE_ROW) {
      std::vector<TCanon> values;
      for (std::size_t i = 0; i < info.kinds.size(); ++i)
        values.push_back(FromSqlite(row, static_cast<int>(i), info.kinds[i]));
      rows.push_back(values);
    }
    sqlite3_finalize(row);
    return Sorted(rows);
  }
  // "name unique: column[ DESC][ NOCASE], ..." for every index of the table, sorted.
  std::vector<std::string> Indexes(const std::string& table) {
    std::vector<std::string> out;
    sqlite3_stmt* list = nullptr;
    sqlite3_prepare_v2(db_, ("SELECT name, \"unique\" FROM pragma_index_list('" + table + "')").c_str(), -1,
                       &list, nullptr);
    while (sqlite3_step(list) == SQLITE_ROW) {
      const std::string name(reinterpret_cast<const char*>(sqlite3_column_text(list, 0)));
      std::string text = name + (sqlite3_column_int(list, 1) != 0 ? " unique:" : ":");
      sqlite3_stmt* columns = nullptr;
      sqlite3_prepare_v2(
          db_, ("SELECT name, desc, coll FROM pragma_index_xinfo('" + name + "') WHERE key").c_str(), -1,
          &columns, nullptr);
      while (sqlite3_step(columns) == SQLITE_ROW) {
        text += std::string(" ") + reinterpret_cast<const char*>(sqlite3_column_text(columns, 0));
        if (sqlite3_column_int(columns, 1) != 0) text += " DESC";
        if (std::string(reinterpret_cast<const char*>(sqlite3_column_text(columns, 2))) == "NOCASE")
          text += " NOCASE";
      }
      sqlite3_finalize(columns);
      out.push_back(text);
    }
    sqlite3_finalize(list);
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  sqlite3* db_ = nullptr;
};

// The fixtures and the generated tables, side by side in one directory.
class ConvertTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TTempDir();
    for (const char* fixture : {"basic", "blocks1024", "noprimary", "lostindex"}) {
      testing::CopyFixture(fixture, dir_->Path());
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir_->Path())) {
      if (entry.path().extension() == ".json" || entry.path().extension() == ".jsonl")
        std::filesystem::remove(entry);
    }
    MakeGeneratedTable(dir_->Path(), "Alles", 1031);
    MakeGeneratedTable(dir_->Path(), "Plain", 0);
  }
  static void TearDownTestSuite() { delete dir_; }

  static std::string Table(const std::string& name) { return dir_->File(name + ".DAT"); }
  // The table's fields and the rows of its `tarvo export`, made once.
  static const std::pair<TTableInfo, TRows>& Source(const std::string& name) {
    static std::map<std::string, std::pair<TTableInfo, TRows>> sources;
    auto found = sources.find(name);
    if (found == sources.end()) {
      TTableInfo info = InfoOf(Table(name));
      TRows rows = ExportRows(Table(name), info);
      found = sources.emplace(name, std::make_pair(std::move(info), std::move(rows))).first;
    }
    return found->second;
  }

  static inline TTempDir* dir_ = nullptr;
  // Every table whose records `tarvo export` gives in full (Artikel's trees are lost: its export,
  // which follows the primary index, gives none).
  static inline const std::vector<std::string> kTables = {"Alles", "Plain", "Kunden", "Notizen", "Journal"};
};

TEST_F(ConvertTest, ConvertsEveryValueAndIndex) {
  TTempDir out;
  const auto converted = RunCli({"convert", dir_->Path().string(), "--to", out.File("all.sqlite")});
  ASSERT_EQ(converted.status, 0) << converted.out << converted.err;
  EXPECT_NE(converted.out.find("6 tables"), std::string::npos) << converted.out;
  TSqliteDb db(out.File("all.sqlite"));
  for (const std::string& name : kTables) {
    SCOPED_TRACE(name);
    const auto& [info, expected] = Source(name);
    EXPECT_GT(expected.size(), 10u);
    EXPECT_EQ(db.Rows(name, info), expected);
  }
  // Slot order needs no tree: the table whose trees are lost gives all its 300 records.
  EXPECT_EQ(db.Rows("Artikel", InfoOf(Table("Artikel"))).size(), 300u);

  const std::vector<std::pair<std::string, std::vector<std::string>>> indexes = {
      {"Alles",
       {"Alles_ByBornName: Born Name DESC", "Alles_ByCount unique: Count", "Alles_ByName: Name NOCASE",
        "Alles_Down: Small DESC W DESC"}},
      {"Kunden",
       {"Kunden_ByAmount: Amount Small DESC", "Kunden_ByBorn: Born DESC", "Kunden_ByCount unique: Count",
        "Kunden_ByName: Name NOCASE"}},
  };
  for (const auto& [table, expected] : indexes) EXPECT_EQ(db.Indexes(table), expected) << table;
}

TEST_F(ConvertTest, SchemaAndSqlExportLoadIntoSqlite) {
  for (const std::string& name : kTables) {
    SCOPED_TRACE(name);
    const auto schema = RunCli({"schema", Table(name), "--dialect", "sqlite"});
    ASSERT_EQ(schema.status, 0) << schema.err;
    const auto inserts = RunCli({"export", Table(name), "--format", "sql", "--dialect", "sqlite"});
    ASSERT_EQ(inserts.status, 0) << inserts.err;
    TSqliteDb db(":memory:");
    ASSERT_EQ(db.Exec(schema.out), "") << schema.out;
    ASSERT_EQ(db.Exec(inserts.out), "");
    const auto& [info, expected] = Source(name);
    EXPECT_EQ(db.Rows(name, info), expected);
  }
  // The whole directory at once.
  const auto all = RunCli({"schema", dir_->Path().string()});
  ASSERT_EQ(all.status, 0) << all.err;
  EXPECT_EQ(TSqliteDb(":memory:").Exec(all.out), "");
}

TEST_F(ConvertTest, CsvReadsBackThroughPythonsReader) {
  TTempDir out;
  for (const std::string& name : kTables) {
    SCOPED_TRACE(name);
    const auto csv = RunCli({"export", Table(name), "--format", "csv"});
    ASSERT_EQ(csv.status, 0) << csv.err;
    std::ofstream(out.File("t.csv"), std::ios::binary) << csv.out;
    const std::string command =
        "python3 -c 'import csv, json, sys; csv.field_size_limit(sys.maxsize); "
        "print(json.dumps(list(csv.reader(open(sys.argv[1], newline=\"\", encoding=\"utf-8\")))))' " +
        out.File("t.csv") + " > " + out.File("t.json");
    ASSERT_EQ(std::system(command.c_str()), 0);
    const json records = json::parse(std::ifstream(out.File("t.json")));
    const auto& [info, expected] = Source(name);
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records[0].get<std::vector<std::string>>(), info.columns);
    TRows rows;
    for (std::size_t r = 1; r < records.size(); ++r) {
      std::vector<TCanon> row;
      for (std::size_t i = 0; i < info.kinds.size(); ++i)
        row.push_back(FromCsv(records[r][i], info.kinds[i]));
      rows.push_back(row);
    }
    EXPECT_EQ(Sorted(rows), expected);
  }
}

// A damaged table (a repeated record identifier, a blob reference past the end of the blob file)
// loses the two records, named; a table that another program holds exclusively is skipped; the
// others are complete.
TEST(ConvertOutcomeTest, NamesLossesAndSkipsTablesInUse) {
  TTempDir dir, out;
  testing::CopyFixture("basic", dir.Path());
  testing::CopyFixture("blocks1024", dir.Path());
  {
    auto opened = OpenTableByPath(dir.File("Kunden.DAT"), true, false, {});
    const TDataCursor& cursor = *opened->cursor;
    const std::size_t area = 127 + 768 * cursor.FieldCount();
    const std::size_t size = cursor.RecordSize();
    const std::size_t notes = cursor.Descriptors()[3].RecordOffset;  // the memo field's flag byte
    opened.reset();
    std::fstream file(dir.File("Kunden.DAT"), std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(area + 2 * size + 5));
    file.write("\x02\x00\x00\x00", 4);  // slot 3 takes the identifier of slot 2
    file.seekp(static_cast<std::streamoff>(area + 4 * size + notes));
    file.write("\x01\xf0\xff\xff\x00", 5);  // slot 5's memo lies beyond the blob file
  }
  auto holder = OpenTableByPath(dir.File("Notizen.DAT"), true, false, {});
  const auto converted = RunCli({"convert", dir.Path().string(), "--to", out.File("t.sqlite")});
  EXPECT_EQ(converted.status, 3) << converted.out << converted.err;
  for (const char* text :
       {"Kunden: 177 records, 1 left out, 1 without a value",
        "physical record # 3: left out: UNIQUE constraint failed",
        "physical record # 5: without the value of Notes", "Notizen: skipped, in use by another program",
        "1 tables, 177 records, 0.5 MB in ", "Skipped (in use): Notizen"}) {
    EXPECT_NE(converted.out.find(text), std::string::npos) << text << "\n" << converted.out;
  }
  holder.reset();
  // Without the table in use, the loss alone sets the status.
  EXPECT_EQ(RunCli({"convert", dir.Path().string(), "--to", out.File("u.sqlite")}).status, 1);
}

TEST(ConvertOutcomeTest, KeepsAnExistingTargetWithoutReplace) {
  TTempDir dir;
  testing::CopyFixture("noprimary", dir.Path());
  std::ofstream(dir.File("out.sqlite")) << "keep";
  const auto kept = RunCli({"convert", dir.Path().string(), "--to", dir.File("out.sqlite")});
  EXPECT_EQ(kept.status, 2);
  EXPECT_NE(kept.err.find("--replace"), std::string::npos) << kept.err;
  std::stringstream content;
  content << std::ifstream(dir.File("out.sqlite")).rdbuf();
  EXPECT_EQ(content.str(), "keep");
  ASSERT_EQ(RunCli({"convert", dir.Path().string(), "--to", dir.File("out.sqlite"), "--replace"}).status, 0);
  TSqliteDb db(dir.File("out.sqlite"));
  EXPECT_EQ(db.Rows("Journal", InfoOf(dir.File("Journal.DAT"))).size(), 120u);
}

}  // namespace
}  // namespace tarvo

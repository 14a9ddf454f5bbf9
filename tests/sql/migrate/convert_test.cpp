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
#include "tests/testing/way_out_tables.h"

namespace tarvo {
namespace {

using nlohmann::json;
using testing::Decimal;
using testing::ExportRows;
using testing::FromCsv;
using testing::Hex;
using testing::InfoOf;
using testing::RunCli;
using testing::Sorted;
using testing::TCanon;
using testing::TRows;
using testing::TTableInfo;
using testing::TTempDir;
using testing::TValueKind;

TCanon FromSqlite(sqlite3_stmt* row, int column, TValueKind kind) {
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
      return kind == TValueKind::kDecimal ? Decimal(text) : text;
    }
  }
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
    testing::MakeWayOutTables(dir_->Path());
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
  static inline const std::vector<std::string>& kTables = testing::kWayOutTables;
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

  for (const auto& [table, expected] : testing::kWayOutIndexes)
    EXPECT_EQ(db.Indexes(table), expected) << table;
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

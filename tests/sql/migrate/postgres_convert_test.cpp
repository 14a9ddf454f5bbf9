// Tables into PostgreSQL, three ways: `tarvo convert DIR --to CONNINFO` through libpq,
// `tarvo convert DIR --to FILE.sql --dialect postgresql` run by psql, and `tarvo schema` followed
// by `tarvo export --format sql`, each into a fresh database of the test server. The fixtures and
// the generated every-type tables arrive with every value as `tarvo export` gives it and with
// their indexes (field order, descending fields, case-insensitivity, uniqueness).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "engine/format/value_text.h"
#include "tests/testing/postgres_database.h"
#include "tests/testing/run_cli.h"
#include "tests/testing/temp_dir.h"
#include "tests/testing/way_out_tables.h"

namespace tarvo::testing {
namespace {

enum class TRoute { kServer, kScript, kSchemaAndInserts };

std::string ShellQuoted(const std::string& text) {
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// psql runs `script` (a file) against the test database; its exit status.
int Psql(TPostgresDatabase& db, const std::string& script) {
  const std::string command = "psql -X -q -v ON_ERROR_STOP=1 -d " + ShellQuoted(db.ConnInfo()) + " -f " +
                              ShellQuoted(script) + " > /dev/null";
  return std::system(command.c_str());
}

// Every row of the table, each value in the comparable form of ExportRows.
TRows PgRows(TPostgresDatabase& db, const std::string& table, const TTableInfo& info) {
  const auto types =
      db.Query("SELECT column_name, data_type FROM information_schema.columns WHERE table_name = '" + table +
               "' ORDER BY ordinal_position");
  EXPECT_EQ(types.size(), info.columns.size());
  std::string select;
  for (const auto& column : types) {
    const std::string name = "\"" + *column[0] + "\"";
    const std::string& type = *column[1];
    std::string value = name + "::text";
    if (type == "date") value = "to_char(" + name + ", 'YYYY-MM-DD')";
    if (type.starts_with("time ")) value = "to_char(" + name + ", 'HH24:MI:SS.MS')";
    if (type.starts_with("timestamp")) value = "to_char(" + name + ", 'YYYY-MM-DD HH24:MI:SS.MS')";
    if (type == "bytea") value = "encode(" + name + ", 'hex')";
    if (type == "boolean") value = "CASE WHEN " + name + " THEN '1' WHEN NOT " + name + " THEN '0' END";
    select += (select.empty() ? "" : ", ") + value;
  }
  TRows rows;
  for (const auto& row : db.Query("SELECT " + select + " FROM \"" + table + "\"")) {
    std::vector<TCanon> values;
    for (std::size_t i = 0; i < row.size() && i < info.kinds.size(); ++i) {
      TCanon value = row[i];
      if (value && info.kinds[i] == TValueKind::kDecimal) value = Decimal(*value);
      if (value && info.kinds[i] == TValueKind::kReal) value = FormatFloatText(std::stod(*value));
      values.push_back(value);
    }
    rows.push_back(values);
  }
  return Sorted(rows);
}

// "name unique: column[ DESC][ NOCASE] ..." for every index of the table but its primary key,
// sorted; "PRIMARY KEY: column ..." for that.
std::vector<std::string> PgIndexes(TPostgresDatabase& db, const std::string& table) {
  std::vector<std::string> out;
  const auto indexes = db.Query(
      "SELECT c.relname, i.indisunique, i.indisprimary, i.indexrelid, i.indnkeyatts FROM pg_index i "
      "JOIN pg_class c ON c.oid = i.indexrelid WHERE i.indrelid = '\"" +
      table + "\"'::regclass ORDER BY 1");
  for (const auto& index : indexes) {
    std::string text = *index[2] == "t" ? "PRIMARY KEY:" : *index[0] + (*index[1] == "t" ? " unique:" : ":");
    for (int k = 1; k <= std::stoi(*index[4]); ++k) {
      const auto column =
          db.Query("SELECT pg_get_indexdef(" + *index[3] + ", " + std::to_string(k) + ", true), (indoption[" +
                   std::to_string(k - 1) + "] & 1) = 1 FROM pg_index WHERE indexrelid = " + *index[3])[0];
      std::string key = *column[0];
      const bool lower = key.starts_with("lower(");
      if (lower) key = key.substr(key.find('(') + 1, key.find_first_of(":)") - key.find('(') - 1);
      if (key.size() > 1 && key.front() == '"') key = key.substr(1, key.size() - 2);
      if (key.front() == '(') key = key.substr(1);
      text += " " + key + (*column[1] == "t" ? " DESC" : "") + (lower ? " NOCASE" : "");
    }
    out.push_back(text);
  }
  std::sort(out.begin(), out.end());
  return out;
}

class PostgresConvert : public TPostgresTest<::testing::TestWithParam<TRoute>> {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TTempDir();
    MakeWayOutTables(dir_->Path());
  }
  static void TearDownTestSuite() { delete dir_; }
  static std::string Table(const std::string& name) { return dir_->File(name + ".DAT"); }

  static inline TTempDir* dir_ = nullptr;
};

TEST_P(PostgresConvert, EveryValueAndIndexArrives) {
  TTempDir out;
  switch (GetParam()) {
    case TRoute::kServer: {
      const auto converted = RunCli({"convert", dir_->Path().string(), "--to", Database().ConnInfo()});
      ASSERT_EQ(converted.status, 0) << converted.out << converted.err;
      break;
    }
    case TRoute::kScript: {
      const std::string script = out.File("load.sql");
      const auto written =
          RunCli({"convert", dir_->Path().string(), "--to", script, "--dialect", "postgresql"});
      ASSERT_EQ(written.status, 0) << written.out << written.err;
      ASSERT_EQ(Psql(Database(), script), 0);
      break;
    }
    case TRoute::kSchemaAndInserts:
      for (const std::string& name : kWayOutTables) {
        const auto schema = RunCli({"schema", Table(name), "--dialect", "postgresql"});
        ASSERT_EQ(schema.status, 0) << schema.err;
        const auto inserts = RunCli({"export", Table(name), "--format", "sql", "--dialect", "postgresql"});
        ASSERT_EQ(inserts.status, 0) << inserts.err;
        std::ofstream(out.File(name + ".sql"), std::ios::binary) << schema.out << inserts.out;
        ASSERT_EQ(Psql(Database(), out.File(name + ".sql")), 0) << name;
      }
      break;
  }
  for (const std::string& name : kWayOutTables) {
    SCOPED_TRACE(name);
    const TTableInfo info = InfoOf(Table(name));
    const TRows expected = ExportRows(Table(name), info);
    EXPECT_GT(expected.size(), 10u);
    EXPECT_EQ(FirstDifference(PgRows(Database(), name, info), expected, info), "");
  }
  if (GetParam() != TRoute::kSchemaAndInserts) {
    // Slot order needs no tree: the table whose trees are lost gives all its 300 records.
    EXPECT_EQ(Database().Value("SELECT count(*) FROM \"Artikel\""), "300");
  }
  for (const auto& [table, expected] : kWayOutIndexes) {
    std::vector<std::string> indexes = expected;
    indexes.push_back("PRIMARY KEY: ID");
    std::sort(indexes.begin(), indexes.end());
    EXPECT_EQ(PgIndexes(Database(), table), indexes) << table;
  }
}

INSTANTIATE_TEST_SUITE_P(Routes, PostgresConvert,
                         ::testing::Values(TRoute::kServer, TRoute::kScript, TRoute::kSchemaAndInserts));

using PostgresTarget = TPostgresTest<>;

// Five records, ID the primary key, Name required; then damaged by hand: record 3 repeats the ID of
// record 2, record 4 has lost its Name and record 5's date lies beyond the calendar. Record 1's memo
// holds a zero character, which PostgreSQL's text cannot.
void MakeDamagedTable(const TTempDir& dir) {
  std::ofstream(dir.File("def.json")) << R"({"fields": [{"name": "ID", "type": "autoinc"},
      {"name": "Name", "type": "text", "size": 20, "required": true}, {"name": "Born", "type": "date"},
      {"name": "Notes", "type": "memo"}], "primary": ["ID"]})";
  std::ofstream(dir.File("rows.jsonl")) << R"({"Name": "a", "Notes": "x\u0000y"}
{"Name": "b", "Born": "2001-02-03"}
{"Name": "c"}
{"Name": "d"}
{"Name": "e", "Born": "2001-02-03"}
)";
  const std::string table = dir.File("Schaden.DAT");
  ASSERT_EQ(RunCli({"create", table, "--definition", dir.File("def.json")}).status, 0);
  const auto imported = RunCli({"import", table, dir.File("rows.jsonl")});
  ASSERT_EQ(imported.status, 0) << imported.err;
  std::filesystem::remove(dir.File("def.json"));
  std::filesystem::remove(dir.File("rows.jsonl"));
  // Records follow the header (127 bytes) and four field descriptors (768 each); each is 45 bytes:
  // 9 of its own (the ID at 5), Name's flag at 9 (20 characters and a zero), Born's at 31, Notes'
  // at 36.
  std::fstream file(table, std::ios::in | std::ios::out | std::ios::binary);
  const auto record = [](int n) { return 127 + 4 * 768 + (n - 1) * 45; };
  const char two[4] = {2, 0, 0, 0};
  const char far[4] = {'\xff', '\xff', '\xff', '\x7f'};
  file.seekp(record(3) + 5);
  file.write(two, 4);
  file.seekp(record(4) + 9);
  file.put('\0');
  file.seekp(record(5) + 32);
  file.write(far, 4);
}

TEST_F(PostgresTarget, DamagedTableLosesOnlyWhatItMust) {
  TTempDir dir;
  MakeDamagedTable(dir);
  const auto converted = RunCli({"convert", dir.Path().string(), "--to", Database().ConnInfo()});
  EXPECT_EQ(converted.status, 1) << converted.out << converted.err;
  // The record without its required value stays behind, named; the repeated key keeps its record,
  // and the key its order without uniqueness.
  EXPECT_NE(converted.out.find("physical record # 4: left out"), std::string::npos) << converted.out;
  EXPECT_NE(converted.out.find("Schaden_primary made without PRIMARY KEY"), std::string::npos)
      << converted.out;
  EXPECT_EQ(Database().Value("SELECT string_agg(\"ID\" || \"Name\", ',' ORDER BY \"Name\") FROM \"Schaden\""),
            "1a,2b,2c,5e");
  EXPECT_EQ(PgIndexes(Database(), "Schaden"), std::vector<std::string>{"Schaden_primary: ID"});
}

TEST_F(PostgresTarget, TablesOfTheDatabaseAreReplacedOnlyWhenAsked) {
  TTempDir dir;
  CopyFixture("blocks1024", dir.Path());
  ASSERT_EQ(RunCli({"convert", dir.Path().string(), "--to", Database().ConnInfo()}).status, 0);
  Database().Execute("DELETE FROM \"Notizen\"");
  const auto kept = RunCli({"convert", dir.Path().string(), "--to", Database().ConnInfo()});
  EXPECT_EQ(kept.status, 2);
  EXPECT_NE(kept.err.find("already has the table(s) Notizen; give --replace"), std::string::npos) << kept.err;
  EXPECT_EQ(Database().Value("SELECT count(*) FROM \"Notizen\""), "0");
  const auto replaced = RunCli({"convert", dir.Path().string(), "--to", Database().ConnInfo(), "--replace"});
  EXPECT_EQ(replaced.status, 0) << replaced.out << replaced.err;
  EXPECT_EQ(Database().Value("SELECT count(*) FROM \"Notizen\""), "225");
}

}  // namespace
}  // namespace tarvo::testing

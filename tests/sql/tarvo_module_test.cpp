// The module over a live table: queries give what a plain SQLite copy of the same rows gives, the
// look-ups walk the index they name, and writes through SQL keep the table sound, refuse what the
// engine refuses and leave nothing behind after a rollback.
#include "sql/tarvo_module.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/tables/data_cursor.h"
#include "tests/testing/blob_checker.h"
#include "tests/testing/table_builder.h"
#include "tests/testing/temp_dir.h"
#include "tests/testing/tree_checker.h"

namespace tarvo::sql {
namespace {

using testing::Field;
using testing::Index;

// Each row as one line: every value with its SQL type.
std::vector<std::string> Rows(sqlite3* db, const std::string& query, int* rc = nullptr) {
  std::vector<std::string> rows;
  sqlite3_stmt* statement = nullptr;
  int result = sqlite3_prepare_v2(db, query.c_str(), -1, &statement, nullptr);
  while (result == SQLITE_OK || result == SQLITE_ROW) {
    result = sqlite3_step(statement);
    if (result != SQLITE_ROW) break;
    std::string row;
    for (int i = 0; i < sqlite3_column_count(statement); ++i) {
      const int type = sqlite3_column_type(statement, i);
      row += "|" + std::to_string(type) + ":";
      if (type == SQLITE_FLOAT) {
        char buffer[40];
        std::snprintf(buffer, sizeof buffer, "%.17g", sqlite3_column_double(statement, i));
        row += buffer;
      } else if (type != SQLITE_NULL) {
        row += reinterpret_cast<const char*>(sqlite3_column_text(statement, i));
      }
    }
    rows.push_back(row);
  }
  sqlite3_finalize(statement);
  if (rc != nullptr) *rc = result == SQLITE_DONE ? SQLITE_OK : result;
  if (rc == nullptr) {
    EXPECT_EQ(result, SQLITE_DONE) << query << ": " << sqlite3_errmsg(db);
  }
  return rows;
}

int Exec(sqlite3* db, const std::string& statement) {
  return sqlite3_exec(db, statement.c_str(), nullptr, nullptr, nullptr);
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

class TTarvoModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TTableDefinition definition;
    definition.fields = testing::Numbered(
        {Field("ID", kTypeInt32, 0, kSubTypeAutoInc), Field("Name", kTypeText, 20), Field("Born", kTypeDate),
         Field("Amount", kTypeFloat), Field("Dec", kTypeFixed, 0, 0, 2), Field("Code", kTypeInt32),
         Field("Notes", kTypeBlob, 0, kSubTypeMemo), Field("Big", kTypeUInt32)});
    definition.indexes = {Index("", {1}, true),    Index("ByName", {2}),   Index("ByNameCI", {2}),
                          Index("ByBorn", {3, 2}), Index("ByAmount", {4}), Index("ByCode", {6}, true),
                          Index("ByBig", {8})};
    definition.indexes[2].case_insensitive = 1;
    definition.indexes[3].descending = 1;
    testing::TTestEngine engine(dir_.Dir());
    engine.directory->CreateTable("Kunden", definition);
    ASSERT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
    ASSERT_EQ(RegisterTarvoModule(db_), SQLITE_OK);
    ASSERT_EQ(Exec(db_, "SELECT tarvo_attach('" + dir_.Path().string() + "')"), SQLITE_OK)
        << sqlite3_errmsg(db_);
    ASSERT_EQ(Exec(db_,
                   "INSERT INTO Kunden(Name, Born, Amount, Dec, Code, Notes) VALUES "
                   "('Müller', '1980-05-01', 12.5, '12.50', 1, 'Notiz ä'), "
                   "('meier', '1975-12-31', -3, 7, 2, NULL), ('Meier', '1990-01-15', 0.0, NULL, 3, 'x'), "
                   "('Zoë', '1980-05-01', -0.0, '-1.25', NULL, 'y'), (NULL, NULL, NULL, NULL, 5, NULL), "
                   "('Abc', '2001-02-03', 100.25, 0.01, 6, 'z'), ('Mz', '1980-05-01', 7, 1, 7, NULL)"),
              SQLITE_OK)
        << sqlite3_errmsg(db_);
    // A deleted slot amid the records.
    ASSERT_EQ(Exec(db_, "DELETE FROM Kunden WHERE Code = 2"), SQLITE_OK) << sqlite3_errmsg(db_);
  }
  void TearDown() override { sqlite3_close(db_); }

  // Finds after the writes of a test: every index agrees with the records, every blob chain is
  // sound.
  std::vector<std::string> Problems() {
    testing::TTestEngine engine(dir_.Dir());
    TDataCursor cursor(*engine.session, *engine.directory);
    cursor.Open({.table_name = "Kunden"});
    TDataTable& table = cursor.Table();
    const auto read = testing::FileRecordReader(table);
    std::vector<std::string> found;
    for (auto list :
         {testing::CheckAllIndexTrees(table), testing::CheckOneKeyPerRecord(table, read),
          testing::CheckSysDeletedKeys(table, read), testing::CheckActiveRecordCount(table, read)}) {
      found.insert(found.end(), list.begin(), list.end());
    }
    std::vector<testing::TChainRef> chains;
    cursor.SelectSlotOrder();
    for (bool on = cursor.First(); on; on = cursor.Next()) {
      const TBlobRef ref = GetBlobRef(ConstFieldSlot(cursor.CurrentRecord(), cursor.Descriptors()[6]));
      chains.push_back({ref.Reference, ref.Stamp});
    }
    const auto report = testing::CheckBlobFile(table.BlobFile(), chains);
    found.insert(found.end(), report.problems.begin(), report.problems.end());
    return found;
  }

  testing::TTempDir dir_;
  sqlite3* db_ = nullptr;
};

TEST_F(TTarvoModuleTest, QueriesGiveWhatAPlainCopyGivesAlongTheirIndex) {
  ASSERT_EQ(Exec(db_, "UPDATE Kunden SET Big = Code * 200"), SQLITE_OK) << sqlite3_errmsg(db_);
  ASSERT_EQ(Exec(db_, "CREATE TABLE n AS SELECT * FROM Kunden"), SQLITE_OK);
  struct TQuery {
    std::string sql;   // T stands for the table
    std::string walk;  // what EXPLAIN QUERY PLAN names
  };
  const std::vector<TQuery> queries = {
      {"SELECT * FROM T WHERE ID = 3", "primary"},
      {"SELECT ID, Name FROM T WHERE ID BETWEEN 2 AND 6 ORDER BY ID DESC", "primary"},
      {"SELECT ID FROM T WHERE Name = 'Müller'", "index ByName"},
      {"SELECT ID FROM T WHERE Name = 'Meier'", "index ByName"},
      {"SELECT Name FROM T WHERE Name > 'Mü' AND Name < 'Zz'", "index ByName"},
      {"SELECT Name FROM T WHERE Name >= 'M' ORDER BY Name", "index ByName"},
      {"SELECT Name, Born FROM T WHERE Born >= '1980-05-01' ORDER BY Born DESC, Name DESC", "index ByBorn"},
      {"SELECT ID FROM T WHERE Born < '1990-01-01' ORDER BY Born, Name", "index ByBorn"},
      {"SELECT Name FROM T WHERE Born = '1980-05-01' ORDER BY Name", "index ByBorn"},
      {"SELECT ID FROM T WHERE Amount = 0", "index ByAmount"},
      {"SELECT ID FROM T WHERE Amount > -5 AND Amount <> 0 ORDER BY Amount DESC", "index ByAmount"},
      {"SELECT ID FROM T WHERE Code = 7", "index ByCode"},
      {"SELECT ID, Big FROM T WHERE Big > 300 ORDER BY Big DESC", ""},
      {"SELECT ID FROM T WHERE Big = 1400", "index ByBig"},
      {"SELECT ID FROM T WHERE Name = 'MEIER' COLLATE NOCASE", ""},
      {"SELECT ID FROM T WHERE Name > 'm' COLLATE NOCASE", ""},
      {"SELECT * FROM T WHERE Code = '7'", ""},
      {"SELECT ID FROM T WHERE Name IS NULL", ""},
      {"SELECT count(*), sum(Amount), min(Dec), max(Dec), count(Notes) FROM T", ""},
      {"SELECT Name, strftime('%Y', Born) FROM T WHERE Name LIKE 'm%' ORDER BY 2, 1", ""},
      {"SELECT a.Name, b.Name FROM T a JOIN T b ON b.ID = a.ID + 1 ORDER BY a.ID", "primary"},
      {"SELECT ID FROM T ORDER BY ID LIMIT 2 OFFSET 1", "0 0 0 0 1 primary"},
      {"SELECT ID FROM T ORDER BY ID DESC LIMIT 3 OFFSET 2", "0 0 0 1 1 primary"},
      {"SELECT ID FROM T WHERE Code > 1 ORDER BY ID LIMIT 2 OFFSET 1", ""},
      {"SELECT ID FROM T ORDER BY Name LIMIT 2 OFFSET 1", ""},
  };
  for (const TQuery& q : queries) {
    SCOPED_TRACE(q.sql);
    std::vector<std::string> tarvo = Rows(db_, Replace(q.sql, " T", " Kunden"));
    std::vector<std::string> native = Rows(db_, Replace(q.sql, " T", " n"));
    if (q.sql.find("ORDER BY") == std::string::npos) {
      std::sort(tarvo.begin(), tarvo.end());
      std::sort(native.begin(), native.end());
    }
    EXPECT_EQ(tarvo, native);
    EXPECT_FALSE(tarvo.empty());
    std::string plan;
    for (const std::string& row : Rows(db_, "EXPLAIN QUERY PLAN " + Replace(q.sql, " T", " Kunden")))
      plan += row;
    if (!q.walk.empty()) {
      EXPECT_NE(plan.find(q.walk), std::string::npos) << plan;
    }
  }
}

TEST_F(TTarvoModuleTest, WritesKeepTheTableSoundAndRefusalsChangeNothing) {
  EXPECT_EQ(Exec(db_, "UPDATE Kunden SET Amount = Amount + 1, Notes = 'neu ' || Name WHERE Code >= 5"),
            SQLITE_OK)
      << sqlite3_errmsg(db_);
  EXPECT_EQ(Exec(db_, "UPDATE Kunden SET Notes = NULL WHERE Code = 1"), SQLITE_OK);
  EXPECT_EQ(Exec(db_, "DELETE FROM Kunden WHERE Name = 'Abc'"), SQLITE_OK);
  const std::vector<std::string> before = Rows(db_, "SELECT rowid, * FROM Kunden");

  struct TRefusal {
    std::string statement;
    int code;
    std::string message;
  };
  const std::vector<TRefusal> refusals = {
      {"INSERT INTO Kunden(Name, Code) VALUES ('dup', 7)", SQLITE_CONSTRAINT,
       "Duplicate key found in index 'ByCode'"},
      {"INSERT INTO Kunden(Name, Code, Notes) VALUES ('a', 50, 'n'), ('dup', 7, 'm')", SQLITE_CONSTRAINT,
       "Duplicate key"},
      {"UPDATE Kunden SET Code = 1 WHERE Code = 3", SQLITE_CONSTRAINT, "Duplicate key"},
      {"UPDATE Kunden SET ID = 1 WHERE Code = 3", SQLITE_CONSTRAINT, "is the value of another record"},
      {"INSERT INTO Kunden(Name) VALUES ('中')", SQLITE_CONSTRAINT, "field 'Name': a character is not in"},
      {"INSERT INTO Kunden(rowid, Name) VALUES (99, 'x')", SQLITE_ERROR, "slot number"},
  };
  for (const TRefusal& r : refusals) {
    SCOPED_TRACE(r.statement);
    EXPECT_EQ(Exec(db_, r.statement), r.code);
    EXPECT_NE(std::string(sqlite3_errmsg(db_)).find(r.message), std::string::npos) << sqlite3_errmsg(db_);
  }
  // A record that another program holds locked.
  {
    testing::TTestEngine other(dir_.Dir());
    TDataCursor cursor(*other.session, *other.directory);
    cursor.Open({.table_name = "Kunden"});
    ASSERT_TRUE(cursor.GoToSlot(1));
    cursor.LockCurrentRecord();
    EXPECT_EQ(Exec(db_, "UPDATE Kunden SET Amount = 0 WHERE rowid = 1"), SQLITE_BUSY);
    EXPECT_NE(std::string(sqlite3_errmsg(db_)).find("is in use by another user"), std::string::npos);
    cursor.UnlockCurrentRecord();
  }
  // A transaction rolled back.
  EXPECT_EQ(
      Exec(
          db_,
          "BEGIN; INSERT INTO Kunden(Name, Code, Notes) VALUES ('neu', 40, 'n'); "
          "UPDATE Kunden SET Name = 'anders', Notes = 'm' WHERE Code = 1; DELETE FROM Kunden WHERE Code = 3; "
          "ROLLBACK"),
      SQLITE_OK)
      << sqlite3_errmsg(db_);
  EXPECT_EQ(Rows(db_, "SELECT rowid, * FROM Kunden"), before);
  for (const std::string& problem : Problems()) ADD_FAILURE() << problem;

  // A record that another program adds is found by the next look-up along an index.
  {
    EXPECT_EQ(Rows(db_, "SELECT Name FROM Kunden WHERE Code = 99"), std::vector<std::string>{});
    testing::TTestEngine other(dir_.Dir());
    TDataCursor cursor(*other.session, *other.directory);
    cursor.Open({.table_name = "Kunden"});
    std::vector<std::byte> record = cursor.NewRecordBuffer();
    PutInt32(FieldSlot(record, cursor.Descriptors()[5]), 99);
    cursor.AddRecord(record, false);
    EXPECT_EQ(Rows(db_, "SELECT Code FROM Kunden WHERE Code = 99"), std::vector<std::string>{"|1:99"});
    EXPECT_EQ(Exec(db_, "DELETE FROM Kunden WHERE Code = 99"), SQLITE_OK);
  }
  // A committed transaction, seen at once by another opener.
  EXPECT_EQ(Exec(db_, "BEGIN; INSERT INTO Kunden(Name, Code, Notes) VALUES ('neu', 41, 'n'); COMMIT"),
            SQLITE_OK)
      << sqlite3_errmsg(db_);
  testing::TTestEngine other(dir_.Dir());
  TDataCursor cursor(*other.session, *other.directory);
  cursor.Open({.table_name = "Kunden"});
  EXPECT_EQ(cursor.RecordCount(), static_cast<std::int32_t>(before.size()) + 1);
  for (const std::string& problem : Problems()) ADD_FAILURE() << problem;
}

TEST(TarvoModuleOpenTest, ATableInUseOrWithoutItsPasswordIsRefusedWithTheEngineMessage) {
  testing::TTempDir dir;
  testing::TTestEngine engine(dir.Dir());
  TTableDefinition secret = testing::SmallDefinition(false);
  secret.encrypted = true;
  secret.password = "geheim";
  engine.directory->CreateTable("Geheim", secret);
  engine.directory->CreateTable("Offen", testing::SmallDefinition(false));
  TDataCursor exclusive(*engine.session, *engine.directory);
  exclusive.Open({.table_name = "Offen", .exclusive = true});

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
  ASSERT_EQ(RegisterTarvoModule(db), SQLITE_OK);
  const std::string path = dir.Path().string();
  EXPECT_EQ(Exec(db, "CREATE VIRTUAL TABLE o USING tarvo('" + path + "/Offen.DAT')"), SQLITE_BUSY);
  EXPECT_NE(std::string(sqlite3_errmsg(db)).find("Access denied to table"), std::string::npos)
      << sqlite3_errmsg(db);
  EXPECT_EQ(Exec(db, "SELECT tarvo_password('falsch')"), SQLITE_OK);
  EXPECT_EQ(Exec(db, "CREATE VIRTUAL TABLE g USING tarvo('" + path + "/geheim.dat')"), SQLITE_AUTH);
  const std::string message = sqlite3_errmsg(db);
  EXPECT_NE(message.find("a password is required"), std::string::npos) << message;
  EXPECT_EQ(message.find("falsch"), std::string::npos) << message;
  EXPECT_EQ(Exec(db, "SELECT tarvo_password('geheim')"), SQLITE_OK);
  EXPECT_EQ(Exec(db, "CREATE VIRTUAL TABLE g USING tarvo('" + path + "/geheim.dat')"), SQLITE_OK)
      << sqlite3_errmsg(db);
  EXPECT_EQ(Exec(db, "INSERT INTO g(Name) VALUES ('x')"), SQLITE_OK) << sqlite3_errmsg(db);
  EXPECT_EQ(Rows(db, "SELECT ID, Name FROM g"), std::vector<std::string>{"|1:1|3:x"});
  sqlite3_close(db);
}

}  // namespace
}  // namespace tarvo::sql

// Writes through SQL: inserts, updates and deletes change a Tarvo table as they change a plain copy
// and leave its indexes and blob file sound; a refused or rolled-back change leaves the table as it
// was; another process with the table open sees a committed insert.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/format/field_values.h"
#include "engine/format/record_layout.h"
#include "engine/tables/data_cursor.h"
#include "sql/tarvo_module.h"
#include "tests/sql/sql_tables.h"
#include "tests/testing/blob_checker.h"
#include "tests/testing/child_process.h"
#include "tests/testing/run_cli.h"
#include "tests/testing/table_builder.h"
#include "tests/testing/temp_dir.h"
#include "tests/testing/tree_checker.h"

namespace tarvo::testing {
namespace {

constexpr const char* kTable = "Kunden";

std::unique_ptr<TDataCursor> OpenShared(TTestEngine& engine) {
  auto cursor = std::make_unique<TDataCursor>(*engine.session, *engine.directory);
  TCursorOpenOptions options;
  options.table_name = kTable;
  cursor->Open(options);
  return cursor;
}

// The rows of the table through `ours` and through `theirs`, in any order, are the same.
void ExpectSameRows(sqlite3* ours_db, sqlite3* theirs_db) {
  const std::string all = std::string("SELECT * FROM ") + kTable;
  std::vector<TRow> ours = QueryRows(ours_db, all);
  std::vector<TRow> theirs = QueryRows(theirs_db, all);
  std::sort(ours.begin(), ours.end());
  std::sort(theirs.begin(), theirs.end());
  EXPECT_TRUE(ours == theirs) << MissingRowsText(ours, theirs);
}

// args: directory, slot. Locks the record in the slot until the parent says anything.
TARVO_CHILD(HoldRecordLock) {
  TTestEngine engine(args.at(0));
  auto cursor = OpenShared(engine);
  if (!cursor->GoToSlot(std::stoi(args.at(1)))) return 1;
  cursor->LockCurrentRecord();
  TellParent("locked");
  HearFromParent();
  return 0;
}

// args: directory. Keeps the table open; on each line (a name) answers whether a record of that
// name is in the table.
TARVO_CHILD(LookForName) {
  TTestEngine engine(args.at(0));
  engine.session->StrictChangeDetection = true;
  auto cursor = OpenShared(engine);
  TellParent("open");
  for (std::string name = HearFromParent(); !name.empty(); name = HearFromParent()) {
    bool found = false;
    cursor->SelectSlotOrder();
    for (bool on = cursor->First(); on && !found; on = cursor->Next()) {
      found = GetText(ConstFieldSlot(cursor->CurrentRecord(), cursor->Descriptors()[1])) == name;
    }
    TellParent(found ? "found" : "missing");
  }
  return 0;
}

// Every index of the table against its records, the blob file against the records' chains, and
// `tarvo verify`; the findings, one a line.
std::string TableProblems(const std::string& dir) {
  std::string problems;
  {
    TTestEngine engine(dir);
    auto cursor = OpenShared(engine);
    TDataTable& table = cursor->Table();
    const auto read = FileRecordReader(table);
    std::vector<TChainRef> chains;
    for (std::int32_t slot = 1; slot < table.DataFile().Header().NextRecordSlot; ++slot) {
      const std::vector<std::byte> record = read(slot);
      if (IsRecordDeleted(record)) continue;
      for (const TFieldDescriptor& d : cursor->Descriptors()) {
        if (d.FieldType != kTypeBlob) continue;
        const TBlobRef ref = GetBlobRef(ConstFieldSlot(record, d));
        if (ref.Reference != 0) chains.push_back({ref.Reference, ref.Stamp});
      }
    }
    for (const auto& list : {CheckAllIndexTrees(table), CheckOneKeyPerRecord(table, read),
                             CheckSysDeletedKeys(table, read), CheckActiveRecordCount(table, read)}) {
      for (const std::string& line : list) problems += line + "\n";
    }
    const TBlobCheckReport blobs = CheckBlobFile(table.BlobFile(), chains);
    problems += blobs.Text();
  }
  const TCliResult verify = RunCli({"verify", dir + kTable + ".DAT"});
  if (verify.status != 0) problems += "tarvo verify: " + verify.out + verify.err;
  return problems;
}

class SqlWritesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CreateTarvoTable(dir_.Dir(), table_);
    tarvo_ = Connect();
    ASSERT_EQ(sqlite3_open(":memory:", &plain_), SQLITE_OK);
    CreatePlainTable(plain_, table_);
  }
  void TearDown() override {
    sqlite3_close(tarvo_);
    sqlite3_close(plain_);
  }

  sqlite3* Connect() {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    EXPECT_EQ(sql::RegisterTarvoModule(db), SQLITE_OK);
    EXPECT_EQ(Execute(db, std::string("CREATE VIRTUAL TABLE ") + kTable + " USING tarvo('" + dir_.Dir() +
                              kTable + ".DAT')"),
              "");
    return db;
  }

  // Every row with its slot, read through a fresh connection so that nothing cached answers.
  std::vector<TRow> Snapshot() {
    sqlite3* db = Connect();
    std::string error;
    std::vector<TRow> rows = QueryRows(db, std::string("SELECT rowid, * FROM ") + kTable, &error);
    EXPECT_EQ(error, "");
    sqlite3_close(db);
    std::sort(rows.begin(), rows.end());
    return rows;
  }

  TTempDir dir_;
  TSqlTable table_ = CustomerTable(kTable, 1031);
  sqlite3* tarvo_ = nullptr;
  sqlite3* plain_ = nullptr;
};

TEST_F(SqlWritesTest, InsertsUpdatesAndDeletesChangeTheTableAsAPlainOneAndKeepItSound) {
  const std::vector<std::string> statements = {
      "INSERT INTO Kunden(ID, Name, City, Born, Notes, Active, Small, Count, Amount, Price, Dec, Raw, At, "
      "Stamp,"
      " W, U, VB, Pic) VALUES (5001, 'Jürgen', 'Köln', '1970-05-06', 'Neue Notiz – äöü', 1, -5, 900, 1.5, "
      "12.25,"
      " 12.5, x'010203040506', '10:11:12.013', '2001-02-03 04:05:06.007', 9, 4000000000, "
      "x'ff001122334455667788', zeroblob(3000))",
      "INSERT INTO Kunden(ID, Name, Count) VALUES (5002, 'Ölfirma', 902)",
      "INSERT INTO Kunden SELECT ID + 10000, upper(Name), City, Born, Notes, Active, Small, Count + 2000, "
      "Amount,"
      " Price, Dec, Raw, At, Stamp, W, U, VB, Pic FROM Kunden WHERE ID BETWEEN 200 AND 400",
      "UPDATE Kunden SET Name = 'Zürcher', Count = Count + 3000, Born = '1999-12-31' WHERE City = 'Zürich'",
      "UPDATE Kunden SET Pic = CASE WHEN Pic IS NULL THEN zeroblob(700) ELSE NULL END,"
      " Notes = Notes || ' (geändert)' WHERE ID % 3 = 0",
      "UPDATE Kunden SET Pic = CAST(x'00112233' || Pic AS BLOB) WHERE ID % 5 = 1",
      // Keys that move ahead of the walk that finds their rows.
      "UPDATE Kunden SET Count = Count + 100000 WHERE Count > 400",
      "UPDATE Kunden SET ID = ID + 5 WHERE ID > 2000",
      "UPDATE Kunden SET Born = date(Born, '-1 year') WHERE Born BETWEEN '1900-01-01' AND '1950-01-01'",
      "DELETE FROM Kunden WHERE Active = 0 AND Born < '1950-01-01'",
      "DELETE FROM Kunden WHERE Name LIKE 'M%'",
      "INSERT INTO Kunden(ID, Name, Count, Pic) VALUES (5003, 'Spät', 901, zeroblob(10000))",
  };
  for (const std::string& statement : statements) {
    SCOPED_TRACE(statement);
    ASSERT_EQ(Execute(plain_, statement), "");
    ASSERT_EQ(Execute(tarvo_, statement), "");
  }
  ExpectSameRows(tarvo_, plain_);
  sqlite3_close(tarvo_);
  tarvo_ = nullptr;
  EXPECT_EQ(TableProblems(dir_.Dir()), "");
}

struct TRefusal {
  const char* what;
  std::vector<const char*> statements;  // the last one is refused (none: all succeed)
  int code;                             // its primary result code
  const char* message;                  // a part of its message
  int locked_slot = 0;                  // a slot whose record lock another process holds
};

TEST_F(SqlWritesTest, ARefusedOrRolledBackChangeLeavesTheTableAsItWas) {
  constexpr const char* kDuplicate = "Tarvo Engine Error # 9729";
  constexpr const char* kLocked = "Tarvo Engine Error # 10258";
  const std::vector<TRefusal> cases = {
      {"a duplicate in a unique index",
       {"UPDATE Kunden SET Count = -463 WHERE ID = 114"},
       SQLITE_CONSTRAINT,
       kDuplicate},
      {"a duplicate after other rows changed",
       {"UPDATE Kunden SET Count = 5000 + ID % 40 WHERE ID > 150"},
       SQLITE_CONSTRAINT,
       kDuplicate},
      {"a duplicate primary key",
       {"INSERT INTO Kunden(ID, Name, Count) VALUES (107, 'Doppelt', 5555)"},
       SQLITE_CONSTRAINT,
       "'ID'"},
      // Slot 3 holds ID 121: the rows before it are changed before the statement meets the lock.
      {"an update of a locked record",
       {"UPDATE Kunden SET Name = 'Gesperrt' WHERE ID BETWEEN 100 AND 130"},
       SQLITE_BUSY,
       kLocked,
       3},
      {"a delete of a locked record", {"DELETE FROM Kunden WHERE ID <= 130"}, SQLITE_BUSY, kLocked, 3},
      {"a rollback",
       {"BEGIN", "INSERT INTO Kunden(ID, Name, Count, Pic) VALUES (6000, 'Neu', 6000, zeroblob(2000))",
        "UPDATE Kunden SET Name = 'Anders', Pic = zeroblob(900) WHERE ID % 2 = 0",
        "DELETE FROM Kunden WHERE ID % 3 = 0", "ROLLBACK"},
       SQLITE_OK,
       ""},
  };
  const std::vector<TRow> before = Snapshot();
  ASSERT_FALSE(before.empty());
  for (const TRefusal& refusal : cases) {
    SCOPED_TRACE(refusal.what);
    std::unique_ptr<TChildProcess> holder;
    if (refusal.locked_slot != 0) {
      holder = std::make_unique<TChildProcess>(
          "HoldRecordLock", std::vector<std::string>{dir_.Dir(), std::to_string(refusal.locked_slot)});
      ASSERT_EQ(holder->Receive(), "locked");
    }
    for (std::size_t i = 0; i < refusal.statements.size(); ++i) {
      const std::string error = Execute(tarvo_, refusal.statements[i]);
      if (i + 1 < refusal.statements.size() || refusal.code == SQLITE_OK) {
        ASSERT_EQ(error, "") << refusal.statements[i];
        continue;
      }
      EXPECT_EQ(sqlite3_errcode(tarvo_) & 0xFF, refusal.code) << error;
      EXPECT_NE(error.find(refusal.message), std::string::npos) << error;
    }
    if (holder != nullptr) {
      holder->Send("done");
      EXPECT_EQ(holder->Wait(), 0);
    }
    EXPECT_TRUE(Snapshot() == before);
  }
  sqlite3_close(tarvo_);
  tarvo_ = nullptr;
  EXPECT_EQ(TableProblems(dir_.Dir()), "");
}

// One statement of a transaction: refused on the Tarvo table with `code`, it is left out on the
// plain one (SQLite undoes a failed statement whole there); `plain` replaces it there where the
// two must be spelled differently. After it, another process can lock the record of
// `lockable_slot` (when not 0): the transaction holds no lock for a change it took back.
struct TStep {
  const char* sql;
  int code = SQLITE_OK;
  const char* plain = nullptr;
  int lockable_slot = 0;
};

struct TTransactionCase {
  const char* what;
  std::vector<TStep> steps;
  int locked_slot = 0;  // a slot whose record lock another process holds meanwhile
};

TEST_F(SqlWritesTest, AFailedStatementOrARolledBackSavepointInsideATransactionLeavesNothingBehind) {
  // Slot 3 holds ID 121; counts are unique, and no two IDs above 150 keep apart under % 40. An
  // ID left out takes the highest ID given so far plus one.
  const std::vector<TTransactionCase> cases = {
      {"an update refused at a later row",
       {{"BEGIN"},
        {"UPDATE Kunden SET Notes = 'vorher', Pic = zeroblob(1500) WHERE ID < 160"},
        {"UPDATE Kunden SET Count = 5000 + ID % 40, Notes = Notes || ' x', Pic = zeroblob(800) WHERE ID > 150",
         SQLITE_CONSTRAINT},
        {"INSERT INTO Kunden(ID, Name, Count) VALUES (6001, 'Danach', 6001)"},
        {"COMMIT"}}},
      {"an insert-select refused half-way",
       {{"BEGIN"},
        {"DELETE FROM Kunden WHERE ID BETWEEN 500 AND 560"},
        {"INSERT INTO Kunden(ID, Name, Notes, Count, Pic) SELECT ID + 10000, Name, Notes, Count + 100000 * (ID < 400),"
         " zeroblob(700) FROM Kunden WHERE ID BETWEEN 200 AND 600",
         SQLITE_CONSTRAINT},
        {"UPDATE Kunden SET Name = 'Danach' WHERE ID = 107"},
        {"COMMIT"}}},
      {"a delete that meets a locked record",
       {{"BEGIN"},
        {"INSERT INTO Kunden(ID, Name, Count, Pic) VALUES (6002, 'Vorher', 6002, zeroblob(3000))"},
        {"DELETE FROM Kunden WHERE ID <= 130", SQLITE_BUSY},
        {"UPDATE Kunden SET Notes = 'Danach' WHERE ID = 135"},
        {"COMMIT"}},
       3},
      {"nested savepoints with memo and blob values changed in between",
       {{"BEGIN"},
        {"UPDATE Kunden SET Notes = 'Stufe 0' WHERE ID < 300"},
        {"SAVEPOINT a"},
        {"UPDATE Kunden SET Notes = Notes || ' – Stufe a', Pic = zeroblob(2500) WHERE ID BETWEEN 250 AND 900"},
        {"INSERT INTO Kunden(Name, Count, Notes) VALUES ('Auto a', 8001, 'verworfen')",
         SQLITE_OK,
         "SELECT 1"},
        {"SAVEPOINT b"},
        {"DELETE FROM Kunden WHERE ID BETWEEN 300 AND 700"},
        {"UPDATE Kunden SET Notes = NULL, Pic = NULL WHERE ID > 1000"},
        {"ROLLBACK TO b"},
        {"UPDATE Kunden SET Notes = 'Stufe b' WHERE ID BETWEEN 700 AND 800"},
        {"SAVEPOINT c"},
        {"INSERT INTO Kunden(ID, Name, Count, Pic) VALUES (6103, 'In c', 6103, zeroblob(5000))"},
        {"RELEASE c"},
        {"RELEASE b"},
        {"ROLLBACK TO a"},
        {"INSERT INTO Kunden(Name, Count, Notes) VALUES ('Auto', 8001, 'behalten')",
         SQLITE_OK,
         "INSERT INTO Kunden(ID, Name, Count, Notes) VALUES (6003, 'Auto', 8001, 'behalten')"},
        {"UPDATE Kunden SET Notes = Notes || ' – nach a', Pic = zeroblob(100) WHERE ID BETWEEN 400 AND 500"},
        {"RELEASE a"},
        {"COMMIT"}}},
      {"a savepoint that begins the transaction",
       {{"SAVEPOINT d"},
        {"DELETE FROM Kunden WHERE ID BETWEEN 1000 AND 1100"},
        {"SAVEPOINT e"},
        {"UPDATE Kunden SET Pic = zeroblob(4000), Notes = 'e' WHERE ID BETWEEN 1100 AND 1300"},
        {"ROLLBACK TO e", SQLITE_OK, nullptr, 150},  // ID 1150
        {"UPDATE Kunden SET Notes = 'nach e' WHERE ID BETWEEN 1100 AND 1200"},
        {"RELEASE d"}}},
  };
  for (const TTransactionCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<TChildProcess> holder;
    if (c.locked_slot != 0) {
      holder = std::make_unique<TChildProcess>("HoldRecordLock",
                                               std::vector<std::string>{dir_.Dir(), std::to_string(c.locked_slot)});
      ASSERT_EQ(holder->Receive(), "locked");
    }
    for (const TStep& step : c.steps) {
      const std::string error = Execute(tarvo_, step.sql);
      if (step.code == SQLITE_OK) {
        ASSERT_EQ(error, "") << step.sql;
        ASSERT_EQ(Execute(plain_, step.plain != nullptr ? step.plain : step.sql), "") << step.sql;
      } else {
        EXPECT_EQ(sqlite3_errcode(tarvo_) & 0xFF, step.code) << step.sql << ": " << error;
      }
      if (step.lockable_slot != 0) {
        TChildProcess locker("HoldRecordLock", {dir_.Dir(), std::to_string(step.lockable_slot)});
        EXPECT_EQ(locker.Receive(), "locked") << step.sql;
        locker.Send("done");
        (void)locker.Wait();
      }
    }
    if (holder != nullptr) {
      holder->Send("done");
      EXPECT_EQ(holder->Wait(), 0);
    }
    sqlite3* fresh = Connect();
    ExpectSameRows(fresh, plain_);
    sqlite3_close(fresh);
  }
  sqlite3_close(tarvo_);
  tarvo_ = nullptr;
  EXPECT_EQ(TableProblems(dir_.Dir()), "");
}

TEST_F(SqlWritesTest, AnotherProcessWithTheTableOpenSeesACommittedInsert) {
  TChildProcess reader("LookForName", {dir_.Dir()});
  ASSERT_EQ(reader.Receive(), "open");
  ASSERT_EQ(Execute(tarvo_, "INSERT INTO Kunden(ID, Name, Count) VALUES (7001, 'Einzeln', 7001)"), "");
  ASSERT_TRUE(reader.Send("Einzeln"));
  EXPECT_EQ(reader.Receive(), "found");
  ASSERT_EQ(
      Execute(
          tarvo_,
          "BEGIN; INSERT INTO Kunden(ID, Name, Count, Pic) VALUES (7002, 'Gebuendelt', 7002, zeroblob(600));"
          " COMMIT"),
      "");
  ASSERT_TRUE(reader.Send("Gebuendelt"));
  EXPECT_EQ(reader.Receive(), "found");
  reader.Send("");
  EXPECT_EQ(reader.Wait(), 0);
}

}  // namespace
}  // namespace tarvo::testing

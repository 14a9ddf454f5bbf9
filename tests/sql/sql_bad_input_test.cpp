// Bad input to SQL over the tables: a path that is no table, a damaged table, a table removed while
// attached, a text that the table's code page cannot hold. Each ends in an error that carries the
// engine's message or names the field, never in a crash or a silently changed table.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "engine/format/data_header.h"
#include "engine/tables/data_cursor.h"
#include "sql/tarvo_module.h"
#include "tests/sql/sql_tables.h"
#include "tests/testing/table_builder.h"
#include "tests/testing/temp_dir.h"

namespace tarvo::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* kEngineError = "Tarvo Engine Error # ";

// Overwrites `bytes.size()` bytes of `file` at `offset`.
void Patch(const std::string& file, std::uint64_t offset, const std::string& bytes) {
  std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
  stream.seekp(static_cast<std::streamoff>(offset));
  stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class SqlBadInputTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    source_ = new TTempDir();
    CreateTarvoTable(source_->Dir(), CustomerTable("Kunden", 1031));
  }
  static void TearDownTestSuite() { delete source_; }

  void SetUp() override { Reset(); }
  void TearDown() override { sqlite3_close(db_); }

  // A fresh copy of the table and a fresh connection.
  void Reset() {
    sqlite3_close(db_);
    for (const auto& entry : fs::directory_iterator(dir_.Path())) fs::remove_all(entry.path());
    for (const auto& entry : fs::directory_iterator(source_->Path())) {
      fs::copy_file(entry.path(), dir_.Path() / entry.path().filename());
    }
    ASSERT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
    ASSERT_EQ(sql::RegisterTarvoModule(db_), SQLITE_OK);
  }

  std::string Attach(const std::string& path) {
    return Execute(db_, "CREATE VIRTUAL TABLE k USING tarvo('" + path + "')");
  }
  std::string Table() const { return dir_.File("Kunden.DAT"); }

  // The file offset of field `field` (0-based) of the record in `slot`.
  std::uint64_t FieldOffset(std::int32_t slot, std::size_t field) {
    TTestEngine engine(dir_.Dir());
    TDataCursor cursor(*engine.session, *engine.directory);
    TCursorOpenOptions options;
    options.table_name = "Kunden";
    cursor.Open(options);
    return kDataHeaderSize + 768 * cursor.FieldCount() +
           static_cast<std::uint64_t>(slot - 1) * cursor.RecordSize() +
           cursor.Descriptors()[field].RecordOffset;
  }

  static TTempDir* source_;
  TTempDir dir_;
  sqlite3* db_ = nullptr;
};

TTempDir* SqlBadInputTest::source_ = nullptr;

TEST_F(SqlBadInputTest, APathThatIsNoTableIsRefusedWithTheEnginesMessage) {
  std::ofstream(dir_.File("Text.DAT")) << std::string(2000, 'x');
  std::ofstream(dir_.File("Leer.DAT")).flush();
  struct TCase {
    const char* what;
    std::string path;
  };
  const std::vector<TCase> cases = {{"a missing file", dir_.File("Nichts.DAT")},
                                    {"a missing folder", dir_.File("nirgends/Kunden.DAT")},
                                    {"a folder", dir_.Dir()},
                                    {"a file of text", dir_.File("Text.DAT")},
                                    {"an empty file", dir_.File("Leer.DAT")}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string error = Attach(c.path);
    EXPECT_NE(error.find(kEngineError), std::string::npos) << error;
  }
  std::string error;
  QueryRows(db_, "SELECT tarvo_attach('" + dir_.File("nirgends") + "')", &error);
  EXPECT_NE(error, "");
}

TEST_F(SqlBadInputTest, ADamagedTableGivesTheEnginesErrorAndNoCrash) {
  struct TCase {
    const char* what;
    std::function<void()> damage;
    const char* query;
  };
  const std::vector<TCase> cases = {
      {"a data header of 0xFF", [&] { Patch(Table(), 0, std::string(kDataHeaderSize, '\xff')); },
       "SELECT count(*) FROM k"},
      {"index pages of 0xFF",
       [&] {
         const auto size = fs::file_size(dir_.File("Kunden.IDX"));
         Patch(dir_.File("Kunden.IDX"), 4096, std::string(size - 4096, '\xff'));
       },
       "SELECT Name FROM k WHERE ID = 128"},
      // Slot 4 (ID 128) has a picture; its reference now points far beyond the blob file.
      {"a blob reference beyond the blob file",
       [&] { Patch(Table(), FieldOffset(4, 17) + 1, "\xf0\xff\xff\x00"); },
       "SELECT length(Pic) FROM k WHERE rowid = 4"},
      {"a data file cut inside a record", [&] { fs::resize_file(Table(), FieldOffset(10, 5)); },
       "SELECT ID, Name FROM k"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    Reset();
    c.damage();
    std::string error = Attach(Table());
    if (error.empty()) QueryRows(db_, c.query, &error);
    EXPECT_NE(error.find(kEngineError), std::string::npos) << error;
  }
}

TEST_F(SqlBadInputTest, ATableRemovedWhileAttachedTakesNoMoreChanges) {
  ASSERT_EQ(Attach(Table()), "");
  std::string error;
  const std::vector<TRow> before = QueryRows(db_, "SELECT count(*) FROM k", &error);
  ASSERT_EQ(error, "");
  for (const char* extension : {".DAT", ".IDX", ".BLB"})
    fs::remove(dir_.File(std::string("Kunden") + extension));
  // Reading may still give what the table held, or the engine's error; a change is refused rather
  // than written into files that no one opens again.
  const std::vector<TRow> after = QueryRows(db_, "SELECT count(*) FROM k", &error);
  if (error.empty()) {
    EXPECT_TRUE(after == before);
  } else {
    EXPECT_NE(error.find(kEngineError), std::string::npos) << error;
  }
  const std::string refused = Execute(db_, "INSERT INTO k(ID, Name, Count) VALUES (9000, 'Verloren', 9000)");
  EXPECT_NE(refused.find("Tarvo Engine Error # 11010"), std::string::npos) << refused;
}

TEST_F(SqlBadInputTest, ATextTheCodePageCannotHoldIsRefusedNamingTheField) {
  ASSERT_EQ(Attach(Table()), "");
  const std::string all = "SELECT rowid, * FROM k";
  const std::vector<TRow> before = QueryRows(db_, all);
  struct TCase {
    const char* statement;
    const char* field;
  };
  const std::vector<TCase> cases = {
      {"INSERT INTO k(ID, Name) VALUES (9001, 'Łódź')", "Name"},
      {"UPDATE k SET City = 'Київ' WHERE ID = 107", "City"},
      {"UPDATE k SET Notes = 'Grüße aus 東京' WHERE ID = 114", "Notes"},
      {"INSERT INTO k(ID, Name, Notes) VALUES (9002, 'Gut', 'schlecht 😀')", "Notes"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.statement);
    const std::string error = Execute(db_, c.statement);
    EXPECT_NE(error.find(c.field), std::string::npos) << error;
  }
  EXPECT_TRUE(QueryRows(db_, all) == before);
}

}  // namespace
}  // namespace tarvo::testing

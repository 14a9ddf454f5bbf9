// Adding while another process has the table open: a batch of changes is seen whole by the other
// process, and an import through a shared open that is cut off by a refused record keeps every
// record before it, each with its memo, in a sound table that the other process sees.
#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "engine/maintenance/import_table.h"
#include "engine/tables/data_table.h"
#include "engine/tables/table_lock_guard.h"
#include "tests/engine/tables/blob_table_fixture.h"
#include "tests/testing/child_process.h"
#include "tests/testing/temp_dir.h"
#include "tests/testing/tree_checker.h"

namespace tarvo {
namespace {

using namespace testing;

std::string MemoOf(std::int32_t id) {
  return "Notiz " + std::to_string(id) + std::string(static_cast<std::size_t>(id % 7) * 150, '+');
}

// args: directory. Holds table "Shared" open; on "count" answers the records it sees, read under
// the reader lock as every reader does.
TARVO_CHILD(CountUnderReaderLock) {
  TTestDatabase db(args.at(0));
  db.session.FixedLockRetries = 20000;  // waits out a batch on a busy machine
  auto cursor = OpenCursor(db, "Shared", false);
  TellParent("open");
  for (std::string line = HearFromParent(); line == "count"; line = HearFromParent()) {
    TTableLockGuard reader(cursor->Table(), TTableLockKind::kReader);
    TellParent(std::to_string(cursor->RecordCount()));
  }
  return 0;
}

class SharedImportTest : public ::testing::Test {
 protected:
  SharedImportTest() : db_(dir_.Dir()) { db_.directory->CreateTable("Shared", BlobCursorDefinition()); }

  TTempDir dir_;
  TTestDatabase db_;
};

TEST_F(SharedImportTest, AnotherProcessSeesABatchWhole) {
  TChildProcess child("CountUnderReaderLock", {dir_.Dir()});
  ASSERT_EQ(child.Receive(), "open");
  auto cursor = OpenCursor(db_, "Shared", false);
  TDataTable& table = cursor->Table();
  const auto add = [&](const std::string& name) {
    auto record = cursor->NewRecordBuffer();
    PutName(*cursor, record, name);
    (void)cursor->AddRecord(record, false);
  };
  (void)table.BeginBatch();
  add("eins");
  ASSERT_TRUE(child.Send("count"));
  // The other process now waits for the reader lock; what it counts is the batch as a whole.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  add("zwei");
  add("drei");
  table.EndBatch();
  EXPECT_EQ(child.Receive(), "3");
  add("vier");  // outside a batch: written at once
  ASSERT_TRUE(child.Send("count"));
  EXPECT_EQ(child.Receive(), "4");
  child.Send("");
  EXPECT_EQ(child.Wait(), 0);
}

// Records 1..2500 with supplied IDs; the one at `bad` is refused, after two batches were written.
TEST_F(SharedImportTest, ARefusedRecordKeepsEveryRecordBeforeIt) {
  constexpr std::int32_t kCount = 2500;
  constexpr std::int32_t kBad = 2200;
  for (const bool duplicate : {true, false}) {
    SCOPED_TRACE(duplicate ? "a duplicate primary key" : "a line the source refuses");
    db_.directory->DeleteTable("Shared");
    db_.directory->CreateTable("Shared", BlobCursorDefinition());
    TChildProcess child("CountUnderReaderLock", {dir_.Dir()});
    ASSERT_EQ(child.Receive(), "open");
    TDataCursor cursor(db_.session, *db_.directory);
    TCursorOpenOptions options;
    options.table_name = "Shared";
    std::int32_t next = 1;
    const TImportResult result =
        ImportRecords(cursor, options, [&](TImportTarget& target, std::span<std::byte> record) {
          if (next > kCount) return false;
          const std::int32_t id = next++;
          if (id == kBad && !duplicate) throw std::invalid_argument("not JSON");
          TDataCursor& c = target.Cursor();
          SetRecordAutoIncrement(record, id == kBad ? 7 : id);
          c.KeepSuppliedAutoIncrement = true;
          PutName(c, record, "Name " + std::to_string(id));
          c.SetBlobField(record, kBlobNotes, BytesOf(MemoOf(id)));
          return true;
        });
    EXPECT_FALSE(result.exchanged);
    ASSERT_TRUE(result.refusal);
    EXPECT_EQ(result.added, kBad - 1);
    ASSERT_TRUE(child.Send("count"));
    EXPECT_EQ(child.Receive(), std::to_string(kBad - 1));
    child.Send("");
    EXPECT_EQ(child.Wait(), 0);

    auto check = OpenCursor(db_, "Shared", true);
    TDataTable& table = check->Table();
    const auto read = FileRecordReader(table);
    for (const auto& list : {CheckAllIndexTrees(table), CheckOneKeyPerRecord(table, read),
                             CheckSysDeletedKeys(table, read), CheckActiveRecordCount(table, read)}) {
      for (const std::string& error : list) ADD_FAILURE() << error;
    }
    std::int32_t id = 0;
    for (bool on = check->First(); on; on = check->Next()) {
      ++id;
      ASSERT_EQ(RecordAutoIncrement(check->CurrentRecord()), id);
      ASSERT_EQ(check->ReadBlobField(kBlobNotes), BytesOf(MemoOf(id)));
    }
    EXPECT_EQ(id, kBad - 1);
    check->Close();
  }
}

}  // namespace
}  // namespace tarvo

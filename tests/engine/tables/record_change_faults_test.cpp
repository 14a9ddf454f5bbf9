// Faults in the middle of adding, changing and deleting a record: a blob file at its size limit,
// a write that fails (disk full, I/O error) and a process killed at a write. A refused operation
// leaves the table as it was; a killed one costs at most the record it was writing, and repair
// mends what the cut left and says so.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <iostream>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "errors/engine_error.h"
#include "engine/blob/blob_chain.h"
#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/format/record_layout.h"
#include "engine/maintenance/repair.h"
#include "engine/maintenance/scratch_table.h"
#include "engine/tables/data_cursor.h"
#include "support/fault_injector.h"
#include "tests/engine/maintenance/crash_tables.h"
#include "tests/testing/blob_checker.h"
#include "tests/testing/engine_matchers.h"
#include "tests/testing/table_builder.h"
#include "tests/testing/temp_dir.h"
#include "tests/testing/tree_checker.h"

namespace tarvo {
namespace {

using namespace tarvo::testing;
namespace fs = std::filesystem;

// A few dozen records of the crash sweeps' table: enough for trees of two levels, small enough to
// sweep in seconds.
constexpr int kRows = 36;
constexpr int kDeleteEach = 5;
constexpr std::uint32_t kWriteOps = TFaultOp::kWrite | TFaultOp::kFlush;
// Exit status of a child whose operation ran to its end.
constexpr int kChildDone = 0;

TCursorOpenOptions Options(bool exclusive) {
  TCursorOpenOptions options;
  options.table_name = kTable;
  options.exclusive = exclusive;
  return options;
}

// Fills `record` (a new buffer or a copy of a record) with a name, a count and both values.
void Fill(TDataCursor& cursor, std::vector<std::byte>& record, const std::string& name, int count,
          std::size_t memo, std::size_t data, int seed) {
  const auto& f = cursor.Descriptors();
  PutText(FieldSlot(record, f[1]), name, 0, 0, 0);
  PutInt32(FieldSlot(record, f[2]), count);
  cursor.SetBlobField(record, f[3].FieldNumber, Pattern(memo, seed));
  cursor.SetBlobField(record, f[4].FieldNumber, Pattern(data, seed + 1000));
}

// Values of 0 bytes to several blocks; every kDeleteEach-th record deleted, its blocks freed.
void BuildSmallTable(const std::string& dir) {
  TTestEngine engine(dir);
  engine.directory->CreateTable(kTable, CrashDefinition());
  TDataCursor cursor(*engine.session, *engine.directory);
  cursor.Open(Options(true));
  static constexpr std::size_t kMemoSizes[] = {0, 1, 494, 495, 1500, 3000};
  static constexpr std::size_t kDataSizes[] = {700, 0, 2049, 7};
  for (int i = 0; i < kRows; ++i) {
    std::vector<std::byte> record = cursor.NewRecordBuffer();
    Fill(cursor, record, (i % 2 == 0 ? "name" : "NAME") + std::to_string(i % 9), (i * 37) % 11,
         kMemoSizes[i % 6], kDataSizes[i % 4], i);
    (void)cursor.AddRecord(record, false);
  }
  for (std::int32_t slot = kDeleteEach; slot <= kRows; slot += kDeleteEach) {
    ASSERT_TRUE(cursor.GoToSlot(slot));
    cursor.DeleteRecord(cursor.CurrentRecord(), false);
  }
}

// The records by slot, each as text: its ID and every field, blob values loaded.
using TRecords = std::map<std::int32_t, std::string>;

struct TRecordState {
  std::string header;  // slot count, head of the deleted chain, last ID
  TRecords records;
  bool operator==(const TRecordState&) const = default;
};

// Opens the table normally and reads it; unless `check` is false, the trees, the keys, the record
// count and the blob file must be sound. Findings of the checks go to `problems` when given,
// else they fail the test.
TRecordState ReadState(const std::string& dir, std::vector<std::string>* problems = nullptr) {
  TTestEngine engine(dir);
  TDataCursor cursor(*engine.session, *engine.directory);
  cursor.Open(Options(true));
  TDataTable& table = cursor.Table();
  const TDataHeader& h = table.DataFile().Header();
  TRecordState state;
  state.header = std::to_string(h.NextRecordSlot) + "/" + std::to_string(h.FirstFreeRecord) + "/" +
                 std::to_string(h.LastAutoIncrement);
  std::vector<TChainRef> chains;
  cursor.SelectSlotOrder();
  for (bool on = cursor.First(); on; on = cursor.Next()) {
    const std::vector<std::byte>& r = cursor.CurrentRecord();
    std::string text = std::to_string(RecordAutoIncrement(r));
    for (const TFieldDescriptor& f : cursor.Descriptors()) {
      std::vector<std::byte> bytes;
      if (f.FieldType == kTypeBlob) {
        const TBlobRef ref = GetBlobRef(ConstFieldSlot(r, f));
        if (ref.Reference != 0) chains.push_back({ref.Reference, ref.Stamp});
        bytes = LoadBlobOf(table, ConstFieldSlot(r, f));
      } else {
        bytes.assign(ConstFieldSlot(r, f).begin(), ConstFieldSlot(r, f).end());
      }
      text += "|" + std::to_string(bytes.size()) + ":" +
              std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    state.records[cursor.CurrentSlot()] = text;
  }
  std::vector<std::string> found;
  const auto read = FileRecordReader(table);
  for (auto list : {CheckAllIndexTrees(table), CheckOneKeyPerRecord(table, read),
                    CheckSysDeletedKeys(table, read), CheckActiveRecordCount(table, read)}) {
    found.insert(found.end(), list.begin(), list.end());
  }
  const TBlobCheckReport report = CheckBlobFile(table.BlobFile(), chains);
  found.insert(found.end(), report.problems.begin(), report.problems.end());
  if (problems != nullptr) {
    *problems = found;
  } else {
    for (const std::string& p : found) ADD_FAILURE() << p;
  }
  return state;
}

// The lines of a verification or repair.
std::vector<std::string> RunRepair(const std::string& dir, bool verify_only) {
  TTestEngine engine(dir);
  TDataCursor cursor(*engine.session, *engine.directory);
  std::vector<std::string> lines;
  TRepairCallbacks callbacks;
  callbacks.log = [&](const std::string& line) { lines.push_back(line); };
  RepairTable(cursor, Options(true), {verify_only, false}, callbacks);
  return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

// A record operation: `prepare` brings the table to where the operation starts (outside the
// sweep), `run` is the operation swept; `touched` is the slot it writes.
struct TOperation {
  const char* name;
  std::function<void(TDataCursor&)> prepare;
  std::function<void(TDataCursor&)> run;
  std::int32_t touched;
};

void AddOne(TDataCursor& cursor) {
  std::vector<std::byte> record = cursor.NewRecordBuffer();
  Fill(cursor, record, "omega", 4, 1500, 700, 77);
  (void)cursor.AddRecord(record, false);
}

const std::vector<TOperation>& Operations() {
  static const std::vector<TOperation> operations = {
      // Into the head of the deleted-record chain, its blocks from the free list.
      {"add into a deleted slot", {}, AddOne, kRows / kDeleteEach * kDeleteEach},
      // With the chain used up: a new slot at the end, blocks appended.
      {"add at the end",
       [](TDataCursor& cursor) {
         TDataTable& table = cursor.Table();
         while (table.Records().SlotForNextAppend() != table.DataFile().Header().NextRecordSlot) AddOne(cursor);
       },
       AddOne, kRows + 1},
      // Keys move, the memo grows over its chain and more blocks, the binary value is freed.
      {"change",
       {},
       [](TDataCursor& cursor) {
         ASSERT_TRUE(cursor.GoToSlot(3));
         std::vector<std::byte> record = cursor.CurrentRecord();
         Fill(cursor, record, "Zulu", 99, 3200, 0, 5);
         cursor.ChangeRecord(record, false, true);
       },
       3},
      {"delete",
       {},
       [](TDataCursor& cursor) {
         ASSERT_TRUE(cursor.GoToSlot(3));
         cursor.DeleteRecord(cursor.CurrentRecord(), false);
       },
       3},
  };
  return operations;
}

// The table of an operation's start, in `to`.
void Prepare(const fs::path& pristine, const TOperation& operation, const fs::path& to) {
  CopyTableFiles(pristine, to);
  if (!operation.prepare) return;
  TTestEngine engine(to.string());
  TDataCursor cursor(*engine.session, *engine.directory);
  cursor.Open(Options(true));
  operation.prepare(cursor);
}

// Exclusive caches so small that an operation writes pages, blocks and records on its way.
void SmallCaches(TDataTable& table) {
  table.IndexFile().SetPageCacheCapacity(4);
  table.BlobFile().SetCacheCapacity(4);
  table.Records().SetCacheSize(2);
}

TEST(RecordChangeFaultsTest, ABlobFileAtItsLimitRefusesTheAddAndKeepsTheTable) {
  TTempDir dir;
  BuildSmallTable(dir.Dir());
  const TRecordState before = ReadState(dir.Dir());
  {
    TTestEngine engine(dir.Dir());
    TDataCursor cursor(*engine.session, *engine.directory);
    cursor.Open(Options(true));
    TBlobFile& blob = cursor.Table().BlobFile();
    const std::int32_t end = blob.Header().end_offset;
    // The end offset a block or two below the limit; a value that needs every free block and
    // one block more than fits.
    blob.MutableHeader().end_offset = static_cast<std::int32_t>(
        end + (kMaxBlobFileEnd - end) / blob.BlockSize() * blob.BlockSize() - blob.BlockSize());
    const std::int64_t room = (kMaxBlobFileEnd - blob.Header().end_offset) / blob.BlockSize() + 1;
    std::int64_t free = 0;
    for (std::int32_t at = blob.Header().free_head; at != 0; ++free) {
      const TBlockPin block(blob, &blob.GetBlockForWrite(at, 1, false));
      at = block->NextBlock();
    }
    ASSERT_GT(free, 0);
    std::vector<std::byte> record = cursor.NewRecordBuffer();
    Fill(cursor, record, "big", 1, static_cast<std::size_t>(free + room + 1) * blob.DataSize(), 0, 3);
    const std::vector<std::byte> given = record;
    EXPECT_ENGINE_ERROR(kTableFull, (void)cursor.AddRecord(record, false));
    EXPECT_TRUE(record == given) << "the caller's buffer is as it was";
    EXPECT_EQ(cursor.RecordCount(), kRows - kRows / kDeleteEach);
    // The same buffer goes in once there is room.
    blob.MutableHeader().end_offset = end;
    EXPECT_NO_THROW((void)cursor.AddRecord(record, false));
    ASSERT_TRUE(cursor.GoToSlot(kRows / kDeleteEach * kDeleteEach));
    cursor.DeleteRecord(cursor.CurrentRecord(), false);
  }
  TRecordState now = ReadState(dir.Dir());
  // The add and the delete took a stamp and an ID each.
  EXPECT_EQ(now.records, before.records);
  const std::vector<std::string> lines = RunRepair(dir.Dir(), true);
  EXPECT_EQ(lines.size(), 2u) << Joined(lines);
}

// Each write (and flush) of each operation fails in turn, with ENOSPC and with EIO, on a shared
// table (which writes every change at once) and on an exclusive one whose small caches write
// while the operation goes on. The refused operation raises the I/O error and leaves the table
// exactly as it was: the same records and values, sound trees and chains, a clean verification.
TEST(RecordChangeFaultsTest, ARefusedWriteLeavesTheTableAsItWas) {
  TTempDir pristine;
  BuildSmallTable(pristine.Dir());
  int points = 0;
  for (const TOperation& operation : Operations()) {
    TTempDir start;
    Prepare(pristine.Path(), operation, start.Path());
    const TRecordState before = ReadState(start.Dir());
    for (const bool exclusive : {false, true}) {
      for (const int error : {ENOSPC, EIO}) {
        for (std::int64_t n = 1;; ++n) {
          SCOPED_TRACE(std::string(operation.name) + (exclusive ? ", exclusive" : ", shared") + ", errno " +
                       std::to_string(error) + ", write " + std::to_string(n));
          TTempDir dir;
          CopyTableFiles(start.Path(), dir.Path());
          bool fired = false;
          {
            TTestEngine engine(dir.Dir());
            TDataCursor cursor(*engine.session, *engine.directory);
            cursor.Open(Options(exclusive));
            if (exclusive) SmallCaches(cursor.Table());
            TFaultScope fault(kWriteOps, n, error);
            bool raised = false;
            try {
              operation.run(cursor);
            } catch (const ETarvoEngineError& e) {
              raised = true;
              EXPECT_TRUE(IsIoCode(EngineCode(e))) << e.what();
            }
            fired = fault.Fired();
            EXPECT_EQ(fired, raised) << "a failed write is reported, and only a failed one";
          }
          if (!fired) break;
          ++points;
          EXPECT_EQ(ReadState(dir.Dir()), before);
          const std::vector<std::string> lines = RunRepair(dir.Dir(), true);
          EXPECT_EQ(lines.size(), 2u) << Joined(lines);
          if (::testing::Test::HasFailure()) return;
        }
      }
    }
  }
  std::cout << points << " failure points swept\n";
  EXPECT_GT(points, 40);
}

// Each write (and flush) of each operation on a shared table ends the process in turn, as a kill
// does. Repair then finds and mends what the cut left (and finds nothing where it left no damage),
// and every record the operation did not write is there as before, values and all.
TEST(RecordChangeFaultsTest, AKillAtAnyWriteCostsAtMostTheRecordBeingWritten) {
  TTempDir pristine;
  BuildSmallTable(pristine.Dir());
  int kills = 0;
  int mended = 0;
  int lost = 0;
  for (const TOperation& operation : Operations()) {
    TTempDir start;
    Prepare(pristine.Path(), operation, start.Path());
    const TRecordState before = ReadState(start.Dir());
    std::int64_t calls = 0;
    TRecordState after;
    {
      TTempDir dry;
      CopyTableFiles(start.Path(), dry.Path());
      {
        TTestEngine engine(dry.Dir());
        TDataCursor cursor(*engine.session, *engine.directory);
        cursor.Open(Options(false));
        TFaultScope count(kWriteOps, 0, 0);
        operation.run(cursor);
        calls = TFaultInjector::Calls();
      }
      after = ReadState(dry.Dir());
    }
    ASSERT_GT(calls, 0);
    for (std::int64_t n = 1; n <= calls; ++n) {
      SCOPED_TRACE(std::string(operation.name) + ", kill at write " + std::to_string(n) + " of " +
                   std::to_string(calls));
      TTempDir dir;
      CopyTableFiles(start.Path(), dir.Path());
      const pid_t pid = ::fork();
      if (pid == 0) {
        TTestEngine engine(dir.Dir());
        TDataCursor cursor(*engine.session, *engine.directory);
        cursor.Open(Options(false));
        TFaultInjector::ArmCrash(kWriteOps, n);
        operation.run(cursor);
        ::_exit(kChildDone);
      }
      ASSERT_GT(pid, 0);
      int status = 0;
      ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kFaultCrashExitStatus) << "status " << status;
      ++kills;
      // Is there damage? The checks on a copy, as the cut left the files.
      std::vector<std::string> damage;
      {
        TTempDir look;
        CopyTableFiles(dir.Path(), look.Path());
        try {
          (void)ReadState(look.Dir(), &damage);
        } catch (const ETarvoEngineError& e) {
          damage.push_back(e.what());
        }
      }
      const std::vector<std::string> lines = RunRepair(dir.Dir(), false);
      ASSERT_GE(lines.size(), 2u);
      const std::vector<std::string> findings(lines.begin() + 1, lines.end() - 1);
      if (damage.empty()) {
        EXPECT_TRUE(findings.empty()) << "nothing to mend, yet:\n" << Joined(findings);
      } else {
        EXPECT_FALSE(findings.empty()) << "damage that repair does not name:\n" << Joined(damage);
        ++mended;
      }
      const TRecordState now = ReadState(dir.Dir());
      for (const auto& [slot, record] : before.records) {
        if (slot == operation.touched) continue;
        const auto it = now.records.find(slot);
        EXPECT_TRUE(it != now.records.end() && it->second == record) << "record in slot " << slot;
      }
      const auto it = now.records.find(operation.touched);
      const auto was = before.records.find(operation.touched);
      const auto becomes = after.records.find(operation.touched);
      const bool as_before = was != before.records.end()
                                 ? it != now.records.end() && it->second == was->second
                                 : it == now.records.end();
      const bool as_after = becomes != after.records.end()
                                ? it != now.records.end() && it->second == becomes->second
                                : it == now.records.end();
      lost += as_before || as_after ? 0 : 1;
      const std::vector<std::string> again = RunRepair(dir.Dir(), true);
      EXPECT_EQ(again.size(), 2u) << Joined(again);
      if (::testing::Test::HasFailure()) return;
    }
  }
  std::cout << kills << " kill points, " << mended << " with damage that repair mended, " << lost
            << " with the written record neither as before nor as after\n";
}

}  // namespace
}  // namespace tarvo

// Crash sweeps of the maintenance operations that rewrite a table. A dry run counts the writes,
// flushes, renames and deletes of the operation; then for every one of them in turn the
// operation runs in a forked child that ends on the spot at that call (no destructors, nothing
// buffered written: as under a kill). Afterwards the table must open normally and hold exactly
// the records, field definitions and indexes it had before, or exactly those of a complete run,
// blob values byte for byte; its trees and blob file must be sound, no intent file may be left,
// and the same operation must run through again.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "components/engine_error.h"
#include "engine/blob/blob_chain.h"
#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/format/record_layout.h"
#include "engine/maintenance/import_table.h"
#include "engine/maintenance/optimize.h"
#include "engine/maintenance/repair.h"
#include "engine/maintenance/restructure.h"
#include "engine/maintenance/table_exchange.h"
#include "engine/tables/data_cursor.h"
#include "support/fault_injector.h"
#include "tests/testing/blob_checker.h"
#include "tests/testing/table_builder.h"
#include "tests/testing/temp_dir.h"
#include "tests/testing/tree_checker.h"

namespace tarvo {
namespace {

using namespace tarvo::testing;
namespace fs = std::filesystem;

constexpr std::uint32_t kCrashOps =
    TFaultOp::kWrite | TFaultOp::kFlush | TFaultOp::kRename | TFaultOp::kDelete;
constexpr const char* kTable = "T";
constexpr int kRecords = 200;
constexpr int kDeleteEvery = 7;
// Exit status of a child whose operation raised instead of running to its end.
constexpr int kChildRaised = 3;

// ID (auto-increment, primary), Name text(20) with a case-insensitive index, Count int32 with an
// index over (Count, Name), Memo (memo blob) and Data (binary blob).
TTableDefinition CrashDefinition() {
  TTableDefinition d;
  d.fields = {Field("ID", kTypeInt32, 0, kSubTypeAutoInc), Field("Name", kTypeText, 20),
              Field("Count", kTypeInt32), Field("Memo", kTypeBlob, 0, kSubTypeMemo),
              Field("Data", kTypeBlob, 0, kSubTypeBinary)};
  for (std::size_t i = 0; i < d.fields.size(); ++i)
    d.fields[i].FieldNumber = static_cast<std::uint16_t>(i + 1);
  d.indexes = {Index("", {1}, true), Index("ByName", {2}, false, 3), Index("ByCount", {3, 2}, false, 1)};
  d.indexes[1].case_insensitive = 1;
  d.blob_block_size = 512;
  return d;
}

std::vector<std::byte> Pattern(std::size_t size, int seed) {
  std::vector<std::byte> v(size);
  for (std::size_t i = 0; i < size; ++i)
    v[i] = static_cast<std::byte>((i * 131 + static_cast<std::size_t>(seed) * 7) & 0xFF);
  return v;
}

TCursorOpenOptions ExclusiveOptions() {
  TCursorOpenOptions options;
  options.table_name = kTable;
  options.exclusive = true;
  return options;
}

// Blob values of 0 bytes, under a block, exactly one and several blocks; names that differ only
// in case; every kDeleteEvery-th record deleted, its blob blocks going to the free list.
void BuildTable(const std::string& dir) {
  TTestEngine engine(dir);
  engine.directory->CreateTable(kTable, CrashDefinition());
  TDataCursor cursor(*engine.session, *engine.directory);
  cursor.Open(ExclusiveOptions());
  const auto& f = cursor.Descriptors();
  static constexpr std::size_t kMemoSizes[] = {0, 1, 100, 511, 512, 513, 1500, 5000};
  static constexpr std::size_t kDataSizes[] = {0, 2049, 7, 0, 512, 300, 1024};
  static const char* const kNames[] = {"alpha", "Alpha", "BETA", "beta", "Gamma", "delta"};
  for (int i = 0; i < kRecords; ++i) {
    std::vector<std::byte> record = cursor.NewRecordBuffer();
    PutText(FieldSlot(record, f[1]), std::string(kNames[i % 6]) + std::to_string(i % 40), 0, 0, 0);
    PutInt32(FieldSlot(record, f[2]), (i * 37) % 101);
    cursor.SetBlobField(record, f[3].FieldNumber, Pattern(kMemoSizes[i % 8], i));
    cursor.SetBlobField(record, f[4].FieldNumber, Pattern(kDataSizes[i % 7], i + 1000));
    (void)cursor.AddRecord(record, false);
  }
  for (std::int32_t slot = kDeleteEvery; slot <= kRecords; slot += kDeleteEvery) {
    ASSERT_TRUE(cursor.GoToSlot(slot));
    const std::vector<std::byte> image = cursor.CurrentRecord();
    cursor.DeleteRecord(image, false);
  }
  cursor.Close();
}

// What a table holds, as far as its users can tell: the header values, field and index
// definitions, and every record in slot order with its blob values loaded.
struct TTableState {
  std::string definition;
  std::vector<std::string> records;
  bool operator==(const TTableState&) const = default;
};

void AppendBytes(std::string& out, std::span<const std::byte> bytes) {
  out += std::to_string(bytes.size()) + ":";
  out.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// Opens the table normally, reads its state and runs the tree and blob checkers on it.
TTableState ReadCheckedState(const std::string& dir) {
  TTestEngine engine(dir);
  TDataCursor cursor(*engine.session, *engine.directory);
  cursor.Open(ExclusiveOptions());
  TDataTable& table = cursor.Table();
  TTableState state;
  const TTableDefinition d = DefinitionOf(table);
  state.definition = "autoinc " + std::to_string(cursor.LastAutoIncrement()) + "\n";
  for (const TFieldDescriptor& f : d.fields) {
    state.definition += "field " + f.FieldName + " " + std::to_string(f.FieldType) + "/" +
                        std::to_string(f.FieldSubType) + "/" + std::to_string(f.FieldSize) + "\n";
  }
  for (const TIndexDescriptor& x : d.indexes) {
    state.definition += "index " + x.name + " u" + std::to_string(x.unique) + " ci" +
                        std::to_string(x.case_insensitive) + " d" + std::to_string(x.descending) + " c" +
                        std::to_string(x.compression) + " fields";
    for (std::size_t i = 0; i < x.field_count; ++i)
      state.definition += " " + std::to_string(x.field_numbers[i]);
    state.definition += "\n";
  }
  std::vector<TChainRef> chains;
  cursor.SelectSlotOrder();
  for (bool on = cursor.First(); on; on = cursor.Next()) {
    const std::vector<std::byte>& r = cursor.CurrentRecord();
    std::string text =
        std::to_string(cursor.CurrentSlot()) + "#" + std::to_string(RecordAutoIncrement(r)) + "|";
    for (const TFieldDescriptor& f : cursor.Descriptors()) {
      if (f.FieldType == kTypeBlob) {
        AppendBytes(text, LoadBlobOf(table, ConstFieldSlot(r, f)));
        const TBlobRef ref = GetBlobRef(ConstFieldSlot(r, f));
        chains.push_back({ref.Reference, ref.Stamp});
      } else {
        AppendBytes(text, ConstFieldSlot(r, f));
      }
    }
    state.records.push_back(std::move(text));
  }
  const auto trees = CheckAllIndexTrees(table);
  EXPECT_TRUE(trees.empty()) << trees.front();
  const auto keys = CheckOneKeyPerRecord(table, FileRecordReader(table));
  EXPECT_TRUE(keys.empty()) << keys.front();
  const auto count = CheckActiveRecordCount(table, FileRecordReader(table));
  EXPECT_TRUE(count.empty()) << count.front();
  const TBlobCheckReport report = CheckBlobFile(table.BlobFile(), chains);
  EXPECT_TRUE(report.Ok()) << report.Text();
  cursor.Close();
  return state;
}

void CopyTableFiles(const fs::path& from, const fs::path& to) {
  for (const char* extension : {".DAT", ".IDX", ".BLB"}) {
    fs::copy_file(from / (std::string(kTable) + extension), to / (std::string(kTable) + extension));
  }
}

using TOperation = std::function<void(TTestEngine& engine)>;

struct TSweepResult {
  std::int64_t calls = 0;   // counted calls of a whole run
  int crash_points = 0;     // crashes swept
  int as_before = 0;        // ... after which the table was as before
  int as_after = 0;         // ... or as after a complete run
  int scratch_left = 0;     // ... after which a second run left files in the scratch area
  std::string left_behind;  // the first such file
  double seconds = 0;
};

// Runs `operation` once on a copy to count its calls and to learn the state it leaves, then once
// per crash point in a child that ends at that call. `prepare` changes the built table first.
void Sweep(TSweepResult& result, const TOperation& operation,
           const std::function<void(const fs::path&)>& prepare = {}, bool expect_clean_scratch = false) {
  const auto started = std::chrono::steady_clock::now();
  TTempDir original;
  BuildTable(original.Dir());
  if (prepare) prepare(original.Path());
  const TTableState before = ReadCheckedState(original.Dir());

  TTableState after;
  {
    TTempDir dry;
    CopyTableFiles(original.Path(), dry.Path());
    {
      TTestEngine engine(dry.Dir());
      TFaultInjector::Arm(kCrashOps, std::numeric_limits<std::int64_t>::max(), 0);
      operation(engine);
      result.calls = TFaultInjector::Calls();
      TFaultInjector::Disarm();
    }
    after = ReadCheckedState(dry.Dir());
  }
  EXPECT_NE(before, after) << "the operation must change something the sweep can see";
  EXPECT_GT(result.calls, 0);

  for (std::int64_t n = 1; n <= result.calls; ++n) {
    SCOPED_TRACE("crash at call " + std::to_string(n) + " of " + std::to_string(result.calls));
    TTempDir dir;
    CopyTableFiles(original.Path(), dir.Path());
    const pid_t pid = ::fork();
    if (pid == 0) {
      int status = 0;
      try {
        TTestEngine engine(dir.Dir());
        TFaultInjector::ArmCrash(kCrashOps, n);
        operation(engine);
      } catch (...) {
        status = kChildRaised;
      }
      ::_exit(status);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kFaultCrashExitStatus)
        << "the child did not end at the crash point (status " << status << ")";
    ++result.crash_points;

    // The open completes or rolls back whatever the crash cut off.
    TTableState now;
    ASSERT_NO_THROW(now = ReadCheckedState(dir.Dir()));
    EXPECT_FALSE(fs::exists(dir.File(std::string(kTable) + ".XCH")));
    if (now == before) {
      ++result.as_before;
    } else if (now == after) {
      ++result.as_after;
    } else {
      ADD_FAILURE() << "the table is neither as before nor as after the operation (" << now.records.size()
                    << " records; before " << before.records.size() << ", after " << after.records.size()
                    << ")\n"
                    << now.definition;
    }
    // Nothing is left locked or half done: the operation runs through again.
    {
      TTestEngine engine(dir.Dir());
      EXPECT_NO_THROW(operation(engine));
    }
    {
      TTestEngine engine(dir.Dir());
      TDataCursor cursor(*engine.session, *engine.directory);
      cursor.Open(ExclusiveOptions());
      EXPECT_EQ(cursor.RecordCount(), static_cast<std::int32_t>(after.records.size()));
    }
    EXPECT_FALSE(fs::exists(dir.File(std::string(kTable) + ".XCH")));
    // Beside the table nothing but its files and backups; what the scratch area still holds is
    // counted.
    bool scratch_left = false;
    for (const auto& entry : fs::recursive_directory_iterator(dir.Path())) {
      const std::string name = fs::relative(entry.path(), dir.Path()).string();
      if (name.starts_with(kScratchSubdirectory)) {
        if (entry.is_regular_file() && result.left_behind.empty()) result.left_behind = name;
        scratch_left = scratch_left || entry.is_regular_file();
        continue;
      }
      EXPECT_TRUE(name.starts_with(std::string(kTable) + ".") && name.size() == 5) << "left behind: " << name;
    }
    result.scratch_left += scratch_left ? 1 : 0;
    if (expect_clean_scratch) {
      EXPECT_FALSE(scratch_left) << "left in the scratch area: " << result.left_behind;
    }
    if (::testing::Test::HasFatalFailure()) break;
  }
  EXPECT_EQ(result.as_before + result.as_after, result.crash_points);
  // The first write happens before anything is committed; the last call comes after.
  EXPECT_GT(result.as_before, 0);
  EXPECT_GT(result.as_after, 0);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

void Report(const char* name, const TSweepResult& r) {
  std::cout << name << ": " << r.calls << " calls, " << r.crash_points << " crash points, " << r.as_before
            << " as before, " << r.as_after << " as after, " << r.seconds << " s";
  if (r.scratch_left > 0)
    std::cout << "; files left in the scratch area after " << r.scratch_left << " (" << r.left_behind << ")";
  std::cout << "\n";
}

TRestructureRequest OwnRequest(TTestEngine& engine) {
  TDataCursor cursor(*engine.session, *engine.directory);
  cursor.Open(ExclusiveOptions());
  const TTableDefinition d = DefinitionOf(cursor.Table());
  cursor.Close();
  return RequestFromDefinition(d);
}

TRestructureWay Restructure(TTestEngine& engine, const TRestructureRequest& request) {
  TDataCursor cursor(*engine.session, *engine.directory);
  TRestructureCallbacks callbacks;
  callbacks.data_lost = [](std::uint8_t, const std::string&, bool&, bool&) {};
  return RestructureTable(cursor, ExclusiveOptions(), request, callbacks);
}

void Optimize(TTestEngine& engine, bool no_backup) {
  TDataCursor cursor(*engine.session, *engine.directory);
  OptimizeTable(cursor, ExclusiveOptions(), "ByName", no_backup, {});
}

// Name widened and a field added (a second run finds them done and changes nothing).
void RestructureByCopy(TTestEngine& engine) {
  TRestructureRequest request = OwnRequest(engine);
  if (request.fields.size() == 5) {
    request.fields[1].FieldSize = 40;
    TFieldDescriptor note = Field("Note", kTypeText, 10);
    note.FieldNumber = 100;  // a new field
    request.fields.push_back(note);
  }
  Restructure(engine, request);
}

// ByCount changed and a descending index added (a second run finds them done).
void RestructureIndexes(TTestEngine& engine) {
  TRestructureRequest request = OwnRequest(engine);
  if (request.indexes.size() == 3) {
    request.indexes[2].compression = 3;
    TIndexDescriptor by_count_desc = Index("ByCountDesc", {3, 1}, false, 2);
    by_count_desc.descending = 1;
    by_count_desc.field_descending.fill(1);
    request.indexes.push_back(by_count_desc);
  }
  EXPECT_NE(Restructure(engine, request), TRestructureWay::kCopy);
}

// Five records with identifiers of their own and memo and binary values of up to several blocks,
// then a refused one: the five stay. A second run is refused at its first record (its identifier
// is taken), so that it changes nothing.
void Import(TTestEngine& engine) {
  constexpr int kImported = 5;
  TDataCursor cursor(*engine.session, *engine.directory);
  int i = 0;
  const TImportResult result =
      ImportRecords(cursor, ExclusiveOptions(), [&](TImportTarget& target, std::span<std::byte> record) {
        const std::int32_t id = 1000 + i;
        if (i == kImported || target.IdentifierInUse(id)) throw std::invalid_argument("refused");
        TDataCursor& c = target.Cursor();
        const auto& f = c.Descriptors();
        SetRecordAutoIncrement(record, id);
        c.KeepSuppliedAutoIncrement = true;
        PutText(FieldSlot(record, f[1]), "import" + std::to_string(i), 0, 0, 0);
        PutInt32(FieldSlot(record, f[2]), i);
        c.SetBlobField(record, f[3].FieldNumber, Pattern(static_cast<std::size_t>(600 * i), i));
        c.SetBlobField(record, f[4].FieldNumber, Pattern(1100, i + 50));
        ++i;
        return true;
      });
  EXPECT_TRUE(result.refusal);
}

TEST(CrashSweepTest, Import) {
  TSweepResult r;
  Sweep(r, Import);
  Report("import", r);
}

TEST(CrashSweepTest, Optimize) {
  // With backups the old files are moved aside; without, they are deleted after the commit.
  for (const bool no_backup : {false, true}) {
    SCOPED_TRACE(no_backup ? "without backups" : "with backups");
    TSweepResult r;
    Sweep(r, [no_backup](TTestEngine& engine) { Optimize(engine, no_backup); });
    Report(no_backup ? "optimize without backups" : "optimize", r);
  }
}

TEST(CrashSweepTest, RestructureByCopy) {
  TSweepResult r;
  Sweep(r, RestructureByCopy);
  Report("restructure by copy", r);
}

TEST(CrashSweepTest, RestructureIndexesInPlace) {
  TSweepResult r;
  Sweep(r, RestructureIndexes);
  Report("restructure of indexes", r);
}

// A crash leaves the scratch table being built (optimize, restructure by copying), or the
// snapshot copies when it comes after a guarded change committed, in the hidden scratch area,
// and no later open or run removes them. Enable once the scratch area is cleaned up.
TEST(CrashSweepTest, DISABLED_NothingStaysInTheScratchArea) {
  TSweepResult r;
  Sweep(
      r, [](TTestEngine& engine) { Optimize(engine, true); }, {}, true);
  Report("optimize without backups", r);
  TSweepResult s;
  Sweep(s, RestructureIndexes, {}, true);
  Report("restructure of indexes", s);
}

TEST(CrashSweepTest, Repair) {
  // The auto-increment counter below the highest ID: the repair raises it.
  const auto lower_counter = [](const fs::path& dir) {
    std::fstream file(dir / "T.DAT", std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(17);
    const char value[4] = {5, 0, 0, 0};
    file.write(value, 4);
  };
  TSweepResult r;
  Sweep(
      r,
      [](TTestEngine& engine) {
        TDataCursor cursor(*engine.session, *engine.directory);
        TRepairCallbacks callbacks;
        callbacks.log = [](const std::string&) {};
        RepairTable(cursor, ExclusiveOptions(), {}, callbacks);
      },
      lower_counter);
  Report("repair", r);
}

}  // namespace
}  // namespace tarvo

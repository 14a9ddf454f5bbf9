// A full disk and I/O errors during optimize, restructure and repair: every write, flush, rename,
// delete and open of a run is made to fail in turn, with ENOSPC and with EIO. A run either fails
// with the engine code of the file layer and leaves the table's directory exactly as it was (the
// same files, byte for byte, no scratch folder, no intent file, no backups), no descriptor open and
// no lock held, or it succeeds because the failed step could be done without, and the table then
// holds every record.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <span>
#include <sstream>

#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/format/record_layout.h"
#include "engine/maintenance/import_table.h"
#include "engine/maintenance/optimize.h"
#include "engine/maintenance/repair.h"
#include "engine/maintenance/restructure.h"
#include "engine/maintenance/scratch_table.h"
#include "engine/tables/data_cursor.h"
#include "engine/tables/table_exchange.h"
#include "support/fault_injector.h"
#include "tests/engine/maintenance/failure_sweep.h"
#include "tests/testing/child_process.h"
#include "tests/testing/table_builder.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

using namespace tarvo::testing;

// ID (auto-increment, primary), Name text(20) with a case-insensitive index, Count int32 with a
// unique index, Memo (memo) and Picture (binary) blobs in blocks of 512 bytes.
TTableDefinition PeopleDefinition() {
  TTableDefinition d;
  d.fields = {Field("ID", kTypeInt32, 0, kSubTypeAutoInc), Field("Name", kTypeText, 20),
              Field("Count", kTypeInt32), Field("Memo", kTypeBlob, 0, kSubTypeMemo),
              Field("Picture", kTypeBlob, 0, kSubTypeBinary)};
  for (std::size_t i = 0; i < d.fields.size(); ++i)
    d.fields[i].FieldNumber = static_cast<std::uint16_t>(i + 1);
  d.indexes = {Index("", {1}, true), Index("ByName", {2}, false, 3), Index("ByCount", {3}, true, 1)};
  d.indexes[1].case_insensitive = 1;
  d.blob_block_size = 512;
  return d;
}

struct TPerson {
  std::int32_t id = 0;
  std::string name;
  std::int32_t count = 0;
  std::vector<std::byte> memo;
  std::vector<std::byte> picture;
  bool operator==(const TPerson&) const = default;
};

std::vector<std::byte> Bytes(std::size_t size, int seed) {
  std::vector<std::byte> v(size);
  for (std::size_t i = 0; i < size; ++i)
    v[i] = static_cast<std::byte>((i * 13 + static_cast<std::size_t>(seed)) & 0xFF);
  return v;
}

std::unique_ptr<TDataCursor> OpenPeople(TTestEngine& engine) {
  auto cursor = std::make_unique<TDataCursor>(*engine.session, *engine.directory);
  TCursorOpenOptions options;
  options.table_name = "T";
  options.exclusive = true;
  cursor->Open(options);
  return cursor;
}

// 16 records, memos and pictures of up to four blocks, every fifth record deleted.
void BuildPeople(TTestEngine& engine) {
  engine.directory->CreateTable("T", PeopleDefinition());
  auto cursor = OpenPeople(engine);
  const auto& f = cursor->Descriptors();
  static constexpr std::size_t kMemoSizes[] = {0, 100, 600, 1500};
  static constexpr std::size_t kPictureSizes[] = {700, 0, 2000, 50, 513};
  for (int i = 0; i < 16; ++i) {
    std::vector<std::byte> record = cursor->NewRecordBuffer();
    PutText(FieldSlot(record, f[1]), "Name" + std::to_string((i * 7) % 11), 0, 0, 0);
    PutInt32(FieldSlot(record, f[2]), 500 - i);
    cursor->SetBlobField(record, 4, Bytes(kMemoSizes[i % 4], i));
    cursor->SetBlobField(record, 5, Bytes(kPictureSizes[i % 5], i + 100));
    (void)cursor->AddRecord(record, false);
  }
  for (std::int32_t slot = 5; slot <= 16; slot += 5) {
    ASSERT_TRUE(cursor->GoToSlot(slot));
    const std::vector<std::byte> image = cursor->CurrentRecord();
    cursor->DeleteRecord(image, false);
  }
  cursor->Close();
}

// The live records by their identifiers, fields found by name (a restructure moves them).
std::vector<TPerson> People(TTestEngine& engine) {
  auto cursor = OpenPeople(engine);
  cursor->SelectSlotOrder();
  std::vector<TPerson> people;
  for (bool on = cursor->First(); on; on = cursor->Next()) {
    const auto& r = cursor->CurrentRecord();
    TPerson p;
    p.id = RecordAutoIncrement(r);
    for (const TFieldDescriptor& d : cursor->Descriptors()) {
      if (d.FieldName == "Name") p.name = GetText(ConstFieldSlot(r, d)).value_or("");
      if (d.FieldName == "Count") p.count = GetInt32(ConstFieldSlot(r, d)).value_or(0);
      if (d.FieldName == "Memo") p.memo = LoadBlobOf(cursor->Table(), ConstFieldSlot(r, d));
      if (d.FieldName == "Picture") p.picture = LoadBlobOf(cursor->Table(), ConstFieldSlot(r, d));
    }
    people.push_back(p);
  }
  std::sort(people.begin(), people.end(), [](const TPerson& a, const TPerson& b) { return a.id < b.id; });
  return people;
}

// In a second process: opens table T of the folder exclusively whenever the parent asks, and
// answers "ok" or the engine code.
TARVO_CHILD(OpenExclusivelyOnRequest) {
  TTestEngine engine(args.at(0));
  TellParent("ready");
  while (!HearFromParent().empty()) {
    try {
      OpenPeople(engine)->Close();
      TellParent("ok");
    } catch (const ETarvoEngineError& e) {
      TellParent(std::to_string(EngineCode(e)));
    }
  }
  return 0;
}

// The names of the files that differ between two takes of a folder, with "+" for one that is
// new and "-" for one that is gone.
std::string ChangedFiles(const std::map<std::string, std::vector<std::byte>>& now,
                         const std::map<std::string, std::vector<std::byte>>& before) {
  std::string changed;
  for (const auto& [name, bytes] : now) {
    const auto it = before.find(name);
    if (it == before.end())
      changed += "+" + name + " ";
    else if (it->second != bytes)
      changed += name + " ";
  }
  for (const auto& [name, bytes] : before) {
    if (!now.contains(name)) changed += "-" + name + " ";
  }
  return changed;
}

// The failed checks of the running test so far.
int FailedChecks() {
  const ::testing::TestResult* result = ::testing::UnitTest::GetInstance()->current_test_info()->result();
  int failed = 0;
  for (int i = 0; i < result->total_part_count(); ++i)
    failed += result->GetTestPartResult(i).failed() ? 1 : 0;
  return failed;
}

struct TFaultKind {
  TFaultOp op;
  const char* name;
};
constexpr TFaultKind kFaultKinds[] = {{TFaultOp::kWrite, "write"},
                                      {TFaultOp::kFlush, "flush"},
                                      {TFaultOp::kRename, "rename"},
                                      {TFaultOp::kDelete, "delete"},
                                      {TFaultOp::kOpen, "open"}};
constexpr TFaultKind kAllButDeletes[] = {{TFaultOp::kWrite, "write"},
                                         {TFaultOp::kFlush, "flush"},
                                         {TFaultOp::kRename, "rename"},
                                         {TFaultOp::kOpen, "open"}};
constexpr TFaultKind kDeletes[] = {{TFaultOp::kDelete, "delete"}};
constexpr TFaultKind kReads[] = {{TFaultOp::kRead, "read"}};
constexpr int kErrorNumbers[] = {ENOSPC, EIO};

// One failure point at which the run still succeeded.
struct THarmless {
  std::string kind;
  int error_number;
  std::int64_t n;
};

class DiskFailureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    BuildPeople(engine_);
    files_ = DirectoryBytes(dir_.Path());
    entries_ = DirectoryEntries(dir_.Path());
    people_ = People(engine_);
    ASSERT_EQ(people_.size(), 13u);
  }

  // Runs `operation` once for every counted call of every fault kind and both errors, the call
  // failing. A failed run must leave everything as it was; a run that succeeds must have kept
  // every record (`succeeded` checks the rest). Returns the failure points that did no harm.
  std::vector<THarmless> Sweep(const std::function<void()>& operation, const std::function<void()>& succeeded,
                               std::span<const TFaultKind> kinds = kFaultKinds) {
    TChildProcess child("OpenExclusivelyOnRequest", {dir_.Dir()});
    EXPECT_EQ(child.Receive(), "ready");
    std::vector<THarmless> harmless;
    int failed_points = 0;
    for (const TFaultKind& kind : kinds) {
      const std::int64_t calls = CountFaultCalls(static_cast<std::uint32_t>(kind.op), operation);
      RestoreDirectory(dir_.Path(), files_);
      for (const int error_number : kErrorNumbers) {
        for (std::int64_t n = 1; n <= calls; ++n) {
          const std::string where = std::string(kind.name) + " " + std::to_string(n) + "/" +
                                    std::to_string(calls) + " errno " + std::to_string(error_number);
          const std::size_t descriptors = OpenDescriptorCount();
          const int failed_before = FailedChecks();
          bool fired = false;
          int code = 0;
          {
            TFaultScope fault(kind.op, n, error_number);
            try {
              operation();
            } catch (const ETarvoEngineError& e) {
              code = EngineCode(e);
            }
            fired = fault.Fired();
          }
          EXPECT_TRUE(fired) << where;
          EXPECT_EQ(OpenDescriptorCount(), descriptors) << where;
          if (code == 0) {
            harmless.push_back({kind.name, error_number, n});
            EXPECT_EQ(People(engine_), people_) << where;
            if (succeeded) succeeded();
          } else {
            // Writes and flushes through a table file report the write error; every other
            // failure of the system reports its own code.
            const bool through_file = kind.op == TFaultOp::kWrite || kind.op == TFaultOp::kFlush;
            const bool read = kind.op == TFaultOp::kRead;
            EXPECT_TRUE(code == kUnknownOsError || (through_file && code == kWriteError) ||
                        (read && code == kReadError))
                << where << ": " << code;
            EXPECT_EQ(DirectoryEntries(dir_.Path()), entries_) << where;
            EXPECT_EQ(ChangedFiles(DirectoryBytes(dir_.Path()), files_), "") << where;
            child.Send("open");
            EXPECT_EQ(child.Receive(), "ok") << where << ": another process cannot open the table";
            EXPECT_NO_THROW(OpenPeople(engine_)->Close()) << where;
            // A fault shows at a few points in a row: enough of them to tell it.
            if (FailedChecks() > failed_before && ++failed_points >= 6) return harmless;
          }
          RestoreDirectory(dir_.Path(), files_);
        }
      }
    }
    child.Send("");
    return harmless;
  }

  // Whether exactly `deletes` failure points per error did no harm, all of them deletes after the
  // commit: of an exchange, the old files of a run without backups and the intent file (a later
  // maintenance run deletes what is left); of a change in place, the copies of the table's files.
  static void ExpectOnlyDeletesAfterTheCommit(const std::vector<THarmless>& harmless, std::size_t deletes) {
    std::ostringstream listed;
    for (const THarmless& p : harmless) listed << p.kind << " " << p.n << " (" << p.error_number << ") ";
    EXPECT_EQ(harmless.size(), deletes * std::size(kErrorNumbers)) << listed.str();
    for (const THarmless& p : harmless) EXPECT_EQ(p.kind, "delete") << listed.str();
  }

  TRestructureRequest OwnRequest() {
    auto cursor = OpenPeople(engine_);
    return RequestFromDefinition(DefinitionOf(cursor->Table()));
  }
  TRestructureWay Restructure(const TRestructureRequest& request) {
    TDataCursor cursor(*engine_.session, *engine_.directory);
    TCursorOpenOptions options;
    options.table_name = "T";
    options.exclusive = true;
    return RestructureTable(cursor, options, request, {});
  }

  // A secondary index added: the index file is rebuilt in place.
  std::function<void()> AddIndex() {
    TRestructureRequest r = OwnRequest();
    r.indexes.push_back(Index("ByCountDesc", {3}, false, 3));
    return [this, r] { EXPECT_EQ(Restructure(r), TRestructureWay::kIndexesInPlace); };
  }
  std::function<void()> Repair() {
    return [this] {
      TDataCursor cursor(*engine_.session, *engine_.directory);
      TCursorOpenOptions open;
      open.table_name = "T";
      open.exclusive = true;
      RepairTable(cursor, open, {}, {});
    };
  }
  // After a run that changed the table in place: its files and the index backup, or nothing else.
  std::function<void()> IndexBackupBeside() {
    return [this] {
      std::set<std::string> expected = entries_;
      expected.insert("T.IBK");
      EXPECT_EQ(DirectoryEntries(dir_.Path()), expected);
    };
  }
  std::function<void()> NothingElse() {
    return [this] { EXPECT_EQ(DirectoryEntries(dir_.Path()), entries_); };
  }

  TTempDir dir_;
  TTestEngine engine_{dir_.Dir()};
  std::map<std::string, std::vector<std::byte>> files_;
  std::set<std::string> entries_;
  std::vector<TPerson> people_;
};

// After a run that succeeded: the new table with its backups (or without), and nothing else
// but, when deleting it was the step that failed, the intent file of the committed exchange,
// which the next maintenance run removes.
void ExpectNewTable(const TTempDir& dir, bool backups) {
  std::set<std::string> expected = {"T.DAT", "T.IDX", "T.BLB"};
  if (backups) expected.insert({"T.DBK", "T.IBK", "T.BBK"});
  if (DirectoryEntries(dir.Path()).contains("T.XCH")) {
    EXPECT_TRUE(RecoverTableExchange(dir.Dir(), "T"));
  }
  EXPECT_EQ(DirectoryEntries(dir.Path()), expected);
}

TEST_F(DiskFailureTest, Optimize) {
  for (const bool no_backup : {false, true}) {
    const auto run = [&] {
      TDataCursor cursor(*engine_.session, *engine_.directory);
      TCursorOpenOptions options;
      options.table_name = "T";
      options.exclusive = true;
      OptimizeTable(cursor, options, {}, no_backup, {});
    };
    const auto harmless = Sweep(run, [&] { ExpectNewTable(dir_, !no_backup); });
    ExpectOnlyDeletesAfterTheCommit(harmless, no_backup ? 4 : 1);
  }
}

// An import that fails changes nothing; one that succeeds holds the records before and the new
// ones, and leaves no old files behind.
TEST_F(DiskFailureTest, Import) {
  const std::vector<TPerson> added = {{900, "Neu1", 900, Bytes(700, 1), Bytes(0, 2)},
                                      {901, "Neu2", 901, Bytes(0, 3), Bytes(1500, 4)}};
  const auto run = [&] {
    TDataCursor cursor(*engine_.session, *engine_.directory);
    TCursorOpenOptions options;
    options.table_name = "T";
    std::size_t i = 0;
    const TImportResult result =
        ImportRecords(cursor, options, [&](TImportTarget& target, std::span<std::byte> record) {
          if (i == added.size()) return false;
          const TPerson& p = added[i++];
          TDataCursor& c = target.Cursor();
          const auto& f = c.Descriptors();
          SetRecordAutoIncrement(record, p.id);
          c.KeepSuppliedAutoIncrement = true;
          PutText(FieldSlot(record, f[1]), p.name, 0, 0, 0);
          PutInt32(FieldSlot(record, f[2]), p.count);
          c.SetBlobField(record, 4, p.memo);
          c.SetBlobField(record, 5, p.picture);
          return true;
        });
    EXPECT_FALSE(result.refusal);
  };
  people_.insert(people_.end(), added.begin(), added.end());
  ExpectOnlyDeletesAfterTheCommit(Sweep(run, [&] { ExpectNewTable(dir_, false); }), 4);
  ExpectOnlyDeletesAfterTheCommit(Sweep(run, [&] { ExpectNewTable(dir_, false); }, kReads), 0);
}

// Reads fail too: every record and blob value of the copy comes through a read.
TEST_F(DiskFailureTest, OptimizeWhenAReadFails) {
  const auto run = [&] {
    TDataCursor cursor(*engine_.session, *engine_.directory);
    TCursorOpenOptions options;
    options.table_name = "T";
    options.exclusive = true;
    OptimizeTable(cursor, options, {}, false, {});
  };
  ExpectOnlyDeletesAfterTheCommit(Sweep(run, [&] { ExpectNewTable(dir_, true); }, kReads), 0);
}

TEST_F(DiskFailureTest, RestructureWhenAReadFails) {
  ExpectOnlyDeletesAfterTheCommit(Sweep(AddIndex(), IndexBackupBeside(), kReads), 0);
}

TEST_F(DiskFailureTest, RestructureAddingAnIndex) {
  ExpectOnlyDeletesAfterTheCommit(Sweep(AddIndex(), IndexBackupBeside(), kAllButDeletes), 0);
}

// An index backup of an earlier run is replaced only by a run that succeeds.
TEST_F(DiskFailureTest, RestructureAddingAnIndexKeepsAnEarlierBackup) {
  std::filesystem::copy_file(dir_.File("T.IDX"), dir_.File("T.IBK"));
  files_ = DirectoryBytes(dir_.Path());
  entries_ = DirectoryEntries(dir_.Path());
  const auto replaced = [this] {
    EXPECT_EQ(DirectoryEntries(dir_.Path()), entries_);
    EXPECT_NE(ReadFileBytes(dir_.File("T.IBK")), files_["T.IBK"]);
  };
  ExpectOnlyDeletesAfterTheCommit(Sweep(AddIndex(), replaced, kAllButDeletes), 0);
}

// The deletes after the change has committed: the copies of the table's files, then the intent
// file. Their failure does no harm; what they leave is deleted by the next open of the table.
TEST_F(DiskFailureTest, RestructureAddingAnIndexWhenADeleteFails) {
  ExpectOnlyDeletesAfterTheCommit(Sweep(AddIndex(), IndexBackupBeside(), kDeletes), 4);
}

TEST_F(DiskFailureTest, RestructureWideningAndAddingAField) {
  TRestructureRequest r = OwnRequest();
  r.fields[1].FieldSize = 30;
  r.fields.push_back(Field("Extra", kTypeInt32));
  r.fields.back().FieldNumber = 99;
  const auto run = [&] { EXPECT_EQ(Restructure(r), TRestructureWay::kCopy); };
  ExpectOnlyDeletesAfterTheCommit(Sweep(run, [this] { ExpectNewTable(dir_, true); }), 1);
}

TEST_F(DiskFailureTest, Repair) {
  ExpectOnlyDeletesAfterTheCommit(Sweep(Repair(), NothingElse(), kAllButDeletes), 0);
}

// A read that fails is no damage of the table: the repair stops with the read error instead of
// passing over the record it was reading.
TEST_F(DiskFailureTest, RepairWhenAReadFails) {
  ExpectOnlyDeletesAfterTheCommit(Sweep(Repair(), NothingElse(), kReads), 0);
}

TEST_F(DiskFailureTest, RepairWhenADeleteFails) {
  ExpectOnlyDeletesAfterTheCommit(Sweep(Repair(), NothingElse(), kDeletes), 4);
}

}  // namespace
}  // namespace tarvo

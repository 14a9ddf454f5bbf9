// Optimize: records afterwards exactly as before in primary-key order in slots 1..N, sound trees
// and blob file, progress against the slot count, backups and their replacement, the unknown
// index, preconditions, a table held by another process, an interrupted exchange, the hidden
// scratch area, and the fixtures. Injected disk failures: disk_failure_test.cpp.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "engine/maintenance/optimize.h"
#include "engine/maintenance/restructure.h"
#include "engine/tables/table_exchange.h"
#include "support/platform.h"
#include "tests/engine/maintenance/maintenance_tables.h"
#include "tests/engine/maintenance/repair_table.h"
#include "tests/testing/child_process.h"
#include "tests/testing/engine_matchers.h"

namespace tarvo {
namespace {

using namespace tarvo::testing;

class OptimizeTest : public ::testing::Test {
 protected:
  void Optimize(const std::string& index = {}, bool no_backup = false,
                std::vector<std::pair<std::int32_t, std::uint16_t>>* progress = nullptr,
                const std::string& name = "Items") {
    TDataCursor cursor(*engine_.session, *engine_.directory);
    TCursorOpenOptions options;
    options.table_name = name;
    options.exclusive = true;
    OptimizeTable(cursor, options, index, no_backup, [progress](std::int32_t current, std::uint16_t percent) {
      if (progress != nullptr) progress->emplace_back(current, percent);
    });
    EXPECT_FALSE(cursor.IsOpen());
  }
  bool Exists(const std::string& file) const { return std::filesystem::exists(dir_.File(file)); }
  void Clear() const {
    for (const auto& entry : std::filesystem::directory_iterator(dir_.Path())) std::filesystem::remove_all(entry.path());
  }

  TTempDir dir_;
  TTestEngine engine_{dir_.Dir()};
};

TEST_F(OptimizeTest, KeepsEveryRecordInPrimaryOrderWithoutDeletedSlots) {
  BuildItems(engine_, 120, 3);
  const auto before = Snapshot(engine_);
  ASSERT_EQ(before.size(), 80u);
  std::vector<std::pair<std::int32_t, std::uint16_t>> progress;
  Optimize({}, false, &progress);
  const auto after = Snapshot(engine_);
  ASSERT_EQ(after.size(), before.size());
  std::vector<TItem> expected;
  for (const auto& [slot, item] : before) expected.push_back(item);
  std::sort(expected.begin(), expected.end(), [](const TItem& a, const TItem& b) { return a.id < b.id; });
  for (std::size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(after[i].first, static_cast<std::int32_t>(i + 1));
    EXPECT_EQ(after[i].second, expected[i]) << "slot " << i + 1;
  }
  ExpectSoundTable(engine_);
  // Progress per record against the old slot count: it stops below 100.
  ASSERT_EQ(progress.size(), 80u);
  EXPECT_EQ(progress.back(), (std::pair<std::int32_t, std::uint16_t>{80, 66}));
  EXPECT_EQ(progress[0].second, 0);
  // A second run over the compact table ends at 100 and replaces the backups.
  const auto first_backup = ReadFileBytes(dir_.File("Items.DBK"));
  progress.clear();
  Optimize({}, false, &progress);
  EXPECT_EQ(progress.back(), (std::pair<std::int32_t, std::uint16_t>{80, 100}));
  EXPECT_NE(ReadFileBytes(dir_.File("Items.DBK")), first_backup);
  EXPECT_TRUE(Exists("Items.IBK"));
  EXPECT_TRUE(Exists("Items.BBK"));
  EXPECT_FALSE(Exists(".tarvo-scratch"));
  EXPECT_FALSE(Exists("Items.XCH"));
  // Nothing but the table and its backups in the directory.
  EXPECT_EQ(DirectoryBytes(dir_.Path()).size(), 6u);
}

// The offset of the first byte in which `a` and `b` differ, -1 when they are equal.
std::int64_t FirstDifference(std::span<const std::byte> a, std::span<const std::byte> b) {
  const auto [at, _] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
  if (at == a.end() && a.size() == b.size()) return -1;
  return at - a.begin();
}

// A table filled through a cursor in primary-key order, without deletions, is already what
// optimize writes: the copy must leave the same slots, stamps, chains and counters, byte for byte,
// plain and enciphered, with values of many blocks, of one byte and empty ones.
TEST_F(OptimizeTest, CopyWritesWhatAppendingThroughACursorWrote) {
  for (const bool encrypted : {false, true}) {
    for (const bool auto_increment : {true, false}) {
      SCOPED_TRACE(std::string(encrypted ? "enciphered" : "plain") + (auto_increment ? "" : ", no counter field"));
      TTempDir dir;
      TTestEngine engine(dir.Dir());
      engine.session->AddPassword("geheim");
      TTableDefinition d;
      d.fields = {Field("ID", kTypeInt32, 0, auto_increment ? kSubTypeAutoInc : 0), Field("Name", kTypeText, 12),
                  Field("Memo", kTypeBlob, 0, kSubTypeMemo), Field("Pic", kTypeBlob, 0, kSubTypeGraphic)};
      for (std::size_t i = 0; i < d.fields.size(); ++i) d.fields[i].FieldNumber = static_cast<std::uint16_t>(i + 1);
      d.indexes = {Index("", {1}, true), Index("ByName", {2}, false, 1)};
      d.blob_block_size = 64;
      d.encrypted = encrypted;
      if (encrypted) d.password = "geheim";
      engine.directory->CreateTable("Items", d);
      {
        auto cursor = OpenItems(engine, true);
        const auto& f = cursor->Descriptors();
        for (int i = 0; i < 40; ++i) {
          std::vector<std::byte> record = cursor->NewRecordBuffer();
          if (!auto_increment) PutInt32(FieldSlot(record, f[0]), 10 * i + 3);
          PutText(FieldSlot(record, f[1]), "N" + std::to_string(i % 7), 0, 0, 0);
          // Every value set, as a copy sets it: an empty one too.
          cursor->SetBlobField(record, f[2].FieldNumber, MemoOfSize(i % 3 == 0 ? 0 : (i * 37) % 300, i));
          cursor->SetBlobField(record, f[3].FieldNumber, MemoOfSize(i % 4 != 1 ? 0 : i % 8 == 1 ? 1 : 46, i));
          (void)cursor->AddRecord(record, false);
        }
      }
      const auto data_before = ReadFileBytes(dir.File("Items.DAT"));
      const auto blob_before = ReadFileBytes(dir.File("Items.BLB"));
      TDataCursor cursor(*engine.session, *engine.directory);
      TCursorOpenOptions options;
      options.table_name = "Items";
      options.exclusive = true;
      OptimizeTable(cursor, options, {}, false, {});
      const auto data_after = ReadFileBytes(dir.File("Items.DAT"));
      const auto blob_after = ReadFileBytes(dir.File("Items.BLB"));
      ASSERT_EQ(data_after.size(), data_before.size());
      ASSERT_EQ(blob_after.size(), blob_before.size());
      // The data header differs only in its change counter and the time of its last write.
      auto header_without_times = [](std::vector<std::byte> bytes) {
        std::fill_n(bytes.begin() + kDataOffHeaderChangeCount, 4, std::byte{0});
        std::fill_n(bytes.begin() + kDataOffLastWriteTime, 8, std::byte{0});
        return bytes;
      };
      EXPECT_EQ(FirstDifference(header_without_times(data_after), header_without_times(data_before)), -1);
      // The blob file's header differs only in its change counter.
      EXPECT_EQ(FirstDifference(std::span(blob_after).subspan(4), std::span(blob_before).subspan(4)), -1);
    }
  }
}

// A table kept in memory is optimized in memory: its records and memos come through, the trees
// are sound, and no file appears on the disk.
TEST_F(OptimizeTest, TableInMemory) {
  TDataSession session;
  TDataDirectory* memory = session.GetDirectory("Memory", "");
  ASSERT_TRUE(memory->InMemory());
  memory->CreateTable("Items", ItemsDefinition(), true);
  TCursorOpenOptions options;
  options.table_name = "Items";
  options.exclusive = true;
  options.in_memory = true;
  std::vector<std::pair<std::string, std::vector<std::byte>>> expected;
  {
    TDataCursor cursor(session, *memory);
    cursor.Open(options);
    const auto& f = cursor.Descriptors();
    for (int i = 0; i < 300; ++i) {
      std::vector<std::byte> record = cursor.NewRecordBuffer();
      PutText(FieldSlot(record, f[1]), "Name" + std::to_string(i % 37), 0, 0, 0);
      PutInt32(FieldSlot(record, f[2]), i);
      cursor.SetBlobField(record, f[3].FieldNumber, MemoOfSize(static_cast<std::size_t>(i * 13 % 1500), i));
      (void)cursor.AddRecord(record, false);
    }
    for (std::int32_t slot = 3; slot <= 300; slot += 3) {
      ASSERT_TRUE(cursor.GoToSlot(slot));
      const std::vector<std::byte> image = cursor.CurrentRecord();
      cursor.DeleteRecord(image, false);
    }
    for (int i = 0; i < 300; ++i) {
      if ((i + 1) % 3 != 0) expected.emplace_back("Name" + std::to_string(i % 37), MemoOfSize(static_cast<std::size_t>(i * 13 % 1500), i));
    }
    cursor.Close();
  }
  {
    TDataCursor cursor(session, *memory);
    OptimizeTable(cursor, options, {}, false, {});
  }
  TDataCursor cursor(session, *memory);
  cursor.Open(options);
  cursor.SelectSlotOrder();
  const auto& f = cursor.Descriptors();
  std::size_t n = 0;
  for (bool on = cursor.First(); on; on = cursor.Next(), ++n) {
    ASSERT_LT(n, expected.size());
    EXPECT_EQ(cursor.CurrentSlot(), static_cast<std::int32_t>(n + 1));
    EXPECT_EQ(GetText(ConstFieldSlot(cursor.CurrentRecord(), f[1])).value_or(""), expected[n].first);
    EXPECT_EQ(LoadBlobOf(cursor.Table(), ConstFieldSlot(cursor.CurrentRecord(), f[3])), expected[n].second);
  }
  EXPECT_EQ(n, expected.size());
  TDataTable& table = cursor.Table();
  const auto trees = CheckAllIndexTrees(table);
  EXPECT_TRUE(trees.empty()) << (trees.empty() ? "" : trees.front());
  const auto keys = CheckOneKeyPerRecord(table, FileRecordReader(table));
  EXPECT_TRUE(keys.empty()) << (keys.empty() ? "" : keys.front());
  cursor.Close();
  EXPECT_TRUE(DirectoryBytes(dir_.Path()).empty());
  (void)session.ReleaseDirectory(memory);
}

TEST_F(OptimizeTest, OrderOfASecondaryIndex) {
  BuildItems(engine_, 40, 0);
  Optimize("bynamedesc");
  const auto after = Snapshot(engine_);
  ASSERT_EQ(after.size(), 40u);
  for (std::size_t i = 1; i < after.size(); ++i) {
    const auto& a = after[i - 1].second;
    const auto& b = after[i].second;
    EXPECT_TRUE(a.name > b.name || (a.name == b.name && a.count >= b.count)) << i;
  }
  ExpectSoundTable(engine_);
}

// A damaged index: an entry naming a deleted slot is passed over and the copy goes on to the
// records after it; an entry naming a slot past the table's end stops the copy before anything
// changes.
TEST_F(OptimizeTest, IndexEntriesNamingDeletedOrMissingSlots) {
  BuildItems(engine_, 30, 0, false);
  {
    auto cursor = OpenItems(engine_, true);
    TRecordPin pin = cursor->Table().Records().GetRecord(nullptr, 10, true, TReadAhead::kNone);
    SetRecordDeleted(pin->Bytes(), true);
    pin->SetModified(true);
  }
  const auto before = Snapshot(engine_);
  ASSERT_EQ(before.size(), 29u);
  for (const std::string index : {"", "bynamedesc"}) {
    Optimize(index);
    auto after = Snapshot(engine_);
    ASSERT_EQ(after.size(), 29u) << index;
    std::sort(after.begin(), after.end(), [](const auto& a, const auto& b) { return a.second.id < b.second.id; });
    for (std::size_t i = 0; i < after.size(); ++i) EXPECT_EQ(after[i].second, before[i].second) << index;
  }
  ExpectSoundTable(engine_);
  std::int64_t end = 0;
  {
    auto cursor = OpenItems(engine_, true);
    TDataFile& data = cursor->Table().DataFile();
    data.MutableHeader().NextRecordSlot = 20;
    data.MarkHeaderChanged();
    end = data.RecordOffset(20);
  }
  std::filesystem::resize_file(dir_.File("Items.DAT"), static_cast<std::uintmax_t>(end));
  const auto files = DirectoryBytes(dir_.Path());
  EXPECT_ENGINE_ERROR(kRecordBuffersCorrupt, Optimize());
  EXPECT_EQ(DirectoryBytes(dir_.Path()), files);
}

// A leaf level whose last page links back to itself: the copy would go round it for ever.
TEST_F(OptimizeTest, AnIndexGoingRoundInACircleIsRefused) {
  BuildItems(engine_, 30, 0, false);
  {
    auto cursor = OpenItems(engine_, true);
    TIndexTree tree(cursor->Table().IndexFile(), kPrimarySlot, cursor->Descriptors(), cursor->LanguageID(),
                    cursor->SortID());
    TPagePin leaf = tree.PinPage(tree.Root());
    ASSERT_TRUE(leaf->IsLeaf());
    leaf->SetNextPage(leaf->Offset());
  }
  const auto files = DirectoryBytes(dir_.Path());
  EXPECT_ENGINE_ERROR(kIndexBuffersCorrupt, Optimize());
  EXPECT_EQ(DirectoryBytes(dir_.Path()), files);
}

// An index that misses a record's key would have the copy leave the record behind for good: the
// copy is refused, naming the way out, and nothing changes.
TEST_F(OptimizeTest, AnIndexThatMissesARecordIsRefused) {
  BuildItems(engine_, 30, 0, false);
  {
    auto cursor = OpenItems(engine_, true);
    ASSERT_TRUE(cursor->GoToSlot(7));
    for (const int slot : {kPrimarySlot, 3}) {
      TIndexTree tree(cursor->Table().IndexFile(), slot, cursor->Descriptors(), cursor->LanguageID(),
                      cursor->SortID());
      tree.Remove(tree.BuildKey(cursor->CurrentRecord()));
    }
  }
  const auto files = DirectoryBytes(dir_.Path());
  for (const std::string index : {"", "bynamedesc"}) {
    try {
      Optimize(index, true);
      ADD_FAILURE() << index << ": no error";
    } catch (const ETarvoEngineError& e) {
      EXPECT_EQ(EngineCode(e), kIndexBuffersCorrupt) << e.what();
      EXPECT_NE(
          std::string(e.what()).find("in table 'Items.DAT' - its index names 29 of its 30 records; repair"),
          std::string::npos)
          << e.what();
    }
    EXPECT_EQ(DirectoryBytes(dir_.Path()), files) << index;
  }
}

// A copy that fails names the table, never the scratch table it was building.
TEST(MaintenanceCopyTest, AFailedCopyNamesTheTable) {
  repair_test::TRepairTable t;
  t.Add({{"Anna", 1, 0}, {"Bert", 2, 0}});
  t.PatchI32(".DAT", repair_test::TRepairTable::RecordOffset(2) + 32, 1);  // Bert's Code becomes Anna's
  TDataCursor cursor(t.Session(), t.Directory());
  TCursorOpenOptions options;
  options.table_name = "T";
  options.exclusive = true;
  try {
    OptimizeTable(cursor, options, {}, true, {});
    ADD_FAILURE() << "no error";
  } catch (const ETarvoEngineError& e) {
    EXPECT_EQ(EngineCode(e), kDuplicateKey);
    EXPECT_EQ(std::string(e.what()),
              "Tarvo Engine Error # 9729 Duplicate key found in index 'ByCode' of table 'T.DAT'");
  }
}

// A repair empties a required blob value whose chain it cannot trust: the table is sound as the
// repair leaves it, and optimize and restructure carry its records over as they are.
TEST(MaintenanceCopyTest, ARecordLackingARequiredValueIsCopiedAsItIs) {
  repair_test::TRepairTable t;
  t.Add({{"Anna", 1, 600}, {"Bert", 2, 300}, {"Cleo", 3, 100}});
  t.Patch(".DAT", 127 + 768 * (repair_test::kMemo - 1) + kDescOffRequired, {1});
  t.Patch(".DAT", repair_test::TRepairTable::RecordOffset(2) + repair_test::kMemoSlot, {0});  // no presence
  (void)t.Run(false);
  t.ExpectSound();
  TCursorOpenOptions options;
  options.table_name = "T";
  options.exclusive = true;
  {
    TDataCursor cursor(t.Session(), t.Directory());
    OptimizeTable(cursor, options, {}, true, {});
  }
  {
    TDataCursor cursor(t.Session(), t.Directory());
    cursor.Open(options);
    TRestructureRequest request = RequestFromDefinition(DefinitionOf(cursor.Table()));
    cursor.Close();
    request.blob_block_size = 1024;  // the structure changes: every record is copied
    int losses = 0;
    TRestructureCallbacks callbacks;
    callbacks.data_lost = [&](std::uint8_t, const std::string&, bool&, bool&) { ++losses; };
    EXPECT_EQ(RestructureTable(cursor, options, request, callbacks), TRestructureWay::kCopy);
    EXPECT_EQ(losses, 0);
  }
  auto cursor = t.Open();
  EXPECT_EQ(cursor->RecordCount(), 3);
  ASSERT_TRUE(cursor->GoToSlot(2));
  EXPECT_TRUE(cursor->ReadBlobField(repair_test::kMemo).empty());
}

TEST_F(OptimizeTest, NoBackupAndNoBlobFile) {
  BuildItems(engine_, 30, 4, false);
  Optimize({}, false);
  EXPECT_TRUE(Exists("Items.DBK"));
  EXPECT_TRUE(Exists("Items.IBK"));
  EXPECT_FALSE(Exists("Items.BBK"));
  std::filesystem::remove(dir_.File("Items.DBK"));
  std::filesystem::remove(dir_.File("Items.IBK"));
  Optimize({}, true);
  EXPECT_EQ(DirectoryBytes(dir_.Path()).size(), 2u);
  EXPECT_EQ(Snapshot(engine_).size(), 23u);
}

TEST_F(OptimizeTest, UnknownIndexAndPreconditionsChangeNothing) {
  BuildItems(engine_, 10, 0);
  const auto files = DirectoryBytes(dir_.Path());
  EXPECT_ENGINE_ERROR(kInvalidIndexName, Optimize("NoSuchIndex"));
  EXPECT_EQ(DirectoryBytes(dir_.Path()), files);
  EXPECT_FALSE(Exists(".tarvo-scratch"));
  TDataCursor cursor(*engine_.session, *engine_.directory);
  TCursorOpenOptions options;
  options.table_name = "Items";
  EXPECT_ENGINE_ERROR(kNeedsExclusive, OptimizeTable(cursor, options, {}, false, {}));
  options.exclusive = true;
  options.read_only = true;
  EXPECT_ENGINE_ERROR(kAccessDenied, OptimizeTable(cursor, options, {}, false, {}));
  options.read_only = false;
  cursor.Open(options);
  EXPECT_ENGINE_ERROR(kTableInUse, OptimizeTable(cursor, options, {}, false, {}));
  cursor.Close();
  EXPECT_EQ(DirectoryBytes(dir_.Path()), files);
}

TEST_F(OptimizeTest, NewFilesTakeTheOwnerAndModeOfTheOldOnes) {
  namespace fs = std::filesystem;
  // Another user's table (when we may give files away, as root may), private or read-only.
  const bool root = ::geteuid() == 0;
  const struct {
    fs::perms mode;
    bool foreign;
  } cases[] = {{fs::perms::owner_read | fs::perms::owner_write, root}, {fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.mode));
    Clear();
    BuildItems(engine_, 20, 3);
    for (const char* file : {"Items.DAT", "Items.IDX", "Items.BLB"}) {
      if (c.foreign) {
        ASSERT_EQ(::chown(dir_.File(file).c_str(), 65534, 65534), 0);
      }
      fs::permissions(dir_.File(file), c.mode);
    }
    Optimize({}, true);
    for (const char* file : {"Items.DAT", "Items.IDX", "Items.BLB"}) {
      struct stat st {};
      ASSERT_EQ(::stat(dir_.File(file).c_str(), &st), 0);
      EXPECT_EQ(fs::status(dir_.File(file)).permissions(), c.mode) << file;
      EXPECT_EQ(st.st_uid, c.foreign ? 65534u : ::geteuid()) << file;
      EXPECT_EQ(st.st_gid, c.foreign ? 65534u : ::getegid()) << file;
    }
    EXPECT_EQ(DirectoryBytes(dir_.Path()).size(), 3u);
  }
}

TEST_F(OptimizeTest, PlantedScratchFolderIsNeverWrittenThrough) {
  namespace fs = std::filesystem;
  // Another user of a shared directory plants the scratch folder (a folder of theirs, open to
  // all, or a link to a folder elsewhere) with links named like our scratch files; or such
  // links stand in a folder of our own.
  enum class TPlant { kForeignFolder, kLinkedFolder, kOwnFolder };
  std::string digits = std::to_string(OsThreadId()).substr(0, 5);
  for (const TPlant plant : {TPlant::kForeignFolder, TPlant::kLinkedFolder, TPlant::kOwnFolder}) {
    SCOPED_TRACE(static_cast<int>(plant));
    Clear();
    BuildItems(engine_, 30, 4);
    const std::size_t records = Snapshot(engine_).size();
    TTempDir outside;
    const fs::path folder = dir_.Path() / ".tarvo-scratch";
    if (plant == TPlant::kLinkedFolder) {
      fs::create_directory_symlink(outside.Path(), folder);
    } else {
      fs::create_directory(folder);
      fs::permissions(folder, plant == TPlant::kOwnFolder ? fs::perms::owner_all : fs::perms::all);
      if (plant == TPlant::kForeignFolder && ::geteuid() == 0) {
        ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
      }
    }
    for (int counter = 0; counter < 4; ++counter) {
      for (const char* extension : {".IDX", ".BLB"}) {
        const std::string name = digits + std::to_string(counter) + extension;
        std::ofstream(outside.File(name)) << "victim";
        if (plant != TPlant::kLinkedFolder) fs::create_symlink(outside.File(name), folder / name);
      }
    }
    const auto victims = DirectoryBytes(outside.Path());
    Optimize();
    EXPECT_EQ(DirectoryBytes(outside.Path()), victims);
    for (const char* file : {"Items.DAT", "Items.IDX", "Items.BLB"})
      EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir_.File(file)))) << file;
    EXPECT_EQ(Snapshot(engine_).size(), records);
    ExpectSoundTable(engine_);
  }
}

TARVO_CHILD(HoldItemsOpen) {
  TTestEngine engine(args.at(0));
  auto cursor = OpenItems(engine, false);
  TellParent("open");
  (void)HearFromParent();
  return 0;
}

TEST_F(OptimizeTest, TableHeldByAnotherProcessIsLeftAlone) {
  BuildItems(engine_, 10, 2);
  const auto files = DirectoryBytes(dir_.Path());
  TChildProcess child("HoldItemsOpen", {dir_.Dir()});
  ASSERT_EQ(child.Receive(), "open");
  EXPECT_ENGINE_ERROR(kAccessDenied, Optimize());
  child.Send("done");
  EXPECT_EQ(DirectoryBytes(dir_.Path()), files);
}

TEST_F(OptimizeTest, InterruptedExchangeIsCompletedOrRolledBack) {
  BuildItems(engine_, 20, 0);
  const auto files = DirectoryBytes(dir_.Path());
  // A crash after the old data file moved aside: the exchange had not committed.
  std::filesystem::rename(dir_.File("Items.DAT"), dir_.File("Items.DBK"));
  {
    std::ofstream intent(dir_.File("Items.XCH"));
    intent << "tarvo-exchange 1\nkeep-backups\t1\naside\t" << dir_.File("Items.DAT") << "\t"
           << dir_.File("Items.DBK") << "\nplace\t" << dir_.File("new.DAT") << "\t" << dir_.File("Items.DAT")
           << "\nend\n";
  }
  std::ofstream(dir_.File("new.DAT")) << "x";
  EXPECT_TRUE(RecoverTableExchange(dir_.Dir(), "Items.DAT"));
  EXPECT_EQ(DirectoryBytes(dir_.Path()), files);
  EXPECT_FALSE(RecoverTableExchange(dir_.Dir(), "Items"));
  // A cut-off intent file: nothing had been moved.
  std::ofstream(dir_.File("Items.XCH")) << "tarvo-exchange 1\nkeep-backups\t1\n";
  Optimize();  // recovers first, then runs
  EXPECT_FALSE(Exists("Items.XCH"));
  EXPECT_EQ(Snapshot(engine_).size(), 20u);
}

TEST_F(OptimizeTest, PrivateDirectoryHoldsTheScratchTable) {
  TTempDir private_dir;
  engine_.session->SetPrivateDirectory(private_dir.Dir());
  BuildItems(engine_, 25, 5);
  Optimize();
  EXPECT_FALSE(Exists(".tarvo-scratch"));
  EXPECT_TRUE(DirectoryBytes(private_dir.Path()).empty());
  EXPECT_EQ(Snapshot(engine_).size(), 20u);
}

TEST_F(OptimizeTest, FixturesKeepTheirRecords) {
  for (const auto& fixture :
       {std::pair<std::string, std::string>{"basic", "Kunden"}, {"blocks1024", "Notizen"}}) {
    const std::string& folder = fixture.first;
    const std::string& table = fixture.second;  // captured below: no structured binding
    TTempDir dir;
    CopyFixture(folder, dir.Path());
    TTestEngine engine(dir.Dir());
    auto read = [&] {
      auto cursor = OpenItems(engine, true, table);
      cursor->SelectSlotOrder();
      std::vector<std::vector<std::byte>> records;
      const auto& f = cursor->Descriptors();
      for (bool on = cursor->First(); on; on = cursor->Next()) {
        std::vector<std::byte> r = cursor->CurrentRecord();
        // Without an auto-increment field the new table hands out its own record identifiers.
        const bool has_auto = std::any_of(f.begin(), f.end(), [](const TFieldDescriptor& d) {
          return IsAutoIncrement(d.FieldType, d.FieldSubType);
        });
        std::vector<std::byte> out;
        if (has_auto) out.assign(r.begin() + kRecOffAutoIncrement, r.begin() + kRecordHeaderSize);
        for (const auto& d : f) {
          if (!IsStored(d) || IsAutoIncrement(d.FieldType, d.FieldSubType)) continue;
          const auto slot = ConstFieldSlot(r, d);
          if (d.FieldType == kTypeBlob) {
            const auto v = LoadBlobOf(cursor->Table(), slot);
            out.insert(out.end(), v.begin(), v.end());
          } else {
            out.insert(out.end(), slot.begin(), slot.end());
          }
        }
        records.push_back(out);
      }
      std::sort(records.begin(), records.end());
      return records;
    };
    const auto before = read();
    TDataCursor cursor(*engine.session, *engine.directory);
    TCursorOpenOptions options;
    options.table_name = table;
    options.exclusive = true;
    OptimizeTable(cursor, options, {}, false, {});
    EXPECT_EQ(read(), before) << folder;
    auto check = OpenItems(engine, true, table);
    const auto trees = CheckAllIndexTrees(check->Table());
    EXPECT_TRUE(trees.empty()) << folder << ": " << (trees.empty() ? "" : trees.front());
  }
}

}  // namespace
}  // namespace tarvo

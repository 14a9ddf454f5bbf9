#include "engine/tables/data_table.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "engine/format/data_header.h"
#include "engine/format/field_descriptor.h"
#include "engine/tables/data_cursor.h"
#include "engine/tables/data_directory.h"
#include "engine/tables/data_session.h"
#include "engine/tables/table_lock_guard.h"
#include "tests/testing/child_process.h"
#include "tests/testing/engine_matchers.h"
#include "tests/testing/table_builder.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

using testing::TChildProcess;
using testing::TTempDir;
using testing::TTestEngine;

std::uintmax_t SizeOf(const TTempDir& dir, const std::string& name) {
  return std::filesystem::file_size(dir.File(name));
}

// Overwrites bytes of a file at an offset.
void Patch(const std::string& path, std::uint64_t offset, std::initializer_list<std::uint8_t> bytes) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(offset));
  for (const std::uint8_t b : bytes) f.put(static_cast<char>(b));
}

void Append(const std::string& path, std::size_t count) {
  std::ofstream f(path, std::ios::app | std::ios::binary);
  for (std::size_t i = 0; i < count; ++i) f.put('\0');
}

TCursorOpenOptions Options(const std::string& table, bool exclusive = false) {
  TCursorOpenOptions options;
  options.table_name = table;
  options.exclusive = exclusive;
  return options;
}

class DataTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = std::make_unique<TTestEngine>(dir_.Dir());
    engine_->directory->CreateTable("Kunden", testing::EveryTypeDefinition());
  }

  TDataDirectory& Directory() { return *engine_->directory; }

  // Opens a cursor on Kunden and expects the given code.
  void ExpectOpenFails(TEngineCode code) {
    TDataCursor cursor(*engine_->session, Directory());
    EXPECT_ENGINE_ERROR(code, cursor.Open(Options("Kunden")));
    EXPECT_FALSE(cursor.IsOpen());
    EXPECT_EQ(0u, Directory().TableCount());
  }

  TTempDir dir_;
  std::unique_ptr<TTestEngine> engine_;
};

TEST_F(DataTableTest, NewTableHasTheByteLayoutOfItsDefinition) {
  EXPECT_EQ(127u + 768u * 16u, SizeOf(dir_, "Kunden.DAT"));
  EXPECT_EQ(4096u, SizeOf(dir_, "Kunden.IDX"));
  EXPECT_EQ(512u, SizeOf(dir_, "Kunden.BLB"));

  TDataCursor cursor(*engine_->session, Directory());
  cursor.Open(Options("kunden.dat"));
  const TDataFile& data = cursor.Table().DataFile();
  EXPECT_EQ(1, data.Header().NextRecordSlot);
  EXPECT_EQ(0, data.RecordSlotCount());
  EXPECT_EQ(16, cursor.FieldCount());
  EXPECT_EQ(2, data.BlobFieldCount());
  EXPECT_EQ(4, data.Header().FormatVersion);
  EXPECT_EQ(20800, data.Header().EngineVersion);
  EXPECT_EQ(2, cursor.Table().IndexFile().SecondaryIndexCount());
  EXPECT_EQ("Kunden.DAT", cursor.Table().TableName());  // as the directory spells it
}

TEST_F(DataTableTest, ATableWithoutBlobFieldsHasNoBlobFile) {
  Directory().CreateTable("Small", testing::SmallDefinition(false));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("Small.BLB")));
  EXPECT_EQ(4096u, SizeOf(dir_, "Small.IDX"));
}

TEST_F(DataTableTest, BadDefinitionCreatesNothing) {
  TTableDefinition definition = testing::SmallDefinition(true);
  definition.fields[1].FieldName = "id";  // same name as field 1, without regard to case
  EXPECT_ENGINE_ERROR(kInvalidFieldName, Directory().CreateTable("Bad", definition));
  definition = testing::SmallDefinition(true);
  definition.indexes[1].field_numbers[0] = 3;  // a blob field as key
  EXPECT_ENGINE_ERROR(kInvalidIndexFieldType, Directory().CreateTable("Bad", definition));
  definition = testing::SmallDefinition(true);
  definition.fields[1].FieldSize = 0;
  EXPECT_ENGINE_ERROR(kInvalidFieldDef, Directory().CreateTable("Bad", definition));
  definition = testing::SmallDefinition(true);
  definition.fields[1].DefaultValue = "x";
  definition.fields.push_back(testing::Field("When", 2));
  definition.fields.back().FieldNumber = 4;
  definition.fields.back().MinValue = "not a date";
  EXPECT_ENGINE_ERROR(kInvalidValidity, Directory().CreateTable("Bad", definition));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("Bad.DAT")));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("Bad.IDX")));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("Bad.BLB")));
}

// Names as the table will be read again: a NUL would end them for other programs, and two names
// that the open's check finds equal in the table's code page (Ä and ä) would make a table that
// does not open.
TEST_F(DataTableTest, NamesAreRefusedAsTheOpenWouldReadThem) {
  struct TCase {
    std::string field;
    std::string index;
    TEngineCode code;
  };
  const TCase cases[] = {
      {std::string("Na\0me", 5), "ByName", kInvalidFieldName},
      {"\xE4pfel", "ByName", kInvalidFieldName},  // beside "\xC4pfel"
      {"Name", std::string("By\0Name", 7), kInvalidIndexName},
  };
  for (const TCase& c : cases) {
    TTableDefinition definition = testing::SmallDefinition(false);
    definition.language_id = 0x0407;
    definition.fields.push_back(testing::Field("\xC4pfel", 6));
    definition.fields.back().FieldNumber = 3;
    definition.fields[1].FieldName = c.field;
    definition.indexes[1].name = c.index;
    EXPECT_ENGINE_ERROR(c.code, Directory().CreateTable("Bad", definition));
    EXPECT_FALSE(std::filesystem::exists(dir_.File("Bad.DAT")));
  }
}

TEST_F(DataTableTest, EveryOpenCheckHasItsOwnCode) {
  const std::string dat = dir_.File("Kunden.DAT");
  const std::string idx = dir_.File("Kunden.IDX");
  const std::string blb = dir_.File("Kunden.BLB");
  const std::vector<std::uint8_t> sound_dat = [&] {
    std::ifstream f(dat, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  }();
  const auto restore = [&] {
    std::ofstream f(dat, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(sound_dat.data()), static_cast<std::streamsize>(sound_dat.size()));
  };

  Append(dat, 3);  // a partial record at the end
  ExpectOpenFails(kHeaderCorrupt);
  restore();
  Patch(dat, kDataOffFormatVersion, {3});
  ExpectOpenFails(kWrongVersion);
  restore();
  Patch(dat, kDataOffLanguageID, {0xFF, 0x00});  // no such language
  ExpectOpenFails(kLocaleUnavailable);
  restore();
  Patch(dat, kDataHeaderSize + kFieldDescriptorSize + kDescOffRecordOffset, {0x30, 0x00});
  ExpectOpenFails(kHeaderCorrupt);
  restore();
  Patch(dat, kDataHeaderSize + kFieldDescriptorSize + kDescOffFieldName, {2, 'I', 'D'});  // duplicate name
  ExpectOpenFails(kHeaderCorrupt);
  restore();
  Patch(dat, kDataOffRecordSize, {0x01, 0x00});
  ExpectOpenFails(kHeaderCorrupt);
  restore();
  std::filesystem::resize_file(dat, 100);  // shorter than its header
  ExpectOpenFails(kHeaderCorrupt);
  restore();

  Patch(idx, 8, {5});
  ExpectOpenFails(kWrongVersion);
  Patch(idx, 8, {4});
  Patch(blb, 8, {5});
  ExpectOpenFails(kWrongVersion);
  Patch(blb, 8, {4});
  Patch(blb, 9, {0x00, 0x10, 0x00, 0x00});  // a free list head in an empty blob file
  ExpectOpenFails(kHeaderCorrupt);
  Patch(blb, 9, {0, 0, 0, 0});

  TDataCursor cursor(*engine_->session, Directory());
  EXPECT_NO_THROW(cursor.Open(Options("Kunden")));
}

TEST_F(DataTableTest, CursorsOfOneSessionShareTheTable) {
  TDataCursor first(*engine_->session, Directory());
  TDataCursor second(*engine_->session, Directory());
  first.Open(Options("Kunden"));
  second.Open(Options("KUNDEN.dat"));
  EXPECT_EQ(&first.Table(), &second.Table());
  EXPECT_EQ(2, first.Table().OpenCount());
  second.Close();
  EXPECT_TRUE(first.Table().IsOpen());
  EXPECT_EQ(1, first.Table().OpenCount());
  first.Close();
  EXPECT_EQ(0u, Directory().TableCount());
}

TEST_F(DataTableTest, ExclusiveUseWithinTheSessionIsRefusedNamingTheTable) {
  TDataCursor exclusive(*engine_->session, Directory());
  exclusive.Open(Options("Kunden", true));
  TDataCursor other(*engine_->session, Directory());
  try {
    other.Open(Options("Kunden"));
    ADD_FAILURE() << "second open succeeded";
  } catch (const ETarvoEngineError& e) {
    EXPECT_EQ(kAccessDenied, EngineCode(e));
    EXPECT_EQ("Access denied to table 'Kunden.DAT'", e.Errors(0).Message);
  }
  exclusive.Close();
  TDataCursor shared(*engine_->session, Directory());
  shared.Open(Options("Kunden"));
  EXPECT_ENGINE_ERROR(kAccessDenied, other.Open(Options("Kunden", true)));
}

TEST_F(DataTableTest, MissingIndexFileIsCreatedEmpty) {
  std::filesystem::remove(dir_.File("Kunden.IDX"));
  TDataCursor cursor(*engine_->session, Directory());
  cursor.Open(Options("Kunden", true));
  EXPECT_TRUE(cursor.Table().IndexFileCreated());
  EXPECT_EQ(4096u, SizeOf(dir_, "Kunden.IDX"));
  cursor.Close();
  TDataCursor again(*engine_->session, Directory());
  again.Open(Options("Kunden"));
  EXPECT_FALSE(again.Table().IndexFileCreated());
}

TEST_F(DataTableTest, MissingDataFileIsAnInvalidPath) {
  TDataCursor cursor(*engine_->session, Directory());
  EXPECT_ENGINE_ERROR(kInvalidPath, cursor.Open(Options("Nothing")));
}

TEST_F(DataTableTest, ReadOnlyFilesOpenReadOnlyWithoutLocks) {
  for (const char* name : {"Kunden.DAT", "Kunden.IDX", "Kunden.BLB"}) chmod(dir_.File(name).c_str(), 0444);
  TDataCursor cursor(*engine_->session, Directory());
  cursor.Open(Options("Kunden"));
  EXPECT_TRUE(cursor.ReadOnly());
  EXPECT_TRUE(cursor.Table().ReadOnlyFiles());
  EXPECT_FALSE(cursor.Table().LockReader());
  EXPECT_FALSE(cursor.Table().HoldsReaderLock());
  EXPECT_FALSE(cursor.Table().LockWriter());
  EXPECT_FALSE(cursor.Table().HoldsWriterLock());
}

TEST_F(DataTableTest, ClosedTableHeaderIsReadFromTheFile) {
  const TDataHeader header = ReadClosedTableHeader(Directory(), "kunden");
  EXPECT_EQ(0, header.LanguageID);
  EXPECT_EQ(512u, EffectiveBlobBlockSize(header));
  EXPECT_EQ(0, header.LastAutoIncrement);
  EXPECT_EQ(0u, Directory().TableCount());
}

TEST(DataTableMemoryTest, MemoryDatabaseSharesFilesBetweenSessions) {
  TDataSession one;
  TDataSession two;
  TDataDirectory* a = one.GetDirectory("Memory", "");
  TDataDirectory* b = two.GetDirectory("MEMORY", "/ignored/");
  ASSERT_TRUE(a->InMemory());
  ASSERT_TRUE(b->InMemory());
  EXPECT_NE(a, b);
  a->CreateTable("Temp", testing::SmallDefinition(true), true);
  EXPECT_TRUE(b->TableExists("Temp", true));
  EXPECT_FALSE(std::filesystem::exists("Temp.DAT"));
  TDataCursor cursor(two, *b);
  TCursorOpenOptions options = Options("Temp");
  options.in_memory = true;
  cursor.Open(options);
  EXPECT_TRUE(cursor.Table().InMemory());
  EXPECT_EQ(3, cursor.FieldCount());
  cursor.Close();
  b->DeleteTable("Temp", true);
  EXPECT_FALSE(a->TableExists("Temp", true));
  (void)one.ReleaseDirectory(a);
  (void)two.ReleaseDirectory(b);
}

TEST(DataSessionTest, DirectoriesAreSharedByPathAndPasswordsAreExact) {
  TDataSession session;
  TDataDirectory* a = session.GetDirectory("", "/tmp/x");
  TDataDirectory* b = session.GetDirectory("Alias", "/TMP/X/ ");
  EXPECT_EQ(a, b);
  EXPECT_EQ("/tmp/x/", a->Path());
  EXPECT_EQ(2, a->ReferenceCount());
  EXPECT_EQ(0, session.ReleaseDirectory(a));
  EXPECT_EQ(0, session.ReleaseDirectory(a));
  EXPECT_EQ(0u, session.DirectoryCount());
  EXPECT_EQ(-kAccessDenied, session.ReleaseDirectory(a));

  session.AddPassword("Secret");
  session.AddPassword("Secret");
  session.AddPassword("");
  EXPECT_EQ(1u, session.Passwords().size());
  EXPECT_FALSE(session.HasPassword("secret"));
  session.RemovePassword("Secret");
  EXPECT_FALSE(session.HasPassword("Secret"));
  EXPECT_EQ(session.StartDirectory(), session.TemporaryDirectory());
  session.SetPrivateDirectory(" /var/tmp ");
  EXPECT_EQ("/var/tmp/", session.TemporaryDirectory());
}

TEST(DataDirectoryTest, UniqueNamesAndTableNames) {
  EXPECT_EQ("Kunden.DAT", NormalizeTableName(" Kunden "));
  EXPECT_EQ("Kunden.DAT", NormalizeTableName("Kunden.dbf"));
  EXPECT_EQ("a.b/Kunden.DAT", NormalizeTableName("a.b/Kunden"));
  TTempDir dir;
  TTestEngine engine(dir.Dir());
  const std::string first = engine.directory->UniqueTableName();
  EXPECT_EQ(".DAT", first.substr(first.size() - 4));
  engine.directory->CreateTable(first, testing::SmallDefinition(false));
  EXPECT_NE(first, engine.directory->UniqueTableName());
  engine.directory->RenameTable(first, "Renamed", false);
  EXPECT_TRUE(engine.directory->TableExists("renamed"));
  engine.directory->RenameTable("Renamed", "", true);
  EXPECT_TRUE(std::filesystem::exists(dir.File("Renamed.DBK")));
  EXPECT_TRUE(std::filesystem::exists(dir.File("Renamed.IBK")));
  EXPECT_FALSE(engine.directory->TableExists("Renamed"));
}

// ---- Two processes -------------------------------------------------------------------------

// args: directory, table, "exclusive"|"shared", then what to hold: "open", "reader", "writer".
TARVO_CHILD(HoldTable) {
  TTestEngine engine(args.at(0));
  TDataCursor cursor(*engine.session, *engine.directory);
  try {
    cursor.Open(Options(args.at(1), args.at(2) == "exclusive"));
  } catch (const ETarvoEngineError& e) {
    testing::TellParent("error " + std::to_string(EngineCode(e)));
    return 1;
  }
  std::unique_ptr<TTableLockGuard> lock;
  if (args.at(3) == "reader")
    lock = std::make_unique<TTableLockGuard>(cursor.Table(), TTableLockKind::kReader);
  if (args.at(3) == "writer")
    lock = std::make_unique<TTableLockGuard>(cursor.Table(), TTableLockKind::kWriter);
  if (args.at(3) == "bump") {
    TTableLockGuard writer(cursor.Table(), TTableLockKind::kWriter);
    cursor.Table().WriteAll(false, true);
  }
  testing::TellParent("ready");
  testing::HearFromParent();
  return 0;
}

class TwoProcessTest : public DataTableTest {
 protected:
  std::unique_ptr<TChildProcess> Hold(const std::string& mode, const std::string& hold) {
    auto child = std::make_unique<TChildProcess>("HoldTable",
                                                 std::vector<std::string>{dir_.Dir(), "Kunden", mode, hold});
    EXPECT_EQ("ready", child->Receive());
    return child;
  }
  static void Release(std::unique_ptr<TChildProcess>& child) {
    child->Send("go");
    EXPECT_EQ(0, child->Wait());
    child.reset();
  }
};

TEST_F(TwoProcessTest, ExclusiveOpenIsRefusedWhileAnotherProcessHasTheTable) {
  auto child = Hold("shared", "open");
  TDataCursor cursor(*engine_->session, Directory());
  try {
    cursor.Open(Options("Kunden", true));
    ADD_FAILURE() << "exclusive open succeeded";
  } catch (const ETarvoEngineError& e) {
    EXPECT_EQ(kAccessDenied, EngineCode(e));
    EXPECT_NE(std::string::npos, e.Errors(0).Message.find(dir_.File("Kunden.DAT")));
  }
  EXPECT_NO_THROW(cursor.Open(Options("Kunden")));  // shared opens coexist
  cursor.Close();
  Release(child);

  child = Hold("exclusive", "open");
  EXPECT_ENGINE_ERROR(kAccessDenied, cursor.Open(Options("Kunden")));
  Release(child);
  EXPECT_NO_THROW(cursor.Open(Options("Kunden", true)));
}

TEST_F(TwoProcessTest, WriterExcludesReadersAndWritersReadersCoexist) {
  TDataCursor cursor(*engine_->session, Directory());
  cursor.Open(Options("Kunden"));
  TDataTable& table = cursor.Table();

  auto child = Hold("shared", "writer");
  EXPECT_ENGINE_ERROR(kLockFailure, table.LockReader());
  EXPECT_ENGINE_ERROR(kLockFailure, table.LockWriter());
  EXPECT_FALSE(table.HoldsReaderLock());
  EXPECT_FALSE(table.HoldsWriterLock());
  Release(child);

  child = Hold("shared", "reader");
  {
    TTableLockGuard reader(table, TTableLockKind::kReader);
    EXPECT_TRUE(table.HoldsReaderLock());
  }
  EXPECT_ENGINE_ERROR(kLockFailure, table.LockWriter());
  Release(child);
  {
    TTableLockGuard writer(table, TTableLockKind::kWriter);
    EXPECT_TRUE(table.HoldsWriterLock());
  }
  EXPECT_FALSE(table.HoldsWriterLock());
}

TEST_F(TwoProcessTest, RecordLockIsRefusedAfterItsRetries) {
  TDataCursor cursor(*engine_->session, Directory());
  cursor.Open(Options("Kunden"));
  engine_->session->LockRetryCount = 2;
  ASSERT_FALSE(cursor.Table().LockRecord(5));
  EXPECT_TRUE(cursor.Table().RecordLockedInFile(5));

  TTestEngine other_engine(dir_.Dir());
  // Another session of this process takes the same byte through the same descriptor: refused.
  TDataCursor other(*other_engine.session, *other_engine.directory);
  other.Open(Options("Kunden"));
  EXPECT_ENGINE_ERROR(kRecordInUse, other.Table().LockRecord(5));
  EXPECT_NO_THROW(other.Table().LockRecord(6));
  cursor.Table().UnlockRecord(5);
  EXPECT_NO_THROW(other.Table().LockRecord(5));
  EXPECT_ENGINE_ERROR(kCannotUnlock, cursor.Table().UnlockRecord(5));
}

TEST_F(TwoProcessTest, HeaderWrittenByAnotherProcessIsNoticed) {
  TDataCursor cursor(*engine_->session, Directory());
  cursor.Open(Options("Kunden"));
  const auto before = cursor.Table().ChangeCounters();
  EXPECT_FALSE(cursor.Table().CheckForChanges());
  auto child = Hold("shared", "bump");
  EXPECT_TRUE(cursor.Table().CheckForChanges());
  EXPECT_NE(before, cursor.Table().ChangeCounters());
  EXPECT_FALSE(cursor.Table().CheckForChanges());
  Release(child);
}

// ---- Fixtures -------------------------------------------------------------------------------

TEST(FixtureTablesTest, EveryFixtureOpens) {
  struct TCase {
    const char* folder;
    const char* table;
    int fields;
    int slots;
    int blobs;
  };
  for (const TCase& c :
       {TCase{"basic", "Kunden", 16, 200, 2}, TCase{"noprimary", "Journal", 14, 150, 0},
        TCase{"blocks1024", "Notizen", 3, 300, 1}, TCase{"lostindex", "Artikel", 3, 300, 1}}) {
    SCOPED_TRACE(c.folder);
    TTempDir dir;
    testing::CopyFixture(c.folder, dir.Path());
    TTestEngine engine(dir.Dir());
    TDataCursor cursor(*engine.session, *engine.directory);
    cursor.Open(Options(c.table, true));
    EXPECT_EQ(c.fields, cursor.FieldCount());
    EXPECT_EQ(c.slots, cursor.Table().DataFile().RecordSlotCount());
    EXPECT_EQ(c.blobs, cursor.Table().DataFile().BlobFieldCount());
    EXPECT_EQ(c.blobs > 0, cursor.Table().HasBlobFile());
  }
}

}  // namespace
}  // namespace tarvo

// Interrupted changes picked up by the next open: a process that dies in the middle of a guarded
// change is rolled back by whoever opens the table next, nobody acts on an intent file that a
// living process holds, and a table caught without its data file comes back before a directory's
// tables are listed. (Failures of every file operation are swept in disk_failure_test.)
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>

#include "engine/tables/table_exchange.h"
#include "tests/engine/maintenance/maintenance_tables.h"
#include "tests/testing/child_process.h"
#include "tests/testing/engine_matchers.h"

namespace tarvo {
namespace {

using namespace tarvo::testing;

class SnapshotGuardTest : public ::testing::Test {
 protected:
  bool Exists(const std::string& file) const { return std::filesystem::exists(dir_.File(file)); }

  TTempDir dir_;
  TTestEngine engine_{dir_.Dir()};
};

// Takes the guard on Items (in directory args[0], as spelled there, from the current directory
// args[1] when given), spoils the index file as a half-done change would, and dies without a word
// when told (as a killed process does).
TARVO_CHILD(DieInGuardedChange) {
  if (args.size() > 1 && ::chdir(args[1].c_str()) != 0) return 1;
  TTestEngine engine(args.at(0));
  auto cursor = OpenItems(engine, true);
  TDataTable& table = cursor->Table();
  TSnapshotGuard guard;
  guard.Take(table.Directory().Path(), table.BaseName(),
             {table.DataFile().FileName(), table.IndexFile().FileName(), table.BlobFile().FileName()});
  {
    std::ofstream spoil(table.IndexFile().FileName(), std::ios::binary | std::ios::in | std::ios::out);
    spoil.seekp(4096);
    spoil << std::string(4096, 'x');
  }
  TellParent("changing");
  (void)HearFromParent();
  _exit(0);
}

TEST_F(SnapshotGuardTest, ChangeCutOffIsRolledBackByTheNextOpen) {
  BuildItems(engine_, 40, 3);
  const auto files = DirectoryBytes(dir_.Path());
  const auto records = Snapshot(engine_);
  TChildProcess child("DieInGuardedChange", {dir_.Dir()});
  ASSERT_EQ(child.Receive(), "changing");
  // The change is running: nobody else rolls it back under its feet.
  EXPECT_ENGINE_ERROR(kTableLocked, OpenItems(engine_, false));
  EXPECT_ENGINE_ERROR(kTableLocked, RecoverTableExchange(dir_.Dir(), "Items"));
  child.Send("die");
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_TRUE(Exists("Items.XCH"));
  EXPECT_EQ(Snapshot(engine_), records);
  EXPECT_EQ(DirectoryBytes(dir_.Path()), files);
  ExpectSoundTable(engine_, false);
}

TEST_F(SnapshotGuardTest, CutOffChangeIsRolledBackWhateverTheDirectorysSpelling) {
  const std::string parent = dir_.Path().parent_path().string();
  const std::string relative = dir_.Path().filename().string() + "/";
  const struct {
    std::string writer;  // the directory as the changing process spelled it
    std::string reader;  // and as the next opener spells it
  } cases[] = {{relative, dir_.Dir()}, {dir_.Dir(), dir_.Dir() + "./"}, {dir_.Dir(), parent + "//" + relative}};
  BuildItems(engine_, 40, 3);
  const auto files = DirectoryBytes(dir_.Path());
  const auto records = Snapshot(engine_);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.writer + " then " + c.reader);
    TChildProcess child("DieInGuardedChange", {c.writer, parent});
    ASSERT_EQ(child.Receive(), "changing");
    child.Send("die");
    ASSERT_EQ(child.Wait(), 0);
    TTestEngine reader(c.reader);
    EXPECT_EQ(Snapshot(reader), records);
    EXPECT_EQ(DirectoryBytes(dir_.Path()), files);
  }
}

TEST_F(SnapshotGuardTest, CopiesTakeTheModeOfThePrivateTable) {
  BuildItems(engine_, 10, 0);
  for (const char* file : {"Items.DAT", "Items.IDX", "Items.BLB"})
    std::filesystem::permissions(dir_.File(file), std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  auto cursor = OpenItems(engine_, true);
  TDataTable& table = cursor->Table();
  TSnapshotGuard guard;
  guard.Take(table.Directory().Path(), table.BaseName(),
             {table.DataFile().FileName(), table.IndexFile().FileName(), table.BlobFile().FileName()});
  int copies = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_.Path())) {
    if (!entry.is_regular_file() || entry.path().parent_path() == dir_.Path()) continue;
    ++copies;
    EXPECT_EQ(entry.status().permissions(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
        << entry.path();
  }
  EXPECT_EQ(copies, 3);
  cursor->Close();
  guard.Commit();
}

TEST_F(SnapshotGuardTest, TableWithoutItsDataFileComesBackBeforeTheListing) {
  BuildItems(engine_, 20, 0);
  const auto files = DirectoryBytes(dir_.Path());
  const auto cut_off = [&] {
    std::filesystem::rename(dir_.File("Items.DAT"), dir_.File("Items.DAT.replaced"));
    std::ofstream intent(dir_.File("Items.XCH"));
    intent << "tarvo-exchange 1\nkeep-backups\t0\naside\t" << dir_.File("Items.DAT") << "\t"
           << dir_.File("Items.DAT.replaced") << "\nplace\t" << dir_.File("new.DAT") << "\t"
           << dir_.File("Items.DAT") << "\nend\n";
  };
  cut_off();
  EXPECT_EQ(RecoverTableExchanges(dir_.Dir()), 1);
  EXPECT_EQ(DirectoryBytes(dir_.Path()), files);
  EXPECT_EQ(RecoverTableExchanges(dir_.Dir()), 0);
  // The plain open of the table does the same.
  cut_off();
  EXPECT_EQ(Snapshot(engine_).size(), 20u);
  EXPECT_EQ(DirectoryBytes(dir_.Path()), files);
}

}  // namespace
}  // namespace tarvo

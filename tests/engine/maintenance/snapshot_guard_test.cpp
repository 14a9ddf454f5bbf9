// Interrupted changes picked up by the next open: a process that dies in the middle of a guarded
// change is rolled back by whoever opens the table next, nobody acts on an intent file that a
// living process holds, and a table caught without its data file comes back before a directory's
// tables are listed. (Failures of every file operation are swept in disk_failure_test.)
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>

#include "engine/maintenance/table_exchange.h"
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

// Takes the guard on Items, spoils the index file as a half-done change would, and dies without
// a word when told (as a killed process does).
TARVO_CHILD(DieInGuardedChange) {
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

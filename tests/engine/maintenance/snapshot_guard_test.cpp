// Changes made in place (repair, index rebuilds) under the snapshot guard, and interrupted
// changes picked up by the next open: a failed repair leaves the table byte for byte, a process
// that dies in the middle is rolled back by whoever opens the table next, nobody acts on an
// intent file that a living process holds, and a table caught without its data file comes back
// before a directory's tables are listed.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "engine/maintenance/optimize.h"
#include "engine/maintenance/repair.h"
#include "engine/maintenance/restructure.h"
#include "engine/maintenance/table_exchange.h"
#include "support/fault_injector.h"
#include "tests/engine/maintenance/maintenance_tables.h"
#include "tests/testing/child_process.h"
#include "tests/testing/engine_matchers.h"

namespace tarvo {
namespace {

using namespace tarvo::testing;

class SnapshotGuardTest : public ::testing::Test {
 protected:
  void Repair() {
    TDataCursor cursor(*engine_.session, *engine_.directory);
    TCursorOpenOptions options;
    options.table_name = "Items";
    options.exclusive = true;
    RepairTable(cursor, options, TRepairOptions{}, TRepairCallbacks{});
    EXPECT_FALSE(cursor.IsOpen());
  }
  bool Exists(const std::string& file) const { return std::filesystem::exists(dir_.File(file)); }

  TTempDir dir_;
  TTestEngine engine_{dir_.Dir()};
};

TEST_F(SnapshotGuardTest, RepairThatFailsLeavesTheTableByteForByte) {
  BuildItems(engine_, 60, 4);
  const auto files = DirectoryBytes(dir_.Path());
  std::int64_t writes = 0;
  {
    TFaultScope count(TFaultOp::kWrite, 1 << 30, EIO);
    Repair();
    writes = TFaultInjector::Calls();
  }
  // The run that counted rewrote the table: start again from the original bytes.
  const auto restore = [&] {
    for (const auto& [name, bytes] : files) {
      std::ofstream out(dir_.File(name), std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
  };
  restore();
  ASSERT_GT(writes, 4);
  for (const std::int64_t n : {std::int64_t{1}, std::int64_t{3}, writes / 2, writes - 1, writes}) {
    {
      TFaultScope fail(TFaultOp::kWrite, n, ENOSPC);
      EXPECT_THROW(Repair(), ETarvoEngineError) << "write " << n;
    }
    EXPECT_EQ(DirectoryBytes(dir_.Path()), files) << "write " << n;
    EXPECT_FALSE(Exists(".tarvo-scratch")) << "write " << n;
    restore();
  }
  Repair();
  ExpectSoundTable(engine_, false);
  EXPECT_FALSE(Exists("Items.XCH"));
  EXPECT_FALSE(Exists(".tarvo-scratch"));
}

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

TEST_F(SnapshotGuardTest, IndexRebuildThatFailsLeavesTheTableByteForByte) {
  BuildItems(engine_, 50, 5);
  const auto files = DirectoryBytes(dir_.Path());
  TDataCursor cursor(*engine_.session, *engine_.directory);
  TCursorOpenOptions options;
  options.table_name = "Items";
  options.exclusive = true;
  TRestructureRequest request;
  {
    auto open = OpenItems(engine_, true);
    const TTableDefinition d = DefinitionOf(open->Table());
    request.fields = d.fields;
    request.indexes = d.indexes;
    request.blob_block_size = d.blob_block_size;
  }
  request.indexes.push_back(Index("ByCountAgain", {3}, false));
  for (const std::int64_t n : {1, 2, 6, 12}) {
    {
      TFaultScope fail(TFaultOp::kWrite, n, EIO);
      EXPECT_THROW((void)RestructureTable(cursor, options, request, {}), ETarvoEngineError) << "write " << n;
    }
    EXPECT_FALSE(cursor.IsOpen());
    EXPECT_EQ(DirectoryBytes(dir_.Path()), files) << "write " << n;
  }
  EXPECT_EQ(RestructureTable(cursor, options, request, {}), TRestructureWay::kIndexesInPlace);
  ExpectSoundTable(engine_, false);
  EXPECT_FALSE(Exists("Items.XCH"));
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

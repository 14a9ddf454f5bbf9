// Power-loss sweeps of the maintenance operations. A crash leaves every write in the system's
// cache; a power cut loses what was never synced. For every write, flush, rename and delete of
// an operation in turn, the operation runs in a forked child whose power fails at that call:
// each file goes back to its contents as of its last sync, and each directory loses the entry
// changes that no directory sync made durable ("whole", at every point), or a random part of the
// unsynced pages, lengths and entry changes survives ("torn", at every other point, one draw with
// a fixed seed). Where the next open has an exchange to complete or roll back, the power fails
// once more during that recovery. Afterwards the table must open normally and be exactly the old
// table or the new one, its trees and blob chains sound, no intent file left, and the backups of
// a completed run beside it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <map>
#include <string>

#include "support/fault_injector.h"
#include "support/power_loss.h"
#include "tests/engine/maintenance/crash_tables.h"

namespace tarvo {
namespace {

using namespace tarvo::testing;
namespace fs = std::filesystem;

struct TLossResult {
  std::int64_t calls = 0;  // counted calls of a whole run
  int whole = 0;           // cuts swept that lost every unsynced change
  int torn = 0;            // ... and that kept a random part of them
  int recoveries_cut = 0;  // ... after which the power failed again during the recovery
  int as_before = 0;
  int as_after = 0;
  double seconds = 0;
};

// The backups beside the table, by name, with their size and a hash of their bytes.
std::map<std::string, std::string> Backups(const fs::path& dir) {
  std::map<std::string, std::string> backups;
  for (const char* extension : {".DBK", ".IBK", ".BBK"}) {
    const fs::path path = dir / (std::string(kTable) + extension);
    if (!fs::exists(path)) continue;
    std::ifstream in(path, std::ios::binary);
    const std::string bytes(std::istreambuf_iterator<char>(in), {});
    backups[path.filename().string()] =
        std::to_string(bytes.size()) + " bytes, hash " + std::to_string(std::hash<std::string>{}(bytes));
  }
  return backups;
}

void Sweep(TLossResult& result, const TOperation& operation,
           const std::function<void(const fs::path&)>& prepare = {}) {
  const auto started = std::chrono::steady_clock::now();
  TTempDir original;
  BuildTable(original.Dir());
  if (prepare) prepare(original.Path());
  const TTableState before = ReadCheckedState(original.Dir());
  TTableState after;
  std::map<std::string, std::string> backups_after;
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
    backups_after = Backups(dry.Path());
  }
  ASSERT_NE(before, after);

  TTempDir journals;
  const std::string journal = journals.File("cut");
  for (std::int64_t n = 1; n <= result.calls; ++n) {
    for (const TPowerLossMode mode : {TPowerLossMode::kWhole, TPowerLossMode::kTorn}) {
      const bool torn = mode == TPowerLossMode::kTorn;
      if (torn && n % 2 == 0) continue;  // torn cuts at every other point keep the run short
      SCOPED_TRACE(std::string(torn ? "torn" : "whole") + " power loss at call " + std::to_string(n) + " of " +
                   std::to_string(result.calls));
      TTempDir dir;
      CopyTableFiles(original.Path(), dir.Path());
      fs::remove(journal);
      const pid_t pid = ::fork();
      if (pid == 0) {
        try {
          TTestEngine engine(dir.Dir());
          TPowerLoss::Arm(kCrashOps, n, mode, static_cast<std::uint32_t>(n * 7919), journal);
          operation(engine);
        } catch (...) {
        }
        ::_exit(0);
      }
      ASSERT_GT(pid, 0);
      int status = 0;
      ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kFaultCrashExitStatus)
          << "the power did not fail at that call (status " << status << ")";
      ASSERT_TRUE(ApplyPowerLossJournal(journal));
      ++(torn ? result.torn : result.whole);
      // The power fails again while the next open recovers (at its first, second or third call).
      if (fs::exists(dir.File(std::string(kTable) + ".XCH"))) {
        fs::remove(journal);
        const pid_t again = ::fork();
        if (again == 0) {
          try {
            TTestEngine engine(dir.Dir());
            TPowerLoss::Arm(kCrashOps, 1 + n % 3, mode, static_cast<std::uint32_t>(n * 104729), journal);
            TDataCursor cursor(*engine.session, *engine.directory);
            cursor.Open(ExclusiveOptions());
            cursor.Close();
          } catch (...) {
          }
          ::_exit(0);
        }
        ASSERT_GT(again, 0);
        ASSERT_EQ(again, ::waitpid(again, &status, 0));
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == kFaultCrashExitStatus) {
          ASSERT_TRUE(ApplyPowerLossJournal(journal));
          ++result.recoveries_cut;
        }
      }
      TTableState now;
      ASSERT_NO_THROW(now = ReadCheckedState(dir.Dir()));
      EXPECT_FALSE(fs::exists(dir.File(std::string(kTable) + ".XCH")));
      if (now == before) {
        ++result.as_before;
      } else if (now == after) {
        ++result.as_after;
        // The old files kept as backups are part of the new state.
        EXPECT_EQ(backups_after, Backups(dir.Path()));
      } else {
        ADD_FAILURE() << "the table is neither as before nor as after the operation (" << now.records.size()
                      << " records; before " << before.records.size() << ", after " << after.records.size()
                      << ")\n"
                      << now.definition;
      }
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
  EXPECT_GT(result.as_before, 0);
  EXPECT_GT(result.as_after, 0);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

void Report(const char* name, const TLossResult& r) {
  std::cout << name << ": " << r.calls << " calls, " << r.whole << " whole and " << r.torn << " torn power losses, "
            << r.recoveries_cut << " of them again during the recovery, " << r.as_before << " as before, "
            << r.as_after << " as after, " << r.seconds << " s\n";
}

TEST(PowerLossSweepTest, Import) {
  TLossResult r;
  Sweep(r, Import);
  Report("import", r);
}

TEST(PowerLossSweepTest, Optimize) {
  for (const bool no_backup : {false, true}) {
    SCOPED_TRACE(no_backup ? "without backups" : "with backups");
    TLossResult r;
    Sweep(r, [no_backup](TTestEngine& engine) { Optimize(engine, no_backup); });
    Report(no_backup ? "optimize without backups" : "optimize", r);
  }
}

TEST(PowerLossSweepTest, RestructureByCopy) {
  TLossResult r;
  Sweep(r, RestructureByCopy);
  Report("restructure by copy", r);
}

TEST(PowerLossSweepTest, RestructureIndexesInPlace) {
  TLossResult r;
  Sweep(r, RestructureIndexes);
  Report("restructure of indexes", r);
}

TEST(PowerLossSweepTest, Repair) {
  TLossResult r;
  Sweep(r, Repair, LowerAutoIncrementCounter);
  Report("repair", r);
}

}  // namespace
}  // namespace tarvo

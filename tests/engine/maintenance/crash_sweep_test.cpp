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
#include <functional>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

#include "engine/tables/table_exchange.h"
#include "support/fault_injector.h"
#include "tests/engine/maintenance/crash_tables.h"

namespace tarvo {
namespace {

using namespace tarvo::testing;
namespace fs = std::filesystem;

// Exit status of a child whose operation raised instead of running to its end.
constexpr int kChildRaised = 3;

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
  TSweepResult r;
  Sweep(r, Repair, LowerAutoIncrementCounter);
  Report("repair", r);
}

}  // namespace
}  // namespace tarvo

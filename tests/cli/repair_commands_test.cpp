// `tarvo verify` and `tarvo repair`: exit statuses, what each changes, and the messages for a
// missing file, a file that is no table and a table another process holds exclusively.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "engine/tables/data_cursor.h"
#include "tests/testing/blob_checker.h"
#include "tests/testing/child_process.h"
#include "tests/testing/run_cli.h"
#include "tests/testing/table_builder.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

using testing::RunCli;
using testing::TTempDir;

int LineCount(const std::string& text) {
  int lines = 0;
  for (const char c : text) lines += c == '\n' ? 1 : 0;
  return lines;
}

TEST(RepairCommandsTest, VerifyReportsAndRepairMends) {
  TTempDir dir;
  testing::CopyFixture("basic", dir.Path());
  const std::string table = dir.File("Kunden.DAT");
  auto r = RunCli({"verify", table});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(LineCount(r.out), 2) << r.out;
  EXPECT_NE(r.out.find("Verification of table "), std::string::npos) << r.out;
  // Half a record behind the last one.
  {
    std::ofstream out(table, std::ios::binary | std::ios::app);
    out << "0123456789";
  }
  const auto damaged = testing::ReadFileBytes(table);
  r = RunCli({"verify", table});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.out.find("Physical records not aligned on even record size boundaries, error not fixed"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(testing::ReadFileBytes(table), damaged);  // a verification changes nothing
  r = RunCli({"repair", table});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Physical records not aligned on even record size boundaries, error fixed"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(std::filesystem::file_size(table), damaged.size() - 10);
  r = RunCli({"verify", table});
  EXPECT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_EQ(LineCount(r.out), 2) << r.out;
}

TEST(RepairCommandsTest, AMissingFileOrNoTableIsAnError) {
  TTempDir dir;
  for (const char* command : {"verify", "repair"}) {
    auto r = RunCli({command, dir.File("Nowhere.DAT")});
    EXPECT_EQ(r.status, 2) << command;
    EXPECT_EQ(LineCount(r.err), 1) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
  {
    std::ofstream out(dir.File("Notes.DAT"), std::ios::binary);
    out << "These are notes, not a table.\n";
  }
  for (const char* command : {"verify", "repair"}) {
    auto r = RunCli({command, dir.File("Notes.DAT")});
    EXPECT_EQ(r.status, 2) << command;
    EXPECT_EQ(LineCount(r.err), 1) << r.err;
  }
}

// A table that cannot be opened is reported and the next one still checked; the status is the
// worst seen.
TEST(RepairCommandsTest, VerifyGoesOnAfterATableItCannotOpen) {
  TTempDir dir;
  testing::CopyFixture("basic", dir.Path());
  std::filesystem::create_directory(dir.Path() / "damaged");
  testing::CopyFixture("basic", dir.Path() / "damaged");
  std::ofstream(dir.Path() / "damaged" / "Kunden.DAT", std::ios::binary | std::ios::app) << "0123456789";
  const auto r = RunCli({"verify", dir.File("Nowhere.DAT"), dir.File("damaged/Kunden.DAT"), dir.File("Kunden.DAT")});
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_EQ(LineCount(r.err), 1) << r.err;
  int verifications = 0;
  for (std::size_t at = r.out.find(" started at "); at != std::string::npos; at = r.out.find(" started at ", at + 1))
    ++verifications;
  EXPECT_EQ(verifications, 2) << r.out;
  EXPECT_NE(r.out.find("error not fixed"), std::string::npos) << r.out;
}

TARVO_CHILD(HoldKundenExclusively) {
  testing::TTestEngine engine(args.at(0));
  TDataCursor cursor(*engine.session, *engine.directory);
  TCursorOpenOptions options;
  options.table_name = "Kunden";
  options.exclusive = true;
  cursor.Open(options);
  testing::TellParent("open");
  (void)testing::HearFromParent();
  cursor.Close();
  return 0;
}

TEST(RepairCommandsTest, ATableHeldByAnotherProcessIsInUse) {
  TTempDir dir;
  testing::CopyFixture("basic", dir.Path());
  const auto before = testing::ReadFileBytes(dir.File("Kunden.DAT"));
  testing::TChildProcess child("HoldKundenExclusively", {dir.Dir()});
  ASSERT_EQ(child.Receive(), "open");
  for (const char* command : {"verify", "repair"}) {
    auto r = RunCli({command, dir.File("Kunden.DAT")});
    EXPECT_EQ(r.status, 3) << command << ": " << r.err;
    EXPECT_EQ(LineCount(r.err), 1) << r.err;
  }
  child.Send("done");
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(testing::ReadFileBytes(dir.File("Kunden.DAT")), before);
}

}  // namespace
}  // namespace tarvo

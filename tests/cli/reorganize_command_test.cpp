// `tarvo reorganize` against the maintenance window's run: the same log line by line for copies of
// the same directory, USER.DAT untouched, the answers to the backup question, and the end at a
// table that another program holds, before any later table is touched.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "components/tarvo_table.h"
#include "runs/maintenance_components.h"
#include "runs/maintenance_texts.h"
#include "runs/reorganization_run.h"
#include "tests/runs/fake_window.h"
#include "tests/testing/child_process.h"
#include "tests/testing/run_cli.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

namespace fs = std::filesystem;
using testing::RunCli;
using testing::TChildProcess;
using testing::TFakeWindow;
using testing::TTempDir;

// Holds a table open exclusively until the parent sends a line.
TARVO_CHILD(HoldTable) {
  TTarvoTable table;
  table.SetDatabaseName(args.at(0));
  table.SetTableName(args.at(1));
  table.SetExclusive(true);
  table.Open();
  testing::TellParent("held");
  testing::HearFromParent();
  table.Close();
  return 0;
}

std::string FileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::map<std::string, std::string> DirectoryBytes(const fs::path& directory) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::directory_iterator(directory)) {
    files[entry.path().filename().string()] = FileBytes(entry.path());
  }
  return files;
}

std::vector<std::string> Names(const fs::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool HasBackups(const fs::path& directory) {
  for (const auto& entry : fs::directory_iterator(directory)) {
    const std::string extension = entry.path().extension().string();
    if (extension.size() == 4 && (extension.substr(2) == "BK" || extension.substr(2) == "bk")) return true;
  }
  return false;
}

// Three tables in varied letter case and a USER.DAT, made the same way in every directory.
void FillDatabase(const fs::path& directory) {
  fs::create_directories(directory);
  testing::CopyFixture("basic", directory);
  testing::CopyFixture("noprimary", directory);
  testing::CopyFixture("blocks1024", directory);
  fs::rename(directory / "Notizen.DAT", directory / "notizen.dat");
  for (const char* extension : {".DAT", ".IDX"}) {
    fs::copy_file(directory / (std::string("Journal") + extension),
                  directory / (std::string("USER") + extension));
  }
}

// The tables of the directory in the order the run takes them.
std::vector<std::string> RunOrder(const fs::path& directory) {
  TFakeWindow window;
  TMaintenanceComponents components(window);
  components.Connect((directory / "tarvo").string());
  bool found = false;
  return TReorganizationRun(components).TableNames(found);
}

TEST(ReorganizeCommandTest, LogIsTheWindowsLogLineByLine) {
  TTempDir dir;
  const fs::path for_window = dir.Path() / "window";
  const fs::path for_tool = dir.Path() / "tool";
  FillDatabase(for_window);
  FillDatabase(for_tool);
  const std::string user_bytes = FileBytes(for_tool / "USER.DAT");
  ASSERT_EQ(RunOrder(for_window), RunOrder(for_tool));

  TFakeWindow window;
  window.answers.push_back(TMessageAnswer::kNo);
  {
    TMaintenanceComponents components(window);
    components.Connect((for_window / "tarvo-reorganisation").string());
    RunHandler(window, [&] { TReorganizationRun(components).Run(); });
  }
  ASSERT_EQ(1u, window.boxes.size()) << window.boxes.back().text;  // the backup question only

  const auto result = RunCli({"reorganize", for_tool.string(), "--keep-backups"});
  EXPECT_EQ(0, result.status) << result.err;
  EXPECT_EQ("", result.err);
  EXPECT_EQ(window.log, Lines(result.out));
  EXPECT_EQ(19u, window.log.size());  // start, 3 tables of 5 lines, end; each start and end with a blank
  EXPECT_NE(window.log.end(),
            std::find(window.log.begin(), window.log.end(), "Bearbeite Tabelle: NOTIZEN.DAT"));
  EXPECT_EQ(user_bytes, FileBytes(for_tool / "USER.DAT"));
  EXPECT_TRUE(HasBackups(for_tool));
  // The same files (tables and backups) came out as the window's, with the same records.
  EXPECT_EQ(Names(for_window), Names(for_tool));
  for (const char* table : {"Kunden.DAT", "Journal.DAT", "notizen.DAT"}) {
    const auto window_rows = RunCli({"export", (for_window / table).string()});
    const auto tool_rows = RunCli({"export", (for_tool / table).string()});
    EXPECT_EQ(0, tool_rows.status) << tool_rows.err;
    EXPECT_TRUE(window_rows.out == tool_rows.out) << table;
  }
}

TEST(ReorganizeCommandTest, BackupQuestionIsAnsweredByOptionOrKeptWithoutTerminal) {
  TTempDir dir;
  testing::CopyFixture("blocks1024", dir.Path());
  // Standard input is a pipe: "j" is not read, the backups stay.
  auto result = RunCli({"reorganize", dir.Path().string()}, "j\n");
  EXPECT_EQ(0, result.status) << result.err;
  EXPECT_TRUE(HasBackups(dir.Path()));
  result = RunCli({"--quiet", "reorganize", dir.Path().string(), "--delete-backups"});
  EXPECT_EQ(0, result.status) << result.err;
  EXPECT_FALSE(HasBackups(dir.Path()));
  EXPECT_TRUE(fs::exists(dir.Path() / "Notizen.DAT"));
  EXPECT_EQ(2, RunCli({"reorganize", dir.Path().string(), "--delete-backups", "--keep-backups"}).status);
}

TEST(ReorganizeCommandTest, DirectoriesWithoutTables) {
  TTempDir dir;
  auto result = RunCli({"reorganize", dir.Path().string()});
  EXPECT_EQ(0, result.status) << result.err;
  EXPECT_EQ((std::vector<std::string>{"Es wurden keine Dateien zur Reorganisation gefunden!",
                                      "Datenbankpfad: " + dir.Dir()}),
            Lines(result.out));
  result = RunCli({"reorganize", dir.File("missing")});
  EXPECT_EQ(2, result.status);
  EXPECT_NE(std::string::npos, result.err.find("is not a directory")) << result.err;
}

TEST(ReorganizeCommandTest, TableInUseEndsTheRunBeforeAnyLaterTable) {
  TTempDir dir;
  FillDatabase(dir.Path());
  const std::vector<std::string> order = RunOrder(dir.Path());
  ASSERT_EQ(3u, order.size());
  const auto before = DirectoryBytes(dir.Path());
  TChildProcess holder("HoldTable", {dir.Dir(), order[0]});
  ASSERT_EQ("held", holder.Receive());
  const auto result = RunCli({"reorganize", dir.Path().string(), "--delete-backups"});
  holder.Send("done");
  EXPECT_EQ(0, holder.Wait());
  EXPECT_EQ(3, result.status) << result.err;
  EXPECT_EQ((std::vector<std::string>{"Beginne Reorganisation...", ""}), Lines(result.out));
  std::string message = std::string(kTableInUseBefore) + order[0] + kTableInUseAfter;
  std::string expected;
  for (const std::string& line : SplitLogEntry(message)) expected += line + "\n";
  EXPECT_EQ(expected, result.err);
  EXPECT_TRUE(before == DirectoryBytes(dir.Path()));
}

}  // namespace
}  // namespace tarvo

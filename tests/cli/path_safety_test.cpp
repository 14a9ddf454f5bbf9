// The tool stays where its paths say: a table path with ".." is split into directory and name and
// reaches that table and nothing else; deleting backups never reaches through a symbolic link out
// of the directory; and a password given with --password never shows up in what the tool prints.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/testing/run_cli.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

namespace fs = std::filesystem;
using testing::RunCli;
using testing::TTempDir;

std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(entry.path(), root).string();
    if (entry.is_symlink()) {
      files[name] = "-> " + fs::read_symlink(entry.path()).string();
    } else if (entry.is_regular_file()) {
      std::ifstream in(entry.path(), std::ios::binary);
      files[name] = std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } else {
      files[name] = "(other)";
    }
  }
  return files;
}

// Runs the tool with `dir` as its current directory.
testing::TCliResult RunCliIn(const fs::path& dir, const std::vector<std::string>& args) {
  const fs::path before = fs::current_path();
  fs::current_path(dir);
  auto result = RunCli(args);
  fs::current_path(before);
  return result;
}

TEST(PathSafetyTest, TablePathsWithDotDotReachTheTableTheyName) {
  TTempDir root;
  fs::create_directories(root.Path() / "db" / "sub");
  testing::CopyFixture("noprimary", root.Path() / "db");
  const auto sub = Tree(root.Path() / "db" / "sub");

  auto r = RunCliIn(root.Path() / "db" / "sub", {"info", "../Journal", "--json"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(120, nlohmann::json::parse(r.out)["records_in_use"]);

  r = RunCli({"optimize", root.Dir() + "db/sub/../Journal.dat"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(fs::exists(root.Path() / "db" / "Journal.DBK"));
  EXPECT_EQ(sub, Tree(root.Path() / "db" / "sub"));

  // A directory part that leads nowhere, and names that are paths on this system.
  r = RunCli({"info", root.Dir() + "db/none/../Journal"});
  EXPECT_EQ(2, r.status);
  const auto before = Tree(root.Path());
  for (const char* name : {"a\\b", "c:Journal"}) {
    r = RunCliIn(root.Path() / "db", {"info", name});
    EXPECT_EQ(2, r.status) << name;
    EXPECT_NE(std::string::npos, r.err.find("11010")) << r.err;
    r = RunCliIn(root.Path() / "db", {"optimize", name});
    EXPECT_EQ(2, r.status) << name;
  }
  EXPECT_EQ(before, Tree(root.Path()));
}

TEST(PathSafetyTest, BackupDeletionNeverReachesThroughLinks) {
  TTempDir root;
  const fs::path db = root.Path() / "db";
  const fs::path elsewhere = root.Path() / "elsewhere";
  fs::create_directories(db);
  fs::create_directories(elsewhere / "inner");
  testing::CopyFixture("noprimary", db);
  std::ofstream(elsewhere / "Victim.DBK") << "keep me";
  std::ofstream(elsewhere / "inner" / "Deep.IBK") << "keep me too";
  std::ofstream(elsewhere / "ReadOnly.BBK") << "read-only";
  fs::permissions(elsewhere / "ReadOnly.BBK", fs::perms::owner_read | fs::perms::group_read);
  ASSERT_EQ(0, ::mkfifo((elsewhere / "Pipe").c_str(), 0600));
  fs::create_symlink(elsewhere / "Victim.DBK", db / "Linked.DBK");
  fs::create_symlink(elsewhere / "ReadOnly.BBK", db / "LinkedReadOnly.BBK");
  fs::create_directory_symlink(elsewhere / "inner", db / "Folder.IBK");
  fs::create_symlink(elsewhere / "Pipe", db / "Pipe.DBK");
  fs::create_symlink(elsewhere / "gone", db / "Dangling.DBK");
  const auto outside = Tree(elsewhere);

  // The link to a read-only file is refused (the tool says so and ends with status 2).
  const auto r = RunCli({"reorganize", db.string(), "--delete-backups"});
  EXPECT_NE(std::string::npos, r.err.find("LinkedReadOnly.BBK")) << r.err << r.out;
  EXPECT_EQ(outside, Tree(elsewhere));
  // The engine's own backups are gone; links are removed as links at most, never followed.
  EXPECT_FALSE(fs::exists(db / "Journal.DBK"));
  EXPECT_FALSE(fs::exists(db / "Journal.IBK"));
  EXPECT_TRUE(fs::is_symlink(db / "Folder.IBK"));
  EXPECT_FALSE(fs::is_symlink(db / "Linked.DBK"));
  EXPECT_FALSE(fs::is_symlink(db / "Pipe.DBK"));
}

TEST(PathSafetyTest, PasswordsNeverShowUp) {
  TTempDir dir;
  const std::string right = "Qx7rightpass";
  const std::string wrong = "Wz4wrongpass";
  std::ofstream(dir.File("secret.json")) << R"({"encrypted": true, "password": ")" << right << R"(",
      "fields": [{"name": "ID", "type": "autoinc"}, {"name": "Name", "type": "text", "size": 20},
                 {"name": "Memo", "type": "memo"}],
      "primary": ["ID"]})";
  std::ofstream(dir.File("rows.jsonl")) << R"({"Name": "a", "Memo": "m"})"
                                        << "\n";
  const std::string table = dir.File("Secret.DAT");
  auto r = RunCli({"create", table, "--definition", dir.File("secret.json")});
  ASSERT_EQ(0, r.status) << r.err;
  std::ofstream(dir.File("plain.json"))
      << R"({"fields": [{"name": "ID", "type": "autoinc"}], "primary": ["ID"]})";

  // The wrong password alone makes every command fail on the table; with the right one as well
  // every command works on it.
  const std::vector<std::vector<std::string>> refused = {
      {"info", table}, {"repair", table}, {"optimize", table}};
  const std::vector<std::vector<std::string>> working = {
      {"info", table, "--json"},
      {"export", table},
      {"import", table, dir.File("rows.jsonl")},
      {"verify", table},
      {"repair", table},
      {"optimize", table},
      {"restructure", table, "--definition", dir.File("plain.json")},
      {"reorganize", dir.Dir(), "--keep-backups"},
  };
  for (const auto& [passwords, commands] :
       {std::pair{std::vector<std::string>{"--password", wrong}, refused},
        std::pair{std::vector<std::string>{"--password", wrong, "--password", right}, working}}) {
    for (const auto& command : commands) {
      std::vector<std::string> args = passwords;
      args.insert(args.end(), command.begin(), command.end());
      std::string trace;
      for (const std::string& arg : args) trace += arg + " ";
      SCOPED_TRACE(trace);
      r = RunCli(args);
      EXPECT_EQ(commands == refused ? 2 : 0, r.status) << r.err;
      for (const std::string& secret : {right, wrong}) {
        EXPECT_EQ(std::string::npos, r.out.find(secret)) << r.out;
        EXPECT_EQ(std::string::npos, r.err.find(secret)) << r.err;
      }
    }
  }
  // Nor in files the tool leaves beside the tables (logs, intent files, backups in plain text).
  for (const auto& [name, bytes] : Tree(dir.Path())) {
    if (name == "secret.json") continue;
    EXPECT_EQ(std::string::npos, bytes.find(right)) << name;
    EXPECT_EQ(std::string::npos, bytes.find(wrong)) << name;
  }
}

}  // namespace
}  // namespace tarvo

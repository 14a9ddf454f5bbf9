// The tool's frame across its subcommands: help with an example everywhere, verify's statuses on
// a sound and a damaged table, and bad arguments that give one message on standard error, status
// 2, and leave every file as it was.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/testing/run_cli.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

namespace fs = std::filesystem;
using testing::RunCli;
using testing::TTempDir;

const std::vector<std::string> kCommands = {"create",      "info",   "import", "export",    "optimize",
                                            "restructure", "verify", "repair", "reorganize"};

std::map<std::string, std::string> DirectoryBytes(const fs::path& directory) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::directory_iterator(directory)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    files[entry.path().filename().string()] = bytes.str();
  }
  return files;
}

int LineCount(const std::string& text) {
  int lines = 0;
  for (char c : text) lines += c == '\n' ? 1 : 0;
  return lines;
}

TEST(CliArgumentsTest, EveryCommandHasHelpWithAnExampleAndTheOverviewNamesThemAll) {
  const auto overview = RunCli({});
  EXPECT_EQ(0, overview.status);
  for (const std::string& command : kCommands) {
    SCOPED_TRACE(command);
    EXPECT_NE(std::string::npos, overview.out.find(command)) << overview.out;
    const auto help = RunCli({command, "--help"});
    EXPECT_EQ(0, help.status);
    const std::size_t example = help.out.find("Example:\n  tarvo ");
    ASSERT_NE(std::string::npos, example) << help.out;
    EXPECT_NE(std::string::npos, help.out.find("tarvo " + command, example)) << help.out;
  }
  EXPECT_NE(std::string::npos, overview.out.find("--quiet"));
  EXPECT_NE(std::string::npos, overview.out.find("--password"));
}

TEST(CliArgumentsTest, VerifyTellsASoundFromADamagedTable) {
  TTempDir dir;
  testing::CopyFixture("basic", dir.Path());
  const std::string table = dir.File("Kunden.DAT");
  auto sound = RunCli({"verify", table});
  EXPECT_EQ(0, sound.status) << sound.out << sound.err;
  EXPECT_EQ("", sound.err);  // no terminal: no progress line
  {
    // A blob block with a broken header.
    std::fstream blob(dir.File("Kunden.BLB"), std::ios::in | std::ios::out | std::ios::binary);
    blob.seekp(512 * 20);
    blob << std::string(32, '\xff');
  }
  const auto before = DirectoryBytes(dir.Path());
  auto damaged = RunCli({"verify", table});
  EXPECT_EQ(1, damaged.status) << damaged.out << damaged.err;
  EXPECT_NE(std::string::npos, damaged.out.find("Invalid BLOB offset")) << damaged.out;
  EXPECT_TRUE(before == DirectoryBytes(dir.Path()));
  // The repair mends it, and verify finds nothing afterwards.
  EXPECT_EQ(0, RunCli({"repair", table}).status);
  sound = RunCli({"verify", table});
  EXPECT_EQ(0, sound.status) << sound.out;
}

class CliBadArgumentsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::CopyFixture("basic", dir_.Path());
    std::ofstream(dir_.File("junk.DAT")) << "not a table at all, just text";
    std::ofstream(dir_.File("broken.json")) << R"({"fields": [)";
    std::ofstream(dir_.File("rows.jsonl")) << R"({"Name": "x"})"
                                           << "\n";
    const std::string definition = R"({"encrypted": true, "password": "geheim",
        "fields": [{"name": "ID", "type": "autoinc"}, {"name": "Name", "type": "text", "size": 20}],
        "primary": ["ID"]})";
    std::ofstream(dir_.File("secret.json")) << definition;
    const auto created =
        RunCli({"create", dir_.File("Secret.DAT"), "--definition", dir_.File("secret.json")});
    ASSERT_EQ(0, created.status) << created.err;
  }

  // Status 2, one line on standard error (containing `message`), and no file changed.
  void ExpectRefused(const std::vector<std::string>& args, const std::string& message) {
    std::string trace;
    for (const std::string& arg : args) trace += arg + " ";
    SCOPED_TRACE(trace);
    const auto before = DirectoryBytes(dir_.Path());
    const auto result = RunCli(args);
    EXPECT_EQ(2, result.status) << result.out << result.err;
    EXPECT_EQ(1, LineCount(result.err)) << result.err;
    EXPECT_NE(std::string::npos, result.err.find(message)) << result.err;
    EXPECT_TRUE(before == DirectoryBytes(dir_.Path()));
  }

  TTempDir dir_;
};

TEST_F(CliBadArgumentsTest, MissingFilesAndFilesThatAreNoTables) {
  const std::string missing = dir_.File("none.DAT");
  const std::string junk = dir_.File("junk.DAT");
  ExpectRefused({"info", missing}, "11010");
  ExpectRefused({"optimize", missing}, "11010");
  ExpectRefused({"import", missing, dir_.File("rows.jsonl")}, "11010");
  ExpectRefused({"export", junk}, "8961");
  ExpectRefused({"verify", junk}, "8961");
  ExpectRefused({"restructure", junk, "--definition", dir_.File("secret.json")}, "8961");
  ExpectRefused({"import", dir_.File("Kunden.DAT"), dir_.File("none.jsonl")}, "none.jsonl");
}

TEST_F(CliBadArgumentsTest, WrongOrMissingPassword) {
  const std::string secret = dir_.File("Secret.DAT");
  ExpectRefused({"info", secret}, "10498");
  ExpectRefused({"--password", "falsch", "export", secret}, "10498");
  ExpectRefused({"--password", "falsch", "optimize", secret}, "10498");
  // The right one among several opens it.
  const auto opened = RunCli({"--password", "falsch", "--password", "geheim", "info", secret});
  EXPECT_EQ(0, opened.status) << opened.err;
}

TEST_F(CliBadArgumentsTest, UnknownIndexAndUnreadableDefinition) {
  const std::string table = dir_.File("Kunden.DAT");
  ExpectRefused({"optimize", table, "--index", "NoSuchIndex"}, "NoSuchIndex");
  ExpectRefused({"export", table, "--index", "NoSuchIndex"}, "NoSuchIndex");
  ExpectRefused({"restructure", table, "--definition", dir_.File("none.json")}, "none.json");
  ExpectRefused({"restructure", table, "--definition", dir_.File("broken.json")}, "broken.json");
  ExpectRefused({"create", dir_.File("New.DAT"), "--definition", dir_.File("broken.json")}, "broken.json");
  ExpectRefused({"reorganize", dir_.File("Kunden.DAT")}, "is not a directory");
  ExpectRefused({"info"}, "TABLE");
  ExpectRefused({"frobnicate"}, "frobnicate");
}

}  // namespace
}  // namespace tarvo

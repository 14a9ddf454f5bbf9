// The shell file operation: nothing to do succeeds at once, the flag word, the several-destinations
// form of the list, and each operation on real files with its failure reported by the system's text.
#include "runs/shell_file_operation.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "tests/runs/maintenance_tables.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

namespace fs = std::filesystem;
using testing::DirectoryNames;
using testing::FileBytes;
using testing::TTempDir;

class TShellFileOperationTest : public ::testing::Test {
 protected:
  void Make(const std::string& name, const std::string& text = "x") {
    std::ofstream(dir_.Path() / name) << text;
  }

  TTempDir dir_;
  TShellFileOperation shell_;
  std::vector<std::string> errors_;
  std::vector<std::string> error_windows_;

  void SetUp() override {
    shell_.OnError = [this](TComponent&, const std::string& text, bool& handled) {
      EXPECT_FALSE(handled);
      errors_.push_back(text);
    };
    shell_.ErrorWindow = [this](const std::string& text) { error_windows_.push_back(text); };
  }
};

TEST_F(TShellFileOperationTest, DefaultsAndFlagWords) {
  EXPECT_EQ(TShellFileOperationType::fotCopy, shell_.Operation);
  EXPECT_EQ(fofAllowUndo | fofFilesOnly | fofRenameCollision, shell_.Options);
  shell_.Options = fofRenameCollision | fofFilesOnly | fofNoConfirmMkDir | fofNoConfirmation;
  EXPECT_EQ(0x0298, shell_.FlagWord());
  shell_.SourceFiles = {"a=b"};
  EXPECT_EQ(0x0299, shell_.FlagWord());
}

TEST_F(TShellFileOperationTest, NothingToDoSucceedsWithoutTouchingAnything) {
  Make("keep");
  shell_.Operation = TShellFileOperationType::fotDelete;
  EXPECT_TRUE(shell_.Execute());
  EXPECT_EQ(std::vector<std::string>{"keep"}, DirectoryNames(dir_.Path()));
  EXPECT_TRUE(errors_.empty());
}

TEST_F(TShellFileOperationTest, SeveralDestinationsTakeOnlyLinesWithEquals) {
  shell_.DestFolder = "/target";
  shell_.SourceFiles = {"/a/one, two.txt=x=1.txt", "/a/ignored.txt", "/a/three.txt=three"};
  const auto requests = shell_.Requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("/a/one, two.txt", requests[0].first);
  EXPECT_EQ("/target/x=1.txt", requests[0].second);
  EXPECT_EQ("/target/three", requests[1].second);
}

TEST_F(TShellFileOperationTest, DeleteRemovesForGoodAndReportsTheFirstFailure) {
  Make("a b.DBK");
  Make("locked.IBK");
  Make("c.BBK");
  fs::permissions(dir_.Path() / "locked.IBK", fs::perms::owner_read);
  shell_.Operation = TShellFileOperationType::fotDelete;
  shell_.SourceFiles = {dir_.File("a b.DBK"), dir_.File("locked.IBK"), dir_.File("c.BBK")};
  EXPECT_FALSE(shell_.Execute());
  EXPECT_EQ(std::vector<std::string>{"locked.IBK"}, DirectoryNames(dir_.Path()));
  EXPECT_EQ(std::vector<std::string>{std::strerror(EACCES)}, errors_);
  EXPECT_EQ(std::vector<std::string>{dir_.File("locked.IBK") + "\r\n" + std::strerror(EACCES)},
            error_windows_);
  // The list stays as it was.
  EXPECT_EQ(3u, shell_.SourceFiles.size());
}

TEST_F(TShellFileOperationTest, NoErrorUiKeepsTheWindowAwayButStillTellsOnError) {
  shell_.Operation = TShellFileOperationType::fotDelete;
  shell_.Options |= fofNoErrorUI;
  shell_.SourceFiles = {dir_.File("missing.DBK")};
  EXPECT_FALSE(shell_.Execute());
  EXPECT_EQ(std::vector<std::string>{std::strerror(ENOENT)}, errors_);
  EXPECT_TRUE(error_windows_.empty());
}

TEST_F(TShellFileOperationTest, CopyMoveAndRename) {
  fs::create_directories(dir_.Path() / "to");
  Make("one.txt", "1");
  Make("two.txt", "2");
  shell_.DestFolder = dir_.File("to");
  shell_.SourceFiles = {dir_.File("one.txt")};
  EXPECT_TRUE(shell_.Execute());
  EXPECT_EQ("1", FileBytes(dir_.Path() / "to" / "one.txt"));
  // A collision gets a free name.
  EXPECT_TRUE(shell_.Execute());
  EXPECT_EQ("1", FileBytes(dir_.Path() / "to" / "one (2).txt"));

  shell_.Operation = TShellFileOperationType::fotMove;
  shell_.SourceFiles = {dir_.File("two.txt")};
  EXPECT_TRUE(shell_.Execute());
  EXPECT_FALSE(fs::exists(dir_.Path() / "two.txt"));
  EXPECT_EQ("2", FileBytes(dir_.Path() / "to" / "two.txt"));

  shell_.Operation = TShellFileOperationType::fotRename;
  shell_.DestFolder = "uno.txt";
  shell_.SourceFiles = {dir_.File("one.txt")};
  EXPECT_TRUE(shell_.Execute());
  EXPECT_EQ("1", FileBytes(dir_.Path() / "uno.txt"));
  EXPECT_TRUE(errors_.empty());
}

}  // namespace
}  // namespace tarvo

// An intent file beside a table is followed only inside the table's directory: an intent that
// names files elsewhere (planted, or written by something else) never deletes, moves or creates
// anything outside, and a roll-back whose new files lay elsewhere deletes nothing there.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "engine/tables/table_exchange.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

namespace fs = std::filesystem;
using testing::TTempDir;

std::map<std::string, std::string> Tree(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    files[fs::relative(entry.path(), root).string()] =
        std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return files;
}

class ExchangeIntentPathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root_.Path() / "db");
    fs::create_directories(root_.Path() / "elsewhere");
    std::ofstream(root_.File("elsewhere/Victim.DAT")) << "victim";
    std::ofstream(root_.File("db/T.DAT")) << "old data";
    std::ofstream(root_.File("db/T.IDX")) << "old index";
  }
  std::string Db(const std::string& name) const { return root_.Dir() + "db/" + name; }
  std::string Elsewhere(const std::string& name) const { return root_.Dir() + "elsewhere/" + name; }
  void Intent(const std::string& steps) const {
    std::ofstream(Db("T.XCH")) << "tarvo-exchange 1\nkeep-backups\t0\n" << steps << "end\n";
  }

  TTempDir root_;
};

TEST_F(ExchangeIntentPathsTest, IntentsNamingOtherDirectoriesAreLeftAlone) {
  const std::string db = root_.Dir() + "db/";
  const std::string cases[] = {
      // A roll-back would delete the "scratch" file: any file at all.
      "place\t" + Elsewhere("Victim.DAT") + "\t" + Db("T.DAT") + "\n",
      "place\t" + Db("../elsewhere/Victim.DAT") + "\t" + Db("T.DAT") + "\n",
      // A commit would delete the "old" files moved aside.
      "aside\t" + Elsewhere("Victim.DAT") + "\t" + Elsewhere("Victim.DBK") + "\nplace\t" + Db("T.IDX") +
          "\t" + Db("T.DAT") + "\n",
      "aside\t" + Db("T.DAT") + "\t" + Db("../elsewhere/Victim.DAT") + "\n",
      // Moves into or out of another directory.
      "place\t" + Db("T.DAT") + "\t" + Elsewhere("Planted.DAT") + "\n",
      "aside\t" + Db("T.DAT") + "\t" + Elsewhere("Planted.DAT") + "\n",
  };
  const auto before = Tree(root_.Path());
  for (const std::string& steps : cases) {
    SCOPED_TRACE(steps);
    Intent(steps);
    (void)RecoverTableExchange(db, "T");
    fs::remove(Db("T.XCH"));
    EXPECT_EQ(before, Tree(root_.Path()));
  }
}

TEST_F(ExchangeIntentPathsTest, RollBackWithNewFilesElsewhereDeletesNothingThere) {
  // The shape of an exchange whose scratch table lay in a private directory, interrupted after
  // the index file was placed: the old files come back, the placed one goes, and nothing in the
  // other directory is touched (also not a file standing under a scratch name).
  fs::rename(Db("T.DAT"), Db("T.DBK"));
  fs::rename(Db("T.IDX"), Db("T.IBK"));
  std::ofstream(Db("T.IDX")) << "new index";
  std::ofstream(Elsewhere("1.DAT")) << "new data";
  Intent("aside\t" + Db("T.DAT") + "\t" + Db("T.DBK") + "\naside\t" + Db("T.IDX") + "\t" + Db("T.IBK") +
         "\nplace\t" + Elsewhere("1.IDX") + "\t" + Db("T.IDX") + "\nplace\t" + Elsewhere("1.DAT") + "\t" +
         Db("T.DAT") + "\n");
  const auto outside = Tree(root_.Path() / "elsewhere");
  EXPECT_TRUE(RecoverTableExchange(root_.Dir() + "db/", "T.DAT"));
  EXPECT_EQ(outside, Tree(root_.Path() / "elsewhere"));
  const std::map<std::string, std::string> restored = {{"T.DAT", "old data"}, {"T.IDX", "old index"}};
  EXPECT_EQ(restored, Tree(root_.Path() / "db"));
}

}  // namespace
}  // namespace tarvo

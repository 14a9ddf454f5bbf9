// A table name names a file of its directory: names that are paths ("../x", "sub/x", "a\b",
// "c:x", "..") are refused with 11010 by every operation that takes a name, and nothing outside
// the directory is created, opened, renamed or deleted through them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "errors/engine_error.h"
#include "engine/maintenance/optimize.h"
#include "engine/tables/data_cursor.h"
#include "tests/testing/engine_matchers.h"
#include "tests/testing/table_builder.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

namespace fs = std::filesystem;
using testing::SmallDefinition;
using testing::TTempDir;
using testing::TTestEngine;

const std::vector<std::string> kPathNames = {
    "../Outside",   "../Outside.DAT", "sub/../../Outside", "sub/Inner",
    "/tmp/Outside", "a\\b",           "c:Outside",         "..",
    " .. "};

class TableNamePathTest : public ::testing::Test {
 protected:
  // The engine's directory is root/db; a table lies beside it (root/Outside) and in a
  // subdirectory (root/db/sub/Inner).
  void SetUp() override {
    fs::create_directories(root_.Path() / "db" / "sub");
    TTestEngine outside(root_.Dir());
    outside.directory->CreateTable("Outside", SmallDefinition(true));
    TTestEngine inner(root_.Dir() + "db/sub/");
    inner.directory->CreateTable("Inner", SmallDefinition(false));
    before_ = Listing();
  }

  std::vector<std::string> Listing() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(root_.Path())) {
      names.push_back(fs::relative(entry.path(), root_.Path()).string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  TTempDir root_;
  std::vector<std::string> before_;
};

TEST_F(TableNamePathTest, EveryOperationRefusesAPathAndTouchesNothing) {
  TTestEngine engine(root_.Dir() + "db/");
  TDataDirectory& dir = *engine.directory;
  for (const std::string& name : kPathNames) {
    SCOPED_TRACE(name);
    for (const bool in_memory : {false, true}) {
      TDataCursor cursor(*engine.session, dir);
      TCursorOpenOptions options;
      options.table_name = name;
      options.in_memory = in_memory;
      EXPECT_ENGINE_ERROR(kInvalidPath, cursor.Open(options));
      EXPECT_FALSE(cursor.IsOpen());
      EXPECT_FALSE(dir.TableExists(name, in_memory));
      EXPECT_ENGINE_ERROR(kInvalidPath, dir.CreateTable(name, SmallDefinition(false), in_memory));
      EXPECT_ENGINE_ERROR(kInvalidPath, dir.DeleteTable(name, in_memory));
      EXPECT_ENGINE_ERROR(kInvalidPath, dir.RenameTable(name, "Moved", false, in_memory));
      EXPECT_ENGINE_ERROR(kInvalidPath, dir.RenameTable(name, "", true, in_memory));
      EXPECT_ENGINE_ERROR(kInvalidPath, (void)ReadClosedTableHeader(dir, name, in_memory));
    }
    TDataCursor cursor(*engine.session, dir);
    TCursorOpenOptions options;
    options.table_name = name;
    options.exclusive = true;
    EXPECT_ENGINE_ERROR(kInvalidPath, OptimizeTable(cursor, options, "", true, {}));
  }
  EXPECT_EQ(0u, dir.TableCount());
  EXPECT_EQ(before_, Listing());
}

TEST_F(TableNamePathTest, RenameRefusesANewNameThatIsAPath) {
  TTestEngine engine(root_.Dir() + "db/");
  engine.directory->CreateTable("Local", SmallDefinition(true));
  const std::vector<std::string> with_local = Listing();
  for (const char* target : {"../Escaped", "sub/Escaped", "/tmp/Escaped", "x:y", ".."}) {
    SCOPED_TRACE(target);
    EXPECT_ENGINE_ERROR(kInvalidPath, engine.directory->RenameTable("Local", target, false));
  }
  EXPECT_EQ(with_local, Listing());
  // Plain names still work, with or without an extension and with blanks around them.
  engine.directory->RenameTable(" Local.dat ", "Renamed", false);
  EXPECT_TRUE(fs::exists(root_.Path() / "db" / "Renamed.BLB"));
  EXPECT_TRUE(engine.directory->TableExists("Renamed.DAT"));
  engine.directory->DeleteTable("Renamed");
  EXPECT_EQ(before_, Listing());
}

TEST_F(TableNamePathTest, DottedPlainNamesStayInTheDirectory) {
  // Names with dots that are no path: the extension is replaced, the file lies in the directory.
  TTestEngine engine(root_.Dir() + "db/");
  engine.directory->CreateTable("...", SmallDefinition(false));
  engine.directory->CreateTable("v1.2.table", SmallDefinition(false));
  EXPECT_TRUE(fs::exists(root_.Path() / "db" / "...DAT"));
  EXPECT_TRUE(fs::exists(root_.Path() / "db" / "v1.2.DAT"));
  TDataCursor cursor(*engine.session, *engine.directory);
  TCursorOpenOptions options;
  options.table_name = "v1.2.table";
  cursor.Open(options);
  EXPECT_EQ(0, cursor.RecordCount());
  cursor.Close();
}

}  // namespace
}  // namespace tarvo

#include "support/file_list.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "support/platform.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

constexpr int Negated(TEngineCode code) {
  return -static_cast<int>(code);
}

class TFileListTest : public ::testing::Test {
 protected:
  void SetUp() override { std::ofstream(path_) << "data"; }
  testing::TTempDir dir_;
  std::string path_ = dir_.File("t.dat");
  TFileList list_;
};

TEST_F(TFileListTest, AnotherNameOfAnOpenFileFindsIt) {
  ASSERT_EQ(0, ::symlink(path_.c_str(), dir_.File("alias.dat").c_str()));
  TOpenedEntry first;
  const int id = list_.OpenEntry(path_, false, {.exclusive = true}, first);
  ASSERT_GT(id, 0);
  TOpenedEntry second;
  EXPECT_EQ(Negated(kAccessDenied), list_.OpenEntry(dir_.File("alias.dat"), false, {}, second));
  EXPECT_EQ(Negated(kAccessDenied), list_.OpenEntry(dir_.Dir() + "./t.dat", false, {}, second));
  EXPECT_EQ(Negated(kAccessDenied), list_.DeleteEntry(dir_.File("alias.dat"), false));
  EXPECT_EQ(0, list_.CloseEntry(first.file, false, id));
  EXPECT_EQ(Negated(kInvalidPath), list_.CloseEntry(first.file, false, id));  // closed already
}

TEST_F(TFileListTest, KindsAndNamesAreSeparate) {
  TAbstractFile* memory = nullptr;
  const int id = list_.CreateEntry(path_, true, false, &memory);
  ASSERT_GT(id, 0);
  EXPECT_TRUE(memory->InMemory());
  TOpenedEntry physical;
  EXPECT_GT(list_.OpenEntry(path_, false, {.exclusive = true}, physical), 0);  // same name, other kind
  EXPECT_NE(memory, physical.file);
  EXPECT_EQ(Negated(kInvalidPath), list_.CreateEntry(dir_.File(" .dat"), true, false, nullptr));
  EXPECT_EQ(Negated(kInvalidPath), list_.CloseEntry(memory, false, id));  // wrong kind
  EXPECT_EQ(0, list_.CloseEntry(memory, true, id));
}

TEST_F(TFileListTest, ExistenceFollowsTheDisk) {
  TOpenedEntry opened;
  const int id = list_.OpenEntry(path_, false, {}, opened);
  ASSERT_GT(id, 0);
  EXPECT_EQ(0, list_.CloseEntry(opened.file, false, id));
  EXPECT_EQ(1u, list_.EntryCount());  // kept for the next opening
  ASSERT_EQ(0, ::unlink(path_.c_str()));
  EXPECT_FALSE(list_.EntryExists(path_, false));
  EXPECT_EQ(Negated(kInvalidPath), list_.OpenEntry(path_, false, {}, opened));
  EXPECT_FALSE(list_.EntryExists("NOWHERE.DAT", true));
}

TEST_F(TFileListTest, RenameAndDeleteNeedNoOpeners) {
  TAbstractFile* memory = nullptr;
  const int id = list_.CreateEntry("A.DAT", true, false, &memory);
  ASSERT_GT(id, 0);
  EXPECT_EQ(Negated(kAccessDenied), list_.RenameEntry("a.dat", true, "B.DAT"));
  EXPECT_EQ(Negated(kAccessDenied), list_.DeleteEntry("a.dat", true));
  EXPECT_EQ(0, list_.CloseEntry(memory, true, id));
  EXPECT_EQ(0, list_.RenameEntry("a.dat", true, "B.DAT"));
  EXPECT_TRUE(list_.EntryExists("b.dat", true));
  EXPECT_FALSE(list_.EntryExists("a.dat", true));
  EXPECT_EQ(Negated(kInvalidPath), list_.RenameEntry("a.dat", true, "C.DAT"));
  EXPECT_EQ(0, list_.DeleteEntry("B.DAT", true));
  EXPECT_EQ(Negated(kInvalidPath), list_.DeleteEntry("B.DAT", true));
  // Unlisted physical files are renamed and deleted on disk.
  EXPECT_EQ(0, list_.RenameEntry(path_, false, dir_.File("u.dat")));
  EXPECT_TRUE(OsFileExists(dir_.File("u.dat")));
  EXPECT_EQ(0, list_.DeleteEntry(dir_.File("U.DAT"), false));
  EXPECT_FALSE(OsFileExists(dir_.File("u.dat")));
  EXPECT_EQ(0u, list_.TotalOpeners());
}

TEST_F(TFileListTest, TemporaryInMemoryFileGoesAtLastClose) {
  TAbstractFile* memory = nullptr;
  const int id = list_.CreateEntry("TMP.DAT", true, true, &memory);
  ASSERT_GT(id, 0);
  EXPECT_EQ(0, list_.CloseEntry(memory, true, id));
  EXPECT_FALSE(list_.EntryExists("TMP.DAT", true));
  EXPECT_EQ(0u, list_.EntryCount());
}

TEST_F(TFileListTest, FirstOpeningFixesTheOptions) {
  TOpenedEntry first;
  const int id1 = list_.OpenEntry(path_, false, {.sequential_scan = true}, first);
  TOpenedEntry second;
  const int id2 = list_.OpenEntry(path_, false, {.write_through = true}, second);
  ASSERT_GT(id1, 0);
  ASSERT_GT(id2, 0);
  EXPECT_TRUE(second.file->SequentialScan());
  EXPECT_FALSE(second.file->WriteThrough());
  EXPECT_EQ(0, list_.CloseEntry(first.file, false, id1));
  EXPECT_EQ(0, list_.CloseEntry(second.file, false, id2));
  TOpenedEntry third;
  const int id3 = list_.OpenEntry(path_, false, {.write_through = true}, third);
  EXPECT_TRUE(third.file->WriteThrough());
  EXPECT_FALSE(third.file->SequentialScan());
  EXPECT_EQ(0, list_.CloseEntry(third.file, false, id3));
}

}  // namespace
}  // namespace tarvo

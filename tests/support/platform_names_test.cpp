#include "support/platform_names.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

TEST(NamesTest, CaseIsIgnoredPerCodePoint) {
  EXPECT_TRUE(SameNameIgnoringCase("Kunden.DAT", "kunden.dat"));
  EXPECT_TRUE(SameNameIgnoringCase("Bücher.dat", "BÜCHER.DAT"));
  EXPECT_FALSE(SameNameIgnoringCase("straße", "STRASSE"));
  EXPECT_FALSE(SameNameIgnoringCase("a.dat", "a.da"));
  // Bytes outside UTF-8 stand for themselves.
  EXPECT_TRUE(SameNameIgnoringCase("\xE4.dat", "\xE4.DAT"));
  EXPECT_FALSE(SameNameIgnoringCase("\xE4.dat", "\xC4.dat"));
  EXPECT_FALSE(SameNameIgnoringCase("\xC3", "\xC3\xA4"));
}

TEST(NamesTest, Wildcards) {
  EXPECT_TRUE(MatchesWildcard("*.?bk", "a.DBK"));
  EXPECT_TRUE(MatchesWildcard("*.?bk", "Notes.abk"));
  EXPECT_FALSE(MatchesWildcard("*.?bk", "b.bk"));
  EXPECT_TRUE(MatchesWildcard("*.dat", "KUNDEN.DAT"));
  EXPECT_FALSE(MatchesWildcard("*.dat", "KUNDEN.DAT.old"));
  EXPECT_TRUE(MatchesWildcard("*", ""));
  EXPECT_FALSE(MatchesWildcard("?", ""));
  EXPECT_TRUE(MatchesWildcard("?", "ä"));  // one character, two bytes
  EXPECT_TRUE(MatchesWildcard("a*b*c", "aXbYbZc"));
  EXPECT_FALSE(MatchesWildcard("a*b*c", "aXbYbZ"));
  // Many stars against a long name that does not match: no exponential backtracking.
  EXPECT_FALSE(MatchesWildcard(std::string(40, '*') + "b", std::string(10000, 'a')));
}

class TDirectoryTest : public ::testing::Test {
 protected:
  void Touch(const std::string& name) { std::ofstream(dir_.File(name)) << name; }
  testing::TTempDir dir_;
};

TEST_F(TDirectoryTest, ListingIsFilteredAndSorted) {
  for (const char* name : {"b.dat", "A.DAT", "c.DBK", "USER.DAT", "notes.txt"}) Touch(name);
  std::filesystem::create_directory(dir_.Path() / "sub.dat");
  std::vector<std::string> names;
  ASSERT_EQ(kOsOk, ListDirectory(dir_.Dir(), "*.dat", TListKind::kFiles, names));
  EXPECT_EQ((std::vector<std::string>{"A.DAT", "USER.DAT", "b.dat"}), names);
  ASSERT_EQ(kOsOk, ListDirectory(dir_.Dir(), "*.dat", TListKind::kFilesAndDirectories, names));
  EXPECT_EQ(4u, names.size());
  EXPECT_EQ(kOsPathNotFound, ListDirectory(dir_.File("none"), "*", TListKind::kFiles, names));
}

TEST_F(TDirectoryTest, ResolutionFindsOneFileOrReportsAll) {
  Touch("kunden.dat");
  std::string path;
  ASSERT_EQ(kOsOk, ResolveFileName(dir_.File("Kunden.DAT"), path));
  EXPECT_EQ(dir_.File("kunden.dat"), path);
  Touch("KUNDEN.dat");
  ASSERT_EQ(kOsOk, ResolveFileName(dir_.File("kunden.dat"), path));  // the exact name first
  EXPECT_EQ(dir_.File("kunden.dat"), path);
  std::vector<std::string> matches;
  EXPECT_EQ(kOsAmbiguousName, ResolveFileName(dir_.File("Kunden.Dat"), path, &matches));
  EXPECT_TRUE(path.empty());
  EXPECT_EQ((std::vector<std::string>{dir_.File("KUNDEN.dat"), dir_.File("kunden.dat")}), matches);
  EXPECT_EQ(kOsFileNotFound, ResolveFileName(dir_.File("other.dat"), path));
  EXPECT_EQ(kOsPathNotFound, ResolveFileName(dir_.File("none/kunden.dat"), path));
}

}  // namespace
}  // namespace tarvo

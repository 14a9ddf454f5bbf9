// Why a table does not open, as the tool says it: exit status 3 only for a table that another
// program holds; 2 with the system's reason for every other failure; and a user who may only read
// a table's files can still read it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "tests/testing/run_cli.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

using testing::RunCli;
using testing::TTempDir;

namespace fs = std::filesystem;

constexpr unsigned kNobody = 65534;

TEST(OpenFailuresTest, AFileTheSystemRefusesIsNoTableInUse) {
  struct TCase {
    const char* what;
    const char* file;
    std::function<void(const std::string&)> make;
    const char* reason;
  };
  const TCase cases[] = {
      {"a directory", "Kunden.IDX", [](const std::string& path) { fs::create_directory(path); }, "Is a directory"},
      {"a FIFO", "Kunden.DAT", [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0644), 0); },
       "No such device or address"},
  };
  for (const TCase& c : cases) {
    TTempDir dir;
    testing::CopyFixture("basic", dir.Path());
    fs::remove(dir.Path() / c.file);
    c.make(dir.File(c.file));
    for (const char* command : {"export", "info", "verify", "optimize"}) {
      SCOPED_TRACE(std::string(c.what) + ", " + command);
      const auto r = RunCli({command, dir.File("Kunden.DAT")});
      EXPECT_EQ(r.status, 2) << r.err;
      EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
    }
  }
}

// Reading commands open the files for reading when the system lets them do no more: files with
// the read-only attribute, and (as root, through an unprivileged user) files of another user.
TEST(OpenFailuresTest, AReaderWithoutWriteAccessReadsTheTable) {
  TTempDir dir;
  testing::CopyFixture("basic", dir.Path());
  const std::string table = dir.File("Kunden.DAT");
  const auto expected = RunCli({"export", table});
  ASSERT_EQ(expected.status, 0) << expected.err;
  struct TCase {
    const char* what;
    fs::perms files;
    bool as_nobody;
  };
  const TCase cases[] = {
      {"read-only attribute", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read, false},
      {"another user's files", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                   fs::perms::others_read,
       true},
  };
  fs::permissions(dir.Path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
  for (const TCase& c : cases) {
    if (c.as_nobody && geteuid() != 0) continue;
    for (const char* extension : {"DAT", "IDX", "BLB"})
      fs::permissions(dir.File(std::string("Kunden.") + extension), c.files);
    for (const char* command : {"export", "info", "verify"}) {
      SCOPED_TRACE(std::string(c.what) + ", " + command);
      const std::vector<std::string> args = {command, table};
      const auto r = c.as_nobody ? testing::RunCliAsUser(kNobody, args) : RunCli(args);
      EXPECT_EQ(r.status, 0) << r.err;
      if (std::string(command) == "export") {
        EXPECT_EQ(r.out, expected.out);
      }
    }
  }
}

}  // namespace
}  // namespace tarvo

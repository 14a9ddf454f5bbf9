// `tarvo optimize` on a table whose folder is full or cannot be written: the tool gives the
// engine's message and the system's reason on standard error, exits with the error status, and the table
// stays as it was. The folder is a small file system of the test's own (a memory file system in a mount
// namespace of a second process); where the system allows no such namespace the test is skipped.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/tables/data_cursor.h"
#include "tests/testing/blob_checker.h"
#include "tests/testing/child_process.h"
#include "tests/testing/run_cli.h"
#include "tests/testing/table_builder.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

using namespace tarvo::testing;

bool WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  return static_cast<bool>(out.flush());
}

// Makes this process the root of its own user and mount namespace, so that it may mount.
bool EnterOwnNamespaces() {
  const uid_t uid = ::getuid();
  const gid_t gid = ::getgid();
  if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
  if (!WriteText("/proc/self/setgroups", "deny") ||
      !WriteText("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
      !WriteText("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
    return false;
  return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// A table of 24 records with memos of 8000 bytes: most of its size is the blob file.
void BuildNotes(const std::string& dir) {
  TTestEngine engine(dir);
  TTableDefinition d = SmallDefinition(true);
  engine.directory->CreateTable("Notes", d);
  TDataCursor cursor(*engine.session, *engine.directory);
  TCursorOpenOptions options;
  options.table_name = "Notes";
  options.exclusive = true;
  cursor.Open(options);
  for (int i = 0; i < 24; ++i) {
    std::vector<std::byte> record = cursor.NewRecordBuffer();
    PutText(FieldSlot(record, cursor.Descriptors()[1]), "Note" + std::to_string(i), 0, 0, 0);
    cursor.SetBlobField(record, cursor.Descriptors()[2].FieldNumber,
                        std::vector<std::byte>(8000, static_cast<std::byte>(i)));
    (void)cursor.AddRecord(record, false);
  }
  cursor.Close();
}

std::map<std::string, std::vector<std::byte>> Entries(const std::string& dir) {
  std::map<std::string, std::vector<std::byte>> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    const std::string name = std::filesystem::relative(entry.path(), dir).string();
    files[name] = entry.is_regular_file() ? ReadFileBytes(entry.path()) : std::vector<std::byte>{};
  }
  return files;
}

// In its own namespaces: a memory file system over args[0] that holds the table and 64 KiB
// more ("full"), or that is read-only ("read-only"); then `tarvo optimize` on the table. Tells
// the parent the exit status, the first line of standard error, and whether the folder holds
// exactly what it held before.
TARVO_CHILD(OptimizeOnASmallFileSystem) {
  const std::string dir = args.at(0);
  if (!EnterOwnNamespaces() || ::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=8m") != 0) {
    TellParent("unsupported");
    return 0;
  }
  BuildNotes(dir);
  struct statvfs fs {};
  if (::statvfs(dir.c_str(), &fs) != 0) return 1;
  const unsigned long used = (fs.f_blocks - fs.f_bfree) * fs.f_frsize;
  const std::string size = "size=" + std::to_string(used + (64ul << 10));
  const unsigned long flags = args.at(1) == "read-only" ? MS_RDONLY : 0;
  if (::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | flags, size.c_str()) != 0) return 1;
  const auto before = Entries(dir);
  const TCliResult r = RunCli({"--quiet", "optimize", dir + "/Notes.DAT"});
  TellParent(std::to_string(r.status));
  const std::size_t end = r.err.find('\n');
  TellParent(r.err.substr(0, end));
  TellParent(end == std::string::npos ? std::string()
                                      : r.err.substr(end + 1, r.err.find('\n', end + 1) - end - 1));
  TellParent(Entries(dir) == before ? "unchanged" : "changed");
  return 0;
}

struct TOutcome {
  std::string status;
  std::string error;   // the engine's message
  std::string reason;  // the system's reason
  std::string folder;
};

TOutcome OptimizeOn(const std::string& file_system) {
  TTempDir dir;
  TChildProcess child("OptimizeOnASmallFileSystem", {dir.Path().string(), file_system});
  TOutcome outcome;
  outcome.status = child.Receive();
  if (outcome.status == "unsupported") return outcome;
  outcome.error = child.Receive();
  outcome.reason = child.Receive();
  outcome.folder = child.Receive();
  EXPECT_EQ(child.Wait(), 0);
  return outcome;
}

TEST(OptimizeDiskFailureTest, AFullFolderIsReportedAndTheTableStays) {
  const TOutcome outcome = OptimizeOn("full");
  if (outcome.status == "unsupported") GTEST_SKIP() << "no mount namespaces here";
  EXPECT_EQ(outcome.status, "2");
  EXPECT_NE(outcome.error.find("Error writing to table"), std::string::npos) << outcome.error;
  EXPECT_EQ(outcome.reason, std::string("tarvo: ") + std::strerror(ENOSPC));
  EXPECT_EQ(outcome.folder, "unchanged");
}

TEST(OptimizeDiskFailureTest, AReadOnlyFolderIsReportedAndTheTableStays) {
  const TOutcome outcome = OptimizeOn("read-only");
  if (outcome.status == "unsupported") GTEST_SKIP() << "no mount namespaces here";
  EXPECT_EQ(outcome.status, "2");
  EXPECT_NE(outcome.error.find("Notes.DAT"), std::string::npos) << outcome.error;
  EXPECT_EQ(outcome.reason, std::string("tarvo: ") + std::strerror(EROFS));
  EXPECT_EQ(outcome.folder, "unchanged");
}

}  // namespace
}  // namespace tarvo

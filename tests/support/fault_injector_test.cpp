#include "support/fault_injector.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "support/file_handler.h"
#include "support/file_list.h"
#include "support/platform.h"
#include "support/power_loss.h"
#include "tests/testing/blob_checker.h"
#include "tests/testing/engine_matchers.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

TEST(FaultInjectorTest, FailsOnlyTheNthCountedCall) {
  {
    TFaultScope fault(TFaultOp::kWrite | TFaultOp::kFlush, 3, EIO);
    int error_number = 0;
    EXPECT_FALSE(TFaultInjector::ShouldFail(TFaultOp::kWrite, error_number));
    EXPECT_FALSE(TFaultInjector::ShouldFail(TFaultOp::kRead, error_number));  // not counted
    EXPECT_FALSE(TFaultInjector::ShouldFail(TFaultOp::kFlush, error_number));
    EXPECT_FALSE(fault.Fired());
    EXPECT_TRUE(TFaultInjector::ShouldFail(TFaultOp::kWrite, error_number));
    EXPECT_EQ(EIO, error_number);
    EXPECT_TRUE(fault.Fired());
    EXPECT_FALSE(TFaultInjector::ShouldFail(TFaultOp::kWrite, error_number));
    EXPECT_EQ(4, TFaultInjector::Calls());
  }
  int error_number = 0;
  EXPECT_FALSE(TFaultInjector::ShouldFail(TFaultOp::kWrite, error_number));
}

// Runs `body` in a forked child (this test process has no other threads) and returns its exit
// status, or -1 when it did not exit normally.
template <typename TBody>
int ExitStatusOfChild(TBody body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    body();
    ::_exit(0);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(FaultInjectorTest, CrashEndsTheProcessBeforeTheNthCountedCall) {
  testing::TTempDir dir;
  const std::string path = dir.File("crash.dat");
  const std::string buffered = dir.File("buffered.txt");
  // Four writes of ten bytes with a flush and a read between them; the crash comes at the third
  // counted call, which is the second write. A line left in a stdio buffer must not reach its
  // file either.
  const int status = ExitStatusOfChild([&] {
    TFileHandler file(path);
    file.CreateNew();
    std::FILE* stream = std::fopen(buffered.c_str(), "w");
    std::fputs("lost\n", stream);
    TFaultInjector::ArmCrash(TFaultOp::kWrite | TFaultOp::kFlush, 3);
    const std::vector<std::byte> block(10, std::byte{'x'});
    file.WriteAt(0, block);
    file.Flush();
    std::vector<std::byte> back(10);
    (void)file.ReadAt(0, back, false);  // not counted
    file.WriteAt(10, block);
    file.WriteAt(20, block);
    ::_exit(1);  // not reached
  });
  EXPECT_EQ(kFaultCrashExitStatus, status);
  EXPECT_EQ(10u, testing::ReadFileBytes(path).size());
  EXPECT_TRUE(testing::ReadFileBytes(buffered).empty());

  // A count beyond the run's calls lets it end normally; Calls() says how many there were.
  const int finished = ExitStatusOfChild([&] {
    TFaultInjector::ArmCrash(TFaultOp::kWrite, 5);
    TFileHandler file(path);
    file.Open();
    const std::vector<std::byte> block(4, std::byte{'y'});
    for (int i = 0; i < 4; ++i) file.WriteAt(i * 4, block);
    ::_exit(TFaultInjector::Calls() == 4 ? 0 : 1);
  });
  EXPECT_EQ(0, finished);
  // A plain arming after a crash arming fails the call instead of ending the process.
  TFaultInjector::ArmCrash(TFaultOp::kWrite, 1);
  TFaultScope fault(TFaultOp::kWrite, 1, EIO);
  int error_number = 0;
  EXPECT_TRUE(TFaultInjector::ShouldFail(TFaultOp::kWrite, error_number));
  EXPECT_EQ(EIO, error_number);
}

// Writes a file of three and a half copy blocks, copies it with CopyTo and back with CopyFrom.
void RunCopy(const testing::TTempDir& dir, bool in_memory) {
  const std::string source_name = in_memory ? "SRC.DAT" : dir.File("src.dat");
  const std::string copy_name = in_memory ? "COPY.DAT" : dir.File("copy.dat");
  TFileHandler source(source_name, in_memory);
  source.CreateNew();
  std::vector<std::byte> data(kCopyBlockSize * 7 / 2, std::byte{0x5A});
  source.WriteAt(0, data);
  source.Flush();
  source.CopyTo(copy_name);
  source.WriteAt(0, {});
  source.CopyFrom(copy_name);
  if (source.GetSize() != static_cast<std::int64_t>(data.size())) ADD_FAILURE() << "copy lost bytes";
}

TEST(FaultInjectorTest, CopySweepLeaksNothing) {
  for (const bool in_memory : {false, true}) {
    SCOPED_TRACE(in_memory ? "in memory" : "physical");
    const std::size_t descriptors = OsOpenFileCount();
    int fired = 0;
    for (int n = 1;; ++n) {
      testing::TTempDir dir;
      bool done = false;
      {
        TFaultScope fault(kAllFaultOps, n, n % 2 == 0 ? ENOSPC : EIO);
        bool raised = false;
        try {
          RunCopy(dir, in_memory);
        } catch (const ETarvoEngineError& e) {
          raised = true;
          EXPECT_TRUE(IsIoCode(EngineCode(e))) << e.what();
        }
        EXPECT_EQ(fault.Fired(), raised) << "failure point " << n;
        done = !fault.Fired();
        fired += fault.Fired() ? 1 : 0;
      }
      EXPECT_EQ(0u, EngineFileList().TotalOpeners()) << "failure point " << n;
      EXPECT_EQ(descriptors, OsOpenFileCount()) << "failure point " << n;
      for (const char* name : {"SRC.DAT", "COPY.DAT"}) {
        if (in_memory && EngineFileList().EntryExists(name, true)) {
          ASSERT_EQ(0, EngineFileList().DeleteEntry(name, true));
        }
      }
      if (done) break;
      ASSERT_LT(n, 200) << "the run never ends";
    }
    EXPECT_GT(fired, 8);  // every write, read and flush of the run was a failure point once
  }
}

// --- Power loss: what a cut keeps ---

using TFiles = std::map<std::string, std::string>;  // path below the folder -> contents

TFiles FilesBelow(const std::filesystem::path& dir) {
  TFiles files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    files[std::filesystem::relative(entry.path(), dir).string()] =
        std::string(std::istreambuf_iterator<char>(in), {});
  }
  return files;
}

void Check(TOsError error) {
  if (error != kOsOk) ::_exit(3);
}

void WriteFile(const std::string& path, const std::string& text, bool create, bool sync) {
  TOsFile file;
  Check(create ? file.Create(path, {}) : file.Open(path, {}));
  std::size_t done = 0;
  Check(file.WriteAt(0, std::as_bytes(std::span(text.data(), text.size())), done));
  if (sync) Check(file.Flush());
}

// Runs `steps` on `dir` (which holds "old.dat" and the folder "sub") in a child whose power
// fails after them, and applies what the cut left.
void LoseTheRest(const testing::TTempDir& dir, TPowerLossMode mode, std::uint32_t seed,
                 const std::function<void(const std::string&)>& steps) {
  testing::TTempDir side;
  const std::string journal = side.File("cut");
  const std::string trigger = side.File("trigger");
  std::ofstream(trigger) << "x";
  const int status = ExitStatusOfChild([&] {
    TPowerLoss::Arm(static_cast<std::uint32_t>(TFaultOp::kRead), 1, mode, seed, journal);
    steps(dir.Dir());
    TOsFile file;
    TOsOpenOptions options;
    options.read_only = true;
    Check(file.Open(trigger, options));
    std::byte byte{};
    std::size_t done = 0;
    (void)file.ReadAt(0, std::span(&byte, 1), done);  // the power fails here
  });
  ASSERT_EQ(kFaultCrashExitStatus, status);
  ASSERT_TRUE(ApplyPowerLossJournal(journal));
}

TEST(PowerLossTest, WholeCutKeepsOnlyWhatWasSynced) {
  struct TCase {
    const char* name;
    std::function<void(const std::string&)> steps;
    TFiles after;
  };
  const TFiles untouched = {{"old.dat", "old contents"}};
  const std::vector<TCase> cases = {
      {"a write never synced", [](const std::string& d) { WriteFile(d + "/old.dat", "NEW", false, false); },
       untouched},
      {"a synced write, then one not synced",
       [](const std::string& d) {
         WriteFile(d + "/old.dat", "NEW", false, true);
         WriteFile(d + "/old.dat", "XY", false, false);
       },
       {{"old.dat", "NEW contents"}}},
      {"a file synced, its directory not",
       [](const std::string& d) { WriteFile(d + "/new.dat", "fresh", true, true); }, untouched},
      {"a file and its directory synced",
       [](const std::string& d) {
         WriteFile(d + "/new.dat", "fresh", true, true);
         Check(OsSyncDirectory(d));
       },
       {{"old.dat", "old contents"}, {"new.dat", "fresh"}}},
      {"a file emptied and rewritten, not synced",
       [](const std::string& d) { WriteFile(d + "/old.dat", "fresh", true, false); }, untouched},
      {"a rename never synced", [](const std::string& d) { Check(OsMoveFile(d + "/old.dat", d + "/moved.dat")); },
       untouched},
      {"a rename synced",
       [](const std::string& d) {
         Check(OsMoveFile(d + "/old.dat", d + "/moved.dat"));
         Check(OsSyncDirectory(d));
       },
       {{"moved.dat", "old contents"}}},
      {"a rename into a folder synced there only",
       [](const std::string& d) {
         Check(OsMoveFile(d + "/old.dat", d + "/sub/old.dat"));
         Check(OsSyncDirectory(d + "/sub"));
       },
       {{"sub/old.dat", "old contents"}}},
      {"a deletion never synced", [](const std::string& d) { Check(OsDeleteFile(d + "/old.dat")); }, untouched},
      {"a deletion synced",
       [](const std::string& d) {
         Check(OsDeleteFile(d + "/old.dat"));
         Check(OsSyncDirectory(d));
       },
       {}},
      {"a new folder whose parent was never synced",
       [](const std::string& d) {
         Check(OsCreateDirectory(d + "/made"));
         WriteFile(d + "/made/new.dat", "fresh", true, true);
         Check(OsSyncDirectory(d + "/made"));
       },
       untouched},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TTempDir dir;
    std::ofstream(dir.File("old.dat")) << "old contents";
    std::filesystem::create_directory(dir.File("sub"));
    LoseTheRest(dir, TPowerLossMode::kWhole, 1, c.steps);
    EXPECT_EQ(c.after, FilesBelow(dir.Path()));
    EXPECT_FALSE(std::filesystem::exists(dir.File("made")));
  }
}

// A rename that the cut undoes puts the same file back under its old name, as a real disk does:
// a change that checks the identities of the files it moved must find them again.
TEST(PowerLossTest, UndoneRenameKeepsTheFile) {
  for (const TPowerLossMode mode : {TPowerLossMode::kWhole, TPowerLossMode::kTorn}) {
    testing::TTempDir dir;
    std::ofstream(dir.File("old.dat")) << "old contents";
    std::filesystem::create_directory(dir.File("sub"));
    TFileIdentity before;
    Check(OsRegularFileIdentity(dir.File("old.dat"), before));
    std::ifstream held(dir.File("old.dat"));  // its number cannot go to a file made anew
    LoseTheRest(dir, mode, 2, [](const std::string& d) {
      Check(OsMoveFile(d + "/old.dat", d + "/sub/moved.dat"));
      Check(OsMoveFile(d + "/sub/moved.dat", d + "/again.dat"));
      WriteFile(d + "/again.dat", "NEW", false, false);
    });
    // Wherever the cut left it (a torn cut may keep either rename), it is the same file.
    const TFiles files = FilesBelow(dir.Path());
    ASSERT_EQ(1u, files.size());
    if (mode == TPowerLossMode::kWhole) {
      EXPECT_EQ(TFiles({{"old.dat", "old contents"}}), files);
    }
    TFileIdentity after;
    ASSERT_EQ(kOsOk, OsRegularFileIdentity(dir.File(files.begin()->first), after));
    EXPECT_TRUE(before == after) << files.begin()->first;
  }
}

// A torn cut keeps any choice of the pages written since the last sync, and the old or the new
// length; over a few draws both happen.
TEST(PowerLossTest, TornCutKeepsWholePagesOfEitherVersion) {
  constexpr std::size_t kPage = 4096;
  const std::string old_text(3 * kPage, 'o');
  const std::string new_text(4 * kPage, 'N');
  std::set<std::string> seen;
  for (std::uint32_t seed = 1; seed <= 12; ++seed) {
    testing::TTempDir dir;
    std::ofstream(dir.File("old.dat")) << old_text;
    std::filesystem::create_directory(dir.File("sub"));
    LoseTheRest(dir, TPowerLossMode::kTorn, seed,
                [&](const std::string& d) { WriteFile(d + "/old.dat", new_text, false, false); });
    const std::string now = FilesBelow(dir.Path())["old.dat"];
    ASSERT_TRUE(now.size() == old_text.size() || now.size() == new_text.size()) << now.size();
    std::string pages;
    for (std::size_t at = 0; at < now.size(); at += kPage) {
      const std::string page = now.substr(at, kPage);
      const char c = page[0];
      ASSERT_TRUE(c == 'o' || c == 'N' || c == '\0');
      ASSERT_EQ(std::string(page.size(), c), page) << "a page is torn inside";
      pages += c == '\0' ? '0' : c;
    }
    seen.insert(pages);
  }
  EXPECT_GT(seen.size(), 3u);
}

}  // namespace
}  // namespace tarvo

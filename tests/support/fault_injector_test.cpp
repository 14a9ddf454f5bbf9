#include "support/fault_injector.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "support/file_handler.h"
#include "support/file_list.h"
#include "support/platform.h"
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
        try {
          RunCopy(dir, in_memory);
        } catch (const ETarvoEngineError& e) {
          EXPECT_TRUE(IsIoCode(EngineCode(e))) << e.what();
          EXPECT_TRUE(fault.Fired());
        }
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

}  // namespace
}  // namespace tarvo

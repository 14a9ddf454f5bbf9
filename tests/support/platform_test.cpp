#include "support/platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <vector>

#include "support/fault_injector.h"
#include "tests/testing/child_process.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

using testing::TChildProcess;
using testing::TTempDir;

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(OsErrorTest, ErrnoMapsToOperatingSystemErrors) {
  TTempDir dir;
  EXPECT_EQ(kOsFileNotFound, OsErrorFromErrno(ENOENT, TErrnoContext::kGeneral, dir.File("x")));
  EXPECT_EQ(kOsPathNotFound, OsErrorFromErrno(ENOENT, TErrnoContext::kGeneral, dir.File("no/x")));
  EXPECT_EQ(kOsPathNotFound, OsErrorFromErrno(ENOTDIR));
  EXPECT_EQ(kOsTooManyOpenFiles, OsErrorFromErrno(EMFILE));
  EXPECT_EQ(kOsTooManyOpenFiles, OsErrorFromErrno(ENFILE));
  for (const int e : {EACCES, EPERM, EISDIR}) EXPECT_EQ(kOsAccessDenied, OsErrorFromErrno(e));
  EXPECT_EQ(kOsInvalidHandle, OsErrorFromErrno(EBADF));
  EXPECT_EQ(kOsNotEnoughMemory, OsErrorFromErrno(ENOMEM));
  EXPECT_EQ(kOsNotSameDevice, OsErrorFromErrno(EXDEV));
  EXPECT_EQ(kOsWriteProtect, OsErrorFromErrno(EROFS));
  EXPECT_EQ(kOsSharingViolation, OsErrorFromErrno(EAGAIN, TErrnoContext::kShareLock));
  EXPECT_EQ(kOsSharingViolation, OsErrorFromErrno(EACCES, TErrnoContext::kShareLock));
  EXPECT_EQ(kOsLockViolation, OsErrorFromErrno(EAGAIN, TErrnoContext::kRangeLock));
  EXPECT_EQ(kOsFileExists, OsErrorFromErrno(EEXIST));
  EXPECT_EQ(kOsAlreadyExists, OsErrorFromErrno(EEXIST, TErrnoContext::kMove));
  EXPECT_EQ(kOsInvalidParameter, OsErrorFromErrno(EINVAL));
  EXPECT_EQ(kOsDiskFull, OsErrorFromErrno(ENOSPC));
  EXPECT_EQ(kOsDirNotEmpty, OsErrorFromErrno(ENOTEMPTY));
  EXPECT_EQ(kOsNameTooLong, OsErrorFromErrno(ENAMETOOLONG));
  EXPECT_EQ(kOsGeneralFailure, OsErrorFromErrno(EIO));
}

TEST(OsErrorTest, OperatingSystemErrorsMapToEngineCodes) {
  EXPECT_EQ(kInvalidPath, EngineCodeFromOsError(kOsFileNotFound));
  EXPECT_EQ(kInvalidPath, EngineCodeFromOsError(kOsPathNotFound));
  EXPECT_EQ(kTooManyFiles, EngineCodeFromOsError(kOsTooManyOpenFiles));
  for (const TOsError e : {kOsAccessDenied, kOsSharingViolation, kOsNetworkAccessDenied}) {
    EXPECT_EQ(kAccessDenied, EngineCodeFromOsError(e));
  }
  EXPECT_EQ(kInvalidFileHandle, EngineCodeFromOsError(kOsInvalidHandle));
  EXPECT_EQ(kOutOfMemory, EngineCodeFromOsError(kOsNotEnoughMemory));
  EXPECT_EQ(kDeviceDenied, EngineCodeFromOsError(kOsInvalidDrive));
  EXPECT_EQ(kTableMoved, EngineCodeFromOsError(kOsNotSameDevice));
  for (const TOsError e :
       {kOsLockViolation, kOsDiskFull, kOsAlreadyExists, kOsGeneralFailure, kOsAmbiguousName}) {
    EXPECT_EQ(kUnknownOsError, EngineCodeFromOsError(e));
  }
}

// args: path, "exclusive" | "shared" [, offset, length]
TARVO_CHILD(OsOpenAndHold) {
  TOsFile file;
  TOsOpenOptions options;
  options.exclusive = args.at(1) == "exclusive";
  if (const TOsError error = file.Open(args.at(0), options); error != kOsOk) {
    testing::TellParent("error " + std::to_string(error));
    return 0;
  }
  if (args.size() >= 4) {
    testing::TellParent("lock " + std::to_string(file.LockRange(std::stoll(args[2]), std::stoll(args[3]))));
  } else {
    testing::TellParent("opened");
  }
  testing::HearFromParent();
  return 0;
}

class TOsFileTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteFile(path_, "0123456789"); }
  TTempDir dir_;
  std::string path_ = dir_.File("t.dat");
};

TEST_F(TOsFileTest, ShareLockDecidesBetweenProcesses) {
  TOsFile exclusive;
  ASSERT_EQ(kOsOk, exclusive.Open(path_, {.exclusive = true}));
  {
    TChildProcess child("OsOpenAndHold", {path_, "shared"});
    EXPECT_EQ("error 32", child.Receive());
  }
  EXPECT_EQ(kOsSharingViolation, OsDeleteFile(path_));
  EXPECT_EQ(kOsSharingViolation, OsMoveFile(path_, dir_.File("u.dat")));
  exclusive.Close();
  TChildProcess killed("OsOpenAndHold", {path_, "exclusive"});
  ASSERT_EQ("opened", killed.Receive());
  TOsFile shared;
  EXPECT_EQ(kOsSharingViolation, shared.Open(path_, {}));
}

TEST_F(TOsFileTest, KilledHolderReleasesTheFile) {
  {
    TChildProcess child("OsOpenAndHold", {path_, "exclusive"});
    ASSERT_EQ("opened", child.Receive());
  }  // killed by SIGKILL here
  TOsFile file;
  EXPECT_EQ(kOsOk, file.Open(path_, {.exclusive = true}));
}

TEST_F(TOsFileTest, RangeLocksUseTheTableAndTheOtherProcesses) {
  TOsFile file;
  ASSERT_EQ(kOsOk, file.Open(path_, {}));
  EXPECT_EQ(kOsOk, file.LockRange(100, 10));
  EXPECT_EQ(kOsLockViolation, file.LockRange(109, 1));
  EXPECT_EQ(kOsNotLocked, file.UnlockRange(100, 5));
  EXPECT_EQ(kOsInvalidParameter, file.LockRange(100, 0));
  EXPECT_EQ(kOsInvalidParameter, file.LockRange(-1, 1));
  EXPECT_EQ(kOsInvalidParameter, file.LockRange(kShareLockOffset - 1, 2));
  EXPECT_EQ(kOsOk, file.LockRange(kShareLockOffset - 1, 1));
  {
    TChildProcess child("OsOpenAndHold", {path_, "shared", "105", "1"});
    EXPECT_EQ("lock 33", child.Receive());
  }
  // An unlock releases exactly its range for the other processes, not its neighbours.
  EXPECT_EQ(kOsOk, file.LockRange(110, 10));
  EXPECT_EQ(kOsOk, file.UnlockRange(100, 10));
  {
    TChildProcess child("OsOpenAndHold", {path_, "shared", "100", "10"});
    EXPECT_EQ("lock 0", child.Receive());
  }
  {
    TChildProcess child("OsOpenAndHold", {path_, "shared", "119", "1"});
    EXPECT_EQ("lock 33", child.Receive());
  }
  EXPECT_EQ(2u, file.LockedRangeCount());
}

TEST_F(TOsFileTest, ReadOnlyFilesAreNeitherWrittenNorRemoved) {
  ASSERT_EQ(kOsOk, OsSetReadOnlyAttribute(path_, true));
  bool read_only = false;
  ASSERT_EQ(kOsOk, OsReadOnlyAttribute(path_, read_only));
  EXPECT_TRUE(read_only);
  TOsFile file;
  EXPECT_EQ(kOsAccessDenied, file.Open(path_, {}));
  EXPECT_EQ(kOsAccessDenied, file.Create(path_, {}));
  EXPECT_EQ(kOsAccessDenied, OsDeleteFile(path_));
  ASSERT_EQ(kOsOk, file.Open(path_, {.read_only = true, .exclusive = true}));
  std::size_t done = 99;
  const std::byte one{1};
  EXPECT_EQ(kOsAccessDenied, file.WriteAt(0, {&one, 1}, done));
  EXPECT_EQ(0u, done);
  file.Close();
  ASSERT_EQ(kOsOk, OsSetReadOnlyAttribute(path_, false));
  EXPECT_EQ(kOsOk, OsDeleteFile(path_));
  EXPECT_EQ(kOsFileNotFound, OsDeleteFile(path_));
  EXPECT_EQ(kOsPathNotFound, OsDeleteFile(dir_.File("none/t.dat")));
}

TEST_F(TOsFileTest, MoveNeverReplaces) {
  WriteFile(dir_.File("b.dat"), "b");
  EXPECT_EQ(kOsAlreadyExists, OsMoveFile(path_, dir_.File("b.dat")));
  EXPECT_EQ("b", ReadText(dir_.File("b.dat")));
  EXPECT_EQ(kOsOk, OsMoveFile(path_, dir_.File("c.dat")));
  EXPECT_EQ("0123456789", ReadText(dir_.File("c.dat")));
  EXPECT_FALSE(OsFileExists(path_));
}

TEST_F(TOsFileTest, MoveAcrossFileSystemsCopies) {
  struct stat tmp_stat {};
  struct stat shm_stat {};
  if (::stat(dir_.Path().c_str(), &tmp_stat) != 0 || ::stat("/dev/shm", &shm_stat) != 0 ||
      tmp_stat.st_dev == shm_stat.st_dev) {
    GTEST_SKIP() << "/dev/shm is not a file system of its own here";
  }
  const std::string target = "/dev/shm/tarvo-move-" + std::to_string(OsThreadId());
  const struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, path_.c_str(), times, 0));
  ASSERT_EQ(kOsOk, OsMoveFile(path_, target));
  EXPECT_FALSE(OsFileExists(path_));
  EXPECT_EQ("0123456789", ReadText(target));
  struct stat moved {};
  ASSERT_EQ(0, ::stat(target.c_str(), &moved));
  EXPECT_EQ(1000000000, moved.st_mtim.tv_sec);
  // Back again, onto an existing file: refused, and both stay as they were.
  WriteFile(path_, "other");
  EXPECT_EQ(kOsAlreadyExists, OsMoveFile(target, path_));
  EXPECT_EQ("0123456789", ReadText(target));
  // A copy that fails (the disk is full) leaves no partial target behind, and the source in place.
  ASSERT_EQ(0, ::unlink(path_.c_str()));
  {
    TFaultScope fault(TFaultOp::kWrite, 1, ENOSPC);
    EXPECT_EQ(kOsDiskFull, OsMoveFile(target, path_));
    EXPECT_TRUE(fault.Fired());
  }
  EXPECT_FALSE(OsFileExists(path_));
  EXPECT_EQ("0123456789", ReadText(target));
  ::unlink(target.c_str());
}

TEST_F(TOsFileTest, TransfersAndFaults) {
  TOsFile file;
  ASSERT_EQ(kOsOk, file.Create(dir_.File("n.dat"), {}));
  std::vector<std::byte> data(100, std::byte{7});
  std::size_t done = 0;
  EXPECT_EQ(kOsOk, file.WriteAt(50, data, done));
  std::int64_t size = 0;
  EXPECT_EQ(kOsOk, file.Size(size));
  EXPECT_EQ(150, size);
  {
    TFaultScope fault(TFaultOp::kWrite, 2, ENOSPC);
    EXPECT_EQ(kOsOk, file.WriteAt(0, data, done));
    EXPECT_EQ(kOsDiskFull, file.WriteAt(0, data, done));
    EXPECT_TRUE(fault.Fired());
  }
  {
    TFaultScope fault(TFaultOp::kFlush, 1, EIO);
    EXPECT_EQ(kOsGeneralFailure, file.Flush());
  }
  EXPECT_EQ(kOsOk, file.Flush());
  std::vector<std::byte> back(200);
  EXPECT_EQ(kOsOk, file.ReadAt(100, back, done));
  EXPECT_EQ(50u, done);
  EXPECT_EQ(kOsInvalidParameter, file.ReadAt(-1, back, done));
}

TEST(OsServicesTest, ExecutableTickAndThread) {
  const std::string exe = OsExecutablePath();
  EXPECT_NE(std::string::npos, exe.find("platform_test"));
  const std::uint32_t start = OsTickCount();
  OsSleep(20);
  const std::uint32_t elapsed = OsTickCount() - start;
  EXPECT_GE(elapsed, 19u);
  EXPECT_LT(elapsed, 5000u);
  EXPECT_GT(OsThreadId(), 0u);
}

}  // namespace
}  // namespace tarvo

#include "support/file_handler.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <string>
#include <vector>

#include "support/file_list.h"
#include "support/platform.h"
#include "tests/testing/child_process.h"
#include "tests/testing/engine_matchers.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

using testing::TChildProcess;
using testing::TTempDir;

std::vector<std::byte> Bytes(std::size_t count, std::uint8_t seed = 1) {
  std::vector<std::byte> bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::byte>((i * 7 + seed) & 0xFF);
  return bytes;
}

void WriteFile(const std::string& path, std::size_t size) {
  const auto bytes = Bytes(size);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(size));
}

// Lock layout of the table files.
constexpr std::int64_t kHeaderLockByte = 0x7FFFFFFF;
constexpr std::int64_t kWriterRange = 0x7FFF0000;
constexpr std::int64_t kWriterLength = 0xFFFF;

// --- Children: open a table file (and lock a range) in a second process and hold it ---

// args: path, "exclusive" | "shared" [, lock offset, lock length]
TARVO_CHILD(OpenAndHold) {
  TFileHandler file(args.at(0));
  file.SetExclusive(args.at(1) == "exclusive");
  try {
    file.Open();
  } catch (const ETarvoEngineError& e) {
    testing::TellParent("error " + std::to_string(EngineCode(e)));
    return 0;
  }
  if (args.size() >= 4) {
    const bool locked = file.LockRegion(std::stoll(args[2]), std::stoll(args[3]), true);
    testing::TellParent(locked ? "locked" : "refused");
  } else {
    testing::TellParent("opened");
  }
  testing::HearFromParent();  // hold until the parent lets go
  return 0;
}

std::string TryOpen(const std::string& path, bool exclusive) {
  TChildProcess child("OpenAndHold", {path, exclusive ? "exclusive" : "shared"});
  const std::string answer = child.Receive();
  child.Send("done");
  child.Wait();
  return answer;
}

class TFileHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("kunden.dat");
    WriteFile(path_, 1000);
  }
  TTempDir dir_;
  std::string path_;
};

TEST_F(TFileHandlerTest, ExclusiveOpenRefusesOtherProcessesBothWays) {
  {
    TFileHandler file(path_);
    file.SetExclusive(true);
    file.Open();
    EXPECT_EQ("error 11013", TryOpen(path_, false));
    EXPECT_EQ("error 11013", TryOpen(path_, true));
  }
  TChildProcess child("OpenAndHold", {path_, "shared"});
  ASSERT_EQ("opened", child.Receive());
  TFileHandler exclusive(path_);
  exclusive.SetExclusive(true);
  EXPECT_ENGINE_ERROR(kAccessDenied, exclusive.Open());
  TFileHandler shared(path_);
  EXPECT_NO_THROW(shared.Open());  // two shared openers coexist
  child.Send("done");
  EXPECT_EQ(0, child.Wait());
  // Once the other process has gone, the exclusive opening is possible (shared ones of ours remain).
  shared.Close();
  EXPECT_NO_THROW(exclusive.Open());
}

// A child that no longer reads (it has closed its input, as one that exits does) makes the parent's
// next line fail; that must not end the test executable with SIGPIPE.
TARVO_CHILD(StopListening) {
  close(STDIN_FILENO);
  testing::TellParent("deaf");
  return 0;
}

TEST(TChildHarnessTest, WritingToAChildThatStoppedReadingFailsQuietly) {
  TChildProcess child("StopListening");
  ASSERT_EQ("deaf", child.Receive());
  EXPECT_FALSE(child.Send("done"));
  EXPECT_EQ(0, child.Wait());
}

TEST_F(TFileHandlerTest, ExclusiveConflictsWithinTheProcess) {
  TFileHandler shared(path_);
  shared.Open();
  TFileHandler exclusive(path_);
  exclusive.SetExclusive(true);
  EXPECT_ENGINE_ERROR(kAccessDenied, exclusive.Open());
  shared.Close();
  exclusive.Open();
  TFileHandler other(path_);
  EXPECT_ENGINE_ERROR(kAccessDenied, other.Open());
  EXPECT_ENGINE_ERROR(kAccessDenied, other.CreateNew());
  EXPECT_ENGINE_ERROR(kAccessDenied, other.Delete());
  EXPECT_ENGINE_ERROR(kAccessDenied, other.Rename(dir_.File("x.dat")));
}

TEST_F(TFileHandlerTest, TwoOpenersShareOneDescriptor) {
  const std::size_t before = OsOpenFileCount();
  TFileHandler first(path_);
  TFileHandler second(path_);
  first.Open();
  second.Open();
  ASSERT_EQ(first.FileObject(), second.FileObject());
  EXPECT_EQ(2, first.FileObject()->OpenerCount());
  EXPECT_NE(first.OpenerId(), second.OpenerId());
  EXPECT_EQ(before + 1, OsOpenFileCount());
  first.Close();
  EXPECT_EQ(before + 1, OsOpenFileCount());
  std::array<std::byte, 10> buffer{};
  EXPECT_EQ(10u, second.ReadAt(990, buffer, false));
  second.Close();
  EXPECT_EQ(before, OsOpenFileCount());
}

TEST_F(TFileHandlerTest, LockRulesAcrossTwoProcesses) {
  TFileHandler file(path_);
  file.Open();
  // Another process holds the writer range: every reader byte is refused here.
  {
    TChildProcess child("OpenAndHold",
                        {path_, "shared", std::to_string(kWriterRange), std::to_string(kWriterLength)});
    ASSERT_EQ("locked", child.Receive());
    EXPECT_FALSE(file.LockRegion(kHeaderLockByte - 1, 1, true));
    EXPECT_FALSE(file.LockRegion(kHeaderLockByte - 65534, 1, true));
    EXPECT_TRUE(file.LockRegion(kHeaderLockByte, 1, true));  // the header byte lies outside it
    child.Send("done");
    child.Wait();
  }
  // Readers on different bytes coexist; a writer then fails until both are gone.
  ASSERT_TRUE(file.LockRegion(kHeaderLockByte - 17, 1, true));
  {
    TChildProcess reader("OpenAndHold", {path_, "shared", std::to_string(kHeaderLockByte - 4242), "1"});
    ASSERT_EQ("locked", reader.Receive());
    TChildProcess writer("OpenAndHold",
                         {path_, "shared", std::to_string(kWriterRange), std::to_string(kWriterLength)});
    EXPECT_EQ("refused", writer.Receive());
    reader.Send("done");
    writer.Send("done");
  }
  EXPECT_FALSE(file.LockRegion(kWriterRange, kWriterLength, true));  // our own reader byte is in it
  EXPECT_TRUE(file.LockRegion(kHeaderLockByte - 17, 1, false));
  EXPECT_TRUE(file.LockRegion(kWriterRange, kWriterLength, true));
}

TEST_F(TFileHandlerTest, LockRulesWithinTheProcess) {
  for (const bool in_memory : {false, true}) {
    SCOPED_TRACE(in_memory ? "in memory" : "physical");
    TFileHandler file(in_memory ? "LOCKS.DAT" : path_, in_memory);
    if (in_memory) {
      file.CreateNew();  // exclusive until closed
      file.Close();
    }
    file.Open();
    TFileHandler other(file.FileName(), in_memory);
    other.Open();
    EXPECT_TRUE(file.LockRegion(100, 10, true));
    EXPECT_FALSE(file.LockRegion(105, 1, true));   // same handle
    EXPECT_FALSE(other.LockRegion(109, 5, true));  // another opener of the process
    EXPECT_TRUE(other.LockRegion(110, 5, true));
    EXPECT_FALSE(file.LockRegion(100, 5, false));  // only the exact range unlocks
    EXPECT_TRUE(file.LockRegion(100, 10, false));
    EXPECT_FALSE(file.LockRegion(100, 10, false));
    EXPECT_FALSE(file.LockRegion(100, 0, true));  // never "to the end"
    EXPECT_TRUE(file.LockRegion(kHeaderLockByte, 1, true));
    EXPECT_TRUE(file.LockRegion(kHeaderLockByte - 2, 1, true));  // the first record's byte
    EXPECT_TRUE(other.LockRegion(110, 5, false));
    TFileHandler closed("NONE.DAT", in_memory);
    EXPECT_FALSE(closed.LockRegion(1, 1, true));
  }
}

TEST_F(TFileHandlerTest, ZeroByteWriteTruncatesAtThePosition) {
  for (const bool in_memory : {false, true}) {
    SCOPED_TRACE(in_memory ? "in memory" : "physical");
    TFileHandler file(in_memory ? "TRUNC.DAT" : dir_.File("trunc.dat"), in_memory);
    file.CreateNew();
    file.WriteAt(0, Bytes(500));
    file.WriteAt(123, {});
    EXPECT_EQ(123, file.GetSize());
    // Bytes beyond the cut come back as zeros when the file grows again.
    file.WriteAt(200, Bytes(1));
    std::vector<std::byte> back(201);
    EXPECT_EQ(201u, file.ReadAt(0, back, false));
    EXPECT_EQ(Bytes(123), std::vector<std::byte>(back.begin(), back.begin() + 123));
    EXPECT_EQ(std::byte{0}, back[150]);
    EXPECT_ENGINE_ERROR(kReadError, file.ReadAt(150, back, false));
    EXPECT_EQ(51u, file.ReadAt(150, back, true));
    file.WriteAt(0, {});  // down to nothing, and up again
    EXPECT_EQ(0, file.GetSize());
    file.WriteAt(2, Bytes(1));
    EXPECT_EQ(3u, file.ReadAt(0, back, true));
    EXPECT_EQ(std::byte{0}, back[0]);
  }
}

TEST_F(TFileHandlerTest, InMemoryFileKeepsDataAfterClose) {
  TFileHandler never("NEVER.DAT", true);
  EXPECT_ENGINE_ERROR(kInvalidPath, never.Open());
  {
    TFileHandler file("MEM.DAT", true);
    file.CreateNew();
    file.WriteAt(0, Bytes(70000, 3));
  }
  TFileHandler again("  mem.dat ", true);
  again.Open();
  std::vector<std::byte> back(70000);
  EXPECT_EQ(70000u, again.ReadAt(0, back, false));
  EXPECT_EQ(Bytes(70000, 3), back);
  again.Close();
  again.Delete();
  EXPECT_ENGINE_ERROR(kInvalidPath, again.Open());
}

TEST_F(TFileHandlerTest, CopyOfExactlyOneBlock) {
  for (const bool in_memory : {false, true}) {
    SCOPED_TRACE(in_memory ? "in memory" : "physical");
    TFileHandler source(in_memory ? "BLOCK.DAT" : dir_.File("block.dat"), in_memory);
    source.CreateNew();
    source.WriteAt(0, Bytes(kCopyBlockSize, 9));
    const std::string copy_name = in_memory ? "COPY.DAT" : dir_.File("copy.dat");
    source.CopyTo(copy_name);
    TFileHandler copy(copy_name, in_memory);
    copy.Open();
    EXPECT_EQ(static_cast<std::int64_t>(kCopyBlockSize), copy.GetSize());
    // CopyFrom opens its source exclusively, and writes at the current position.
    EXPECT_ENGINE_ERROR(kAccessDenied, copy.CopyFrom(source.FileName()));
    source.Close();
    copy.Seek(0, TSeekOrigin::kEnd);
    copy.CopyFrom(source.FileName());
    std::vector<std::byte> back(2 * kCopyBlockSize);
    EXPECT_EQ(back.size(), copy.ReadAt(0, back, false));
    EXPECT_EQ(Bytes(kCopyBlockSize, 9), std::vector<std::byte>(back.begin() + kCopyBlockSize, back.end()));
    TFileHandler closed(copy_name, in_memory);
    EXPECT_ENGINE_ERROR(kInvalidFileHandle, closed.CopyTo("X.DAT"));
  }
}

TEST_F(TFileHandlerTest, ReadOnlyFileOpensReadOnly) {
  ASSERT_EQ(0, ::chmod(path_.c_str(), 0444));
  TFileHandler file(path_);
  file.SetExclusive(true);
  file.Open();  // even as root, and even though writing was wanted
  EXPECT_TRUE(file.ReadOnlyFile());
  EXPECT_TRUE(file.FileObject()->ReadOnlyOpen());
  std::array<std::byte, 4> buffer{};
  EXPECT_EQ(4u, file.ReadAt(0, buffer, false));
  EXPECT_ENGINE_ERROR(kWriteError, file.WriteAt(0, buffer));
  file.Close();
  EXPECT_ENGINE_ERROR(kAccessDenied, file.Delete());
  EXPECT_ENGINE_ERROR(kAccessDenied, file.CreateNew());
  // Writable again: the next opening is read/write.
  ASSERT_EQ(0, ::chmod(path_.c_str(), 0644));
  file.Open();
  EXPECT_FALSE(file.ReadOnlyFile());
  EXPECT_NO_THROW(file.WriteAt(0, buffer));
}

TEST_F(TFileHandlerTest, NamesIgnoreCase) {
  TFileHandler file(dir_.File("Kunden.DAT"));
  EXPECT_TRUE(file.EntryExists());
  file.Open();
  std::array<std::byte, 1> buffer{};
  EXPECT_EQ(1u, file.ReadAt(999, buffer, false));
  file.Close();
  WriteFile(dir_.File("KUNDEN.dat"), 10);
  TFileHandler ambiguous(dir_.File("Kunden.Dat"));
  EXPECT_ENGINE_ERROR(kUnknownOsError, ambiguous.Open());
  TFileHandler exact(dir_.File("KUNDEN.dat"));
  exact.Open();
  EXPECT_EQ(10, exact.GetSize());
}

TEST_F(TFileHandlerTest, TemporaryFileGoesAtLastClose) {
  TFileHandler first(path_);
  first.SetTemporary(true);
  first.Open();
  TFileHandler second(path_);
  second.Open();
  first.Close();
  EXPECT_TRUE(OsFileExists(path_));
  second.Close();
  EXPECT_FALSE(OsFileExists(path_));
  // Created as temporary, the file stays until it is opened as such.
  TFileHandler scratch(dir_.File("scratch.dat"));
  scratch.SetTemporary(true);
  scratch.CreateNew();
  scratch.Close();
  EXPECT_TRUE(OsFileExists(dir_.File("scratch.dat")));
}

TEST_F(TFileHandlerTest, RenameMovesTheFileAndTheName) {
  TFileHandler file(path_);
  const std::string target = dir_.File("renamed.dat");
  file.Rename(target);
  EXPECT_EQ(target, file.FileName());
  EXPECT_FALSE(OsFileExists(path_));
  WriteFile(path_, 5);
  TFileHandler other(path_);
  EXPECT_ENGINE_ERROR(kUnknownOsError, other.Rename(dir_.File("RENAMED.DAT")));  // exists, in another case
  EXPECT_TRUE(OsFileExists(path_));
}

TEST_F(TFileHandlerTest, OverlongNamesAreCut) {
  const std::string name(400, 'A');
  TFileHandler file(name, true);
  EXPECT_EQ(255u, file.FileName().size());
  file.CreateNew();
  file.Close();
  file.Open();
  TFileHandler same(std::string(300, 'a'), true);
  EXPECT_NO_THROW(same.Open());
  EXPECT_EQ(file.FileObject(), same.FileObject());
}

TEST_F(TFileHandlerTest, ClosedHandlerRaisesOnTransfer) {
  TFileHandler file(path_);
  std::array<std::byte, 4> buffer{};
  EXPECT_ENGINE_ERROR(kReadError, file.Read(buffer, true));
  EXPECT_ENGINE_ERROR(kWriteError, file.Write(buffer));
  EXPECT_EQ(0, file.Seek(10, TSeekOrigin::kBegin));
  TFileHandler missing(dir_.File("missing.dat"));
  EXPECT_ENGINE_ERROR(kInvalidPath, missing.Open());
}

}  // namespace
}  // namespace tarvo

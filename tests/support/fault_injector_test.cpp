#include "support/fault_injector.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "support/file_handler.h"
#include "support/file_list.h"
#include "support/platform.h"
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

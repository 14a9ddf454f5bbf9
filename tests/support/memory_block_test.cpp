#include "support/memory_block.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/testing/engine_matchers.h"

namespace tarvo {
namespace {

bool AllZero(std::span<const std::byte> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::byte b) { return b == std::byte{0}; });
}

TEST(MemoryBlockTest, GrowsByGranulesZeroFilled) {
  const std::int64_t before = AllocatedBytes();
  TMemoryBlock block(kRecordBufferGranule);
  block.Reserve(1);
  EXPECT_EQ(510u, block.Capacity());
  EXPECT_TRUE(AllZero(block.Bytes()));
  std::fill(block.Bytes().begin(), block.Bytes().end(), std::byte{0xAB});
  const std::byte* data = block.Data();
  block.Reserve(510);  // fits: nothing moves
  EXPECT_EQ(data, block.Data());
  block.Reserve(511);
  EXPECT_EQ(1020u, block.Capacity());
  EXPECT_EQ(std::byte{0xAB}, block.Bytes()[509]);    // kept
  EXPECT_TRUE(AllZero(block.Bytes().subspan(510)));  // new bytes are zero
  block.Reserve(3);                                  // never shrinks
  EXPECT_EQ(1020u, block.Capacity());
  EXPECT_EQ(before + 1020, AllocatedBytes());
  block.Reserve(0);
  EXPECT_EQ(0u, block.Capacity());
  EXPECT_EQ(nullptr, block.Data());
  EXPECT_EQ(before, AllocatedBytes());
}

TEST(MemoryBlockTest, GranulesOfTheEngineBuffers) {
  for (const std::size_t granule :
       {kMemoryFileGranule, kDataBufferGranule, kRecordBufferGranule, kKeyBufferGranule}) {
    TMemoryBlock block(granule);
    block.Reserve(granule + 1);
    EXPECT_EQ(2 * granule, block.Capacity());
  }
}

TEST(MemoryBlockTest, ImpossibleRequestsAreOutOfMemory) {
  TMemoryBlock block(kKeyBufferGranule);
  block.Reserve(100);
  EXPECT_EQ(-static_cast<int>(kOutOfMemory), block.TryReserve(kMaxBlockSize + 1));
  EXPECT_ENGINE_ERROR(kOutOfMemory, block.Reserve(SIZE_MAX));
  EXPECT_EQ(127u, block.Capacity());  // the block is unchanged
  TMemoryBlock moved(std::move(block));
  EXPECT_EQ(127u, moved.Capacity());
  EXPECT_EQ(0u, block.Capacity());
}

}  // namespace
}  // namespace tarvo

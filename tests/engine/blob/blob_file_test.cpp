// The blob file's block cache on a real table: allocation and the free list, read-ahead, runs of
// writes, eviction with and without a transaction, pins across a dropped cache, freeing chains,
// encryption and changes made by another session.
#include "engine/blob/blob_file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "engine/blob/blob_chain.h"
#include "engine/format/encipher.h"
#include "tests/engine/blob/blob_table.h"
#include "tests/testing/blob_checker.h"
#include "tests/testing/engine_matchers.h"

namespace tarvo {
namespace {

using blob_test::Pattern;
using blob_test::TBlobTable;

constexpr std::int32_t kB = 512;
constexpr std::size_t kD = 494;

std::int32_t Block(int k, std::int32_t block_size = kB) {
  return kFirstBlockOffset + k * block_size;
}

TEST(BlobFileTest, NewFileIsOneHeaderAndStoredBlockSizeZeroMeans512) {
  TBlobTable t(0);
  const auto path = t.Dir().Path() / "Blobs.BLB";
  EXPECT_EQ(512u, std::filesystem::file_size(path));
  TBlobFile& blob = t.Blob();
  EXPECT_EQ(512, blob.BlockSize());
  EXPECT_EQ(kD, blob.DataSize());
  EXPECT_EQ(4, blob.Header().version);
  EXPECT_EQ(0, blob.Header().free_head);
  EXPECT_EQ(512, blob.Header().end_offset);
  EXPECT_EQ(255, blob.CacheCapacity());
  EXPECT_EQ(127, blob.MaxBlocksPerReadAhead());
  EXPECT_EQ(0, blob.BlockCount());
}

TEST(BlobFileTest, FreedChainIsReusedFromItsLastBlockThenTheFileGrows) {
  TBlobTable t;
  TBlobFile& blob = t.Blob();
  const std::int32_t first = StoreBlobValue(blob, 0, Pattern(3 * kD, 1), 5);
  EXPECT_EQ(Block(0), first);
  EXPECT_EQ(Block(3), blob.Header().end_offset);
  FreeBlobValue(blob, first, 5);
  EXPECT_EQ(Block(2), blob.Header().free_head);
  std::vector<std::int32_t> taken;
  for (int i = 0; i < 4; ++i) {
    TBlock& b = blob.AllocateBlock();
    taken.push_back(b.Offset());
    EXPECT_EQ(0, b.BlobStamp());
    EXPECT_EQ(0, b.TotalSize());
    EXPECT_TRUE(b.Modified());
    blob.ReleaseBlock(b);
  }
  EXPECT_EQ((std::vector<std::int32_t>{Block(2), Block(1), Block(0), Block(3)}), taken);
  EXPECT_EQ(0, blob.Header().free_head);
  EXPECT_EQ(Block(4), blob.Header().end_offset);
}

TEST(BlobFileTest, OffsetsThatNameNoBlockAreRefused) {
  TBlobTable t(100);
  TBlobFile& blob = t.Blob();
  (void)StoreBlobValue(blob, 0, Pattern(3 * 82, 1), 1);
  for (const std::int32_t bad : {0, 100, 513, 611, Block(4, 100), -512}) {
    SCOPED_TRACE(bad);
    EXPECT_ENGINE_ERROR(kBlobBuffersCorrupt, (void)blob.GetBlock(bad, 1, false));
  }
  // The end offset itself is a new block.
  TBlock* appended = blob.GetBlock(Block(3, 100), 1, false);
  ASSERT_NE(nullptr, appended);
  EXPECT_EQ(Block(4, 100), blob.Header().end_offset);
  blob.ReleaseBlock(*appended);
  // A free list head that names no block is damage, not a place to write to.
  blob.MutableHeader().free_head = 300;
  EXPECT_ENGINE_ERROR(kBlobBuffersCorrupt, (void)blob.AllocateBlock());
  blob.MutableHeader().free_head = 0;
}

TEST(BlobFileTest, AFullFileRefusesToGrow) {
  TBlobTable t;
  TBlobFile& blob = t.Blob();
  const std::int32_t saved = blob.Header().end_offset;
  blob.MutableHeader().end_offset = kFirstBlockOffset + 3906250 * kB;  // 2,000,000,512
  EXPECT_ENGINE_ERROR(kTableFull, (void)blob.AllocateBlock());
  blob.MutableHeader().end_offset = saved;
}

TEST(BlobFileTest, ReadAheadBringsAChainInWithFewReads) {
  TBlobTable t;
  const auto value = Pattern(300 * kD, 2);
  const std::int32_t first = StoreBlobValue(t.Blob(), 0, value, 9);
  t.Reopen();
  TBlobFile& blob = t.Blob();
  const std::int64_t before = blob.ReadCount();
  EXPECT_EQ(value, LoadBlobValue(blob, first, 9));
  // The first block alone, then 299 blocks in reads of at most 127.
  EXPECT_EQ(1 + 3, blob.ReadCount() - before);
  EXPECT_LE(blob.CachedBlockCount(), 255u);
}

TEST(BlobFileTest, ASequentialReadAheadReadsChainAfterChainInLongRuns) {
  TBlobTable t;
  std::vector<std::pair<std::int32_t, std::vector<std::byte>>> values;
  for (int i = 0; i < 30; ++i) {
    auto value = Pattern((1 + i % 3) * kD, i);
    values.emplace_back(StoreBlobValue(t.Blob(), 0, value, 100 + i), std::move(value));
  }
  t.Reopen();
  TBlobFile& blob = t.Blob();
  blob.SetCacheCapacity(40);
  blob.SetSequentialReadAhead(1000);  // more than the cache holds: the cache bounds each read
  const std::int64_t before = blob.ReadCount();
  for (int i = 0; i < 30; ++i) {
    EXPECT_EQ(LoadBlobValue(blob, values[static_cast<std::size_t>(i)].first, 100 + i),
              values[static_cast<std::size_t>(i)].second);
  }
  // 60 blocks in reads of 40 blocks.
  EXPECT_EQ(blob.ReadCount() - before, 2);
  EXPECT_LE(blob.CachedBlockCount(), 40u);
}

TEST(BlobFileTest, FlushWritesEachRunOfAdjacentBlocksOnce) {
  TBlobTable t;
  TBlobFile& blob = t.Blob();
  (void)StoreBlobValue(blob, 0, Pattern(6 * kD, 3), 1);
  std::int64_t writes = blob.WriteCount();
  EXPECT_TRUE(blob.FlushBlocks());
  EXPECT_EQ(writes + 1, blob.WriteCount());
  EXPECT_FALSE(blob.FlushBlocks());
  for (const int k : {1, 3, 4}) {
    TBlockPin pin(blob, &blob.GetBlockForWrite(Block(k), 1, false));
    const std::byte x{0x55};
    ASSERT_EQ(0, pin->WriteData(0, std::span(&x, 1)));
  }
  writes = blob.WriteCount();
  EXPECT_TRUE(blob.FlushBlocks());
  EXPECT_EQ(writes + 2, blob.WriteCount());  // block 1, then blocks 3 and 4
  const auto file = testing::ReadFileBytes(t.Dir().Path() / "Blobs.BLB");
  EXPECT_EQ(std::byte{0x55}, file[static_cast<std::size_t>(Block(3)) + kBlockHeaderSize]);
}

TEST(BlobFileTest, AFullCacheIsFlushedBeforeABlockIsEvicted) {
  TBlobTable t;
  TBlobFile& blob = t.Blob();
  blob.SetCacheCapacity(4);
  const auto value = Pattern(40 * kD + 7, 4);
  const std::int32_t first = StoreBlobValue(blob, 0, value, 2);
  EXPECT_GT(blob.WriteCount(), 0);
  EXPECT_LE(blob.CachedBlockCount(), 4u);
  EXPECT_EQ(value, LoadBlobValue(blob, first, 2));
  const testing::TChainRef chains[] = {{first, 2}};
  const auto report = testing::CheckBlobFile(blob, chains);
  EXPECT_TRUE(report.Ok()) << report.Text();
  EXPECT_EQ(value, report.values.at(first));
}

TEST(BlobFileTest, ATransactionGrowsTheCacheInsteadOfWriting) {
  TBlobTable t;
  TBlobFile& blob = t.Blob();
  blob.SetCacheCapacity(4);
  const std::int64_t writes = blob.WriteCount();
  t.Table().StartTransaction();
  const auto value = Pattern(20 * kD, 5);
  const std::int32_t first = StoreBlobValue(blob, 0, value, 3);
  EXPECT_EQ(4 + 255, blob.CacheCapacity());
  EXPECT_EQ(writes, blob.WriteCount());
  EXPECT_EQ(20u, blob.CachedBlockCount());
  t.Table().Commit(true);
  EXPECT_GT(blob.WriteCount(), writes);
  EXPECT_EQ(4, blob.CacheCapacity());
  EXPECT_LE(blob.CachedBlockCount(), 4u);
  t.Reopen();
  EXPECT_EQ(value, LoadBlobValue(t.Blob(), first, 3));
}

TEST(BlobFileTest, TrimKeepsModifiedAndPinnedBlocks) {
  TBlobTable t;
  TBlobFile& blob = t.Blob();
  t.Table().StartTransaction();
  blob.SetCacheCapacity(2);
  (void)StoreBlobValue(blob, 0, Pattern(5 * kD, 6), 3);
  blob.TrimCache();
  EXPECT_EQ(5u, blob.CachedBlockCount());  // nothing written yet: nothing may go
  t.Table().Rollback();
}

TEST(BlobFileTest, APinOutlivesADroppedCache) {
  TBlobTable t;
  TBlobFile& blob = t.Blob();
  (void)StoreBlobValue(blob, 0, Pattern(2 * kD, 7), 4);
  blob.FlushBlocks();
  TBlockPin pin(blob, blob.GetBlock(Block(1), 1, false));
  ASSERT_TRUE(pin);
  const std::size_t spares = blob.SpareBlockCount();
  blob.DropBlocks();
  EXPECT_EQ(0u, blob.CachedBlockCount());
  EXPECT_EQ(spares + 1, blob.SpareBlockCount());
  EXPECT_EQ(Block(1), pin->Offset());
  EXPECT_EQ(4, pin->BlobStamp());
  pin.Reset();
  EXPECT_EQ(spares + 2, blob.SpareBlockCount());
}

class FreeChainTest : public ::testing::Test {
 protected:
  void SetUp() override { first_ = StoreBlobValue(t_.Blob(), 0, Pattern(3 * kD, 8), 7); }
  void Patch(std::int32_t offset, auto change) {
    TBlockPin pin(t_.Blob(), &t_.Blob().GetBlockForWrite(offset, 1, false));
    change(*pin);
  }
  TBlobTable t_;
  std::int32_t first_ = 0;
};

TEST_F(FreeChainTest, StrictModeRefusesAForeignBlockLenientModeAdoptsIt) {
  TBlobFile& blob = t_.Blob();
  Patch(Block(1), [](TBlock& b) { b.SetBlobStamp(99); });
  EXPECT_ENGINE_ERROR(kBlobBuffersCorrupt, blob.FreeChain(first_, 7, 3, true));
  EXPECT_EQ(0, blob.Header().free_head);
  blob.FreeChain(first_, 7, 3, false);
  EXPECT_EQ(7, blob.CachedBlock(Block(1))->BlobStamp());
  EXPECT_EQ(Block(2), blob.Header().free_head);
  const auto report = testing::CheckBlobFile(blob, {});
  EXPECT_TRUE(report.Ok()) << report.Text();
  EXPECT_EQ(3, report.free_blocks);
}

TEST_F(FreeChainTest, ABlockNamingItselfFails) {
  Patch(first_, [&](TBlock& b) { b.SetNextBlock(first_); });
  EXPECT_ENGINE_ERROR(kBlobBuffersCorrupt, t_.Blob().FreeChain(first_, 7, 3, false));
  EXPECT_EQ(0, t_.Blob().Header().free_head);
}

TEST_F(FreeChainTest, ACycleStopsBeforeABlockIsFreedTwice) {
  TBlobFile& blob = t_.Blob();
  Patch(Block(2), [](TBlock& b) { b.SetNextBlock(Block(0)); });
  EXPECT_ENGINE_ERROR(kBlobBuffersCorrupt, blob.FreeChain(first_, 7, 3, false));
  // The blocks before the loop were freed; the free list stays a list.
  EXPECT_EQ(Block(1), blob.Header().free_head);
  EXPECT_EQ(Block(0), blob.CachedBlock(Block(1))->NextBlock());
  EXPECT_EQ(0, blob.CachedBlock(Block(0))->NextBlock());
}

TEST_F(FreeChainTest, APointerOffTheGridOrPastTheEndFails) {
  for (const std::int32_t bad : {Block(1) + 1, Block(3), Block(40), 17, -512}) {
    SCOPED_TRACE(bad);
    Patch(first_, [&](TBlock& b) { b.SetNextBlock(bad); });
    EXPECT_ENGINE_ERROR(kBlobBuffersCorrupt, t_.Blob().FreeChain(first_, 7, 3, false));
    EXPECT_EQ(0, t_.Blob().Header().free_head);
  }
}

TEST(BlobFileTest, EncryptedTablesKeepPlainBlocksInTheCacheOnly) {
  TBlobTable t(512, true);
  const auto value = Pattern(2 * kD + 1, 9);
  const std::int32_t first = StoreBlobValue(t.Blob(), 0, value, 11);
  t.Reopen();
  EXPECT_EQ(value, LoadBlobValue(t.Blob(), first, 11));
  const auto file = testing::ReadFileBytes(t.Dir().Path() / "Blobs.BLB");
  // The data area on the disk is the plain data enciphered as a piece of its own.
  std::vector<std::byte> plain(value.begin(), value.begin() + kD);
  Encipher(plain, kRecordKey);
  EXPECT_TRUE(std::equal(plain.begin(), plain.end(), file.begin() + first + kBlockHeaderSize));
  const testing::TChainRef chains[] = {{first, 11}};
  const auto report = testing::CheckBlobBytes(file, 512, true, chains);
  EXPECT_TRUE(report.Ok()) << report.Text();
  EXPECT_EQ(value, report.values.at(first));
}

TEST(BlobFileTest, ABlockMissNoticesAnotherSessionsWrites) {
  TBlobTable t;
  t.Reopen(false);
  TDataSession other_session;
  other_session.FixedLockRetries = 3;
  other_session.FixedLockPause = 1;
  TDataDirectory* other_dir = other_session.GetDirectory("other", t.Dir().Dir());
  TDataCursor other(other_session, *other_dir);
  TCursorOpenOptions options;
  options.table_name = "Blobs";
  other.Open(options);

  TDataTable& writer = t.Table();
  const auto write = [&](auto body) {
    writer.LockWriter();
    body();
    writer.WriteAll(false, false);
    writer.UnlockWriter();
  };
  const auto v1 = Pattern(2 * kD, 10);
  std::int32_t x = 0;
  std::int32_t z = 0;
  write([&] {
    x = StoreBlobValue(writer.BlobFile(), 0, v1, 1);
    z = StoreBlobValue(writer.BlobFile(), 0, Pattern(kD, 13), 5);
  });
  TBlobFile& reader = other.Table().BlobFile();
  EXPECT_EQ(v1, LoadBlobValue(reader, x, 1));

  const auto v2 = Pattern(kD, 11);
  const auto v1b = Pattern(2 * kD, 12);
  std::int32_t y = 0;
  write([&] {
    FreeBlobValue(writer.BlobFile(), z, 5);
    y = StoreBlobValue(writer.BlobFile(), 0, v2, 2);
    EXPECT_EQ(x, StoreBlobValue(writer.BlobFile(), x, v1b, 3));
  });
  ASSERT_EQ(z, y);  // within the end offset the reader knows
  // y is not cached by the reader: the miss finds the file changed, drops the cache and starts
  // over; x then comes fresh from the disk.
  EXPECT_EQ(v2, LoadBlobValue(reader, y, 2));
  EXPECT_EQ(v1b, LoadBlobValue(reader, x, 3));
  other.Close();
  (void)other_session.ReleaseDirectory(other_dir);
}

}  // namespace
}  // namespace tarvo

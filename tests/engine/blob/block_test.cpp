#include "engine/blob/block.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <vector>

#include "errors/engine_error.h"
#include "engine/blob/free_list.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

constexpr int kBadLength = -kInvalidBlobLength;

std::vector<std::byte> ReadFixture(const std::string& path) {
  std::ifstream in(testing::FixturesDir() / path, std::ios::binary);
  std::vector<char> chars((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::byte> bytes(chars.size());
  for (std::size_t i = 0; i < chars.size(); ++i) bytes[i] = static_cast<std::byte>(chars[i]);
  return bytes;
}

std::vector<std::byte> Text(const std::string& s) {
  std::vector<std::byte> out;
  for (char c : s) out.push_back(static_cast<std::byte>(c));
  return out;
}

TEST(BlockTest, HeaderMatchesHandWrittenBytes) {
  std::array<std::byte, kBlockHeaderSize> raw{};
  const int bytes[][2] = {{0, 0x00},  {1, 0x04},  {5, 0x06},  {8, 0xEE}, {9, 0x01},
                          {10, 0x2A}, {13, 0x80}, {14, 0xFE}, {15, 0x03}};
  for (const auto& [off, value] : bytes) raw[off] = static_cast<std::byte>(value);
  const TBlockHeader h = DecodeBlockHeader(raw);
  EXPECT_EQ(0x0400, h.prev);
  EXPECT_EQ(0x0600, h.next);
  EXPECT_EQ(494, h.used);
  EXPECT_EQ(static_cast<std::int32_t>(0x8000002A), h.stamp);
  EXPECT_EQ(1022, h.total_size);
  std::array<std::byte, kBlockHeaderSize> again{};
  EncodeBlockHeader(h, again);
  EXPECT_EQ(raw, again);
}

TEST(BlockTest, DecodeAndEncodeCarryHeaderAndData) {
  std::vector<std::byte> image(512, std::byte{0});
  image[4] = std::byte{0x02};  // next 512... as 0x0200
  image[5] = std::byte{0x02};
  image[8] = std::byte{3};  // 3 bytes used
  image[10] = std::byte{9};
  image[18] = std::byte{'a'};
  image[19] = std::byte{'b'};
  image[20] = std::byte{'c'};
  image[511] = std::byte{0x77};  // behind the used bytes, kept as it is
  TBlock block(512);
  EXPECT_EQ(494u, block.DataSize());
  block.SetModified(true);
  block.Decode(image);
  EXPECT_FALSE(block.Modified());
  EXPECT_EQ(0x0202, block.NextBlock());
  EXPECT_EQ(3, block.UsedBytes());
  EXPECT_EQ(9, block.BlobStamp());
  std::vector<std::byte> out(10);
  EXPECT_EQ(3, block.ReadData(0, out));
  EXPECT_EQ(Text("abc"), std::vector<std::byte>(out.begin(), out.begin() + 3));

  block.SetBlobStamp(9);
  EXPECT_FALSE(block.Modified());  // the same value changes nothing
  block.SetBlobStamp(10);
  EXPECT_TRUE(block.Modified());
  std::vector<std::byte> again(512);
  block.Encode(again);
  EXPECT_FALSE(block.Modified());
  image[10] = std::byte{10};
  EXPECT_EQ(image, again);
  EXPECT_EQ(10, static_cast<int>(block.RawHeader()[10]));
}

TEST(BlockTest, TransfersNeverLeaveTheDataArea) {
  TBlock block(512);
  const std::vector<std::byte> full(494, std::byte{'x'});
  EXPECT_EQ(0, block.WriteData(0, full));
  EXPECT_EQ(494, block.UsedBytes());
  EXPECT_TRUE(block.Modified());

  const std::vector<std::byte> too_long(495, std::byte{'y'});
  EXPECT_EQ(kBadLength, block.WriteData(0, too_long));
  EXPECT_EQ(kBadLength, block.WriteData(490, Text("12345")));  // ends past the area
  EXPECT_EQ(kBadLength, block.WriteData(600, {}));
  EXPECT_EQ(494, block.UsedBytes());
  EXPECT_EQ(std::byte{'x'}, block.Data()[493]);

  EXPECT_EQ(0, block.WriteData(10, Text("abc")));  // used bytes end with the write
  EXPECT_EQ(13, block.UsedBytes());
  std::vector<std::byte> out(494);
  EXPECT_EQ(13, block.ReadData(0, out));
  EXPECT_EQ(3, block.ReadData(10, std::span(out).first(100)));
  EXPECT_EQ(0, block.ReadData(13, std::span(out).first(5)));
  std::vector<std::byte> too_much(495);
  EXPECT_EQ(kBadLength, block.ReadData(0, too_much));
  EXPECT_EQ(kBadLength, block.ReadData(400, std::span(out).first(95)));

  // A damaged block claiming more than its data area is read no further than the area.
  std::vector<std::byte> image(512, std::byte{'z'});
  image[8] = std::byte{0xFF};
  image[9] = std::byte{0xFF};
  block.Decode(image);
  EXPECT_EQ(0xFFFF, block.UsedBytes());
  EXPECT_EQ(494, block.ReadData(0, out));
  EXPECT_EQ(4, block.ReadData(490, std::span(out).first(4)));
}

TEST(BlockTest, TinyBlockSizeHoldsNoData) {
  TBlock block(10);
  EXPECT_EQ(0u, block.DataSize());
  EXPECT_EQ(kBadLength, block.WriteData(0, Text("a")));
  EXPECT_EQ(0, block.WriteData(0, {}));
}

TEST(BlockTest, FreedChainIsReusedFromItsLastBlock) {
  TBlobHeader h = NewBlobHeader();
  h.end_offset = 512 + 3 * 512;
  std::vector<TBlock> chain;
  for (int i = 0; i < 3; ++i) {
    chain.emplace_back(512);
    chain[i].SetOffset(512 + i * 512);
    chain[i].SetBlobStamp(77);
    chain[i].SetPrevBlock(i == 0 ? 0 : 512 + (i - 1) * 512);
    chain[i].SetNextBlock(i == 2 ? 0 : 512 + (i + 1) * 512);
  }
  h.changed = 0;
  for (TBlock& b : chain) PushFreeBlock(h, b);  // in chain order
  EXPECT_EQ(1, h.changed);
  EXPECT_EQ(1536, h.free_head);
  EXPECT_EQ(1024, chain[2].NextBlock());
  EXPECT_EQ(512, chain[1].NextBlock());
  EXPECT_EQ(0, chain[0].NextBlock());
  EXPECT_EQ(77, chain[2].BlobStamp());  // kept until the block is taken again

  EXPECT_EQ(1536, NextAllocationOffset(h));
  TakeAllocatedBlock(h, chain[2]);
  EXPECT_EQ(1024, h.free_head);
  EXPECT_EQ(TBlockHeader{}, chain[2].Header());
  EXPECT_TRUE(chain[2].Modified());
  TakeAllocatedBlock(h, chain[1]);
  TakeAllocatedBlock(h, chain[0]);
  EXPECT_EQ(0, h.free_head);
  // With the list empty the next block is appended.
  EXPECT_EQ(2048, NextAllocationOffset(h));
  TBlock appended(512);
  appended.SetOffset(2048);
  TakeAllocatedBlock(h, appended);
  EXPECT_EQ(0, h.free_head);
}

// Walks every block of a fixture blob file: chains from their first blocks and the free list
// together cover every block, and each block re-encodes to its bytes.
int CheckFixtureBlocks(const std::string& path, std::uint16_t block_size) {
  SCOPED_TRACE(path);
  const auto file = ReadFixture(path);
  const TBlobHeader h = DecodeBlobHeader(std::span<const std::byte>(file).first<kBlobHeaderSize>());
  const std::size_t d = BlobDataSize(block_size);
  std::map<std::int32_t, TBlock> blocks;
  for (std::int32_t off = 512; off < h.end_offset; off += block_size) {
    TBlock block(block_size);
    block.SetOffset(off);
    const auto image = std::span<const std::byte>(file).subspan(off, block_size);
    block.Decode(image);
    EXPECT_LE(block.UsedBytes(), d);
    std::vector<std::byte> again(block_size);
    block.Encode(again);
    EXPECT_TRUE(std::equal(again.begin(), again.end(), image.begin())) << "block " << off;
    blocks.emplace(off, std::move(block));
  }
  std::set<std::int32_t> seen;
  int free_blocks = 0;
  for (std::int32_t off = h.free_head; off != 0; off = blocks.at(off).NextBlock()) {
    if (!IsValidBlockLink(off, h.end_offset) || blocks.count(off) == 0 || !seen.insert(off).second) {
      ADD_FAILURE() << "free list broken at " << off;
      return -1;
    }
    ++free_blocks;
  }
  EXPECT_GT(free_blocks, 0);
  int chains = 0;
  for (const auto& [off, first] : blocks) {
    if (seen.count(off) != 0 || first.PrevBlock() != 0) continue;
    ++chains;
    std::int64_t total = 0;
    std::int64_t count = 0;
    for (std::int32_t at = off; at != 0;) {
      const TBlock& b = blocks.at(at);
      if (!seen.insert(at).second) {
        ADD_FAILURE() << "block " << at << " in two chains";
        return -1;
      }
      EXPECT_EQ(first.BlobStamp(), b.BlobStamp());
      if (at != off) {
        EXPECT_EQ(0, b.TotalSize());
      }
      total += b.UsedBytes();
      ++count;
      if (b.NextBlock() != 0) {
        EXPECT_EQ(d, b.UsedBytes());  // all but the last are full
        EXPECT_EQ(at, blocks.at(b.NextBlock()).PrevBlock());
      }
      at = b.NextBlock();
    }
    EXPECT_EQ(first.TotalSize(), total);
    EXPECT_EQ(BlocksForSize(first.TotalSize(), d), count);
  }
  EXPECT_EQ(blocks.size(), seen.size());  // no block is lost
  return chains;
}

TEST(BlockTest, FixtureBlobFilesDecodeBlockByBlock) {
  // One chain per non-empty Notes and Pic value of the 178 records in use (Kunden.rows.jsonl).
  EXPECT_EQ(316, CheckFixtureBlocks("basic/Kunden.BLB", 512));
  // At most one memo per record in use.
  EXPECT_GE(225, CheckFixtureBlocks("blocks1024/Notizen.BLB", 1024));
}

}  // namespace
}  // namespace tarvo

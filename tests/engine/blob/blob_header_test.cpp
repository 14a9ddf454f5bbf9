#include "engine/blob/blob_header.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <limits>
#include <vector>

#include "errors/engine_error.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

std::vector<std::byte> ReadFixture(const std::string& path) {
  std::ifstream in(testing::FixturesDir() / path, std::ios::binary);
  std::vector<char> chars((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::byte> bytes(chars.size());
  for (std::size_t i = 0; i < chars.size(); ++i) bytes[i] = static_cast<std::byte>(chars[i]);
  return bytes;
}

TEST(BlobHeaderTest, MatchesHandWrittenBytes) {
  std::array<std::byte, kBlobHeaderSize> raw{};
  const int bytes[][2] = {{0, 0x07},  {1, 0x01},  {4, 0xAA}, {8, 4},     {9, 0x00},  {10, 0x06},
                          {13, 0x00}, {14, 0x0A}, {17, 1},   {18, 0x33}, {511, 0x44}};
  for (const auto& [off, value] : bytes) raw[off] = static_cast<std::byte>(value);
  const TBlobHeader h = DecodeBlobHeader(raw);
  EXPECT_EQ(0x0107, h.change_count);
  EXPECT_EQ(0xAAu, h.reserved);
  EXPECT_EQ(4, h.version);
  EXPECT_EQ(0x0600, h.free_head);
  EXPECT_EQ(0x0A00, h.end_offset);
  EXPECT_EQ(1, h.changed);
  EXPECT_EQ(0x33, h.tail[0]);
  EXPECT_EQ(0x44, h.tail[493]);
  std::array<std::byte, kBlobHeaderSize> again{};
  EncodeBlobHeader(h, again);
  EXPECT_EQ(raw, again);
}

TEST(BlobHeaderTest, NewBlobFileIsExactly512BytesAsWritten) {
  const auto image = NewBlobFileImage();
  ASSERT_EQ(512u, image.size());
  std::array<std::byte, kBlobHeaderSize> expected{};
  expected[0] = std::byte{1};   // the first header write counted
  expected[8] = std::byte{4};   // version
  expected[14] = std::byte{2};  // end offset 512
  expected[17] = std::byte{1};  // header-changed as it stood
  EXPECT_EQ(expected, image);
  EXPECT_EQ(0, VerifyBlobHeader(DecodeBlobHeader(image), 512));

  TBlobHeader used = DecodeBlobHeader(image);
  used.end_offset = 512 + 10 * 512;
  used.free_head = 1024;
  used.changed = 0;
  EmptyBlobHeader(used);
  EXPECT_EQ(512, used.end_offset);
  EXPECT_EQ(0, used.free_head);
  EXPECT_EQ(1, used.changed);
  EXPECT_EQ(1, used.change_count);
}

TEST(BlobHeaderTest, VerificationChecksVersionAndFreeListHead) {
  const int corrupt = -kHeaderCorrupt;
  TBlobHeader h = NewBlobHeader();
  EXPECT_EQ(0, VerifyBlobHeader(h, 512));
  h.version = 3;
  EXPECT_EQ(-kWrongVersion, VerifyBlobHeader(h, 512));
  h.version = 4;

  h.free_head = 512;  // an empty file has no free blocks
  EXPECT_EQ(corrupt, VerifyBlobHeader(h, 512));

  h.end_offset = 512 + 4 * 1024;
  for (const auto& [head, rc] : {std::pair{0, 0},
                                 {512, 0},
                                 {512 + 3 * 1024, 0},
                                 {511, corrupt},
                                 {512 + 3 * 1024 + 1, corrupt},
                                 {512 + 4 * 1024, corrupt},
                                 {-512, corrupt}}) {
    h.free_head = head;
    EXPECT_EQ(rc, VerifyBlobHeader(h, 1024)) << head;
  }
  // Blocks are appended at the end offset: one inside the header is damage.
  h.free_head = 0;
  for (int end : {0, 511, -1024}) {
    h.end_offset = end;
    EXPECT_EQ(corrupt, VerifyBlobHeader(h, 512)) << end;
  }
}

TEST(BlobHeaderTest, BlockSizeArithmetic) {
  EXPECT_EQ(512, BlobBlockSize(0));
  EXPECT_EQ(1024, BlobBlockSize(1024));
  EXPECT_EQ(1024, BlobBlockSize(0x00010400));  // only the low 16 bits count
  EXPECT_EQ(512, BlobBlockSize(0x00010000));
  EXPECT_EQ(494u, BlobDataSize(512));
  EXPECT_EQ(1006u, BlobDataSize(1024));
  EXPECT_EQ(0u, BlobDataSize(18));
  EXPECT_EQ(0, BlocksForSize(0, 494));
  EXPECT_EQ(1, BlocksForSize(494, 494));
  EXPECT_EQ(2, BlocksForSize(495, 494));
  EXPECT_EQ(0, BlocksForSize(100, 0));
  EXPECT_EQ(127, MaxBlocksPerRead(512));
  EXPECT_EQ(255, BlockCacheCapacity(512));
  EXPECT_EQ(127, BlockCacheCapacity(1024));
  EXPECT_EQ(32767, BlockCacheCapacity(4));
  EXPECT_TRUE(IsValidBlockLink(512, 512));
  EXPECT_TRUE(IsValidBlockLink(2048, 2048));
  EXPECT_FALSE(IsValidBlockLink(511, 2048));
  EXPECT_FALSE(IsValidBlockLink(2049, 2048));
  EXPECT_EQ(2, NextBlobStamp(1));
  EXPECT_EQ(1, NextBlobStamp(std::numeric_limits<std::int32_t>::max()));
}

TEST(BlobHeaderTest, FixtureHeadersDecodeAndVerify) {
  struct TCase {
    const char* path;
    std::uint16_t block_size;
  };
  for (const TCase& c : {TCase{"basic/Kunden.BLB", 512}, TCase{"blocks1024/Notizen.BLB", 1024}}) {
    SCOPED_TRACE(c.path);
    const auto file = ReadFixture(c.path);
    ASSERT_GE(file.size(), kBlobHeaderSize);
    const auto raw = std::span<const std::byte>(file).first<kBlobHeaderSize>();
    const TBlobHeader h = DecodeBlobHeader(raw);
    EXPECT_EQ(4, h.version);
    EXPECT_EQ(static_cast<std::int64_t>(file.size()), h.end_offset);
    EXPECT_EQ(0, (h.end_offset - 512) % c.block_size);
    EXPECT_NE(0, h.free_head);  // deleted records left free blocks
    EXPECT_EQ(0, VerifyBlobHeader(h, c.block_size));
    std::array<std::byte, kBlobHeaderSize> again{};
    EncodeBlobHeader(h, again);
    EXPECT_TRUE(std::equal(again.begin(), again.end(), raw.begin()));
  }
}

}  // namespace
}  // namespace tarvo

// The header of a blob file (".BLB") and the arithmetic of its block size. Pure codecs only:
// TBlobFile reads and writes the bytes. VerifyBlobHeader() holds the checks made when a table
// is opened.
//
// Blob file: the 512-byte header, then blocks of B bytes from offset 512 on (block k at
// 512 + k * B). B is the low 16 bits of the data file's BlobBlockSize, 0 meaning 512.
//
// Blob file header: 512 bytes, little-endian.
//   off  size  content
//     0     4  change counter, int32, +1 on every header write
//     4     4  reserved, 0, preserved
//     8     1  format version, always 4
//     9     4  head of the free block list, int32; 0 when empty
//    13     4  end offset, int32: where the next new block is appended; 512 in an empty file
//    17     1  header-changed flag of the in-memory copy, written as it stands; no meaning when read
//    18   494  reserved, 0, preserved
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/format/data_header.h"

namespace tarvo {

inline constexpr std::size_t kBlobHeaderSize = 512;
inline constexpr std::int32_t kFirstBlockOffset = 512;
inline constexpr std::uint8_t kBlobFormatVersion = 4;
// kDefaultBlobBlockSize (512) comes with the data header, which stores the block size.
// A block may not be appended once the end offset is above this.
inline constexpr std::int32_t kMaxBlobFileEnd = 2000000000;

inline constexpr std::size_t kOffBlbChangeCount = 0;
inline constexpr std::size_t kOffBlbReserved = 4;
inline constexpr std::size_t kOffBlbVersion = 8;
inline constexpr std::size_t kOffBlbFreeHead = 9;
inline constexpr std::size_t kOffBlbEndOffset = 13;
inline constexpr std::size_t kOffBlbChanged = 17;
inline constexpr std::size_t kOffBlbTail = 18;
inline constexpr std::size_t kBlbTailSize = 494;
static_assert(kOffBlbTail + kBlbTailSize == kBlobHeaderSize);

struct TBlobHeader {
  std::int32_t change_count = 0;
  std::uint32_t reserved = 0;
  std::uint8_t version = kBlobFormatVersion;
  std::int32_t free_head = 0;
  std::int32_t end_offset = kFirstBlockOffset;
  std::uint8_t changed = 0;
  std::array<std::uint8_t, kBlbTailSize> tail{};

  bool operator==(const TBlobHeader&) const = default;
};

TBlobHeader DecodeBlobHeader(std::span<const std::byte, kBlobHeaderSize> raw);
void EncodeBlobHeader(const TBlobHeader& h, std::span<std::byte, kBlobHeaderSize> raw);

// The header a new blob file gets in memory: version 4, free list empty, end offset 512,
// marked changed, change counter 0; it reaches the disk with the next header write.
TBlobHeader NewBlobHeader();
// The 512 bytes of a new blob file as the first header write leaves them (change counter 1):
// a new blob file is exactly this long.
std::array<std::byte, kBlobHeaderSize> NewBlobFileImage();
// Empties the file's header when every record goes: version 4, end offset 512, free list empty,
// marked changed. The change counter stays.
void EmptyBlobHeader(TBlobHeader& h);

// The check made when a table is opened: 0; -12035 (kWrongVersion) for a version other than 4;
// -8961 (kHeaderCorrupt) when the end offset lies below 512, when an empty file has a free list,
// or when a free list head lies outside 512 .. end offset - B.
[[nodiscard]] int VerifyBlobHeader(const TBlobHeader& h, std::uint16_t block_size);

// The block size B of a stored BlobBlockSize: its low 16 bits, 0 meaning 512.
std::uint16_t BlobBlockSize(std::uint32_t stored);
// The data bytes D of one block, B - 18 (0 for a block size too small to hold any).
std::size_t BlobDataSize(std::uint16_t block_size);
// The blocks a value of `size` bytes occupies: ceil(size / D); 0 for an empty value.
std::int64_t BlocksForSize(std::int64_t size, std::size_t data_size);
// Most blocks one read fetches: 65535 div B.
int MaxBlocksPerRead(std::uint16_t block_size);
// Blocks the cache holds: min(131070 div B, 32767).
int BlockCacheCapacity(std::uint16_t block_size);
// Whether a chain or free-list pointer may be followed: 512 <= offset <= end offset.
bool IsValidBlockLink(std::int32_t offset, std::int32_t end_offset);
// The stamp after `counter`: counter + 1, and 1 after 2147483647.
std::int32_t NextBlobStamp(std::int32_t counter);

}  // namespace tarvo

// TBlock: one block of a blob file as it sits in the block cache: its 18-byte header, decoded,
// and its D = B - 18 data bytes. Does no I/O itself; TBlobFile reads and writes the B-byte
// images (enciphering header and data as two pieces when the table is encrypted). Reads and
// writes of the data area never leave it: a transfer that would fails with -10029.
//
// Block: B bytes at its block offset, little-endian.
//   off  size  content
//     0     4  previous block of the same blob, 0 in the first block
//     4     4  next block of the same blob, 0 in the last; in a free block the next free block
//     8     2  data bytes used in this block, uint16, 0..D
//    10     4  blob stamp of the value that owns the block
//    14     4  total size of the value in bytes; only in a chain's first block, else 0
//    18     D  data, used from the start
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/blob/blob_header.h"

namespace tarvo {

inline constexpr std::size_t kBlockHeaderSize = 18;
inline constexpr std::size_t kOffBlockPrev = 0;
inline constexpr std::size_t kOffBlockNext = 4;
inline constexpr std::size_t kOffBlockUsed = 8;
inline constexpr std::size_t kOffBlockStamp = 10;
inline constexpr std::size_t kOffBlockTotalSize = 14;
static_assert(kOffBlockTotalSize + 4 == kBlockHeaderSize);

struct TBlockHeader {
  std::int32_t prev = 0;
  std::int32_t next = 0;
  std::uint16_t used = 0;
  std::int32_t stamp = 0;
  std::int32_t total_size = 0;

  bool operator==(const TBlockHeader&) const = default;
};

TBlockHeader DecodeBlockHeader(std::span<const std::byte, kBlockHeaderSize> raw);
void EncodeBlockHeader(const TBlockHeader& h, std::span<std::byte, kBlockHeaderSize> raw);

class TBlock {
 public:
  explicit TBlock(std::uint16_t block_size = static_cast<std::uint16_t>(kDefaultBlobBlockSize));

  std::uint16_t BlockSize() const { return block_size_; }
  std::size_t DataSize() const { return data_.size(); }

  // Clears header, data and decoded fields, the modified flag and the pin count (the offset stays).
  void Clear();
  // Takes a block image of BlockSize() bytes and clears the modified flag.
  void Decode(std::span<const std::byte> image);
  // Writes the decoded fields into the header and the block image of BlockSize() bytes; clears
  // the modified flag.
  void Encode(std::span<std::byte> image);

  // Writes `bytes` at `data_offset` of the data area; used bytes become data_offset + size.
  // Returns 0, or -10029 (kInvalidBlobLength) without writing when the data area ends first.
  [[nodiscard]] int WriteData(std::size_t data_offset, std::span<const std::byte> bytes);
  // Copies at most the used bytes behind `data_offset` into `out`; returns the count copied,
  // or -10029 when `out` reaches past the data area.
  [[nodiscard]] int ReadData(std::size_t data_offset, std::span<std::byte> out) const;
  std::span<const std::byte> Data() const { return data_; }
  const std::array<std::byte, kBlockHeaderSize>& RawHeader() const { return raw_header_; }

  // Decoded header fields; a setter that changes a value sets the modified flag.
  const TBlockHeader& Header() const { return header_; }
  std::int32_t PrevBlock() const { return header_.prev; }
  void SetPrevBlock(std::int32_t offset) { SetIfChanged(header_.prev, offset); }
  std::int32_t NextBlock() const { return header_.next; }
  void SetNextBlock(std::int32_t offset) { SetIfChanged(header_.next, offset); }
  // As stored; a damaged block may claim more than DataSize(), ReadData never trusts it further.
  std::uint16_t UsedBytes() const { return header_.used; }
  void SetUsedBytes(std::uint16_t used) { SetIfChanged(header_.used, used); }
  std::int32_t BlobStamp() const { return header_.stamp; }
  void SetBlobStamp(std::int32_t stamp) { SetIfChanged(header_.stamp, stamp); }
  std::int32_t TotalSize() const { return header_.total_size; }
  void SetTotalSize(std::int32_t size) { SetIfChanged(header_.total_size, size); }

  // Cache state (not stored).
  std::int32_t Offset() const { return offset_; }
  void SetOffset(std::int32_t offset) { offset_ = offset; }
  bool Modified() const { return modified_; }
  void SetModified(bool modified) { modified_ = modified; }
  int PinCount() const { return pin_count_; }
  void Pin() { ++pin_count_; }
  void Unpin() {
    if (pin_count_ > 0) --pin_count_;
  }
  // Links of the cache's recency list, kept by TBlobFile (Clear leaves them alone).
  TBlock* Newer() const { return newer_; }
  TBlock* Older() const { return older_; }
  void SetNewer(TBlock* block) { newer_ = block; }
  void SetOlder(TBlock* block) { older_ = block; }

 private:
  template <typename T>
  void SetIfChanged(T& field, T value) {
    if (field != value) {
      field = value;
      modified_ = true;
    }
  }

  std::uint16_t block_size_;
  std::int32_t offset_ = 0;
  bool modified_ = false;
  std::int16_t pin_count_ = 0;
  std::array<std::byte, kBlockHeaderSize> raw_header_{};
  TBlockHeader header_;
  std::vector<std::byte> data_;  // D bytes
  TBlock* newer_ = nullptr;
  TBlock* older_ = nullptr;
};

}  // namespace tarvo

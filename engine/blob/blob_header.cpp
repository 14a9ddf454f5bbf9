#include "engine/blob/blob_header.h"

#include <algorithm>
#include <limits>

#include "errors/engine_error.h"
#include "engine/blob/block.h"
#include "engine/format/byte_codec.h"

namespace tarvo {

TBlobHeader DecodeBlobHeader(std::span<const std::byte, kBlobHeaderSize> raw) {
  TBlobHeader h;
  h.change_count = GetI32(raw, kOffBlbChangeCount);
  h.reserved = GetU32(raw, kOffBlbReserved);
  h.version = GetU8(raw, kOffBlbVersion);
  h.free_head = GetI32(raw, kOffBlbFreeHead);
  h.end_offset = GetI32(raw, kOffBlbEndOffset);
  h.changed = GetU8(raw, kOffBlbChanged);
  for (std::size_t i = 0; i < kBlbTailSize; ++i) h.tail[i] = GetU8(raw, kOffBlbTail + i);
  return h;
}

void EncodeBlobHeader(const TBlobHeader& h, std::span<std::byte, kBlobHeaderSize> raw) {
  PutI32(raw, kOffBlbChangeCount, h.change_count);
  PutU32(raw, kOffBlbReserved, h.reserved);
  PutU8(raw, kOffBlbVersion, h.version);
  PutI32(raw, kOffBlbFreeHead, h.free_head);
  PutI32(raw, kOffBlbEndOffset, h.end_offset);
  PutU8(raw, kOffBlbChanged, h.changed);
  for (std::size_t i = 0; i < kBlbTailSize; ++i) PutU8(raw, kOffBlbTail + i, h.tail[i]);
}

TBlobHeader NewBlobHeader() {
  TBlobHeader h;
  h.changed = 1;
  return h;
}

std::array<std::byte, kBlobHeaderSize> NewBlobFileImage() {
  TBlobHeader h = NewBlobHeader();
  ++h.change_count;  // what the header write adds
  std::array<std::byte, kBlobHeaderSize> image{};
  EncodeBlobHeader(h, image);
  return image;
}

void EmptyBlobHeader(TBlobHeader& h) {
  h.version = kBlobFormatVersion;
  h.end_offset = kFirstBlockOffset;
  h.free_head = 0;
  h.changed = 1;
}

int VerifyBlobHeader(const TBlobHeader& h, std::uint16_t block_size) {
  if (h.version != kBlobFormatVersion) return -static_cast<int>(kWrongVersion);
  constexpr int kCorrupt = -static_cast<int>(kHeaderCorrupt);
  // New blocks go to the end offset: below 512 they would overwrite the header.
  if (h.end_offset < kFirstBlockOffset) return kCorrupt;
  if (h.end_offset == kFirstBlockOffset) return h.free_head == 0 ? 0 : kCorrupt;
  if (h.free_head == 0) return 0;
  const std::int64_t last_block = static_cast<std::int64_t>(h.end_offset) - block_size;
  return h.free_head >= kFirstBlockOffset && h.free_head <= last_block ? 0 : kCorrupt;
}

std::uint16_t BlobBlockSize(std::uint32_t stored) {
  const auto low = static_cast<std::uint16_t>(stored & 0xFFFF);
  return low == 0 ? static_cast<std::uint16_t>(kDefaultBlobBlockSize) : low;
}

std::size_t BlobDataSize(std::uint16_t block_size) {
  return block_size > kBlockHeaderSize ? block_size - kBlockHeaderSize : 0;
}

std::int64_t BlocksForSize(std::int64_t size, std::size_t data_size) {
  if (size <= 0 || data_size == 0) return 0;
  const auto d = static_cast<std::int64_t>(data_size);
  return (size + d - 1) / d;
}

int MaxBlocksPerRead(std::uint16_t block_size) {
  return block_size == 0 ? 0 : 65535 / block_size;
}

int BlockCacheCapacity(std::uint16_t block_size) {
  return block_size == 0 ? 0 : std::min(131070 / block_size, 32767);
}

bool IsValidBlockLink(std::int32_t offset, std::int32_t end_offset) {
  return offset >= kFirstBlockOffset && offset <= end_offset;
}

std::int32_t NextBlobStamp(std::int32_t counter) {
  return counter == std::numeric_limits<std::int32_t>::max() ? 1 : counter + 1;
}

}  // namespace tarvo

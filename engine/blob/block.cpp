#include "engine/blob/block.h"

#include <algorithm>
#include <cassert>

#include "errors/engine_error.h"
#include "engine/format/byte_codec.h"

namespace tarvo {

namespace {
constexpr int kBadLength = -static_cast<int>(kInvalidBlobLength);
}  // namespace

TBlockHeader DecodeBlockHeader(std::span<const std::byte, kBlockHeaderSize> raw) {
  TBlockHeader h;
  h.prev = GetI32(raw, kOffBlockPrev);
  h.next = GetI32(raw, kOffBlockNext);
  h.used = GetU16(raw, kOffBlockUsed);
  h.stamp = GetI32(raw, kOffBlockStamp);
  h.total_size = GetI32(raw, kOffBlockTotalSize);
  return h;
}

void EncodeBlockHeader(const TBlockHeader& h, std::span<std::byte, kBlockHeaderSize> raw) {
  PutI32(raw, kOffBlockPrev, h.prev);
  PutI32(raw, kOffBlockNext, h.next);
  PutU16(raw, kOffBlockUsed, h.used);
  PutI32(raw, kOffBlockStamp, h.stamp);
  PutI32(raw, kOffBlockTotalSize, h.total_size);
}

TBlock::TBlock(std::uint16_t block_size) : block_size_(block_size), data_(BlobDataSize(block_size)) {}

void TBlock::Clear() {
  raw_header_.fill(std::byte{0});
  header_ = TBlockHeader{};
  std::fill(data_.begin(), data_.end(), std::byte{0});
  modified_ = false;
  pin_count_ = 0;
}

void TBlock::Decode(std::span<const std::byte> image) {
  assert(image.size() == block_size_);
  if (image.size() < kBlockHeaderSize + data_.size()) return;  // a caller's bug, not the file's
  std::copy_n(image.begin(), kBlockHeaderSize, raw_header_.begin());
  std::copy_n(image.begin() + kBlockHeaderSize, data_.size(), data_.begin());
  header_ = DecodeBlockHeader(raw_header_);
  modified_ = false;
}

void TBlock::Encode(std::span<std::byte> image) {
  assert(image.size() == block_size_);
  if (image.size() < kBlockHeaderSize + data_.size()) return;
  EncodeBlockHeader(header_, raw_header_);
  std::copy(raw_header_.begin(), raw_header_.end(), image.begin());
  std::copy(data_.begin(), data_.end(), image.begin() + kBlockHeaderSize);
  modified_ = false;
}

int TBlock::WriteData(std::size_t data_offset, std::span<const std::byte> bytes) {
  if (data_offset > data_.size() || bytes.size() > data_.size() - data_offset) return kBadLength;
  std::copy(bytes.begin(), bytes.end(), data_.begin() + static_cast<std::ptrdiff_t>(data_offset));
  SetUsedBytes(static_cast<std::uint16_t>(data_offset + bytes.size()));
  if (!bytes.empty()) modified_ = true;
  return 0;
}

int TBlock::ReadData(std::size_t data_offset, std::span<std::byte> out) const {
  if (data_offset > data_.size() || out.size() > data_.size() - data_offset) return kBadLength;
  const std::size_t used = std::min<std::size_t>(header_.used, data_.size());
  const std::size_t available = used > data_offset ? used - data_offset : 0;
  const std::size_t n = std::min(out.size(), available);
  std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(data_offset), n, out.begin());
  return static_cast<int>(n);
}

}  // namespace tarvo

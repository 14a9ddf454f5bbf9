#include "engine/blob/blob_buffer.h"

#include <algorithm>

#include "engine/blob/blob_chain.h"

namespace tarvo {

namespace {
constexpr int kBadLength = -static_cast<int>(kInvalidBlobLength);
}  // namespace

TBlobBuffer::TBlobBuffer(const TBlobBufferInit& init)
    : handle_(init.handle),
      stamp_(init.stamp),
      record_number_(init.record_number),
      field_number_(init.field_number),
      first_block_(init.first_block),
      mode_(init.mode),
      engine_internal_(init.engine_internal) {}

int TBlobBuffer::Resize(std::int64_t n) {
  if (n > kMaxSize) return kBadLength;
  if (n < 0) n = 0;
  if (n == Size()) return 0;
  modified_ = true;
  if (n == 0) {
    std::vector<std::byte>().swap(bytes_);
  } else {
    bytes_.resize(static_cast<std::size_t>(n));
  }
  return 0;
}

std::size_t TBlobBuffer::Read(std::int64_t offset, std::span<std::byte> out, bool& reached_end) const {
  const std::int64_t size = Size();
  const auto wanted = static_cast<std::int64_t>(out.size());
  reached_end = offset < 0 || offset + wanted > size;
  if (offset < 0 || offset >= size) return 0;
  const auto n = static_cast<std::size_t>(std::min(wanted, size - offset));
  std::copy_n(bytes_.begin() + offset, n, out.begin());
  return n;
}

int TBlobBuffer::Write(std::int64_t offset, std::span<const std::byte> bytes) {
  const auto length = static_cast<std::int64_t>(bytes.size());
  if (offset < 0 || offset + length > kMaxSize) return kBadLength;
  if (offset + length > Size()) {
    if (const int rc = Resize(offset + length); rc != 0) return rc;
  }
  const auto at = bytes_.begin() + offset;
  if (!std::equal(bytes.begin(), bytes.end(), at)) {
    std::copy(bytes.begin(), bytes.end(), at);
    modified_ = true;
  }
  return 0;
}

void TBlobBuffer::Load(TBlobFile& file) {
  bytes_ = LoadBlobValue(file, first_block_, stamp_);
  modified_ = false;
}

void TBlobBuffer::Store(TBlobFile& file) {
  first_block_ = StoreBlobValue(file, first_block_, bytes_, stamp_);
  modified_ = false;
}

void TBlobBuffer::Free(TBlobFile& file) {
  if (first_block_ == 0) return;
  FreeBlobValue(file, first_block_, stamp_);
  first_block_ = 0;
}

void TBlobBuffer::Detach() {
  first_block_ = 0;
  modified_ = !bytes_.empty();
}

}  // namespace tarvo

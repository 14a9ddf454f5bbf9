#include "support/memory_block.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "errors/engine_error.h"

namespace tarvo {

namespace {

std::atomic<std::int64_t> allocated_bytes{0};

}  // namespace

std::int64_t AllocatedBytes() {
  return allocated_bytes.load();
}

TMemoryBlock::TMemoryBlock(std::size_t granule) : granule_(granule == 0 ? 1 : granule) {}

TMemoryBlock::~TMemoryBlock() {
  Free();
}

TMemoryBlock::TMemoryBlock(TMemoryBlock&& other) noexcept
    : granule_(other.granule_),
      data_(std::exchange(other.data_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)) {}

TMemoryBlock& TMemoryBlock::operator=(TMemoryBlock&& other) noexcept {
  if (this != &other) {
    Free();
    granule_ = other.granule_;
    data_ = std::exchange(other.data_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

void TMemoryBlock::Reserve(std::size_t size) {
  if (TryReserve(size) < 0) RaiseEngineError(kOutOfMemory);
}

int TMemoryBlock::TryReserve(std::size_t size) {
  if (size == 0) {
    std::free(data_);
    allocated_bytes.fetch_sub(static_cast<std::int64_t>(capacity_));
    data_ = nullptr;
    capacity_ = 0;
    return 0;
  }
  if (size > kMaxBlockSize) return -static_cast<int>(kOutOfMemory);
  const std::size_t wanted = (size + granule_ - 1) / granule_ * granule_;
  if (wanted <= capacity_) return 0;
  auto* grown = static_cast<std::byte*>(std::realloc(data_, wanted));
  if (grown == nullptr) return -static_cast<int>(kOutOfMemory);
  std::memset(grown + capacity_, 0, wanted - capacity_);
  allocated_bytes.fetch_add(static_cast<std::int64_t>(wanted - capacity_));
  data_ = grown;
  capacity_ = wanted;
  return 0;
}

}  // namespace tarvo

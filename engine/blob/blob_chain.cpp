#include "engine/blob/blob_chain.h"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <unordered_set>

namespace tarvo {

namespace {

// The blocks a walk along a chain has met: the first few in place (most values take a handful of
// blocks), the rest in a hash set.
class TMetBlocks {
 public:
  explicit TMetBlocks(std::int32_t first) { (void)Insert(first); }
  // False when `block` was met before.
  bool Insert(std::int32_t block) {
    if (std::find(few_.begin(), few_.begin() + static_cast<std::ptrdiff_t>(count_), block) !=
        few_.begin() + static_cast<std::ptrdiff_t>(count_)) {
      return false;
    }
    if (count_ < few_.size()) {
      few_[count_++] = block;
      return true;
    }
    return many_.insert(block).second;
  }

 private:
  std::array<std::int32_t, 16> few_{};
  std::size_t count_ = 0;
  std::unordered_set<std::int32_t> many_;
};

std::int64_t BlocksLeft(std::int64_t bytes_left, std::size_t data_size) {
  return std::max<std::int64_t>(BlocksForSize(bytes_left, data_size), 1);
}

enum class TLoad {
  kDone,
  kStartOver,  // the table was found changed: its caches are gone
  kNotCached,  // a cache-only load met a block the cache does not hold, or anything amiss
};

// One attempt of LoadBlobValue into the bytes `place(size)` gives. A `cached_only` load reads
// nothing and asks nothing: it gives up (kNotCached) where the checked load would read, start
// over or raise.
template <typename Place>
TLoad TryLoad(TBlobFile& file, std::int32_t first_block, std::int32_t stamp, bool cached_only, Place&& place) {
  const auto fail = [&](TEngineCode code) -> TLoad {
    if (cached_only) return TLoad::kNotCached;
    file.Raise(code);
  };
  const auto get = [&](std::int32_t offset, std::int64_t count, bool read_ahead) {
    return cached_only ? file.GetCachedBlock(offset) : file.GetBlock(offset, count, read_ahead);
  };
  const TLoad missed = cached_only ? TLoad::kNotCached : TLoad::kStartOver;
  const std::size_t data_size = file.DataSize();
  if (!file.IsBlockOffset(first_block)) {
    if (!cached_only && file.RefreshIfChanged()) return TLoad::kStartOver;
    return fail(kBlobBuffersCorrupt);
  }
  TBlockPin current(file, get(first_block, 1, false));
  if (!current) return missed;
  // 1. The first block names the value and its size.
  if (current->BlobStamp() != stamp) return fail(kRecordChanged);
  const std::int64_t size = current->TotalSize();
  // A size that no chain of this file can hold is never allocated.
  if (size < 0 || BlocksForSize(size, data_size) > file.BlockCount()) return fail(kEndOfBlob);
  const std::span<std::byte> value = place(static_cast<std::size_t>(size));
  // 2. Block after block until the size is read.
  TMetBlocks met(first_block);
  std::int64_t read = 0;
  while (read < size) {
    if (current->BlobStamp() != stamp) return fail(kRecordChanged);
    if (current->PinCount() > 1) return fail(kBlobBuffersCorrupt);
    const auto want =
        static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(data_size), size - read));
    const int got = current->ReadData(0, value.subspan(static_cast<std::size_t>(read), want));
    if (got < 0) return fail(static_cast<TEngineCode>(-got));
    read += got;
    if (static_cast<std::size_t>(got) < want || read >= size) break;
    const std::int32_t next = current->NextBlock();
    if (next == 0) break;
    if (!met.Insert(next)) return fail(kBlobBuffersCorrupt);
    if (!file.IsBlockOffset(next)) {
      if (!cached_only && file.RefreshIfChanged()) return TLoad::kStartOver;
      return fail(kBlobBuffersCorrupt);
    }
    TBlock* following = get(next, BlocksLeft(size - read, data_size), true);
    if (following == nullptr) return missed;
    current = TBlockPin(file, following);
  }
  current.Reset();
  if (read != size) return fail(kEndOfBlob);
  return TLoad::kDone;
}

}  // namespace

std::vector<std::byte> LoadBlobValue(TBlobFile& file, std::int32_t first_block, std::int32_t stamp) {
  std::vector<std::byte> value;
  if (first_block == 0) return value;
  const auto place = [&](std::size_t size) {
    value.resize(size);
    return std::span(value);
  };
  while (TryLoad(file, first_block, stamp, false, place) != TLoad::kDone) {
  }
  return value;
}

bool LoadCachedBlobValue(TBlobFile& file, std::int32_t first_block, std::int32_t stamp,
                         std::vector<std::byte>& value) {
  value.clear();
  if (first_block == 0) return true;
  const auto place = [&](std::size_t size) {
    value.resize(size);
    return std::span(value);
  };
  return TryLoad(file, first_block, stamp, true, place) == TLoad::kDone;
}

std::span<std::byte> TBlobValueBuffer::Take(std::size_t size) {
  if (size > capacity_) {
    bytes_ = std::make_unique_for_overwrite<std::byte[]>(size);
    capacity_ = size;
  }
  return {bytes_.get(), size};
}

std::span<const std::byte> LoadBlobValue(TBlobFile& file, std::int32_t first_block, std::int32_t stamp,
                                         TBlobValueBuffer& into) {
  if (first_block == 0) return {};
  std::span<std::byte> value;
  const auto place = [&](std::size_t size) {
    value = into.Take(size);
    return value;
  };
  while (TryLoad(file, first_block, stamp, false, place) != TLoad::kDone) {
  }
  return value;
}

std::int32_t StoreBlobValue(TBlobFile& file, std::int32_t first_block, std::span<const std::byte> value,
                            std::int32_t stamp) {
  if (value.empty()) {
    FreeBlobValue(file, first_block, stamp);
    return 0;
  }
  if (value.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    file.Raise(kInvalidBlobLength);
  }
  const std::size_t data_size = file.DataSize();
  const auto size = static_cast<std::int64_t>(value.size());
  // 1. The first block: the old one, or a new one.
  TBlockPin current;
  std::int64_t old_size = 0;
  if (first_block != 0) {
    if (!file.IsBlockOffset(first_block)) file.Raise(kBlobBuffersCorrupt);
    current = TBlockPin(file, &file.GetBlockForWrite(first_block, 1, false));
    if (current->PinCount() > 1) file.Raise(kBlobBuffersCorrupt);
    old_size = std::max(current->TotalSize(), 0);
  } else {
    current = TBlockPin(file, &file.AllocateBlock());
    first_block = current->Offset();
  }
  std::unordered_set<std::int32_t> chain{first_block};
  current->SetPrevBlock(0);
  current->SetBlobStamp(stamp);
  current->SetTotalSize(static_cast<std::int32_t>(size));
  // 2. Fill block after block, following the old chain while it lasts.
  std::int64_t written = 0;
  for (;;) {
    const auto n = static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(data_size), size - written));
    const int rc = current->WriteData(0, value.subspan(static_cast<std::size_t>(written), n));
    if (rc < 0) file.Raise(static_cast<TEngineCode>(-rc));
    written += static_cast<std::int64_t>(n);
    if (written >= size) break;
    TBlock* following = nullptr;
    if (const std::int32_t next = current->NextBlock(); next != 0) {
      if (!file.IsBlockOffset(next) || chain.contains(next)) file.Raise(kBlobBuffersCorrupt);
      following = &file.GetBlockForWrite(next, BlocksLeft(old_size - written, data_size), true);
    } else {
      following = &file.AllocateBlock();
    }
    TBlockPin pin(file, following);
    if (pin->PinCount() > 1 || chain.contains(pin->Offset())) file.Raise(kBlobBuffersCorrupt);
    chain.insert(pin->Offset());
    current->SetNextBlock(pin->Offset());
    pin->SetPrevBlock(current->Offset());
    pin->SetBlobStamp(stamp);
    pin->SetTotalSize(0);
    current = std::move(pin);
  }
  // 3. A longer old chain: free what is left of it.
  if (const std::int32_t rest = current->NextBlock(); rest != 0) {
    if (!file.IsBlockOffset(rest) || chain.contains(rest)) file.Raise(kBlobBuffersCorrupt);
    file.FreeChain(rest, stamp, BlocksLeft(old_size - written, data_size), false, &chain);
    current->SetNextBlock(0);
  }
  return first_block;
}

void FreeBlobValue(TBlobFile& file, std::int32_t first_block, std::int32_t stamp) {
  if (first_block == 0) return;
  if (!file.IsBlockOffset(first_block)) file.Raise(kBlobBuffersCorrupt);
  std::int64_t count = 1;
  {
    const TBlockPin first(file, &file.GetBlockForWrite(first_block, 1, false));
    count = BlocksLeft(first->TotalSize(), file.DataSize());
  }
  file.FreeChain(first_block, stamp, count, false);
}

}  // namespace tarvo

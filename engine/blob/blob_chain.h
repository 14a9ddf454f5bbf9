// Blob values as block chains of a blob file: loading a whole value, storing one (rewriting the
// old chain in place, then taking free blocks, then appending) and freeing one. A record keeps
// only the first block's offset and the value's stamp; every block of the chain carries the
// stamp, the first also the value's total size.
//
// Every walk along a chain meets each block at most once and follows only offsets of existing
// blocks, so a damaged chain (a pointer off the grid or past the end, a block naming itself, a
// cycle) ends with an engine error after at most BlockCount() blocks:
//   8708  a block of the value carries another stamp (loading)
//   8711  the chain ends before the recorded size, or the size cannot be held by the file
//   8963  a pointer that names no block, a block met twice, a block held by someone else
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "engine/blob/blob_file.h"

namespace tarvo {

// The value whose chain starts at `first_block` (0: empty) and whose record holds `stamp`.
// Starts over when another session changed the file meanwhile.
std::vector<std::byte> LoadBlobValue(TBlobFile& file, std::int32_t first_block, std::int32_t stamp);

// As above from the cache alone: false, with nothing read from the file, when a block of the
// chain is not cached or anything about the chain is amiss (the checked load then decides).
[[nodiscard]] bool LoadCachedBlobValue(TBlobFile& file, std::int32_t first_block, std::int32_t stamp,
                                       std::vector<std::byte>& value);

// Room for one loaded value after another: it grows as needed and is never cleared.
class TBlobValueBuffer {
 public:
  // `size` bytes of it; what they held is gone.
  std::span<std::byte> Take(std::size_t size);

 private:
  std::unique_ptr<std::byte[]> bytes_;
  std::size_t capacity_ = 0;
};

// As above, loaded into `into`: the value stays valid until `into` is used again.
std::span<const std::byte> LoadBlobValue(TBlobFile& file, std::int32_t first_block, std::int32_t stamp,
                                         TBlobValueBuffer& into);

// Stores `value` with the new `stamp` and returns the new first block (0 for an empty value).
// The old chain at `first_block` (0: none) is rewritten in place; more blocks come from the free
// list, then from the end of the file; the rest of a longer old chain is freed. An empty value
// frees the old chain. 10029 for a value of 2 GB or more.
// Requires: the writer or table lock, or the table open exclusively.
[[nodiscard]] std::int32_t StoreBlobValue(TBlobFile& file, std::int32_t first_block,
                                          std::span<const std::byte> value, std::int32_t stamp);

// Frees the chain at `first_block` (nothing for 0), giving foreign blocks the stamp on the way.
// Requires: as StoreBlobValue.
void FreeBlobValue(TBlobFile& file, std::int32_t first_block, std::int32_t stamp);

}  // namespace tarvo

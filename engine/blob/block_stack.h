// TBlockStack: the pool of spare TBlock objects of one blob file, so that the block cache does
// not allocate a block for every miss. Holds at most kMaxSpares blocks, all of one block size;
// a block given back when the pool is full is freed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/blob/block.h"

namespace tarvo {

class TBlockStack {
 public:
  static constexpr std::size_t kMaxSpares = 4095;

  explicit TBlockStack(std::uint16_t block_size = static_cast<std::uint16_t>(kDefaultBlobBlockSize));

  // The last spare block, cleared and unpinned, or a new one.
  std::unique_ptr<TBlock> Take();
  // Keeps `block` as a spare (or frees it) and leaves the caller's pointer empty.
  void Give(std::unique_ptr<TBlock>& block);
  // Frees every spare; later blocks have `block_size` bytes.
  void Reset(std::uint16_t block_size);

  std::uint16_t BlockSize() const { return block_size_; }
  std::size_t SpareCount() const { return spares_.size(); }

 private:
  std::uint16_t block_size_;
  std::vector<std::unique_ptr<TBlock>> spares_;
};

}  // namespace tarvo

#include "engine/blob/block_stack.h"

namespace tarvo {

TBlockStack::TBlockStack(std::uint16_t block_size) : block_size_(block_size) {}

std::unique_ptr<TBlock> TBlockStack::Take() {
  if (spares_.empty()) return std::make_unique<TBlock>(block_size_);
  std::unique_ptr<TBlock> block = std::move(spares_.back());
  spares_.pop_back();
  block->Clear();
  block->SetOffset(0);
  block->SetNewer(nullptr);
  block->SetOlder(nullptr);
  return block;
}

void TBlockStack::Give(std::unique_ptr<TBlock>& block) {
  if (block == nullptr) return;
  if (spares_.size() < kMaxSpares && block->BlockSize() == block_size_) {
    spares_.push_back(std::move(block));
  }
  block.reset();
}

void TBlockStack::Reset(std::uint16_t block_size) {
  spares_.clear();
  block_size_ = block_size;
}

}  // namespace tarvo

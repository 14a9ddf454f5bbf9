#include "engine/blob/free_list.h"

namespace tarvo {

std::int32_t NextAllocationOffset(const TBlobHeader& h) {
  return h.free_head != 0 ? h.free_head : h.end_offset;
}

void TakeAllocatedBlock(TBlobHeader& h, TBlock& block) {
  // An appended block leaves the list as it is (it was empty).
  if (h.free_head != 0 && block.Offset() == h.free_head) h.free_head = block.NextBlock();
  const int pins = block.PinCount();
  block.Clear();
  for (int i = 0; i < pins; ++i) block.Pin();
  block.SetModified(true);
  h.changed = 1;
}

void PushFreeBlock(TBlobHeader& h, TBlock& block) {
  block.SetNextBlock(h.free_head);
  h.free_head = block.Offset();
  h.changed = 1;
}

}  // namespace tarvo

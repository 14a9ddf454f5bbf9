// The free block list of a blob file: freed blocks linked through their next pointers, the head
// in the file header. These are the list's in-memory steps; TBlobFile gets and writes the blocks.
#pragma once

#include "engine/blob/blob_header.h"
#include "engine/blob/block.h"

namespace tarvo {

// The offset the next allocation takes: the free list head, or the end offset when the list is
// empty (the block is then appended).
std::int32_t NextAllocationOffset(const TBlobHeader& h);

// Allocation of `block`, got at NextAllocationOffset(h): the list head becomes the block's next
// pointer (0 for an appended block); the block's header fields and data are cleared and it is
// marked modified. Sets the header changed.
void TakeAllocatedBlock(TBlobHeader& h, TBlock& block);

// Frees `block`: its next pointer becomes the list head, the head becomes its offset. The block
// keeps its stamp, previous pointer and sizes (the next allocation clears them).
void PushFreeBlock(TBlobHeader& h, TBlock& block);

}  // namespace tarvo

#include "engine/maintenance/repair_blob.h"

#include <algorithm>

namespace tarvo {

namespace {

constexpr char kInvalidPointer[] = "Invalid intra-block pointer in BLOB file for physical record # ";
constexpr char kRecursivePointer[] = "Recursive intra-block pointer in BLOB file for physical record # ";

// Blocks cached while the repair runs: about 1 MB (the pass reads each chain once, in slot order).
constexpr std::int64_t kRepairBlockCacheBytes = 1 << 20;

std::int64_t CeilDiv(std::int64_t a, std::int64_t b) {
  return a <= 0 ? 0 : (a + b - 1) / b;
}

}  // namespace

TBlobRepair::TBlobRepair(TBlobFile& file, bool verify_only, bool lenient, TLog log)
    : file_(file), verify_(verify_only), lenient_(lenient), log_(std::move(log)) {
  file_.SetCacheCapacity(
      static_cast<int>(std::max<std::int64_t>(255, kRepairBlockCacheBytes / file_.BlockSize())));
}

void TBlobRepair::Report(const char* text, std::int32_t r) const {
  ++chain_faults_;
  if (!log_) return;
  std::string message = text + std::to_string(r) + ", " + (verify_ ? "error not fixed" : "error fixed");
  log_(message.substr(0, 255));
}

std::size_t TBlobRepair::BlockIndex(std::int32_t offset) const {
  return static_cast<std::size_t>((static_cast<std::int64_t>(offset) - kFirstBlockOffset) /
                                  file_.BlockSize());
}

void TBlobRepair::AlignFile() {
  const std::int64_t block = file_.BlockSize();
  const std::int64_t size = file_.GetSize();
  if (size > kFirstBlockOffset && (size - kFirstBlockOffset) % block != 0) {
    if (log_) log_("BLOB blocks not aligned on even block size boundaries, error fixed");
    file_.DropBlocks();
    file_.WriteAt(size - (size - kFirstBlockOffset) % block, {});
  }
  TBlobHeader& h = file_.MutableHeader();
  const TBlobHeader before = h;
  const std::int64_t end = std::min<std::int64_t>(file_.GetSize(), kMaxBlobFileEnd);
  h.end_offset = static_cast<std::int32_t>(end - (end - kFirstBlockOffset) % block);
  // Blocks appended by an operation that was cut off before the header followed them, or a header
  // that counts blocks the file does not hold.
  if (h.end_offset != before.end_offset && log_) log_("Invalid end offset in BLOB file header, error fixed");
  stored_free_head_ = h.free_head;
  // A verification keeps the free list: emptying it would leave its blocks unused for good.
  if (!verify_) {
    h.version = kBlobFormatVersion;
    h.free_head = 0;
  }
  if (!verify_ || !(h == before)) file_.MarkModified();
  block_count_ = file_.BlockCount();
  state_.assign((static_cast<std::size_t>(block_count_) + 3) / 4, 0);
}

const char* TBlobRepair::BadLink(std::int32_t next) const {
  if (!file_.IsBlockOffset(next)) return kInvalidPointer;
  if (StateOf(next) != kUnseen) return kRecursivePointer;
  return nullptr;
}

const char* TBlobRepair::BadFollower(TBlock& following, std::int32_t stamp) {
  if (following.PinCount() > 1) return kRecursivePointer;
  if (following.BlobStamp() != stamp) {
    if (!lenient_) return kInvalidPointer;
    following.SetBlobStamp(stamp);
  }
  return nullptr;
}

void TBlobRepair::CutChain(TBlock& block, const char* fault, std::int32_t r) {
  Report(fault, r);
  if (!verify_) block.SetNextBlock(0);
}

bool TBlobRepair::InRange(std::int32_t reference) const {
  return file_.IsBlockOffset(reference);
}

void TBlobRepair::ForgetRecord() {
  for (const std::int32_t offset : record_blocks_) SetState(offset, kUnseen);
  record_blocks_.clear();
}

void TBlobRepair::CheckLiveChain(std::int32_t r, std::int32_t stamp, std::int32_t& reference) {
  const std::int64_t data = static_cast<std::int64_t>(file_.DataSize());
  if (StateOf(reference) != kUnseen) {
    // The block belongs to a chain met before.
    Report("Invalid BLOB offset in BLOB file for physical record # ", r);
    if (!verify_) reference = 0;
    return;
  }
  // The chains lie mostly in the order of their records: a read of the first block brings the
  // blocks of the next values along.
  TBlockPin first(file_, &file_.GetBlockForWrite(reference, file_.MaxBlocksPerReadAhead(), true));
  if (first->BlobStamp() != stamp) {
    if (!lenient_) {
      Report("Invalid BLOB offset in BLOB file for physical record # ", r);
      if (!verify_) reference = 0;
      return;
    }
    first->SetBlobStamp(stamp);
  }
  const std::int64_t size = first->TotalSize();
  if (!verify_) first->SetPrevBlock(0);
  if (size <= 0) {
    WalkChain(r, stamp, std::move(first), 1);
    if (!verify_) reference = 0;
    return;
  }
  const std::size_t chain_start = record_blocks_.size();
  SetState(reference, kLive);
  record_blocks_.push_back(reference);
  TBlock* first_block = first.Get();
  TBlockPin current_pin;  // the current block when it is not the first
  TBlock* current = first_block;
  std::int64_t seen = 0;
  while (current->NextBlock() != 0) {
    const std::int64_t expected = std::min(data, size - seen);
    if (current->UsedBytes() != expected) {
      Report("Invalid block size in BLOB file for physical record # ", r);
      if (!verify_) current->SetNextBlock(0);
      break;
    }
    const std::int32_t next = current->NextBlock();
    if (const char* fault = BadLink(next)) {
      CutChain(*current, fault, r);
      break;
    }
    TBlockPin following(
        file_, &file_.GetBlockForWrite(next, std::max<std::int64_t>(1, CeilDiv(size - seen, data)), true));
    if (const char* fault = BadFollower(*following, stamp)) {
      CutChain(*current, fault, r);
      break;
    }
    seen += current->UsedBytes();
    if (!verify_) following->SetPrevBlock(current->Offset());
    SetState(next, kLive);
    record_blocks_.push_back(next);
    current_pin = std::move(following);
    current = current_pin.Get();
  }
  // The last block cannot hold more than a block's data.
  if (current->UsedBytes() > data) {
    Report("Invalid block size in BLOB file for physical record # ", r);
    if (!verify_) current->SetUsedBytes(static_cast<std::uint16_t>(data));
  }
  seen += std::min<std::int64_t>(current->UsedBytes(), data);
  if (seen != size) {
    Report("BLOB size mismatch in BLOB file for physical record # ", r);
    if (!verify_) {
      first_block->SetTotalSize(static_cast<std::int32_t>(seen));
      // A value that kept no byte is no value.
      // A value that kept no byte is none: its blocks go to the free list with the orphans.
      if (seen == 0) {
        for (std::size_t i = chain_start; i < record_blocks_.size(); ++i)
          SetState(record_blocks_[i], kUnseen);
        record_blocks_.resize(chain_start);
        reference = 0;
      }
    }
  }
}

void TBlobRepair::ReleaseChain(std::int32_t r, std::int32_t stamp, std::int32_t& reference) {
  if (StateOf(reference) != kUnseen) {
    Report("Invalid BLOB offset in BLOB file for physical record # ", r);
    reference = 0;
    return;
  }
  // The chains lie mostly in the order of their records: a read of the first block brings the
  // blocks of the next values along.
  TBlockPin first(file_, &file_.GetBlockForWrite(reference, file_.MaxBlocksPerReadAhead(), true));
  if (first->BlobStamp() != stamp) {
    if (!lenient_) {
      Report("Invalid BLOB offset in BLOB file for physical record # ", r);
      reference = 0;
      return;
    }
    first->SetBlobStamp(stamp);
  }
  const std::int64_t count = CeilDiv(first->TotalSize(), static_cast<std::int64_t>(file_.DataSize()));
  WalkChain(r, stamp, std::move(first), count);
  reference = 0;
}

void TBlobRepair::WalkChain(std::int32_t r, std::int32_t stamp, TBlockPin current, std::int64_t count) {
  SetState(current->Offset(), kReleased);
  std::int64_t ahead = std::max<std::int64_t>(count - 1, 1);
  while (current->NextBlock() != 0) {
    const std::int32_t next = current->NextBlock();
    if (const char* fault = BadLink(next)) {
      CutChain(*current, fault, r);
      break;
    }
    TBlockPin following(file_, &file_.GetBlockForWrite(next, ahead, true));
    ahead = std::max<std::int64_t>(ahead - 1, 1);
    if (const char* fault = BadFollower(*following, stamp)) {
      CutChain(*current, fault, r);
      break;
    }
    SetState(next, kReleased);
    if (!verify_) file_.FreeBlock(*current);
    current = std::move(following);
  }
  if (!verify_) file_.FreeBlock(*current);
}

void TBlobRepair::CheckFreeList(bool count_missing) {
  // The walk follows only blocks that no chain holds: the repair has changed none of them.
  bool sound = true;
  for (std::int32_t offset = stored_free_head_; offset != 0;) {
    if (!file_.IsBlockOffset(offset) || StateOf(offset) == kLive || StateOf(offset) == kFree) {
      sound = false;
      break;
    }
    SetState(offset, kFree);
    TBlockPin block(file_, &file_.GetBlockForWrite(offset, 1, true));
    offset = block->NextBlock();
  }
  if (sound && count_missing && chain_faults_ == 0) {
    for (std::int64_t k = 0; k < block_count_ && sound; ++k) {
      sound = StateOf(static_cast<std::int32_t>(kFirstBlockOffset + k * file_.BlockSize())) != kUnseen;
    }
  }
  if (!sound && log_) {
    log_(std::string("Invalid free block chain in BLOB file, ") +
         (verify_ ? "error not fixed" : "error fixed"));
  }
}

void TBlobRepair::FreeOrphans() {
  if (verify_) return;
  const std::int64_t blocks = block_count_;
  for (std::int64_t k = 0; k < blocks; ++k) {
    const auto offset = static_cast<std::int32_t>(kFirstBlockOffset + k * file_.BlockSize());
    // Blocks of the old free list were marked on the way through it: they go on the new one.
    if (StateOf(offset) != kUnseen && StateOf(offset) != kFree) continue;
    TBlockPin block(file_, &file_.GetBlockForWrite(offset, blocks - k, true));
    file_.FreeBlock(*block);
    SetState(offset, kReleased);
  }
}

}  // namespace tarvo

#include "engine/blob/blob_file.h"

#include <algorithm>
#include <array>
#include <cassert>

#include "engine/blob/free_list.h"
#include "engine/format/data_file.h"
#include "engine/format/encipher.h"

namespace tarvo {

TBlockPin& TBlockPin::operator=(TBlockPin&& other) noexcept {
  if (this != &other) {
    Reset();
    file_ = other.file_;
    block_ = other.block_;
    other.block_ = nullptr;
  }
  return *this;
}

void TBlockPin::Reset() noexcept {
  if (block_ != nullptr && file_ != nullptr) file_->ReleaseBlock(*block_);
  block_ = nullptr;
}

TBlobFile::TBlobFile(std::string table_name, const TDataFile& data_file, TBlobFileOwner& owner)
    : table_name_(std::move(table_name)), data_file_(data_file), owner_(owner) {}

TBlobFile::~TBlobFile() = default;

void TBlobFile::Raise(TEngineCode code) const {
  RaiseEngineError(code, table_name_);
}

bool TBlobFile::Encrypted() const {
  return data_file_.Encrypted();
}

void TBlobFile::SetBlockSize(std::uint32_t stored) {
  const std::uint16_t size = BlobBlockSize(stored);
  if (size == block_size_) return;
  DropBlocks();
  block_size_ = size;
  pool_.Reset(size);
}

void TBlobFile::ResetCache() {
  DropBlocks();
  pool_.Reset(block_size_);
  max_read_blocks_ = std::max(1, MaxBlocksPerRead(block_size_));
  base_capacity_ = capacity_override_ > 0 ? capacity_override_ : std::max(1, BlockCacheCapacity(block_size_));
  capacity_ = base_capacity_;
  window_start_ = 0;
  window_length_ = 0;
}

void TBlobFile::SetCacheCapacity(int blocks) {
  capacity_override_ = std::max(1, blocks);
  base_capacity_ = capacity_override_;
  capacity_ = base_capacity_;
}

void TBlobFile::Open() {
  if (IsOpen()) return;
  if (block_size_ < kMinUsableBlockSize) Raise(kBlobFieldLimits);
  TFileHandler::Open();
  try {
    if (GetSize() < static_cast<std::int64_t>(kBlobHeaderSize)) Raise(kHeaderCorrupt);
    ReadHeader();
  } catch (...) {
    TFileHandler::Close();
    throw;
  }
  ResetCache();
}

void TBlobFile::Close() {
  DropBlocks();
  detached_.clear();
  TFileHandler::Close();
}

void TBlobFile::Create() {
  if (block_size_ < kMinUsableBlockSize) Raise(kBlobFieldLimits);
  CreateNew();
  header_ = NewBlobHeader();
  modified_ = true;
  ResetCache();
}

TBlobHeader TBlobFile::DecodeImage(std::span<std::byte, kBlobHeaderSize> raw) const {
  if (Encrypted()) Encipher(raw, kRecordKey);
  return DecodeBlobHeader(raw);
}

void TBlobFile::ReadHeader() {
  std::array<std::byte, kBlobHeaderSize> raw{};
  (void)ReadAt(0, raw, false);
  header_ = DecodeImage(raw);
  header_.changed = 0;
  modified_ = false;
}

void TBlobFile::WriteHeader(bool force) {
  if (!force && !modified_) return;
  ++header_.change_count;
  header_.changed = 1;
  std::array<std::byte, kBlobHeaderSize> raw{};
  EncodeBlobHeader(header_, raw);
  if (Encrypted()) Encipher(raw, kRecordKey);
  WriteAt(0, raw);
  header_.changed = 0;
  modified_ = false;
}

void TBlobFile::BumpChangeCount() {
  ++header_.change_count;
  modified_ = true;
}

bool TBlobFile::HeaderChanged() {
  std::array<std::byte, kBlobHeaderSize> raw{};
  (void)ReadAt(0, raw, false);
  TBlobHeader fresh = DecodeImage(raw);
  if (fresh.change_count == header_.change_count) return false;
  fresh.changed = 0;
  header_ = fresh;
  modified_ = false;
  return true;
}

void TBlobFile::VerifyHeader() {
  if (const int rc = VerifyBlobHeader(header_, block_size_); rc != 0) {
    Raise(static_cast<TEngineCode>(-rc));
  }
}

void TBlobFile::Empty() {
  WriteAt(kBlobHeaderSize, {});
  DropBlocks();
  EmptyBlobHeader(header_);
  modified_ = true;
}

std::int64_t TBlobFile::BlockCount() const {
  const std::int64_t end = header_.end_offset;
  return end > kFirstBlockOffset ? (end - kFirstBlockOffset) / block_size_ : 0;
}

bool TBlobFile::IsBlockOffset(std::int64_t offset) const {
  return offset >= kFirstBlockOffset && offset < header_.end_offset &&
         (offset - kFirstBlockOffset) % block_size_ == 0;
}

// ---- The cache's lists ----

TBlock* TBlobFile::FindCached(std::int32_t offset) const {
  return cache_.Find(offset);
}

const TBlock* TBlobFile::CachedBlock(std::int32_t offset) const {
  return FindCached(offset);
}

void TBlobFile::InsertCached(std::unique_ptr<TBlock> block) {
  (void)cache_.Insert(std::move(block));
}

void TBlobFile::LinkNewest(TBlock* block) {
  block->SetOlder(newest_);
  block->SetNewer(nullptr);
  if (newest_ != nullptr) newest_->SetNewer(block);
  newest_ = block;
  if (oldest_ == nullptr) oldest_ = block;
}

void TBlobFile::Unlink(TBlock* block) {
  if (block->Newer() != nullptr) {
    block->Newer()->SetOlder(block->Older());
  } else if (newest_ == block) {
    newest_ = block->Older();
  }
  if (block->Older() != nullptr) {
    block->Older()->SetNewer(block->Newer());
  } else if (oldest_ == block) {
    oldest_ = block->Newer();
  }
  block->SetNewer(nullptr);
  block->SetOlder(nullptr);
}

void TBlobFile::MakeNewest(TBlock* block) {
  if (newest_ == block) return;
  Unlink(block);
  LinkNewest(block);
}

void TBlobFile::Give(std::unique_ptr<TBlock>& block) {
  pool_.Give(block);
}

// ---- Enciphered images ----

void TBlobFile::DecodeBlock(TBlock& block, std::span<std::byte> image) {
  if (Encrypted()) {
    Encipher(image.first(kBlockHeaderSize), kRecordKey);
    Encipher(image.subspan(kBlockHeaderSize), kRecordKey);
  }
  block.Decode(image);
}

void TBlobFile::EncodeBlock(TBlock& block, std::span<std::byte> image) {
  block.Encode(image);
  if (Encrypted()) {
    Encipher(image.first(kBlockHeaderSize), kRecordKey);
    Encipher(image.subspan(kBlockHeaderSize), kRecordKey);
  }
}

// ---- Getting blocks ----

TBlock* TBlobFile::GetBlock(std::int32_t offset, std::int64_t count, bool read_ahead) {
  return Fetch(offset, count, read_ahead, true);
}

TBlock& TBlobFile::GetBlockForWrite(std::int32_t offset, std::int64_t count, bool read_ahead) {
  TBlock* block = Fetch(offset, count, read_ahead, false);
  assert(block != nullptr);
  return *block;
}

TBlock* TBlobFile::GetCachedBlock(std::int32_t offset) {
  if (!IsBlockOffset(offset) || !undo_.empty()) return nullptr;
  TBlock* block = newest_ != nullptr && newest_->Offset() == offset ? newest_ : FindCached(offset);
  if (block == nullptr) return nullptr;
  MakeNewest(block);
  block->Pin();
  return block;
}

TBlock* TBlobFile::Fetch(std::int32_t offset, std::int64_t count, bool read_ahead, bool detect_changes) {
  if (offset == 0) Raise(kBlobBuffersCorrupt);
  if (offset == header_.end_offset) return AppendBlock();
  // An offset off the block grid or past the end cannot be a block of this file; following it
  // would read overlapping or missing bytes.
  if (!IsBlockOffset(offset)) Raise(kBlobBuffersCorrupt);

  // 1. and 2. The newest block, then the table.
  TBlock* block = nullptr;
  if (newest_ != nullptr && newest_->Offset() == offset) {
    block = newest_;
  } else if (block = FindCached(offset); block != nullptr) {
    MakeNewest(block);
  } else {
    // 3. A miss: another session may have written the file meanwhile.
    if (detect_changes && RefreshIfChanged()) return nullptr;
    ReadBlocks(offset, count, read_ahead);
    block = FindCached(offset);
    if (block == nullptr || block->Offset() != offset) Raise(kBlobBuffersCorrupt);
  }
  if (!undo_.empty()) KeepForUndo(*block);
  block->Pin();
  return block;
}

bool TBlobFile::RefreshIfChanged() {
  return owner_.ChangedByOthers();
}

void TBlobFile::ReserveCacheRoom(std::size_t more) {
  // Room for the insertions to come, so that they cannot fail half way; grown geometrically, as
  // growing by the few entries asked for would copy the whole list on every new block.
  cache_.Reserve(cache_.Size() + more);
}

TBlock* TBlobFile::AppendBlock() {
  if (header_.end_offset > kMaxBlobFileEnd) Raise(kTableFull);
  ReserveCacheRoom(1);
  std::unique_ptr<TBlock> slot = ObtainSlot(false);
  TBlock* block = slot.get();
  block->SetOffset(header_.end_offset);
  // The new block must reach the file, or the file would end before the end offset.
  block->SetModified(true);
  InsertCached(std::move(slot));
  block->Pin();
  header_.end_offset += block_size_;
  header_.changed = 1;
  modified_ = true;
  return block;
}

void TBlobFile::ReadBlocks(std::int32_t offset, std::int64_t count, bool read_ahead) {
  std::int64_t n = 1;
  // A value's first block (asked for alone) right behind the last read: the values are read in
  // the order they lie in.
  const std::int64_t neighbours =
      !read_ahead && sequential_blocks_ == 0 && offset == read_end_ ? max_read_blocks_ : 0;
  if (read_ahead || sequential_blocks_ > 0 || neighbours > 0) {
    const std::int64_t to_end = (static_cast<std::int64_t>(header_.end_offset) - offset) / block_size_;
    const std::int64_t asked = read_ahead ? std::min(static_cast<std::int64_t>(max_read_blocks_), count) : 1;
    n = std::min({std::max<std::int64_t>({asked, sequential_blocks_, neighbours}), to_end,
                  static_cast<std::int64_t>(capacity_)});
    n = std::max<std::int64_t>(n, 1);
  }
  const std::size_t bytes = static_cast<std::size_t>(n) * block_size_;
  if (read_buffer_.size() < bytes) read_buffer_.resize(bytes);
  const std::span<std::byte> buffer(read_buffer_.data(), bytes);

  struct TWindowGuard {
    TBlobFile& file;
    ~TWindowGuard() {
      file.window_start_ = 0;
      file.window_length_ = 0;
    }
  } window{*this};
  window_start_ = offset;
  window_length_ = static_cast<std::int64_t>(bytes);

  const std::size_t got = ReadAt(offset, buffer, true);
  ++read_count_;
  read_end_ = offset + static_cast<std::int64_t>(got);
  // Blocks appended but not yet written lie behind the file's end: only whole blocks count.
  const std::int64_t complete = static_cast<std::int64_t>(got / block_size_);
  if (complete == 0) Raise(kReadError);
  ReserveCacheRoom(static_cast<std::size_t>(complete));
  for (std::int64_t k = complete - 1; k >= 0; --k) {
    // Blocks not yet entered stay out of any flush: one written now would be refreshed from the
    // older bytes of the buffer. Those entered already may go.
    window_length_ = (k + 1) * block_size_;
    const auto at = static_cast<std::int32_t>(offset + k * block_size_);
    const std::span<std::byte> image = buffer.subspan(static_cast<std::size_t>(k) * block_size_, block_size_);
    if (TBlock* cached = FindCached(at); cached != nullptr) {
      if (!cached->Modified() && cached->PinCount() == 0) DecodeBlock(*cached, image);
      continue;
    }
    // Read-ahead is a guess: a block behind `offset` is left out when no slot is free.
    std::unique_ptr<TBlock> slot = ObtainSlot(k > 0);
    if (slot == nullptr) continue;
    slot->SetOffset(at);
    DecodeBlock(*slot, image);
    InsertCached(std::move(slot));
  }
}

TBlock* TBlobFile::FindEvictable() const {
  for (TBlock* b = oldest_; b != nullptr; b = b->Newer()) {
    if (!b->Modified() && b->PinCount() == 0) return b;
  }
  return nullptr;
}

std::unique_ptr<TBlock> TBlobFile::ObtainSlot(bool optional) {
  if (static_cast<int>(cache_.Size()) < capacity_) {
    std::unique_ptr<TBlock> block = pool_.Take();
    LinkNewest(block.get());
    return block;
  }
  TBlock* victim = FindEvictable();
  if (victim == nullptr && optional) return nullptr;
  // A transaction keeps its modified blocks in memory until it ends.
  const bool held = victim == nullptr && owner_.KeepsBlocksInMemory();
  if (victim == nullptr && !held) {
    FlushBlocks();
    victim = FindEvictable();
  }
  if (victim != nullptr) {
    std::unique_ptr<TBlock> block = cache_.Remove(victim->Offset());
    assert(block.get() == victim);
    MakeNewest(victim);
    block->Clear();
    block->SetOffset(0);
    return block;
  }
  if (!held) Raise(kBlobBuffersCorrupt);
  capacity_ += kCacheGrowth;
  std::unique_ptr<TBlock> block = pool_.Take();
  LinkNewest(block.get());
  return block;
}

void TBlobFile::ReleaseBlock(TBlock& block) {
  block.Unpin();
  if (block.PinCount() > 0 || detached_.empty()) return;
  const auto it = std::find_if(detached_.begin(), detached_.end(),
                               [&](const std::unique_ptr<TBlock>& b) { return b.get() == &block; });
  if (it == detached_.end()) return;
  std::unique_ptr<TBlock> gone = std::move(*it);
  detached_.erase(it);
  Give(gone);
}

// ---- Allocation and the free list ----

TBlock& TBlobFile::AllocateBlock() {
  // A damaged free list must not send new data over the header, past the end or between blocks.
  if (header_.free_head != 0 && !IsBlockOffset(header_.free_head)) Raise(kBlobBuffersCorrupt);
  TBlockPin pin(*this, &GetBlockForWrite(NextAllocationOffset(header_), 1, false));
  // A free block that someone holds is a block in use: the free list is damaged.
  if (pin->PinCount() > 1) Raise(kBlobBuffersCorrupt);
  TakeAllocatedBlock(header_, *pin);
  modified_ = true;
  TBlock* block = pin.Get();
  block->Pin();  // the caller's pin; the guard's goes now
  return *block;
}

void TBlobFile::FreeBlock(TBlock& block) {
  PushFreeBlock(header_, block);
  modified_ = true;
}

void TBlobFile::FreeChain(std::int32_t first, std::int32_t stamp, std::int64_t count, bool strict,
                          const std::unordered_set<std::int32_t>* keep) {
  if (!IsBlockOffset(first)) Raise(kBlobBuffersCorrupt);
  if (keep != nullptr && keep->contains(first)) Raise(kBlobBuffersCorrupt);
  // Every block is met at most once, so the walk ends after at most BlockCount() steps, and
  // nothing is freed twice: the free list stays a list.
  std::unordered_set<std::int32_t> met;
  met.insert(first);
  TBlockPin current(*this, &GetBlockForWrite(first, std::max<std::int64_t>(count, 1), true));
  while (current->NextBlock() != 0) {
    const std::int32_t next = current->NextBlock();
    if (!IsBlockOffset(next) || met.contains(next) || (keep != nullptr && keep->contains(next))) {
      Raise(kBlobBuffersCorrupt);
    }
    const auto left = std::max<std::int64_t>(count - static_cast<std::int64_t>(met.size()), 1);
    TBlockPin following(*this, &GetBlockForWrite(next, left, true));
    if (following->PinCount() > 1) Raise(kBlobBuffersCorrupt);
    if (following->BlobStamp() != stamp) {
      if (strict) Raise(kBlobBuffersCorrupt);
      following->SetBlobStamp(stamp);
    }
    met.insert(next);
    FreeBlock(*current);
    current = std::move(following);
  }
  FreeBlock(*current);
}

// ---- Write-back ----

bool TBlobFile::FlushBlocks() {
  std::vector<TBlock*>& dirty = dirty_;
  dirty.clear();
  const std::int64_t window_end = window_start_ + window_length_;
  cache_.ForEach([&](TBlock* b) {
    if (!b->Modified() || b->PinCount() > 0) return;
    if (window_length_ > 0 && b->Offset() >= window_start_ && b->Offset() < window_end) return;
    dirty.push_back(b);
  });
  if (dirty.empty()) return false;
  std::sort(dirty.begin(), dirty.end(),
            [](const TBlock* a, const TBlock* b) { return a->Offset() < b->Offset(); });
  std::size_t run_start = 0;
  while (run_start < dirty.size()) {
    std::size_t run_end = run_start + 1;
    while (run_end < dirty.size() && dirty[run_end]->Offset() == dirty[run_end - 1]->Offset() + block_size_) {
      ++run_end;
    }
    const std::size_t blocks = run_end - run_start;
    const std::size_t bytes = blocks * block_size_;
    if (write_buffer_.size() < bytes) write_buffer_.resize(bytes);
    const std::span<std::byte> buffer(write_buffer_.data(), bytes);
    for (std::size_t i = 0; i < blocks; ++i) {
      EncodeBlock(*dirty[run_start + i], buffer.subspan(i * block_size_, block_size_));
    }
    try {
      WriteAt(dirty[run_start]->Offset(), buffer);
    } catch (...) {
      // Not on the disk: keep them modified so that nothing is lost.
      for (std::size_t i = run_start; i < dirty.size(); ++i) dirty[i]->SetModified(true);
      throw;
    }
    ++write_count_;
    run_start = run_end;
  }
  owner_.SetDataWritten();
  // Blocks on the disk are a change the other openers must notice: the header, with its change
  // counter, follows them at the next header write even when no block was allocated or freed (a
  // value written over its own chain).
  modified_ = true;
  return true;
}

bool TBlobFile::CanAppend(std::int64_t blocks) const {
  // The k-th new block (from 0) goes to end offset + k * B, and an append needs the end offset
  // at or below the limit.
  return blocks <= 0 ||
         static_cast<std::int64_t>(header_.end_offset) + (blocks - 1) * block_size_ <= kMaxBlobFileEnd;
}

std::int64_t TBlobFile::CountFreeBlocks(std::int64_t most) {
  std::unordered_set<std::int32_t> met;
  std::int32_t offset = header_.free_head;
  while (offset != 0 && static_cast<std::int64_t>(met.size()) < most) {
    if (!IsBlockOffset(offset) || !met.insert(offset).second) Raise(kBlobBuffersCorrupt);
    const TBlockPin pin(*this, &GetBlockForWrite(offset, 1, false));
    offset = pin->NextBlock();
  }
  return static_cast<std::int64_t>(met.size());
}

void TBlobFile::BeginUndo() {
  std::unique_ptr<TUndo> undo = spare_undo_ != nullptr ? std::move(spare_undo_) : std::make_unique<TUndo>();
  undo->header = header_;
  undo->modified = modified_;
  undo->write_calls = WriteCalls();
  undo_.push_back(std::move(undo));
}

void TBlobFile::KeepForUndo(const TBlock& block) {
  TUndo& undo = *undo_.back();
  // Blocks appended by the change have nothing to go back to.
  if (block.Offset() >= undo.header.end_offset || undo.blocks.contains(block.Offset())) return;
  undo.blocks.emplace(block.Offset(), block);
}

void TBlobFile::EndUndo() {
  if (undo_.empty()) return;
  std::unique_ptr<TUndo> undo = std::move(undo_.back());
  undo_.pop_back();
  if (!undo_.empty()) {
    // A block the level below has not kept was not handed out since it began: its copy at the
    // start of the ended level is its content at the start of the level below.
    TUndo& below = *undo_.back();
    for (auto& [offset, copy] : undo->blocks) {
      if (offset < below.header.end_offset) below.blocks.try_emplace(offset, std::move(copy));
    }
  }
  undo->blocks.clear();
  spare_undo_ = std::move(undo);
}

bool TBlobFile::UndoChange() {
  if (undo_.empty()) return false;
  const std::unique_ptr<TUndo> undo = std::move(undo_.back());
  undo_.pop_back();
  const bool wrote = WriteCalls() != undo->write_calls;
  // 1. Cache and header as they were. What reached the file meanwhile must be written again:
  // every block put back counts as changed then.
  std::vector<TBlock*>& made = dirty_;
  made.clear();
  cache_.ForEach([&](TBlock* b) {
    if (b->Offset() >= undo->header.end_offset && b->PinCount() == 0) made.push_back(b);
  });
  for (TBlock* b : made) {
    Unlink(b);
    std::unique_ptr<TBlock> gone = cache_.Remove(b->Offset());
    Give(gone);
  }
  std::vector<TBlock*> gone;
  for (auto& [offset, copy] : undo->blocks) {
    TBlock* block = FindCached(offset);
    if (block == nullptr) {
      if (wrote) gone.push_back(&copy);
      continue;
    }
    RestoreCachedContent(*block, copy, copy.Modified() || wrote);
  }
  const std::int32_t change_count = header_.change_count;
  header_ = undo->header;
  header_.change_count = change_count;
  modified_ = undo->modified || wrote;
  if (!wrote) return false;
  // 2. Blocks written and dropped from the cache meanwhile go back to the file as they were, and
  // blocks appended since are cut off.
  std::vector<std::byte> image(block_size_);
  for (TBlock* copy : gone) {
    EncodeBlock(*copy, image);
    WriteAt(copy->Offset(), image);
  }
  if (GetSize() > header_.end_offset) WriteAt(header_.end_offset, {});
  return true;
}

void TBlobFile::DropBlocks() {
  cache_.ForEachOwned([&](std::unique_ptr<TBlock>& block) {
    block->SetNewer(nullptr);
    block->SetOlder(nullptr);
    if (block->PinCount() > 0) {
      detached_.push_back(std::move(block));
    } else {
      Give(block);
    }
  });
  cache_.Clear();
  newest_ = nullptr;
  oldest_ = nullptr;
}

void TBlobFile::TrimCache() {
  capacity_ = base_capacity_;
  if (static_cast<int>(cache_.Size()) <= base_capacity_) return;
  // Blocks still held or not yet written stay: dropping them would lose data. The others go
  // from the high end.
  std::vector<TBlock*>& spare = dirty_;
  spare.clear();
  cache_.ForEach([&](TBlock* b) {
    if (b->PinCount() == 0 && !b->Modified()) spare.push_back(b);
  });
  std::sort(spare.begin(), spare.end(),
            [](const TBlock* a, const TBlock* b) { return a->Offset() > b->Offset(); });
  for (TBlock* block : spare) {
    if (static_cast<int>(cache_.Size()) <= base_capacity_) break;
    Unlink(block);
    std::unique_ptr<TBlock> gone = cache_.Remove(block->Offset());
    Give(gone);
  }
}

}  // namespace tarvo

// TBlobFile: the handler of a table's blob file (.BLB). Keeps the 512-byte header in memory,
// creates, reads, writes and verifies it and notices writes by other openers. It also keeps the
// block cache: blocks found by offset in a hash table, a recency list (most recent first),
// read-ahead of up to R = 65535 div B
// blocks in one read, and write-back of modified blocks in runs of adjacent blocks.
//
// Invariants: every cached block has an offset 512 + k * B below the end offset, and no offset
// is cached twice. A pinned block is never evicted, refreshed, written or freed; a block that the
// cache drops while it is pinned lives on until its last pin goes (TBlockPin never dangles).
// Blocks in the cache are plain text; the file holds them enciphered when the table is encrypted
// (block header and data area as two pieces).
//
// Not guarded: callers serialise access through the table.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "errors/engine_error.h"
#include "engine/blob/blob_header.h"
#include "engine/blob/block.h"
#include "engine/blob/block_stack.h"
#include "support/file_handler.h"
#include "support/owner_table.h"

namespace tarvo {

class TDataFile;
class TBlobFile;

// What the blob file asks of the table that owns it: the table's locks and its change check.
// Asked only off the hot paths, when a block must be read, when no cached block can make room, and
// after a flush.
class TBlobFileOwner {
 public:
  // Whether modified blocks must stay in memory: a transaction or the table lock holds the table.
  virtual bool KeepsBlocksInMemory() const = 0;
  // Asked before a block is read: whether another opener changed the table since this session
  // last looked (its caches are then dropped and its headers re-read). Answers false, without
  // looking, while nobody else may write or while the session detects changes strictly.
  virtual bool ChangedByOthers() = 0;
  // Blocks reached the file.
  virtual void SetDataWritten() = 0;

 protected:
  ~TBlobFileOwner() = default;
};

// One pin on a cached block, released when the guard goes. Movable, not copyable.
class TBlockPin {
 public:
  TBlockPin() = default;
  TBlockPin(TBlobFile& file, TBlock* block) : file_(&file), block_(block) {}
  ~TBlockPin() { Reset(); }
  TBlockPin(TBlockPin&& other) noexcept : file_(other.file_), block_(other.block_) { other.block_ = nullptr; }
  TBlockPin& operator=(TBlockPin&& other) noexcept;
  TBlockPin(const TBlockPin&) = delete;
  TBlockPin& operator=(const TBlockPin&) = delete;

  TBlock* Get() const { return block_; }
  TBlock& operator*() const { return *block_; }
  TBlock* operator->() const { return block_; }
  explicit operator bool() const { return block_ != nullptr; }
  // Releases the pin now.
  void Reset() noexcept;

 private:
  TBlobFile* file_ = nullptr;
  TBlock* block_ = nullptr;
};

class TBlobFile : public TFileHandler {
 public:
  // Blocks the cache grows by when a transaction keeps it full of modified blocks.
  static constexpr int kCacheGrowth = 255;
  // The smallest block that holds data: an 18-byte header and at least one byte.
  static constexpr std::uint16_t kMinUsableBlockSize = 19;

  // `table_name` names the table in messages; the data file tells whether the table is
  // encrypted. Both the data file and the owner must outlive this handler.
  TBlobFile(std::string table_name, const TDataFile& data_file, TBlobFileOwner& owner);
  ~TBlobFile() override;

  const std::string& TableName() const { return table_name_; }
  // Whether header and blocks are enciphered in the file.
  bool Encrypted() const;

  // The block size from the data header's stored BlobBlockSize (0 means 512).
  void SetBlockSize(std::uint32_t stored);
  std::uint16_t BlockSize() const { return block_size_; }
  // Data bytes per block, D = B - 18.
  std::size_t DataSize() const { return BlobDataSize(block_size_); }

  // 9498 for a block size that holds no data.
  void Open() override;
  // Drops every cached block without writing; the table writes before it closes.
  void Close() override;
  // Creates the file with a new header (written by the next header write).
  void Create();

  void ReadHeader();
  void WriteHeader(bool force);
  void BumpChangeCount();
  // Reads the header; adopts it and returns true when its change counter differs from ours.
  bool HeaderChanged();
  // 12035 for a wrong version, 8961 for a free list that cannot be.
  void VerifyHeader();
  // Cuts every block off; the header's change counter stays.
  void Empty();

  const TBlobHeader& Header() const { return header_; }
  TBlobHeader& MutableHeader() { return header_; }
  void MarkModified() { modified_ = true; }
  bool HeaderModified() const { return modified_; }
  std::int32_t ChangeCount() const { return header_.change_count; }

  // Blocks the file holds: (end offset - 512) div B. Bounds every walk along a chain.
  std::int64_t BlockCount() const;
  // Whether `offset` names an existing block: 512 <= offset < end offset, on a block boundary.
  bool IsBlockOffset(std::int64_t offset) const;

  // The block at `offset`, pinned. Offset 0, an offset off the block grid or past the end offset
  // raise 8963; the end offset appends a new zero block (9479 when the file is full). On a miss,
  // the owner is asked whether another session changed the table; if so its caches are dropped
  // and nullptr is returned: the caller starts over.
  // A miss reads min(R, count, blocks up to the end) blocks when `read_ahead` is set.
  [[nodiscard]] TBlock* GetBlock(std::int32_t offset, std::int64_t count, bool read_ahead);
  // The block at `offset`, pinned, when the cache holds it; nullptr otherwise (nothing is read,
  // nothing asked). For a read that must see only what the cache held since the last check.
  [[nodiscard]] TBlock* GetCachedBlock(std::int32_t offset);
  // As GetBlock, without asking for changes: for writers, who hold the writer or table lock.
  [[nodiscard]] TBlock& GetBlockForWrite(std::int32_t offset, std::int64_t count, bool read_ahead);
  // Whether another session changed the file since this one last looked (its caches are then
  // dropped and the header re-read); the owner's answer (ChangedByOthers). A reader asks before
  // it calls a pointer past the end offset damage: the file may have grown.
  bool RefreshIfChanged();
  // Unpins (never below 0).
  void ReleaseBlock(TBlock& block);
  // A cleared block, pinned and modified: the free list head, else a block appended at the end.
  // 8963 for a free list head that names no block or a block in use.
  [[nodiscard]] TBlock& AllocateBlock();
  // Puts `block` on the free list; it keeps stamp, previous pointer and sizes.
  void FreeBlock(TBlock& block);
  // Frees the chain that starts at `first`: every block, in chain order, so that the free list
  // then starts with the chain's last block. `count` is the chain's expected length (read-ahead
  // only). A next pointer that names no block, a block met twice, a block held elsewhere, and in
  // `strict` mode a block with another stamp raise 8963; leniently a foreign block gets `stamp`.
  // Blocks in `keep` are treated as already met (a caller's own chain).
  void FreeChain(std::int32_t first, std::int32_t stamp, std::int64_t count, bool strict,
                 const std::unordered_set<std::int32_t>* keep = nullptr);

  // Writes every modified, unpinned block outside a read under way, in runs of adjacent blocks
  // (one write per run). Returns whether anything was written.
  bool FlushBlocks();
  // Forgets every cached block without writing.
  void DropBlocks();
  // Gives back unpinned, unmodified blocks from the high end until the base capacity is kept,
  // and resets the capacity to it.
  void TrimCache();

  // The cache's capacity C. The base value is min(131070 div B, 32767) unless set here; setting
  // it (tests, tuning) also sets the present capacity.
  int CacheCapacity() const { return capacity_; }
  void SetCacheCapacity(int blocks);
  int MaxBlocksPerReadAhead() const { return max_read_blocks_; }
  // Blocks a read brings in at least, from the block asked for on, whether a read-ahead was asked
  // for or not (within the file's end and the cache's capacity; 0, the default: as asked).
  // Exclusive bulk work that walks chains laid out in ascending order reads them in long runs.
  // Without it, a value's first block asked for alone right behind the last block read (values
  // stored one after the other, read in that order) brings in a whole read of R blocks, so that
  // the next values are cached.
  void SetSequentialReadAhead(int blocks) { sequential_blocks_ = std::max(blocks, 0); }

  // Inspection.
  std::size_t CachedBlockCount() const { return cache_.Size(); }
  const TBlock* CachedBlock(std::int32_t offset) const;
  std::size_t SpareBlockCount() const { return pool_.SpareCount(); }
  std::int64_t ReadCount() const { return read_count_; }
  std::int64_t WriteCount() const { return write_count_; }

  [[noreturn]] void Raise(TEngineCode code) const;

  // Whether `blocks` more blocks can be appended at the end offset without passing the file's
  // limit (beyond it the append raises 9479).
  bool CanAppend(std::int64_t blocks) const;
  // The blocks on the free list, counted up to `most` (a list that leaves the block grid or
  // meets a block twice raises 8963).
  std::int64_t CountFreeBlocks(std::int64_t most);

  // --- Undo of one change ---
  // From BeginUndo on, the first time a block is handed out a copy of it is kept, and so is the
  // header. UndoChange puts them back: blocks appended since go, the others get their copies, a
  // block that was written and left the cache meanwhile is written back, and a file that grew is
  // cut at its end again. It returns whether anything was written since BeginUndo (the caller
  // then writes what it put back). Undo levels nest: BeginUndo inside another level opens a new
  // one, UndoChange puts back the newest level and ends it, and EndUndo ends the newest level and
  // hands what it kept to the level below (which keeps the copies it lacks). DropUndo ends every
  // level.
  void BeginUndo();
  void EndUndo();
  bool UndoChange();
  void DropUndo() { undo_.clear(); }

 private:
  struct TUndo {
    TBlobHeader header;
    bool modified = false;
    std::int64_t write_calls = 0;
    std::unordered_map<std::int32_t, TBlock> blocks;  // by offset
  };
  void KeepForUndo(const TBlock& block);

  TBlobHeader DecodeImage(std::span<std::byte, kBlobHeaderSize> raw) const;
  void ResetCache();
  TBlock* Fetch(std::int32_t offset, std::int64_t count, bool read_ahead, bool detect_changes);
  TBlock* AppendBlock();
  void ReserveCacheRoom(std::size_t more);
  void ReadBlocks(std::int32_t offset, std::int64_t count, bool read_ahead);
  // A block for the cache, linked as the newest but not yet in the table. An `optional`
  // slot is nullptr rather than a flush, a growth or an error when every block is in use.
  std::unique_ptr<TBlock> ObtainSlot(bool optional);
  TBlock* FindEvictable() const;
  TBlock* FindCached(std::int32_t offset) const;
  void InsertCached(std::unique_ptr<TBlock> block);
  void LinkNewest(TBlock* block);
  void Unlink(TBlock* block);
  void MakeNewest(TBlock* block);
  void Give(std::unique_ptr<TBlock>& block);
  void DecodeBlock(TBlock& block, std::span<std::byte> image);
  void EncodeBlock(TBlock& block, std::span<std::byte> image);

  std::string table_name_;
  const TDataFile& data_file_;
  TBlobFileOwner& owner_;
  std::vector<std::byte> read_buffer_;
  // The range a multi-block read is bringing in; a flush meanwhile leaves it alone.
  std::int64_t window_start_ = 0;
  std::int64_t window_length_ = 0;
  std::vector<std::byte> write_buffer_;
  std::uint16_t block_size_ = 512;
  TBlobHeader header_;
  bool modified_ = false;
  struct TBlockOffset {
    std::int64_t operator()(const TBlock& block) const { return block.Offset(); }
  };
  TOwnerTable<TBlock, TBlockOffset> cache_;
  std::vector<TBlock*> dirty_;  // FlushBlocks' list, kept for its capacity
  TBlock* newest_ = nullptr;
  TBlock* oldest_ = nullptr;
  std::vector<std::unique_ptr<TBlock>> detached_;  // dropped while pinned
  TBlockStack pool_;
  int max_read_blocks_ = 127;
  int sequential_blocks_ = 0;
  std::int64_t read_end_ = 0;  // the offset behind the last block read
  int capacity_ = 255;
  int base_capacity_ = 255;
  int capacity_override_ = 0;  // 0: the default for the block size
  std::int64_t read_count_ = 0;
  std::int64_t write_count_ = 0;
  std::vector<std::unique_ptr<TUndo>> undo_;  // the levels that can still be undone, newest last
  std::unique_ptr<TUndo> spare_undo_;  // the last level ended, emptied: the next one begins in it
};

}  // namespace tarvo

// TIndexFile: the handler of a table's index file (.IDX). Keeps the 4096-byte header with its 33
// index descriptor slots in memory, creates, reads, writes and verifies it, and notices when
// another opener wrote it. Reads the pages of the B+-trees into its page cache (page_cache.h),
// allocates pages through the free chains, and writes dirty pages back in runs.
//
// Page discipline: every page handed out is pinned (TPagePin unpins it); pinned or modified
// pages are never evicted; pages reach the file only through FlushPages().
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "errors/engine_error.h"
#include "engine/format/field_descriptor.h"
#include "engine/format/index_header.h"
#include "engine/index/page.h"
#include "engine/index/page_cache.h"
#include "support/file_handler.h"

namespace tarvo {

class TDataFile;
struct TTableDefinition;

// What the index file asks of the table that owns it. Asked only when a slot's cache is full of
// pages in use.
class TIndexFileOwner {
 public:
  // Whether a transaction holds the table: no page may reach the file until it ends.
  virtual bool InTransaction() const = 0;

 protected:
  ~TIndexFileOwner() = default;
};

// The page area may not grow beyond this offset (9479 above it).
inline constexpr std::int32_t kMaxIndexFileEnd = 2000000000;

// Raised by index operations when a page had to be read and the change check found that another
// opener changed the table: the cached pages are stale, and the cursor refreshes and retries.
class EIndexChanged : public std::exception {
 public:
  const char* what() const noexcept override { return "index changed by another opener"; }
};

class TIndexFile : public TFileHandler {
 public:
  // `table_name` names the table in messages; the data file tells whether the table is
  // encrypted. Both the data file and the owner must outlive this handler.
  TIndexFile(std::string table_name, const TDataFile& data_file, TIndexFileOwner& owner);
  ~TIndexFile() override;

  const std::string& TableName() const { return table_name_; }

  // Opens the file and reads the header (8961 for more than 32 secondary indexes).
  void Open() override;
  // Drops every cached page without writing; the table writes before it closes.
  void Close() override;
  // Creates the file with a new header (marked modified; written by the next header write).
  void Create();

  void ReadHeader();
  // Writes the header when forced or modified: change counter + 1, enciphered when the table is.
  void WriteHeader(bool force);
  // Change counter + 1 and the header marked modified, without writing.
  void BumpChangeCount();
  // Reads the header; when its change counter differs from ours, adopts it and returns true.
  bool ReloadHeaderIfChanged();
  // Raises 12035 for a header that does not fit the table's fields.
  void VerifyHeader(std::span<const TFieldDescriptor> fields);
  // Cuts every page off and resets roots, free chains and the active record count.
  void Empty();

  // Stores the index definitions of a new table: the primary index (an all-zero one when the
  // table has none) and the secondary indexes, with their checks.
  void StoreDefinitions(const TTableDefinition& definition);

  const TIndexHeader& Header() const { return header_; }
  TIndexHeader& MutableHeader() { return header_; }
  void MarkModified() { modified_ = true; }
  std::int32_t ChangeCount() const { return header_.change_count; }
  std::int32_t ActiveRecordCount() const { return header_.active_records; }
  bool NoPrimaryIndex() const { return header_.no_primary != 0; }
  int SecondaryIndexCount() const { return header_.secondary_count; }

  // --- The page cache ---

  // The page at `offset` of index `slot`, pinned. The offset of the next unused page appends a
  // new page (9479 beyond 2,000,000,000). With `fresh` a page read from the file keeps only its
  // header fields. 8965 for offset 0, an offset off the page grid or beyond the page area, a
  // page image that does not parse, or a cache whose pages are all in use. Returns an empty pin
  // when the change hook reports that the table changed before a read.
  TPagePin GetPage(int slot, std::int32_t offset, bool fresh = false);
  // A cleared page for index `slot`: the head of its free chain, else a new page at the end.
  TPagePin AllocatePage(int slot);
  // Puts the page at the head of its index's free chain.
  void FreePage(TPage& page);
  // 0 when the index is empty.
  std::int32_t RootPage(int slot) const { return header_.slots[slot].root; }
  void SetRootPage(int slot, std::int32_t offset);

  // Writes every modified, unpinned page of the indexes in use, sorted by offset, each run of
  // adjacent pages with one write. A page that failed to reach the file stays modified.
  void FlushPages();
  // Returns every cached page to the pool without writing. A page still pinned is unlisted at
  // once and returned when its last pin goes.
  void DropPages() { cache_.DropAll(); }
  // Keeps at most PageCacheCapacity() pages per index (the highest offsets go first; pinned or
  // modified pages stay) and resets every slot's capacity.
  void TrimCache();

  // Pages each slot caches in normal operation (default 15). Exclusive maintenance sets more.
  // Setting it sets every slot's current capacity; surplus pages go with the next TrimCache().
  int PageCacheCapacity() const { return cache_.Capacity(); }
  void SetPageCacheCapacity(int pages) { cache_.SetCapacity(pages); }
  // The current capacity of one slot (it grows inside transactions) and its cached pages.
  int SlotCapacity(int slot) const { return cache_.SlotCapacity(slot); }
  int CachedPageCount(int slot) const { return cache_.PageCount(slot); }
  const TPageCacheStats& CacheStats() const { return cache_.Stats(); }
  const TPageStack& PageStack() const { return cache_.Spares(); }

  // Asked before a page is read from the file: true when the table changed (the hook has then
  // refreshed what it must) and the request returns no page. Empty: never asked.
  using TChangeHook = std::function<bool()>;
  void SetChangeHook(TChangeHook hook) { change_hook_ = std::move(hook); }

  // --- Undo of one change ---
  // From BeginUndo on, the first time a page is handed out a copy of it is kept, and so are the
  // header's counts, roots and free chains. UndoChange puts them back: pages appended since go,
  // the others get their copies, a page that was written and left the cache meanwhile is written
  // back, and a file that grew is cut at its end again. It returns whether anything was written
  // since BeginUndo (the caller then writes what it put back). Undo levels nest: BeginUndo
  // inside another level opens a new one, UndoChange puts back the newest level and ends it, and
  // EndUndo ends the newest level and hands what it kept to the level below (which keeps the
  // copies it lacks). DropUndo ends every level.
  void BeginUndo();
  void EndUndo();
  bool UndoChange();
  void DropUndo() { undo_depth_ = 0; }

 private:
  struct TKeptPage {
    int slot = 0;
    TPage copy;
  };
  struct TUndo {
    std::int32_t next_page = 0;
    std::int32_t active_records = 0;
    std::array<std::pair<std::int32_t, std::int32_t>, kIndexSlotCount> roots{};  // root, free head
    bool modified = false;
    std::int64_t write_calls = 0;
    // The first `kept` are this change's pages; the others stay for their buffers, so that a
    // change copies pages without allocating once the copies have grown.
    std::vector<TKeptPage> pages;
    std::size_t kept = 0;
    // The offsets of the kept pages, once there are more than a short search covers.
    std::unordered_set<std::int32_t> offsets;
  };
  // Whether the level keeps a copy of the page at `offset`.
  static bool Keeps(const TUndo& undo, std::int32_t offset);
  // The place for the copy of the page at `offset` in the level; null when the level has one
  // already or the page is newer than the level.
  static TKeptPage* NewKeptPage(TUndo& undo, std::int32_t offset);
  void KeepForUndo(int slot, const TPage& page);
  // Encodes (and enciphers) a page image; 8965 for a page that does not fit.
  void EncodePage(TPage& page, std::span<std::byte, kPageSize> image);

  TIndexHeader DecodeImage(std::span<std::byte, kIndexHeaderSize> raw) const;
  [[noreturn]] void RaiseForTable(TEngineCode code, const std::string& index_name = {}) const;
  // A page object for `slot`: new while below capacity, else the least recently used page that
  // is neither modified nor pinned (after a flush, outside transactions).
  std::unique_ptr<TPage> ObtainPage(int slot);
  bool SlotInUse(int slot) const;
  bool Encrypted() const;

  std::string table_name_;
  const TDataFile& data_file_;
  TIndexFileOwner& owner_;
  TIndexHeader header_;
  bool modified_ = false;
  TPageCache cache_;
  std::vector<std::byte> read_buffer_;
  std::vector<std::byte> write_buffer_;
  std::vector<TPage*> dirty_;  // FlushPages' and UndoChange's list, kept for its capacity
  TChangeHook change_hook_;
  // The levels that can still be undone are the first undo_depth_; the others stay for their
  // buffers.
  std::vector<TUndo> undo_;
  std::size_t undo_depth_ = 0;
};

}  // namespace tarvo

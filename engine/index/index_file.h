// TIndexFile: the handler of a table's index file (.IDX). Keeps the 4096-byte header with its 33
// index descriptor slots in memory, creates, reads, writes and verifies it, and notices when
// another opener wrote it. The page cache of the B+-trees lives here too: per index slot a hash
// table of cached pages by offset and a most-recently-used chain, a pool of spare page objects,
// page allocation through the free chains, and the write-back of dirty pages in runs.
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
#include <unordered_map>
#include <utility>
#include <vector>

#include "errors/engine_error.h"
#include "engine/format/field_descriptor.h"
#include "engine/format/index_header.h"
#include "engine/index/page.h"
#include "support/file_handler.h"
#include "support/owner_table.h"

namespace tarvo {

class TDataTable;
struct TTableDefinition;
class TIndexFile;

// Pages cached per index slot in normal operation.
inline constexpr int kDefaultPageCacheCapacity = 15;
// How far a slot's cache grows when every page is in use inside a transaction.
inline constexpr int kPageCacheGrowth = 64;
// Spare page objects the pool keeps.
inline constexpr std::size_t kPageStackCapacity = 4095;
// The page area may not grow beyond this offset (9479 above it).
inline constexpr std::int32_t kMaxIndexFileEnd = 2000000000;

// Raised by index operations when a page had to be read and the change check found that another
// opener changed the table: the cached pages are stale, and the cursor refreshes and retries.
class EIndexChanged : public std::exception {
 public:
  const char* what() const noexcept override { return "index changed by another opener"; }
};

// One pin on a cached page, released when the guard goes. Move-only; an empty guard holds none.
class TPagePin {
 public:
  TPagePin() = default;
  // Takes over a pin already counted on `page`.
  TPagePin(TIndexFile& file, TPage& page) : file_(&file), page_(&page) {}
  ~TPagePin() { Release(); }
  TPagePin(const TPagePin&) = delete;
  TPagePin& operator=(const TPagePin&) = delete;
  TPagePin(TPagePin&& other) noexcept : file_(other.file_), page_(other.page_) { other.page_ = nullptr; }
  TPagePin& operator=(TPagePin&& other) noexcept;

  TPage& operator*() const { return *page_; }
  TPage* operator->() const { return page_; }
  TPage* Get() const { return page_; }
  explicit operator bool() const { return page_ != nullptr; }
  void Release() noexcept;

 private:
  TIndexFile* file_ = nullptr;
  TPage* page_ = nullptr;
};

// Released page objects, handed out again cleared before new ones are made.
class TPageStack {
 public:
  std::unique_ptr<TPage> Take();
  void Put(std::unique_ptr<TPage> page);
  std::size_t Size() const { return pages_.size(); }

 private:
  std::vector<std::unique_ptr<TPage>> pages_;  // at most kPageStackCapacity
};

struct TPageCacheStats {
  std::int64_t hits = 0;
  std::int64_t reads_begun = 0;
  std::int64_t reads_done = 0;
  std::int64_t write_runs = 0;
};

class TIndexFile : public TFileHandler {
 public:
  explicit TIndexFile(TDataTable& table);
  ~TIndexFile() override;

  TDataTable& Table() const { return table_; }

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
  // Unpins (TPagePin calls this).
  void ReleasePage(TPage& page) noexcept;
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
  void DropPages();
  // Keeps at most PageCacheCapacity() pages per index (the highest offsets go first; pinned or
  // modified pages stay) and resets every slot's capacity.
  void TrimCache();

  // Pages each slot caches in normal operation (default 15). Exclusive maintenance sets more.
  // Setting it sets every slot's current capacity; surplus pages go with the next TrimCache().
  int PageCacheCapacity() const { return page_cache_capacity_; }
  void SetPageCacheCapacity(int pages);
  // The current capacity of one slot (it grows inside transactions) and its cached pages.
  int SlotCapacity(int slot) const { return caches_[slot].capacity; }
  int CachedPageCount(int slot) const { return static_cast<int>(caches_[slot].pages.Size()); }
  const TPageCacheStats& CacheStats() const { return stats_; }
  const TPageStack& PageStack() const { return stack_; }

  // Asked before a page is read from the file: true when the table changed (the hook has then
  // refreshed what it must) and the request returns no page. Empty: never asked.
  using TChangeHook = std::function<bool()>;
  void SetChangeHook(TChangeHook hook) { change_hook_ = std::move(hook); }

  // --- Undo of one change ---
  // From BeginUndo on, the first time a page is handed out a copy of it is kept, and so are the
  // header's counts, roots and free chains. UndoChange puts them back: pages appended since go,
  // the others get their copies, a page that was written and left the cache meanwhile is written
  // back, and a file that grew is cut at its end again. It returns whether anything was written
  // since BeginUndo (the caller then writes what it put back). EndUndo forgets what was kept.
  void BeginUndo();
  void EndUndo() { undo_.reset(); }
  bool UndoChange();

 private:
  struct TUndo {
    std::int32_t next_page = 0;
    std::int32_t active_records = 0;
    std::array<std::pair<std::int32_t, std::int32_t>, kIndexSlotCount> roots{};  // root, free head
    bool modified = false;
    std::int64_t write_calls = 0;
    std::unordered_map<std::int32_t, std::pair<int, TPage>> pages;  // by offset: slot, copy
  };
  void KeepForUndo(int slot, const TPage& page);
  // Encodes (and enciphers) a page image; 8965 for a page that does not fit.
  void EncodePage(TPage& page, std::span<std::byte, kPageSize> image);

  struct TPageOffset {
    std::int64_t operator()(const TPage& page) const { return page.Offset(); }
  };
  struct TSlotCache {
    TOwnerTable<TPage, TPageOffset> pages;
    TPage* newest = nullptr;  // head of the most-recently-used chain
    TPage* oldest = nullptr;
    int capacity = kDefaultPageCacheCapacity;
  };

  TIndexHeader DecodeImage(std::span<std::byte, kIndexHeaderSize> raw) const;
  [[noreturn]] void RaiseForTable(TEngineCode code, const std::string& index_name = {}) const;
  TPage* FindCached(TSlotCache& cache, std::int32_t offset);
  void MakeNewest(TSlotCache& cache, TPage& page);
  void LinkCached(TSlotCache& cache, std::unique_ptr<TPage> page);
  std::unique_ptr<TPage> UnlinkCached(TSlotCache& cache, TPage& page);
  // A page object for `slot`: new while below capacity, else the least recently used page that
  // is neither modified nor pinned (after a flush, outside transactions).
  std::unique_ptr<TPage> ObtainPage(int slot);
  std::unique_ptr<TPage> TakeEvictable(TSlotCache& cache);
  bool SlotInUse(int slot) const;
  bool Encrypted() const;

  TDataTable& table_;
  TIndexHeader header_;
  bool modified_ = false;
  int page_cache_capacity_ = kDefaultPageCacheCapacity;
  std::array<TSlotCache, kIndexSlotCount> caches_;
  std::vector<std::unique_ptr<TPage>> orphans_;  // dropped while pinned
  TPageStack stack_;
  std::vector<std::byte> read_buffer_;
  std::vector<std::byte> write_buffer_;
  std::vector<TPage*> dirty_;  // FlushPages' and TrimCache's list, kept for its capacity
  TPageCacheStats stats_;
  TChangeHook change_hook_;
  std::unique_ptr<TUndo> undo_;  // while a change can still be undone
};

}  // namespace tarvo

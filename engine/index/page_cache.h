// TPageCache: the index file's cache of B+-tree pages. Per index slot a hash table of the cached
// pages by offset, a most-recently-used chain and a capacity; a pool of spare page objects; the
// pages dropped while still pinned, kept until their last pin goes; and the cache's counters.
// Does no I/O: TIndexFile reads pages into it, writes them back and decides when a full slot is
// flushed or grows.
//
// The capacity counts leaves. Inner nodes, which every descent passes, are kept beside them up to
// kNodePageAllowance per slot, so that a look-up among many leaves reads only its leaf: a node
// is evicted before a leaf only when the slot holds more nodes than that.
//
// Page discipline: every page handed out is pinned (TPagePin unpins it); pinned or modified
// pages are never evicted or trimmed; a page dropped while pinned lives on until its last pin goes.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "engine/format/index_header.h"
#include "engine/index/page.h"
#include "support/owner_table.h"

namespace tarvo {

class TPageCache;

// Pages cached per index slot in normal operation.
inline constexpr int kDefaultPageCacheCapacity = 15;
// How far a slot's cache grows when every page is in use inside a transaction.
inline constexpr int kPageCacheGrowth = 64;
// Inner nodes a slot keeps beyond its capacity.
inline constexpr int kNodePageAllowance = 64;
// Spare page objects the pool keeps.
inline constexpr std::size_t kPageStackCapacity = 4095;

// One pin on a cached page, released when the guard goes. Move-only; an empty guard holds none.
class TPagePin {
 public:
  TPagePin() = default;
  // Takes over a pin already counted on `page`.
  TPagePin(TPageCache& cache, TPage& page) : cache_(&cache), page_(&page) {}
  ~TPagePin() { Release(); }
  TPagePin(const TPagePin&) = delete;
  TPagePin& operator=(const TPagePin&) = delete;
  TPagePin(TPagePin&& other) noexcept : cache_(other.cache_), page_(other.page_) { other.page_ = nullptr; }
  TPagePin& operator=(TPagePin&& other) noexcept;

  TPage& operator*() const { return *page_; }
  TPage* operator->() const { return page_; }
  TPage* Get() const { return page_; }
  explicit operator bool() const { return page_ != nullptr; }
  void Release() noexcept;

 private:
  TPageCache* cache_ = nullptr;
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

class TPageCache {
 public:
  TPageCache() = default;
  TPageCache(const TPageCache&) = delete;
  TPageCache& operator=(const TPageCache&) = delete;

  // The cached page at `offset` of `slot`, now its most recently used (a hit is counted);
  // nullptr when it is not cached.
  TPage* Find(int slot, std::int32_t offset);
  // As Find, leaving the chain and the counters alone.
  TPage* Peek(int slot, std::int32_t offset) const { return slots_[slot].pages.Find(offset); }
  // Enters a page whose offset the slot does not cache yet, as its most recently used.
  void Insert(int slot, std::unique_ptr<TPage> page);
  // Takes a cached page out of the cache.
  std::unique_ptr<TPage> Remove(int slot, TPage& page);

  // Whether the slot caches fewer pages than its capacity and its allowance of nodes.
  bool HasRoom(int slot) const { return static_cast<int>(slots_[slot].pages.Size()) < Limit(slots_[slot]); }
  // The slot's least recently used page that is neither modified nor pinned, taken out of the
  // cache; leaves go first while the slot keeps no more nodes than its allowance. nullptr when
  // there is none.
  std::unique_ptr<TPage> TakeEvictable(int slot);
  // The slot's capacity grows by kPageCacheGrowth.
  void Grow(int slot) { slots_[slot].capacity += kPageCacheGrowth; }

  // A cleared page object: a spare one, else a new one.
  std::unique_ptr<TPage> TakeSpare() { return spares_.Take(); }
  // Back to the pool (beyond its capacity the object goes).
  void PutSpare(std::unique_ptr<TPage> page) { spares_.Put(std::move(page)); }
  // Unpins (TPagePin calls this); a dropped page whose last pin goes returns to the pool.
  void Release(TPage& page) noexcept;
  // Returns every cached page to the pool. A page still pinned is unlisted at once and returned
  // when its last pin goes.
  void DropAll();

  // Pages each slot caches in normal operation. Setting it sets every slot's capacity.
  int Capacity() const { return capacity_; }
  void SetCapacity(int pages);
  // The slot's capacity back to Capacity().
  void ResetCapacity(int slot) { slots_[slot].capacity = capacity_; }
  // Keeps at most the slot's capacity of leaves and its allowance of nodes: the highest offsets go
  // first, leaves before nodes; pinned or modified pages stay.
  void Trim(int slot);

  // Calls `visit(TPage*)` for every page the slot caches, in no particular order. `visit` must
  // not add or remove pages.
  template <typename TVisit>
  void ForEachPage(int slot, TVisit&& visit) const {
    slots_[slot].pages.ForEach(visit);
  }

  int SlotCapacity(int slot) const { return slots_[slot].capacity; }
  int PageCount(int slot) const { return static_cast<int>(slots_[slot].pages.Size()); }
  TPageCacheStats& Stats() { return stats_; }
  const TPageCacheStats& Stats() const { return stats_; }
  const TPageStack& Spares() const { return spares_; }

 private:
  struct TPageOffset {
    std::int64_t operator()(const TPage& page) const { return page.Offset(); }
  };
  struct TSlot {
    TOwnerTable<TPage, TPageOffset> pages;
    TPage* newest = nullptr;  // head of the most-recently-used chain
    TPage* oldest = nullptr;
    int capacity = kDefaultPageCacheCapacity;
    int nodes = 0;  // pages cached as inner nodes
  };
  static int Limit(const TSlot& slot) { return slot.capacity + std::min(slot.nodes, kNodePageAllowance); }
  static void MakeNewest(TSlot& slot, TPage& page);

  std::array<TSlot, kIndexSlotCount> slots_;
  int capacity_ = kDefaultPageCacheCapacity;
  std::vector<std::unique_ptr<TPage>> orphans_;  // dropped while pinned
  TPageStack spares_;
  std::vector<TPage*> spare_list_;  // Trim's list, kept for its capacity
  TPageCacheStats stats_;
};

inline void TPageCache::MakeNewest(TSlot& slot, TPage& page) {
  if (slot.newest == &page) return;
  // Unchain (a page just linked has neither neighbour and is not the oldest).
  if (page.Newer() != nullptr) page.Newer()->SetOlder(page.Older());
  if (page.Older() != nullptr) page.Older()->SetNewer(page.Newer());
  if (slot.oldest == &page) slot.oldest = page.Newer();
  page.SetNewer(nullptr);
  page.SetOlder(slot.newest);
  if (slot.newest != nullptr) slot.newest->SetNewer(&page);
  slot.newest = &page;
  if (slot.oldest == nullptr) slot.oldest = &page;
}

inline TPage* TPageCache::Find(int slot, std::int32_t offset) {
  TSlot& cache = slots_[slot];
  // The two most recently used pages first: a descent and a leaf walk revisit them.
  TPage* page = nullptr;
  if (cache.newest != nullptr && cache.newest->Offset() == offset) {
    page = cache.newest;
  } else if (TPage* second = cache.newest != nullptr ? cache.newest->Older() : nullptr;
             second != nullptr && second->Offset() == offset) {
    page = second;
  } else {
    page = cache.pages.Find(offset);
  }
  if (page == nullptr) return nullptr;
  ++stats_.hits;
  MakeNewest(cache, *page);
  return page;
}

}  // namespace tarvo

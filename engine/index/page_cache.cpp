#include "engine/index/page_cache.h"

#include <algorithm>
#include <cassert>
#include <utility>

namespace tarvo {

// --- Pins and the pool ---

TPagePin& TPagePin::operator=(TPagePin&& other) noexcept {
  if (this != &other) {
    Release();
    cache_ = other.cache_;
    page_ = other.page_;
    other.page_ = nullptr;
  }
  return *this;
}

void TPagePin::Release() noexcept {
  if (page_ == nullptr) return;
  TPage* page = page_;
  page_ = nullptr;
  cache_->Release(*page);
}

std::unique_ptr<TPage> TPageStack::Take() {
  if (pages_.empty()) return std::make_unique<TPage>();
  std::unique_ptr<TPage> page = std::move(pages_.back());
  pages_.pop_back();
  return page;
}

void TPageStack::Put(std::unique_ptr<TPage> page) {
  if (pages_.size() >= kPageStackCapacity) return;  // the surplus object goes
  page->Reset(TPageFormat{}, 0);
  pages_.push_back(std::move(page));
}

// --- The cache ---

void TPageCache::Insert(int slot, std::unique_ptr<TPage> page) {
  TSlot& cache = slots_[slot];
  TPage& ref = *page;
  ref.SetNewer(nullptr);
  ref.SetOlder(nullptr);
  assert(cache.pages.Find(ref.Offset()) == nullptr);
  cache.pages.Reserve(cache.pages.Size() + 1);
  (void)cache.pages.Insert(std::move(page));
  ref.SetCachedAsNode(ref.IsNode());
  if (ref.CachedAsNode()) ++cache.nodes;
  MakeNewest(cache, ref);
}

std::unique_ptr<TPage> TPageCache::Remove(int slot, TPage& page) {
  TSlot& cache = slots_[slot];
  if (page.Newer() != nullptr) page.Newer()->SetOlder(page.Older());
  if (page.Older() != nullptr) page.Older()->SetNewer(page.Newer());
  if (cache.newest == &page) cache.newest = page.Older();
  if (cache.oldest == &page) cache.oldest = page.Newer();
  page.SetNewer(nullptr);
  page.SetOlder(nullptr);
  if (page.CachedAsNode()) --cache.nodes;
  assert(cache.nodes >= 0);
  page.SetCachedAsNode(false);
  std::unique_ptr<TPage> owned = cache.pages.Remove(page.Offset());
  assert(owned.get() == &page);
  return owned;
}

std::unique_ptr<TPage> TPageCache::TakeEvictable(int slot) {
  const bool nodes_first = slots_[slot].nodes > kNodePageAllowance;
  TPage* oldest_node = nullptr;
  for (TPage* p = slots_[slot].oldest; p != nullptr; p = p->Newer()) {
    if (p->Modified() || p->PinCount() > 0) continue;
    if (!p->CachedAsNode() || nodes_first) return Remove(slot, *p);
    if (oldest_node == nullptr) oldest_node = p;
  }
  return oldest_node != nullptr ? Remove(slot, *oldest_node) : nullptr;
}

void TPageCache::Release(TPage& page) noexcept {
  page.Unpin();
  if (page.PinCount() > 0 || orphans_.empty()) return;
  const auto it = std::find_if(orphans_.begin(), orphans_.end(),
                               [&](const std::unique_ptr<TPage>& p) { return p.get() == &page; });
  if (it == orphans_.end()) return;
  std::unique_ptr<TPage> owned = std::move(*it);
  orphans_.erase(it);
  try {
    spares_.Put(std::move(owned));
  } catch (...) {
    // The pool could not grow: the object simply goes.
  }
}

void TPageCache::DropAll() {
  for (TSlot& cache : slots_) {
    cache.pages.ForEachOwned([&](std::unique_ptr<TPage>& page) {
      page->SetNewer(nullptr);
      page->SetOlder(nullptr);
      page->SetCachedAsNode(false);
      if (page->PinCount() > 0) {
        page->SetModified(false);
        orphans_.push_back(std::move(page));
      } else {
        spares_.Put(std::move(page));
      }
    });
    cache.pages.Clear();
    cache.newest = nullptr;
    cache.oldest = nullptr;
    cache.nodes = 0;
  }
}

void TPageCache::SetCapacity(int pages) {
  assert(pages >= 1);
  capacity_ = std::max(pages, 1);
  for (TSlot& cache : slots_) cache.capacity = capacity_;
}

void TPageCache::Trim(int slot) {
  TSlot& cache = slots_[slot];
  if (static_cast<int>(cache.pages.Size()) <= Limit(cache)) return;
  // Leaves before nodes, the highest offsets first; pages held or not yet written stay.
  std::vector<TPage*>& spare = spare_list_;
  spare.clear();
  cache.pages.ForEach([&](TPage* page) {
    if (page->PinCount() == 0 && !page->Modified()) spare.push_back(page);
  });
  std::sort(spare.begin(), spare.end(), [](const TPage* a, const TPage* b) {
    if (a->CachedAsNode() != b->CachedAsNode()) return !a->CachedAsNode();
    return a->Offset() > b->Offset();
  });
  for (TPage* page : spare) {
    if (static_cast<int>(cache.pages.Size()) <= Limit(cache)) break;
    spares_.Put(Remove(slot, *page));
  }
}

}  // namespace tarvo

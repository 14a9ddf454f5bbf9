#include "engine/index/index_file.h"

#include <algorithm>
#include <array>
#include <cassert>

#include "errors/engine_error.h"
#include "engine/format/encipher.h"
#include "engine/format/field_types.h"
#include "engine/format/table_definition.h"
#include "engine/tables/data_table.h"
#include "support/platform_names.h"
#include "support/short_text.h"

namespace tarvo {

namespace {

std::vector<TKeyFieldInfo> KeyFieldInfos(std::span<const TFieldDescriptor> fields) {
  std::vector<TKeyFieldInfo> infos;
  infos.reserve(fields.size());
  for (const auto& field : fields)
    infos.push_back({field.FieldType, DataSizeOf(field.FieldType, field.FieldSize)});
  return infos;
}

}  // namespace

TIndexFile::TIndexFile(TDataTable& table) : table_(table) {}

TIndexFile::~TIndexFile() = default;

void TIndexFile::RaiseForTable(TEngineCode code, const std::string& index_name) const {
  RaiseEngineError(code, table_.TableName(), {}, {}, index_name);
}

void TIndexFile::Open() {
  if (IsOpen()) return;
  stats_ = {};
  TFileHandler::Open();
  try {
    if (GetSize() < static_cast<std::int64_t>(kIndexHeaderSize)) RaiseForTable(kHeaderCorrupt);
    ReadHeader();
    if (const int rc = CheckIndexHeaderOnOpen(header_); rc != 0) RaiseForTable(static_cast<TEngineCode>(-rc));
  } catch (...) {
    TFileHandler::Close();
    throw;
  }
}

void TIndexFile::Close() {
  DropPages();
  stats_ = {};
  TFileHandler::Close();
}

void TIndexFile::Create() {
  CreateNew();
  header_ = NewIndexHeader();
  modified_ = true;
}

bool TIndexFile::Encrypted() const {
  return table_.DataFile().Encrypted();
}

TIndexHeader TIndexFile::DecodeImage(std::span<std::byte, kIndexHeaderSize> raw) const {
  if (Encrypted()) Encipher(raw, kRecordKey);
  return DecodeIndexHeader(raw);
}

void TIndexFile::ReadHeader() {
  std::array<std::byte, kIndexHeaderSize> raw{};
  (void)ReadAt(0, raw, false);
  header_ = DecodeImage(raw);
  modified_ = false;
}

void TIndexFile::WriteHeader(bool force) {
  if (!force && !modified_) return;
  ++header_.change_count;
  header_.modified = 1;
  std::array<std::byte, kIndexHeaderSize> raw{};
  EncodeIndexHeader(header_, raw);
  if (Encrypted()) Encipher(raw, kRecordKey);
  WriteAt(0, raw);
  modified_ = false;
}

void TIndexFile::BumpChangeCount() {
  ++header_.change_count;
  modified_ = true;
}

bool TIndexFile::ReloadHeaderIfChanged() {
  std::array<std::byte, kIndexHeaderSize> raw{};
  (void)ReadAt(0, raw, false);
  const TIndexHeader fresh = DecodeImage(raw);
  if (fresh.change_count == header_.change_count) return false;
  header_ = fresh;
  modified_ = false;
  return true;
}

void TIndexFile::VerifyHeader(std::span<const TFieldDescriptor> fields) {
  if (const int rc = VerifyIndexHeader(header_, KeyFieldInfos(fields)); rc != 0) {
    RaiseForTable(static_cast<TEngineCode>(-rc));
  }
}

void TIndexFile::Empty() {
  WriteAt(kIndexHeaderSize, {});
  DropPages();
  header_.next_page = kIndexPageSize;
  header_.active_records = 0;
  for (int slot = 0; slot <= header_.secondary_count; ++slot) {
    header_.slots[slot].root = 0;
    header_.slots[slot].free_head = 0;
  }
  header_.slots[kSysDeletedSlot].root = 0;
  header_.slots[kSysDeletedSlot].free_head = 0;
  modified_ = true;
}

void TIndexFile::StoreDefinitions(const TTableDefinition& definition) {
  TIndexHeader header;
  std::size_t failed = 0;
  if (const int rc = BuildIndexHeader(definition, header, failed); rc != 0) {
    RaiseForTable(static_cast<TEngineCode>(-rc),
                  failed < definition.indexes.size() ? definition.indexes[failed].name : std::string());
  }
  header.change_count = header_.change_count;
  header_ = header;
  modified_ = true;
}

// --- Pins and the pool ---

TPagePin& TPagePin::operator=(TPagePin&& other) noexcept {
  if (this != &other) {
    Release();
    file_ = other.file_;
    page_ = other.page_;
    other.page_ = nullptr;
  }
  return *this;
}

void TPagePin::Release() noexcept {
  if (page_ == nullptr) return;
  TPage* page = page_;
  page_ = nullptr;
  file_->ReleasePage(*page);
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

// --- The page cache ---

void TIndexFile::SetPageCacheCapacity(int pages) {
  assert(pages >= 1);
  page_cache_capacity_ = std::max(pages, 1);
  for (TSlotCache& cache : caches_) cache.capacity = page_cache_capacity_;
}

bool TIndexFile::SlotInUse(int slot) const {
  return slot == kSysDeletedSlot || (slot >= 0 && slot <= header_.secondary_count);
}

TPage* TIndexFile::FindCached(TSlotCache& cache, std::int32_t offset) {
  // The two most recently used pages first: a descent and a leaf walk revisit them.
  if (cache.newest != nullptr) {
    if (cache.newest->Offset() == offset) return cache.newest;
    TPage* second = cache.newest->Older();
    if (second != nullptr && second->Offset() == offset) return second;
  }
  return cache.pages.Find(offset);
}

void TIndexFile::MakeNewest(TSlotCache& cache, TPage& page) {
  if (cache.newest == &page) return;
  // Unchain (a page just linked has neither neighbour and is not the oldest).
  if (page.Newer() != nullptr) page.Newer()->SetOlder(page.Older());
  if (page.Older() != nullptr) page.Older()->SetNewer(page.Newer());
  if (cache.oldest == &page) cache.oldest = page.Newer();
  page.SetNewer(nullptr);
  page.SetOlder(cache.newest);
  if (cache.newest != nullptr) cache.newest->SetNewer(&page);
  cache.newest = &page;
  if (cache.oldest == nullptr) cache.oldest = &page;
}

void TIndexFile::LinkCached(TSlotCache& cache, std::unique_ptr<TPage> page) {
  TPage& ref = *page;
  ref.SetNewer(nullptr);
  ref.SetOlder(nullptr);
  assert(cache.pages.Find(ref.Offset()) == nullptr);
  cache.pages.Reserve(cache.pages.Size() + 1);
  (void)cache.pages.Insert(std::move(page));
  MakeNewest(cache, ref);
}

std::unique_ptr<TPage> TIndexFile::UnlinkCached(TSlotCache& cache, TPage& page) {
  if (page.Newer() != nullptr) page.Newer()->SetOlder(page.Older());
  if (page.Older() != nullptr) page.Older()->SetNewer(page.Newer());
  if (cache.newest == &page) cache.newest = page.Older();
  if (cache.oldest == &page) cache.oldest = page.Newer();
  page.SetNewer(nullptr);
  page.SetOlder(nullptr);
  std::unique_ptr<TPage> owned = cache.pages.Remove(page.Offset());
  assert(owned.get() == &page);
  return owned;
}

std::unique_ptr<TPage> TIndexFile::TakeEvictable(TSlotCache& cache) {
  for (TPage* p = cache.oldest; p != nullptr; p = p->Newer()) {
    if (!p->Modified() && p->PinCount() == 0) return UnlinkCached(cache, *p);
  }
  return nullptr;
}

std::unique_ptr<TPage> TIndexFile::ObtainPage(int slot) {
  TSlotCache& cache = caches_[slot];
  if (static_cast<int>(cache.pages.Size()) < cache.capacity) return stack_.Take();
  if (std::unique_ptr<TPage> page = TakeEvictable(cache)) return page;
  if (!table_.InTransaction()) {
    FlushPages();
    if (std::unique_ptr<TPage> page = TakeEvictable(cache)) return page;
  } else {
    // No page may reach the file while a transaction is open: the cache grows instead.
    cache.capacity += kPageCacheGrowth;
    return stack_.Take();
  }
  RaiseForTable(kIndexBuffersCorrupt);
}

TPagePin TIndexFile::GetPage(int slot, std::int32_t offset, bool fresh) {
  assert(slot >= 0 && slot < kIndexSlotCount);
  // Steps: 1. refuse offsets that cannot be pages; 2. append at the end of the page area;
  // 3. look in the cache; 4. read on a miss (after the change check); 5. pin.
  if (offset <= 0 || offset % kIndexPageSize != 0 || offset > header_.next_page) {
    RaiseForTable(kIndexBuffersCorrupt);
  }
  TSlotCache& cache = caches_[slot];
  const TPageFormat format = PageFormatOf(header_.slots[slot], slot);
  TPage* page = nullptr;
  if (offset == header_.next_page) {
    if (header_.next_page > kMaxIndexFileEnd) RaiseForTable(kTableFull);
    std::unique_ptr<TPage> fresh_page = ObtainPage(slot);
    fresh_page->Reset(format, offset);
    fresh_page->SetModified(true);
    page = fresh_page.get();
    LinkCached(cache, std::move(fresh_page));
    header_.next_page += kIndexPageSize;
    modified_ = true;
  } else if ((page = FindCached(cache, offset)) != nullptr) {
    ++stats_.hits;
    MakeNewest(cache, *page);
    if (undo_ != nullptr) KeepForUndo(slot, *page);
  } else {
    if (change_hook_ && change_hook_()) return {};
    std::unique_ptr<TPage> read = ObtainPage(slot);
    read->Reset(format, offset);
    read_buffer_.resize(kPageSize);
    const std::span<std::byte, kPageSize> image(read_buffer_.data(), kPageSize);
    ++stats_.reads_begun;
    try {
      (void)ReadAt(offset, image, false);
    } catch (...) {
      stack_.Put(std::move(read));
      throw;
    }
    ++stats_.reads_done;
    if (Encrypted()) Encipher(image, kRecordKey);
    if (read->Decode(image, fresh) != 0) {
      stack_.Put(std::move(read));
      RaiseForTable(kIndexBuffersCorrupt);
    }
    page = read.get();
    LinkCached(cache, std::move(read));
    if (undo_ != nullptr) KeepForUndo(slot, *page);
  }
  if (page->Offset() != offset) RaiseForTable(kIndexBuffersCorrupt);
  page->Pin();
  return TPagePin(*this, *page);
}

void TIndexFile::ReleasePage(TPage& page) noexcept {
  page.Unpin();
  if (page.PinCount() > 0 || orphans_.empty()) return;
  const auto it = std::find_if(orphans_.begin(), orphans_.end(),
                               [&](const std::unique_ptr<TPage>& p) { return p.get() == &page; });
  if (it == orphans_.end()) return;
  std::unique_ptr<TPage> owned = std::move(*it);
  orphans_.erase(it);
  try {
    stack_.Put(std::move(owned));
  } catch (...) {
    // The pool could not grow: the object simply goes.
  }
}

TPagePin TIndexFile::AllocatePage(int slot) {
  TIndexDescriptor& descriptor = header_.slots[slot];
  const std::int32_t head = descriptor.free_head;
  TPagePin pin;
  if (head != 0) {
    pin = GetPage(slot, head, true);
    if (!pin) return pin;
    descriptor.free_head = pin->NextPage();
  } else {
    pin = GetPage(slot, header_.next_page);
  }
  // Cleared, but still cached and pinned: the chain links and pins survive the reset.
  TPage& page = *pin;
  const int pins = page.PinCount();
  TPage* newer = page.Newer();
  TPage* older = page.Older();
  page.Reset(PageFormatOf(descriptor, slot), page.Offset());
  page.SetNewer(newer);
  page.SetOlder(older);
  for (int i = 0; i < pins; ++i) page.Pin();
  page.SetModified(true);
  modified_ = true;
  return pin;
}

void TIndexFile::FreePage(TPage& page) {
  TIndexDescriptor& descriptor = header_.slots[page.Format().index_number];
  page.ClearEntries();
  page.SetNextPage(descriptor.free_head);
  page.SetFree(true);
  page.SetModified(true);
  descriptor.free_head = page.Offset();
  modified_ = true;
}

void TIndexFile::SetRootPage(int slot, std::int32_t offset) {
  if (header_.slots[slot].root == offset) return;
  header_.slots[slot].root = offset;
  modified_ = true;
}

void TIndexFile::FlushPages() {
  std::vector<TPage*>& dirty = dirty_;
  dirty.clear();
  for (int slot = 0; slot < kIndexSlotCount; ++slot) {
    if (!SlotInUse(slot)) continue;
    caches_[slot].pages.ForEach([&](TPage* page) {
      if (page->Modified() && page->PinCount() == 0) dirty.push_back(page);
    });
  }
  if (dirty.empty()) return;
  std::sort(dirty.begin(), dirty.end(),
            [](const TPage* a, const TPage* b) { return a->Offset() < b->Offset(); });
  // Nothing changes before every image is known to fit.
  for (const TPage* page : dirty) {
    if (!page->Free() && page->StoredSize() > kPageEntryArea) RaiseForTable(kIndexBuffersCorrupt);
  }
  write_buffer_.resize(dirty.size() * kPageSize);
  for (std::size_t i = 0; i < dirty.size(); ++i) {
    EncodePage(*dirty[i], std::span<std::byte, kPageSize>(write_buffer_.data() + i * kPageSize, kPageSize));
  }
  std::size_t first = 0;
  try {
    while (first < dirty.size()) {
      std::size_t last = first;
      while (last + 1 < dirty.size() && dirty[last + 1]->Offset() == dirty[last]->Offset() + kIndexPageSize)
        ++last;
      const std::size_t count = last - first + 1;
      WriteAt(dirty[first]->Offset(),
              std::span<const std::byte>(write_buffer_.data() + first * kPageSize, count * kPageSize));
      ++stats_.write_runs;
      first = last + 1;
    }
  } catch (...) {
    for (std::size_t i = first; i < dirty.size(); ++i) dirty[i]->SetModified(true);
    modified_ = true;
    throw;
  }
  modified_ = true;
}

void TIndexFile::EncodePage(TPage& page, std::span<std::byte, kPageSize> image) {
  if (page.Encode(image) != 0) RaiseForTable(kIndexBuffersCorrupt);
  if (Encrypted()) Encipher(image, kRecordKey);
}

void TIndexFile::BeginUndo() {
  undo_ = std::make_unique<TUndo>();
  undo_->next_page = header_.next_page;
  undo_->active_records = header_.active_records;
  for (int slot = 0; slot < kIndexSlotCount; ++slot)
    undo_->roots[slot] = {header_.slots[slot].root, header_.slots[slot].free_head};
  undo_->modified = modified_;
  undo_->write_calls = WriteCalls();
}

void TIndexFile::KeepForUndo(int slot, const TPage& page) {
  // Pages appended by the change have nothing to go back to.
  if (page.Offset() >= undo_->next_page || undo_->pages.contains(page.Offset())) return;
  undo_->pages.emplace(page.Offset(), std::make_pair(slot, page));
}

bool TIndexFile::UndoChange() {
  if (undo_ == nullptr) return false;
  const std::unique_ptr<TUndo> undo = std::move(undo_);
  const bool wrote = WriteCalls() != undo->write_calls;
  // 1. Caches and header as they were. What reached the file meanwhile must be written again:
  // every page put back counts as changed then.
  for (TSlotCache& cache : caches_) {
    std::vector<TPage*>& made = dirty_;
    made.clear();
    cache.pages.ForEach([&](TPage* page) {
      if (page->Offset() >= undo->next_page && page->PinCount() == 0) made.push_back(page);
    });
    for (TPage* page : made) stack_.Put(UnlinkCached(cache, *page));
  }
  std::vector<TPage*> gone;
  for (auto& [offset, kept] : undo->pages) {
    TPage& copy = kept.second;
    TPage* page = caches_[kept.first].pages.Find(offset);
    if (page == nullptr) {
      if (wrote) gone.push_back(&copy);
      continue;
    }
    RestoreCachedContent(*page, copy, copy.Modified() || wrote);
  }
  header_.next_page = undo->next_page;
  header_.active_records = undo->active_records;
  for (int slot = 0; slot < kIndexSlotCount; ++slot) {
    header_.slots[slot].root = undo->roots[slot].first;
    header_.slots[slot].free_head = undo->roots[slot].second;
  }
  modified_ = undo->modified || wrote;
  if (!wrote) return false;
  // 2. Pages written and dropped from the cache meanwhile go back to the file as they were, and
  // pages appended since are cut off.
  std::array<std::byte, kPageSize> image{};
  for (TPage* copy : gone) {
    EncodePage(*copy, image);
    WriteAt(copy->Offset(), image);
  }
  if (GetSize() > header_.next_page) WriteAt(header_.next_page, {});
  return true;
}

void TIndexFile::DropPages() {
  for (TSlotCache& cache : caches_) {
    cache.pages.ForEachOwned([&](std::unique_ptr<TPage>& page) {
      page->SetNewer(nullptr);
      page->SetOlder(nullptr);
      if (page->PinCount() > 0) {
        page->SetModified(false);
        orphans_.push_back(std::move(page));
      } else {
        stack_.Put(std::move(page));
      }
    });
    cache.pages.Clear();
    cache.newest = nullptr;
    cache.oldest = nullptr;
  }
}

void TIndexFile::TrimCache() {
  for (int slot = 0; slot < kIndexSlotCount; ++slot) {
    TSlotCache& cache = caches_[slot];
    cache.capacity = page_cache_capacity_;
    if (!SlotInUse(slot) || static_cast<int>(cache.pages.Size()) <= cache.capacity) continue;
    // The highest offsets go first; pages held or not yet written stay.
    std::vector<TPage*>& spare = dirty_;
    spare.clear();
    cache.pages.ForEach([&](TPage* page) {
      if (page->PinCount() == 0 && !page->Modified()) spare.push_back(page);
    });
    std::sort(spare.begin(), spare.end(),
              [](const TPage* a, const TPage* b) { return a->Offset() > b->Offset(); });
    for (TPage* page : spare) {
      if (static_cast<int>(cache.pages.Size()) <= cache.capacity) break;
      stack_.Put(UnlinkCached(cache, *page));
    }
  }
}

}  // namespace tarvo

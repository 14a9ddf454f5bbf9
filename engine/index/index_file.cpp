#include "engine/index/index_file.h"

#include <algorithm>
#include <array>
#include <cassert>

#include "errors/engine_error.h"
#include "engine/format/byte_codec.h"
#include "engine/format/data_file.h"
#include "engine/format/encipher.h"
#include "engine/format/field_types.h"
#include "engine/format/table_definition.h"
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

TIndexFile::TIndexFile(std::string table_name, const TDataFile& data_file, TIndexFileOwner& owner)
    : table_name_(std::move(table_name)), data_file_(data_file), owner_(owner) {}

TIndexFile::~TIndexFile() = default;

void TIndexFile::RaiseForTable(TEngineCode code, const std::string& index_name) const {
  RaiseEngineError(code, table_name_, {}, {}, index_name);
}

void TIndexFile::Open() {
  if (IsOpen()) return;
  cache_.Stats() = {};
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
  cache_.Stats() = {};
  TFileHandler::Close();
}

void TIndexFile::Create() {
  CreateNew();
  header_ = NewIndexHeader();
  modified_ = true;
}

bool TIndexFile::Encrypted() const {
  return data_file_.Encrypted();
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
  // The change counter alone first: an unchanged header (the common case) is neither read in
  // full nor decoded. The cipher works byte by byte, so the counter deciphers on its own.
  std::array<std::byte, 4> counter{};
  static_assert(kOffIdxChangeCount == 0);
  (void)ReadAt(0, counter, false);
  if (Encrypted()) Encipher(counter, kRecordKey);
  if (GetI32(counter, 0) == header_.change_count) return false;
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

// --- The page cache ---

bool TIndexFile::SlotInUse(int slot) const {
  return slot == kSysDeletedSlot || (slot >= 0 && slot <= header_.secondary_count);
}

std::unique_ptr<TPage> TIndexFile::ObtainPage(int slot) {
  if (cache_.HasRoom(slot)) return cache_.TakeSpare();
  if (std::unique_ptr<TPage> page = cache_.TakeEvictable(slot)) return page;
  if (!owner_.InTransaction()) {
    FlushPages();
    if (std::unique_ptr<TPage> page = cache_.TakeEvictable(slot)) return page;
  } else {
    // No page may reach the file while a transaction is open: the cache grows instead.
    cache_.Grow(slot);
    return cache_.TakeSpare();
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
  const TPageFormat format = PageFormatOf(header_.slots[slot], slot);
  TPage* page = nullptr;
  if (offset == header_.next_page) {
    if (header_.next_page > kMaxIndexFileEnd) RaiseForTable(kTableFull);
    std::unique_ptr<TPage> fresh_page = ObtainPage(slot);
    fresh_page->Reset(format, offset);
    fresh_page->SetModified(true);
    page = fresh_page.get();
    cache_.Insert(slot, std::move(fresh_page));
    header_.next_page += kIndexPageSize;
    modified_ = true;
  } else if ((page = cache_.Find(slot, offset)) != nullptr) {
    if (undo_depth_ > 0) KeepForUndo(slot, *page);
  } else {
    if (change_hook_ && change_hook_()) return {};
    std::unique_ptr<TPage> read = ObtainPage(slot);
    read->Reset(format, offset);
    read_buffer_.resize(kPageSize);
    const std::span<std::byte, kPageSize> image(read_buffer_.data(), kPageSize);
    ++cache_.Stats().reads_begun;
    try {
      (void)ReadAt(offset, image, false);
    } catch (...) {
      cache_.PutSpare(std::move(read));
      throw;
    }
    ++cache_.Stats().reads_done;
    if (Encrypted()) Encipher(image, kRecordKey);
    if (read->Decode(image, fresh) != 0) {
      cache_.PutSpare(std::move(read));
      RaiseForTable(kIndexBuffersCorrupt);
    }
    page = read.get();
    cache_.Insert(slot, std::move(read));
    if (undo_depth_ > 0) KeepForUndo(slot, *page);
  }
  if (page->Offset() != offset) RaiseForTable(kIndexBuffersCorrupt);
  page->Pin();
  return TPagePin(cache_, *page);
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
    cache_.ForEachPage(slot, [&](TPage* page) {
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
      ++cache_.Stats().write_runs;
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
  if (undo_depth_ == undo_.size()) undo_.emplace_back();
  TUndo& undo = undo_[undo_depth_++];
  undo.kept = 0;
  undo.offsets.clear();
  undo.next_page = header_.next_page;
  undo.active_records = header_.active_records;
  for (int slot = 0; slot < kIndexSlotCount; ++slot)
    undo.roots[slot] = {header_.slots[slot].root, header_.slots[slot].free_head};
  undo.modified = modified_;
  undo.write_calls = WriteCalls();
}

bool TIndexFile::Keeps(const TUndo& undo, std::int32_t offset) {
  if (!undo.offsets.empty()) return undo.offsets.contains(offset);
  for (std::size_t i = 0; i < undo.kept; ++i) {
    if (undo.pages[i].copy.Offset() == offset) return true;
  }
  return false;
}

TIndexFile::TKeptPage* TIndexFile::NewKeptPage(TUndo& undo, std::int32_t offset) {
  // Pages appended since the level began have nothing to go back to.
  if (offset >= undo.next_page || Keeps(undo, offset)) return nullptr;
  if (undo.kept == undo.pages.size()) undo.pages.emplace_back();
  // A level that spans many changes (a savepoint) finds its pages by offset.
  constexpr std::size_t kSearchedPages = 16;
  if (!undo.offsets.empty()) {
    undo.offsets.insert(offset);
  } else if (undo.kept == kSearchedPages) {
    for (std::size_t i = 0; i < undo.kept; ++i) undo.offsets.insert(undo.pages[i].copy.Offset());
    undo.offsets.insert(offset);
  }
  return &undo.pages[undo.kept++];
}

void TIndexFile::KeepForUndo(int slot, const TPage& page) {
  if (TKeptPage* kept = NewKeptPage(undo_[undo_depth_ - 1], page.Offset()); kept != nullptr) {
    kept->slot = slot;
    kept->copy = page;
  }
}

void TIndexFile::EndUndo() {
  if (undo_depth_ == 0) return;
  --undo_depth_;
  if (undo_depth_ == 0) return;
  // A page the level below has not kept was not handed out since it began: its copy at the start
  // of the ended level is its content at the start of the level below. The copy changes hands
  // (the ended level's slot keeps the buffer it gets in return).
  TUndo& ended = undo_[undo_depth_];
  TUndo& below = undo_[undo_depth_ - 1];
  for (std::size_t i = 0; i < ended.kept; ++i) {
    if (TKeptPage* kept = NewKeptPage(below, ended.pages[i].copy.Offset()); kept != nullptr) {
      std::swap(*kept, ended.pages[i]);
    }
  }
}

bool TIndexFile::UndoChange() {
  if (undo_depth_ == 0) return false;
  TUndo* undo = &undo_[--undo_depth_];
  const bool wrote = WriteCalls() != undo->write_calls;
  // 1. Caches and header as they were. What reached the file meanwhile must be written again:
  // every page put back counts as changed then.
  for (int slot = 0; slot < kIndexSlotCount; ++slot) {
    std::vector<TPage*>& made = dirty_;
    made.clear();
    cache_.ForEachPage(slot, [&](TPage* page) {
      if (page->Offset() >= undo->next_page && page->PinCount() == 0) made.push_back(page);
    });
    for (TPage* page : made) cache_.PutSpare(cache_.Remove(slot, *page));
  }
  std::vector<TPage*> gone;
  for (std::size_t i = 0; i < undo->kept; ++i) {
    TPage& copy = undo->pages[i].copy;
    TPage* page = cache_.Peek(undo->pages[i].slot, copy.Offset());
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

void TIndexFile::TrimCache() {
  for (int slot = 0; slot < kIndexSlotCount; ++slot) {
    cache_.ResetCapacity(slot);
    if (SlotInUse(slot)) cache_.Trim(slot);
  }
}

}  // namespace tarvo

#include "engine/records/record_cache.h"

#include <algorithm>
#include <cassert>
#include <span>
#include <utility>

#include "errors/engine_error.h"
#include "engine/format/encipher.h"

namespace tarvo {

namespace {

// How many changed records a search for a free cache entry walks past before it writes them.
constexpr int kModifiedBeforeWrite = 64;

}  // namespace

std::int32_t DefaultCacheSize(std::uint16_t record_size) {
  if (record_size == 0) return kMaxCachedRecords;
  return std::max(1, std::min(kCacheBytes / static_cast<std::int32_t>(record_size), kMaxCachedRecords));
}

TRecordCache::TRecordCache(TDataFile& file, TRecordCacheOwner& owner)
    : file_(file), owner_(owner), pool_(&file) {}

TRecordCache::~TRecordCache() {
  ResetCache();
}

void TRecordCache::RaiseForTable(TEngineCode code) const {
  RaiseEngineError(code, file_.TableName());
}

void TRecordCache::FollowRecordSize() {
  const std::uint16_t record_size = file_.RecordSize();
  records_per_read_ = record_size == 0 ? 1 : std::max(1, kReadAheadBytes / record_size);
  read_length_ = 0;
  SetCacheSize(cache_size_request_);
}

void TRecordCache::Open() {
  counters_ = TRecordCacheCounters{};
  FollowRecordSize();
}

void TRecordCache::Close() {
  ResetCache();
}

void TRecordCache::RecordSizeChanged() {
  ReleaseAll();
  FollowRecordSize();
}

void TRecordCache::SetCacheSize(std::int32_t records) {
  cache_size_request_ = std::max(0, records);
  cache_size_ = cache_size_request_ > 0 ? cache_size_request_ : DefaultCacheSize(Header().RecordSize);
  cache_capacity_ = std::max<std::int32_t>(cache_size_, static_cast<std::int32_t>(cached_.Size()));
}

TRecord* TRecordCache::CachedRecord(std::int32_t slot) const {
  return cached_.Find(slot);
}

void TRecordCache::Unlink(TRecord* record) {
  if (record->newer != nullptr) {
    record->newer->older = record->older;
  } else if (newest_ == record) {
    newest_ = record->older;
  }
  if (record->older != nullptr) {
    record->older->newer = record->newer;
  } else if (oldest_ == record) {
    oldest_ = record->newer;
  }
  record->older = nullptr;
  record->newer = nullptr;
}

void TRecordCache::MakeNewest(TRecord* record) {
  if (newest_ == record) return;
  Unlink(record);
  record->older = newest_;
  if (newest_ != nullptr) newest_->newer = record;
  newest_ = record;
  if (oldest_ == nullptr) oldest_ = record;
}

TRecord* TRecordCache::LookAside(std::int32_t slot) {
  TRecord* record = newest_;
  for (int i = 0; i < 4 && record != nullptr; ++i, record = record->older) {
    if (record->SlotNumber() == slot) return record;
  }
  return nullptr;
}

std::unique_ptr<TRecord> TRecordCache::ObtainRecord(std::int32_t slot, bool must) {
  std::unique_ptr<TRecord> record;
  if (static_cast<std::int32_t>(cached_.Size()) < cache_capacity_) {
    record = pool_.Get(Header().RecordSize);
  } else {
    const bool kept_in_memory = owner_.KeepsChangesInMemory();
    for (int attempt = 0; attempt < 2 && record == nullptr; ++attempt) {
      int modified_passed = 0;
      // Changes kept in memory until the commit cannot leave the cache: a changed record passed
      // goes to the new end, out of the way of the walks of the next misses (this walk stops at
      // the first one it moved).
      TRecord* first_moved = nullptr;
      for (TRecord* r = oldest_, *next = nullptr; r != nullptr && r != first_moved; r = next) {
        next = r->newer;
        if (r->Modified() || r->PinCount() > 0) {
          // Changed records pile up at the old end (deletions, for one): writing them once is
          // cheaper than walking past all of them on every miss.
          if (attempt == 0 && r->Modified() && ++modified_passed > kModifiedBeforeWrite && !kept_in_memory) {
            break;
          }
          if (kept_in_memory && r->Modified() && r->PinCount() == 0 && r != newest_) {
            if (first_moved == nullptr) first_moved = r;
            MakeNewest(r);
          }
          continue;
        }
        Unlink(r);
        record = cached_.Remove(r->SlotNumber());
        assert(record.get() == r);
        break;
      }
      // Room by writing: not while the table lock keeps the changes in memory until commit.
      if (record != nullptr) break;
      if (attempt > 0 || kept_in_memory || !WriteModifiedRecords()) break;
    }
    if (record == nullptr) {
      if (kept_in_memory) {
        // Grown by half at least, so that a transaction of many changes walks a full cache
        // only now and then.
        cache_capacity_ += std::max(kCacheGrowth, cache_capacity_ / 2);
        record = pool_.Get(Header().RecordSize);
      } else if (must) {
        RaiseForTable(kRecordBuffersCorrupt);
      } else {
        return nullptr;
      }
    }
  }
  record->ResetPins();
  record->SetSlotNumber(slot);
  record->Clear(false);
  MakeNewest(record.get());
  return record;
}

TRecord* TRecordCache::InsertCached(std::unique_ptr<TRecord> record) {
  assert(cached_.Find(record->SlotNumber()) == nullptr);
  cached_.Reserve(cached_.Size() + 1);
  return cached_.Insert(std::move(record));
}

TRecordPin TRecordCache::CreateSlotAtEnd() {
  const std::int32_t slot = Header().NextRecordSlot;
  if (!CanCreateSlot(slot, Header().RecordSize)) RaiseForTable(kTableFull);
  TRecord* record = InsertCached(ObtainRecord(slot, true));
  // A new slot must reach the file even if nobody fills it: the slot count says it exists.
  record->SetModified(true);
  record->Pin();
  Header().NextRecordSlot = slot + 1;
  file_.MarkHeaderChanged();
  return TRecordPin(record);
}

TRecordPin TRecordCache::GetRecord(TRecordFetcher* fetcher, std::int32_t slot, bool forward,
                                   TReadAhead read_ahead) {
  if (slot <= 0) RaiseForTable(kRecordBuffersCorrupt);
  if (slot == Header().NextRecordSlot) return CreateSlotAtEnd();
  // 1. and 2.: the four most recent records, then the sorted list.
  TRecord* record = LookAside(slot);
  if (record == nullptr) record = CachedRecord(slot);
  if (record != nullptr) {
    ++counters_.cache_hits;
    MakeNewest(record);
    record->Pin();
    if (!undo_.empty()) KeepForUndo(*record);
    return TRecordPin(record);
  }
  // 3. A miss: what the file holds may have changed.
  if (fetcher != nullptr && !owner_.ChecksChangesStrictly() && fetcher->CheckBeforeRead()) {
    return TRecordPin();
  }
  if (slot >= Header().NextRecordSlot) RaiseForTable(kRecordBuffersCorrupt);
  // 4. How many slots to read.
  std::int32_t count = 1;
  if (read_ahead == TReadAhead::kCursor && fetcher != nullptr) {
    count = fetcher->RunFrom(slot, forward, records_per_read_, read_ahead_gap_);
  } else if (read_ahead == TReadAhead::kSlotOrder) {
    count = forward ? std::min(records_per_read_, Header().NextRecordSlot - slot)
                    : std::min(records_per_read_, slot);
  }
  // A read longer than the cache holds would push out its own first records before they are used,
  // and each would be read again.
  count = std::clamp(count, 1, std::max(1, std::min(records_per_read_, cache_capacity_)));
  TRecordPin pin(ReadSlots(slot, count, forward));
  if (!undo_.empty()) KeepForUndo(*pin);
  // What a stepping cursor reads ahead in all stays within half the cache, so that the records
  // read last do not push out those read first before they are visited.
  const std::int32_t ahead = std::min(records_per_read_, cache_capacity_ / 2) - count;
  if (read_ahead == TReadAhead::kCursor && fetcher != nullptr && ahead > 0) ReadAhead(*fetcher, slot, forward, ahead);
  return pin;
}

void TRecordCache::ReadAhead(TRecordFetcher& fetcher, std::int32_t slot, bool forward, std::int32_t budget) {
  ahead_.clear();
  fetcher.SlotsAhead(slot, forward, static_cast<std::size_t>(budget) * 2, ahead_);
  const std::int32_t end = Header().NextRecordSlot;
  std::size_t k = 0;
  while (k < ahead_.size() && budget > 0) {
    const std::int32_t start = ahead_[k++];
    if (start <= 0 || start >= end) return;  // the index names no such slot: the walk will say so
    if (CachedRecord(start) != nullptr) continue;
    // The run from `start` as RunFrom counts it, along the slots to come.
    std::int32_t run = 1;
    std::int32_t last = start;
    while (k < ahead_.size() && ahead_[k] > 0 && ahead_[k] < end &&
           ExtendReadRun(run, last, ahead_[k], forward, read_ahead_gap_, budget)) {
      ++k;
    }
    (void)LoadSlots(forward ? start : start - run + 1, run, 0);
    budget -= run;
  }
}

TRecord* TRecordCache::ReadSlots(std::int32_t slot, std::int32_t count, bool forward) {
  // 5. Read forward from the slot, or backward ending with it.
  return LoadSlots(forward ? slot : slot - count + 1, count, slot);
}

TRecord* TRecordCache::LoadSlots(std::int32_t first, std::int32_t count, std::int32_t pin_slot) {
  const std::int32_t slot = pin_slot;
  const std::size_t size = Header().RecordSize;
  const std::size_t wanted = static_cast<std::size_t>(count) * size;
  if (read_buffer_.size() < wanted) read_buffer_.resize(wanted);
  const std::int64_t offset = file_.RecordOffset(first);
  // Slots created since the last write exist only in the cache of a table that keeps its changes
  // in memory; only such a table may find the file shorter than its slot count.
  const bool may_be_short = owner_.OpenedExclusively() || owner_.KeepsChangesInMemory();
  const std::size_t got = file_.ReadSlots(first, std::span(read_buffer_).first(wanted), may_be_short);
  ++counters_.read_operations;
  read_start_ = offset;
  read_length_ = static_cast<std::int64_t>(got);
  // 6. Load what was read; pinned and modified records keep what they have.
  TRecord* requested = nullptr;
  const std::int32_t complete = static_cast<std::int32_t>(got / size);
  for (std::int32_t i = 0; i < complete; ++i) {
    const std::int32_t s = first + i;
    const std::span<const std::byte> bytes(read_buffer_.data() + static_cast<std::size_t>(i) * size, size);
    TRecord* record = CachedRecord(s);
    if (record != nullptr) {
      if (record->PinCount() == 0 && !record->Modified()) record->LoadFromFile(bytes);
    } else {
      std::unique_ptr<TRecord> fresh = ObtainRecord(s, s == slot);
      if (fresh == nullptr) continue;
      fresh->LoadFromFile(bytes);
      record = InsertCached(std::move(fresh));
      ++counters_.records_read;
    }
    if (s == slot) {
      // 7. Pinned at once, so that filling the rest of the run cannot evict it.
      requested = record;
      requested->Pin();
      MakeNewest(requested);
    }
  }
  if (requested == nullptr && pin_slot != 0) RaiseForTable(kRecordBuffersCorrupt);
  return requested;
}

std::int32_t TRecordCache::SlotForNextAppend() const {
  return SlotReuseAllowed() && Header().FirstFreeRecord != 0 ? Header().FirstFreeRecord
                                                             : Header().NextRecordSlot;
}

TRecordPin TRecordCache::AllocateSlot(TRecordFetcher* fetcher) {
  TRecordPin pin = GetRecord(fetcher, SlotForNextAppend(), true, TReadAhead::kNone);
  if (!pin) return pin;
  Header().FirstFreeRecord = pin->Link();
  file_.MarkHeaderChanged();
  return pin;
}

void TRecordCache::FreeSlot(TRecord& record) {
  record.SetDeleted(true);
  record.SetLink(SlotReuseAllowed() && Header().FirstFreeRecord != 0 ? Header().FirstFreeRecord : 0);
  Header().FirstFreeRecord = record.SlotNumber();
  file_.MarkHeaderChanged();
}

bool TRecordCache::WriteModifiedRecords() {
  // 1. and 2.: modified, unpinned records in slot order, in runs of consecutive slots, one
  // positioned write per run.
  const std::size_t size = Header().RecordSize;
  if (size == 0) return false;
  std::vector<TRecord*>& dirty = listed_;
  dirty.clear();
  cached_.ForEach([&](TRecord* r) {
    if (r->Modified() && r->PinCount() == 0) dirty.push_back(r);
  });
  if (dirty.empty()) return false;
  std::sort(dirty.begin(), dirty.end(),
            [](const TRecord* a, const TRecord* b) { return a->SlotNumber() < b->SlotNumber(); });
  std::size_t i = 0;
  while (i < dirty.size()) {
    const std::int32_t first = dirty[i]->SlotNumber();
    std::size_t end = i + 1;
    while (end < dirty.size() && end - i < static_cast<std::size_t>(records_per_read_) &&
           dirty[end]->SlotNumber() == first + static_cast<std::int32_t>(end - i)) {
      ++end;
    }
    const std::size_t bytes = (end - i) * size;
    if (write_buffer_.size() < bytes) write_buffer_.resize(bytes);
    for (std::size_t k = i; k < end; ++k) {
      dirty[k]->StoreForFile(std::span(write_buffer_).subspan((k - i) * size, size));
    }
    const std::int64_t offset = file_.RecordOffset(first);
    try {
      file_.WriteSlots(first, std::span<const std::byte>(write_buffer_.data(), bytes));
    } catch (...) {
      // Not written after all: the records stay modified for the next attempt.
      for (std::size_t k = i; k < end; ++k) dirty[k]->SetModified(true);
      throw;
    }
    // The read buffer no longer holds what the file holds there.
    if (offset < read_start_ + read_length_ && read_start_ < offset + static_cast<std::int64_t>(bytes)) {
      read_length_ = 0;
    }
    owner_.SetDataWritten();
    ++counters_.write_operations;
    i = end;
  }
  return true;
}

void TRecordCache::ReleaseAll() {
  // A pinned record is in use by a caller that holds a pointer to it: it stays cached (and keeps
  // its pin); everything else goes back to the pool, modified or not.
  std::vector<TRecord*>& gone = listed_;
  gone.clear();
  cached_.ForEach([&](TRecord* r) {
    if (r->PinCount() == 0) gone.push_back(r);
  });
  for (TRecord* r : gone) {
    Unlink(r);
    pool_.Put(cached_.Remove(r->SlotNumber()));
  }
  read_length_ = 0;
}

void TRecordCache::Trim() {
  if (static_cast<std::int32_t>(cached_.Size()) > cache_size_) {
    // Unmodified, unpinned records from the highest slots down.
    std::vector<TRecord*>& spare = listed_;
    spare.clear();
    cached_.ForEach([&](TRecord* r) {
      if (!r->Modified() && r->PinCount() == 0) spare.push_back(r);
    });
    std::sort(spare.begin(), spare.end(),
              [](const TRecord* a, const TRecord* b) { return a->SlotNumber() > b->SlotNumber(); });
    for (TRecord* r : spare) {
      if (static_cast<std::int32_t>(cached_.Size()) <= cache_size_) break;
      Unlink(r);
      pool_.Put(cached_.Remove(r->SlotNumber()));
    }
  }
  cache_capacity_ = std::max<std::int32_t>(cache_size_, static_cast<std::int32_t>(cached_.Size()));
}

void TRecordCache::BeginUndo() {
  std::unique_ptr<TUndo> undo = spare_undo_ != nullptr ? std::move(spare_undo_) : std::make_unique<TUndo>();
  undo->first_free = Header().FirstFreeRecord;
  undo->next_slot = Header().NextRecordSlot;
  undo->last_auto_increment = Header().LastAutoIncrement;
  undo->blob_stamp_counter = Header().BlobStampCounter;
  undo->header_changed = file_.HeaderIsChanged();
  undo->write_calls = file_.WriteCalls();
  undo_.push_back(std::move(undo));
}

void TRecordCache::KeepForUndo(const TRecord& record) {
  TUndo& undo = *undo_.back();
  // Slots made by the change have nothing to go back to.
  if (record.SlotNumber() >= undo.next_slot || undo.records.contains(record.SlotNumber())) return;
  const auto bytes = record.Bytes();
  if (spare_records_.empty()) {
    undo.records.emplace(record.SlotNumber(),
                         TUndoRecord{std::vector<std::byte>(bytes.begin(), bytes.end()), record.Modified()});
    return;
  }
  auto node = std::move(spare_records_.back());
  spare_records_.pop_back();
  node.key() = record.SlotNumber();
  node.mapped().bytes.assign(bytes.begin(), bytes.end());
  node.mapped().modified = record.Modified();
  undo.records.insert(std::move(node));
}

void TRecordCache::EndUndo() {
  if (undo_.empty()) return;
  std::unique_ptr<TUndo> undo = std::move(undo_.back());
  undo_.pop_back();
  if (!undo_.empty()) {
    // A record the level below has not kept was not handed out since it began: its image at the
    // start of the ended level is its image at the start of the level below.
    TUndo& below = *undo_.back();
    for (auto& [slot, kept] : undo->records) {
      if (slot < below.next_slot) below.records.try_emplace(slot, std::move(kept));
    }
  }
  auto& records = undo->records;
  for (auto it = records.begin(); it != records.end() && spare_records_.size() < kSpareUndoRecords;) {
    spare_records_.push_back(records.extract(it++));
  }
  undo->records.clear();
  spare_undo_ = std::move(undo);
}

bool TRecordCache::UndoChange() {
  if (undo_.empty()) return false;
  const std::unique_ptr<TUndo> undo = std::move(undo_.back());
  undo_.pop_back();
  const bool wrote = file_.WriteCalls() != undo->write_calls;
  // 1. Caches and header as they were. What reached the file meanwhile must be written again:
  // every record put back counts as changed then.
  std::vector<TRecord*>& made = listed_;
  made.clear();
  cached_.ForEach([&](TRecord* r) {
    if (r->SlotNumber() >= undo->next_slot && r->PinCount() == 0) made.push_back(r);
  });
  for (TRecord* r : made) {
    Unlink(r);
    pool_.Put(cached_.Remove(r->SlotNumber()));
  }
  std::vector<std::pair<std::int32_t, const TUndoRecord*>> gone;
  for (const auto& [slot, kept] : undo->records) {
    if (TRecord* r = CachedRecord(slot); r != nullptr) {
      r->Restore(kept.bytes, kept.modified || wrote);
    } else if (wrote) {
      gone.emplace_back(slot, &kept);
    }
  }
  Header().FirstFreeRecord = undo->first_free;
  Header().NextRecordSlot = undo->next_slot;
  Header().LastAutoIncrement = undo->last_auto_increment;
  Header().BlobStampCounter = undo->blob_stamp_counter;
  file_.SetHeaderChanged(undo->header_changed || wrote);
  read_length_ = 0;
  if (!wrote) return false;
  // 2. Records written and dropped from the cache meanwhile go back to the file as they were,
  // and slots made since are cut off.
  std::vector<std::byte> image(Header().RecordSize);
  for (const auto& [slot, kept] : gone) {
    std::copy(kept->bytes.begin(), kept->bytes.end(), image.begin());
    if (file_.Encrypted()) Encipher(image, kRecordKey);
    file_.WriteSlots(slot, image);
  }
  file_.CutAfterLastSlot();
  return true;
}

void TRecordCache::ResetCache() {
  cached_.Clear();
  newest_ = nullptr;
  oldest_ = nullptr;
  pool_.Clear();
  read_length_ = 0;
}

}  // namespace tarvo

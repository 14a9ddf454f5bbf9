#include "engine/format/data_file.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <climits>
#include <ctime>

#include "errors/engine_error.h"
#include "engine/format/encipher.h"
#include "engine/format/record_layout.h"
#include "engine/tables/data_session.h"
#include "engine/tables/data_table.h"
#include "support/platform_names.h"
#include "support/short_text.h"

namespace tarvo {

namespace {

constexpr std::int64_t kEngineVersionStamp = 20800;  // "2.08" with four decimals
// How many changed records a search for a free cache entry walks past before it writes them.
constexpr int kModifiedBeforeWrite = 64;

// The local date and time as a day count with fraction (day 0 = 1899-12-30).
double LocalDayCount() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  // 1970-01-01 is day 25,569.
  const double local_seconds = static_cast<double>(now) + static_cast<double>(local.tm_gmtoff);
  return 25569.0 + local_seconds / 86400.0;
}

}  // namespace

bool CanCreateSlot(std::int32_t next_slot, std::uint16_t record_size) {
  // Creating slot e leaves e slots in the file: at most kMaxRecordSlots of them, and their bytes
  // below 2,000,000,001.
  return next_slot >= 1 && next_slot <= kMaxRecordSlots &&
         static_cast<std::int64_t>(next_slot) * record_size <= kMaxRecordBytes;
}

std::int32_t DefaultCacheSize(std::uint16_t record_size) {
  if (record_size == 0) return kMaxCachedRecords;
  return std::max(1, std::min(kCacheBytes / static_cast<std::int32_t>(record_size), kMaxCachedRecords));
}

TDataFile::TDataFile(TDataTable& table) : table_(table), pool_(this) {}

TDataFile::~TDataFile() {
  ResetCache();
}

void TDataFile::RaiseForTable(TEngineCode code) const {
  RaiseEngineError(code, table_.TableName());
}

void TDataFile::Open() {
  if (IsOpen()) return;
  descriptors_.clear();
  TFileHandler::Open();
  try {
    // A file too short for its header or its descriptors is a damaged header, not a read error.
    const std::int64_t size = GetSize();
    if (size < static_cast<std::int64_t>(kDataHeaderSize)) RaiseForTable(kHeaderCorrupt);
    ReadHeader();
    if (header_.FieldCount > kMaxFieldCount || size < RecordAreaOffset()) RaiseForTable(kHeaderCorrupt);
    ReadDescriptors();
    records_per_read_ = header_.RecordSize == 0 ? 1 : std::max(1, kReadAheadBytes / header_.RecordSize);
    counters_ = TRecordCacheCounters{};
    read_length_ = 0;
    SetCacheSize(cache_size_request_);
  } catch (...) {
    descriptors_.clear();
    TFileHandler::Close();
    throw;
  }
}

void TDataFile::RecordSizeChanged() {
  ReleaseAll();
  records_per_read_ = header_.RecordSize == 0 ? 1 : std::max(1, kReadAheadBytes / header_.RecordSize);
  read_length_ = 0;
  SetCacheSize(cache_size_request_);
}

void TDataFile::Close() {
  descriptors_.clear();
  ResetCache();
  TFileHandler::Close();
}

void TDataFile::CreateTable(const TTableDefinition& definition) {
  header_ = TDataHeader{};
  header_.LanguageID = definition.language_id;
  header_.SortID = definition.sort_id;
  header_.UserWord1 = definition.user_word1;
  header_.UserWord2 = definition.user_word2;
  header_.Encrypted = definition.encrypted ? 1 : 0;
  SetPlainDescription(header_, definition.description);
  SetPlainPassword(header_, definition.encrypted ? definition.password : std::string());
  if (definition.fields.size() > kMaxFieldCount) RaiseForTable(kFieldLimits);
  header_.FieldCount = static_cast<std::uint16_t>(definition.fields.size());
  header_.BlobBlockSize = definition.blob_block_size;
  descriptors_ = definition.fields;
  const std::int32_t record_size = DeriveRecordLayout(descriptors_, false);
  if (record_size < 0) RaiseForTable(static_cast<TEngineCode>(-record_size));
  header_.BlobFieldCount = CountBlobFields(descriptors_);
  header_.FormatVersion = kFormatVersion;
  header_.FirstFreeRecord = 0;
  header_.NextRecordSlot = 1;
  header_.LastAutoIncrement = 0;
  header_.RecordSize = static_cast<std::uint16_t>(record_size);
  header_.HeaderChangeCount = 0;
  descriptors_changed_ = true;
  header_changed_ = true;
  records_per_read_ = std::max(1, kReadAheadBytes / std::max<int>(1, header_.RecordSize));
  SetCacheSize(cache_size_request_);
  CreateNew();
}

void TDataFile::ReadHeader() {
  std::array<std::byte, kDataHeaderSize> raw{};
  (void)ReadAt(0, raw, false);
  header_ = DecodeDataHeader(raw);
  header_.HeaderModified = 0;
  header_changed_ = false;
}

bool TDataFile::HeaderChanged() {
  std::array<std::byte, kDataHeaderSize> raw{};
  (void)ReadAt(0, raw, false);
  TDataHeader fresh = DecodeDataHeader(raw);
  if (fresh.HeaderChangeCount == header_.HeaderChangeCount) return false;
  fresh.HeaderModified = 0;
  header_ = fresh;
  header_changed_ = false;
  return true;
}

void TDataFile::WriteHeader(bool force) {
  if (!force && !header_changed_) return;
  ++header_.HeaderChangeCount;
  header_.EngineVersion = kEngineVersionStamp;
  header_.LastWriteTime = LocalDayCount() - kLastWriteTimeBias;
  header_.HeaderModified = 1;
  std::array<std::byte, kDataHeaderSize> raw{};
  EncodeDataHeader(header_, raw);
  WriteAt(0, raw);
  header_.HeaderModified = 0;
  header_changed_ = false;
}

void TDataFile::BumpChangeCount() {
  ++header_.HeaderChangeCount;
  header_changed_ = true;
}

void TDataFile::ReadDescriptors() {
  std::vector<std::byte> block(kFieldDescriptorSize * header_.FieldCount);
  if (!block.empty()) (void)ReadAt(kDataHeaderSize, block, false);
  if (Encrypted()) {
    const std::size_t length = DescriptorCipherLength(block.size(), header_.EngineVersion);
    Encipher(std::span<std::byte>(block.data(), length), kRecordKey);
  }
  descriptors_ = DecodeFieldDescriptors(block);
  descriptors_changed_ = false;
}

void TDataFile::WriteDescriptors() {
  if (!descriptors_changed_) return;
  std::vector<std::byte> block = EncodeFieldDescriptors(descriptors_);
  if (Encrypted()) Encipher(block, kRecordKey);
  if (!block.empty()) WriteAt(kDataHeaderSize, block);
  descriptors_changed_ = false;
}

void TDataFile::EmptyTable() {
  // A write of no bytes cuts the file at the end of the descriptors.
  WriteAt(RecordAreaOffset(), {});
  ReleaseAll();
  header_.HeaderChangeCount = 0;
  header_.FirstFreeRecord = 0;
  header_.NextRecordSlot = 1;
  header_.LastAutoIncrement = 0;
  header_changed_ = true;
}

void TDataFile::UpdateHeaderInfo(const std::string& password, const std::string& description,
                                 std::uint16_t user_word1, std::uint16_t user_word2,
                                 std::int32_t last_auto_increment) {
  SetPlainPassword(header_, Encrypted() ? password : std::string());
  SetPlainDescription(header_, description);
  header_.LastAutoIncrement = last_auto_increment;
  header_.UserWord1 = user_word1;
  header_.UserWord2 = user_word2;
  header_changed_ = true;
}

void TDataFile::UpdateFieldDescriptor(std::uint16_t number, const TFieldDescriptor& descriptor) {
  if (number == 0 || number > descriptors_.size()) {
    RaiseEngineError(kInvalidField, table_.TableName(), std::to_string(number));
  }
  TFieldDescriptor& d = descriptors_[number - 1];
  d.FieldNumber = descriptor.FieldNumber;
  d.FieldName = descriptor.FieldName;
  d.FieldDescription = descriptor.FieldDescription;
  d.FieldSubType = descriptor.FieldSubType;
  d.Required = descriptor.Required;
  d.MinValue = descriptor.MinValue;
  d.MaxValue = descriptor.MaxValue;
  d.DefaultValue = descriptor.DefaultValue;
  descriptors_changed_ = true;
}

std::optional<TFieldDescriptor> TDataFile::GetFieldDescriptor(std::uint16_t position) const {
  if (position == 0 || position > descriptors_.size()) return std::nullopt;
  return descriptors_[position - 1];
}

std::optional<TFieldDescriptor> TDataFile::GetFieldDescriptorByNumber(std::uint16_t field_number) const {
  for (const auto& d : descriptors_) {
    if (d.FieldNumber == field_number) return d;
  }
  return std::nullopt;
}

std::optional<TFieldDescriptor> TDataFile::GetFieldDescriptor(const std::string& name) const {
  for (const auto& d : descriptors_) {
    if (SameNameIgnoringCase(TrimBlanks(d.FieldName), TrimBlanks(name))) return d;
  }
  return std::nullopt;
}

std::int32_t TDataFile::NextAutoIncrement() {
  if (header_.LastAutoIncrement == INT32_MAX) header_.LastAutoIncrement = 0;
  ++header_.LastAutoIncrement;
  header_changed_ = true;
  return header_.LastAutoIncrement;
}

void TDataFile::SetLastAutoIncrement(std::int32_t value) {
  if (header_.LastAutoIncrement == value) return;
  header_.LastAutoIncrement = value;
  header_changed_ = true;
}

std::int32_t TDataFile::NextBlobStamp() {
  if (header_.BlobStampCounter == INT32_MAX) header_.BlobStampCounter = 0;
  ++header_.BlobStampCounter;
  header_changed_ = true;
  return header_.BlobStampCounter;
}

std::uint32_t TDataFile::BlobBlockSize() const {
  const std::uint32_t size = header_.BlobBlockSize & 0xFFFF;
  return size == 0 ? 512 : size;
}

std::string TDataFile::Description() const {
  return PlainDescription(header_);
}
std::string TDataFile::Password() const {
  return PlainPassword(header_);
}

std::int64_t TDataFile::RecordAreaOffset() const {
  return static_cast<std::int64_t>(kDataHeaderSize) +
         static_cast<std::int64_t>(kFieldDescriptorSize) * header_.FieldCount;
}

// --- The record cache ---

std::int64_t TDataFile::RecordOffset(std::int32_t slot) const {
  return RecordAreaOffset() + static_cast<std::int64_t>(slot - 1) * header_.RecordSize;
}

void TDataFile::SetCacheSize(std::int32_t records) {
  cache_size_request_ = std::max(0, records);
  cache_size_ = cache_size_request_ > 0 ? cache_size_request_ : DefaultCacheSize(header_.RecordSize);
  cache_capacity_ = std::max<std::int32_t>(cache_size_, static_cast<std::int32_t>(cached_.Size()));
}

TRecord* TDataFile::CachedRecord(std::int32_t slot) const {
  return cached_.Find(slot);
}

void TDataFile::Unlink(TRecord* record) {
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

void TDataFile::MakeNewest(TRecord* record) {
  if (newest_ == record) return;
  Unlink(record);
  record->older = newest_;
  if (newest_ != nullptr) newest_->newer = record;
  newest_ = record;
  if (oldest_ == nullptr) oldest_ = record;
}

TRecord* TDataFile::LookAside(std::int32_t slot) {
  TRecord* record = newest_;
  for (int i = 0; i < 4 && record != nullptr; ++i, record = record->older) {
    if (record->SlotNumber() == slot) return record;
  }
  return nullptr;
}

std::unique_ptr<TRecord> TDataFile::ObtainRecord(std::int32_t slot, bool must) {
  std::unique_ptr<TRecord> record;
  if (static_cast<std::int32_t>(cached_.Size()) < cache_capacity_) {
    record = pool_.Get(header_.RecordSize);
  } else {
    for (int attempt = 0; attempt < 2 && record == nullptr; ++attempt) {
      int modified_passed = 0;
      for (TRecord* r = oldest_; r != nullptr; r = r->newer) {
        if (r->Modified() || r->PinCount() > 0) {
          // Changed records pile up at the old end (deletions, for one): writing them once is
          // cheaper than walking past all of them on every miss.
          if (attempt == 0 && r->Modified() && ++modified_passed > kModifiedBeforeWrite &&
              !table_.HoldsTableLock()) {
            break;
          }
          continue;
        }
        Unlink(r);
        record = cached_.Remove(r->SlotNumber());
        assert(record.get() == r);
        break;
      }
      // Room by writing: not while the table lock keeps the changes in memory until commit.
      if (record == nullptr && (attempt > 0 || table_.HoldsTableLock() || !WriteModifiedRecords())) break;
    }
    if (record == nullptr) {
      if (table_.HoldsTableLock()) {
        cache_capacity_ += kCacheGrowth;
        record = pool_.Get(header_.RecordSize);
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

TRecord* TDataFile::InsertCached(std::unique_ptr<TRecord> record) {
  assert(cached_.Find(record->SlotNumber()) == nullptr);
  cached_.Reserve(cached_.Size() + 1);
  return cached_.Insert(std::move(record));
}

TRecordPin TDataFile::CreateSlotAtEnd() {
  const std::int32_t slot = header_.NextRecordSlot;
  if (!CanCreateSlot(slot, header_.RecordSize)) RaiseForTable(kTableFull);
  TRecord* record = InsertCached(ObtainRecord(slot, true));
  // A new slot must reach the file even if nobody fills it: the slot count says it exists.
  record->SetModified(true);
  record->Pin();
  header_.NextRecordSlot = slot + 1;
  header_changed_ = true;
  return TRecordPin(record);
}

TRecordPin TDataFile::GetRecord(TRecordFetcher* fetcher, std::int32_t slot, bool forward,
                                TReadAhead read_ahead) {
  if (slot <= 0) RaiseForTable(kRecordBuffersCorrupt);
  if (slot == header_.NextRecordSlot) return CreateSlotAtEnd();
  // 1. and 2.: the four most recent records, then the sorted list.
  TRecord* record = LookAside(slot);
  if (record == nullptr) record = CachedRecord(slot);
  if (record != nullptr) {
    ++counters_.cache_hits;
    MakeNewest(record);
    record->Pin();
    if (undo_ != nullptr) KeepForUndo(*record);
    return TRecordPin(record);
  }
  // 3. A miss: what the file holds may have changed.
  if (fetcher != nullptr && !table_.Session().StrictChangeDetection && fetcher->CheckBeforeRead()) {
    return TRecordPin();
  }
  if (slot >= header_.NextRecordSlot) RaiseForTable(kRecordBuffersCorrupt);
  // 4. How many slots to read.
  std::int32_t count = 1;
  if (read_ahead == TReadAhead::kCursor && fetcher != nullptr) {
    count = fetcher->RunFrom(slot, forward, records_per_read_, read_ahead_gap_);
  } else if (read_ahead == TReadAhead::kSlotOrder) {
    count = forward ? std::min(records_per_read_, header_.NextRecordSlot - slot)
                    : std::min(records_per_read_, slot);
  }
  // A read longer than the cache holds would push out its own first records before they are used,
  // and each would be read again.
  count = std::clamp(count, 1, std::max(1, std::min(records_per_read_, cache_capacity_)));
  TRecordPin pin(ReadSlots(slot, count, forward));
  if (undo_ != nullptr) KeepForUndo(*pin);
  return pin;
}

TRecord* TDataFile::ReadSlots(std::int32_t slot, std::int32_t count, bool forward) {
  // 5. Read forward from the slot, or backward ending with it.
  const std::int32_t first = forward ? slot : slot - count + 1;
  const std::size_t size = header_.RecordSize;
  const std::size_t wanted = static_cast<std::size_t>(count) * size;
  if (read_buffer_.size() < wanted) read_buffer_.resize(wanted);
  const std::int64_t offset = RecordOffset(first);
  // Slots created since the last write exist only in the cache of a table that keeps its changes
  // in memory; only such a table may find the file shorter than its slot count.
  const bool may_be_short = table_.Exclusive() || table_.HoldsTableLock();
  const std::size_t got = ReadAt(offset, std::span(read_buffer_).first(wanted), may_be_short);
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
  if (requested == nullptr) RaiseForTable(kRecordBuffersCorrupt);
  return requested;
}

bool TDataFile::SlotReuseAllowed() const {
  return !table_.IndexFile().NoPrimaryIndex();
}

std::int32_t TDataFile::SlotForNextAppend() const {
  return SlotReuseAllowed() && header_.FirstFreeRecord != 0 ? header_.FirstFreeRecord
                                                            : header_.NextRecordSlot;
}

TRecordPin TDataFile::AllocateSlot(TRecordFetcher* fetcher) {
  TRecordPin pin = GetRecord(fetcher, SlotForNextAppend(), true, TReadAhead::kNone);
  if (!pin) return pin;
  header_.FirstFreeRecord = pin->Link();
  header_changed_ = true;
  return pin;
}

void TDataFile::FreeSlot(TRecord& record) {
  record.SetDeleted(true);
  record.SetLink(SlotReuseAllowed() && header_.FirstFreeRecord != 0 ? header_.FirstFreeRecord : 0);
  header_.FirstFreeRecord = record.SlotNumber();
  header_changed_ = true;
}

bool TDataFile::WriteModifiedRecords() {
  // 1. and 2.: modified, unpinned records in slot order, in runs of consecutive slots, one
  // positioned write per run.
  const std::size_t size = header_.RecordSize;
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
    const std::int64_t offset = RecordOffset(first);
    try {
      WriteAt(offset, std::span<const std::byte>(write_buffer_.data(), bytes));
    } catch (...) {
      // Not written after all: the records stay modified for the next attempt.
      for (std::size_t k = i; k < end; ++k) dirty[k]->SetModified(true);
      throw;
    }
    // The read buffer no longer holds what the file holds there.
    if (offset < read_start_ + read_length_ && read_start_ < offset + static_cast<std::int64_t>(bytes)) {
      read_length_ = 0;
    }
    table_.SetDataWritten();
    ++counters_.write_operations;
    i = end;
  }
  return true;
}

void TDataFile::ReleaseAll() {
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

void TDataFile::Trim() {
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

void TDataFile::BeginUndo() {
  undo_ = std::make_unique<TUndo>();
  undo_->first_free = header_.FirstFreeRecord;
  undo_->next_slot = header_.NextRecordSlot;
  undo_->last_auto_increment = header_.LastAutoIncrement;
  undo_->blob_stamp_counter = header_.BlobStampCounter;
  undo_->header_changed = header_changed_;
  undo_->write_calls = WriteCalls();
}

void TDataFile::KeepForUndo(const TRecord& record) {
  // Slots made by the change have nothing to go back to.
  if (record.SlotNumber() >= undo_->next_slot || undo_->records.contains(record.SlotNumber())) return;
  const auto bytes = record.Bytes();
  undo_->records.emplace(record.SlotNumber(),
                         TUndoRecord{std::vector<std::byte>(bytes.begin(), bytes.end()), record.Modified()});
}

bool TDataFile::UndoChange() {
  if (undo_ == nullptr) return false;
  const std::unique_ptr<TUndo> undo = std::move(undo_);
  const bool wrote = WriteCalls() != undo->write_calls;
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
  header_.FirstFreeRecord = undo->first_free;
  header_.NextRecordSlot = undo->next_slot;
  header_.LastAutoIncrement = undo->last_auto_increment;
  header_.BlobStampCounter = undo->blob_stamp_counter;
  header_changed_ = undo->header_changed || wrote;
  read_length_ = 0;
  if (!wrote) return false;
  // 2. Records written and dropped from the cache meanwhile go back to the file as they were,
  // and slots made since are cut off.
  std::vector<std::byte> image(header_.RecordSize);
  for (const auto& [slot, kept] : gone) {
    std::copy(kept->bytes.begin(), kept->bytes.end(), image.begin());
    if (Encrypted()) Encipher(image, kRecordKey);
    WriteAt(RecordOffset(slot), image);
  }
  const std::int64_t end = RecordOffset(header_.NextRecordSlot);
  if (GetSize() > end) WriteAt(end, {});
  return true;
}

void TDataFile::ResetCache() {
  cached_.Clear();
  newest_ = nullptr;
  oldest_ = nullptr;
  pool_.Clear();
  read_length_ = 0;
}

}  // namespace tarvo

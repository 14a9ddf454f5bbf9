#include "engine/tables/data_cursor.h"

#include <algorithm>
#include <cassert>

#include "errors/engine_error.h"
#include "engine/format/header_check.h"
#include "engine/tables/data_cursor_read.h"
#include "engine/tables/data_directory.h"
#include "engine/tables/data_session.h"
#include "engine/tables/table_lock_guard.h"
#include "support/platform_names.h"
#include "support/short_text.h"

namespace tarvo {

namespace {

// Marks a cursor as stepping for the length of one Next or Prior.
class TStepping {
 public:
  explicit TStepping(bool& flag) : flag_(flag) { flag_ = true; }
  ~TStepping() { flag_ = false; }
  TStepping(const TStepping&) = delete;
  TStepping& operator=(const TStepping&) = delete;

 private:
  bool& flag_;
};

}  // namespace

TDataCursor::TDataCursor(TDataSession& session, TDataDirectory& directory)
    : session_(session), directory_(directory) {}

TDataCursor::~TDataCursor() {
  try {
    Close();
  } catch (...) {
    // Closing in a destructor: the failure cannot be reported; the table is unlisted regardless.
  }
}

void TDataCursor::Open(const TCursorOpenOptions& options) {
  if (IsOpen()) RaiseEngineError(kTableInUse, NormalizeTableName(options_.table_name));
  TTableOpenRequest request;
  request.exclusive = options.exclusive;
  request.temporary = options.temporary;
  request.sequential = options.sequential;
  request.in_memory = options.in_memory;
  request.repair = options.purpose == TCursorPurpose::kRepair;
  request.read_only = options.read_only;
  TDataTable& table = directory_.OpenTable(options.table_name, request);
  table_ = &table;
  options_ = options;
  try {
    CheckPassword();
    if (table.OpenCount() == 1 && options.purpose == TCursorPurpose::kNormal) CheckHeaders();
    TakeCopies();
    blob_values_ = std::make_unique<TBlobValues>(table.DataFile(), table.BlobFile());
  } catch (...) {
    blob_values_.reset();
    table_ = nullptr;
    (void)directory_.CloseTable(&table, false);  // the open's own failure is the one to report
    throw;
  }
}

void TDataCursor::Close() {
  if (table_ == nullptr) return;
  for (const std::int32_t slot : own_locks_) {
    try {
      table_->UnlockRecord(slot);
    } catch (const ETarvoEngineError&) {
      // The table releases every lock byte when its last cursor closes.
    }
    table_->SetLockedByCursor(slot, false);
  }
  own_locks_.clear();
  if (reader_taken_ && table_->HoldsReaderLock()) {
    try {
      table_->UnlockReader();
    } catch (const ETarvoEngineError&) {
      // As above.
    }
  }
  reader_taken_ = false;
  if (blob_values_ != nullptr) blob_values_->CloseAll();
  blob_values_.reset();
  position_.reset();
  trees_.clear();
  ForgetPosition();
  index_slot_ = kSlotOrder;
  TDataTable* table = table_;
  table_ = nullptr;
  const int rc = directory_.CloseTable(table, false);
  if (rc < 0) RaiseEngineError(static_cast<TEngineCode>(-rc), options_.table_name);
}

void TDataCursor::CheckPassword() {
  TDataFile& data = table_->DataFile();
  if (!data.Encrypted()) return;
  const std::string password = data.Password();
  for (;;) {
    if (session_.HasPassword(password)) return;
    if (!session_.OnPassword || !session_.OnPassword(table_->TableName()))
      RaiseEngineError(kPasswordRequired, table_->TableName());
  }
}

void TDataCursor::CheckHeaders() {
  TTableLockGuard reader(*table_, TTableLockKind::kReader);
  TDataFile& data = table_->DataFile();
  const TEngineCode data_code =
      CheckDataHeader(data.Header(), data.Descriptors(), static_cast<std::uint64_t>(data.GetSize()),
                      [](TLanguageId language, TSortId sort) { return LocaleIsValid(language, sort); });
  if (data_code != 0) RaiseEngineError(data_code, table_->TableName());
  table_->IndexFile().VerifyHeader(data.Descriptors());
  if (table_->BlobFile().IsOpen()) table_->BlobFile().VerifyHeader();
}

void TDataCursor::TakeCopies() {
  TDataFile& data = table_->DataFile();
  read_only_ = options_.read_only || table_->ReadOnly();
  language_id_ = data.LanguageID();
  sort_id_ = data.SortID();
  record_size_ = data.RecordSize();
  descriptors_ = data.Descriptors();
  char_map_ = GetCharMap(language_id_, sort_id_);
  seen_counters_ = table_->ChangeCounters();
  trees_.clear();
  trees_.resize(kIndexSlotCount);
  index_slot_ = table_->IndexFile().NoPrimaryIndex() ? kSlotOrder : kPrimarySlot;
  ForgetPosition();
}

std::uint32_t TDataCursor::BlobBlockSize() const {
  return table_->DataFile().BlobBlockSize();
}

std::int32_t TDataCursor::LastAutoIncrement() const {
  return table_->DataFile().LastAutoIncrement();
}

// --- Order and position ---

void TDataCursor::Raise(TEngineCode code, const std::string& field, const std::string& index) const {
  RaiseEngineError(code, table_ != nullptr ? table_->TableName() : options_.table_name, field, {}, index);
}

void TDataCursor::RequireWritable() const {
  if (table_ == nullptr) RaiseEngineError(kInvalidFileHandle, options_.table_name);
  if (read_only_) Raise(kAccessDenied);
}

void TDataCursor::RequireRecord() const {
  if (table_ == nullptr) RaiseEngineError(kInvalidFileHandle, options_.table_name);
  if (!on_record_) Raise(kNoCurrentRecord);
}

void TDataCursor::ForgetPosition() {
  on_record_ = false;
  between_ = false;
  after_last_ = false;
  current_slot_ = 0;
  current_.clear();
  current_key_.clear();
  position_.reset();
}

TIndexPosition& TDataCursor::Position() {
  assert(index_slot_ != kSlotOrder);
  if (position_ == nullptr) position_ = std::make_unique<TIndexPosition>(Tree(index_slot_));
  return *position_;
}

TIndexTree& TDataCursor::Tree(int slot) {
  if (trees_.size() < static_cast<std::size_t>(kIndexSlotCount)) trees_.resize(kIndexSlotCount);
  auto& tree = trees_[static_cast<std::size_t>(slot)];
  if (tree == nullptr)
    tree = std::make_unique<TIndexTree>(table_->IndexFile(), slot, descriptors_, language_id_, sort_id_);
  return *tree;
}

void TDataCursor::SelectIndex(const std::string& name) {
  if (table_ == nullptr) RaiseEngineError(kInvalidFileHandle, options_.table_name);
  const std::string wanted(TrimBlanks(name));
  int slot = kSlotOrder;
  const TIndexFile& index = table_->IndexFile();
  if (wanted.empty()) {
    slot = index.NoPrimaryIndex() ? kSlotOrder : kPrimarySlot;
  } else {
    for (int s = 1; s <= index.SecondaryIndexCount(); ++s) {
      if (SameNameIgnoringCase(TrimBlanks(index.Header().slots[static_cast<std::size_t>(s)].name), wanted)) {
        slot = s;
        break;
      }
    }
    if (slot == kSlotOrder) Raise(kInvalidIndexName, {}, wanted);
  }
  index_slot_ = slot;
  ForgetPosition();
}

void TDataCursor::SelectSlotOrder() {
  if (table_ == nullptr) RaiseEngineError(kInvalidFileHandle, options_.table_name);
  index_slot_ = kSlotOrder;
  position_.reset();
  ForgetPosition();
}

std::string TDataCursor::IndexName() const {
  if (index_slot_ == kSlotOrder || table_ == nullptr) return {};
  return table_->IndexFile().Header().slots[static_cast<std::size_t>(index_slot_)].name;
}

bool TDataCursor::BeginRead() {
  if (table_ == nullptr) RaiseEngineError(kInvalidFileHandle, options_.table_name);
  if (table_->SkipsLocks()) return false;
  bool changed = false;
  if (session_.StrictChangeDetection && !table_->HoldsReaderLock() && !table_->HoldsWriterLock() &&
      !table_->HoldsTableLock()) {
    changed = table_->LockReader();
    reader_taken_ = true;
  }
  return changed || !(table_->ChangeCounters() == seen_counters_);
}

void TDataCursor::EndRead() {
  if (table_ == nullptr || !reader_taken_) return;
  reader_taken_ = false;
  if (table_->HoldsReaderLock()) table_->UnlockReader();
}

bool TDataCursor::CheckBeforeRead() {
  if (table_->SkipsLocks() || table_->HoldsReaderLock() || table_->HoldsWriterLock() ||
      table_->HoldsTableLock()) {
    return false;
  }
  const bool changed = table_->LockReader();
  reader_taken_ = true;
  return changed;
}

std::int32_t TDataCursor::RunFrom(std::int32_t slot, bool forward, std::int32_t limit, std::int32_t gap) {
  if (index_slot_ == kSlotOrder || !Position().Valid() || Position().RecordNumber() != slot) {
    const std::int32_t next = table_->DataFile().Header().NextRecordSlot;
    return std::max(1, std::min(limit, forward ? next - slot : slot));
  }
  return Position().SlotRunAhead(forward, limit, gap);
}

void TDataCursor::SlotsAhead(std::int32_t slot, bool forward, std::size_t most, std::vector<std::int32_t>& out) {
  if (!stepping_ || index_slot_ == kSlotOrder || !Position().Valid() || Position().RecordNumber() != slot) return;
  Position().RecordsAhead(forward, most, out);
}

TRecordPin TDataCursor::Fetch(std::int32_t slot, bool forward, TReadAhead read_ahead) {
  // A fetch that finds the table changed has emptied the cache and re-established the position;
  // the next attempt reads what the file holds now.
  for (int attempt = 0; attempt < 8; ++attempt) {
    TRecordPin pin = table_->Records().GetRecord(this, slot, forward, read_ahead);
    if (pin) return pin;
    // Inside a read operation the whole operation starts over from the position found again.
    if (read_depth_ > 0) throw EIndexChanged();
  }
  Raise(kRecordBuffersCorrupt);
}

bool TDataCursor::LoadCurrent(std::int32_t slot, bool forward) {
  TRecordPin pin =
      Fetch(slot, forward, index_slot_ == kSlotOrder ? TReadAhead::kSlotOrder : TReadAhead::kCursor);
  if (pin->Deleted()) return false;
  const auto bytes = pin->Bytes();
  current_.assign(bytes.begin(), bytes.end());
  current_slot_ = slot;
  current_key_ = index_slot_ == kSlotOrder ? TKey{} : Tree(index_slot_).BuildKey(current_);
  values_read_ = 0;
  record_counters_ = table_->ChangeCounters();
  on_record_ = true;
  between_ = false;
  after_last_ = false;
  return true;
}

bool TDataCursor::StepSlotOrder(std::int32_t from, bool forward) {
  const std::int32_t next = table_->DataFile().Header().NextRecordSlot;
  for (std::int32_t slot = from; slot >= 1 && slot < next; slot += forward ? 1 : -1) {
    if (LoadCurrent(slot, forward)) return true;
  }
  // The end of what this cursor has seen: another opener may have added records since.
  if (forward && CheckBeforeRead()) throw EIndexChanged();
  on_record_ = false;
  between_ = false;
  after_last_ = forward;
  current_slot_ = forward ? next : 0;
  current_.clear();
  return false;
}

bool TDataCursor::SettleOnPosition() {
  if (Position().Valid() && LoadCurrent(Position().RecordNumber(), true)) return true;
  const bool valid = Position().Valid();
  on_record_ = false;
  between_ = false;
  current_.clear();
  current_key_.clear();
  after_last_ = !valid;
  return false;
}

void TDataCursor::Reestablish() {
  NoteCounters();
  if (index_slot_ == kSlotOrder) {
    if ((on_record_ || between_) && current_slot_ > 0 &&
        current_slot_ < table_->DataFile().Header().NextRecordSlot) {
      const std::int32_t slot = current_slot_;
      if (!LoadCurrent(slot, true)) {
        on_record_ = false;
        between_ = true;
        current_slot_ = slot;
      }
    }
    return;
  }
  if (!on_record_ && !between_) return;
  const TKey key = current_key_;
  if (on_record_ && Position().SeekExact(key)) {
    const std::int32_t slot = Position().RecordNumber();
    if (LoadCurrent(slot, true)) return;
  }
  (void)Position().Seek(key, TBound::kLower);
  on_record_ = false;
  between_ = true;
  current_key_ = key;
}

bool TDataCursor::First() {
  return ReadOperation([&]() -> bool {
    // A walk starts from what the files hold now.
    (void)CheckBeforeRead();
    if (index_slot_ == kSlotOrder) return StepSlotOrder(1, true);
    if (!Position().First()) return SettleOnPosition();
    return SettleOnPosition();
  });
}

bool TDataCursor::Last() {
  return ReadOperation([&]() -> bool {
    (void)CheckBeforeRead();
    if (index_slot_ == kSlotOrder)
      return StepSlotOrder(table_->DataFile().Header().NextRecordSlot - 1, false);
    if (!Position().Last()) {
      ForgetPosition();
      return false;
    }
    if (LoadCurrent(Position().RecordNumber(), false)) return true;
    ForgetPosition();
    return false;
  });
}

bool TDataCursor::Next() {
  const TStepping stepping(stepping_);
  stepped_forward_ = true;
  return ReadOperation([&]() -> bool {
    if (index_slot_ == kSlotOrder) {
      if (after_last_) return false;
      return StepSlotOrder(current_slot_ + 1, true);
    }
    if (after_last_) return false;
    if (between_) return SettleOnPosition();
    if (!on_record_) {
      if (!Position().First()) return SettleOnPosition();
      return SettleOnPosition();
    }
    if (!Position().Next()) {
      // The end of what this cursor has seen: another opener may have added records since.
      if (CheckBeforeRead()) throw EIndexChanged();
      on_record_ = false;
      after_last_ = true;
      return false;
    }
    return SettleOnPosition();
  });
}

bool TDataCursor::Prior() {
  const TStepping stepping(stepping_);
  stepped_forward_ = false;
  return ReadOperation([&]() -> bool {
    if (index_slot_ == kSlotOrder) {
      if (!on_record_ && !between_ && !after_last_) return false;
      return StepSlotOrder(current_slot_ - 1, false);
    }
    bool moved = false;
    if (after_last_ || (between_ && !Position().Valid())) {
      moved = Position().Last();
    } else if (on_record_ || between_) {
      moved = Position().Prior();
    }
    if (!moved) {
      ForgetPosition();
      return false;
    }
    if (LoadCurrent(Position().RecordNumber(), false)) return true;
    ForgetPosition();
    return false;
  });
}

bool TDataCursor::FindKey(std::span<const std::byte> record, int key_fields) {
  return ReadOperation([&]() -> bool {
    if (index_slot_ == kSlotOrder) Raise(kNoCurrentRecord);
    TIndexTree& tree = Tree(index_slot_);
    const TIndexDescriptor& d = tree.Descriptor();
    TKey key = tree.BuildKey(record);
    const int fields = key_fields <= 0 ? d.field_count : std::min<int>(key_fields, d.field_count);
    std::size_t length = 0;
    for (int i = 0; i < fields; ++i) {
      const std::uint16_t number = d.field_numbers[static_cast<std::size_t>(i)];
      if (number == 0 || number > descriptors_.size()) break;
      length += descriptors_[number - 1].DataSize + 1u;
    }
    key.resize(std::min(length, key.size()));
    const bool found = Position().Seek(key, TBound::kLower);
    if (!found || !SettleOnPosition()) return false;
    // The first entry not below the key: an equal entry exists exactly when this one is equal.
    return Position().KeyMatches(key);
  });
}

bool TDataCursor::SeekKey(std::span<const std::byte> key, TBound bound) {
  return ReadOperation([&]() -> bool {
    if (index_slot_ == kSlotOrder) Raise(kNoCurrentRecord);
    if (!Position().Seek(key, bound)) {
      // Nothing on that side of the key: off the end the walk goes to.
      ForgetPosition();
      after_last_ = bound == TBound::kLower;
      return false;
    }
    return SettleOnPosition();
  });
}

bool TDataCursor::GoToSlot(std::int32_t slot) {
  return ReadOperation([&]() -> bool {
    if (slot <= 0 || slot >= table_->DataFile().Header().NextRecordSlot) return false;
    if (!LoadCurrent(slot, true)) {
      ForgetPosition();
      return false;
    }
    if (index_slot_ != kSlotOrder && !Position().SeekExact(current_key_)) {
      ForgetPosition();
      Raise(kIndexBuffersCorrupt, {}, IndexName());
    }
    return true;
  });
}

std::int32_t TDataCursor::RecordCount() {
  return ReadOperation([&]() -> std::int32_t { return table_->IndexFile().ActiveRecordCount(); });
}

const std::vector<std::byte>& TDataCursor::CurrentRecord() const {
  RequireRecord();
  return current_;
}

std::int32_t TDataCursor::Ordinal() {
  return ReadOperation([&]() -> std::int32_t {
    RequireRecord();
    if (index_slot_ != kSlotOrder) return Position().Ordinal();
    std::int32_t ordinal = 0;
    for (std::int32_t slot = 1; slot <= current_slot_; ++slot) {
      TRecordPin pin = Fetch(slot, true, TReadAhead::kSlotOrder);
      if (!pin->Deleted()) ++ordinal;
    }
    return ordinal;
  });
}

// --- Record locks ---

void TDataCursor::LockCurrentRecord(std::int32_t slot) {
  if (table_ == nullptr) RaiseEngineError(kInvalidFileHandle, options_.table_name);
  if (slot == 0) {
    RequireRecord();
    slot = current_slot_;
  }
  if (table_->LockedByCursor(slot)) Raise(kRecordInUse);
  // Locking a record takes the reader lock for its change check. Held on until the cursor's next
  // read, it would keep every other process from writing while the record is being edited; it
  // is given back at once instead.
  const bool reader_before = table_->HoldsReaderLock();
  bool changed = false;
  try {
    changed = table_->LockRecord(slot);
  } catch (...) {
    if (!reader_before && table_->HoldsReaderLock()) table_->UnlockReader();
    throw;
  }
  if (!reader_before && table_->HoldsReaderLock()) table_->UnlockReader();
  table_->SetLockedByCursor(slot, true);
  if (const auto at = std::lower_bound(own_locks_.begin(), own_locks_.end(), slot);
      at == own_locks_.end() || *at != slot) {
    own_locks_.insert(at, slot);
  }
  // A lock whose record could not be read again is given back: the caller saw the lock refused.
  try {
    if (changed || !(table_->ChangeCounters() == seen_counters_)) {
      (void)ReadOperation([this] {
        Reestablish();
        return true;
      });
    } else if (session_.StrictChangeDetection && !table_->SkipsLocks()) {
      // With strict change detection the lock itself checked nothing: the check runs now, after
      // the lock byte is held, so that the record the caller edits is the one the file holds (and
      // no one else can change it any more). A change found re-reads it.
      (void)ReadOperation([] { return true; });
    }
  } catch (...) {
    try {
      UnlockCurrentRecord(slot);
    } catch (...) {
      // The lock byte goes with the table's close at the latest.
    }
    throw;
  }
}

void TDataCursor::UnlockCurrentRecord(std::int32_t slot) {
  if (table_ == nullptr) RaiseEngineError(kInvalidFileHandle, options_.table_name);
  if (slot == 0) {
    RequireRecord();
    slot = current_slot_;
  }
  table_->UnlockRecord(slot);
  table_->SetLockedByCursor(slot, false);
  if (const auto at = std::lower_bound(own_locks_.begin(), own_locks_.end(), slot);
      at != own_locks_.end() && *at == slot) {
    own_locks_.erase(at);
  }
}
}  // namespace tarvo

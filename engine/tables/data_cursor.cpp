#include "engine/tables/data_cursor.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <functional>

#include "errors/engine_error.h"
#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/format/header_check.h"
#include "engine/format/record_layout.h"
#include "engine/format/value_text.h"
#include "engine/maintenance/table_exchange.h"
#include "engine/tables/data_directory.h"
#include "engine/tables/data_session.h"
#include "engine/tables/table_lock_guard.h"
#include "support/platform_names.h"
#include "support/short_text.h"

namespace tarvo {

namespace {

// Ends a read operation of a cursor on every way out.
class TReadScope {
 public:
  explicit TReadScope(std::function<void()> end) : end_(std::move(end)) {}
  ~TReadScope() {
    try {
      end_();
    } catch (...) {
      // Releasing the reader lock failed; it goes with the file's descriptor at the latest.
    }
  }
  TReadScope(const TReadScope&) = delete;
  TReadScope& operator=(const TReadScope&) = delete;

 private:
  std::function<void()> end_;
};

// A record lock that a modifying operation takes for itself and gives back on every way out.
class TOperationLock {
 public:
  TOperationLock(TDataCursor& cursor, std::int32_t slot) : cursor_(cursor), slot_(slot) {
    if (cursor.HoldsRecordLock(slot)) return;
    cursor.LockCurrentRecord(slot);
    owned_ = true;
  }
  ~TOperationLock() {
    if (!owned_) return;
    try {
      cursor_.UnlockCurrentRecord(slot_);
    } catch (...) {
      // The lock byte goes with the table's close at the latest.
    }
  }
  TOperationLock(const TOperationLock&) = delete;
  TOperationLock& operator=(const TOperationLock&) = delete;

 private:
  TDataCursor& cursor_;
  std::int32_t slot_;
  bool owned_ = false;
};

// Runs a modifying operation of a shared table. When it fails part way, what the caches hold no
// longer matches the files (a key inserted, a header not written): the caches are dropped and the
// headers read again, so that the next operation starts from what the files hold. Inside a
// transaction the caches are the transaction's and stay.
template <class TOperation>
auto SharedChange(TDataTable& table, TOperation operation) {
  try {
    return operation();
  } catch (...) {
    if (!table.Exclusive() && !table.InTransaction() && !table.ReadOnly()) {
      try {
        table.DiscardAll(false, true);
      } catch (...) {
        // The original failure is the one to report.
      }
    }
    throw;
  }
}

// One record operation of a cursor as a whole. From its start the table keeps what the operation
// changes in its caches and headers, the cursor's blob values what a post changes in them, and the
// caller's record buffer its bytes. Unless the operation is done, all of it is put back on the way
// out, and the cursor finds its place again: a refused add, change or delete (a lock, a full table
// or disk, an I/O error) leaves the table as it was. Requires: the writer lock, the table lock or
// the table exclusively, held until this scope ends.
class TChangeScope {
 public:
  TChangeScope(TDataTable& table, TBlobValues& values, std::span<std::byte> buffer,
               std::function<void()> refind)
      : table_(table),
        values_(values),
        buffer_(buffer),
        saved_(buffer.begin(), buffer.end()),
        refind_(std::move(refind)) {
    table_.BeginChange();
    values_.BeginChange();
  }
  ~TChangeScope() {
    if (done_) return;
    try {
      table_.UndoChange();
    } catch (...) {
      // What could not be written back stays as it is in the files; a shared table drops its
      // caches after a failure (SharedChange), so that nothing half done is written later.
    }
    values_.UndoChange();
    std::copy(saved_.begin(), saved_.end(), buffer_.begin());
    try {
      refind_();
    } catch (...) {
      // The next read finds the place or reports why it cannot.
    }
  }
  TChangeScope(const TChangeScope&) = delete;
  TChangeScope& operator=(const TChangeScope&) = delete;

  void Done() {
    done_ = true;
    table_.EndChange();
    values_.EndChange();
  }

 private:
  TDataTable& table_;
  TBlobValues& values_;
  std::span<std::byte> buffer_;
  std::vector<std::byte> saved_;
  std::function<void()> refind_;
  bool done_ = false;
};

// How often a read operation starts over after finding the table changed. Once a change was
// found the reader lock is held, so a second start is already rare.
constexpr int kChangeRetries = 8;

// Where a blob field's slot keeps the value's stamp.
constexpr std::size_t kBlobSlotStamp = 5;

// Counts a cursor's nested read operations; the outermost one installs the index file's change
// hook and removes it again.
class TReadDepth {
 public:
  TReadDepth(int& depth, TIndexFile& index, TIndexFile::TChangeHook hook) : depth_(depth), index_(index) {
    if (depth_++ == 0) index_.SetChangeHook(std::move(hook));
  }
  ~TReadDepth() {
    if (--depth_ == 0) index_.SetChangeHook({});
  }
  TReadDepth(const TReadDepth&) = delete;
  TReadDepth& operator=(const TReadDepth&) = delete;

 private:
  int& depth_;
  TIndexFile& index_;
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

std::vector<int> TDataCursor::KeyedIndexes() const {
  std::vector<int> slots;
  const TIndexFile& index = table_->IndexFile();
  if (!index.NoPrimaryIndex()) slots.push_back(kPrimarySlot);
  for (int slot = 1; slot <= index.SecondaryIndexCount(); ++slot) slots.push_back(slot);
  return slots;
}

bool TDataCursor::HasAutoIncrementField() const {
  return std::any_of(descriptors_.begin(), descriptors_.end(),
                     [](const TFieldDescriptor& d) { return IsAutoIncrement(d.FieldType, d.FieldSubType); });
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

template <class TOperation>
auto TDataCursor::ReadOperation(TOperation operation) {
  if (table_ == nullptr) RaiseEngineError(kInvalidFileHandle, options_.table_name);
  TReadScope scope([this] { EndRead(); });
  TReadDepth depth(read_depth_, table_->IndexFile(), [this] { return CheckBeforeRead(); });
  bool refresh = BeginRead();
  for (int attempt = 0;; ++attempt) {
    try {
      if (refresh) Reestablish();
      return operation();
    } catch (const EIndexChanged&) {
      // What the caches held is gone; the reader lock now keeps the table as it is.
      if (attempt >= kChangeRetries) Raise(kIndexBuffersCorrupt, {}, IndexName());
      refresh = true;
    }
  }
}

std::int32_t TDataCursor::RunFrom(std::int32_t slot, bool forward, std::int32_t limit, std::int32_t gap) {
  if (index_slot_ == kSlotOrder || !Position().Valid() || Position().RecordNumber() != slot) {
    const std::int32_t next = table_->DataFile().Header().NextRecordSlot;
    return std::max(1, std::min(limit, forward ? next - slot : slot));
  }
  return Position().SlotRunAhead(forward, limit, gap);
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
    // An equal entry exists when the last entry not above the key is at or behind this one.
    TIndexPosition upper(tree);
    if (!upper.Seek(key, TBound::kUpper)) return false;
    return upper.Ordinal() >= Position().Ordinal();
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

// --- Record operations ---

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
  own_locks_.insert(slot);
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
  own_locks_.erase(slot);
}

void TDataCursor::Validate(std::span<const std::byte> buffer) const {
  const bool copying = options_.purpose == TCursorPurpose::kRestructure;
  for (const TFieldDescriptor& d : descriptors_) {
    if (!IsStored(d) || IsAutoIncrement(d.FieldType, d.FieldSubType)) continue;
    const std::string name(TrimBlanks(d.FieldName));
    // The new table of a maintenance copy (a restructure cursor) takes the records as they are:
    // one that lacks a required value (a repair may have emptied a damaged blob) keeps lacking it
    // rather than being lost.
    if (d.Required != 0 && !copying && IsNull(ConstFieldSlot(buffer, d))) Raise(kValueRequired, name);
    if (!d.MinValue.empty()) {
      const auto c = CompareFieldWithText(d, buffer, d.MinValue, language_id_, sort_id_);
      if (c.has_value() && *c < 0) Raise(kBelowMinimum, name);
    }
    if (!d.MaxValue.empty()) {
      const auto c = CompareFieldWithText(d, buffer, d.MaxValue, language_id_, sort_id_);
      if (c.has_value() && *c > 0) Raise(kAboveMaximum, name);
    }
  }
}

// --- Blob values ---

void TDataCursor::RaiseCode(TEngineCode code, std::uint16_t field_number) const {
  const std::string field = field_number >= 1 && field_number <= descriptors_.size()
                                ? descriptors_[field_number - 1u].FieldName
                                : "";
  Raise(code, field);
}

TEngineCode TDataCursor::OpenBlob(std::uint16_t field_number, std::span<std::byte> record,
                                  bool engine_internal, std::uint8_t mode) {
  if (table_ == nullptr) RaiseEngineError(kInvalidFileHandle, options_.table_name);
  if (record.size() < record_size_) return kInvalidBlobField;
  // Loading runs under the reader lock, so that no other opener rewrites the chain meanwhile.
  return ReadOperation([&] {
    (void)CheckBeforeRead();
    return blob_values_->Open(field_number, record, engine_internal, mode);
  });
}

TEngineCode TDataCursor::CloseBlob(std::uint16_t field_number, std::span<std::byte> record) {
  if (table_ == nullptr) RaiseEngineError(kInvalidFileHandle, options_.table_name);
  if (record.size() < record_size_) return kInvalidBlobField;
  return blob_values_->Close(field_number, record);
}

TEngineCode TDataCursor::ReadBlob(std::uint16_t field_number, std::span<const std::byte> record,
                                  std::int64_t offset, std::span<std::byte> out, std::size_t& copied) {
  if (table_ == nullptr) RaiseEngineError(kInvalidFileHandle, options_.table_name);
  copied = 0;
  if (record.size() < record_size_) return kInvalidBlobField;
  return blob_values_->Read(field_number, record, offset, out, copied);
}

TEngineCode TDataCursor::WriteBlob(std::uint16_t field_number, std::span<std::byte> record,
                                   std::int64_t offset, std::span<const std::byte> bytes) {
  if (table_ == nullptr) RaiseEngineError(kInvalidFileHandle, options_.table_name);
  if (record.size() < record_size_) return kInvalidBlobField;
  return blob_values_->Write(field_number, record, offset, bytes);
}

TEngineCode TDataCursor::SetBlobSize(std::uint16_t field_number, std::span<std::byte> record,
                                     std::int64_t size) {
  if (table_ == nullptr) RaiseEngineError(kInvalidFileHandle, options_.table_name);
  if (record.size() < record_size_) return kInvalidBlobField;
  return blob_values_->SetSize(field_number, record, size);
}

TEngineCode TDataCursor::GetBlobSize(std::uint16_t field_number, std::span<const std::byte> record,
                                     std::int64_t& size) {
  if (table_ == nullptr) RaiseEngineError(kInvalidFileHandle, options_.table_name);
  size = 0;
  if (record.size() < record_size_) return kInvalidBlobField;
  return blob_values_->GetSize(field_number, record, size);
}

void TDataCursor::CloseBlobValues(std::span<std::byte> record) {
  if (table_ == nullptr || record.size() < record_size_) return;
  blob_values_->CloseRecordValues(record);
}

std::vector<std::byte> TDataCursor::ReadBlobField(std::uint16_t field_number) {
  RequireRecord();
  return ReadOperation([&] {
    // The reader lock for the load; when another opener changed the table, the current record
    // is read again first.
    if (CheckBeforeRead()) throw EIndexChanged();
    if (!on_record_) Raise(kRecordChanged);
    std::vector<std::byte> image = current_;
    if (const TEngineCode code = blob_values_->Open(field_number, image, true, kBlobModeRead); code != 0) {
      RaiseCode(code, field_number);
    }
    std::int64_t size = 0;
    std::vector<std::byte> value;
    std::size_t copied = 0;
    TEngineCode code = blob_values_->GetSize(field_number, image, size);
    if (code == 0) {
      value.resize(static_cast<std::size_t>(size));
      code = blob_values_->Read(field_number, image, 0, value, copied);
    }
    const TEngineCode closed = blob_values_->Close(field_number, image);
    if (code == 0) code = closed;
    if (code != 0) RaiseCode(code, field_number);
    return value;
  });
}

void TDataCursor::SetBlobField(std::span<std::byte> record, std::uint16_t field_number,
                               std::span<const std::byte> value) {
  auto check = [&](TEngineCode code) {
    if (code != 0) RaiseCode(code, field_number);
  };
  check(OpenBlob(field_number, record, true, kBlobModeWrite));
  check(SetBlobSize(field_number, record, static_cast<std::int64_t>(value.size())));
  check(WriteBlob(field_number, record, 0, value));
}

void TDataCursor::CheckBlobReferences(std::span<const std::byte> stored,
                                      std::span<const std::byte> buffer) const {
  for (const TFieldDescriptor& d : descriptors_) {
    if (d.FieldType != kTypeBlob || !IsStored(d)) continue;
    const TBlobRef old = GetBlobRef(ConstFieldSlot(stored, d));
    const TBlobRef now = GetBlobRef(ConstFieldSlot(buffer, d));
    TBlobRef named = now;
    if (now.Reference < 0) {
      const TBlobBuffer* open = blob_values_->Find(now.Reference);
      if (open == nullptr) continue;  // refused by the post's own check
      named = {open->FirstBlock(), open->Stamp()};
    } else if (now.Reference == 0) {
      // Clearing a reference (repair does) is taken as it is.
      continue;
    }
    // The buffer names a chain the record does not hold (any more): the image is stale, and
    // storing it would give one chain two owners.
    if (named.Reference != old.Reference || (old.Reference != 0 && named.Stamp != old.Stamp)) {
      Raise(kRecordChanged, std::string(TrimBlanks(d.FieldName)));
    }
  }
}

void TDataCursor::StoreBlobValues(TRecord& record, std::span<std::byte> image, std::span<std::byte> buffer) {
  (void)record;
  blob_values_->Post(image);
  // Stamps and references back into the caller's buffer; a value still open keeps its handle
  // there (closing it gives the reference back) and takes the new stamp.
  for (const TFieldDescriptor& d : descriptors_) {
    if (d.FieldType != kTypeBlob || !IsStored(d)) continue;
    const TConstBytes posted = ConstFieldSlot(image, d);
    const TBytes slot = FieldSlot(buffer, d);
    const TBlobRef ref = GetBlobRef(slot);
    if (ref.Reference < 0 && blob_values_->Find(ref.Reference) != nullptr) {
      PutI32(slot, kBlobSlotStamp, GetBlobRef(posted).Stamp);
    } else {
      std::copy(posted.begin(), posted.end(), slot.begin());
    }
  }
}

void TDataCursor::FreeBlobValues(TRecord& record) {
  std::vector<std::byte> image(record.Bytes().begin(), record.Bytes().end());
  blob_values_->ReleaseRecordValues(image);
  record.CopyFields(image);
}

void TDataCursor::RefindAfterUndo() {
  // The pages the position stood on may have gone back to what they held before.
  position_.reset();
  if (on_record_ || between_) Reestablish();
}

void TDataCursor::WriteAfterChange() {
  if (!table_->Exclusive() && !read_only_) table_->WriteAll(false, true);
}

std::int32_t TDataCursor::AddRecord(std::span<std::byte> buffer, bool reposition) {
  RequireWritable();
  return SharedChange(*table_, [&] { return AddRecordLocked(buffer, reposition); });
}

std::int32_t TDataCursor::AddRecordLocked(std::span<std::byte> buffer, bool reposition) {
  // 1. Writable, the writer lock, the position re-established on a change.
  RequireWritable();
  if (buffer.size() < record_size_) Raise(kRecordBuffersCorrupt);
  TTableLockGuard writer(*table_, TTableLockKind::kWriter);
  if (writer.Changed() || !(table_->ChangeCounters() == seen_counters_)) Reestablish();
  TDataFile& data = table_->DataFile();
  TIndexFile& index = table_->IndexFile();
  // 2. The slot, locked. From here on a failure puts everything back.
  const std::int32_t slot = table_->Records().SlotForNextAppend();
  TOperationLock lock(*this, slot);
  TChangeScope change(*table_, *blob_values_, buffer, [this] { RefindAfterUndo(); });
  // 3. The fields; every blob value of the buffer becomes the new record's own, and must fit.
  Validate(buffer);
  const bool has_blobs = data.BlobFieldCount() > 0;
  if (has_blobs) {
    blob_values_->MakeValuesOwn(buffer);
    blob_values_->CheckPostable(buffer);
    blob_values_->CheckRoom(buffer);
  }
  // 4. The auto-increment value, and the header of the record as it will stand.
  const bool keep_supplied = KeepSuppliedAutoIncrement && HasAutoIncrementField();
  if (!keep_supplied) SetRecordAutoIncrement(buffer, FollowingAutoIncrement(data.LastAutoIncrement()));
  SetRecordDeleted(buffer, false);
  SetRecordSlotLink(buffer, slot);
  const std::int32_t auto_increment = RecordAutoIncrement(buffer);
  // 5. Every key, checked before anything changes; a full table too.
  const std::vector<int> keyed = defer_keys_ ? std::vector<int>() : KeyedIndexes();
  std::vector<TKey> keys;
  keys.reserve(keyed.size());
  for (const int s : keyed) {
    TIndexTree& tree = Tree(s);
    keys.push_back(tree.BuildKey(buffer));
    if (tree.Unique()) tree.CheckUnique(keys.back());
  }
  const bool at_end = slot == data.Header().NextRecordSlot;
  if (at_end && !CanCreateSlot(slot, data.RecordSize())) Raise(kTableFull);
  for (std::size_t i = 0; i < keyed.size(); ++i) Tree(keyed[i]).Insert(keys[i], slot);
  // 6. The slot, and its "Sys Deleted" key.
  TIndexTree& deleted_index = Tree(kSysDeletedSlot);
  TRecordPin pin;
  if (at_end) {
    pin = Fetch(slot, true, TReadAhead::kNone);
    if (!defer_keys_) deleted_index.Insert(deleted_index.BuildKey(buffer), slot);
  } else {
    pin = table_->Records().AllocateSlot(this);
    if (!pin) Raise(kRecordBuffersCorrupt);
    if (!defer_keys_)
      deleted_index.Replace(deleted_index.BuildKey(pin->Bytes()), deleted_index.BuildKey(buffer), slot);
  }
  // 7. The record itself.
  if (keep_supplied) {
    pin->Clear(false);
    data.SetLastAutoIncrement(std::max(FollowingAutoIncrement(data.LastAutoIncrement()), auto_increment));
  } else {
    pin->Clear(true);
  }
  std::vector<std::byte> image(buffer.begin(), buffer.begin() + record_size_);
  if (has_blobs) StoreBlobValues(*pin, image, buffer);
  pin->CopyFields(image);
  pin->SetAutoIncrement(auto_increment);
  pin->SetModified(true);
  ++index.MutableHeader().active_records;
  index.MarkModified();
  // 8. Released, and written for the other openers.
  pin.Release();
  WriteAfterChange();
  change.Done();
  NoteCounters();
  // 9. The new record as the current one.
  if (reposition) {
    current_ = std::move(image);
    current_slot_ = slot;
    on_record_ = true;
    between_ = false;
    after_last_ = false;
    if (index_slot_ != kSlotOrder) {
      current_key_ = Tree(index_slot_).BuildKey(current_);
      (void)Position().SeekExact(current_key_);
    }
  } else if (index_slot_ != kSlotOrder && (on_record_ || between_)) {
    Reestablish();
  }
  return slot;
}

void TDataCursor::ChangeRecord(std::span<std::byte> buffer, bool reposition, bool unlock) {
  RequireWritable();
  SharedChange(*table_, [&] { ChangeRecordLocked(buffer, reposition, unlock); });
}

void TDataCursor::ChangeRecordLocked(std::span<std::byte> buffer, bool reposition, bool unlock) {
  RequireWritable();
  RequireRecord();
  if (buffer.size() < record_size_) Raise(kRecordBuffersCorrupt);
  TTableLockGuard writer(*table_, TTableLockKind::kWriter);
  if (writer.Changed() || !(table_->ChangeCounters() == seen_counters_)) Reestablish();
  if (!on_record_) Raise(kRecordChanged);
  const std::int32_t slot = current_slot_;
  const bool unlock_after = unlock || !HoldsRecordLock(slot);
  TOperationLock lock(*this, slot);
  TChangeScope change(*table_, *blob_values_, buffer, [this] { RefindAfterUndo(); });
  Validate(buffer);
  TDataFile& data = table_->DataFile();
  TRecordPin pin = Fetch(slot, true, TReadAhead::kNone);
  if (pin->Deleted()) Raise(kRecordChanged);
  const std::vector<std::byte> old(pin->Bytes().begin(), pin->Bytes().end());
  const bool keep_supplied = KeepSuppliedAutoIncrement && HasAutoIncrementField();
  if (keep_supplied) {
    data.SetLastAutoIncrement(std::max(data.LastAutoIncrement(), RecordAutoIncrement(buffer)));
  } else {
    SetRecordAutoIncrement(buffer, RecordAutoIncrement(old));
  }
  SetRecordDeleted(buffer, false);
  SetRecordSlotLink(buffer, slot);
  const bool has_blobs = data.BlobFieldCount() > 0;
  if (has_blobs) {
    CheckBlobReferences(old, buffer);
    blob_values_->CheckPostable(buffer);
    blob_values_->CheckRoom(buffer);
  }
  // Keys that move: every unique one checked before any is replaced.
  struct TMove {
    int slot;
    TKey old_key;
    TKey new_key;
  };
  std::vector<TMove> moves;
  for (const int s : KeyedIndexes()) {
    TIndexTree& tree = Tree(s);
    TKey old_key = tree.BuildKey(old);
    TKey new_key = tree.BuildKey(buffer);
    if (old_key == new_key) continue;
    if (tree.Unique() && tree.CompareKeys(old_key, new_key) != 0) tree.CheckUnique(new_key);
    moves.push_back({s, std::move(old_key), std::move(new_key)});
  }
  for (const TMove& move : moves) Tree(move.slot).Replace(move.old_key, move.new_key, slot);
  bool key_changed = !moves.empty();
  if (keep_supplied && RecordAutoIncrement(old) != RecordAutoIncrement(buffer)) {
    TIndexTree& deleted_index = Tree(kSysDeletedSlot);
    deleted_index.Replace(deleted_index.BuildKey(old), deleted_index.BuildKey(buffer), slot);
    key_changed = true;
  }
  std::vector<std::byte> image(buffer.begin(), buffer.begin() + record_size_);
  if (has_blobs) StoreBlobValues(*pin, image, buffer);
  pin->CopyFields(image);
  pin->SetAutoIncrement(RecordAutoIncrement(image));
  pin.Release();
  // Written for the other openers: the data header always, the index header when a key moved.
  if (!table_->Exclusive() && !read_only_) {
    data.MarkHeaderChanged();
    if (key_changed) table_->IndexFile().MarkModified();
    table_->WriteAll(false, false);
  }
  change.Done();
  NoteCounters();
  const TKey old_position_key = current_key_;
  current_ = std::move(image);
  if (index_slot_ != kSlotOrder) {
    if (reposition) {
      current_key_ = Tree(index_slot_).BuildKey(current_);
      (void)Position().SeekExact(current_key_);
    } else {
      current_key_ = Tree(index_slot_).BuildKey(current_);
      if (!Position().SeekExact(current_key_)) (void)Position().Seek(old_position_key, TBound::kLower);
    }
  }
  if (unlock_after && HoldsRecordLock(slot)) UnlockCurrentRecord(slot);
}

void TDataCursor::DeleteRecord(std::span<const std::byte> buffer, bool reposition) {
  RequireWritable();
  SharedChange(*table_, [&] { DeleteRecordLocked(buffer, reposition); });
}

void TDataCursor::DeleteRecordLocked(std::span<const std::byte> buffer, bool reposition) {
  RequireWritable();
  RequireRecord();
  TTableLockGuard writer(*table_, TTableLockKind::kWriter);
  if (writer.Changed() || !(table_->ChangeCounters() == seen_counters_)) Reestablish();
  if (!on_record_) Raise(kRecordChanged);
  const std::int32_t slot = current_slot_;
  TDataFile& data = table_->DataFile();
  TIndexFile& index = table_->IndexFile();
  {
    TRecordPin pin = Fetch(slot, true, TReadAhead::kNone);
    // What the table holds now must be what the caller saw.
    if (!table_->Exclusive() && (pin->Deleted() || !pin->SameAs(buffer))) Raise(kRecordChanged);
  }
  const bool held_before = HoldsRecordLock(slot);
  {
    TOperationLock lock(*this, slot);
    TChangeScope change(*table_, *blob_values_, {}, [this] { RefindAfterUndo(); });
    TRecordPin pin = Fetch(slot, true, TReadAhead::kNone);
    // The values first: a chain that cannot be freed leaves the record and its keys as they are.
    if (data.BlobFieldCount() > 0) FreeBlobValues(*pin);
    const std::vector<std::byte> image(pin->Bytes().begin(), pin->Bytes().end());
    for (const int s : KeyedIndexes()) Tree(s).Remove(Tree(s).BuildKey(image));
    TIndexTree& deleted_index = Tree(kSysDeletedSlot);
    std::vector<std::byte> deleted_image = image;
    SetRecordDeleted(deleted_image, true);
    deleted_index.Replace(deleted_index.BuildKey(image), deleted_index.BuildKey(deleted_image), slot);
    --index.MutableHeader().active_records;
    index.MarkModified();
    table_->Records().FreeSlot(*pin);
    pin.Release();
    WriteAfterChange();
    change.Done();
    NoteCounters();
  }
  // The record is gone: a lock taken for editing it ends with it.
  if (held_before && HoldsRecordLock(slot)) UnlockCurrentRecord(slot);
  on_record_ = false;
  between_ = true;
  current_.clear();
  if (index_slot_ != kSlotOrder) (void)Position().Seek(current_key_, TBound::kLower);
  if (reposition) (void)Next();
}

void TDataCursor::RemoveAddedRecord(std::int32_t slot, int skip_index) {
  RequireWritable();
  TDataFile& data = table_->DataFile();
  TIndexFile& index = table_->IndexFile();
  TRecordPin pin = Fetch(slot, true, TReadAhead::kNone);
  if (pin->Deleted()) Raise(kRecordBuffersCorrupt);
  if (data.BlobFieldCount() > 0) FreeBlobValues(*pin);
  const std::vector<std::byte> image(pin->Bytes().begin(), pin->Bytes().end());
  for (const int s : KeyedIndexes()) {
    if (s != skip_index) Tree(s).Remove(Tree(s).BuildKey(image));
  }
  TIndexTree& deleted_index = Tree(kSysDeletedSlot);
  std::vector<std::byte> deleted_image = image;
  SetRecordDeleted(deleted_image, true);
  deleted_index.Replace(deleted_index.BuildKey(image), deleted_index.BuildKey(deleted_image), slot);
  --index.MutableHeader().active_records;
  index.MarkModified();
  table_->Records().FreeSlot(*pin);
}

TDataHeader ReadClosedTableHeader(TDataDirectory& directory, const std::string& table_name, bool in_memory) {
  CheckTableName(table_name);
  const std::string name = NormalizeTableName(table_name);
  if (!in_memory) (void)RecoverTableExchange(directory.Path(), name);
  TFileHandler file;
  file.SetFileName((in_memory ? std::string() : directory.Path()) + name);
  file.SetInMemory(in_memory);
  file.Open();
  std::array<std::byte, kDataHeaderSize> raw{};
  try {
    (void)file.ReadAt(0, raw, false);
  } catch (...) {
    file.Close();
    throw;
  }
  file.Close();
  return DecodeDataHeader(raw);
}

}  // namespace tarvo

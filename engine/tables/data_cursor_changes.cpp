#include "engine/tables/data_cursor.h"

#include <algorithm>
#include <functional>

#include "errors/engine_error.h"
#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/format/record_layout.h"
#include "engine/format/value_text.h"
#include "engine/tables/table_lock_guard.h"
#include "support/short_text.h"

namespace tarvo {

namespace {

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
// transaction the caches are the transaction's and stay; inside a batch they hold the batch's
// earlier changes and stay too, unless the failed change could not be put back.
template <class TOperation>
auto SharedChange(TDataTable& table, TOperation operation) {
  try {
    return operation();
  } catch (...) {
    const bool kept = table.InTransaction() || (table.InBatch() && !table.UndoFailed());
    if (!table.Exclusive() && !kept && !table.ReadOnly()) {
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
  // `saved` keeps the buffer's bytes meanwhile.
  TChangeScope(TDataTable& table, TBlobValues& values, std::span<std::byte> buffer,
               std::vector<std::byte>& saved, std::function<void()> refind)
      : table_(table), values_(values), buffer_(buffer), saved_(saved), refind_(std::move(refind)) {
    saved_.assign(buffer.begin(), buffer.end());
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
  std::vector<std::byte>& saved_;
  std::function<void()> refind_;
  bool done_ = false;
};

}  // namespace

// --- Record changes ---

const std::vector<int>& TDataCursor::KeyedIndexes() {
  keyed_.clear();
  const TIndexFile& index = table_->IndexFile();
  if (!index.NoPrimaryIndex()) keyed_.push_back(kPrimarySlot);
  for (int slot = 1; slot <= index.SecondaryIndexCount(); ++slot) keyed_.push_back(slot);
  return keyed_;
}

bool TDataCursor::HasAutoIncrementField() const {
  return std::any_of(descriptors_.begin(), descriptors_.end(),
                     [](const TFieldDescriptor& d) { return IsAutoIncrement(d.FieldType, d.FieldSubType); });
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

void TDataCursor::RefindAfterUndo() {
  // The pages the position stood on may have gone back to what they held before.
  position_.reset();
  if (on_record_ || between_) Reestablish();
}

void TDataCursor::WriteAfterChange() {
  if (!table_->Exclusive() && !read_only_ && !table_->InBatch()) table_->WriteAll(false, true);
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
  TChangeScope change(*table_, *blob_values_, buffer, saved_buffer_, [this] { RefindAfterUndo(); });
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
  if (defer_keys_) {
    keyed_.clear();
  } else {
    (void)KeyedIndexes();
  }
  if (keys_.size() < keyed_.size()) keys_.resize(keyed_.size());
  for (std::size_t i = 0; i < keyed_.size(); ++i) {
    TIndexTree& tree = Tree(keyed_[i]);
    tree.BuildKeyInto(buffer, keys_[i]);
    if (tree.Unique()) tree.CheckUnique(keys_[i]);
  }
  const bool at_end = slot == data.Header().NextRecordSlot;
  if (at_end && !CanCreateSlot(slot, data.RecordSize())) Raise(kTableFull);
  for (std::size_t i = 0; i < keyed_.size(); ++i) Tree(keyed_[i]).Insert(keys_[i], slot);
  // 6. The slot, and its "Sys Deleted" key.
  TIndexTree& deleted_index = Tree(kSysDeletedSlot);
  TRecordPin pin;
  if (at_end) {
    pin = Fetch(slot, true, TReadAhead::kNone);
    if (!defer_keys_) {
      deleted_index.BuildKeyInto(buffer, deleted_key_);
      deleted_index.Insert(deleted_key_, slot);
    }
  } else {
    pin = table_->Records().AllocateSlot(this);
    if (!pin) Raise(kRecordBuffersCorrupt);
    if (!defer_keys_) {
      deleted_index.BuildKeyInto(pin->Bytes(), old_deleted_key_);
      deleted_index.BuildKeyInto(buffer, deleted_key_);
      deleted_index.Replace(old_deleted_key_, deleted_key_, slot);
    }
  }
  // 7. The record itself.
  if (keep_supplied) {
    pin->Clear(false);
    data.SetLastAutoIncrement(std::max(FollowingAutoIncrement(data.LastAutoIncrement()), auto_increment));
  } else {
    pin->Clear(true);
  }
  image_.assign(buffer.begin(), buffer.begin() + record_size_);
  if (has_blobs) StoreBlobValues(*pin, image_, buffer);
  pin->CopyFields(image_);
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
    current_ = image_;
    values_read_ = ~std::uint64_t{0};
    current_slot_ = slot;
    on_record_ = true;
    between_ = false;
    after_last_ = false;
    if (index_slot_ != kSlotOrder) {
      Tree(index_slot_).BuildKeyInto(current_, current_key_);
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
  TChangeScope change(*table_, *blob_values_, buffer, saved_buffer_, [this] { RefindAfterUndo(); });
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
    if (!table_->InBatch()) table_->WriteAll(false, false);
  }
  change.Done();
  NoteCounters();
  const TKey old_position_key = current_key_;
  current_ = std::move(image);
  values_read_ = ~std::uint64_t{0};
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
    TChangeScope change(*table_, *blob_values_, {}, saved_buffer_, [this] { RefindAfterUndo(); });
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
}  // namespace tarvo

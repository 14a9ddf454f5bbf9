// TDataCursor: the engine cursor through which everything above the engine reads and changes a
// table. Opening joins (or opens) the session's TDataTable of that name, checks the password and,
// for the first opener of the session, the three files' headers under the reader lock; the cursor
// then keeps copies of the locale, the field descriptors and the change counters it has seen.
//
// A cursor walks the table in the order of one index or in slot order, holds a copy of its
// current record, and adds, changes and deletes records with their keys in every index. Every
// modifying operation runs under the table's writer lock (released on every way out) and, unless
// the table is exclusive, writes all buffers before it returns so that other openers see it.
// When the change counters show that another opener changed the table, the cursor finds its
// place again by the key (or slot) of its current record.
//
// The member functions are defined in three files: data_cursor.cpp (open, password, order,
// position, record locks), data_cursor_changes.cpp (adding, changing and deleting records, their
// checks and keys) and data_cursor_blobs.cpp (blob values); data_cursor_read.h holds the read
// operation they share.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/blob/blob_chain.h"
#include "engine/blob/blob_values.h"
#include "engine/format/data_header.h"
#include "engine/format/field_descriptor.h"
#include "engine/index/index_tree.h"
#include "engine/records/record_cache.h"
#include "engine/tables/data_table.h"
#include "support/locale.h"

namespace tarvo {

class TDataDirectory;
class TDataSession;

// Why a cursor is opened: repair and restructure cursors open damaged tables without the
// open-time header checks.
enum class TCursorPurpose { kNormal, kRepair, kRestructure };

struct TCursorOpenOptions {
  std::string table_name;
  bool exclusive = false;
  bool read_only = false;
  bool in_memory = false;
  bool temporary = false;
  bool sequential = false;
  TCursorPurpose purpose = TCursorPurpose::kNormal;
};

// The slot-order "index" of a cursor.
inline constexpr int kSlotOrder = -1;

class TDataCursor : public TRecordFetcher {
 public:
  TDataCursor(TDataSession& session, TDataDirectory& directory);
  ~TDataCursor() override;
  TDataCursor(const TDataCursor&) = delete;
  TDataCursor& operator=(const TDataCursor&) = delete;

  // Raises: 11013 for a conflicting open, 11010 for a missing data file, 10498 without the
  // password, and the header checks' codes. A failed open leaves the cursor closed.
  void Open(const TCursorOpenOptions& options);
  void Close();
  bool IsOpen() const { return table_ != nullptr; }

  TDataSession& Session() const { return session_; }
  TDataDirectory& Directory() const { return directory_; }
  TDataTable& Table() const { return *table_; }
  const TCursorOpenOptions& Options() const { return options_; }
  bool ReadOnly() const { return read_only_; }
  bool Exclusive() const { return options_.exclusive; }

  // Copies taken at open.
  TLanguageId LanguageID() const { return language_id_; }
  TSortId SortID() const { return sort_id_; }
  std::uint16_t FieldCount() const { return static_cast<std::uint16_t>(descriptors_.size()); }
  std::uint16_t RecordSize() const { return record_size_; }
  const std::vector<TFieldDescriptor>& Descriptors() const { return descriptors_; }
  const TCharMap& CharMap() const { return char_map_; }
  // From the table's header in memory.
  std::uint32_t BlobBlockSize() const;
  std::int32_t LastAutoIncrement() const;

  const TDataTable::TChangeCounters& SeenCounters() const { return seen_counters_; }
  void NoteCounters() { seen_counters_ = table_->ChangeCounters(); }

  // --- Order and position ---
  // "" selects the primary index (slot order for a table without one); otherwise a secondary
  // index by name without regard to case (10022 when there is none). The cursor goes before the
  // first record.
  void SelectIndex(const std::string& name);
  void SelectSlotOrder();
  int IndexSlot() const { return index_slot_; }  // kSlotOrder or 0 .. 30
  std::string IndexName() const;
  // Each returns whether the cursor stands on a record afterwards; Next and Prior stop off the end.
  bool First();
  bool Last();
  bool Next();
  bool Prior();
  // Positions on the first record whose key is not below the key of `record` (a record image with
  // the key fields filled), over the first `key_fields` fields of the index (0: all). Returns
  // whether that record's key equals the one searched on those fields. 8709 in slot order.
  bool FindKey(std::span<const std::byte> record, int key_fields = 0);
  // Positions on the first entry of the current index whose key is not below `key` (kLower) or on
  // the last one not above it (kUpper), comparing only as many bytes of the index's keys as `key`
  // has (a key built from a record image and cut after some fields or bytes). Returns whether the
  // cursor stands on a record. 8709 in slot order.
  bool SeekKey(std::span<const std::byte> key, TBound bound);
  // Positions on the record in `slot`; false when the slot holds no record.
  bool GoToSlot(std::int32_t slot);
  // Records in use (the index file's active record count).
  std::int32_t RecordCount();
  bool OnRecord() const { return on_record_; }
  std::int32_t CurrentSlot() const { return on_record_ ? current_slot_ : 0; }
  // The current record's bytes (RecordSize); 8709 when the cursor is not on a record.
  const std::vector<std::byte>& CurrentRecord() const;
  // 1-based position of the current record in the cursor's order; 8709 off a record.
  std::int32_t Ordinal();
  // A zeroed record image of the table's size for building records.
  std::vector<std::byte> NewRecordBuffer() const { return std::vector<std::byte>(record_size_); }

  // --- Record operations ---
  // Locks a slot for this cursor (0: the current record): 10258 when a cursor of this table holds
  // it already or another opener does after the retries.
  void LockCurrentRecord(std::int32_t slot = 0);
  void UnlockCurrentRecord(std::int32_t slot = 0);
  bool HoldsRecordLock(std::int32_t slot) const {
    return std::binary_search(own_locks_.begin(), own_locks_.end(), slot);
  }
  // Adds `buffer` (RecordSize bytes) as a new record with its keys; the buffer receives the record
  // header (slot, auto-increment value). Returns the slot. 11013 on a read-only cursor, 9732, 9730,
  // 9731 for a field, 9729 for a duplicate key (nothing changed), 9479 when the table is full.
  std::int32_t AddRecord(std::span<std::byte> buffer, bool reposition);
  // Replaces the current record by `buffer`; keys move where they changed.
  void ChangeRecord(std::span<std::byte> buffer, bool reposition, bool unlock);
  // Deletes the current record; `buffer` is the record as the caller last saw it (8708 when the
  // table holds something else now, unless the cursor is exclusive).
  void DeleteRecord(std::span<const std::byte> buffer, bool reposition);
  // Takes a just-added record out again after one of its keys failed: its keys except in index
  // `skip_index`, its "Sys Deleted" key, the active count, and its slot.
  void RemoveAddedRecord(std::int32_t slot, int skip_index);
  // With an auto-increment field: added and changed records keep the value in their buffer.
  bool KeepSuppliedAutoIncrement = false;
  // While set, AddRecord leaves every index alone (no keys, no unique checks, no "Sys Deleted"
  // key): for a table whose indexes are built from all its records afterwards.
  void DeferIndexKeys(bool defer) { defer_keys_ = defer; }

  // --- Blob values ---
  // A blob field of a record buffer is opened into memory, read, written and resized there, and
  // stored when the buffer is posted by AddRecord or ChangeRecord (new stamps, the chains, the
  // references written back into the buffer). While open, the field's slot in `record` holds a
  // handle. Each returns 0 or the engine code for the caller to raise: 10753 not a blob field,
  // 9998 (open) / 10030 (others) a handle of no value of this cursor, 9494 a 65th open value,
  // 8711 a read reaching past the end (what there was is copied, `copied` tells how much).
  // Opening loads the value (raising 8708 when its blocks carry another stamp than the slot).
  [[nodiscard]] TEngineCode OpenBlob(std::uint16_t field_number, std::span<std::byte> record,
                                     bool engine_internal = false, std::uint8_t mode = 1);
  [[nodiscard]] TEngineCode CloseBlob(std::uint16_t field_number, std::span<std::byte> record);
  [[nodiscard]] TEngineCode ReadBlob(std::uint16_t field_number, std::span<const std::byte> record,
                                     std::int64_t offset, std::span<std::byte> out, std::size_t& copied);
  [[nodiscard]] TEngineCode WriteBlob(std::uint16_t field_number, std::span<std::byte> record,
                                      std::int64_t offset, std::span<const std::byte> bytes);
  [[nodiscard]] TEngineCode SetBlobSize(std::uint16_t field_number, std::span<std::byte> record,
                                        std::int64_t size);
  [[nodiscard]] TEngineCode GetBlobSize(std::uint16_t field_number, std::span<const std::byte> record,
                                        std::int64_t& size);
  // Closes every value open in `record` (dropping unposted changes), e.g. after a refused post.
  void CloseBlobValues(std::span<std::byte> record);
  std::size_t OpenBlobCount() const { return blob_values_ != nullptr ? blob_values_->OpenCount() : 0; }
  // Conveniences that raise: the whole value of a blob field of the current record (empty for
  // NULL; 8709 off a record), and a whole new value for a blob field of `record`, stored by the
  // next AddRecord or ChangeRecord of that buffer (an empty value makes the field NULL).
  std::vector<std::byte> ReadBlobField(std::uint16_t field_number);
  void SetBlobField(std::span<std::byte> record, std::uint16_t field_number,
                    std::span<const std::byte> value);

  // TRecordFetcher. Before a page or record is read from the file: the reader lock (held to the
  // end of the read operation) and the change check; true when another opener changed the table
  // (the caches are then dropped and the operation starts over).
  bool CheckBeforeRead() override;
  std::int32_t RunFrom(std::int32_t slot, bool forward, std::int32_t limit, std::int32_t gap) override;
  void SlotsAhead(std::int32_t slot, bool forward, std::size_t most, std::vector<std::int32_t>& out) override;

  bool HasAutoIncrementField() const;
  // The checks a record passes before it is added or changed: required fields set, values within
  // their minimum and maximum (9732, 9730, 9731 naming the field).
  void Validate(std::span<const std::byte> buffer) const;

 private:
  void CheckPassword();
  void CheckHeaders();
  void TakeCopies();

  void RequireWritable() const;
  void RequireRecord() const;
  [[noreturn]] void Raise(TEngineCode code, const std::string& field = {},
                          const std::string& index = {}) const;
  // The start of every read operation: the change check; true when the position must be found
  // again.
  bool BeginRead();
  // The end of every read operation: releases a reader lock that a record fetch took.
  void EndRead();
  // Finds the place again after a change by another opener (or another cursor).
  void Reestablish();
  TIndexTree& Tree(int slot);
  // The place on the current index, made on first use. Requires: index order.
  TIndexPosition& Position();
  // Slots of every index that carries keys: the primary one only when the table has it. The list
  // is the cursor's own, valid until the next call.
  const std::vector<int>& KeyedIndexes();
  // The record of `slot` pinned, retrying when the fetch found the table changed.
  TRecordPin Fetch(std::int32_t slot, bool forward, TReadAhead read_ahead);
  // Copies the record of `slot` into the current record; false for a deleted slot.
  bool LoadCurrent(std::int32_t slot, bool forward);
  bool StepSlotOrder(std::int32_t from, bool forward);
  bool SettleOnPosition();
  // The blob store: values of changed blob fields are stored when a record is posted and freed
  // when it is deleted. Tables without blob fields never reach them. StoreBlobValues posts
  // `image` (the record as it goes to the file) and writes stamps and references back into the
  // caller's `buffer`, where a value still open keeps its handle.
  void StoreBlobValues(TRecord& record, std::span<std::byte> image, std::span<std::byte> buffer);
  void FreeBlobValues(TRecord& record);
  // Before a change: a slot naming a value other than the stored record's (a stale image) 8708.
  void CheckBlobReferences(std::span<const std::byte> stored, std::span<const std::byte> buffer) const;
  void RaiseCode(TEngineCode code, std::uint16_t field_number) const;
  // Runs a read operation: the change check at its start, the reader lock a miss took released at
  // its end, and, when a page or record read found the table changed by another opener, the
  // position found again and the operation run once more.
  template <class TOperation>
  auto ReadOperation(TOperation operation);

  void WriteAfterChange();
  // After a record operation was undone: the position found again from the current record.
  void RefindAfterUndo();
  // The operations themselves, under the writer lock.
  std::int32_t AddRecordLocked(std::span<std::byte> buffer, bool reposition);
  void ChangeRecordLocked(std::span<std::byte> buffer, bool reposition, bool unlock);
  void DeleteRecordLocked(std::span<const std::byte> buffer, bool reposition);
  void ForgetPosition();
  // Under the reader lock of a value read of a stored blob field (without strict change
  // detection): the same field's values of the records the walk visits next, as far as they are
  // cached, into the blob cache (half of it at most).
  void PrefetchBlobValues(std::uint16_t field_number);

  int index_slot_ = kSlotOrder;
  std::vector<std::unique_ptr<TIndexTree>> trees_;  // by index slot, made on first use
  std::unique_ptr<TIndexPosition> position_;
  bool on_record_ = false;
  // After the current record went away the cursor stands between records: Next and Prior move
  // to the neighbours of the gap.
  bool between_ = false;
  bool after_last_ = false;
  std::int32_t current_slot_ = 0;
  std::vector<std::byte> current_;
  TKey current_key_;
  std::vector<std::int32_t> own_locks_;  // ascending
  bool reader_taken_ = false;
  bool stepping_ = false;  // inside Next or Prior: a miss reads ahead the records visited next
  bool stepped_forward_ = true;  // the direction of the last Next or Prior
  int read_depth_ = 0;  // nested ReadOperation calls
  std::unique_ptr<TBlobValues> blob_values_;
  // The blob fields (by field number, bit n - 1) whose values were read since the cursor came onto
  // its current record, and the table's change counters then. The first read of a value goes with
  // the record: when the cache holds its whole chain it needs no new check. Reading it again
  // asks for changes, as every other read does.
  std::uint64_t values_read_ = ~std::uint64_t{0};
  TDataTable::TChangeCounters record_counters_;
  std::vector<std::int32_t> slots_ahead_;  // PrefetchBlobValues' list, kept for its capacity
  TBlobValueBuffer prefetched_;

  TDataSession& session_;
  TDataDirectory& directory_;
  TCursorOpenOptions options_;
  TDataTable* table_ = nullptr;
  bool read_only_ = false;
  bool defer_keys_ = false;
  TLanguageId language_id_ = 0;
  TSortId sort_id_ = 0;
  std::uint16_t record_size_ = 0;
  std::vector<TFieldDescriptor> descriptors_;
  TCharMap char_map_{};
  TDataTable::TChangeCounters seen_counters_;
  // Buffers of the record operations, kept so that adding a record allocates nothing once they
  // have grown: the keyed slots, the keys of a record, the "Sys Deleted" keys, the record image
  // as it goes to the file, and the caller's buffer as it was before an operation.
  std::vector<int> keyed_;
  std::vector<TKey> keys_;
  TKey deleted_key_;
  TKey old_deleted_key_;
  std::vector<std::byte> image_;
  std::vector<std::byte> saved_buffer_;
};

}  // namespace tarvo

// TDataFile: the handler of a table's data file (.DAT). Keeps the header and the field
// descriptors in memory, checks them when a table opens, and writes them back when changed.
// The record cache (records between the file and the cursors) lives here too.
//
// File layout:
//   offset                      size                    content
//   0                           127                     table header (data_header.h)
//   127                         768 × FieldCount        field descriptors, field 1 first
//   127 + 768 × FieldCount      RecordSize × slots      records; slot n ≥ 1 at + (n − 1) × RecordSize
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "errors/engine_error.h"
#include "engine/format/data_header.h"
#include "engine/format/field_descriptor.h"
#include "engine/format/table_definition.h"
#include "engine/records/record.h"
#include "engine/records/record_stack.h"
#include "support/file_handler.h"
#include "support/owner_table.h"

namespace tarvo {

class TDataTable;
class TDataFile;

// Limits of the record area: slots, and bytes of records.
inline constexpr std::int64_t kMaxRecordBytes = 2'000'000'000;  // slots x RecordSize stays at or below
// Default cache size: about 128 KB of records, at most 8,191 of them.
inline constexpr std::int32_t kCacheBytes = 131'070;
inline constexpr std::int32_t kMaxCachedRecords = 8'191;
// How much the cache grows when the table lock keeps every change in memory.
inline constexpr std::int32_t kCacheGrowth = 255;
// Bytes a read-ahead covers at most.
inline constexpr std::int32_t kReadAheadBytes = 65'535;

// Whether slot `next_slot` (the table's NextRecordSlot) may still be created at the end of a file
// of `record_size`-byte records: at most 100,000,000 slots, and slots x RecordSize below
// 2,000,000,001 bytes.
bool CanCreateSlot(std::int32_t next_slot, std::uint16_t record_size);

// The auto-increment value after `last`; past the largest value it starts again at 1.
inline std::int32_t FollowingAutoIncrement(std::int32_t last) {
  return last == INT32_MAX ? 1 : last + 1;
}

// The default number of cached records for a record size.
std::int32_t DefaultCacheSize(std::uint16_t record_size);

// How a fetch reads ahead of the slot it is asked for.
enum class TReadAhead {
  kNone,       // the slot alone
  kCursor,     // the run of consecutive slots the cursor visits next (TRecordFetcher::RunFrom)
  kSlotOrder,  // the following (or preceding) slots in slot order
};

// One step of counting a read-ahead run: whether the run of `run` slots ending at `last` takes in
// `next`, the slot the reader comes to after it, with at most `gap` slots between them and at
// most `limit` slots in all; if so, the run moves on to it.
inline bool ExtendReadRun(std::int32_t& run, std::int32_t& last, std::int32_t next, bool forward,
                          std::int32_t gap, std::int32_t limit) {
  const std::int64_t step = forward ? std::int64_t{next} - last : std::int64_t{last} - next;
  if (step < 1 || step > std::int64_t{gap} + 1 || run + step > limit) return false;
  last = next;
  run += static_cast<std::int32_t>(step);
  return true;
}

// What the record cache asks of the cursor on whose behalf it fetches.
class TRecordFetcher {
 public:
  virtual ~TRecordFetcher() = default;
  // Before a record is read from the file (unless strict change detection already did it): the
  // reader lock and the table's change check. True when the table changed; the cursor has then
  // re-established its position and the fetch returns nothing.
  virtual bool CheckBeforeRead() = 0;
  // How many slot numbers, from `slot` on in the given direction, one read should take for the
  // records the cursor visits next: the run of consecutive slots it visits, or with a `gap` above
  // 0 the run in which up to `gap` slots it does not visit may lie between two that it does; 1 to
  // `limit`.
  virtual std::int32_t RunFrom(std::int32_t slot, bool forward, std::int32_t limit, std::int32_t gap) = 0;
};

// A record held in the cache for one user; unpinned when the pin goes. Empty when the fetch found
// the table changed.
class TRecordPin {
 public:
  TRecordPin() = default;
  explicit TRecordPin(TRecord* record) : record_(record) {}
  ~TRecordPin() { Release(); }
  TRecordPin(TRecordPin&& other) noexcept : record_(other.record_) { other.record_ = nullptr; }
  TRecordPin& operator=(TRecordPin&& other) noexcept {
    if (this != &other) {
      Release();
      record_ = other.record_;
      other.record_ = nullptr;
    }
    return *this;
  }
  TRecordPin(const TRecordPin&) = delete;
  TRecordPin& operator=(const TRecordPin&) = delete;

  explicit operator bool() const { return record_ != nullptr; }
  TRecord& operator*() const { return *record_; }
  TRecord* operator->() const { return record_; }
  TRecord* Get() const { return record_; }
  void Release() {
    if (record_ != nullptr) record_->Unpin();
    record_ = nullptr;
  }

 private:
  TRecord* record_ = nullptr;
};

// Counters of the record cache.
struct TRecordCacheCounters {
  std::int64_t cache_hits = 0;
  std::int64_t records_read = 0;
  std::int64_t read_operations = 0;
  std::int64_t write_operations = 0;
};

class TDataFile : public TFileHandler {
 public:
  explicit TDataFile(TDataTable& table);
  ~TDataFile() override;

  TDataTable& Table() const { return table_; }

  // Opens the file and reads header and descriptors (8961 for a FieldCount above 1,024).
  // Any failure closes the file again.
  void Open() override;
  void Close() override;

  // Sets up header and descriptors for a new table and creates the file; they reach the file
  // with the next WriteHeader / WriteDescriptors. 9477 for a record over 65,535 bytes, 9498 for
  // a 65th blob field.
  void CreateTable(const TTableDefinition& definition);

  void ReadHeader();
  // Reads the header's change counter from the file; adopts the whole header when it differs.
  bool HeaderChanged();
  // Writes the header when forced or marked changed (change counter + 1, engine version, time).
  void WriteHeader(bool force);
  // Change counter + 1 in memory only, marking the header changed.
  void BumpChangeCount();
  void ReadDescriptors();
  void WriteDescriptors();
  // Cuts the records off and resets the counters of the header.
  void EmptyTable();
  void UpdateHeaderInfo(const std::string& password, const std::string& description, std::uint16_t user_word1,
                        std::uint16_t user_word2, std::int32_t last_auto_increment);
  // Copies name, description, subtype, required flag and the three value texts.
  void UpdateFieldDescriptor(std::uint16_t number, const TFieldDescriptor& descriptor);

  // 1-based position; by stored FieldNumber; by name without regard to case.
  std::optional<TFieldDescriptor> GetFieldDescriptor(std::uint16_t position) const;
  std::optional<TFieldDescriptor> GetFieldDescriptorByNumber(std::uint16_t field_number) const;
  std::optional<TFieldDescriptor> GetFieldDescriptor(const std::string& name) const;

  std::int32_t NextAutoIncrement();
  void SetLastAutoIncrement(std::int32_t value);
  std::int32_t NextBlobStamp();

  // Accessors.
  const TDataHeader& Header() const { return header_; }
  TDataHeader& MutableHeader() { return header_; }
  void MarkHeaderChanged() { header_changed_ = true; }
  bool HeaderIsChanged() const { return header_changed_; }
  const std::vector<TFieldDescriptor>& Descriptors() const { return descriptors_; }
  // For the repair, which mends descriptors in place; written back with WriteDescriptors.
  std::vector<TFieldDescriptor>& MutableDescriptors() { return descriptors_; }
  void MarkDescriptorsChanged() { descriptors_changed_ = true; }
  // After RecordSize changed in the header (repair): read-ahead and cache size follow it. The
  // cache must hold no records.
  void RecordSizeChanged();
  std::uint32_t BlobBlockSize() const;  // 0 read as 512
  TLanguageId LanguageID() const { return header_.LanguageID; }
  TSortId SortID() const { return header_.SortID; }
  std::uint16_t UserWord1() const { return header_.UserWord1; }
  std::uint16_t UserWord2() const { return header_.UserWord2; }
  std::int32_t LastAutoIncrement() const { return header_.LastAutoIncrement; }
  std::uint16_t RecordSize() const { return header_.RecordSize; }
  std::uint16_t FieldCount() const { return header_.FieldCount; }
  std::int16_t BlobFieldCount() const { return header_.BlobFieldCount; }
  bool Encrypted() const { return header_.Encrypted != 0; }
  std::string Description() const;
  std::string Password() const;
  std::int32_t RecordSlotCount() const { return header_.NextRecordSlot - 1; }
  std::int32_t ChangeCount() const { return header_.HeaderChangeCount; }
  // Where the records begin.
  std::int64_t RecordAreaOffset() const;

  // --- The record cache ---
  // The record of `slot`, pinned. 8962 for slot 0 or a slot that cannot be brought into the
  // cache; slot = NextRecordSlot creates a new slot at the end (9479 when the table is full).
  // `fetcher` may be null (no change check, no cursor read-ahead). An empty pin: the table changed.
  TRecordPin GetRecord(TRecordFetcher* fetcher, std::int32_t slot, bool forward, TReadAhead read_ahead);
  void ReleaseRecord(TRecord& record) { record.Unpin(); }
  // Whether a deleted slot may be used again: only with a primary index that has key fields.
  bool SlotReuseAllowed() const;
  // A pinned record for a new record: the head of the deleted-record chain when reuse is allowed,
  // else a new slot at the end. FirstFreeRecord becomes the fetched record's link.
  TRecordPin AllocateSlot(TRecordFetcher* fetcher);
  // Puts the record on the deleted-record chain (the record is marked modified).
  void FreeSlot(TRecord& record);
  std::int32_t SlotForNextAppend() const;
  // Writes the modified records that nobody pins, in runs of consecutive slots.
  bool WriteModifiedRecords();
  // Every cached record back to the pool, without writing. Records pinned at the time stay.
  void ReleaseAll();
  // Drops unmodified, unpinned records beyond the cache size, highest slots first, and sets the
  // capacity back to the cache size.
  void Trim();
  // The number of records the cache keeps; 0 sets the default for the record size again.
  void SetCacheSize(std::int32_t records);
  std::int32_t CacheSize() const { return cache_size_; }
  std::int32_t CacheCapacity() const { return cache_capacity_; }
  std::size_t CachedCount() const { return cached_.Size(); }
  // The cached record of a slot, or null (no pin, no recency change).
  TRecord* CachedRecord(std::int32_t slot) const;
  std::int32_t RecordsPerRead() const { return records_per_read_; }
  // The slots a cursor's read-ahead may step over between two records it visits (0, the default:
  // only consecutive slots). Exclusive bulk work sets a few, so that the deleted slots scattered
  // among the records it reads do not end each read.
  void SetReadAheadGap(std::int32_t slots) { read_ahead_gap_ = std::max(slots, 0); }
  const TRecordCacheCounters& CacheCounters() const { return counters_; }
  // File offset of a record slot.
  std::int64_t RecordOffset(std::int32_t slot) const;

  // --- Undo of one change ---
  // From BeginUndo on, the first time a record is handed out its image is kept, and so are the
  // header's counts. UndoChange puts them back: records made since go, the others get their
  // images, a record that was written and left the cache meanwhile is written back, and a file
  // that grew is cut at its end again. It returns whether anything was written since BeginUndo
  // (the caller then writes what it put back). EndUndo forgets what was kept.
  void BeginUndo();
  void EndUndo() { undo_.reset(); }
  bool UndoChange();

 private:
  struct TUndoRecord {
    std::vector<std::byte> bytes;
    bool modified = false;
  };
  struct TUndo {
    std::int32_t first_free = 0;
    std::int32_t next_slot = 0;
    std::int32_t last_auto_increment = 0;
    std::int32_t blob_stamp_counter = 0;
    bool header_changed = false;
    std::int64_t write_calls = 0;
    std::unordered_map<std::int32_t, TUndoRecord> records;  // by slot
  };
  void KeepForUndo(const TRecord& record);

  [[noreturn]] void RaiseForTable(TEngineCode code) const;
  TRecord* LookAside(std::int32_t slot);
  void MakeNewest(TRecord* record);
  void Unlink(TRecord* record);
  // A record object for `slot`, most recent in the chain but not yet in cached_: from the pool
  // while below capacity, else the least recently used clean, unpinned record. Null when none
  // can be had and `must` is false; 8962 when `must`.
  std::unique_ptr<TRecord> ObtainRecord(std::int32_t slot, bool must);
  TRecord* InsertCached(std::unique_ptr<TRecord> record);
  TRecordPin CreateSlotAtEnd();
  // Reads `count` slots around `slot` into the cache. Returns the requested record, pinned.
  TRecord* ReadSlots(std::int32_t slot, std::int32_t count, bool forward);
  void ResetCache();

  TDataTable& table_;
  TDataHeader header_;
  bool header_changed_ = false;
  std::vector<TFieldDescriptor> descriptors_;
  bool descriptors_changed_ = false;

  // The record cache: cached_ finds a record by slot number; the recency chain runs from newest_
  // (most recently used) through `older` links to oldest_.
  struct TSlotOf {
    std::int64_t operator()(const TRecord& record) const { return record.SlotNumber(); }
  };
  TOwnerTable<TRecord, TSlotOf> cached_;
  std::vector<TRecord*> listed_;  // WriteModifiedRecords' and Trim's list, kept for its capacity
  TRecord* newest_ = nullptr;
  TRecord* oldest_ = nullptr;
  TRecordStack pool_;
  std::int32_t cache_size_request_ = 0;  // 0: the default for the record size
  std::int32_t cache_size_ = kMaxCachedRecords;
  std::int32_t cache_capacity_ = kMaxCachedRecords;
  std::int32_t records_per_read_ = 1;
  std::int32_t read_ahead_gap_ = 0;
  std::vector<std::byte> read_buffer_;
  std::vector<std::byte> write_buffer_;
  std::int64_t read_start_ = 0;  // the file range the read buffer holds
  std::int64_t read_length_ = 0;
  TRecordCacheCounters counters_;
  std::unique_ptr<TUndo> undo_;  // while a change can still be undone
};

}  // namespace tarvo

// TRecordCache: the records of one data file between the file and the cursors. Holds the records
// fetched from the file (pinned while in use, written back in runs of consecutive slots), reads
// ahead, hands out slots for new records and takes deleted ones back on the deleted-record
// chain, and keeps what one change of records needs for its undo.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "errors/engine_error.h"
#include "engine/format/data_file.h"
#include "engine/records/record.h"
#include "engine/records/record_stack.h"
#include "support/owner_table.h"

namespace tarvo {

// Default cache size: about 128 KB of records, at most 8,191 of them.
inline constexpr std::int32_t kCacheBytes = 131'070;
inline constexpr std::int32_t kMaxCachedRecords = 8'191;
// How much the cache grows when the table lock keeps every change in memory.
inline constexpr std::int32_t kCacheGrowth = 255;
// Bytes a read-ahead covers at most.
inline constexpr std::int32_t kReadAheadBytes = 65'535;

// The default number of cached records for a record size.
std::int32_t DefaultCacheSize(std::uint16_t record_size);

// How a fetch reads ahead of the slot it is asked for.
enum class TReadAhead {
  kNone,       // the slot alone
  kCursor,     // the run of consecutive slots the cursor visits next (TRecordFetcher::RunFrom), and
               // while it steps through its index the records it visits after that run
               // (TRecordFetcher::SlotsAhead)
  kSlotOrder,  // the following (or preceding) slots in slot order
};

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
  // While the cursor steps through its index: the slots of the records it visits after `slot`,
  // in its direction, at most `most` of them, appended to `out`. Nothing when it is not stepping
  // or `slot` is not its place (a look-up reads only the run of `slot`).
  virtual void SlotsAhead(std::int32_t slot, bool forward, std::size_t most, std::vector<std::int32_t>& out) {
    (void)slot;
    (void)forward;
    (void)most;
    (void)out;
  }
};

// What the record cache needs to know of the table whose records it holds. Asked on a miss, a
// write or a new slot, never on a hit.
class TRecordCacheOwner {
 public:
  // The table lock is held: changes stay in memory until the lock ends, so the cache grows
  // rather than writes to make room, and slots made since the last write may not be in the file.
  virtual bool KeepsChangesInMemory() const = 0;
  // Opened exclusively: slots made since the last write may not be in the file either.
  virtual bool OpenedExclusively() const = 0;
  // The session checks for changes before every operation (strict change detection): a miss
  // needs no check of its own.
  virtual bool ChecksChangesStrictly() const = 0;
  // Whether a deleted slot may be used again: only with a primary index that has key fields.
  virtual bool ReusesSlots() const = 0;
  // Records reached the file.
  virtual void SetDataWritten() = 0;

 protected:
  ~TRecordCacheOwner() = default;
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

class TRecordCache {
 public:
  TRecordCache(TDataFile& file, TRecordCacheOwner& owner);
  ~TRecordCache();
  TRecordCache(const TRecordCache&) = delete;
  TRecordCache& operator=(const TRecordCache&) = delete;

  TDataFile& File() const { return file_; }

  // After the data file opened: read-ahead and cache size follow its record size (a size set
  // with SetCacheSize stays), the counters start again.
  void Open();
  // Every record goes, written or not (the data file closes).
  void Close();
  // After RecordSize changed in the header (repair): read-ahead and cache size follow it. The
  // cache must hold no pinned records.
  void RecordSizeChanged();

  // The record of `slot`, pinned. 8962 for slot 0 or a slot that cannot be brought into the
  // cache; slot = NextRecordSlot creates a new slot at the end (9479 when the table is full).
  // `fetcher` may be null (no change check, no cursor read-ahead). An empty pin: the table changed.
  TRecordPin GetRecord(TRecordFetcher* fetcher, std::int32_t slot, bool forward, TReadAhead read_ahead);
  void ReleaseRecord(TRecord& record) { record.Unpin(); }
  // Whether a deleted slot may be used again: only with a primary index that has key fields.
  bool SlotReuseAllowed() const { return owner_.ReusesSlots(); }
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

  // --- Undo of one change, nested ---
  // From BeginUndo on, the first time a record is handed out its image is kept, and so are the
  // header's counts. UndoChange puts them back: records made since go, the others get their
  // images, a record that was written and left the cache meanwhile is written back, and a file
  // that grew is cut at its end again. It returns whether anything was written since BeginUndo
  // (the caller then writes what it put back). Undo levels nest: BeginUndo inside another level
  // opens a new one, UndoChange puts back the newest level and ends it, and EndUndo ends the
  // newest level and hands what it kept to the level below (which keeps the images it lacks),
  // so that the level below can still be undone as a whole. DropUndo ends every level.
  void BeginUndo();
  void EndUndo();
  bool UndoChange();
  void DropUndo() { undo_.clear(); }
  std::size_t UndoDepth() const { return undo_.size(); }

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
  TDataHeader& Header() const { return file_.MutableHeader(); }
  // Read-ahead and cache size for the header's record size.
  void FollowRecordSize();
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
  // Reads `count` slots from `first` on into the cache, where room can be had without raising;
  // the record of `pin_slot` (0: none) must be brought in and comes back pinned.
  TRecord* LoadSlots(std::int32_t first, std::int32_t count, std::int32_t pin_slot);
  // After the run of `slot` was read for a stepping cursor: the records it visits next that are
  // not cached, in runs as the cursor's own read-ahead counts them, `budget` slots at most. All
  // under the change check that the miss ran, so they are what the file holds now.
  void ReadAhead(TRecordFetcher& fetcher, std::int32_t slot, bool forward, std::int32_t budget);
  void ResetCache();

  TDataFile& file_;
  TRecordCacheOwner& owner_;
  // cached_ finds a record by slot number; the recency chain runs from newest_ (most recently
  // used) through `older` links to oldest_.
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
  std::vector<std::int32_t> ahead_;  // ReadAhead's list, kept for its capacity
  std::int64_t read_start_ = 0;  // the file range the read buffer holds
  std::int64_t read_length_ = 0;
  TRecordCacheCounters counters_;
  std::vector<std::unique_ptr<TUndo>> undo_;  // the levels that can still be undone, newest last
  std::unique_ptr<TUndo> spare_undo_;  // the last level ended, emptied: the next one begins in it
  // Kept images of ended levels, taken again by the next ones (at most kSpareUndoRecords).
  static constexpr std::size_t kSpareUndoRecords = 16;
  std::vector<std::unordered_map<std::int32_t, TUndoRecord>::node_type> spare_records_;
};

}  // namespace tarvo

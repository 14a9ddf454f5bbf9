// TOrderedRecords: the records in use of a table opened for exclusive bulk work, in the order of
// one of its indexes or in slot order, read past the record cache. The index's leaf level is
// walked page by page for the record numbers it names, and the records come from the data file
// in long reads of neighbouring slots (a few slots not wanted between them are read along, as a
// cursor's bulk read-ahead does). What a copy would see walking a cursor, without its
// bookkeeping for each record: the same records, the same errors for a slot that the file cannot
// hold. An index entry that names a deleted slot, or a slot it named before, is passed over.
//
// Whether the index named every record: the walk notes which slots it handed out and, for every
// slot a read brought in, whether it holds a record; RecordsInUse() then reads only the slots no
// read brought in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace tarvo {

class TDataTable;
class TIndexPosition;
class TIndexTree;

class TOrderedRecords {
 public:
  // `index_slot` is an index of the table or kSlotOrder. Requires: the table open exclusively.
  TOrderedRecords(TDataTable& table, int index_slot);
  ~TOrderedRecords();
  TOrderedRecords(const TOrderedRecords&) = delete;
  TOrderedRecords& operator=(const TOrderedRecords&) = delete;

  // The next record in use as the file holds it (deciphered), empty at the end; valid until the
  // next call. 8962 for an index entry naming slot 0 or a slot past the table's end or the
  // file's end; 8965 for an index that names more records than the table has slots.
  std::span<const std::byte> Next();
  // After the walk: the records in use in the slots the data file holds, whether the walk reached
  // them or not.
  std::int64_t RecordsInUse();

 private:
  // Record numbers handed over by the index at a time.
  static constexpr std::size_t kSlotBatch = 4096;
  // Slots not wanted that a read may take along between two that are.
  static constexpr std::int32_t kGap = 8;

  // The next slot to look at; false at the end.
  bool NextSlot(std::int32_t& slot);
  // Reads a run of slots from `slot` on: as far as the slots to come follow it closely.
  void Read(std::int32_t slot);
  // Reads `run` slots from `slot` on (fewer where the file ends).
  void Read(std::int32_t slot, std::int32_t run);

  TDataTable& table_;
  std::size_t record_size_ = 0;
  std::int32_t slot_end_ = 0;  // the table's NextRecordSlot
  std::int32_t slots_per_read_ = 1;
  bool encrypted_ = false;
  // The index walk (none in slot order) and the record numbers it gave, not yet used.
  std::unique_ptr<TIndexTree> tree_;
  std::unique_ptr<TIndexPosition> position_;
  std::vector<std::int32_t> slots_;
  std::size_t next_ = 0;
  bool index_done_ = false;
  std::int32_t walked_ = 0;  // in slot order: the last slot looked at
  std::int64_t taken_ = 0;   // along an index: the record numbers given so far
  // The slots the read buffer holds: [first_, first_ + count_).
  std::vector<std::byte> buffer_;
  std::int32_t first_ = 0;
  std::int32_t count_ = 0;
  // Per slot: handed out by Next(), brought in by a read, and then whether it held a record.
  std::vector<bool> handed_;
  std::vector<bool> read_;
  std::vector<bool> in_use_;
};

}  // namespace tarvo

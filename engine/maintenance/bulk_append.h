// Filling a table just created: every record appended in turn, with its blob values, written to
// the data and blob files in long sequential runs past their caches. A copy writes each record of
// the new table once and in slot order, so both files only ever grow at their end and no cached
// image is needed; what lands in the files is what appending through a cursor would leave there
// (the same slots, stamps, chains and header values). The writes themselves are done by a thread
// of their own while the records after them are gathered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "engine/format/field_descriptor.h"
#include "support/background_queue.h"

namespace tarvo {

class TDataCursor;
class TDataTable;
class TFileHandler;

class TBulkAppend {
 public:
  // Bytes of records and of blob blocks gathered before each write, and the runs that may wait
  // for their write.
  static constexpr std::size_t kRecordRun = 1u << 20;
  static constexpr std::size_t kBlockRun = 1u << 20;
  static constexpr std::size_t kRunsWaiting = 4;

  // Appends to the table of `target`, whose checks each record passes, after its last slot and
  // its last blob block. Requires: the table open exclusively, nothing cached that is not written,
  // no deleted slot that an added record would take and no free blob block (a new table has
  // neither). Auto-increment values are kept as the records bring them when the table has an
  // auto-increment field and `keep_supplied` is set; otherwise each record gets the next value
  // of the table's counter.
  explicit TBulkAppend(TDataCursor& target);
  // Abandons the writes still waiting. Requires: the table still open unless Finish() was called.
  ~TBulkAppend();
  TBulkAppend(const TBulkAppend&) = delete;
  TBulkAppend& operator=(const TBulkAppend&) = delete;

  // The blob field `d` of `record` (a record of the table's layout) takes `value`: a new stamp and
  // a chain appended to the blob file, named by the slot; an empty value leaves the slot naming
  // nothing (its stamp bytes as they were).
  // 10029 for a value of 2 GB or more, 9479 when the blob file is full.
  void StoreBlob(std::span<std::byte> record, const TFieldDescriptor& d, std::span<const std::byte> value);
  // Appends `record` as the next slot, in use and naming its slot, after the checks an added
  // record passes (9730 ff.); returns the slot. 9479 when the data file is full.
  std::int32_t Append(std::span<std::byte> record, bool keep_supplied = true);
  // Whether the next record, with blob values of `value_sizes` bytes, fits: its slot and the
  // values' blocks within the files' limits.
  bool Fits(std::span<const std::int64_t> value_sizes) const;
  // Writes what is gathered, waits for every write, and puts the new counts and counters into the
  // headers held in memory (they reach the files when the table is closed). Raises the first
  // write that failed.
  void Finish();

 private:
  // Bytes for `file` at `offset`, the first `used` of them gathered so far.
  struct TRun {
    TFileHandler* file = nullptr;
    std::int64_t offset = 0;
    std::vector<std::byte> bytes;
    std::size_t used = 0;
  };

  // The files' write-back runs as they were before the copy.
  void EndWriteBack();
  // Hands what `run` gathered to the writing thread and gives it back empty, for the bytes that
  // follow in its file.
  void Write(TRun& run);

  TDataCursor& target_;
  TDataTable& table_;
  std::uint16_t record_size_ = 0;
  std::uint16_t block_size_ = 0;
  bool encrypted_ = false;
  bool keep_auto_increment_ = false;
  std::int32_t next_slot_ = 1;
  std::int32_t appended_ = 0;
  std::int32_t last_auto_increment_ = 0;
  std::int64_t end_offset_ = 0;
  TRun records_;
  TRun blocks_;
  std::unique_ptr<TBackgroundQueue<TRun>> writer_;
};

}  // namespace tarvo

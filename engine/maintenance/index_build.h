// Building the indexes of a table from its records in one pass: every key gathered and sorted
// within a fixed memory budget (runs spilled beside the table when they outgrow it), then every
// tree written left to right. Used where a whole table's indexes are made at once, instead of one
// tree insert per record and index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "support/background_queue.h"

namespace tarvo {

class TDataTable;
class TIndexFile;
class TIndexTree;
class TIndexTreeBuilder;
class TKeySorter;

// The memory the sorting of all indexes together may take; a copy, whose trees are written after
// all its records, sorts a million records' keys in memory.
inline constexpr std::size_t kIndexBuildBudget = 64u << 20;
inline constexpr std::size_t kCopyIndexBudget = 176u << 20;

// The spill file of an index's key sorting beside `base` (the table's path without extension):
// base.S00 for the primary index, base.S31 for "Sys Deleted".
std::string SpillName(const std::string& base, int slot);

// The parts of a sorting budget for the keys of `trees`, in proportion to each one's pair size.
// A tree marked in `streamed` (when given) gets a sixteenth of the budget only: its keys are
// sorted only should they come out of order.
std::vector<std::size_t> SortShares(std::size_t budget, std::span<const std::unique_ptr<TIndexTree>> trees,
                                    const std::vector<bool>* streamed = nullptr);

// The slots of every index of a table: the primary index (when there is one), the secondary
// indexes, "Sys Deleted".
std::vector<int> AllIndexSlots(const TIndexFile& index);

// The trees of the indexes in `slots` written from the keys of records handed in one at a time,
// in any order (a copy adds each record as it writes it, a repair as it settles it): Add() gathers
// and sorts the keys, Finish() writes every tree.
//
// In the background, the keys are made and sorted on a thread of their own: Add() only copies
// the record into a batch, and full batches (a bounded number waiting) go to that thread, so that a
// copy reads and writes its records on one core while the other sorts. A failure there is
// raised by the next Add() or by Finish().
//
// An index whose keys the caller expects in order (a copy in that index's order; "Sys Deleted"
// when the slots come in order) can have its tree written as the keys arrive, with no sorting.
// Should a key arrive out of order after all (a damaged tree read, another collation), the tree
// keeps the keys before it, and the rest are sorted and inserted by Finish().
//
// An index that already holds keys (records added to a table that has some) gets the new keys
// sorted and then inserted by Finish(), one after the other in the index's order.
class TIndexBuild {
 public:
  // A record that a unique index refused, and the index: the first such record, by slot (and by
  // index slot for the same record).
  struct TDuplicate {
    std::int32_t record = 0;
    int slot = 0;
    std::string index;
  };

  // `most_records`, when not negative, bounds the records to come. Requires: the table open
  // exclusively; in the background, nothing else touching the sorters' spill files until
  // Finish().
  TIndexBuild(TDataTable& table, std::span<const int> slots, const std::string& spill_base, bool in_memory,
              std::size_t budget = kIndexBuildBudget, std::int64_t most_records = -1, bool background = false);
  // Stops the thread, if any, without waiting for the keys it has not sorted yet. Requires: the
  // table still open unless Finish() returned.
  ~TIndexBuild();
  TIndexBuild(const TIndexBuild&) = delete;
  TIndexBuild& operator=(const TIndexBuild&) = delete;

  // Writes the tree of index `slot` (one of the build's) as its keys arrive. Requires: before the
  // first Add(); in the background, nothing else touching the index file until Finish().
  void StreamInOrder(int slot);
  // From now on a unique index that meets a key it holds already, for a record in slot `from` or
  // later, leaves that record's key out and goes on instead of raising 9729; FirstDuplicate()
  // tells the first such record after Finish() (the trees are then of no use). A key met twice
  // among records before `from` is kept twice, as the table had it.
  void CollectDuplicates(std::int32_t from) { collect_from_ = from; }
  const std::optional<TDuplicate>& FirstDuplicate() const { return first_duplicate_; }
  // The keys of the record stored in `slot` (its image as stored): every index's for a record in
  // use, only "Sys Deleted"'s for a deleted one.
  void Add(std::span<const std::byte> record, std::int32_t slot);
  // Writes every tree. 9729 naming the index when a unique index meets the same key twice: the
  // trees are then incomplete and the caller discards the table.
  void Finish();
  // Instead of Finish(), for a verification: each index's tree with its keys, in the index's
  // order (drained from the sorter), goes to `compare`, one index after another; nothing is
  // written. Requires: no index streamed.
  using TCompare = std::function<void(TIndexTree& tree, TKeySorter& keys)>;
  void Compare(const TCompare& compare);

 private:
  // Records handed over to the thread: their images one after another, and their slots.
  struct TBatch {
    std::vector<std::byte> records;
    std::vector<std::int32_t> slots;
  };
  // A batch holds up to 4096 records in at most 512 KiB; up to 32 wait, so that the copy goes on
  // while the thread sorts a full run (at most 16 MiB of records wait, whatever their size).
  static constexpr std::size_t kBatchRecords = 4096;
  static constexpr std::size_t kBatchBytes = 512u << 10;
  static constexpr std::size_t kBatchesWaiting = 16;

  // The tree of an index written as its keys arrive in order.
  struct TStream {
    std::unique_ptr<TIndexTreeBuilder> builder;  // null once a key came out of order
    std::vector<std::byte> last;                 // the key before, and its record
    std::int32_t last_record = 0;
    bool late = false;  // keys after the disorder: sorted, then inserted
  };

  // A sorter for every index, the budget shared among those that sort.
  void MakeSorters();
  void AddNow(std::span<const std::byte> record, std::int32_t slot);
  // Whether the stream of index i took the key; false from the first key out of order on.
  bool Stream(std::size_t i, std::int32_t slot);
  // Index i met the key of `record` a second time: 9729, or whether the key is left out when
  // duplicates are collected.
  bool Duplicate(std::size_t i, std::int32_t record);
  void HandOver();
  // Readies every sorter, then calls `each` for every index in turn while the groups of the
  // indexes to come are sorted on a second thread.
  void SortAll(const std::function<void(std::size_t)>& each);

  TDataTable& table_;
  std::vector<int> slots_;
  std::vector<std::unique_ptr<TIndexTree>> trees_;
  std::vector<std::unique_ptr<TKeySorter>> sorters_;
  std::vector<TStream> streams_;  // one per index, used when streamed
  std::string spill_base_;
  bool in_memory_ = false;
  std::size_t budget_ = 0;
  std::int64_t most_records_ = -1;
  int saved_page_capacity_ = -1;  // the index file's page cache while streams write
  bool finished_ = false;
  std::int32_t collect_from_ = -1;
  std::optional<TDuplicate> first_duplicate_;
  std::vector<std::byte> key_;
  std::size_t record_size_ = 0;
  std::size_t batch_records_ = 1;
  // The background: the batch being filled, and the thread that takes full ones.
  TBatch filling_;
  std::unique_ptr<TBackgroundQueue<TBatch>> background_;
};

// Writes the (empty) tree from the sorter's keys, which the sorter gives up, through a small page
// cache. A unique index other than "Sys Deleted" refuses a key equal to the one before: 9729
// naming the index (the tree is then incomplete), or, with `duplicate`, a call with the record
// whose key came second, which returns whether that key is left out.
using TOnDuplicate = std::function<bool(std::int32_t record)>;
void WriteTreeFromSorter(TIndexTree& tree, TKeySorter& sorter, const std::string& table_name,
                         const TOnDuplicate& duplicate = {});

// Writes the trees of the indexes in `slots` from the records of the table's data file: a key
// per record in use, and for "Sys Deleted" a key per slot. `spill_base` is the path prefix of
// the spill files (suffixes .S00, .S01, ... are added; each is removed again). 9729 naming the
// index when a unique index meets the same key twice: the trees are then incomplete and the
// caller discards the table. Only slots up to `last_slot` are read (-1: every slot); with
// `background` the keys are sorted on a thread of their own. With `collect_from` (not negative)
// duplicates are collected from that slot on (TIndexBuild::CollectDuplicates): the first is
// returned. Requires: the table open exclusively, these indexes empty.
std::optional<TIndexBuild::TDuplicate> BuildIndexesFromRecords(TDataTable& table, std::span<const int> slots,
                                                               const std::string& spill_base, bool in_memory,
                                                               std::size_t budget = kIndexBuildBudget,
                                                               std::int32_t last_slot = -1,
                                                               bool background = false,
                                                               std::int32_t collect_from = -1);

}  // namespace tarvo

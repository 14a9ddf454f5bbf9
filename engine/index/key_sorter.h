// TKeySorter: the (key, record number) pairs of one index put into the index's order within a
// fixed memory budget. Pairs gather in one buffer; when it is full it is sorted and written as a
// run to a spill file, and at the end the runs are merged, each read through its share of the
// same buffer, so the memory stays the budget whatever the number of pairs. Equal keys come out
// in record number order.
//
// Pairs that all fit are sorted where they lie, in groups: one pass puts them into groups by
// their first two key bytes (in a byte-ordered index), and each group is sorted by itself just
// before its pairs are emitted, or ahead of that by another thread (SortAhead), so that sorting
// and the writing of the tree overlap.
//
// Pair layout in the buffer and the spill file: key (key length bytes), record number (4,
// little-endian).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/index/index_tree.h"
#include "support/file_handler.h"

namespace tarvo {

class TKeySorter {
 public:
  using TEmit = std::function<void(std::span<const std::byte> key, std::int32_t record)>;

  // `spill_name` names the spill file, made only when the pairs outgrow `budget_bytes` and
  // deleted when the sorter goes. `most_pairs`, when not negative, bounds the pairs to come: the
  // buffer is no larger than they need. Pairs that may outgrow the budget are spilled in runs of
  // three quarters of it.
  TKeySorter(const TIndexTree& tree, std::size_t budget_bytes, std::string spill_name, bool in_memory,
             std::int64_t most_pairs = -1);
  ~TKeySorter();
  TKeySorter(const TKeySorter&) = delete;
  TKeySorter& operator=(const TKeySorter&) = delete;

  // The bytes of the budget one pair of a key of `key_length` bytes takes.
  static std::size_t PairCost(std::size_t key_length) { return key_length + kRecordBytes + 2 * sizeof(TOrdered); }

  // Requires: key.size() == the index's key length.
  void Add(std::span<const std::byte> key, std::int32_t record);
  // Readies the pairs added since the last run for Drain(): groups them when they all fit, else
  // writes them as the last run. Another thread may prepare a sorter while this one prepares
  // another.
  void Prepare();
  // After Prepare(), on another thread while Drain() runs: sorts the groups that Drain() has not
  // come to yet, first to last, until every group is sorted or `stop` is set. Requires: no
  // Prepare() or Add() before it has returned.
  void SortAhead(const std::atomic<bool>& stop);
  // Calls `emit` for every pair added, in order; the sorter is empty afterwards.
  void Drain(const TEmit& emit);

  std::int64_t PairCount() const { return pairs_; }
  int RunCount() const { return static_cast<int>(runs_.size()); }

 private:
  struct TRun {
    std::int64_t offset = 0;  // in the spill file
    std::int64_t count = 0;   // pairs in the run
    std::int64_t taken = 0;   // pairs read into the buffer so far
    std::size_t buffer = 0;   // byte offset of its share of the buffer
    std::size_t held = 0;     // pairs in its share
    std::size_t next = 0;     // the next pair in its share
  };

  static constexpr std::size_t kRecordBytes = 4;  // a pair's record number

  // A pair's place in the sort: in a byte-ordered index 8 bytes of its key as a number decide
  // most comparisons without touching the pair.
  struct TOrdered {
    std::uint64_t prefix = 0;
    std::uint32_t at = 0;
  };
  // Pairs [begin, end) of the order, and who sorts them.
  enum : std::uint8_t { kUnsorted, kSorting, kSorted };
  struct TGroup {
    std::size_t begin = 0;
    std::size_t end = 0;
  };

  int Compare(const std::byte* a, const std::byte* b) const;
  // Key bytes from..from+7 of a pair as a number in the index's order (0 under a locale).
  std::uint64_t PrefixOf(const std::byte* pair, std::size_t from) const;
  // Sorts the pairs of [first, last), whose key bytes before `from` are equal and whose prefixes
  // hold the key bytes from `from` on.
  void SortRange(TOrdered* first, TOrdered* last, std::size_t from);
  // Puts [first, last) in the order of their prefixes, equal ones as they came (through the
  // same places of the radix sort's second array).
  void SortByPrefix(TOrdered* first, TOrdered* last);
  // The held pairs in the order they came, with their prefixes.
  void MakePrefixes();
  // The held pairs' prefixes, and the pairs in groups of equal leading bytes.
  void Group();
  // Sorts group g unless another thread does or did; waits for the other thread when `wait`.
  void SortGroup(std::size_t g, bool wait);
  // Whether the pairs, prefixes made, came in order.
  bool AlreadyInOrder() const;
  // Asks for the bytes of the pair at place i of the order ahead of their use.
  void Prefetch(std::size_t i) const;
  void SortBuffer();
  void SpillBuffer();
  void Refill(TRun& run, std::size_t share_pairs);
  const std::byte* Head(const TRun& run) const { return buffer_.data() + run.buffer + run.next * width_; }

  const TIndexTree& tree_;
  std::size_t key_length_;
  std::size_t width_;
  std::size_t capacity_;  // pairs the buffer holds
  // The pairs' bytes are always written before they are read: the buffer is not cleared when it
  // is made (that would touch every page of it once more).
  struct TRawBuffer {
    std::unique_ptr<std::byte[]> bytes;
    std::size_t size = 0;
    std::byte* data() { return bytes.get(); }
    const std::byte* data() const { return bytes.get(); }
    bool empty() const { return size == 0; }
    // At least `n` bytes; what the buffer held is gone when it grows.
    void Grow(std::size_t n) {
      if (n <= size) return;
      bytes = std::make_unique_for_overwrite<std::byte[]>(n);
      size = n;
    }
  };
  TRawBuffer buffer_;
  int byte_order_;  // the tree's Codec().ByteOrder()
  std::vector<TOrdered> order_;
  std::vector<TOrdered> radix_;  // the radix sort's second array, as long as order_
  std::vector<TGroup> groups_;
  std::unique_ptr<std::atomic<std::uint8_t>[]> group_state_;
  std::vector<std::byte> slice_;
  std::size_t held_ = 0;
  bool prepared_ = false;  // the held pairs are sorted already
  std::int64_t pairs_ = 0;
  std::string spill_name_;
  bool in_memory_;
  std::unique_ptr<TFileHandler> spill_;
  std::int64_t spill_end_ = 0;
  std::vector<TRun> runs_;
};

}  // namespace tarvo

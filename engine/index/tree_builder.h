// TIndexTreeBuilder: the B+-tree of an empty index written from keys that arrive in ascending
// order, left to right: each leaf is filled until the next key no longer fits, every finished
// page hands its first key and entry total to the level above, and the last two pages of each
// level share their entries when the last would be less than half full. Pages come from the
// index file in allocation order (appended at the end of an emptied file), so the cache writes
// them in long runs. Two pages per level are pinned at a time.
//
// The result is an ordinary tree: page kinds by level, previous/next links on every level, node
// entries with their child's first key and leaf total, compressed leaves within their byte limit.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "engine/index/index_file.h"
#include "engine/index/index_tree.h"

namespace tarvo {

class TIndexTreeBuilder {
 public:
  // Requires: the index of `tree` is empty (no root).
  explicit TIndexTreeBuilder(TIndexTree& tree);

  // Requires: `key` sorts after every key added before (the caller's order is trusted).
  void Add(std::span<const std::byte> key, std::int32_t record);
  // Finishes every level and makes the top page the root. An index without keys stays empty.
  void Finish();
  std::int64_t KeyCount() const { return keys_; }

 private:
  struct TLevel {
    TPagePin pending;  // the page before `current`, handed up once `current` is known
    TPagePin current;
    std::vector<std::byte> handed;  // the first key of the page last handed up from this level
  };

  void Push(std::size_t level, std::span<const std::byte> key, std::int32_t value, std::int32_t subtree);
  void HandUp(std::size_t level, TPagePin page);
  TPagePin NewPage(std::size_t level);
  // Moves entries from the end of `left` to the front of `right` until both are half full.
  static void Share(TPage& left, TPage& right);

  TIndexTree& tree_;
  TIndexFile& file_;
  std::deque<TLevel> levels_;
  std::int64_t keys_ = 0;
  bool finished_ = false;
};

}  // namespace tarvo

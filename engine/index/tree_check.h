// TTreeCheck: one index's B+-tree read once from the file, left to right, for a verification.
// Next() hands out the leaf entries in index order while the walk checks the shape of the tree;
// Finish() walks what was not taken yet, then checks the ends of the levels and the index's
// free chain. Nothing is written.
//
// Checked: the page kinds by level (a root, nodes, leaves), every leaf at one depth, no empty
// page, entry counts within capacity and compressed leaves within 4083 bytes, keys strictly
// ascending within every node and over the whole leaf level, each node entry's key equal to its
// child's first key and its count equal to the leaf entries below the child, the previous and
// next links of every level; on the free chain, pages of the page area, met once.
//
// A page that cannot be read, or that a walk meets a second time (in this tree, on a free chain
// or in another index's tree: the checks of one index file share a TPageSet), is a finding and
// is not descended into, so every walk of a damaged file ends after it met each page once.
// Findings are lines of text saying what is wrong where; the walk goes on wherever it can.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/index/index_tree.h"

namespace tarvo {

// The pages of one index file that the walks have met.
class TPageSet {
 public:
  // `next_page`: the end of the page area (the header's next unused page offset).
  explicit TPageSet(std::int32_t next_page);
  // Whether `offset` names a page of the page area: a page boundary from 4096 below `next_page`.
  bool IsPage(std::int32_t offset) const;
  // false when the page was met before. Requires: IsPage(offset).
  bool Insert(std::int32_t offset);

 private:
  std::int32_t next_page_;
  std::vector<bool> met_;
};

class TTreeCheck {
 public:
  // Requires: the index file open, its pages not changed while the check runs.
  TTreeCheck(TIndexTree& tree, TPageSet& pages);
  ~TTreeCheck();
  TTreeCheck(const TTreeCheck&) = delete;
  TTreeCheck& operator=(const TTreeCheck&) = delete;

  // The next leaf entry in index order; false after the last one. `key` stays valid until the
  // next call. Read errors of the file (not damage) are raised.
  bool Next(std::span<const std::byte>& key, std::int32_t& record);
  // Takes the entries not taken yet, then checks the levels' ends and the free chain.
  void Finish();

  // What was found in the tree and on its free chain.
  const std::vector<std::string>& TreeFaults() const { return tree_faults_; }
  const std::vector<std::string>& FreeChainFaults() const { return free_faults_; }
  std::int64_t EntryCount() const { return entries_; }
  int Depth() const { return static_cast<int>(levels_.size()); }
  int PageCount() const { return pages_; }
  int FreePageCount() const { return free_pages_; }

 private:
  struct TChild {
    std::vector<std::byte> key;
    std::int32_t page = 0;
    std::int32_t count = 0;
  };
  // A node on the way down: its entries, the next one to visit, the leaf entries met below it.
  struct TFrame {
    std::int32_t offset = 0;
    int depth = 0;
    std::vector<TChild> children;
    std::size_t next = 0;
    std::int64_t total = 0;
    std::int32_t expected = -1;  // the count its parent's entry gives it (-1: the root)
  };
  // The last page met on one level, and its next link.
  struct TLevel {
    std::int32_t offset = 0;
    std::int32_t next = 0;
  };

  void TreeFault(std::string text);
  // Visits the page that `parent` (nullptr: the root) names in entry `child`: a leaf becomes the
  // current leaf, a node is pushed.
  void Visit(std::int32_t offset, int depth, const TChild* child);
  // Checks what the page says of its level against the page met before it there.
  void CheckLevelLink(const TPage& page, int depth);
  // A node's leaf entries are all counted: compared with its parent's entry.
  void Pop();
  void CheckFreeChain();

  TIndexTree& tree_;
  TIndexFile& file_;
  TPageSet& pages_met_;
  std::vector<TFrame> stack_;
  TPagePin leaf_;
  int leaf_entry_ = 0;
  int leaf_depth_ = -1;
  std::vector<std::byte> last_key_;
  bool has_last_ = false;
  std::vector<TLevel> levels_;
  bool started_ = false;
  bool finished_ = false;
  std::int64_t entries_ = 0;
  int pages_ = 0;
  int free_pages_ = 0;
  std::size_t dropped_ = 0;  // findings beyond the ones kept
  std::vector<std::string> tree_faults_;
  std::vector<std::string> free_faults_;
};

}  // namespace tarvo

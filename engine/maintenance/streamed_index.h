// TStreamedIndex: the keys of one index that must never hold a key twice, taken one record at a
// time in any order, as repair takes them. While every key sorts after all earlier keys with the
// same first byte, no earlier key can equal it: such keys are only gathered for sorting, and
// neither the check nor the insert touches the tree. The first key that does not (an ID met out
// of order, a possible duplicate) has the tree written from the keys gathered so far; from then
// on every key goes through the tree, check and insert alike. Finish() writes the tree when that
// never happened.
//
// The first byte partitions the keys soundly: it is the deleted flag of a "Sys Deleted" key and
// the null flag of a key's first field otherwise, and keys that compare equal always share it.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/index/index_tree.h"
#include "engine/index/key_sorter.h"

namespace tarvo {

class TStreamedIndex {
 public:
  // Requires: the tree's index is empty. The keys gathered take at most `budget` bytes of memory
  // (spilled to `spill_name` beyond); `most_pairs` bounds the keys to come.
  TStreamedIndex(TIndexTree& tree, std::size_t budget, std::string spill_name, bool in_memory,
                 std::int64_t most_pairs);

  TIndexTree& Tree() { return tree_; }
  // Whether a key equal to `key` was inserted.
  bool Contains(std::span<const std::byte> key);
  // 9729 naming the index when a key equal to `key` was inserted.
  void CheckUnique(std::span<const std::byte> key);
  void Insert(std::span<const std::byte> key, std::int32_t record);
  // Writes the tree from the keys still gathered.
  void Finish();

 private:
  // Whether `key` sorts after every key inserted so far with its first byte.
  bool Beyond(std::span<const std::byte> key) const;
  void WriteTree();
  template <typename F>
  auto Guarded(F&& step);

  TIndexTree& tree_;
  std::unique_ptr<TKeySorter> sorter_;  // null once the tree holds the keys
  std::array<std::vector<std::byte>, 256> last_;  // the greatest key so far, by first byte
  std::bitset<256> seen_;
  std::exception_ptr failure_;  // the first failure other than a duplicate key
};

}  // namespace tarvo

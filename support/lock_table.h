// TLockTable: the byte ranges that the openers of one file hold locked. A new range may not
// overlap any held one, whoever holds it (one process shares one file object among all its
// cursors, so the table cannot tell them apart and does not try); a range is released only by
// naming exactly the offset and length it was taken with. Not synchronised: its owner guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tarvo {

class TLockTable {
 public:
  // Whether [offset, offset + length - 1] touches a held range. A length below 1 touches nothing.
  bool Overlaps(std::int64_t offset, std::int64_t length) const;
  // Records the range; false if the length is below 1, the range would overflow, or it overlaps.
  [[nodiscard]] bool Add(std::int64_t offset, std::int64_t length);
  // Releases the range taken with exactly this offset and length; false if there is none.
  [[nodiscard]] bool Remove(std::int64_t offset, std::int64_t length);
  bool Contains(std::int64_t offset, std::int64_t length) const;

  std::size_t Count() const { return ranges_.size(); }
  bool Empty() const { return ranges_.empty(); }
  void Clear() { ranges_.clear(); }

 private:
  // (start, length) by start; ranges never overlap. A sorted list rather than a tree: a lock
  // taken and given back does not allocate once the list has grown.
  std::vector<std::pair<std::int64_t, std::int64_t>> ranges_;
};

}  // namespace tarvo

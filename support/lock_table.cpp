#include "support/lock_table.h"

#include <algorithm>
#include <iterator>
#include <limits>

namespace tarvo {

namespace {

// Whether the last byte of the range is representable.
bool RangeIsValid(std::int64_t offset, std::int64_t length) {
  return length >= 1 && offset <= std::numeric_limits<std::int64_t>::max() - (length - 1);
}

// The first held range starting at or after `offset`.
template <typename TRanges>
auto FirstFrom(TRanges& ranges, std::int64_t offset) {
  return std::lower_bound(ranges.begin(), ranges.end(), offset,
                          [](const auto& range, std::int64_t at) { return range.first < at; });
}

}  // namespace

bool TLockTable::Overlaps(std::int64_t offset, std::int64_t length) const {
  if (!RangeIsValid(offset, length)) return false;
  const std::int64_t last = offset + (length - 1);
  // The first held range starting after `offset`, and the one before it.
  auto next = FirstFrom(ranges_, offset);
  if (next != ranges_.end() && next->first == offset) ++next;
  if (next != ranges_.end() && next->first <= last) return true;
  if (next != ranges_.begin()) {
    const auto& [start, held_length] = *std::prev(next);
    if (start + (held_length - 1) >= offset) return true;
  }
  return false;
}

bool TLockTable::Add(std::int64_t offset, std::int64_t length) {
  if (!RangeIsValid(offset, length) || Overlaps(offset, length)) return false;
  ranges_.insert(FirstFrom(ranges_, offset), {offset, length});
  return true;
}

bool TLockTable::Remove(std::int64_t offset, std::int64_t length) {
  const auto it = FirstFrom(ranges_, offset);
  if (it == ranges_.end() || it->first != offset || it->second != length) return false;
  ranges_.erase(it);
  return true;
}

bool TLockTable::Contains(std::int64_t offset, std::int64_t length) const {
  const auto it = FirstFrom(ranges_, offset);
  return it != ranges_.end() && it->first == offset && it->second == length;
}

}  // namespace tarvo

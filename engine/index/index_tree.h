// TIndexTree: one index (descriptor slot) of a table as the cursor uses it: keys built from
// records and compared under the table's locale, and the B+-tree operations on the pages of the
// index file (find, insert, remove, replace, unique check, counts, ordinal positions, bound
// searches). TIndexPosition walks the leaf level in index order. Every page obtained is pinned
// through a guard and released on every way out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/format/field_descriptor.h"
#include "engine/index/index_header.h"
#include "support/locale.h"

namespace tarvo {

class TIndexFile;

using TKey = std::vector<std::byte>;

// Where a bound search stops in the leaf level.
enum class TBound {
  kLower,  // the first entry not below the key
  kUpper,  // the last entry not above the key
};

class TIndexTree {
 public:
  // `fields` are the table's field descriptors (field number n is fields[n - 1]); they and the
  // index file must outlive the tree. Slot 31 is the system index "Sys Deleted".
  TIndexTree(TIndexFile& file, int slot, std::span<const TFieldDescriptor> fields, TLanguageId language,
             TSortId sort);

  int Slot() const { return slot_; }
  const TIndexDescriptor& Descriptor() const;
  std::string Name() const;  // the index name for messages ("" for the primary index)
  std::uint16_t KeyLength() const;
  bool Unique() const;

  // The key of a record image (RecordSize bytes, deciphered). For slot 31: the deleted flag and
  // the sortable auto-increment value (5 bytes).
  TKey BuildKey(std::span<const std::byte> record) const;
  // −1, 0, 1 under the index's rules (locale, descending fields, suffix).
  int CompareKeys(std::span<const std::byte> a, std::span<const std::byte> b) const;

  bool Find(std::span<const std::byte> key);
  void Insert(std::span<const std::byte> key, std::int32_t record_number);
  // 8965 when the key is not in the index.
  void Remove(std::span<const std::byte> key);
  void Replace(std::span<const std::byte> old_key, std::span<const std::byte> new_key, std::int32_t record_number);
  // 9729 naming the index when a unique index already holds an equal key.
  void CheckUnique(std::span<const std::byte> key);
  // The number of keys (the root's subtree count; 0 for an empty index).
  std::int32_t KeyCount();

 private:
  TIndexFile& file_;
  int slot_;
  std::span<const TFieldDescriptor> fields_;
  TLanguageId language_;
  TSortId sort_;
};

// A place on the leaf level of one index: a leaf page and a 1-based entry in it, or off either
// end. Positions are plain values (page offset, entry); each step reads pages through the tree
// and holds no pin between calls, so a position stays valid only while the index is unchanged
// (the cursor re-finds its key after a change).
class TIndexPosition {
 public:
  explicit TIndexPosition(TIndexTree& tree);

  // false when the index is empty.
  bool First();
  bool Last();
  // false at the end (the position then stays off that end).
  bool Next();
  bool Prior();
  // Positions on the bound for `key` (a key that may be shorter than the index's key length:
  // only its first bytes take part). Returns whether such an entry exists.
  bool Seek(std::span<const std::byte> key, TBound bound);
  // Positions on the entry with exactly this key; false when there is none.
  bool SeekExact(std::span<const std::byte> key);

  bool Valid() const { return page_ != 0 && entry_ > 0; }
  std::int32_t RecordNumber() const;
  TKey Key() const;
  // The 1-based ordinal of the current entry in index order.
  std::int32_t Ordinal();
  // Positions on the entry with this 1-based ordinal; false when out of range.
  bool SeekOrdinal(std::int32_t ordinal);

 private:
  TIndexTree& tree_;
  std::int32_t page_ = 0;
  int entry_ = 0;
  TKey key_;
  std::int32_t record_ = 0;
};

}  // namespace tarvo

// TIndexTree: one index (descriptor slot) of a table as the cursor uses it: keys built from
// records and compared under the table's locale, and the B+-tree operations on the pages of the
// index file (find, insert, remove, replace, unique check, counts, ordinal positions, bound
// searches). TIndexPosition walks the leaf level in index order. Every page obtained is pinned
// through a guard and released on every way out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/format/field_descriptor.h"
#include "engine/format/index_header.h"
#include "engine/index/index_file.h"
#include "engine/index/key_codec.h"
#include "support/locale.h"

namespace tarvo {

class TIndexFile;

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
  // As BuildKey, into `key` (resized to the key length; no allocation once it has held a key).
  void BuildKeyInto(std::span<const std::byte> record, TKey& key) const;
  // −1, 0, 1 under the index's rules (locale, descending fields, suffix).
  int CompareKeys(std::span<const std::byte> a, std::span<const std::byte> b) const;

  bool Find(std::span<const std::byte> key);
  void Insert(std::span<const std::byte> key, std::int32_t record_number);
  // 8965 when the key is not in the index.
  void Remove(std::span<const std::byte> key);
  void Replace(std::span<const std::byte> old_key, std::span<const std::byte> new_key,
               std::int32_t record_number);
  // 9729 naming the index when a unique index already holds an equal key.
  void CheckUnique(std::span<const std::byte> key);
  // The number of keys (the root's subtree count; 0 for an empty index).
  std::int32_t KeyCount();

  // Compares the first `length` bytes (a shorter key takes part with its first bytes only).
  int CompareKeys(std::span<const std::byte> a, std::span<const std::byte> b, std::size_t length) const;
  TIndexFile& File() const { return file_; }
  std::int32_t Root() const;
  const TKeyCodec& Codec() const { return codec_; }
  // The page at `offset` of this index, pinned; EIndexChanged when the change check intervened.
  TPagePin PinPage(std::int32_t offset);
  // A key that goes behind a leaf's last entry (ascending keys) is appended to the leaf without
  // working out the leaf's other entries again (on by default). Off, every insert takes the
  // general way; both leave the same pages.
  void SetAppendAtEnd(bool on) { append_at_end_ = on; }

 private:
  friend class TIndexPosition;

  // Deeper than any tree of 4096-byte pages can grow: a longer descent means the pages loop.
  static constexpr int kMaxDepth = 40;

  // One page of a descent and the entry taken in it (for a leaf: the search position).
  struct TStep {
    TPagePin pin;
    int entry = 0;
  };
  // The pages of one descent, the root first; held without allocating.
  class TPath {
   public:
    std::size_t size() const { return size_; }
    TStep& operator[](std::size_t level) { return steps_[level]; }
    // Requires: size() < kMaxDepth.
    void push_back(TStep step) { steps_[size_++] = std::move(step); }

   private:
    std::array<TStep, kMaxDepth> steps_;
    std::size_t size_ = 0;
  };

  // Binary search of a page: the last entry not above `key`, or `floor` when every entry is
  // above it; `equal` tells whether an equal entry was met. 8965 for an empty page.
  int SearchPage(const TPage& page, std::span<const std::byte> key, int floor, bool& equal) const;
  // From the root to a leaf; nodes descend through max(position, 1).
  TPath Descend(std::span<const std::byte> key, int floor, bool& equal);
  TPagePin Allocate();
  // Sets the parent entries above path[level] to that page's first key while the changed entry
  // is the first of its page.
  void PropagateFirstKey(TPath& path, int level);
  void SplitPage(TPath& path, int level);
  // Removes entry `pos` of path[level] and restores the tree's shape above it.
  void RemoveEntryAt(TPath& path, int level, int pos);
  void Rebalance(TPath& path, int level);
  // Joins the page's level neighbours and clears its links.
  void UnlinkFromLevel(TPage& page);

  TIndexFile& file_;
  int slot_;
  std::span<const TFieldDescriptor> fields_;
  TLanguageId language_;
  TSortId sort_;
  TKeyCodec codec_;
  bool append_at_end_ = true;
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
  // Whether the current entry's key equals `key` on key.size() bytes (false off an entry).
  bool KeyMatches(std::span<const std::byte> key) const;

  bool Valid() const { return page_ != 0 && entry_ > 0; }
  std::int32_t RecordNumber() const;
  // Counting from this entry's record number: the slots up to the last of the records that the
  // entries after it (or before it, not `forward`) name in turn, each at most `gap` + 1 slots
  // beyond the one before; at most `limit`. 1 when the next entry's record lies elsewhere.
  // Requires: Valid().
  std::int32_t SlotRunAhead(bool forward, std::int32_t limit, std::int32_t gap) const;
  // Appends the record numbers of the entries after this one (before it, not `forward`) until
  // `out` holds `most`. Requires: Valid().
  void RecordsAhead(bool forward, std::size_t most, std::vector<std::int32_t>& out) const;
  // Appends the record numbers of this entry and the ones after it, page by page, until `out`
  // holds `most`; the position moves to the entry after the last one taken (off the end after
  // the last entry). Requires: Valid().
  void TakeRecordNumbers(std::vector<std::int32_t>& out, std::size_t most);
  TKey Key() const;
  // The 1-based ordinal of the current entry in index order.
  std::int32_t Ordinal();
  // Positions on the entry with this 1-based ordinal; false when out of range.
  bool SeekOrdinal(std::int32_t ordinal);

 private:
  // Moves to the first entry at or after (`offset`, `entry`) along the level, or `forward`
  // false, the last at or before it (`entry` -1 standing for a page's last); off that end when
  // there is none.
  bool Settle(std::int32_t offset, int entry, bool forward);
  // Visits the entries from (`offset`, `entry`) on along the level, forwards or backwards, each
  // page pinned once, until `visit(page, entry)` returns false; backwards, an `entry` beyond the
  // page (-1) stands for its last. Returns whether the walk ran off the end of the level.
  template <typename TVisit>
  bool WalkLevel(std::int32_t offset, int entry, bool forward, TVisit&& visit) const;
  void Take(const TPage& page, int entry);
  void SetOff(int side);

  TIndexTree& tree_;
  std::int32_t page_ = 0;
  int entry_ = 0;
  TKey key_;
  std::int32_t record_ = 0;
  int off_ = 0;  // -1 before the first entry, +1 after the last, 0 on an entry or unpositioned
};

}  // namespace tarvo

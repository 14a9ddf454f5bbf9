// TPage: one page of an index B+-tree as it sits in the page cache, its entries expanded to a
// fixed width. Does no I/O itself; TIndexFile reads and writes the 4096-byte images, and the tree
// code moves entries. Decode() takes any bytes without reading outside them and answers -8965 for
// an image that contradicts itself; Encode() writes the stored form byte for byte. CheckPage()
// asserts every in-memory invariant.
//
// Page: 4096 bytes at its page offset, little-endian.
//   off  size  content
//     0     1  page kind: 0 root node, 1 inner node, 2 leaf, 3 root leaf
//     1     2  number of entries, uint16; 0 in a free page
//     3     4  offset of the previous page on the same level, 0 if none
//     7     4  offset of the next page on the same level, 0 if none; in a free page the next
//              page of the index's free chain
//    11     2  bytes used by the entries of a compressed leaf (0 in other pages)
//    13  4083  entries, then zeros to the end of the page
//
// Stored entries (n = key length):
//   node, any compression       key (n), child page offset (4), leaf entries below the child (4)
//   leaf, 0 none                key (n), record number (4)
//   leaf, 1 duplicate bytes     p (uint16), key bytes p..n-1, record number (4)
//   leaf, 2 trailing bytes      t (uint16), key bytes 0..n-1-t, record number (4); when the
//                               index is not unique t counts the zeros before the 4-byte suffix,
//                               which is always stored: key bytes 0..n-5-t, suffix (4)
//   leaf, 3 both                p (uint8), t (uint8), key bytes p..n-1-t, record number (4); when
//                               the index is not unique and n - p >= 5, t counts the zeros
//                               before the suffix and the suffix follows the stored bytes;
//                               with fewer than 5 bytes left t is 0
// p counts the leading bytes equal to the previous entry's key (0 in the first entry), t the zero
// bytes cut from the end; a reader puts both back. Mode 3 caps p and t at 255.
//
// Expanded entry in memory (key length + 12 bytes):
//   key (n), record number or child offset (4), subtree count (4, nodes only), p (2), t (2)
//
// Beside the expanded entries a page keeps their stored form as its last Encode() wrote it;
// AppendEntry() extends that form by the new entry alone, so that a page growing at its end (keys
// in ascending order) is not encoded again from its first entry. Every other change of the
// entries drops it, and so does a copy of the page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/format/index_header.h"

namespace tarvo {

inline constexpr std::size_t kPageSize = 4096;
inline constexpr std::size_t kPageHeaderSize = 13;
// Bytes the entries of one page may take: a larger image is never written.
inline constexpr int kPageEntryArea = 4083;
static_assert(kPageHeaderSize + kPageEntryArea == kPageSize);
// Merges and redistributions assemble two pages' entries in a buffer of this size.
inline constexpr int kMergeBufferSize = 3 * kPageEntryArea;

inline constexpr std::size_t kOffPageKind = 0;
inline constexpr std::size_t kOffPageCount = 1;
inline constexpr std::size_t kOffPagePrev = 3;
inline constexpr std::size_t kOffPageNext = 7;
inline constexpr std::size_t kOffPageCompressedBytes = 11;
static_assert(kOffPageCompressedBytes + 2 == kPageHeaderSize);

// Stored in files: never renumber.
enum class TPageKind : std::uint8_t {
  kRootNode = 0,
  kNode = 1,
  kLeaf = 2,
  kRootLeaf = 3,  // a root that is also the only leaf
};

// What a page copies from its index's descriptor.
struct TPageFormat {
  int index_number = 0;
  std::uint16_t key_length = 0;
  std::uint8_t compression = 0;  // a TKeyCompression; other values read as none
  bool unique = false;
  bool case_insensitive = false;
};

TPageFormat PageFormatOf(const TIndexDescriptor& d, int index_number);

class TPage {
 public:
  TPage() = default;
  explicit TPage(const TPageFormat& format, std::int32_t offset = 0) { Reset(format, offset); }

  // Clears the page for reuse: no entries, links and flags cleared, kind kLeaf.
  void Reset(const TPageFormat& format, std::int32_t offset);

  // Parses a page image. With `fresh` only the header fields are taken and the page starts
  // empty. Returns 0, or -8965 (the page is then left empty) when the kind is unknown, the
  // entries run past the page or contradict the key length, or the compressed byte count
  // disagrees with the entries. Clears the modified flag.
  [[nodiscard]] int Decode(std::span<const std::byte, kPageSize> image, bool fresh = false);
  // Writes the page image (zeros behind the last entry; a free page with count 0 and no
  // entries). Returns 0, or -8965 without writing when the entries need more than 4083 bytes.
  // Clears the modified flag on success.
  [[nodiscard]] int Encode(std::span<std::byte, kPageSize> image);

  // --- Page header ---
  const TPageFormat& Format() const { return format_; }
  int KeyLength() const { return format_.key_length; }
  std::int32_t Offset() const { return offset_; }
  void SetOffset(std::int32_t offset) { offset_ = offset; }
  TPageKind Kind() const { return kind_; }
  void SetKind(TPageKind kind);
  bool IsLeaf() const { return kind_ == TPageKind::kLeaf || kind_ == TPageKind::kRootLeaf; }
  bool IsNode() const { return !IsLeaf(); }
  bool IsRoot() const { return kind_ == TPageKind::kRootNode || kind_ == TPageKind::kRootLeaf; }
  // A leaf of an index with compression 1 to 3; nodes are never compressed.
  bool IsCompressedLeaf() const;
  std::int32_t PrevPage() const { return prev_; }
  void SetPrevPage(std::int32_t offset) { SetIfChanged(prev_, offset); }
  std::int32_t NextPage() const { return next_; }
  void SetNextPage(std::int32_t offset) { SetIfChanged(next_, offset); }

  // --- Cache state (not stored) ---
  bool Modified() const { return modified_; }
  void SetModified(bool modified) { modified_ = modified; }
  bool Free() const { return free_; }
  void SetFree(bool free) { free_ = free; }
  int PinCount() const { return pin_count_; }
  void Pin() { ++pin_count_; }
  void Unpin() {
    if (pin_count_ > 0) --pin_count_;
  }
  // Valid only during the descent that set it.
  std::int32_t ParentPage() const { return parent_; }
  void SetParentPage(std::int32_t offset) { parent_ = offset; }
  // The neighbours in the index's most-recently-used chain, kept by the page cache.
  TPage* Newer() const { return newer_; }
  TPage* Older() const { return older_; }
  void SetNewer(TPage* page) { newer_ = page; }
  void SetOlder(TPage* page) { older_ = page; }
  // Whether the cache counts the page among its inner nodes (its kind when it was cached).
  bool CachedAsNode() const { return cache_mark_.node; }
  void SetCachedAsNode(bool node) { cache_mark_.node = node; }

  // --- Entries, positions 1..EntryCount() ---
  int EntryCount() const { return count_; }
  std::span<const std::byte> Key(int pos) const;
  std::int32_t RecordNumber(int pos) const { return Value(pos); }  // leaves
  std::int32_t ChildPage(int pos) const { return Value(pos); }     // nodes
  std::int32_t SubtreeCount(int pos) const;                        // nodes
  int PrefixCount(int pos) const;                                  // shared leading bytes
  int CutCount(int pos) const;                                     // zero bytes cut
  void SetKey(int pos, std::span<const std::byte> key);
  void SetRecordNumber(int pos, std::int32_t record) { SetValue(pos, record); }
  void SetSubtreeCount(int pos, std::int32_t count);

  // Inserts an entry after position `after` (0 = before all). A leaf ignores `subtree_count`.
  // Requires: 0 <= after <= EntryCount(), key.size() == KeyLength().
  void InsertEntry(int after, std::span<const std::byte> key, std::int32_t value,
                   std::int32_t subtree_count = 0);
  // InsertEntry(EntryCount(), ...) in constant time: only the new entry's shape is worked out, and
  // only its stored form is added to the one the last Encode() wrote.
  void AppendEntry(std::span<const std::byte> key, std::int32_t value, std::int32_t subtree_count = 0);
  // Requires: 1 <= pos <= EntryCount().
  void RemoveEntry(int pos);
  // Copies `n` entries of `from` starting at its position `first` after position `after`.
  // Requires: the same key length; the positions exist.
  void InsertEntries(int after, const TPage& from, int first, int n);
  // Requires: 1 <= first, first + n - 1 <= EntryCount().
  void RemoveEntries(int first, int n);
  void ClearEntries();

  // --- Capacity ---
  // Entry limit of a node or uncompressed leaf; a compressed leaf has none (returns 0).
  int Capacity() const;
  // Bytes the entries take in stored form.
  int StoredSize() const;
  // The compressed byte count of a compressed leaf, 0 for every other page.
  int CompressedBytes() const { return compressed_bytes_; }
  // Whether the page would still not overflow after InsertEntry(after, key, ...).
  bool FitsInsert(int after, std::span<const std::byte> key) const;
  // Above the entry limit, or for a compressed leaf above 4083 bytes: the page must be split.
  bool Overflows() const;
  // Below half the entry limit; a compressed leaf only when empty.
  bool Underflows() const;
  // The number of leaf entries below this page: the entry count of a leaf, the sum of the
  // subtree counts of a node.
  std::int64_t SubtreeTotal() const;

  // Whether every in-memory invariant holds; CheckPage() asserts it.
  bool PageIsConsistent() const;
  void CheckPage() const;

 private:
  // The stored entries of the last Encode(), valid until the entries change other than at their
  // end; copying a page does not copy them (the copy encodes afresh).
  struct TStoredEntries {
    TStoredEntries() = default;
    TStoredEntries(const TStoredEntries&) {}
    TStoredEntries(TStoredEntries&&) noexcept = default;
    TStoredEntries& operator=(const TStoredEntries&) {
      valid = false;
      appended = false;
      return *this;
    }
    TStoredEntries& operator=(TStoredEntries&&) noexcept = default;
    std::vector<std::byte> bytes;
    bool valid = false;
    // The last change of the entries was an append: only such a page keeps what Encode() wrote
    // (a page changed elsewhere would only pay for the copy).
    bool appended = false;
  };

  // How the cache counts the page: it belongs to the cached page, not to its content, so copying
  // a page's content onto a cached one keeps it, and a copy starts uncounted.
  struct TCacheMark {
    TCacheMark() = default;
    TCacheMark(const TCacheMark&) noexcept {}
    TCacheMark& operator=(const TCacheMark&) noexcept { return *this; }
    bool node = false;
  };

  std::size_t EntrySize() const { return static_cast<std::size_t>(format_.key_length) + 12; }
  // Writes the stored form of entry `pos` at `out`; returns its size.
  std::size_t StoreEntry(int pos, std::byte* out) const;
  std::span<std::byte> EntryBytes(int pos);
  std::span<const std::byte> EntryBytes(int pos) const;
  std::int32_t Value(int pos) const;
  void SetValue(int pos, std::int32_t value);
  void Reserve(std::size_t entries);
  // Recomputes the prefix and cut counts of every entry and the compressed byte count.
  void Recompute();
  void Touched();
  void DropStored() {
    stored_.valid = false;
    stored_.appended = false;
  }
  template <typename T>
  void SetIfChanged(T& field, T value) {
    if (field != value) {
      field = value;
      modified_ = true;
    }
  }

  TPageFormat format_;
  std::int32_t offset_ = 0;
  std::int32_t parent_ = 0;
  std::int32_t prev_ = 0;
  std::int32_t next_ = 0;
  TPageKind kind_ = TPageKind::kLeaf;
  bool modified_ = false;
  bool free_ = false;
  int pin_count_ = 0;
  int count_ = 0;
  int compressed_bytes_ = 0;
  TPage* newer_ = nullptr;
  TPage* older_ = nullptr;
  std::vector<std::byte> entries_;  // count_ expanded entries; capacity grows by 8192 bytes
  TStoredEntries stored_;
  TCacheMark cache_mark_;
};

}  // namespace tarvo

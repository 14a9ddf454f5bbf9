#include "engine/index/page.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "errors/engine_error.h"
#include "engine/format/byte_codec.h"

namespace tarvo {

namespace {

constexpr int kCorrupt = -static_cast<int>(kIndexBuffersCorrupt);
constexpr std::size_t kEntryGrowth = 8192;
constexpr int kMaxFullCount = 255;  // p and t of mode 3 are single bytes

// Offsets inside an expanded entry behind its key.
constexpr std::size_t kExpValue = 0;
constexpr std::size_t kExpSubtree = 4;
constexpr std::size_t kExpPrefix = 8;
constexpr std::size_t kExpCut = 10;

TKeyCompression CompressionOf(const TPageFormat& f) {
  switch (f.compression) {
    case 1: return TKeyCompression::kDuplicateBytes;
    case 2: return TKeyCompression::kTrailingBytes;
    case 3: return TKeyCompression::kFull;
    default: return TKeyCompression::kNone;
  }
}

// memcpy for the short runs of an entry: sizes of 4 to 32 bytes as two overlapping moves of a
// fixed size, which the compiler turns into plain loads and stores.
inline void CopyShort(std::byte* to, const std::byte* from, std::size_t n) {
  if (n >= 4 && n <= 8) {
    std::memcpy(to, from, 4);
    std::memcpy(to + n - 4, from + n - 4, 4);
  } else if (n > 8 && n <= 16) {
    std::memcpy(to, from, 8);
    std::memcpy(to + n - 8, from + n - 8, 8);
  } else if (n > 16 && n <= 32) {
    std::memcpy(to, from, 16);
    std::memcpy(to + n - 16, from + n - 16, 16);
  } else {
    std::memcpy(to, from, n);
  }
}

// Whether a trailing-bytes key keeps its last 4 bytes (the auto-increment suffix) uncut.
bool TrailingKeepsSuffix(const TPageFormat& f) {
  return !f.unique && f.key_length >= kKeySuffixSize;
}

// Whether a full-compression key whose first p bytes are shared keeps its suffix uncut.
bool FullKeepsSuffix(const TPageFormat& f, int p) {
  return !f.unique && f.key_length - p >= kKeySuffixSize + 1;
}

int CommonPrefix(const std::byte* a, const std::byte* b, int n) {
  int i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

int TrailingZeros(const std::byte* key, int from, int to) {
  int t = 0;
  while (to - t > from && key[to - t - 1] == std::byte{0}) ++t;
  return t;
}

struct TShape {
  int prefix = 0;
  int cut = 0;
  int size = 0;  // stored bytes of the leaf entry
};

// How a leaf entry with `key` is stored behind the entry with `prev` (nullptr: first entry).
TShape LeafShape(const TPageFormat& f, const std::byte* prev, const std::byte* key) {
  const int n = f.key_length;
  TShape s;
  switch (CompressionOf(f)) {
    case TKeyCompression::kNone: s.size = n + 4; return s;
    case TKeyCompression::kDuplicateBytes: s.prefix = prev == nullptr ? 0 : CommonPrefix(prev, key, n); break;
    case TKeyCompression::kTrailingBytes:
      s.cut = TrailingZeros(key, 0, TrailingKeepsSuffix(f) ? n - kKeySuffixSize : n);
      break;
    case TKeyCompression::kFull:
      s.prefix = prev == nullptr ? 0 : std::min(kMaxFullCount, CommonPrefix(prev, key, n));
      if (FullKeepsSuffix(f, s.prefix)) {
        s.cut = std::min(kMaxFullCount, TrailingZeros(key, s.prefix, n - kKeySuffixSize));
      } else if (f.unique) {
        s.cut = std::min(kMaxFullCount, TrailingZeros(key, s.prefix, n));
      }  // else: fewer than 5 bytes left of a key with a suffix, nothing is cut
      break;
  }
  s.size = n - s.prefix - s.cut + 6;
  return s;
}

}  // namespace

TPageFormat PageFormatOf(const TIndexDescriptor& d, int index_number) {
  TPageFormat f;
  f.index_number = index_number;
  f.key_length = d.key_length;
  f.compression = d.compression;
  f.unique = d.unique != 0;
  f.case_insensitive = d.case_insensitive != 0;
  return f;
}

void TPage::Reset(const TPageFormat& format, std::int32_t offset) {
  format_ = format;
  offset_ = offset;
  parent_ = 0;
  prev_ = 0;
  next_ = 0;
  kind_ = TPageKind::kLeaf;
  modified_ = false;
  free_ = false;
  pin_count_ = 0;
  count_ = 0;
  compressed_bytes_ = 0;
  newer_ = nullptr;
  older_ = nullptr;
  entries_.clear();
  DropStored();
}

bool TPage::IsCompressedLeaf() const {
  return IsLeaf() && CompressionOf(format_) != TKeyCompression::kNone;
}

void TPage::SetKind(TPageKind kind) {
  if (kind_ == kind) return;
  kind_ = kind;
  Touched();
}

int TPage::Decode(std::span<const std::byte, kPageSize> image, bool fresh) {
  const std::uint8_t kind = GetU8(image, kOffPageKind);
  const int count = GetU16(image, kOffPageCount);
  const int stored_bytes = GetU16(image, kOffPageCompressedBytes);
  prev_ = GetI32(image, kOffPagePrev);
  next_ = GetI32(image, kOffPageNext);
  modified_ = false;
  free_ = false;
  count_ = 0;
  compressed_bytes_ = 0;
  entries_.clear();
  DropStored();
  if (kind > static_cast<std::uint8_t>(TPageKind::kRootLeaf)) return kCorrupt;
  kind_ = static_cast<TPageKind>(kind);
  if (fresh || count == 0) return 0;

  const std::size_t n = format_.key_length;
  const std::size_t width = EntrySize();
  std::size_t pos = kPageHeaderSize;
  if (!IsCompressedLeaf()) {
    const std::size_t stored = IsNode() ? n + 8 : n + 4;
    if (count * stored > static_cast<std::size_t>(kPageEntryArea)) return kCorrupt;
    Reserve(count);
    entries_.assign(count * width, std::byte{0});
    for (int i = 0; i < count; ++i, pos += stored) {
      std::byte* e = entries_.data() + i * width;
      CopyShort(e, image.data() + pos, stored);  // key, value and, in a node, the subtree count
    }
    count_ = count;
    return 0;
  }

  // A compressed leaf: every length comes from the page, so every step is bounds-checked.
  const TKeyCompression mode = CompressionOf(format_);
  std::vector<std::byte> decoded;
  decoded.reserve(std::min<std::size_t>(count, kPageEntryArea / 6) * width);
  for (int i = 0; i < count; ++i) {
    if (pos + 2 > kPageSize) return kCorrupt;
    std::size_t p = 0;
    std::size_t t = 0;
    bool keeps_suffix = false;
    if (mode == TKeyCompression::kFull) {
      p = GetU8(image, pos);
      t = GetU8(image, pos + 1);
    } else if (mode == TKeyCompression::kDuplicateBytes) {
      p = GetU16(image, pos);
    } else {
      t = GetU16(image, pos);
    }
    pos += 2;
    if (p > n || (i == 0 && p != 0)) return kCorrupt;
    if (mode == TKeyCompression::kTrailingBytes) keeps_suffix = TrailingKeepsSuffix(format_);
    if (mode == TKeyCompression::kFull) keeps_suffix = FullKeepsSuffix(format_, static_cast<int>(p));
    const std::size_t suffix = keeps_suffix ? kKeySuffixSize : 0;
    if (t > n - p - suffix) return kCorrupt;
    const std::size_t body = n - p - t - suffix;  // stored key bytes before the cut zeros
    if (pos + body + suffix + 4 > kPageSize) return kCorrupt;

    const std::size_t at = decoded.size();
    decoded.resize(at + width, std::byte{0});
    std::byte* e = decoded.data() + at;
    if (p > 0) CopyShort(e, e - width, p);  // the previous entry's leading bytes
    CopyShort(e + p, image.data() + pos, body);
    // e[p + body .. p + body + t) stay zero.
    std::memcpy(e + p + body + t, image.data() + pos + body, suffix);
    pos += body + suffix;
    std::memcpy(e + n + kExpValue, image.data() + pos, 4);
    pos += 4;
  }
  if (static_cast<int>(pos - kPageHeaderSize) != stored_bytes) return kCorrupt;
  entries_ = std::move(decoded);
  count_ = count;
  Recompute();
  return 0;
}

int TPage::Encode(std::span<std::byte, kPageSize> image) {
  const int stored_size = free_ ? 0 : StoredSize();
  if (stored_size > kPageEntryArea) return kCorrupt;
  std::fill(image.begin(), image.end(), std::byte{0});
  PutU8(image, kOffPageKind, static_cast<std::uint8_t>(kind_));
  PutU16(image, kOffPageCount, static_cast<std::uint16_t>(free_ ? 0 : count_));
  PutI32(image, kOffPagePrev, prev_);
  PutI32(image, kOffPageNext, next_);
  PutU16(image, kOffPageCompressedBytes, static_cast<std::uint16_t>(compressed_bytes_));
  modified_ = false;
  if (free_) return 0;

  std::byte* const area = image.data() + kPageHeaderSize;
  if (stored_.valid) {
    assert(static_cast<int>(stored_.bytes.size()) == stored_size);
    std::memcpy(area, stored_.bytes.data(), stored_.bytes.size());
    return 0;
  }
  std::size_t pos = 0;
  if (!IsCompressedLeaf()) {
    // Key, value and, in a node, the subtree count of each entry as they stand.
    const std::size_t n = format_.key_length;
    const std::size_t stored = IsNode() ? n + 8 : n + 4;
    const std::byte* e = entries_.data();
    for (int i = 0; i < count_; ++i, pos += stored, e += EntrySize()) std::memcpy(area + pos, e, stored);
  } else {
    for (int i = 1; i <= count_; ++i) pos += StoreEntry(i, area + pos);
  }
  assert(static_cast<int>(pos) == stored_size);
  if (stored_.appended) {
    stored_.bytes.assign(area, area + pos);
    stored_.valid = true;
  }
  return 0;
}

std::size_t TPage::StoreEntry(int pos, std::byte* out) const {
  const std::size_t n = format_.key_length;
  const std::byte* e = EntryBytes(pos).data();
  if (!IsCompressedLeaf()) {
    const std::size_t stored = IsNode() ? n + 8 : n + 4;
    std::memcpy(out, e, stored);  // key, value and, in a node, the subtree count
    return stored;
  }
  const TKeyCompression mode = CompressionOf(format_);
  const std::size_t p = PrefixCount(pos);
  const std::size_t t = CutCount(pos);
  const std::span<std::byte, 2> counts(out, 2);
  bool keeps_suffix = false;
  if (mode == TKeyCompression::kFull) {
    PutU8(counts, 0, static_cast<std::uint8_t>(p));
    PutU8(counts, 1, static_cast<std::uint8_t>(t));
    keeps_suffix = FullKeepsSuffix(format_, static_cast<int>(p));
  } else if (mode == TKeyCompression::kDuplicateBytes) {
    PutU16(counts, 0, static_cast<std::uint16_t>(p));
  } else {
    PutU16(counts, 0, static_cast<std::uint16_t>(t));
    keeps_suffix = TrailingKeepsSuffix(format_);
  }
  const std::size_t suffix = keeps_suffix ? kKeySuffixSize : 0;
  const std::size_t body = n - p - t - suffix;
  std::memcpy(out + 2, e + p, body);
  std::memcpy(out + 2 + body, e + n - suffix, suffix);
  std::memcpy(out + 2 + body + suffix, e + n + kExpValue, 4);
  return 2 + body + suffix + 4;
}

std::span<std::byte> TPage::EntryBytes(int pos) {
  assert(pos >= 1 && pos <= count_);
  return std::span<std::byte>(entries_).subspan((pos - 1) * EntrySize(), EntrySize());
}

std::span<const std::byte> TPage::EntryBytes(int pos) const {
  assert(pos >= 1 && pos <= count_);
  return std::span<const std::byte>(entries_).subspan((pos - 1) * EntrySize(), EntrySize());
}

std::span<const std::byte> TPage::Key(int pos) const {
  return EntryBytes(pos).first(format_.key_length);
}

std::int32_t TPage::Value(int pos) const {
  return GetI32(EntryBytes(pos), format_.key_length + kExpValue);
}

std::int32_t TPage::SubtreeCount(int pos) const {
  return GetI32(EntryBytes(pos), format_.key_length + kExpSubtree);
}

int TPage::PrefixCount(int pos) const {
  return GetU16(EntryBytes(pos), format_.key_length + kExpPrefix);
}

int TPage::CutCount(int pos) const {
  return GetU16(EntryBytes(pos), format_.key_length + kExpCut);
}

void TPage::SetValue(int pos, std::int32_t value) {
  if (Value(pos) == value) return;
  PutI32(EntryBytes(pos), format_.key_length + kExpValue, value);
  modified_ = true;
  DropStored();
}

void TPage::SetSubtreeCount(int pos, std::int32_t count) {
  if (SubtreeCount(pos) == count) return;
  PutI32(EntryBytes(pos), format_.key_length + kExpSubtree, count);
  modified_ = true;
  DropStored();
}

void TPage::SetKey(int pos, std::span<const std::byte> key) {
  assert(key.size() == format_.key_length);
  std::copy(key.begin(), key.end(), EntryBytes(pos).begin());
  Touched();
}

void TPage::Reserve(std::size_t entries) {
  const std::size_t bytes = entries * EntrySize();
  if (bytes > entries_.capacity()) entries_.reserve((bytes + kEntryGrowth - 1) / kEntryGrowth * kEntryGrowth);
}

void TPage::InsertEntry(int after, std::span<const std::byte> key, std::int32_t value,
                        std::int32_t subtree_count) {
  assert(after >= 0 && after <= count_);
  assert(key.size() == format_.key_length);
  Reserve(count_ + 1);
  const std::size_t width = EntrySize();
  const auto at = entries_.begin() + static_cast<std::ptrdiff_t>(after * width);
  entries_.insert(at, width, std::byte{0});
  ++count_;
  std::span<std::byte> e = EntryBytes(after + 1);
  std::copy(key.begin(), key.end(), e.begin());
  PutI32(e, format_.key_length + kExpValue, value);
  PutI32(e, format_.key_length + kExpSubtree, IsNode() ? subtree_count : 0);
  Touched();
}

void TPage::AppendEntry(std::span<const std::byte> key, std::int32_t value, std::int32_t subtree_count) {
  assert(key.size() == format_.key_length);
  Reserve(count_ + 1);
  const std::size_t n = format_.key_length;
  entries_.resize(entries_.size() + EntrySize());
  ++count_;
  std::span<std::byte> e = EntryBytes(count_);
  std::copy(key.begin(), key.end(), e.begin());
  PutI32(e, n + kExpValue, value);
  PutI32(e, n + kExpSubtree, IsNode() ? subtree_count : 0);
  TShape s;
  if (IsCompressedLeaf()) {
    s = LeafShape(format_, count_ > 1 ? EntryBytes(count_ - 1).data() : nullptr, e.data());
    compressed_bytes_ += s.size;
  }
  PutU16(e, n + kExpPrefix, static_cast<std::uint16_t>(s.prefix));
  PutU16(e, n + kExpCut, static_cast<std::uint16_t>(s.cut));
  modified_ = true;
  // The stored form grows by this entry's; past the entry area the page is split before it is
  // written, and encoded afresh then.
  stored_.appended = true;
  if (!stored_.valid) return;
  const std::size_t at = stored_.bytes.size();
  const std::size_t size = IsCompressedLeaf() ? static_cast<std::size_t>(s.size) : IsNode() ? n + 8 : n + 4;
  if (at + size > static_cast<std::size_t>(kPageEntryArea)) {
    DropStored();
    return;
  }
  stored_.bytes.resize(at + size);
  (void)StoreEntry(count_, stored_.bytes.data() + at);
}

void TPage::RemoveEntry(int pos) {
  RemoveEntries(pos, 1);
}

void TPage::InsertEntries(int after, const TPage& from, int first, int n) {
  assert(from.format_.key_length == format_.key_length);
  assert(after >= 0 && after <= count_);
  assert(n >= 0 && first >= 1 && first + n - 1 <= from.count_);
  assert(&from != this);
  if (n == 0) return;
  Reserve(count_ + n);
  const std::size_t width = EntrySize();
  const auto src = from.entries_.begin() + static_cast<std::ptrdiff_t>((first - 1) * width);
  entries_.insert(entries_.begin() + static_cast<std::ptrdiff_t>(after * width), src,
                  src + static_cast<std::ptrdiff_t>(n * width));
  count_ += n;
  Touched();
}

void TPage::RemoveEntries(int first, int n) {
  assert(n >= 0 && first >= 1 && first + n - 1 <= count_);
  if (n == 0) return;
  const std::size_t width = EntrySize();
  const auto at = entries_.begin() + static_cast<std::ptrdiff_t>((first - 1) * width);
  entries_.erase(at, at + static_cast<std::ptrdiff_t>(n * width));
  count_ -= n;
  Touched();
}

void TPage::ClearEntries() {
  if (count_ == 0) return;
  entries_.clear();
  count_ = 0;
  Touched();
}

int TPage::Capacity() const {
  if (IsCompressedLeaf()) return 0;
  const int stored = format_.key_length + (IsNode() ? 10 : 6);  // 2 bytes of margin per entry
  return kPageEntryArea / stored;
}

int TPage::StoredSize() const {
  if (IsCompressedLeaf()) return compressed_bytes_;
  return count_ * (format_.key_length + (IsNode() ? 8 : 4));
}

bool TPage::FitsInsert(int after, std::span<const std::byte> key) const {
  assert(after >= 0 && after <= count_);
  assert(key.size() == format_.key_length);
  if (!IsCompressedLeaf()) return count_ + 1 <= Capacity();
  const std::byte* prev = after > 0 ? Key(after).data() : nullptr;
  int size = compressed_bytes_ + LeafShape(format_, prev, key.data()).size;
  if (after < count_) {
    const int n = format_.key_length;
    size += LeafShape(format_, key.data(), Key(after + 1).data()).size;
    size -= n - PrefixCount(after + 1) - CutCount(after + 1) + 6;
  }
  return size <= kPageEntryArea;
}

bool TPage::Overflows() const {
  if (IsCompressedLeaf()) return compressed_bytes_ > kPageEntryArea;
  return count_ > Capacity();
}

bool TPage::Underflows() const {
  if (IsCompressedLeaf()) return count_ == 0;
  return count_ < Capacity() / 2;
}

std::int64_t TPage::SubtreeTotal() const {
  if (IsLeaf()) return count_;
  std::int64_t total = 0;
  for (int i = 1; i <= count_; ++i) total += SubtreeCount(i);
  return total;
}

void TPage::Touched() {
  modified_ = true;
  DropStored();
  Recompute();
}

void TPage::Recompute() {
  const std::size_t n = format_.key_length;
  const bool compressed = IsCompressedLeaf();
  int total = 0;
  const std::byte* prev = nullptr;
  for (int i = 1; i <= count_; ++i) {
    std::span<std::byte> e = EntryBytes(i);
    TShape s;
    if (compressed) {
      s = LeafShape(format_, prev, e.data());
      total += s.size;
    }
    PutU16(e, n + kExpPrefix, static_cast<std::uint16_t>(s.prefix));
    PutU16(e, n + kExpCut, static_cast<std::uint16_t>(s.cut));
    prev = e.data();
  }
  compressed_bytes_ = total;
}

bool TPage::PageIsConsistent() const {
  if (static_cast<std::uint8_t>(kind_) > static_cast<std::uint8_t>(TPageKind::kRootLeaf)) return false;
  if (count_ < 0 || entries_.size() != static_cast<std::size_t>(count_) * EntrySize()) return false;
  if (pin_count_ < 0) return false;
  const bool compressed = IsCompressedLeaf();
  int total = 0;
  const std::byte* prev = nullptr;
  for (int i = 1; i <= count_; ++i) {
    const std::byte* key = Key(i).data();
    TShape s;
    if (compressed) {
      s = LeafShape(format_, prev, key);
      total += s.size;
    }
    if (PrefixCount(i) != s.prefix || CutCount(i) != s.cut) return false;
    prev = key;
  }
  return total == compressed_bytes_;
}

void TPage::CheckPage() const {
  assert(PageIsConsistent());
}

}  // namespace tarvo

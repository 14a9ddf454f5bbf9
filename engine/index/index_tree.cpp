#include "engine/index/index_tree.h"

#include <algorithm>
#include <cassert>

#include "errors/engine_error.h"
#include "engine/format/data_file.h"
#include "engine/index/index_file.h"

namespace tarvo {

namespace {

std::int32_t Total(const TPage& page) {
  return static_cast<std::int32_t>(page.SubtreeTotal());
}

bool SameBytes(std::span<const std::byte> a, std::span<const std::byte> b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

}  // namespace

TIndexTree::TIndexTree(TIndexFile& file, int slot, std::span<const TFieldDescriptor> fields,
                       TLanguageId language, TSortId sort)
    : file_(file),
      slot_(slot),
      fields_(fields),
      language_(language),
      sort_(sort),
      codec_(file.Header().slots[slot], slot, fields, language, sort) {}

const TIndexDescriptor& TIndexTree::Descriptor() const {
  return file_.Header().slots[slot_];
}

std::string TIndexTree::Name() const {
  return slot_ == kPrimarySlot ? std::string() : Descriptor().name;
}

std::uint16_t TIndexTree::KeyLength() const {
  return codec_.KeyLength();
}

bool TIndexTree::Unique() const {
  return codec_.Unique();
}

std::int32_t TIndexTree::Root() const {
  return file_.RootPage(slot_);
}

TKey TIndexTree::BuildKey(std::span<const std::byte> record) const {
  return codec_.Build(record);
}

void TIndexTree::BuildKeyInto(std::span<const std::byte> record, TKey& key) const {
  key.resize(codec_.KeyLength());
  codec_.BuildInto(record, key);
}

int TIndexTree::CompareKeys(std::span<const std::byte> a, std::span<const std::byte> b) const {
  return codec_.Compare(a, b, std::min(a.size(), b.size()));
}

int TIndexTree::CompareKeys(std::span<const std::byte> a, std::span<const std::byte> b,
                            std::size_t length) const {
  return codec_.Compare(a, b, length);
}

TPagePin TIndexTree::PinPage(std::int32_t offset) {
  TPagePin pin = file_.GetPage(slot_, offset);
  if (!pin) throw EIndexChanged();
  return pin;
}

TPagePin TIndexTree::Allocate() {
  TPagePin pin = file_.AllocatePage(slot_);
  if (!pin) throw EIndexChanged();
  return pin;
}

int TIndexTree::SearchPage(const TPage& page, std::span<const std::byte> key, int floor, bool& equal) const {
  equal = false;
  if (page.EntryCount() == 0) RaiseEngineError(kIndexBuffersCorrupt, file_.TableName());
  int low = 1;
  int high = page.EntryCount();
  int position = floor;
  while (low <= high) {
    const int middle = (low + high) / 2;
    const int c = CompareKeys(page.Key(middle), key);
    if (c < 0) {
      position = middle;
      low = middle + 1;
    } else if (c == 0) {
      equal = true;
      return middle;
    } else {
      high = middle - 1;
    }
  }
  return std::max(position, floor);
}

TIndexTree::TPath TIndexTree::Descend(std::span<const std::byte> key, int floor, bool& equal) {
  TPath path;
  std::int32_t offset = Root();
  std::int32_t parent = 0;
  for (int depth = 0;; ++depth) {
    if (depth >= kMaxDepth) RaiseEngineError(kIndexBuffersCorrupt, file_.TableName());
    TPagePin pin = PinPage(offset);
    pin->SetParentPage(parent);
    bool met = false;
    const int position = SearchPage(*pin, key, floor, met);
    if (pin->IsLeaf()) {
      equal = met;
      path.push_back({std::move(pin), position});
      return path;
    }
    const int entry = std::max(position, 1);
    parent = pin->Offset();
    offset = pin->ChildPage(entry);
    path.push_back({std::move(pin), entry});
  }
}

bool TIndexTree::Find(std::span<const std::byte> key) {
  if (Root() == 0) return false;
  bool equal = false;
  (void)Descend(key, 1, equal);
  return equal;
}

void TIndexTree::CheckUnique(std::span<const std::byte> key) {
  if (!Unique() || !Find(key)) return;
  RaiseEngineError(kDuplicateKey, file_.TableName(), {}, {}, Name());
}

std::int32_t TIndexTree::KeyCount() {
  if (Root() == 0) return 0;
  TPagePin root = PinPage(Root());
  return Total(*root);
}

void TIndexTree::PropagateFirstKey(TPath& path, int level) {
  for (int l = level; l > 0; --l) {
    const TPage& child = *path[l].pin;
    if (child.EntryCount() == 0) return;
    TPage& parent = *path[l - 1].pin;
    const int entry = std::max(path[l - 1].entry, 1);
    if (entry > parent.EntryCount()) return;
    if (!SameBytes(parent.Key(entry), child.Key(1))) parent.SetKey(entry, child.Key(1));
    if (entry != 1) return;
  }
}

void TIndexTree::Insert(std::span<const std::byte> key, std::int32_t record_number) {
  assert(key.size() == KeyLength());
  // 1. An empty index gets a root leaf.
  if (Root() == 0) {
    TPagePin page = Allocate();
    page->SetKind(TPageKind::kRootLeaf);
    page->InsertEntry(0, key, record_number);
    file_.SetRootPage(slot_, page->Offset());
    return;
  }
  // 2. Descend with the insertion position; the counts change only once the leaf is reached.
  bool equal = false;
  TPath path = Descend(key, 0, equal);
  const int leaf_level = static_cast<int>(path.size()) - 1;
  for (int l = 0; l < leaf_level; ++l) {
    TPage& node = *path[l].pin;
    node.SetSubtreeCount(path[l].entry, node.SubtreeCount(path[l].entry) + 1);
  }
  // 3. Into the leaf, after the position.
  TPage& leaf = *path[leaf_level].pin;
  const int after = path[leaf_level].entry;
  if (after == leaf.EntryCount() && append_at_end_) {
    leaf.AppendEntry(key, record_number);
  } else {
    leaf.InsertEntry(after, key, record_number);
  }
  path[leaf_level].entry = after + 1;
  // 4. A new first key goes up.
  if (after == 0) PropagateFirstKey(path, leaf_level);
  // 5. Overflow splits.
  if (leaf.Overflows()) SplitPage(path, leaf_level);
}

void TIndexTree::SplitPage(TPath& path, int level) {
  TPage& p = *path[level].pin;
  const bool was_root = p.IsRoot();
  const bool leaf = p.IsLeaf();
  if (!was_root && level == 0) RaiseEngineError(kIndexBuffersCorrupt, file_.TableName());
  const TPageKind kind = leaf ? TPageKind::kLeaf : TPageKind::kNode;
  // 1. Q takes the last n div 2 entries.
  TPagePin q_pin = Allocate();
  TPage& q = *q_pin;
  p.SetKind(kind);
  q.SetKind(kind);
  const int n = p.EntryCount();
  const int moved = n / 2;
  q.InsertEntries(0, p, n - moved + 1, moved);
  p.RemoveEntries(n - moved + 1, moved);
  // 2. Q follows P on its level.
  q.SetPrevPage(p.Offset());
  q.SetNextPage(p.NextPage());
  if (p.NextPage() != 0) {
    TPagePin next = PinPage(p.NextPage());
    next->SetPrevPage(q.Offset());
  }
  p.SetNextPage(q.Offset());
  q.SetParentPage(p.ParentPage());
  // 3. Compressed leaves split by bytes.
  if (p.IsCompressedLeaf()) {
    if (p.StoredSize() > kPageEntryArea) {
      while (p.StoredSize() > kPageEntryArea && p.EntryCount() > 1) {
        q.InsertEntries(0, p, p.EntryCount(), 1);
        p.RemoveEntry(p.EntryCount());
      }
    } else {
      while (q.StoredSize() > kPageEntryArea && q.EntryCount() > 1) {
        p.InsertEntries(p.EntryCount(), q, 1, 1);
        q.RemoveEntry(1);
      }
    }
    if (p.Overflows() || q.Overflows()) RaiseEngineError(kIndexBuffersCorrupt, file_.TableName());
  }
  // 4. A split root gets a new root above the two halves.
  if (was_root) {
    TPagePin root = Allocate();
    root->SetKind(TPageKind::kRootNode);
    root->InsertEntry(0, p.Key(1), p.Offset(), Total(p));
    root->InsertEntry(1, q.Key(1), q.Offset(), Total(q));
    p.SetParentPage(root->Offset());
    q.SetParentPage(root->Offset());
    file_.SetRootPage(slot_, root->Offset());
    return;
  }
  // 5. Otherwise the parent's entry for P gets its count and Q's entry follows it.
  TPage& parent = *path[level - 1].pin;
  const int entry = path[level - 1].entry;
  parent.SetSubtreeCount(entry, Total(p));
  parent.InsertEntry(entry, q.Key(1), q.Offset(), Total(q));
  if (parent.Overflows()) SplitPage(path, level - 1);
}

void TIndexTree::Remove(std::span<const std::byte> key) {
  // The key must be there: checked before any page changes, so that a failed removal leaves the
  // tree as it was.
  if (Root() == 0) RaiseEngineError(kIndexBuffersCorrupt, file_.TableName());
  bool equal = false;
  TPath path = Descend(key, 1, equal);
  if (!equal) RaiseEngineError(kIndexBuffersCorrupt, file_.TableName());
  const int leaf_level = static_cast<int>(path.size()) - 1;
  for (int l = 0; l < leaf_level; ++l) {
    TPage& node = *path[l].pin;
    node.SetSubtreeCount(path[l].entry, node.SubtreeCount(path[l].entry) - 1);
  }
  RemoveEntryAt(path, leaf_level, path[leaf_level].entry);
}

void TIndexTree::Replace(std::span<const std::byte> old_key, std::span<const std::byte> new_key,
                         std::int32_t record_number) {
  Remove(old_key);
  Insert(new_key, record_number);
}

void TIndexTree::UnlinkFromLevel(TPage& page) {
  const std::int32_t prev = page.PrevPage();
  const std::int32_t next = page.NextPage();
  if (prev != 0) {
    TPagePin left = PinPage(prev);
    left->SetNextPage(next);
  }
  if (next != 0) {
    TPagePin right = PinPage(next);
    right->SetPrevPage(prev);
  }
  page.SetPrevPage(0);
  page.SetNextPage(0);
  page.SetParentPage(0);
}

void TIndexTree::RemoveEntryAt(TPath& path, int level, int pos) {
  // 2. Remove the entry; a new first key goes up.
  TPage& p = *path[level].pin;
  p.RemoveEntry(pos);
  path[level].entry = std::min(pos, p.EntryCount());
  if (p.EntryCount() > 0 && pos == 1) PropagateFirstKey(path, level);
  // 3. A compressed leaf is only taken out once it is empty.
  if (p.IsCompressedLeaf()) {
    if (p.EntryCount() > 0) return;
    if (level == 0) {
      file_.FreePage(p);
      file_.SetRootPage(slot_, 0);
      return;
    }
    UnlinkFromLevel(p);
    file_.FreePage(p);
    RemoveEntryAt(path, level - 1, path[level - 1].entry);
    return;
  }
  Rebalance(path, level);
}

void TIndexTree::Rebalance(TPath& path, int level) {
  TPage& p = *path[level].pin;
  const std::string& table = file_.TableName();
  // 5. The root: an empty root leaf empties the index; a root node with a single entry hands
  // the root to its child. A root with more entries stays, however few.
  if (level == 0) {
    if (p.EntryCount() == 0) {
      file_.FreePage(p);
      file_.SetRootPage(slot_, 0);
    } else if (p.IsNode() && p.EntryCount() == 1) {
      TPagePin child = PinPage(p.ChildPage(1));
      file_.FreePage(p);
      child->SetKind(child->IsLeaf() ? TPageKind::kRootLeaf : TPageKind::kRootNode);
      child->SetParentPage(0);
      child->SetPrevPage(0);
      child->SetNextPage(0);
      file_.SetRootPage(slot_, child->Offset());
    }
    return;
  }
  // 4. Merge with or take entries from a neighbour under the same parent.
  if (!p.Underflows()) return;
  TPage& e = *path[level - 1].pin;
  const int pos = path[level - 1].entry;
  if (e.EntryCount() < 2) {
    // No neighbour under this parent. An empty page leaves the tree the way an empty compressed
    // leaf does; any other page stays as it is rather than touch another parent's entries.
    if (p.EntryCount() == 0) {
      UnlinkFromLevel(p);
      file_.FreePage(p);
      RemoveEntryAt(path, level - 1, pos);
    }
    return;
  }
  const int capacity = p.Capacity();
  if (pos == e.EntryCount() || pos != 1) {
    // The left neighbour.
    if (pos < 2 || p.PrevPage() == 0 || p.PrevPage() != e.ChildPage(pos - 1))
      RaiseEngineError(kIndexBuffersCorrupt, table);
    TPagePin l_pin = PinPage(p.PrevPage());
    TPage& l = *l_pin;
    if (l.EntryCount() + p.EntryCount() < capacity) {
      l.InsertEntries(l.EntryCount(), p, 1, p.EntryCount());
      l.SetNextPage(p.NextPage());
      if (p.NextPage() != 0) {
        TPagePin next = PinPage(p.NextPage());
        next->SetPrevPage(l.Offset());
      }
      p.ClearEntries();
      p.SetPrevPage(0);
      p.SetParentPage(0);
      file_.FreePage(p);
      e.SetSubtreeCount(pos - 1, Total(l));
      RemoveEntryAt(path, level - 1, pos);
      return;
    }
    const int t = l.EntryCount() + p.EntryCount();
    const int keep = t - t / 2;
    if (l.EntryCount() > keep) {
      const int k = l.EntryCount() - keep;
      p.InsertEntries(0, l, keep + 1, k);
      l.RemoveEntries(keep + 1, k);
    } else if (l.EntryCount() < keep) {
      const int k = keep - l.EntryCount();
      l.InsertEntries(l.EntryCount(), p, 1, k);
      p.RemoveEntries(1, k);
    }
    e.SetKey(pos, p.Key(1));
    e.SetSubtreeCount(pos, Total(p));
    e.SetSubtreeCount(pos - 1, Total(l));
    return;
  }
  // The right neighbour (P is the parent's first entry and not its last).
  if (p.NextPage() == 0 || p.NextPage() != e.ChildPage(2)) RaiseEngineError(kIndexBuffersCorrupt, table);
  TPagePin r_pin = PinPage(p.NextPage());
  TPage& r = *r_pin;
  if (p.EntryCount() + r.EntryCount() < capacity) {
    r.InsertEntries(0, p, 1, p.EntryCount());
    r.SetPrevPage(p.PrevPage());
    if (p.PrevPage() != 0) {
      TPagePin prev = PinPage(p.PrevPage());
      prev->SetNextPage(r.Offset());
    }
    p.ClearEntries();
    p.SetNextPage(0);
    p.SetPrevPage(0);
    p.SetParentPage(0);
    file_.FreePage(p);
    e.SetKey(2, r.Key(1));
    e.SetSubtreeCount(2, Total(r));
    RemoveEntryAt(path, level - 1, 1);
    return;
  }
  const int t = p.EntryCount() + r.EntryCount();
  const int keep = t / 2;
  if (p.EntryCount() > keep) {
    const int k = p.EntryCount() - keep;
    r.InsertEntries(0, p, keep + 1, k);
    p.RemoveEntries(keep + 1, k);
  } else if (p.EntryCount() < keep) {
    const int k = keep - p.EntryCount();
    p.InsertEntries(p.EntryCount(), r, 1, k);
    r.RemoveEntries(1, k);
  }
  e.SetSubtreeCount(1, Total(p));
  e.SetSubtreeCount(2, Total(r));
  e.SetKey(2, r.Key(1));
  // An empty P took R's first entries: its own first key changed too.
  path[level - 1].entry = 1;
  PropagateFirstKey(path, level);
}

// --- TIndexPosition ---

TIndexPosition::TIndexPosition(TIndexTree& tree) : tree_(tree) {}

void TIndexPosition::Take(const TPage& page, int entry) {
  page_ = page.Offset();
  entry_ = entry;
  off_ = 0;
  const auto key = page.Key(entry);
  key_.assign(key.begin(), key.end());
  record_ = page.RecordNumber(entry);
}

void TIndexPosition::SetOff(int side) {
  page_ = 0;
  entry_ = 0;
  off_ = side;
  key_.clear();
  record_ = 0;
}

template <typename TVisit>
bool TIndexPosition::WalkLevel(std::int32_t offset, int entry, bool forward, TVisit&& visit) const {
  for (int guard = 0; offset != 0; ++guard) {
    TPagePin page = tree_.PinPage(offset);
    if (!forward && (entry < 0 || entry > page->EntryCount())) entry = page->EntryCount();
    for (; entry >= 1 && entry <= page->EntryCount(); entry += forward ? 1 : -1) {
      if (!visit(*page, entry)) return false;
    }
    offset = forward ? page->NextPage() : page->PrevPage();
    entry = forward ? 1 : -1;
    if (guard > (1 << 24)) RaiseEngineError(kIndexBuffersCorrupt, tree_.File().TableName());
  }
  return true;
}

bool TIndexPosition::Settle(std::int32_t offset, int entry, bool forward) {
  const auto take = [&](const TPage& page, int at) {
    Take(page, at);
    return false;
  };
  if (!WalkLevel(offset, entry, forward, take)) return true;
  SetOff(forward ? +1 : -1);
  return false;
}

bool TIndexPosition::First() {
  std::int32_t offset = tree_.Root();
  for (int depth = 0; offset != 0 && depth < TIndexTree::kMaxDepth; ++depth) {
    TPagePin page = tree_.PinPage(offset);
    if (page->IsLeaf()) return Settle(offset, 1, true);
    if (page->EntryCount() == 0) break;
    offset = page->ChildPage(1);
  }
  SetOff(+1);
  return false;
}

bool TIndexPosition::Last() {
  std::int32_t offset = tree_.Root();
  for (int depth = 0; offset != 0 && depth < TIndexTree::kMaxDepth; ++depth) {
    TPagePin page = tree_.PinPage(offset);
    if (page->IsLeaf()) return Settle(offset, -1, false);
    if (page->EntryCount() == 0) break;
    offset = page->ChildPage(page->EntryCount());
  }
  SetOff(-1);
  return false;
}

bool TIndexPosition::Next() {
  if (off_ < 0) return First();
  if (!Valid()) return false;
  return Settle(page_, entry_ + 1, true);
}

bool TIndexPosition::Prior() {
  if (off_ > 0) return Last();
  if (!Valid()) return false;
  return Settle(page_, entry_ - 1, false);
}

bool TIndexPosition::Seek(std::span<const std::byte> key, TBound bound) {
  // Nodes: the last child whose first key is below the key (lower bound) or not above it
  // (upper bound), else the first child. Leaf: the first entry not below, or the last entry
  // not above, the key; the level links carry the search on to a neighbour.
  const auto count_before = [&](const TPage& page) {
    int low = 0;  // entries 1..low satisfy the bound's "before" test
    int high = page.EntryCount();
    while (low < high) {
      const int middle = (low + high + 1) / 2;
      const int c = tree_.CompareKeys(page.Key(middle), key, key.size());
      const bool before = bound == TBound::kLower ? c < 0 : c <= 0;
      if (before) {
        low = middle;
      } else {
        high = middle - 1;
      }
    }
    return low;
  };
  std::int32_t offset = tree_.Root();
  for (int depth = 0; offset != 0 && depth < TIndexTree::kMaxDepth; ++depth) {
    TPagePin page = tree_.PinPage(offset);
    const int before = count_before(*page);
    if (page->IsLeaf()) {
      if (bound == TBound::kLower) return Settle(offset, before + 1, true);
      return Settle(offset, before, false);
    }
    if (page->EntryCount() == 0) break;
    offset = page->ChildPage(std::max(before, 1));
  }
  SetOff(bound == TBound::kLower ? +1 : -1);
  return false;
}

bool TIndexPosition::SeekExact(std::span<const std::byte> key) {
  return Seek(key, TBound::kLower) && KeyMatches(key);
}

bool TIndexPosition::KeyMatches(std::span<const std::byte> key) const {
  return Valid() && tree_.CompareKeys(key_, key, key.size()) == 0;
}

std::int32_t TIndexPosition::RecordNumber() const {
  return record_;
}

void TIndexPosition::TakeRecordNumbers(std::vector<std::int32_t>& out, std::size_t most) {
  const auto take = [&](const TPage& page, int entry) {
    if (out.size() < most) {
      out.push_back(page.RecordNumber(entry));
      return true;
    }
    Take(page, entry);
    return false;
  };
  if (WalkLevel(page_, entry_, true, take)) SetOff(+1);
}

std::int32_t TIndexPosition::SlotRunAhead(bool forward, std::int32_t limit, std::int32_t gap) const {
  std::int32_t run = 1;
  std::int32_t last = record_;
  (void)WalkLevel(page_, forward ? entry_ + 1 : entry_ - 1, forward, [&](const TPage& page, int entry) {
    return ExtendReadRun(run, last, page.RecordNumber(entry), forward, gap, limit);
  });
  return run;
}

void TIndexPosition::RecordsAhead(bool forward, std::size_t most, std::vector<std::int32_t>& out) const {
  if (out.size() >= most) return;
  (void)WalkLevel(page_, forward ? entry_ + 1 : entry_ - 1, forward, [&](const TPage& page, int entry) {
    out.push_back(page.RecordNumber(entry));
    return out.size() < most;
  });
}

TKey TIndexPosition::Key() const {
  return key_;
}

std::int32_t TIndexPosition::Ordinal() {
  if (!Valid()) return 0;
  // 1 + (position in the leaf - 1) + the counts of the entries before each entry descended through.
  std::int32_t before = 0;
  std::int32_t offset = tree_.Root();
  for (int depth = 0; offset != 0 && depth < TIndexTree::kMaxDepth; ++depth) {
    TPagePin page = tree_.PinPage(offset);
    bool equal = false;
    const int position = tree_.SearchPage(*page, key_, 1, equal);
    if (page->IsLeaf()) return equal ? before + position : 0;
    for (int i = 1; i < position; ++i) before += page->SubtreeCount(i);
    offset = page->ChildPage(position);
  }
  return 0;
}

bool TIndexPosition::SeekOrdinal(std::int32_t ordinal) {
  if (ordinal < 1 || ordinal > tree_.KeyCount()) return false;
  std::int32_t rest = ordinal;
  std::int32_t offset = tree_.Root();
  for (int depth = 0; offset != 0 && depth < TIndexTree::kMaxDepth; ++depth) {
    TPagePin page = tree_.PinPage(offset);
    if (page->IsLeaf()) {
      if (rest > page->EntryCount()) break;
      Take(*page, rest);
      return true;
    }
    int entry = 1;
    while (entry < page->EntryCount() && rest > page->SubtreeCount(entry))
      rest -= page->SubtreeCount(entry++);
    if (rest > page->SubtreeCount(entry)) break;
    offset = page->ChildPage(entry);
  }
  RaiseEngineError(kIndexBuffersCorrupt, tree_.File().TableName());
}

}  // namespace tarvo

#include "engine/index/tree_check.h"

#include <algorithm>
#include <utility>

#include "errors/engine_error.h"

namespace tarvo {

namespace {

// Deeper than any tree of 2,000,000,000 bytes of pages can be: a walk this deep runs in a cycle.
constexpr int kMaxDepth = 40;
// Findings kept per tree: a page of garbage gives one, a tree of garbage no more than these.
constexpr std::size_t kMaxFaults = 20;

std::string PageText(std::int32_t offset) {
  return "page " + std::to_string(offset);
}

bool SameBytes(std::span<const std::byte> a, std::span<const std::byte> b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

}  // namespace

TPageSet::TPageSet(std::int32_t next_page) : next_page_(next_page) {
  met_.resize(next_page > kIndexPageSize ? static_cast<std::size_t>(next_page / kIndexPageSize) : 0);
}

bool TPageSet::IsPage(std::int32_t offset) const {
  return offset >= kIndexPageSize && offset % kIndexPageSize == 0 && offset < next_page_ &&
         static_cast<std::size_t>(offset / kIndexPageSize) < met_.size();
}

bool TPageSet::Insert(std::int32_t offset) {
  const auto i = static_cast<std::size_t>(offset / kIndexPageSize);
  if (met_[i]) return false;
  met_[i] = true;
  return true;
}

TTreeCheck::TTreeCheck(TIndexTree& tree, TPageSet& pages)
    : tree_(tree), file_(tree.File()), pages_met_(pages) {}

TTreeCheck::~TTreeCheck() = default;

void TTreeCheck::TreeFault(std::string text) {
  if (tree_faults_.size() < kMaxFaults) {
    tree_faults_.push_back(std::move(text));
  } else {
    ++dropped_;
  }
}

void TTreeCheck::Visit(std::int32_t offset, int depth, const TChild* child) {
  const std::string where = PageText(offset);
  if (!pages_met_.IsPage(offset)) {
    TreeFault(where + " lies outside the page area");
    return;
  }
  if (!pages_met_.Insert(offset)) {
    TreeFault(where + " is met a second time");
    return;
  }
  if (depth >= kMaxDepth) {
    TreeFault(where + " lies below level " + std::to_string(kMaxDepth));
    return;
  }
  TPagePin pin;
  try {
    pin = tree_.PinPage(offset);
  } catch (const ETarvoEngineError& e) {
    if (EngineCode(e) != kIndexBuffersCorrupt) throw;
    TreeFault(where + " cannot be read as a page of this index");
    return;
  }
  ++pages_;
  const TPage& page = *pin;
  if (page.Free()) TreeFault(where + " is free");
  if (!page.PageIsConsistent()) TreeFault(where + " is not consistent in memory");
  const TPageKind kind = page.Kind();
  const bool kind_ok = depth == 0 ? kind == TPageKind::kRootNode || kind == TPageKind::kRootLeaf
                                  : kind == TPageKind::kNode || kind == TPageKind::kLeaf;
  if (!kind_ok)
    TreeFault(where + " is of kind " + std::to_string(int(kind)) + " on level " + std::to_string(depth));
  CheckLevelLink(page, depth);
  const int count = page.EntryCount();
  if (count == 0) {
    TreeFault(where + " has no entries");
    if (page.IsLeaf() && child != nullptr && child->count != 0)
      TreeFault(where + " holds 0 entries, its entry above counts " + std::to_string(child->count));
    return;
  }
  if (page.IsCompressedLeaf() ? page.StoredSize() > kPageEntryArea : count > page.Capacity())
    TreeFault(where + " holds more than a page can");
  if (child != nullptr && !SameBytes(page.Key(1), child->key))
    TreeFault(where + ": its first key differs from its entry above");
  if (page.IsLeaf()) {
    if (leaf_depth_ < 0) leaf_depth_ = depth;
    if (leaf_depth_ != depth)
      TreeFault(where + " is a leaf on level " + std::to_string(depth) + ", others on " +
                std::to_string(leaf_depth_));
    if (child != nullptr && child->count != count)
      TreeFault(where + " holds " + std::to_string(count) + " entries, its entry above counts " +
                std::to_string(child->count));
    if (!stack_.empty()) stack_.back().total += count;
    leaf_ = std::move(pin);
    leaf_entry_ = 0;
    return;
  }
  TFrame frame;
  frame.offset = offset;
  frame.depth = depth;
  frame.expected = child != nullptr ? child->count : -1;
  frame.children.reserve(static_cast<std::size_t>(count));
  for (int i = 1; i <= count; ++i) {
    if (i > 1 && tree_.CompareKeys(page.Key(i - 1), page.Key(i)) >= 0)
      TreeFault(where + ": entry " + std::to_string(i) + " is not above the entry before it");
    const auto key = page.Key(i);
    frame.children.push_back(
        {std::vector<std::byte>(key.begin(), key.end()), page.ChildPage(i), page.SubtreeCount(i)});
  }
  pin.Release();
  stack_.push_back(std::move(frame));
}

void TTreeCheck::CheckLevelLink(const TPage& page, int depth) {
  if (levels_.size() <= static_cast<std::size_t>(depth)) levels_.resize(static_cast<std::size_t>(depth) + 1);
  TLevel& level = levels_[static_cast<std::size_t>(depth)];
  if (page.PrevPage() != level.offset)
    TreeFault(PageText(page.Offset()) + ": previous page " + std::to_string(page.PrevPage()) + ", expected " +
              std::to_string(level.offset));
  if (level.offset != 0 && level.next != page.Offset())
    TreeFault(PageText(level.offset) + ": next page " + std::to_string(level.next) + ", expected " +
              std::to_string(page.Offset()));
  level = {page.Offset(), page.NextPage()};
}

void TTreeCheck::Pop() {
  const TFrame& frame = stack_.back();
  if (frame.expected >= 0 && frame.total != frame.expected)
    TreeFault(PageText(frame.offset) + " has " + std::to_string(frame.total) +
              " entries below it, its entry above counts " + std::to_string(frame.expected));
  const std::int64_t total = frame.total;
  stack_.pop_back();
  if (!stack_.empty()) stack_.back().total += total;
}

bool TTreeCheck::Next(std::span<const std::byte>& key, std::int32_t& record) {
  if (!started_) {
    started_ = true;
    if (tree_.Root() != 0) Visit(tree_.Root(), 0, nullptr);
  }
  for (;;) {
    if (leaf_) {
      if (leaf_entry_ < leaf_->EntryCount()) {
        ++leaf_entry_;
        const auto k = leaf_->Key(leaf_entry_);
        if (has_last_ && tree_.CompareKeys(last_key_, k) >= 0)
          TreeFault(PageText(leaf_->Offset()) + ": entry " + std::to_string(leaf_entry_) +
                    " is not above the entry before it");
        last_key_.assign(k.begin(), k.end());
        has_last_ = true;
        key = last_key_;
        record = leaf_->RecordNumber(leaf_entry_);
        ++entries_;
        return true;
      }
      leaf_.Release();
    }
    if (stack_.empty()) return false;
    TFrame& top = stack_.back();
    if (top.next == top.children.size()) {
      Pop();
      continue;
    }
    const TChild child = std::move(top.children[top.next++]);
    Visit(child.page, top.depth + 1, &child);
  }
}

void TTreeCheck::Finish() {
  std::span<const std::byte> key;
  std::int32_t record = 0;
  while (Next(key, record)) {
  }
  if (finished_) return;
  finished_ = true;
  for (const TLevel& level : levels_) {
    if (level.offset != 0 && level.next != 0)
      TreeFault(PageText(level.offset) + " ends its level but names " + std::to_string(level.next) +
                " as next");
  }
  CheckFreeChain();
  if (dropped_ > 0) tree_faults_.push_back(std::to_string(dropped_) + " more findings");
}

void TTreeCheck::CheckFreeChain() {
  const int slot = tree_.Slot();
  for (std::int32_t offset = file_.Header().slots[static_cast<std::size_t>(slot)].free_head; offset != 0;) {
    const std::string where = "free " + PageText(offset);
    if (!pages_met_.IsPage(offset)) {
      free_faults_.push_back(where + " lies outside the page area");
      return;
    }
    if (!pages_met_.Insert(offset)) {
      free_faults_.push_back(where + " is met a second time (in a tree or on a free chain)");
      return;
    }
    TPagePin pin;
    try {
      pin = file_.GetPage(slot, offset, true);
    } catch (const ETarvoEngineError& e) {
      if (EngineCode(e) != kIndexBuffersCorrupt) throw;
      free_faults_.push_back(where + " cannot be read");
      return;
    }
    if (!pin) throw EIndexChanged();
    ++free_pages_;
    offset = pin->NextPage();
  }
}

}  // namespace tarvo

#include "engine/index/tree_builder.h"

#include <cassert>
#include <utility>

#include "errors/engine_error.h"

namespace tarvo {

TIndexTreeBuilder::TIndexTreeBuilder(TIndexTree& tree) : tree_(tree), file_(tree.File()) {
  assert(tree.Root() == 0);
}

TPagePin TIndexTreeBuilder::NewPage(std::size_t level) {
  TPagePin pin = file_.AllocatePage(tree_.Slot());
  if (!pin) throw EIndexChanged();
  if (level > 0) pin->SetKind(TPageKind::kNode);
  return pin;
}

void TIndexTreeBuilder::Add(std::span<const std::byte> key, std::int32_t record) {
  assert(!finished_);
  Push(0, key, record, 0);
  ++keys_;
}

void TIndexTreeBuilder::Push(std::size_t level, std::span<const std::byte> key, std::int32_t value,
                             std::int32_t subtree) {
  if (levels_.size() <= level) levels_.emplace_back();
  TLevel& here = levels_[level];
  if (!here.current) {
    here.current = NewPage(level);
  } else if (!here.current->FitsInsert(here.current->EntryCount(), key)) {
    TPagePin next = NewPage(level);
    here.current->SetNextPage(next->Offset());
    next->SetPrevPage(here.current->Offset());
    if (here.pending) HandUp(level, std::move(here.pending));
    here.pending = std::move(here.current);
    here.current = std::move(next);
  }
  here.current->AppendEntry(key, value, subtree);
}

void TIndexTreeBuilder::HandUp(std::size_t level, TPagePin page) {
  const auto total = static_cast<std::int32_t>(page->SubtreeTotal());
  const std::int32_t offset = page->Offset();
  // The key is copied: the page may be written and reused before the parent takes it.
  std::vector<std::byte>& handed = levels_[level].handed;
  const std::span<const std::byte> first = page->Key(1);
  handed.assign(first.begin(), first.end());
  page.Release();
  Push(level + 1, handed, offset, total);
}

void TIndexTreeBuilder::Share(TPage& left, TPage& right) {
  const int total = left.EntryCount() + right.EntryCount();
  const int move = total / 2 - right.EntryCount();
  if (move <= 0) return;
  right.InsertEntries(0, left, left.EntryCount() - move + 1, move);
  left.RemoveEntries(left.EntryCount() - move + 1, move);
}

void TIndexTreeBuilder::Finish() {
  if (finished_) return;
  finished_ = true;
  for (std::size_t level = 0; level < levels_.size(); ++level) {
    TLevel& here = levels_[level];
    if (!here.pending) {
      // One page on the top level: the root.
      assert(level + 1 == levels_.size());
      TPage& root = *here.current;
      root.SetKind(root.IsLeaf() ? TPageKind::kRootLeaf : TPageKind::kRootNode);
      file_.SetRootPage(tree_.Slot(), root.Offset());
      here.current.Release();
      break;
    }
    if (here.current->Underflows()) Share(*here.pending, *here.current);
    HandUp(level, std::move(here.pending));
    HandUp(level, std::move(here.current));
  }
  levels_.clear();
}

}  // namespace tarvo

#include "tests/testing/tree_checker.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "engine/format/encipher.h"
#include "engine/format/record_layout.h"
#include "engine/index/index_file.h"
#include "engine/tables/data_table.h"

namespace tarvo::testing {

namespace {

std::string PageText(std::int32_t offset) {
  return "page " + std::to_string(offset);
}

class TTreeWalk {
 public:
  TTreeWalk(TIndexTree& tree, TTreeReport& report) : tree_(tree), report_(report) {}

  void Run() {
    const std::int32_t root = tree_.Root();
    if (root != 0) {
      Visit(root, 0, nullptr);
      report_.depth = static_cast<int>(levels_.size());
      CheckLevels();
      CheckLeafOrder();
    }
    CheckFreeChain();
  }

 private:
  void Error(const std::string& text) { report_.errors.push_back(text); }

  // Returns the subtree total; `first_key` receives the page's first key.
  std::int64_t Visit(std::int32_t offset, int depth, TKey* first_key) {
    if (!seen_.insert(offset).second) {
      Error(PageText(offset) + " reached twice");
      return 0;
    }
    if (depth > 40) {
      Error(PageText(offset) + " below level 40");
      return 0;
    }
    ++report_.pages;
    TPagePin pin = tree_.PinPage(offset);
    const TPage& page = *pin;
    if (static_cast<int>(levels_.size()) <= depth) levels_.resize(depth + 1);
    levels_[depth].push_back({offset, page.PrevPage(), page.NextPage()});
    const std::string where = PageText(offset);
    if (page.Free()) Error(where + " is free but in the tree");
    const TPageKind kind = page.Kind();
    if (depth == 0 && kind != TPageKind::kRootNode && kind != TPageKind::kRootLeaf)
      Error(where + ": root of kind " + std::to_string(int(kind)));
    if (depth > 0 && kind != TPageKind::kNode && kind != TPageKind::kLeaf)
      Error(where + ": kind " + std::to_string(int(kind)) + " below the root");
    if (page.EntryCount() == 0) Error(where + " has no entries");
    if (page.IsCompressedLeaf()) {
      if (page.StoredSize() > kPageEntryArea)
        Error(where + " needs " + std::to_string(page.StoredSize()) + " bytes");
    } else if (page.EntryCount() > page.Capacity()) {
      Error(where + " holds " + std::to_string(page.EntryCount()) + " entries, capacity " +
            std::to_string(page.Capacity()));
    }
    if (!page.PageIsConsistent()) Error(where + " is not consistent in memory");
    for (int i = 2; i <= page.EntryCount(); ++i) {
      if (tree_.CompareKeys(page.Key(i - 1), page.Key(i)) >= 0)
        Error(where + ": entry " + std::to_string(i) + " not above its predecessor");
    }
    if (first_key != nullptr && page.EntryCount() > 0) {
      const auto k = page.Key(1);
      first_key->assign(k.begin(), k.end());
    }
    if (page.IsLeaf()) {
      if (leaf_depth_ < 0) leaf_depth_ = depth;
      if (leaf_depth_ != depth)
        Error(where + ": leaf at level " + std::to_string(depth) + ", others at " +
              std::to_string(leaf_depth_));
      for (int i = 1; i <= page.EntryCount(); ++i) {
        const auto k = page.Key(i);
        report_.entries.push_back({TKey(k.begin(), k.end()), page.RecordNumber(i)});
      }
      return page.EntryCount();
    }
    // A node: copy what the children are checked against, then release the pin before descending.
    struct TChildRef {
      TKey key;
      std::int32_t child;
      std::int32_t count;
    };
    std::vector<TChildRef> children;
    for (int i = 1; i <= page.EntryCount(); ++i) {
      const auto k = page.Key(i);
      children.push_back({TKey(k.begin(), k.end()), page.ChildPage(i), page.SubtreeCount(i)});
    }
    pin.Release();
    std::int64_t total = 0;
    for (std::size_t i = 0; i < children.size(); ++i) {
      TKey child_first;
      const std::int64_t child_total = Visit(children[i].child, depth + 1, &child_first);
      total += child_total;
      if (child_total != children[i].count) {
        Error(where + ": entry " + std::to_string(i + 1) + " counts " + std::to_string(children[i].count) +
              ", child " + PageText(children[i].child) + " holds " + std::to_string(child_total));
      }
      if (child_first != children[i].key) {
        Error(where + ": entry " + std::to_string(i + 1) + " key " + KeyText(children[i].key) +
              " differs from the first key " + KeyText(child_first) + " of " + PageText(children[i].child));
      }
    }
    return total;
  }

  void CheckLevels() {
    for (std::size_t depth = 0; depth < levels_.size(); ++depth) {
      const auto& level = levels_[depth];
      for (std::size_t i = 0; i < level.size(); ++i) {
        const std::int32_t want_prev = i == 0 ? 0 : level[i - 1].offset;
        const std::int32_t want_next = i + 1 == level.size() ? 0 : level[i + 1].offset;
        if (level[i].prev != want_prev)
          Error(PageText(level[i].offset) + ": previous " + std::to_string(level[i].prev) + ", expected " +
                std::to_string(want_prev));
        if (level[i].next != want_next)
          Error(PageText(level[i].offset) + ": next " + std::to_string(level[i].next) + ", expected " +
                std::to_string(want_next));
      }
    }
  }

  void CheckLeafOrder() {
    const auto& entries = report_.entries;
    for (std::size_t i = 1; i < entries.size(); ++i) {
      if (tree_.CompareKeys(entries[i - 1].key, entries[i].key) >= 0) {
        Error("leaf level: key " + std::to_string(i + 1) + " " + KeyText(entries[i].key) + " not above " +
              KeyText(entries[i - 1].key));
      }
    }
  }

  void CheckFreeChain() {
    TIndexFile& file = tree_.File();
    std::set<std::int32_t> chain;
    for (std::int32_t offset = file.Header().slots[tree_.Slot()].free_head; offset != 0;) {
      if (seen_.count(offset) != 0) {
        Error("free " + PageText(offset) + " is in the tree");
        return;
      }
      if (!chain.insert(offset).second) {
        Error("free chain loops at " + PageText(offset));
        return;
      }
      ++report_.free_pages;
      TPagePin pin = file.GetPage(tree_.Slot(), offset, true);
      offset = pin->NextPage();
    }
  }

  struct TLevelPage {
    std::int32_t offset;
    std::int32_t prev;
    std::int32_t next;
  };

  TIndexTree& tree_;
  TTreeReport& report_;
  std::set<std::int32_t> seen_;
  std::vector<std::vector<TLevelPage>> levels_;
  int leaf_depth_ = -1;
};

struct TTableTree {
  explicit TTableTree(TDataTable& table, int slot)
      : tree(table.IndexFile(), slot, table.DataFile().Descriptors(), table.DataFile().LanguageID(),
             table.DataFile().SortID()) {}
  TIndexTree tree;
};

std::string IndexLabel(TDataTable& table, int slot) {
  const std::string& name = table.IndexFile().Header().slots[slot].name;
  return "index " + std::to_string(slot) + (name.empty() ? std::string() : " '" + name + "'");
}

// (key, record) pairs in index order as the records give them.
std::vector<TLeafEntry> ExpectedEntries(TIndexTree& tree, TDataTable& table, const TRecordReader& read,
                                        bool deleted_too) {
  std::vector<TLeafEntry> expected;
  const std::int32_t slots = table.DataFile().RecordSlotCount();
  for (std::int32_t slot = 1; slot <= slots; ++slot) {
    const std::vector<std::byte> record = read(slot);
    if (!deleted_too && IsRecordDeleted(record)) continue;
    expected.push_back({tree.BuildKey(record), slot});
  }
  std::stable_sort(expected.begin(), expected.end(), [&](const TLeafEntry& a, const TLeafEntry& b) {
    return tree.CompareKeys(a.key, b.key) < 0;
  });
  return expected;
}

std::vector<std::string> CompareEntries(const std::string& label, const std::vector<TLeafEntry>& found,
                                        const std::vector<TLeafEntry>& expected) {
  std::vector<std::string> errors;
  if (found.size() != expected.size()) {
    errors.push_back(label + ": " + std::to_string(found.size()) + " keys, expected " +
                     std::to_string(expected.size()));
  }
  const std::size_t n = std::min(found.size(), expected.size());
  for (std::size_t i = 0; i < n && errors.size() < 10; ++i) {
    if (found[i] == expected[i]) continue;
    errors.push_back(label + ": entry " + std::to_string(i + 1) + " is " + KeyText(found[i].key) + " -> " +
                     std::to_string(found[i].record) + ", expected " + KeyText(expected[i].key) + " -> " +
                     std::to_string(expected[i].record));
  }
  return errors;
}

}  // namespace

std::string TTreeReport::Text() const {
  std::string text;
  for (const std::string& e : errors) text += e + "\n";
  return text;
}

std::string KeyText(std::span<const std::byte> key) {
  std::string text;
  char buffer[4];
  for (std::byte b : key) {
    std::snprintf(buffer, sizeof buffer, "%02x", static_cast<unsigned>(b));
    text += buffer;
  }
  return text;
}

TTreeReport CheckIndexTree(TIndexTree& tree) {
  TTreeReport report;
  TTreeWalk(tree, report).Run();
  return report;
}

TRecordReader FileRecordReader(TDataTable& table) {
  return [&table](std::int32_t slot) {
    TDataFile& data = table.DataFile();
    std::vector<std::byte> record(data.RecordSize());
    (void)data.ReadAt(data.RecordAreaOffset() + std::int64_t{slot - 1} * data.RecordSize(), record, false);
    if (data.Encrypted()) Encipher(record, kRecordKey);
    return record;
  };
}

std::vector<int> IndexSlots(TDataTable& table, bool with_sys_deleted) {
  const TIndexFile& file = table.IndexFile();
  std::vector<int> slots;
  if (!file.NoPrimaryIndex()) slots.push_back(kPrimarySlot);
  for (int slot = 1; slot <= file.SecondaryIndexCount(); ++slot) slots.push_back(slot);
  if (with_sys_deleted) slots.push_back(kSysDeletedSlot);
  return slots;
}

std::vector<std::string> CheckAllIndexTrees(TDataTable& table) {
  std::vector<std::string> errors;
  for (int slot : IndexSlots(table, true)) {
    TTableTree t(table, slot);
    const TTreeReport report = CheckIndexTree(t.tree);
    for (const std::string& e : report.errors) errors.push_back(IndexLabel(table, slot) + ": " + e);
  }
  return errors;
}

std::vector<std::string> CheckOneKeyPerRecord(TDataTable& table, const TRecordReader& read) {
  std::vector<std::string> errors;
  for (int slot : IndexSlots(table, false)) {
    TTableTree t(table, slot);
    const TTreeReport report = CheckIndexTree(t.tree);
    const auto found =
        CompareEntries(IndexLabel(table, slot), report.entries, ExpectedEntries(t.tree, table, read, false));
    errors.insert(errors.end(), found.begin(), found.end());
  }
  return errors;
}

std::vector<std::string> CheckSysDeletedKeys(TDataTable& table, const TRecordReader& read) {
  TTableTree t(table, kSysDeletedSlot);
  const TTreeReport report = CheckIndexTree(t.tree);
  return CompareEntries(IndexLabel(table, kSysDeletedSlot), report.entries,
                        ExpectedEntries(t.tree, table, read, true));
}

std::vector<std::string> CheckActiveRecordCount(TDataTable& table, const TRecordReader& read) {
  std::int32_t in_use = 0;
  const std::int32_t slots = table.DataFile().RecordSlotCount();
  for (std::int32_t slot = 1; slot <= slots; ++slot) {
    if (!IsRecordDeleted(read(slot))) ++in_use;
  }
  const std::int32_t counted = table.IndexFile().ActiveRecordCount();
  if (counted == in_use) return {};
  return {"active record count " + std::to_string(counted) + ", records in use " + std::to_string(in_use)};
}

}  // namespace tarvo::testing

#include "tests/testing/tree_checker.h"

#include <algorithm>
#include <cstdio>

#include "engine/format/encipher.h"
#include "engine/format/record_layout.h"
#include "engine/index/index_file.h"
#include "engine/index/tree_check.h"
#include "engine/tables/data_table.h"

namespace tarvo::testing {

namespace {

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
  TPageSet pages(tree.File().Header().next_page);
  TTreeCheck check(tree, pages);
  std::span<const std::byte> key;
  std::int32_t record = 0;
  while (check.Next(key, record)) report.entries.push_back({TKey(key.begin(), key.end()), record});
  check.Finish();
  report.errors = check.TreeFaults();
  report.errors.insert(report.errors.end(), check.FreeChainFaults().begin(), check.FreeChainFaults().end());
  report.depth = check.Depth();
  report.pages = check.PageCount();
  report.free_pages = check.FreePageCount();
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

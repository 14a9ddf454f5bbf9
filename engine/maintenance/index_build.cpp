#include "engine/maintenance/index_build.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "components/engine_error.h"
#include "engine/index/key_sorter.h"
#include "engine/index/tree_builder.h"
#include "engine/tables/data_table.h"

namespace tarvo {

namespace {

// Pages cached per index while trees are written: the builder pins two per level, and full
// pages leave in runs of this length.
constexpr int kBuildPagesPerSlot = 256;

}  // namespace

std::string SpillName(const std::string& base, int slot) {
  const char digits[] = {static_cast<char>('0' + slot / 10), static_cast<char>('0' + slot % 10), 0};
  return base + ".S" + digits;
}

std::vector<int> AllIndexSlots(const TIndexFile& index) {
  std::vector<int> slots;
  if (!index.NoPrimaryIndex()) slots.push_back(kPrimarySlot);
  for (int slot = 1; slot <= index.SecondaryIndexCount(); ++slot) slots.push_back(slot);
  slots.push_back(kSysDeletedSlot);
  return slots;
}

void BuildIndexesFromRecords(TDataTable& table, std::span<const int> slots, const std::string& spill_base,
                             bool in_memory, std::size_t budget, std::int32_t last_slot) {
  if (slots.empty()) return;
  TDataFile& data = table.DataFile();
  TIndexFile& index = table.IndexFile();

  std::vector<std::unique_ptr<TIndexTree>> trees;
  std::vector<std::unique_ptr<TKeySorter>> sorters;
  std::size_t key_bytes = 0;
  bool every_slot = false;  // whether deleted slots count (for "Sys Deleted")
  for (const int slot : slots) {
    trees.push_back(
        std::make_unique<TIndexTree>(index, slot, data.Descriptors(), data.LanguageID(), data.SortID()));
    key_bytes += trees.back()->KeyLength() + 8u;
    every_slot = every_slot || slot == kSysDeletedSlot;
  }
  // The budget is shared in proportion to the pairs' sizes: every sorter fills at the same pace.
  // No sorter takes more than one pair per slot.
  const std::int32_t end = last_slot >= 0 ? last_slot + 1 : data.Header().NextRecordSlot;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    const std::size_t share = budget / key_bytes * (trees[i]->KeyLength() + 8u);
    sorters.push_back(std::make_unique<TKeySorter>(*trees[i], share, SpillName(spill_base, slots[i]),
                                                   in_memory, std::max(end - 1, 0)));
  }

  // 1. One pass over the slots: a key per record in use, a "Sys Deleted" key per slot.
  std::vector<std::byte> key;
  for (std::int32_t s = 1; s < end; ++s) {
    TRecordPin pin = data.GetRecord(nullptr, s, true, TReadAhead::kSlotOrder);
    if (!pin) RaiseEngineError(kRecordBuffersCorrupt, table.TableName());
    const bool live = !pin->Deleted();
    if (!live && !every_slot) continue;
    const std::span<const std::byte> bytes = pin->Bytes();
    for (std::size_t i = 0; i < slots.size(); ++i) {
      if (!live && slots[i] != kSysDeletedSlot) continue;
      key.resize(trees[i]->KeyLength());
      trees[i]->Codec().BuildInto(bytes, key);
      sorters[i]->Add(key, s);
    }
  }

  // 2. Each tree from its sorted keys; a unique index refuses a key equal to the one before.
  const int saved_capacity = index.PageCacheCapacity();
  index.SetPageCacheCapacity(std::min(saved_capacity, kBuildPagesPerSlot));
  std::vector<std::byte> previous;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    TIndexTree& tree = *trees[i];
    const bool unique = tree.Unique() && slots[i] != kSysDeletedSlot;
    TIndexTreeBuilder builder(tree);
    bool first = true;
    sorters[i]->Drain([&](std::span<const std::byte> k, std::int32_t record) {
      if (unique && !first && tree.CompareKeys(previous, k) == 0) {
        RaiseEngineError(kDuplicateKey, table.TableName(), {}, {}, tree.Name());
      }
      if (unique) previous.assign(k.begin(), k.end());
      first = false;
      builder.Add(k, record);
    });
    builder.Finish();
    sorters[i].reset();
    index.FlushPages();
    index.TrimCache();
  }
  index.SetPageCacheCapacity(saved_capacity);
  index.MarkModified();
}

}  // namespace tarvo

#include "engine/maintenance/index_build.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "errors/engine_error.h"
#include "engine/format/record_layout.h"
#include "engine/index/key_sorter.h"
#include "engine/index/tree_builder.h"
#include "engine/tables/data_table.h"

namespace tarvo {

namespace {

// Pages cached per index while trees are written: the builder pins two per level, and full
// pages leave in runs of this length.
constexpr int kBuildPagesPerSlot = 256;

// Whether the tree refuses a key met twice: a unique index other than "Sys Deleted".
bool RefusesDuplicates(const TIndexTree& tree) {
  return tree.Unique() && tree.Slot() != kSysDeletedSlot;
}

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

std::vector<std::size_t> SortShares(std::size_t budget, std::span<const std::unique_ptr<TIndexTree>> trees,
                                    const std::vector<bool>* streamed) {
  const auto is_streamed = [&](std::size_t i) { return streamed != nullptr && i < streamed->size() && (*streamed)[i]; };
  const std::size_t small = budget / 16;
  // Every sorter fills at the same pace when each gets its pairs' part of the bytes.
  std::size_t key_bytes = 0;
  std::size_t rest = budget;
  for (std::size_t i = 0; i < trees.size(); ++i) {
    if (is_streamed(i)) {
      rest -= std::min(rest, small);
    } else {
      key_bytes += TKeySorter::PairCost(trees[i]->KeyLength());
    }
  }
  std::vector<std::size_t> shares;
  for (std::size_t i = 0; i < trees.size(); ++i) {
    shares.push_back(is_streamed(i) ? small
                                    : rest / std::max<std::size_t>(key_bytes, 1) * TKeySorter::PairCost(trees[i]->KeyLength()));
  }
  return shares;
}

TIndexBuild::TIndexBuild(TDataTable& table, std::span<const int> slots, const std::string& spill_base,
                         bool in_memory, std::size_t budget, std::int64_t most_records, bool background)
    : table_(table),
      slots_(slots.begin(), slots.end()),
      spill_base_(spill_base),
      in_memory_(in_memory),
      budget_(budget),
      most_records_(most_records),
      record_size_(table.DataFile().RecordSize()) {
  TDataFile& data = table.DataFile();
  TIndexFile& index = table.IndexFile();
  // The trees' pages go to the disk while they are written; the file is flushed once they are.
  index.SetWriteBackRun(kBulkWriteBackRun);
  for (const int slot : slots_) {
    trees_.push_back(
        std::make_unique<TIndexTree>(index, slot, data.Descriptors(), data.LanguageID(), data.SortID()));
  }
  streams_.resize(slots_.size());
  // A tree that holds keys takes the new ones in order, one by one.
  for (std::size_t i = 0; i < slots_.size(); ++i) streams_[i].late = trees_[i]->Root() != 0;
  MakeSorters();
  batch_records_ = std::clamp<std::size_t>(kBatchBytes / std::max<std::size_t>(record_size_, 1), 1, kBatchRecords);
  if (background) {
    background_ = std::make_unique<TBackgroundQueue<TBatch>>(kBatchesWaiting, [this](TBatch& batch) {
      for (std::size_t k = 0; k < batch.slots.size(); ++k) {
        AddNow(std::span(batch.records).subspan(k * record_size_, record_size_), batch.slots[k]);
      }
    });
    // Every batch there can be is made now: the memory does not depend on how far the thread
    // falls behind.
    const std::size_t most_batches =
        most_records < 0 ? kBatchesWaiting + 2
                         : static_cast<std::size_t>(most_records) / batch_records_ + 1;
    for (std::size_t b = 0; b < std::min(most_batches, kBatchesWaiting + 2); ++b) {
      TBatch batch;
      batch.records.resize(batch_records_ * record_size_);
      batch.slots.reserve(batch_records_);
      background_->AddSpare(std::move(batch));
    }
    filling_ = background_->TakeSpare().value_or(TBatch());
  }
}

// The thread, if any, goes first: it uses the sorters and streams. The table may be closed by
// now: only a build that did not finish still has the index file to reset.
TIndexBuild::~TIndexBuild() {
  background_.reset();
  streams_.clear();
  if (finished_) return;
  if (saved_page_capacity_ >= 0) table_.IndexFile().SetPageCacheCapacity(saved_page_capacity_);
  table_.IndexFile().SetWriteBackRun(0);
}

void TIndexBuild::MakeSorters() {
  std::vector<bool> streamed;
  for (const TStream& stream : streams_) streamed.push_back(stream.builder != nullptr);
  // No sorter takes more than one pair per record.
  const std::vector<std::size_t> shares = SortShares(budget_, trees_, &streamed);
  sorters_.clear();
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    sorters_.push_back(std::make_unique<TKeySorter>(*trees_[i], shares[i], SpillName(spill_base_, slots_[i]),
                                                    in_memory_, most_records_));
  }
}

void TIndexBuild::StreamInOrder(int slot) {
  const auto at = std::find(slots_.begin(), slots_.end(), slot);
  if (at == slots_.end()) return;
  const auto i = static_cast<std::size_t>(at - slots_.begin());
  TStream& stream = streams_[i];
  if (stream.builder != nullptr || stream.late) return;
  TIndexFile& index = table_.IndexFile();
  if (saved_page_capacity_ < 0) saved_page_capacity_ = index.PageCacheCapacity();
  stream.builder = std::make_unique<TIndexTreeBuilder>(*trees_[i]);
  // Each builder pins two pages per level and leaves full pages behind in order.
  int streamed = 0;
  for (const TStream& s : streams_) streamed += s.builder != nullptr ? 1 : 0;
  index.SetPageCacheCapacity(std::min(saved_page_capacity_, kBuildPagesPerSlot * streamed));
  // The budget goes to the indexes that sort.
  MakeSorters();
}

bool TIndexBuild::Stream(std::size_t i, std::int32_t slot) {
  TStream& stream = streams_[i];
  if (stream.builder == nullptr) return false;
  TIndexTree& tree = *trees_[i];
  if (!stream.last.empty()) {
    const int c = tree.CompareKeys(stream.last, key_);
    if (c == 0 && RefusesDuplicates(tree) && slot > stream.last_record && Duplicate(i, slot)) return true;
    if (c > 0 || (c == 0 && slot <= stream.last_record)) {
      // Out of order: the tree keeps the keys so far; the rest go through the sorter.
      stream.builder->Finish();
      stream.builder.reset();
      stream.late = true;
      return false;
    }
  }
  stream.builder->Add(key_, slot);
  stream.last.assign(key_.begin(), key_.end());
  stream.last_record = slot;
  return true;
}

bool TIndexBuild::Duplicate(std::size_t i, std::int32_t record) {
  if (collect_from_ < 0) RaiseEngineError(kDuplicateKey, table_.TableName(), {}, {}, trees_[i]->Name());
  if (record < collect_from_) return false;
  const TDuplicate& first = first_duplicate_.value_or(TDuplicate{record + 1, 0, {}});
  if (record < first.record || (record == first.record && slots_[i] < first.slot)) {
    first_duplicate_ = TDuplicate{record, slots_[i], trees_[i]->Name()};
  }
  return true;
}

void TIndexBuild::Add(std::span<const std::byte> record, std::int32_t slot) {
  if (background_ == nullptr) {
    AddNow(record, slot);
    return;
  }
  if (filling_.slots.empty()) filling_.records.resize(batch_records_ * record_size_);
  std::copy_n(record.begin(), record_size_, filling_.records.begin() +
                                                static_cast<std::ptrdiff_t>(filling_.slots.size() * record_size_));
  filling_.slots.push_back(slot);
  if (filling_.slots.size() == batch_records_) HandOver();
}

void TIndexBuild::HandOver() {
  background_->Push(std::move(filling_));
  filling_ = background_->TakeSpare().value_or(TBatch());
  filling_.slots.clear();
}

void TIndexBuild::AddNow(std::span<const std::byte> record, std::int32_t slot) {
  const bool live = !IsRecordDeleted(record);
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (!live && slots_[i] != kSysDeletedSlot) continue;
    key_.resize(trees_[i]->KeyLength());
    trees_[i]->Codec().BuildInto(record, key_);
    if (!Stream(i, slot)) sorters_[i]->Add(key_, slot);
  }
}

void TIndexBuild::SortAll(const std::function<void(std::size_t)>& each) {
  if (background_ != nullptr) {
    if (!filling_.slots.empty()) HandOver();
    background_->Finish();
    background_.reset();
  }
  // The pairs readied (grouped, or the last run written) on both cores: every other sorter on a
  // second thread.
  {
    TBackgroundQueue<std::size_t> helper(slots_.size(), [this](std::size_t& i) { sorters_[i]->Prepare(); });
    bool other = false;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      if (streams_[i].builder != nullptr) continue;
      if (other) {
        helper.Push(i);
      } else {
        sorters_[i]->Prepare();
      }
      other = !other;
    }
    helper.Finish();
  }
  // While the indexes are handled one after another, a second thread sorts the groups of pairs
  // ahead of them, in the order they are handled. Should one fail, it stops before the sorters
  // go.
  std::atomic<bool> stop{false};
  TBackgroundQueue<std::size_t> ahead(slots_.size(), [&](std::size_t& i) { sorters_[i]->SortAhead(stop); });
  const struct TStop {
    std::atomic<bool>& stop;
    ~TStop() { stop = true; }
  } stop_on_exit{stop};
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (streams_[i].builder == nullptr) ahead.Push(i);
  }
  for (std::size_t i = 0; i < slots_.size(); ++i) each(i);
  ahead.Finish();
  sorters_.clear();
}

void TIndexBuild::Finish() {
  TIndexFile& index = table_.IndexFile();
  SortAll([&](std::size_t i) {
    TStream& stream = streams_[i];
    if (stream.builder != nullptr) {
      stream.builder->Finish();
      stream.builder.reset();
    } else if (stream.late) {
      // The keys after a disorder go into the tree one by one, in order.
      TIndexTree& tree = *trees_[i];
      const bool unique = RefusesDuplicates(tree);
      sorters_[i]->Drain([&](std::span<const std::byte> k, std::int32_t record) {
        if (unique && tree.Find(k) && Duplicate(i, record)) return;
        tree.Insert(k, record);
      });
    } else {
      WriteTreeFromSorter(*trees_[i], *sorters_[i], table_.TableName(),
                          [&](std::int32_t record) { return Duplicate(i, record); });
    }
  });
  index.FlushPages();
  index.TrimCache();
  if (saved_page_capacity_ >= 0) {
    index.SetPageCacheCapacity(saved_page_capacity_);
    saved_page_capacity_ = -1;
  }
  index.SetWriteBackRun(0);
  index.MarkModified();
  finished_ = true;
}

void TIndexBuild::Compare(const TCompare& compare) {
  SortAll([&](std::size_t i) { compare(*trees_[i], *sorters_[i]); });
  table_.IndexFile().SetWriteBackRun(0);
  finished_ = true;
}

void WriteTreeFromSorter(TIndexTree& tree, TKeySorter& sorter, const std::string& table_name,
                         const TOnDuplicate& duplicate) {
  // The builder pins two pages per level and hands full pages on in order: a small cache does,
  // whatever the table's size.
  TIndexFile& index = tree.File();
  const int saved_capacity = index.PageCacheCapacity();
  index.SetPageCacheCapacity(std::min(saved_capacity, kBuildPagesPerSlot));
  const bool unique = RefusesDuplicates(tree);
  std::vector<std::byte> previous;
  TIndexTreeBuilder builder(tree);
  bool first = true;
  sorter.Drain([&](std::span<const std::byte> k, std::int32_t record) {
    if (unique && !first && tree.CompareKeys(previous, k) == 0) {
      if (!duplicate) RaiseEngineError(kDuplicateKey, table_name, {}, {}, tree.Name());
      if (duplicate(record)) return;
    }
    if (unique) previous.assign(k.begin(), k.end());
    first = false;
    builder.Add(k, record);
  });
  builder.Finish();
  index.FlushPages();
  index.TrimCache();
  index.SetPageCacheCapacity(saved_capacity);
}

std::optional<TIndexBuild::TDuplicate> BuildIndexesFromRecords(TDataTable& table, std::span<const int> slots,
                                                               const std::string& spill_base, bool in_memory,
                                                               std::size_t budget, std::int32_t last_slot,
                                                               bool background, std::int32_t collect_from) {
  if (slots.empty()) return std::nullopt;
  TDataFile& data = table.DataFile();
  const std::int32_t end = last_slot >= 0 ? last_slot + 1 : data.Header().NextRecordSlot;
  TIndexBuild build(table, slots, spill_base, in_memory, budget, std::max(end - 1, 0), background);
  if (collect_from >= 0) build.CollectDuplicates(collect_from);
  // One pass over the slots: a key per record in use, a "Sys Deleted" key per slot.
  for (std::int32_t s = 1; s < end; ++s) {
    TRecordPin pin = table.Records().GetRecord(nullptr, s, true, TReadAhead::kSlotOrder);
    if (!pin) RaiseEngineError(kRecordBuffersCorrupt, table.TableName());
    build.Add(pin->Bytes(), s);
  }
  build.Finish();
  return build.FirstDuplicate();
}

}  // namespace tarvo

#include "engine/maintenance/ordered_records.h"

#include <algorithm>

#include "errors/engine_error.h"
#include "engine/format/data_file.h"
#include "engine/format/encipher.h"
#include "engine/format/record_layout.h"
#include "engine/index/index_tree.h"
#include "engine/tables/data_cursor.h"
#include "engine/tables/data_table.h"

namespace tarvo {

namespace {

// Bytes of records one read takes at most.
constexpr std::size_t kReadBytes = 256u << 10;

}  // namespace

TOrderedRecords::TOrderedRecords(TDataTable& table, int index_slot) : table_(table) {
  TDataFile& data = table.DataFile();
  // The file holds every change from here on.
  (void)table.Records().WriteModifiedRecords();
  record_size_ = std::max<std::size_t>(data.RecordSize(), 1);
  slot_end_ = data.Header().NextRecordSlot;
  slots_per_read_ = static_cast<std::int32_t>(std::max<std::size_t>(kReadBytes / record_size_, 1));
  encrypted_ = data.Encrypted();
  const auto slots = static_cast<std::size_t>(std::max(slot_end_, 1));
  handed_.assign(slots, false);
  read_.assign(slots, false);
  in_use_.assign(slots, false);
  if (index_slot != kSlotOrder) {
    tree_ = std::make_unique<TIndexTree>(table.IndexFile(), index_slot, data.Descriptors(), data.LanguageID(),
                                         data.SortID());
    position_ = std::make_unique<TIndexPosition>(*tree_);
    index_done_ = !position_->First();
  }
}

TOrderedRecords::~TOrderedRecords() = default;

bool TOrderedRecords::NextSlot(std::int32_t& slot) {
  if (tree_ == nullptr) {
    if (walked_ + 1 >= slot_end_) return false;
    slot = ++walked_;
    return true;
  }
  if (next_ == slots_.size()) {
    slots_.clear();
    next_ = 0;
    if (!index_done_) {
      position_->TakeRecordNumbers(slots_, kSlotBatch);
      index_done_ = !position_->Valid();
    }
    if (slots_.empty()) return false;
  }
  // An index names each slot at most once: more entries than slots is a level whose links run
  // in a circle, which would never end.
  if (++taken_ >= slot_end_) RaiseEngineError(kIndexBuffersCorrupt, table_.TableName());
  slot = slots_[next_++];
  return true;
}

std::span<const std::byte> TOrderedRecords::Next() {
  std::int32_t slot = 0;
  while (NextSlot(slot)) {
    if (slot <= 0 || slot >= slot_end_) RaiseEngineError(kRecordBuffersCorrupt, table_.TableName());
    if (slot < first_ || slot >= first_ + count_) Read(slot);
    const std::span<const std::byte> record(buffer_.data() + static_cast<std::size_t>(slot - first_) * record_size_,
                                            record_size_);
    if (IsRecordDeleted(record) || handed_[static_cast<std::size_t>(slot)]) continue;
    handed_[static_cast<std::size_t>(slot)] = true;
    return record;
  }
  return {};
}

std::int64_t TOrderedRecords::RecordsInUse() {
  TDataFile& data = table_.DataFile();
  const std::int64_t in_file = std::max<std::int64_t>(data.GetSize() - data.RecordAreaOffset(), 0) /
                               static_cast<std::int64_t>(record_size_);
  const auto end = static_cast<std::int32_t>(std::min<std::int64_t>(slot_end_, in_file + 1));
  std::int64_t in_use = 0;
  for (std::int32_t slot = 1; slot < end; ++slot) {
    const auto s = static_cast<std::size_t>(slot);
    if (!read_[s]) Read(slot, std::min(slots_per_read_, end - slot));
    if (in_use_[s]) ++in_use;
  }
  return in_use;
}

void TOrderedRecords::Read(std::int32_t slot) {
  // The run: in slot order as far as a read goes; along an index, as far as the slots to come
  // follow each other closely.
  std::int32_t run = 1;
  if (tree_ == nullptr) {
    run = std::min(slots_per_read_, slot_end_ - slot);
  } else {
    std::int32_t last = slot;
    for (std::size_t k = next_; k < slots_.size(); ++k) {
      if (!ExtendReadRun(run, last, slots_[k], true, kGap, slots_per_read_)) break;
    }
  }
  Read(slot, run);
}

void TOrderedRecords::Read(std::int32_t slot, std::int32_t run) {
  TDataFile& data = table_.DataFile();
  const std::size_t bytes = static_cast<std::size_t>(run) * record_size_;
  if (buffer_.size() < bytes) buffer_.resize(bytes);
  const std::size_t got = data.ReadAt(data.RecordOffset(slot), std::span(buffer_).first(bytes), true);
  first_ = slot;
  count_ = static_cast<std::int32_t>(got / record_size_);
  // A file that ends before the slot cannot hold its record.
  if (count_ == 0) RaiseEngineError(kRecordBuffersCorrupt, table_.TableName());
  if (encrypted_) {
    for (std::int32_t i = 0; i < count_; ++i) {
      Encipher(std::span(buffer_).subspan(static_cast<std::size_t>(i) * record_size_, record_size_), kRecordKey);
    }
  }
  for (std::int32_t i = 0; i < count_; ++i) {
    const auto s = static_cast<std::size_t>(first_ + i);
    read_[s] = true;
    in_use_[s] = !IsRecordDeleted(
        std::span(buffer_).subspan(static_cast<std::size_t>(i) * record_size_, record_size_));
  }
}

}  // namespace tarvo

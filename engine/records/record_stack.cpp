#include "engine/records/record_stack.h"

namespace tarvo {

TRecordStack::TRecordStack(TDataFile* owner) : owner_(owner) {}

std::unique_ptr<TRecord> TRecordStack::Get(std::uint16_t record_size) {
  if (pool_.empty()) return std::make_unique<TRecord>(owner_, record_size);
  std::unique_ptr<TRecord> record = std::move(pool_.back());
  pool_.pop_back();
  record->SetOwner(owner_);
  record->Resize(record_size);
  record->SetSlotNumber(0);
  record->Clear(false);
  record->ResetPins();
  record->older = nullptr;
  record->newer = nullptr;
  return record;
}

void TRecordStack::Put(std::unique_ptr<TRecord> record) {
  if (record == nullptr) return;
  if (pool_.capacity() == 0) pool_.reserve(kInitialCapacity);
  record->older = nullptr;
  record->newer = nullptr;
  pool_.push_back(std::move(record));
}

}  // namespace tarvo

#include "engine/records/record.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "engine/format/data_file.h"
#include "engine/format/encipher.h"
#include "engine/format/record_layout.h"

namespace tarvo {

namespace {

std::size_t RoundUp(std::size_t n, std::size_t step) {
  return (n + step - 1) / step * step;
}

}  // namespace

TRecord::TRecord(TDataFile* owner, std::uint16_t size) : owner_(owner) {
  Resize(size);
}

void TRecord::Unpin() {
  if (pin_count_ > 0) --pin_count_;
}

void TRecord::Resize(std::uint16_t size) {
  // The header bytes are always there, so that the header accessors never run off the end.
  const std::size_t wanted = RoundUp(std::max<std::size_t>(size, kRecordHeaderSize), kRecordBufferStep);
  if (buffer_.size() < wanted) buffer_.resize(wanted);
  size_ = size;
}

void TRecord::Clear(bool new_auto_increment) {
  std::fill(buffer_.begin(), buffer_.end(), std::byte{0});
  SetRecordSlotLink(buffer_, slot_number_);
  if (new_auto_increment && owner_ != nullptr) SetRecordAutoIncrement(buffer_, owner_->NextAutoIncrement());
  modified_ = false;
}

void TRecord::LoadFromFile(std::span<const std::byte> bytes) {
  assert(bytes.size() >= size_);
  std::memcpy(buffer_.data(), bytes.data(), size_);
  if (owner_ != nullptr && owner_->Encrypted()) Encipher(Bytes(), kRecordKey);
  if (!IsRecordDeleted(buffer_)) SetRecordSlotLink(buffer_, slot_number_);
  modified_ = false;
}

void TRecord::StoreForFile(std::span<std::byte> out) {
  assert(out.size() >= size_);
  std::memcpy(out.data(), buffer_.data(), size_);
  if (owner_ != nullptr && owner_->Encrypted()) Encipher(out.first(size_), kRecordKey);
  modified_ = false;
}

void TRecord::Restore(std::span<const std::byte> bytes, bool modified) {
  assert(bytes.size() >= size_);
  std::memcpy(buffer_.data(), bytes.data(), size_);
  modified_ = modified;
}

bool TRecord::Deleted() const {
  return IsRecordDeleted(buffer_);
}

// A record whose bytes stay as they were needs no write (a free chain rebuilt in its old order).
void TRecord::SetDeleted(bool deleted) {
  const std::byte before = buffer_[kRecOffDeleted];
  SetRecordDeleted(buffer_, deleted);
  if (buffer_[kRecOffDeleted] != before) modified_ = true;
}

void TRecord::SetLink(std::int32_t slot) {
  if (RecordSlotLink(buffer_) == slot) return;
  SetRecordSlotLink(buffer_, slot);
  modified_ = true;
}

std::int32_t TRecord::Link() const {
  return Deleted() ? RecordSlotLink(buffer_) : 0;
}

std::int32_t TRecord::AutoIncrement() const {
  return RecordAutoIncrement(buffer_);
}

void TRecord::SetAutoIncrement(std::int32_t value) {
  SetRecordAutoIncrement(buffer_, value);
  modified_ = true;
}

void TRecord::SetSlotNumber(std::int32_t slot) {
  slot_number_ = slot;
  if (!Deleted()) SetRecordSlotLink(buffer_, slot);
}

void TRecord::CopyFields(std::span<const std::byte> buffer) {
  assert(buffer.size() >= size_);
  if (size_ > kRecordHeaderSize) {
    std::memcpy(buffer_.data() + kRecordHeaderSize, buffer.data() + kRecordHeaderSize,
                size_ - kRecordHeaderSize);
  }
  modified_ = true;
}

void TRecord::CopyFrom(const TRecord& other) {
  owner_ = other.owner_;
  modified_ = other.modified_;
  slot_number_ = other.slot_number_;
  std::memcpy(buffer_.data(), other.buffer_.data(), std::min(size_, other.size_));
}

bool TRecord::SameAs(std::span<const std::byte> buffer) const {
  return buffer.size() >= size_ && std::memcmp(buffer_.data(), buffer.data(), size_) == 0;
}

void TRecord::SetKey(std::span<const std::byte> key) {
  const std::size_t wanted = RoundUp(key.size(), kKeyBufferStep);
  if (key_buffer_.size() < wanted) key_buffer_.resize(wanted);
  std::copy(key.begin(), key.end(), key_buffer_.begin());
  key_size_ = static_cast<std::uint16_t>(key.size());
}

}  // namespace tarvo

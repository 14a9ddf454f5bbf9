// TRecord: one record slot's bytes in memory, as the data file's record cache holds it, with the
// bookkeeping of the cache (pins, recency links, the modified mark). TRecordStack (record_stack.h)
// pools the objects of one data file; TRecordCache (record_cache.h) moves them between the file
// and the cache.
//
// Record slot: RecordSize bytes (record_layout.h).
//   off size  content
//     0   1   deleted flag: 0 = in use, 1 = deleted
//     1   4   in use: the record's own slot number; deleted: the next deleted slot (0 = end)
//     5   4   auto-increment value (the record's identifier)
//     9   …   the stored fields
//
// Invariant: a pinned record (PinCount > 0) is never evicted from the cache nor refreshed from
// the file; a modified record is never dropped before it is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tarvo {

class TDataFile;

// Buffers grow in these steps (the record bytes and the sort key).
inline constexpr std::size_t kRecordBufferStep = 510;
inline constexpr std::size_t kKeyBufferStep = 127;

class TRecord {
 public:
  TRecord(TDataFile* owner, std::uint16_t size);
  TRecord(const TRecord&) = delete;
  TRecord& operator=(const TRecord&) = delete;

  TDataFile* Owner() const { return owner_; }
  void SetOwner(TDataFile* owner) { owner_ = owner; }
  bool Modified() const { return modified_; }
  void SetModified(bool value) { modified_ = value; }
  std::int16_t PinCount() const { return pin_count_; }
  void Pin() { ++pin_count_; }
  // Lowers PinCount when positive.
  void Unpin();
  void ResetPins() { pin_count_ = 0; }
  std::int32_t SlotNumber() const { return slot_number_; }
  std::uint16_t Size() const { return size_; }
  // Sets the record size; the buffer grows in steps of 510 and keeps its bytes.
  void Resize(std::uint16_t size);

  std::span<std::byte> Bytes() { return {buffer_.data(), size_}; }
  std::span<const std::byte> Bytes() const { return {buffer_.data(), size_}; }

  // Zeroes the buffer, puts SlotNumber into bytes 1..4 and clears Modified; with `new_auto_increment`
  // bytes 5..8 get the owner's NextAutoIncrement.
  void Clear(bool new_auto_increment);
  // Takes the bytes as read from the file (deciphered when the owner's table is encrypted); a
  // record in use gets SlotNumber into bytes 1..4. Clears Modified.
  void LoadFromFile(std::span<const std::byte> bytes);
  // Copies the record into `out` (Size bytes), enciphered when the owner's table is. Clears Modified.
  void StoreForFile(std::span<std::byte> out);

  bool Deleted() const;
  void SetDeleted(bool deleted);
  // Bytes 1..4 (sets Modified).
  void SetLink(std::int32_t slot);
  // The next deleted slot for a deleted record, else 0.
  std::int32_t Link() const;
  std::int32_t AutoIncrement() const;
  void SetAutoIncrement(std::int32_t value);
  // A record in use also gets the slot number into bytes 1..4.
  void SetSlotNumber(std::int32_t slot);
  // Bytes 9 to the end from a caller's buffer of at least Size bytes (sets Modified).
  void CopyFields(std::span<const std::byte> buffer);
  // Owner, Modified, SlotNumber and the first min(both sizes) bytes of `other`.
  void CopyFrom(const TRecord& other);
  // Whether the whole buffer equals `buffer` byte for byte.
  bool SameAs(std::span<const std::byte> buffer) const;
  // Puts back an image taken earlier (Size bytes, plain) with its modified mark: the undo of a
  // change that failed part way.
  void Restore(std::span<const std::byte> bytes, bool modified);

  // The sort key built from the record (used when records are sorted).
  std::span<std::byte> Key() { return {key_buffer_.data(), key_size_}; }
  void SetKey(std::span<const std::byte> key);

  // Links of the cache's recency chain (null at either end or when not cached).
  TRecord* older = nullptr;
  TRecord* newer = nullptr;

 private:
  TDataFile* owner_;
  bool modified_ = false;
  std::int16_t pin_count_ = 0;
  std::int32_t slot_number_ = 0;
  std::vector<std::byte> buffer_;
  std::uint16_t size_ = 0;
  std::vector<std::byte> key_buffer_;
  std::uint16_t key_size_ = 0;
};

}  // namespace tarvo

// TBlobBuffer: one blob value that a cursor has opened, held whole in memory. Reads, writes and
// size changes work here; posting the record stores a modified buffer back as a chain
// (blob_chain.h) under a new stamp. Owned by the cursor's TBlobValues.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/blob/blob_file.h"

namespace tarvo {

// Access modes as openers pass them (the table component's blob stream).
inline constexpr std::uint8_t kBlobModeRead = 1;
inline constexpr std::uint8_t kBlobModeWrite = 2;

struct TBlobBufferInit {
  std::int32_t handle = 0;         // the negative identifier written into the record's slot
  std::int32_t stamp = 0;          // from the slot
  std::int32_t record_number = 0;  // record bytes 1 to 4
  std::uint16_t field_number = 0;  // 1-based
  std::int32_t first_block = 0;    // from the slot; 0 for an empty value
  std::uint8_t mode = kBlobModeRead;
  bool engine_internal = false;
};

class TBlobBuffer {
 public:
  // The largest value: sizes and offsets are 32-bit signed in the files.
  static constexpr std::int64_t kMaxSize = 0x7FFFFFFF;

  explicit TBlobBuffer(const TBlobBufferInit& init);

  std::int32_t Handle() const { return handle_; }
  bool Modified() const { return modified_; }
  std::int32_t Stamp() const { return stamp_; }
  void SetStamp(std::int32_t stamp) { stamp_ = stamp; }
  std::int32_t RecordNumber() const { return record_number_; }
  std::uint16_t FieldNumber() const { return field_number_; }
  std::int32_t FirstBlock() const { return first_block_; }
  std::uint8_t Mode() const { return mode_; }
  bool EngineInternal() const { return engine_internal_; }
  void SetEngineInternal(bool value) { engine_internal_ = value; }
  std::int64_t Size() const { return static_cast<std::int64_t>(bytes_.size()); }
  std::span<const std::byte> Bytes() const { return bytes_; }

  // Nothing for the present size; otherwise marks the buffer modified and keeps the leading
  // bytes (n <= 0 empties it). 10029 (negated) above kMaxSize.
  [[nodiscard]] int Resize(std::int64_t n);
  // Copies up to out.size() bytes from `offset`; returns the count. `reached_end` tells whether
  // the read asked for bytes behind the value's end.
  std::size_t Read(std::int64_t offset, std::span<std::byte> out, bool& reached_end) const;
  // Grows the value when the bytes reach past its end, then copies them. Writing bytes that
  // differ from the present ones marks the buffer modified, so that a post stores them.
  // 10029 (negated) past kMaxSize.
  [[nodiscard]] int Write(std::int64_t offset, std::span<const std::byte> bytes);

  // The value of the chain named by first block and stamp; clears the modified flag.
  void Load(TBlobFile& file);
  // Stores the value as a chain under the present stamp (freeing it for an empty value); the
  // first block becomes the chain's. Clears the modified flag.
  void Store(TBlobFile& file);
  // Frees the chain and forgets it.
  void Free(TBlobFile& file);
  // Forgets the chain the value was loaded from, so that the next post stores it as a new chain
  // (the value is then modified unless it is empty).
  void Detach();

  // What a post changes: the stamp, the chain and the modified flag (kept to undo a post).
  struct TPostState {
    std::int32_t stamp = 0;
    std::int32_t first_block = 0;
    bool modified = false;
  };
  TPostState PostState() const { return {stamp_, first_block_, modified_}; }
  void RestorePostState(const TPostState& state) {
    stamp_ = state.stamp;
    first_block_ = state.first_block;
    modified_ = state.modified;
  }

 private:
  std::int32_t handle_;
  bool modified_ = false;
  std::int32_t stamp_;
  std::int32_t record_number_;
  std::uint16_t field_number_;
  std::int32_t first_block_;
  std::vector<std::byte> bytes_;
  std::uint8_t mode_;
  bool engine_internal_;
};

}  // namespace tarvo

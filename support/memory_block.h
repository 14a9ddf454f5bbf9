// Memory blocks: every engine buffer is zero-filled and grows in fixed granules. A request for n
// bytes raises n to the next multiple of the buffer's granule and reallocates only when the block
// is smaller; a request for 0 frees it. A failed allocation is engine error 11016. The library
// keeps a running total of the bytes its blocks hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tarvo {

// Granules of the engine's growable buffers.
inline constexpr std::size_t kMemoryFileGranule = 65535;  // in-memory file data
inline constexpr std::size_t kDataBufferGranule = 32767;  // a data file's read and write buffers
inline constexpr std::size_t kRecordBufferGranule = 510;  // record buffers
inline constexpr std::size_t kKeyBufferGranule = 127;     // key buffers

// No block grows beyond this: files stay below 2 GB, and so do the buffers that mirror them.
inline constexpr std::size_t kMaxBlockSize = std::size_t{1} << 31;

// Bytes currently held by all memory blocks of the process.
std::int64_t AllocatedBytes();

class TMemoryBlock {
 public:
  explicit TMemoryBlock(std::size_t granule);
  ~TMemoryBlock();
  TMemoryBlock(TMemoryBlock&& other) noexcept;
  TMemoryBlock& operator=(TMemoryBlock&& other) noexcept;
  TMemoryBlock(const TMemoryBlock&) = delete;
  TMemoryBlock& operator=(const TMemoryBlock&) = delete;

  // Makes room for `size` bytes (0 frees); new bytes are zero, kept bytes keep their value.
  // Raises 11016 when the memory cannot be had.
  void Reserve(std::size_t size);
  // The same for the lower layers: 0, or -11016.
  [[nodiscard]] int TryReserve(std::size_t size);
  void Free() { (void)TryReserve(0); }

  std::size_t Capacity() const { return capacity_; }
  std::size_t Granule() const { return granule_; }
  std::byte* Data() { return data_; }
  const std::byte* Data() const { return data_; }
  std::span<std::byte> Bytes() { return {data_, capacity_}; }
  std::span<const std::byte> Bytes() const { return {data_, capacity_}; }

 private:
  std::size_t granule_;
  std::byte* data_ = nullptr;
  std::size_t capacity_ = 0;
};

}  // namespace tarvo

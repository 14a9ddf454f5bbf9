// TMemoryFile: a file that lives in a growable zero-filled buffer for as long as the file list
// keeps it, found again by its name. Its byte-range locks are kept in its own table with the same
// rules as a physical file's.
#pragma once

#include "support/abstract_file.h"
#include "support/lock_table.h"
#include "support/memory_block.h"

namespace tarvo {

class TMemoryFile : public TAbstractFile {
 public:
  TMemoryFile() : data_(kMemoryFileGranule) {}

  [[nodiscard]] int CreateNew() override;
  [[nodiscard]] int Open() override;
  [[nodiscard]] int Close(std::int32_t id) override;
  [[nodiscard]] int Rename(const std::string& new_name) override;
  [[nodiscard]] int Delete() override;
  [[nodiscard]] std::int64_t Read(std::int32_t id, std::span<std::byte> buffer) override;
  [[nodiscard]] std::int64_t Write(std::int32_t id, std::span<const std::byte> buffer) override;
  [[nodiscard]] bool LockRegion(std::int64_t offset, std::int64_t length) override;
  [[nodiscard]] bool UnlockRegion(std::int64_t offset, std::int64_t length) override;

  bool InMemory() const override { return true; }
  std::size_t LockCount() const override;
  std::int64_t Size() const;
  std::size_t Capacity() const { return data_.Capacity(); }

 protected:
  std::int64_t EndPosition() override { return size_; }

 private:
  TMemoryBlock data_;      // Guarded by Guard(); never shrunk by a truncation
  std::int64_t size_ = 0;  // Guarded by Guard(); at most data_.Capacity()
  TLockTable locks_;       // Guarded by Guard().
};

}  // namespace tarvo

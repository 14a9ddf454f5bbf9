// TRecordStack: the pool of free TRecord objects of one data file. Records leave the cache into
// the pool (ReleaseAll, Trim) and come back from it, so that a busy table allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/records/record.h"

namespace tarvo {

class TRecordStack {
 public:
  static constexpr std::size_t kInitialCapacity = 16383;

  explicit TRecordStack(TDataFile* owner);

  // The last pooled record, cleared (buffer zero, slot 0, not modified, no pins, unlinked) and
  // sized to `record_size`; a new one when the pool is empty.
  std::unique_ptr<TRecord> Get(std::uint16_t record_size);
  void Put(std::unique_ptr<TRecord> record);
  std::size_t Count() const { return pool_.size(); }
  void Clear() { pool_.clear(); }

 private:
  TDataFile* owner_;
  std::vector<std::unique_ptr<TRecord>> pool_;
};

}  // namespace tarvo

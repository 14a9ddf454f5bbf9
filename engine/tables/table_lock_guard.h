// TTableLockGuard: holds one of a table's locks (reader or writer) for a scope and releases it
// on every way out. Records whether taking the lock found the table changed.
#pragma once

#include "engine/tables/data_table.h"

namespace tarvo {

enum class TTableLockKind { kReader, kWriter };

class TTableLockGuard {
 public:
  TTableLockGuard(TDataTable& table, TTableLockKind kind) : table_(table), kind_(kind) {
    const bool held_before =
        kind == TTableLockKind::kReader ? table.HoldsReaderLock() : table.HoldsWriterLock();
    changed_ = kind == TTableLockKind::kReader ? table.LockReader() : table.LockWriter();
    owns_ =
        !held_before && (kind == TTableLockKind::kReader ? table.HoldsReaderLock() : table.HoldsWriterLock());
  }
  ~TTableLockGuard() {
    if (!owns_) return;
    try {
      if (kind_ == TTableLockKind::kReader) {
        table_.UnlockReader();
      } else {
        table_.UnlockWriter();
      }
    } catch (...) {
      // Releasing failed; the lock goes with the file's descriptor at the latest.
    }
  }
  TTableLockGuard(const TTableLockGuard&) = delete;
  TTableLockGuard& operator=(const TTableLockGuard&) = delete;

  bool Changed() const { return changed_; }

 private:
  TDataTable& table_;
  TTableLockKind kind_;
  bool changed_ = false;
  bool owns_ = false;
};

}  // namespace tarvo

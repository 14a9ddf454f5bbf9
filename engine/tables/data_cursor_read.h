// The read operations of a cursor: every public walk and lookup runs through ReadOperation, which
// checks for changes by other openers at its start, releases at its end the reader lock a miss
// took, and starts over once the position is found again when a page or record read found the
// table changed. Shared by the files that define the cursor's member functions.
#pragma once

#include <functional>

#include "errors/engine_error.h"
#include "engine/index/index_file.h"
#include "engine/tables/data_cursor.h"

namespace tarvo {

namespace cursor_read {

// Ends a read operation of a cursor on every way out.
class TReadScope {
 public:
  explicit TReadScope(std::function<void()> end) : end_(std::move(end)) {}
  ~TReadScope() {
    try {
      end_();
    } catch (...) {
      // Releasing the reader lock failed; it goes with the file's descriptor at the latest.
    }
  }
  TReadScope(const TReadScope&) = delete;
  TReadScope& operator=(const TReadScope&) = delete;

 private:
  std::function<void()> end_;
};

// How often a read operation starts over after finding the table changed. Once a change was
// found the reader lock is held, so a second start is already rare.
constexpr int kChangeRetries = 8;

// Counts a cursor's nested read operations; the outermost one installs the index file's change
// hook and removes it again.
class TReadDepth {
 public:
  TReadDepth(int& depth, TIndexFile& index, TIndexFile::TChangeHook hook) : depth_(depth), index_(index) {
    if (depth_++ == 0) index_.SetChangeHook(std::move(hook));
  }
  ~TReadDepth() {
    if (--depth_ == 0) index_.SetChangeHook({});
  }
  TReadDepth(const TReadDepth&) = delete;
  TReadDepth& operator=(const TReadDepth&) = delete;

 private:
  int& depth_;
  TIndexFile& index_;
};

}  // namespace cursor_read

template <class TOperation>
auto TDataCursor::ReadOperation(TOperation operation) {
  if (table_ == nullptr) RaiseEngineError(kInvalidFileHandle, options_.table_name);
  cursor_read::TReadScope scope([this] { EndRead(); });
  cursor_read::TReadDepth depth(read_depth_, table_->IndexFile(), [this] { return CheckBeforeRead(); });
  bool refresh = BeginRead();
  for (int attempt = 0;; ++attempt) {
    try {
      if (refresh) Reestablish();
      return operation();
    } catch (const EIndexChanged&) {
      // What the caches held is gone; the reader lock now keeps the table as it is.
      if (attempt >= cursor_read::kChangeRetries) Raise(kIndexBuffersCorrupt, {}, IndexName());
      refresh = true;
    }
  }
}

}  // namespace tarvo

#include "support/memory_file.h"

#include <algorithm>
#include <cstring>

#include "errors/engine_error.h"
#include "support/fault_injector.h"
#include "support/platform_errors.h"

namespace tarvo {

namespace {

// -code for a failure planned by the fault injector, else 0.
int InjectedFailure(TFaultOp op) {
  int error_number = 0;
  if (!TFaultInjector::ShouldFail(op, error_number)) return 0;
  return -static_cast<int>(EngineCodeFromOsError(OsErrorFromErrno(error_number)));
}

constexpr int kNoOpener = -static_cast<int>(kInvalidFileHandle);

}  // namespace

int TMemoryFile::CreateNew() {
  std::lock_guard lock(Guard());
  if (OpenerCount() > 0) return -static_cast<int>(kAccessDenied);
  data_.Free();
  size_ = 0;
  locks_.Clear();
  return AddOpener();
}

int TMemoryFile::Open() {
  std::lock_guard lock(Guard());
  if (const int failure = InjectedFailure(TFaultOp::kOpen); failure < 0) return failure;
  return AddOpener();
}

int TMemoryFile::Close(std::int32_t id) {
  std::lock_guard lock(Guard());
  const int result = TAbstractFile::Close(id);
  // The last opener leaves nothing locked behind, as closing an operating-system file would.
  if (result == 0 && OpenerCount() == 0) locks_.Clear();
  return result;
}

int TMemoryFile::Rename(const std::string& new_name) {
  std::lock_guard lock(Guard());
  if (OpenerCount() > 0) return -static_cast<int>(kAccessDenied);
  if (const int failure = InjectedFailure(TFaultOp::kRename); failure < 0) return failure;
  SetFileName(new_name);
  return 0;
}

int TMemoryFile::Delete() {
  std::lock_guard lock(Guard());
  if (OpenerCount() > 0) return -static_cast<int>(kAccessDenied);
  if (const int failure = InjectedFailure(TFaultOp::kDelete); failure < 0) return failure;
  data_.Free();
  size_ = 0;
  return 0;
}

std::int64_t TMemoryFile::Read(std::int32_t id, std::span<std::byte> buffer) {
  std::lock_guard lock(Guard());
  TOpener* opener = OpenerEntry(id);
  if (opener == nullptr) return kNoOpener;
  if (const int failure = InjectedFailure(TFaultOp::kRead); failure < 0) return failure;
  const std::int64_t position = opener->position;
  if (position < 0 || position >= size_) return 0;
  const auto count = static_cast<std::size_t>(
      std::min<std::int64_t>(size_ - position, static_cast<std::int64_t>(buffer.size())));
  if (count > 0) std::memcpy(buffer.data(), data_.Data() + position, count);
  opener->position += static_cast<std::int64_t>(count);
  return static_cast<std::int64_t>(count);
}

std::int64_t TMemoryFile::Write(std::int32_t id, std::span<const std::byte> buffer) {
  std::lock_guard lock(Guard());
  TOpener* opener = OpenerEntry(id);
  if (opener == nullptr) return kNoOpener;
  if (const int failure = InjectedFailure(TFaultOp::kWrite); failure < 0) return failure;
  const std::int64_t position = opener->position;
  if (position < 0) return -static_cast<int>(EngineCodeFromOsError(kOsInvalidParameter));
  if (static_cast<std::int64_t>(buffer.size()) > kMaxFileSize - position) {
    return -static_cast<int>(EngineCodeFromOsError(kOsDiskFull));
  }
  const std::int64_t end = position + static_cast<std::int64_t>(buffer.size());
  if (buffer.empty()) {
    // Truncation (or extension with zeros) at the position; the buffer keeps its size.
    // (A reservation of 0 would free the buffer.)
    if (end > 0) {
      if (const int rc = data_.TryReserve(static_cast<std::size_t>(end)); rc < 0) return rc;
    }
    if (end < size_) std::memset(data_.Data() + end, 0, static_cast<std::size_t>(size_ - end));
    size_ = end;
    return 0;
  }
  if (const int rc = data_.TryReserve(static_cast<std::size_t>(end)); rc < 0) return rc;
  std::memcpy(data_.Data() + position, buffer.data(), buffer.size());
  size_ = std::max(size_, end);
  opener->position = end;
  return static_cast<std::int64_t>(buffer.size());
}

bool TMemoryFile::LockRegion(std::int64_t offset, std::int64_t length) {
  std::lock_guard lock(Guard());
  if (InjectedFailure(TFaultOp::kLock) < 0) return false;
  return locks_.Add(offset, length);
}

bool TMemoryFile::UnlockRegion(std::int64_t offset, std::int64_t length) {
  std::lock_guard lock(Guard());
  if (InjectedFailure(TFaultOp::kLock) < 0) return false;
  return locks_.Remove(offset, length);
}

std::size_t TMemoryFile::LockCount() const {
  std::lock_guard lock(Guard());
  return locks_.Count();
}

std::int64_t TMemoryFile::Size() const {
  std::lock_guard lock(Guard());
  return size_;
}

}  // namespace tarvo

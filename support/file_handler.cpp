#include "support/file_handler.h"

#include <algorithm>

#include "errors/engine_error.h"
#include "support/file_list.h"
#include "support/short_text.h"

namespace tarvo {

TFileHandler::TFileHandler(std::string_view file_name, bool in_memory)
    : in_memory_(in_memory), file_name_(CutToShortText(file_name)) {}

TFileHandler::~TFileHandler() {
  while (access_depth_ > 0) EndAccess();
  CloseQuietly();
}

void TFileHandler::SetFileName(std::string_view name) {
  file_name_ = CutToShortText(name);
}

void TFileHandler::RaiseIfFailed(int result) const {
  if (result < 0) RaiseEngineError(static_cast<TEngineCode>(-result), file_name_);
}

void TFileHandler::CloseQuietly() noexcept {
  if (opener_id_ > 0 && file_object_ != nullptr) {
    (void)EngineFileList().CloseEntry(file_object_, in_memory_, opener_id_);
  }
  opener_id_ = 0;
  file_object_ = nullptr;
  is_open_ = false;
}

void TFileHandler::Open() {
  if (is_open_) return;
  if (!EntryExists()) RaiseEngineError(kInvalidPath, file_name_);
  TOpenRequest request;
  request.sequential_scan = sequential_scan_;
  request.write_through = write_through_;
  request.temporary = temporary_;
  request.exclusive = exclusive_;
  request.reading_only = read_only_;
  TOpenedEntry opened;
  const int result = EngineFileList().OpenEntry(file_name_, in_memory_, request, opened);
  RaiseIfFailed(result);
  opener_id_ = result;
  file_object_ = opened.file;
  read_only_file_ = opened.read_only_attribute;
  is_open_ = true;
}

void TFileHandler::Close() {
  CloseQuietly();
}

void TFileHandler::CreateNew() {
  // A handler that is still open would lose its opener.
  if (is_open_) Close();
  TAbstractFile* file = nullptr;
  const int result = EngineFileList().CreateEntry(file_name_, in_memory_, temporary_, &file, creation_);
  RaiseIfFailed(result);
  opener_id_ = result;
  file_object_ = file;
  read_only_file_ = false;
  is_open_ = true;
}

void TFileHandler::Delete() {
  RaiseIfFailed(EngineFileList().DeleteEntry(file_name_, in_memory_));
}

void TFileHandler::Rename(const std::string& new_name) {
  RaiseIfFailed(EngineFileList().RenameEntry(file_name_, in_memory_, new_name));
  SetFileName(new_name);
}

void TFileHandler::CopyTo(const std::string& destination) {
  if (!is_open_ || file_object_ == nullptr) RaiseEngineError(kInvalidFileHandle, file_name_);
  RaiseIfFailed(EngineFileList().CopyEntryTo(file_object_, opener_id_, destination, in_memory_));
}

void TFileHandler::CopyFrom(const std::string& source) {
  if (!is_open_ || file_object_ == nullptr) RaiseEngineError(kInvalidFileHandle, file_name_);
  RaiseIfFailed(EngineFileList().CopyEntryFrom(file_object_, opener_id_, source, in_memory_));
}

std::size_t TFileHandler::Read(std::span<std::byte> buffer, bool allow_short) {
  if (file_object_ == nullptr) RaiseEngineError(kReadError, file_name_);
  const std::int64_t got = file_object_->Read(opener_id_, buffer);
  // A failure is never taken for the end of the file.
  if (got < 0) RaiseEngineError(kReadError, file_name_);
  if (static_cast<std::size_t>(got) < buffer.size() && !allow_short) RaiseEngineError(kReadError, file_name_);
  return static_cast<std::size_t>(got);
}

void TFileHandler::Write(std::span<const std::byte> buffer) {
  if (file_object_ == nullptr) RaiseEngineError(kWriteError, file_name_);
  ++write_calls_;
  const std::int64_t put = file_object_->Write(opener_id_, buffer);
  if (put < 0 || static_cast<std::size_t>(put) != buffer.size()) RaiseEngineError(kWriteError, file_name_);
}

void TFileHandler::Flush() {
  if (file_object_ == nullptr) return;
  // Data that did not reach the disk is a failed write, not something to pass over.
  if (file_object_->Flush() < 0) RaiseEngineError(kWriteError, file_name_);
}

std::int64_t TFileHandler::Seek(std::int64_t offset, TSeekOrigin origin) {
  if (file_object_ == nullptr) return 0;
  return file_object_->Seek(opener_id_, offset, origin);
}

std::int64_t TFileHandler::GetSize() {
  if (file_object_ == nullptr) return 0;
  TFileAccessGuard access(*this);
  const std::int64_t position = Seek(0, TSeekOrigin::kCurrent);
  const std::int64_t end = Seek(0, TSeekOrigin::kEnd);
  Seek(position, TSeekOrigin::kBegin);
  return end;
}

bool TFileHandler::LockRegion(std::int64_t offset, std::int64_t length, bool lock) {
  if (file_object_ == nullptr) return false;
  return lock ? file_object_->LockRegion(offset, length) : file_object_->UnlockRegion(offset, length);
}

bool TFileHandler::EntryExists() {
  return EngineFileList().EntryExists(file_name_, in_memory_);
}

void TFileHandler::BeginAccess() {
  if (file_object_ == nullptr) return;
  if (access_depth_ > 0 && access_guard_ != &file_object_->Guard()) return;  // not ours to nest
  file_object_->Guard().lock();
  access_guard_ = &file_object_->Guard();
  ++access_depth_;
}

void TFileHandler::EndAccess() {
  if (access_depth_ == 0) return;
  access_guard_->unlock();
  if (--access_depth_ == 0) access_guard_ = nullptr;
}

std::size_t TFileHandler::ReadAt(std::int64_t offset, std::span<std::byte> buffer, bool allow_short) {
  if (file_object_ == nullptr) RaiseEngineError(kReadError, file_name_);
  TFileAccessGuard access(*this);
  Seek(offset, TSeekOrigin::kBegin);
  return Read(buffer, allow_short);
}

void TFileHandler::WriteAt(std::int64_t offset, std::span<const std::byte> buffer) {
  if (file_object_ == nullptr) RaiseEngineError(kWriteError, file_name_);
  {
    TFileAccessGuard access(*this);
    Seek(offset, TSeekOrigin::kBegin);
    Write(buffer);
  }
  if (write_back_run_ <= 0 || buffer.empty()) return;
  const std::int64_t end = offset + static_cast<std::int64_t>(buffer.size());
  if (unsynced_bytes_ > 0 && (offset > unsynced_end_ || end < unsynced_begin_)) {
    // Bytes away from those gathered: the range stays as short as what was written, for the
    // kernel walks every page of it.
    StartWriteBack(unsynced_begin_, unsynced_end_ - unsynced_begin_);
    unsynced_bytes_ = 0;
  }
  unsynced_begin_ = unsynced_bytes_ == 0 ? offset : std::min(unsynced_begin_, offset);
  unsynced_end_ = unsynced_bytes_ == 0 ? end : std::max(unsynced_end_, end);
  unsynced_bytes_ += static_cast<std::int64_t>(buffer.size());
  if (unsynced_bytes_ >= write_back_run_) {
    StartWriteBack(unsynced_begin_, unsynced_end_ - unsynced_begin_);
    unsynced_bytes_ = 0;
  }
}

void TFileHandler::StartWriteBack(std::int64_t offset, std::int64_t length) {
  if (file_object_ != nullptr) file_object_->StartWriteBack(offset, length);
}

void TFileHandler::SetWriteBackRun(std::int64_t bytes) {
  write_back_run_ = bytes;
  unsynced_bytes_ = 0;
}

}  // namespace tarvo

// TFileHandler: one engine file of an open table (the data, index and blob file handlers derive
// from it). It names the file, carries the options its table copies in before every open or
// create, and holds its opener on the shared file object of EngineFileList(). Every failure raises
// ETarvoEngineError with the handler's FileName; only LockRegion reports by its result.
//
// Positioned transfers are BeginAccess, Seek, Read or Write, EndAccess, so that openers sharing a
// file object cannot come between the seek and the transfer; ReadAt and WriteAt do exactly that.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "support/abstract_file.h"

namespace tarvo {

// The write-back run of bulk work (SetWriteBackRun).
inline constexpr std::int64_t kBulkWriteBackRun = 8 << 20;

class TFileHandler {
 public:
  explicit TFileHandler(std::string_view file_name = {}, bool in_memory = false);
  // Closes the file if it is open; never throws.
  virtual ~TFileHandler();
  TFileHandler(const TFileHandler&) = delete;
  TFileHandler& operator=(const TFileHandler&) = delete;

  virtual void Open();
  virtual void Close();
  virtual void CreateNew();
  virtual void Delete();
  virtual void Rename(const std::string& new_name);
  // Requires: open. Copies the whole file into a new file of the same kind.
  virtual void CopyTo(const std::string& destination);
  // At this opener's position. Fewer bytes than asked raise 9217 unless `allow_short`.
  virtual std::size_t Read(std::span<std::byte> buffer, bool allow_short);
  // At this opener's position; fewer bytes written raise 9218. An empty buffer cuts the file there.
  virtual void Write(std::span<const std::byte> buffer);
  virtual void Flush();

  // The new position (0 while closed). Only offset 0 is meaningful from the end.
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin);
  std::int64_t GetSize();
  // Lock (`lock` true) or release exactly this range; never waits and never raises.
  bool LockRegion(std::int64_t offset, std::int64_t length, bool lock);
  bool EntryExists();
  // Requires: open. Copies the whole of `source` to this file at its current position.
  void CopyFrom(const std::string& source);
  void BeginAccess();
  void EndAccess();

  // Seek to `offset` and transfer, as one step under the file object's guard.
  std::size_t ReadAt(std::int64_t offset, std::span<std::byte> buffer, bool allow_short);
  void WriteAt(std::int64_t offset, std::span<const std::byte> buffer);
  // Writes tried through this handler since it was made (failed ones included): whoever must
  // know whether a step reached the file compares two readings.
  std::int64_t WriteCalls() const { return write_calls_; }
  // A hint that what was written in the range may go to the disk now; never raises.
  void StartWriteBack(std::int64_t offset, std::int64_t length);
  // Bytes written through WriteAt after which the range they cover is handed to StartWriteBack
  // (0, the default: never). Bulk work writing a file that is flushed once it is done lets the
  // disk take the bytes while the work goes on, rather than all of them at the flush.
  void SetWriteBackRun(std::int64_t bytes);

  bool InMemory() const { return in_memory_; }
  void SetInMemory(bool value) { in_memory_ = value; }
  TAbstractFile* FileObject() const { return file_object_; }
  const std::string& FileName() const { return file_name_; }
  void SetFileName(std::string_view name);
  std::int32_t OpenerId() const { return opener_id_; }
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool value) { exclusive_ = value; }
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value) { read_only_ = value; }
  bool ReadOnlyFile() const { return read_only_file_; }
  bool IsOpen() const { return is_open_; }
  bool Temporary() const { return temporary_; }
  void SetTemporary(bool value) { temporary_ = value; }
  // How CreateNew makes the file (replacing one of the name by default).
  void SetCreation(TFileCreation value) { creation_ = value; }
  bool WriteThrough() const { return write_through_; }
  void SetWriteThrough(bool value) { write_through_ = value; }
  bool SequentialScan() const { return sequential_scan_; }
  void SetSequentialScan(bool value) { sequential_scan_ = value; }

 private:
  // Raises the positive code of a negated result.
  void RaiseIfFailed(int result) const;
  void CloseQuietly() noexcept;

  bool in_memory_ = false;
  TAbstractFile* file_object_ = nullptr;  // owned by the file list
  std::string file_name_;                 // at most 255 bytes
  std::int32_t opener_id_ = 0;
  bool exclusive_ = false;
  bool read_only_ = false;
  bool read_only_file_ = false;
  bool is_open_ = false;
  bool temporary_ = false;
  TFileCreation creation_ = TFileCreation::kReplace;
  bool write_through_ = false;
  bool sequential_scan_ = false;
  std::int64_t write_calls_ = 0;
  std::int64_t write_back_run_ = 0;
  std::int64_t unsynced_bytes_ = 0;  // written since the last hint, within the range below
  std::int64_t unsynced_begin_ = 0;
  std::int64_t unsynced_end_ = 0;
  std::recursive_mutex* access_guard_ = nullptr;  // the guard that BeginAccess took
  int access_depth_ = 0;                          // BeginAccess calls not yet ended
};

// Holds a handler's file object guard for one scope.
// Requires: the handler is not closed while the guard lives.
class TFileAccessGuard {
 public:
  explicit TFileAccessGuard(TFileHandler& handler) : handler_(handler) { handler_.BeginAccess(); }
  ~TFileAccessGuard() { handler_.EndAccess(); }
  TFileAccessGuard(const TFileAccessGuard&) = delete;
  TFileAccessGuard& operator=(const TFileAccessGuard&) = delete;

 private:
  TFileHandler& handler_;
};

}  // namespace tarvo

// TAbstractFile: one shared file object of the process-wide file list, behind every handler of the
// file. It holds the opener list (each opener with its own position), the options of the current
// opening and the Guard that serialises all of it; TPhysicalFile and TMemoryFile supply the
// storage. Operations return 0, an opener identifier or a count on success and a negated engine
// code on failure; they never throw.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo {

enum class TSeekOrigin : int { kBegin = 0, kCurrent = 1, kEnd = 2 };

// How a file is created: replacing whatever file has the name, or only under a free name (never
// through a symbolic link; a taken name fails with 13060), then also private to its owner.
enum class TFileCreation : int { kReplace, kNew, kNewPrivate };

// Files stay below 2 GB: the byte-range locks live at the top of that range.
inline constexpr std::int64_t kMaxFileSize = 0x7FFFFFFF;

class TAbstractFile {
 public:
  TAbstractFile() = default;
  virtual ~TAbstractFile() = default;
  TAbstractFile(const TAbstractFile&) = delete;
  TAbstractFile& operator=(const TAbstractFile&) = delete;

  // Re-entrant: a handler holds it around Seek plus Read or Write, which take it again.
  std::recursive_mutex& Guard() const { return guard_; }

  // The index of the opener in the opener list, or -1.
  int FindOpener(std::int32_t id) const;

  // Creates (or empties) the file as Creation() says and adds an opener: its identifier, or -code.
  [[nodiscard]] virtual int CreateNew() = 0;
  // Opens with the options set on the object, or joins the current opening: an identifier, or -code.
  [[nodiscard]] virtual int Open() = 0;
  // Removes the opener: 0, or -11010 when there is no such opener.
  [[nodiscard]] virtual int Close(std::int32_t id);
  // Only without openers.
  [[nodiscard]] virtual int Rename(const std::string& new_name) = 0;
  [[nodiscard]] virtual int Delete() = 0;
  // Transfers at the opener's position and advances it: the count, or -code.
  [[nodiscard]] virtual std::int64_t Read(std::int32_t id, std::span<std::byte> buffer) = 0;
  // An empty buffer cuts the file at the opener's position.
  [[nodiscard]] virtual std::int64_t Write(std::int32_t id, std::span<const std::byte> buffer) = 0;
  // The opener's new position; an unknown opener gets 0 and nothing changes.
  std::int64_t Seek(std::int32_t id, std::int64_t offset, TSeekOrigin origin);
  // Never wait: false when any opener holds an overlapping range (lock) or when no range was taken
  // with exactly this offset and length (unlock).
  [[nodiscard]] virtual bool LockRegion(std::int64_t offset, std::int64_t length) = 0;
  [[nodiscard]] virtual bool UnlockRegion(std::int64_t offset, std::int64_t length) = 0;
  // Writes the operating system's buffers to the disk: 0 or -code.
  [[nodiscard]] virtual int Flush() { return 0; }
  // A hint that the range written so far may go to the disk now (a later Flush waits less).
  virtual void StartWriteBack(std::int64_t /*offset*/, std::int64_t /*length*/) {}

  virtual bool InMemory() const = 0;
  virtual std::size_t LockCount() const = 0;

  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool value) { exclusive_ = value; }
  bool ReadOnlyOpen() const { return read_only_open_; }
  bool ReadOnlyAttribute() const { return read_only_attribute_; }
  bool Temporary() const { return temporary_; }
  void SetTemporary(bool value) { temporary_ = value; }
  bool WriteThrough() const { return write_through_; }
  void SetWriteThrough(bool value) { write_through_ = value; }
  TFileCreation Creation() const { return creation_; }
  void SetCreation(TFileCreation value) { creation_ = value; }
  bool SequentialScan() const { return sequential_scan_; }
  void SetSequentialScan(bool value) { sequential_scan_ = value; }
  // The opening only reads: a file the system will not open for writing is then opened for
  // reading, as one with the read-only attribute is.
  bool ReadingOnly() const { return reading_only_; }
  void SetReadingOnly(bool value) { reading_only_ = value; }
  const std::string& FileName() const { return file_name_; }
  void SetFileName(std::string_view name);
  std::int32_t OpenerCount() const;

 protected:
  struct TOpener {
    std::int32_t id;
    std::int64_t position;
  };

  // Requires: Guard held. Adds an opener at position 0 and returns its identifier.
  std::int32_t AddOpener();
  // Requires: Guard held. The opener's entry, or null.
  TOpener* OpenerEntry(std::int32_t id);
  // Requires: Guard held. The length of the file (for seeks from the end), or -code.
  virtual std::int64_t EndPosition() = 0;

  bool read_only_open_ = false;
  bool read_only_attribute_ = false;

 private:
  mutable std::recursive_mutex guard_;
  bool reading_only_ = false;
  bool exclusive_ = false;
  bool temporary_ = false;
  bool write_through_ = false;
  bool sequential_scan_ = false;
  TFileCreation creation_ = TFileCreation::kReplace;
  std::string file_name_;
  std::vector<TOpener> openers_;  // Guarded by guard_.
  std::int32_t last_id_ = 0;      // Guarded by guard_.
};

}  // namespace tarvo

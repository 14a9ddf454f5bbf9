// TPhysicalFile: a file on disk behind one operating-system descriptor that all openers of the
// process share. The first opener fixes the mode (read-only when the file carries the read-only
// attribute, else read/write), the share mode and the options; later openers join it. Each opener
// keeps its own position; transfers are positioned, so openers never disturb each other.
// A file opened as temporary is removed when its last opener leaves.
#pragma once

#include "support/abstract_file.h"
#include "support/platform.h"

namespace tarvo {

class TPhysicalFile : public TAbstractFile {
 public:
  TPhysicalFile() = default;
  ~TPhysicalFile() override;

  [[nodiscard]] int CreateNew() override;
  [[nodiscard]] int Open() override;
  [[nodiscard]] int Close(std::int32_t id) override;
  [[nodiscard]] int Rename(const std::string& new_name) override;
  [[nodiscard]] int Delete() override;
  [[nodiscard]] std::int64_t Read(std::int32_t id, std::span<std::byte> buffer) override;
  [[nodiscard]] std::int64_t Write(std::int32_t id, std::span<const std::byte> buffer) override;
  [[nodiscard]] bool LockRegion(std::int64_t offset, std::int64_t length) override;
  [[nodiscard]] bool UnlockRegion(std::int64_t offset, std::int64_t length) override;
  [[nodiscard]] int Flush() override;
  void StartWriteBack(std::int64_t offset, std::int64_t length) override;

  bool InMemory() const override { return false; }
  std::size_t LockCount() const override { return file_.LockedRangeCount(); }
  // Whether the descriptor is open on the file with this identity.
  bool SameFile(const TFileIdentity& identity) const;

 protected:
  std::int64_t EndPosition() override;

 private:
  TOsFile file_;           // Guarded by Guard().
  std::string disk_path_;  // The path as found on disk, whatever its case. Guarded by Guard().
  bool delete_on_close_ = false;
};

}  // namespace tarvo

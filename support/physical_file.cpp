#include "support/physical_file.h"

#include "errors/engine_error.h"
#include "support/platform_names.h"

namespace tarvo {

namespace {

int Failure(TOsError error) {
  return -static_cast<int>(EngineCodeFromOsError(error));
}

// The existing file that `name` means (see ResolveFileName).
TOsError ExistingPath(const std::string& name, std::string& path) {
  return ResolveFileName(name, path);
}

}  // namespace

TPhysicalFile::~TPhysicalFile() {
  std::lock_guard lock(Guard());
  file_.Close();
}

bool TPhysicalFile::SameFile(const TFileIdentity& identity) const {
  std::lock_guard lock(Guard());
  return file_.IsOpen() && file_.Identity() == identity;
}

int TPhysicalFile::CreateNew() {
  std::lock_guard lock(Guard());
  if (OpenerCount() > 0) return Failure(kOsSharingViolation);
  // Replaces the file that the name means on disk, whatever the case of its name; a new file
  // needs a name that no entry has in any case.
  std::string path;
  TOsError error = ExistingPath(FileName(), path);
  if (error == kOsFileNotFound) {
    path = FileName();
  } else if (error == kOsOk && Creation() != TFileCreation::kReplace) {
    return -static_cast<int>(kTableExists);
  } else if (error != kOsOk) {
    return Failure(error);
  }
  read_only_open_ = false;
  read_only_attribute_ = false;
  TOsOpenOptions options;
  options.write_through = WriteThrough();
  options.sequential_scan = SequentialScan();
  options.create_new = Creation() != TFileCreation::kReplace;
  options.owner_only = Creation() == TFileCreation::kNewPrivate;
  if ((error = file_.Create(path, options)) != kOsOk)
    return options.create_new && error == kOsFileExists ? -static_cast<int>(kTableExists) : Failure(error);
  disk_path_ = path;
  delete_on_close_ = false;  // a created temporary file stays until it is opened as one
  return AddOpener();
}

int TPhysicalFile::Open() {
  std::lock_guard lock(Guard());
  // 1. Later openers share the descriptor of the first.
  if (OpenerCount() > 0) return AddOpener();
  // 2. The mode follows the read-only attribute as it is now.
  std::string path;
  if (const TOsError error = ExistingPath(FileName(), path); error != kOsOk) return Failure(error);
  read_only_attribute_ = false;
  bool read_only = false;
  if (const TOsError error = OsReadOnlyAttribute(path, read_only); error != kOsOk) return Failure(error);
  read_only_attribute_ = read_only;
  read_only_open_ = read_only;
  // 3. Open with the share mode and options.
  TOsOpenOptions options;
  options.read_only = read_only_open_;
  options.exclusive = Exclusive();
  options.write_through = WriteThrough();
  options.sequential_scan = SequentialScan();
  TOsError error = file_.Open(path, options);
  if ((error == kOsAccessDenied || error == kOsWriteProtect) && !options.read_only && ReadingOnly()) {
    // Not ours to write (another user's file, a read-only file system), and only read: read it
    // as a file with the read-only attribute, which its table then treats as such.
    options.read_only = true;
    if ((error = file_.Open(path, options)) == kOsOk) read_only_open_ = read_only_attribute_ = true;
  }
  if (error != kOsOk) return Failure(error);
  disk_path_ = path;
  delete_on_close_ = Temporary();
  // 4. The first opener.
  return AddOpener();
}

int TPhysicalFile::Close(std::int32_t id) {
  std::lock_guard lock(Guard());
  const int result = TAbstractFile::Close(id);
  if (result != 0 || OpenerCount() > 0) return result;
  file_.Close();
  if (delete_on_close_) {
    // Once our descriptor is gone; a file that another process still holds stays.
    (void)OsDeleteFile(disk_path_);
    delete_on_close_ = false;
  }
  return 0;
}

int TPhysicalFile::Rename(const std::string& new_name) {
  std::lock_guard lock(Guard());
  if (OpenerCount() > 0) return Failure(kOsSharingViolation);
  std::string from;
  if (const TOsError error = ExistingPath(FileName(), from); error != kOsOk) return Failure(error);
  // The target must not exist under any case of its name, unless it is this very file
  // (a change of case only).
  std::string existing;
  const TOsError found = ResolveFileName(new_name, existing);
  if (found == kOsAmbiguousName) return Failure(kOsAlreadyExists);
  if (found == kOsOk) {
    TFileIdentity source{};
    TFileIdentity target{};
    if (OsPathIdentity(from, source) != kOsOk || OsPathIdentity(existing, target) != kOsOk ||
        !(source == target)) {
      return Failure(kOsAlreadyExists);
    }
  }
  if (const TOsError error = OsMoveFile(from, new_name); error != kOsOk) return Failure(error);
  SetFileName(new_name);
  disk_path_.clear();
  return 0;
}

int TPhysicalFile::Delete() {
  std::lock_guard lock(Guard());
  if (OpenerCount() > 0) return Failure(kOsSharingViolation);
  std::string path;
  if (const TOsError error = ExistingPath(FileName(), path); error != kOsOk) return Failure(error);
  if (const TOsError error = OsDeleteFile(path); error != kOsOk) return Failure(error);
  disk_path_.clear();
  return 0;
}

std::int64_t TPhysicalFile::Read(std::int32_t id, std::span<std::byte> buffer) {
  std::lock_guard lock(Guard());
  TOpener* opener = OpenerEntry(id);
  if (opener == nullptr) return Failure(kOsInvalidHandle);
  if (opener->position < 0) return 0;
  std::size_t done = 0;
  const TOsError error = file_.ReadAt(opener->position, buffer, done);
  opener->position += static_cast<std::int64_t>(done);
  if (error != kOsOk) return Failure(error);
  return static_cast<std::int64_t>(done);
}

std::int64_t TPhysicalFile::Write(std::int32_t id, std::span<const std::byte> buffer) {
  std::lock_guard lock(Guard());
  TOpener* opener = OpenerEntry(id);
  if (opener == nullptr) return Failure(kOsInvalidHandle);
  const std::int64_t position = opener->position;
  if (position < 0) return Failure(kOsInvalidParameter);
  if (static_cast<std::int64_t>(buffer.size()) > kMaxFileSize - position) return Failure(kOsDiskFull);
  if (buffer.empty()) {
    const TOsError error = file_.Truncate(position);
    return error == kOsOk ? 0 : Failure(error);
  }
  std::size_t done = 0;
  const TOsError error = file_.WriteAt(position, buffer, done);
  opener->position += static_cast<std::int64_t>(done);
  if (error != kOsOk) return Failure(error);
  return static_cast<std::int64_t>(done);
}

bool TPhysicalFile::LockRegion(std::int64_t offset, std::int64_t length) {
  std::lock_guard lock(Guard());
  return file_.LockRange(offset, length) == kOsOk;
}

bool TPhysicalFile::UnlockRegion(std::int64_t offset, std::int64_t length) {
  std::lock_guard lock(Guard());
  return file_.UnlockRange(offset, length) == kOsOk;
}

int TPhysicalFile::Flush() {
  std::lock_guard lock(Guard());
  const TOsError error = file_.Flush();
  return error == kOsOk ? 0 : Failure(error);
}

void TPhysicalFile::StartWriteBack(std::int64_t offset, std::int64_t length) {
  std::lock_guard lock(Guard());
  file_.StartWriteBack(offset, length);
}

std::int64_t TPhysicalFile::EndPosition() {
  std::int64_t size = 0;
  const TOsError error = file_.Size(size);
  return error == kOsOk ? size : Failure(error);
}

}  // namespace tarvo

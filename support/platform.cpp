#include "support/platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "support/fault_injector.h"
#include "support/power_loss.h"

namespace tarvo {

namespace {

std::atomic<std::size_t> open_file_count{0};

// Asks the fault injector; on a planned failure sets errno and returns true.
bool Injected(TFaultOp op) {
  int error_number = 0;
  if (!TFaultInjector::ShouldFail(op, error_number)) return false;
  errno = error_number;
  return true;
}

bool IsReadOnlyMode(mode_t mode) {
  return (mode & 0222) == 0;
}

std::string ParentDirectory(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

int OpenNoInterrupt(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// The calls below change what is on the disk; each reports to the power-loss recorder while it
// runs (and a sync is then only recorded: the simulation decides what a cut keeps).

int SyncFile(int fd, bool data_only) {
  if (TPowerLoss::Recording()) {
    TPowerLoss::Synced(fd);
    return 0;
  }
  return data_only ? ::fdatasync(fd) : ::fsync(fd);
}

// Opens with O_CREAT added to `flags`.
int OpenCreating(const char* path, int flags, mode_t mode) {
  const bool recording = TPowerLoss::Recording();
  struct stat st {};
  const bool existed = recording && ::lstat(path, &st) == 0;
  if (recording) TPowerLoss::BeforeEntryChange(path);
  const int fd = OpenNoInterrupt(path, flags | O_CREAT, mode);
  if (fd >= 0 && recording) {
    if (!existed) TPowerLoss::Created(path);
    if (existed && (flags & O_TRUNC) != 0) TPowerLoss::Truncated(fd, 0);
  }
  return fd;
}

int Unlink(const char* path) {
  const bool recording = TPowerLoss::Recording();
  if (recording) TPowerLoss::BeforeEntryChange(path);
  const int rc = ::unlink(path);
  if (rc == 0 && recording) TPowerLoss::Removed(path);
  return rc;
}

int RenameNoReplace(const char* from, const char* to) {
  const bool recording = TPowerLoss::Recording();
  if (recording) {
    TPowerLoss::BeforeEntryChange(to);  // its directory as it was
    TPowerLoss::BeforeEntryChange(from);
  }
  const int rc = ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
  if (rc == 0 && recording) TPowerLoss::Renamed(from, to);
  return rc;
}

int TruncateFile(int fd, off_t size) {
  const bool recording = TPowerLoss::Recording();
  if (recording) TPowerLoss::BeforeChange(fd);
  const int rc = ::ftruncate(fd, size);
  if (rc == 0 && recording) TPowerLoss::Truncated(fd, size);
  return rc;
}

// pwrite, without retrying.
ssize_t WriteOnce(int fd, const std::byte* data, std::size_t size, off_t offset) {
  const bool recording = TPowerLoss::Recording();
  if (recording) TPowerLoss::BeforeChange(fd);
  const ssize_t n = ::pwrite(fd, data, size, offset);
  if (n > 0 && recording) TPowerLoss::Wrote(fd, offset, std::span(data, static_cast<std::size_t>(n)));
  return n;
}

// copy_file_range, without retrying.
ssize_t CopyRangeOnce(int from_fd, off_t& in_offset, int to_fd, off_t& out_offset, std::size_t size) {
  const bool recording = TPowerLoss::Recording();
  if (recording) TPowerLoss::BeforeChange(to_fd);
  const off_t at = out_offset;
  const off_t from = in_offset;
  const ssize_t n = ::copy_file_range(from_fd, &in_offset, to_fd, &out_offset, size, 0);
  if (n > 0 && recording) {
    std::vector<std::byte> copied(static_cast<std::size_t>(n));
    if (::pread(from_fd, copied.data(), copied.size(), from) == n) TPowerLoss::Wrote(to_fd, at, copied);
  }
  return n;
}

// Takes the share-mode lock on `fd`; errno on failure.
bool TakeShareLock(int fd, bool exclusive) {
  struct flock lock {};
  lock.l_type = exclusive ? F_WRLCK : F_RDLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = kShareLockOffset;
  lock.l_len = 1;
  return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

bool SetRangeLock(int fd, short type, std::int64_t offset, std::int64_t length) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = offset;
  lock.l_len = length;  // never 0: that would reach to the end of all offsets
  return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// Opens `path` to find out whether someone holds it open (the exclusive share lock is refused
// then). On success the caller owns the returned descriptor.
TOsError OpenForRemoval(const std::string& path, const struct stat& st, int& fd) {
  const bool read_only = IsReadOnlyMode(st.st_mode);
  fd = OpenNoInterrupt(path.c_str(), (read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC);
  if (fd < 0) return OsErrorFromErrno(errno, TErrnoContext::kGeneral, path);
  // A read-only descriptor can only take the shared form; read-only files are never written anyway.
  if (!TakeShareLock(fd, !read_only)) {
    const int saved = errno;
    ::close(fd);
    fd = -1;
    return OsErrorFromErrno(saved, TErrnoContext::kShareLock, path);
  }
  return kOsOk;
}

// Gives the open file `fd` the owner and group of `model` as far as we may (only root may give a
// file away; an owner may still choose a group of its own), and always its permission bits.
TOsError GiveOwnerAndMode(int fd, const struct stat& model) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return OsErrorFromErrno(errno);
  if ((st.st_uid != model.st_uid || st.st_gid != model.st_gid) &&
      ::fchown(fd, model.st_uid, model.st_gid) != 0) {
    if (errno != EPERM) return OsErrorFromErrno(errno);
    if (st.st_gid != model.st_gid && ::fchown(fd, static_cast<uid_t>(-1), model.st_gid) != 0 && errno != EPERM)
      return OsErrorFromErrno(errno);
  }
  if (::fchmod(fd, model.st_mode & 07777) != 0) return OsErrorFromErrno(errno);
  return kOsOk;
}

std::string WithoutTrailingSlash(const std::string& path) {
  std::string cut = path;
  while (cut.size() > 1 && cut.back() == '/') cut.pop_back();
  return cut;
}

// Copies every byte of `from_fd` to `to_fd` from offset 0: in the kernel where it can, through a
// buffer where it cannot (another file system type, an old kernel). Each step counts as a write.
TOsError CopyContents(int from_fd, int to_fd) {
  constexpr std::size_t kStep = 8u << 20;
  off_t in_offset = 0;
  off_t out_offset = 0;
  for (;;) {
    if (Injected(TFaultOp::kWrite)) return OsErrorFromErrno(errno);
    const ssize_t n = CopyRangeOnce(from_fd, in_offset, to_fd, out_offset, kStep);
    if (n == 0) return kOsOk;
    if (n > 0) continue;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
      return OsErrorFromErrno(errno);
    break;
  }
  std::vector<std::byte> buffer(1u << 20);
  for (off_t offset = in_offset;;) {
    const ssize_t got = ::pread(from_fd, buffer.data(), buffer.size(), offset);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return OsErrorFromErrno(errno);
    if (got == 0) return kOsOk;
    for (ssize_t put = 0; put < got;) {
      const ssize_t n =
          Injected(TFaultOp::kWrite)
              ? -1
              : WriteOnce(to_fd, buffer.data() + put, static_cast<std::size_t>(got - put), offset + put);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return OsErrorFromErrno(errno);
      put += n;
    }
    offset += got;
  }
}

// Copies the open source `from_fd` to a new file `to` (never replacing one) and makes it durable.
// On failure nothing of `to` is left.
TOsError CopyToNewFile(int from_fd, const struct stat& st, const std::string& to) {
  if (S_ISDIR(st.st_mode)) return kOsAccessDenied;
  const int to_fd = OpenCreating(to.c_str(), O_WRONLY | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (to_fd < 0) return OsErrorFromErrno(errno, TErrnoContext::kMove, to);
  TOsError error = CopyContents(from_fd, to_fd);
  if (error == kOsOk) error = GiveOwnerAndMode(to_fd, st);
  if (error == kOsOk && (Injected(TFaultOp::kFlush) || SyncFile(to_fd, false) != 0))
    error = OsErrorFromErrno(errno);
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (error == kOsOk && ::futimens(to_fd, times) != 0) error = OsErrorFromErrno(errno);
  if (::close(to_fd) != 0 && error == kOsOk) error = OsErrorFromErrno(errno);
  if (error == kOsOk) error = OsSyncDirectory(ParentDirectory(to));
  if (error != kOsOk) Unlink(to.c_str());
  return error;
}

}  // namespace

// --- TOsFile ---

namespace {

// A directory, FIFO, socket or device where a table's file should be: access denied, with the
// system's reason for the tool to show (what open() itself reports for a directory or a socket).
TOsError NotARegularFile(mode_t mode) {
  SetLastSystemErrorNumber(S_ISDIR(mode) ? EISDIR : ENXIO);
  return kOsAccessDenied;
}

}  // namespace

TOsError TOsFile::Adopt(int fd, const std::string& path, const TOsOpenOptions& options, bool exclusive) {
  struct stat st {};
  TOsError error = kOsOk;
  if (::fstat(fd, &st) != 0) {
    error = OsErrorFromErrno(errno, TErrnoContext::kGeneral, path);
  } else if (!S_ISREG(st.st_mode)) {
    error = kOsAccessDenied;
  } else if (!TakeShareLock(fd, exclusive && !options.read_only)) {
    error = OsErrorFromErrno(errno, TErrnoContext::kShareLock, path);
  }
  if (error != kOsOk) {
    ::close(fd);
    return error;
  }
  // A hint only: its failure changes nothing.
  (void)::posix_fadvise(fd, 0, 0, options.sequential_scan ? POSIX_FADV_SEQUENTIAL : POSIX_FADV_RANDOM);
  fd_ = fd;
  read_only_ = options.read_only;
  identity_ = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  open_file_count.fetch_add(1);
  return kOsOk;
}

TOsError TOsFile::Open(const std::string& path, const TOsOpenOptions& options) {
  if (IsOpen()) return kOsInvalidHandle;
  if (Injected(TFaultOp::kOpen)) return OsErrorFromErrno(errno, TErrnoContext::kGeneral, path);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return OsErrorFromErrno(errno, TErrnoContext::kGeneral, path);
  // Before the open: opening a FIFO for reading would wait for a writer.
  if (!S_ISREG(st.st_mode)) return NotARegularFile(st.st_mode);
  if (!options.read_only && IsReadOnlyMode(st.st_mode)) return kOsAccessDenied;
  int flags = (options.read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC;
  if (options.write_through) flags |= O_DSYNC;
  const int fd = OpenNoInterrupt(path.c_str(), flags);
  if (fd < 0) return OsErrorFromErrno(errno, TErrnoContext::kGeneral, path);
  return Adopt(fd, path, options, options.exclusive);
}

TOsError TOsFile::Create(const std::string& path, const TOsOpenOptions& options) {
  if (IsOpen()) return kOsInvalidHandle;
  if (Injected(TFaultOp::kOpen)) return OsErrorFromErrno(errno, TErrnoContext::kGeneral, path);
  TOsOpenOptions create_options = options;
  create_options.read_only = false;
  if (options.create_new) {
    // O_EXCL fails on every existing entry, a dangling link included, and never follows one.
    int flags = O_RDWR | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    if (options.write_through) flags |= O_DSYNC;
    const int fd = OpenCreating(path.c_str(), flags, options.owner_only ? 0600 : 0666);
    if (fd < 0) return OsErrorFromErrno(errno, TErrnoContext::kGeneral, path);
    if (const TOsError error = Adopt(fd, path, create_options, true); error != kOsOk) {
      Unlink(path.c_str());  // ours: made just now
      return error;
    }
    return kOsOk;
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) return NotARegularFile(st.st_mode);
    if (IsReadOnlyMode(st.st_mode)) return kOsAccessDenied;
  } else if (errno != ENOENT) {
    return OsErrorFromErrno(errno, TErrnoContext::kGeneral, path);
  }
  int flags = O_RDWR | O_CLOEXEC;
  if (options.write_through) flags |= O_DSYNC;
  const int fd = OpenCreating(path.c_str(), flags, options.owner_only ? 0600 : 0666);
  if (fd < 0) return OsErrorFromErrno(errno, TErrnoContext::kGeneral, path);
  if (const TOsError error = Adopt(fd, path, create_options, true); error != kOsOk) return error;
  // Emptied only once nobody else holds it.
  if (TruncateFile(fd_, 0) != 0) {
    const TOsError error = OsErrorFromErrno(errno);
    Close();
    return error;
  }
  return kOsOk;
}

void TOsFile::Close() {
  if (fd_ < 0) return;
  ::close(fd_);  // releases the share lock and every range lock of this descriptor
  fd_ = -1;
  open_file_count.fetch_sub(1);
  std::lock_guard lock(locks_guard_);
  locks_.Clear();
}

TOsError TOsFile::ReadAt(std::int64_t offset, std::span<std::byte> buffer, std::size_t& done) {
  done = 0;
  if (fd_ < 0) return kOsInvalidHandle;
  if (offset < 0) return kOsInvalidParameter;
  if (Injected(TFaultOp::kRead)) return OsErrorFromErrno(errno);
  while (done < buffer.size()) {
    const ssize_t n =
        ::pread(fd_, buffer.data() + done, buffer.size() - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return OsErrorFromErrno(errno);
    if (n == 0) break;  // end of file
    done += static_cast<std::size_t>(n);
  }
  return kOsOk;
}

TOsError TOsFile::WriteAt(std::int64_t offset, std::span<const std::byte> buffer, std::size_t& done) {
  done = 0;
  if (fd_ < 0) return kOsInvalidHandle;
  if (read_only_) return kOsAccessDenied;
  if (offset < 0) return kOsInvalidParameter;
  if (Injected(TFaultOp::kWrite)) return OsErrorFromErrno(errno);
  while (done < buffer.size()) {
    const ssize_t n = WriteOnce(fd_, buffer.data() + done, buffer.size() - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return OsErrorFromErrno(errno);
    if (n == 0) return kOsDiskFull;
    done += static_cast<std::size_t>(n);
  }
  return kOsOk;
}

TOsError TOsFile::Size(std::int64_t& size) const {
  size = 0;
  if (fd_ < 0) return kOsInvalidHandle;
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return OsErrorFromErrno(errno);
  size = st.st_size;
  return kOsOk;
}

TOsError TOsFile::Truncate(std::int64_t size) {
  if (fd_ < 0) return kOsInvalidHandle;
  if (read_only_) return kOsAccessDenied;
  if (size < 0) return kOsInvalidParameter;
  if (Injected(TFaultOp::kWrite)) return OsErrorFromErrno(errno);
  if (TruncateFile(fd_, size) != 0) return OsErrorFromErrno(errno);
  return kOsOk;
}

TOsError TOsFile::Flush() {
  if (fd_ < 0) return kOsInvalidHandle;
  if (Injected(TFaultOp::kFlush)) return OsErrorFromErrno(errno);
  if (SyncFile(fd_, true) != 0) return OsErrorFromErrno(errno);
  return kOsOk;
}

void TOsFile::StartWriteBack(std::int64_t offset, std::int64_t length) {
  if (fd_ < 0 || offset < 0 || length <= 0) return;
  (void)::sync_file_range(fd_, offset, length, SYNC_FILE_RANGE_WRITE);
}

TOsError TOsFile::LockRange(std::int64_t offset, std::int64_t length) {
  if (fd_ < 0) return kOsInvalidHandle;
  if (offset < 0 || length < 1 || length > kShareLockOffset - offset) return kOsInvalidParameter;
  std::lock_guard lock(locks_guard_);
  if (locks_.Overlaps(offset, length)) return kOsLockViolation;
  if (Injected(TFaultOp::kLock)) return OsErrorFromErrno(errno, TErrnoContext::kRangeLock);
  // A descriptor for reading can only take the shared form; read-only files are never locked by
  // the engine, so this merely keeps such a call from failing with a bad-descriptor error.
  if (!SetRangeLock(fd_, read_only_ ? F_RDLCK : F_WRLCK, offset, length)) {
    return OsErrorFromErrno(errno, TErrnoContext::kRangeLock);
  }
  if (!locks_.Add(offset, length)) {
    SetRangeLock(fd_, F_UNLCK, offset, length);
    return kOsLockViolation;
  }
  return kOsOk;
}

TOsError TOsFile::UnlockRange(std::int64_t offset, std::int64_t length) {
  if (fd_ < 0) return kOsInvalidHandle;
  std::lock_guard lock(locks_guard_);
  if (!locks_.Contains(offset, length)) return kOsNotLocked;
  if (Injected(TFaultOp::kLock)) return OsErrorFromErrno(errno, TErrnoContext::kRangeLock);
  if (!SetRangeLock(fd_, F_UNLCK, offset, length)) return OsErrorFromErrno(errno, TErrnoContext::kRangeLock);
  (void)locks_.Remove(offset, length);
  return kOsOk;
}

std::size_t TOsFile::LockedRangeCount() const {
  std::lock_guard lock(locks_guard_);
  return locks_.Count();
}

std::size_t OsOpenFileCount() {
  return open_file_count.load();
}

// --- Attributes and names on disk ---

TOsError OsReadOnlyAttribute(const std::string& path, bool& read_only) {
  read_only = false;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return OsErrorFromErrno(errno, TErrnoContext::kGeneral, path);
  read_only = IsReadOnlyMode(st.st_mode);
  return kOsOk;
}

TOsError OsSetReadOnlyAttribute(const std::string& path, bool read_only) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return OsErrorFromErrno(errno, TErrnoContext::kGeneral, path);
  const mode_t mode = read_only ? (st.st_mode & ~mode_t{0222}) : (st.st_mode | S_IWUSR);
  if (::chmod(path.c_str(), mode & 07777) != 0) return OsErrorFromErrno(errno, TErrnoContext::kGeneral, path);
  return kOsOk;
}

TOsError OsPathIdentity(const std::string& path, TFileIdentity& identity) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return OsErrorFromErrno(errno, TErrnoContext::kGeneral, path);
  identity = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  return kOsOk;
}

TOsError OsRegularFileIdentity(const std::string& path, TFileIdentity& identity) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return OsErrorFromErrno(errno, TErrnoContext::kGeneral, path);
  if (!S_ISREG(st.st_mode)) return kOsAccessDenied;
  identity = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  return kOsOk;
}

TOsError OsTakeOwnerAndMode(const std::string& path, const std::string& model) {
  struct stat model_st {};
  if (::stat(model.c_str(), &model_st) != 0) return OsErrorFromErrno(errno, TErrnoContext::kGeneral, model);
  const int fd = OpenNoInterrupt(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ELOOP ? kOsAccessDenied : OsErrorFromErrno(errno, TErrnoContext::kGeneral, path);
  struct stat st {};
  TOsError error = kOsOk;
  if (::fstat(fd, &st) != 0) {
    error = OsErrorFromErrno(errno);
  } else if (!S_ISREG(st.st_mode)) {
    error = kOsAccessDenied;
  } else {
    error = GiveOwnerAndMode(fd, model_st);
  }
  if (error == kOsOk && (Injected(TFaultOp::kFlush) || SyncFile(fd, false) != 0)) error = OsErrorFromErrno(errno);
  ::close(fd);
  return error;
}

bool OsPrivateDirectory(const std::string& path) {
  struct stat st {};
  // Without its trailing slash: lstat would follow a link to the directory otherwise.
  return ::lstat(WithoutTrailingSlash(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
         st.st_uid == ::geteuid() && (st.st_mode & 022) == 0;
}

TOsError OsCreatePrivateDirectory(const std::string& path) {
  const std::string name = WithoutTrailingSlash(path);
  const bool recording = TPowerLoss::Recording();
  if (recording) TPowerLoss::BeforeEntryChange(name);
  if (::mkdir(name.c_str(), 0700) != 0) return OsErrorFromErrno(errno, TErrnoContext::kGeneral, name);
  if (recording) TPowerLoss::Created(name);
  return kOsOk;
}

TOsError OsCreateFreshPrivateDirectory(const std::string& prefix, std::string& made) {
  made.clear();
  std::string name = prefix + "XXXXXX";
  const bool recording = TPowerLoss::Recording();
  if (recording) TPowerLoss::BeforeEntryChange(name);  // its directory as it was
  if (::mkdtemp(name.data()) == nullptr) return OsErrorFromErrno(errno, TErrnoContext::kGeneral, prefix);
  if (recording) TPowerLoss::Created(name);
  made = std::move(name);
  return kOsOk;
}

bool OsFileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool OsDirectoryExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TOsError OsDeleteFile(const std::string& path) {
  if (Injected(TFaultOp::kDelete)) return OsErrorFromErrno(errno, TErrnoContext::kGeneral, path);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return OsErrorFromErrno(errno, TErrnoContext::kGeneral, path);
  if (S_ISDIR(st.st_mode) || IsReadOnlyMode(st.st_mode)) return kOsAccessDenied;
  if (!S_ISREG(st.st_mode)) {
    // A fifo, a socket or a device (or a link to one) is removed as an entry and never opened: an
    // open can block or act on the device. Nobody holds a share lock on such a thing anyway.
    if (Unlink(path.c_str()) != 0) return OsErrorFromErrno(errno, TErrnoContext::kGeneral, path);
    return kOsOk;
  }
  // A symbolic link goes as a link: unlink never follows it, the file it points to stays.
  int fd = -1;
  if (const TOsError error = OpenForRemoval(path, st, fd); error != kOsOk) return error;
  TOsError error = kOsOk;
  if (Unlink(path.c_str()) != 0) error = OsErrorFromErrno(errno, TErrnoContext::kGeneral, path);
  ::close(fd);
  return error;
}

TOsError OsDeleteHeldFile(const std::string& path, const TOsFile& held) {
  if (!held.IsOpen()) return kOsInvalidHandle;
  if (Injected(TFaultOp::kDelete)) return OsErrorFromErrno(errno, TErrnoContext::kGeneral, path);
  TFileIdentity identity;
  if (const TOsError error = OsPathIdentity(path, identity); error != kOsOk) return error;
  if (!(identity == held.Identity())) return kOsFileNotFound;
  if (Unlink(path.c_str()) != 0) return OsErrorFromErrno(errno, TErrnoContext::kGeneral, path);
  return kOsOk;
}

TOsError OsCopyHeldFile(const std::string& from, const std::string& to) {
  if (Injected(TFaultOp::kOpen)) return OsErrorFromErrno(errno, TErrnoContext::kGeneral, from);
  const int from_fd = OpenNoInterrupt(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (from_fd < 0) return OsErrorFromErrno(errno, TErrnoContext::kGeneral, from);
  struct stat from_st {};
  struct stat to_st {};
  int to_fd = -1;
  if (::fstat(from_fd, &from_st) != 0 ||
      (::lstat(to.c_str(), &to_st) == 0 && !S_ISDIR(to_st.st_mode) && Unlink(to.c_str()) != 0) ||
      (to_fd = OpenCreating(to.c_str(), O_WRONLY | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)) < 0) {
    const TOsError error = OsErrorFromErrno(errno, TErrnoContext::kGeneral, to);
    ::close(from_fd);
    return error;
  }
  TOsError error = CopyContents(from_fd, to_fd);
  if (error == kOsOk) error = GiveOwnerAndMode(to_fd, from_st);
  if (error == kOsOk && (Injected(TFaultOp::kFlush) || SyncFile(to_fd, false) != 0))
    error = OsErrorFromErrno(errno);
  if (::close(to_fd) != 0 && error == kOsOk) error = OsErrorFromErrno(errno);
  ::close(from_fd);
  if (error != kOsOk) Unlink(to.c_str());
  return error;
}

TOsError OsMoveFile(const std::string& from, const std::string& to) {
  if (Injected(TFaultOp::kRename)) return OsErrorFromErrno(errno, TErrnoContext::kMove, from);
  struct stat st {};
  if (::stat(from.c_str(), &st) != 0) return OsErrorFromErrno(errno, TErrnoContext::kGeneral, from);
  if (S_ISDIR(st.st_mode)) {
    if (RenameNoReplace(from.c_str(), to.c_str()) != 0) {
      return OsErrorFromErrno(errno, TErrnoContext::kMove, to);
    }
    return kOsOk;
  }
  int fd = -1;
  if (const TOsError error = OpenForRemoval(from, st, fd); error != kOsOk) return error;
  TOsError error = kOsOk;
  if (RenameNoReplace(from.c_str(), to.c_str()) != 0) {
    if (errno != EXDEV) {
      error = OsErrorFromErrno(errno, TErrnoContext::kMove, to);
    } else {
      error = CopyToNewFile(fd, st, to);
      if (error == kOsOk && Unlink(from.c_str()) != 0) {
        // Keep exactly one of the two: the source stays, the copy goes.
        error = OsErrorFromErrno(errno, TErrnoContext::kGeneral, from);
        Unlink(to.c_str());
      }
    }
  }
  ::close(fd);
  return error;
}

TOsError OsSyncDirectory(const std::string& directory) {
  const int fd = OpenNoInterrupt(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return OsErrorFromErrno(errno, TErrnoContext::kGeneral, directory);
  TOsError error = kOsOk;
  if (TPowerLoss::Recording()) {
    TPowerLoss::DirectorySynced(directory);
  } else if (::fsync(fd) != 0 && errno != EINVAL) {
    error = OsErrorFromErrno(errno);
  }
  ::close(fd);
  return error;
}

TOsError OsCreateDirectory(const std::string& path) {
  const bool recording = TPowerLoss::Recording();
  if (recording) TPowerLoss::BeforeEntryChange(path);
  if (::mkdir(path.c_str(), 0777) != 0) {
    if (errno == EEXIST && OsDirectoryExists(path)) return kOsOk;
    return OsErrorFromErrno(errno, TErrnoContext::kGeneral, path);
  }
  if (recording) TPowerLoss::Created(path);
  return kOsOk;
}

bool OsRemoveEmptyDirectory(const std::string& path) {
  const bool recording = TPowerLoss::Recording();
  if (recording) TPowerLoss::BeforeEntryChange(path);
  if (::rmdir(path.c_str()) != 0) return false;
  if (recording) TPowerLoss::Removed(path);
  return true;
}

// --- Process, time and threads ---

std::string OsExecutablePath() {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    // A result that fills the buffer may have been cut: try again with more room.
    if (static_cast<std::size_t>(n) < buffer.size())
      return std::string(buffer.data(), static_cast<std::size_t>(n));
    if (buffer.size() >= (std::size_t{1} << 20)) return {};
    buffer.resize(buffer.size() * 2);
  }
}

std::uint32_t OsTickCount() {
  struct timespec now {};
  ::clock_gettime(CLOCK_BOOTTIME, &now);
  const std::uint64_t ms =
      static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}

std::uint32_t OsThreadId() {
  return static_cast<std::uint32_t>(::gettid());
}

void OsSleep(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace tarvo

// The platform layer: the only code of the engine that calls the operating system's file, time and
// thread services. Everything above it works with TOsFile and these functions and gets failures as
// TOsError numbers (platform_errors.h).
//
// Sharing between processes: an open file takes an open-file-description lock on the single byte
// at kShareLockOffset, shared (read lock) or exclusive (write lock), once, right after opening; it
// lives exactly as long as the descriptor, so a killed process releases it. Byte-range locks go
// through TOsFile's own table first (overlap fails even for the same thread, release names the
// exact range), then through an open-file-description write lock for the other processes.
// Read-only means that no write bit is set, whoever we are: this layer refuses to open such a file
// for writing, to replace it or to delete it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>

#include "support/lock_table.h"
#include "support/platform_errors.h"

namespace tarvo {

// The byte whose lock carries an opener's share mode; beyond every byte-range lock.
inline constexpr std::int64_t kShareLockOffset = 0x100000000;

// A file's identity on this machine, whatever name leads to it.
struct TFileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool operator==(const TFileIdentity&) const = default;
};

struct TOsOpenOptions {
  bool read_only = false;        // descriptor for reading only; its share lock is then always shared
  bool exclusive = false;        // refuse every other opener, here and in other processes
  bool write_through = false;    // each write reaches the disk before it returns
  bool sequential_scan = false;  // hint: read front to back (else: random access)
  // Create only: the name must be free (no file, no link, in any case of the name: kOsFileExists),
  // and nothing is ever created or written through a symbolic link.
  bool create_new = false;
  bool owner_only = false;  // create only: a new file readable and writable by its owner alone
};

// One open descriptor with its share lock and the byte ranges locked through it.
class TOsFile {
 public:
  TOsFile() = default;
  ~TOsFile() { Close(); }
  TOsFile(const TOsFile&) = delete;
  TOsFile& operator=(const TOsFile&) = delete;

  // Opens an existing regular file. kOsSharingViolation when another opener's share mode refuses us.
  [[nodiscard]] TOsError Open(const std::string& path, const TOsOpenOptions& options);
  // Creates the file, or empties an existing one, opened for reading and writing and exclusively.
  // A read-only file is not replaced (kOsAccessDenied). `options.exclusive` and `read_only` are ignored.
  // With `options.create_new` an existing entry of the name is never touched (kOsFileExists).
  [[nodiscard]] TOsError Create(const std::string& path, const TOsOpenOptions& options);
  // Releases the descriptor and with it the share lock and every range lock.
  void Close();

  bool IsOpen() const { return fd_ >= 0; }
  bool ReadOnly() const { return read_only_; }
  const TFileIdentity& Identity() const { return identity_; }

  // Transfers at an absolute offset (no shared file position). `done` is what was transferred;
  // a read stops early only at the end of the file or on failure.
  [[nodiscard]] TOsError ReadAt(std::int64_t offset, std::span<std::byte> buffer, std::size_t& done);
  [[nodiscard]] TOsError WriteAt(std::int64_t offset, std::span<const std::byte> buffer, std::size_t& done);
  [[nodiscard]] TOsError Size(std::int64_t& size) const;
  [[nodiscard]] TOsError Truncate(std::int64_t size);
  // Writes the file's data to the disk.
  [[nodiscard]] TOsError Flush();
  // Lets the disk start writing the range now rather than at the next flush; a hint, which
  // neither waits nor fails.
  void StartWriteBack(std::int64_t offset, std::int64_t length);

  // Never waits: kOsLockViolation when any other holder has an overlapping range, and kOsNotLocked
  // when an unlock names no range taken with exactly that offset and length. Ranges must lie in
  // [0, kShareLockOffset) and have a positive length (else kOsInvalidParameter).
  [[nodiscard]] TOsError LockRange(std::int64_t offset, std::int64_t length);
  [[nodiscard]] TOsError UnlockRange(std::int64_t offset, std::int64_t length);
  std::size_t LockedRangeCount() const;

 private:
  [[nodiscard]] TOsError Adopt(int fd, const std::string& path, const TOsOpenOptions& options,
                               bool exclusive);

  int fd_ = -1;
  bool read_only_ = false;
  TFileIdentity identity_;
  mutable std::mutex locks_guard_;
  TLockTable locks_;  // Guarded by locks_guard_.
};

// The number of descriptors that TOsFile holds open in this process (tests look for leaks).
std::size_t OsOpenFileCount();

// Attributes and existence. A missing file is kOsFileNotFound or kOsPathNotFound.
[[nodiscard]] TOsError OsReadOnlyAttribute(const std::string& path, bool& read_only);
// Setting clears the three write bits; clearing adds the owner's write bit.
[[nodiscard]] TOsError OsSetReadOnlyAttribute(const std::string& path, bool read_only);
[[nodiscard]] TOsError OsPathIdentity(const std::string& path, TFileIdentity& identity);
// The identity of the directory entry itself: a symbolic link is not followed. kOsAccessDenied
// when the entry is not a regular file (a link, a directory, a device).
[[nodiscard]] TOsError OsRegularFileIdentity(const std::string& path, TFileIdentity& identity);
// Gives the regular file `path` (never followed through a link) the owner, group and permission
// bits of `model`: the owner and group as far as the process may set them, the bits always; then
// makes that durable.
[[nodiscard]] TOsError OsTakeOwnerAndMode(const std::string& path, const std::string& model);
// Whether `path` is a directory of our own that nobody else may write into: a real directory (not
// a link to one), owned by the effective user, without write permission for group or others.
bool OsPrivateDirectory(const std::string& path);
// Creates a directory that only its owner may use. kOsFileExists when the name is taken.
[[nodiscard]] TOsError OsCreatePrivateDirectory(const std::string& path);
// Creates a private directory under a fresh name: `prefix` followed by six random characters.
[[nodiscard]] TOsError OsCreateFreshPrivateDirectory(const std::string& prefix, std::string& made);
bool OsFileExists(const std::string& path);  // exists and is not a directory
bool OsDirectoryExists(const std::string& path);

// Deletes a file: refused for read-only files (kOsAccessDenied) and for files that someone holds
// open (kOsSharingViolation).
[[nodiscard]] TOsError OsDeleteFile(const std::string& path);
// Moves a file; never replaces an existing target (kOsAlreadyExists), refuses a file that someone
// holds open (kOsSharingViolation). Across file systems the file is copied, synced, given its
// modification time back and the source removed; a failed copy leaves no partial target.
[[nodiscard]] TOsError OsMoveFile(const std::string& from, const std::string& to);
// Deletes a file that this process holds open through `held` (its share lock keeps every other
// opener out until the name is gone). kOsFileNotFound when the name leads to another file now.
[[nodiscard]] TOsError OsDeleteHeldFile(const std::string& path, const TOsFile& held);
// Copies a file that this process holds open exclusively (no share lock is asked for) to `to`
// and makes the copy durable. An entry already named `to` is removed first (a link as a link);
// the copy is then made new, never through a link, private to its owner while it is written,
// and ends with the owner, group and permission bits of `from`. On failure nothing of `to` is left.
[[nodiscard]] TOsError OsCopyHeldFile(const std::string& from, const std::string& to);
// Makes the directory's entries (creations, renames) durable.
[[nodiscard]] TOsError OsSyncDirectory(const std::string& directory);
// Makes a directory (one that exists already is no failure); its entry is durable once its parent
// directory is synced.
[[nodiscard]] TOsError OsCreateDirectory(const std::string& path);
// Removes a directory if it is empty; false when it is not (or cannot be removed).
bool OsRemoveEmptyDirectory(const std::string& path);

// The running program's own path ("" if it cannot be read).
std::string OsExecutablePath();
// Milliseconds since boot, wrapping at 2^32: measure with `now - start` in 32 bits.
std::uint32_t OsTickCount();
std::uint32_t OsThreadId();
void OsSleep(std::uint32_t milliseconds);

}  // namespace tarvo

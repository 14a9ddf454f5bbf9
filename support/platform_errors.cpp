#include "support/platform_errors.h"

#include <sys/stat.h>

#include <cerrno>
#include <string>

namespace tarvo {

namespace {

// Whether the directory that would hold `path` exists.
bool ParentDirectoryExists(std::string_view path) {
  const auto slash = path.find_last_of('/');
  std::string parent;
  if (slash == std::string_view::npos) {
    parent = ".";
  } else if (slash == 0) {
    parent = "/";
  } else {
    parent = std::string(path.substr(0, slash));
  }
  struct stat st {};
  return ::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

thread_local int last_error_number = 0;
thread_local TOsError last_mapped_error = kOsOk;

}  // namespace

int LastSystemErrorNumber() {
  return last_error_number;
}

void ClearLastSystemErrorNumber() {
  last_error_number = 0;
  last_mapped_error = kOsOk;
}

TOsError LastMappedOsError() {
  return last_mapped_error;
}

void SetLastSystemErrorNumber(int error_number) {
  last_error_number = error_number;
}

TOsError OsErrorFromErrno(int error_number, TErrnoContext context, std::string_view path) {
  if (error_number != 0) last_error_number = error_number;
  switch (error_number) {
    case 0: return kOsOk;
    case ENOENT: return path.empty() || ParentDirectoryExists(path) ? kOsFileNotFound : kOsPathNotFound;
    case ENOTDIR: return kOsPathNotFound;
    case EMFILE:
    case ENFILE: return kOsTooManyOpenFiles;
    case EACCES:
      if (context == TErrnoContext::kShareLock) return kOsSharingViolation;
      if (context == TErrnoContext::kRangeLock) return kOsLockViolation;
      return kOsAccessDenied;
    case EPERM:
    case EISDIR: return kOsAccessDenied;
    case EBADF: return kOsInvalidHandle;
    case ENOMEM: return kOsNotEnoughMemory;
    case EXDEV: return kOsNotSameDevice;
    case EROFS: return kOsWriteProtect;
    case EAGAIN:
      if (context == TErrnoContext::kShareLock) return kOsSharingViolation;
      if (context == TErrnoContext::kRangeLock) return kOsLockViolation;
      return kOsGeneralFailure;
    case EEXIST: return context == TErrnoContext::kMove ? kOsAlreadyExists : kOsFileExists;
    case EINVAL: return kOsInvalidParameter;
    case ENOSPC: return kOsDiskFull;
    case ENOTEMPTY: return kOsDirNotEmpty;
    case ENAMETOOLONG: return kOsNameTooLong;
    default: return kOsGeneralFailure;
  }
}

TEngineCode EngineCodeFromOsError(TOsError error) {
  last_mapped_error = error;
  switch (error) {
    case kOsFileNotFound:
    case kOsPathNotFound: return kInvalidPath;
    case kOsTooManyOpenFiles: return kTooManyFiles;
    case kOsAccessDenied:
    case kOsSharingViolation:
    case kOsNetworkAccessDenied: return kAccessDenied;
    case kOsInvalidHandle: return kInvalidFileHandle;
    case kOsNotEnoughMemory: return kOutOfMemory;
    case kOsInvalidDrive: return kDeviceDenied;
    case kOsNotSameDevice: return kTableMoved;
    default: return kUnknownOsError;
  }
}

}  // namespace tarvo

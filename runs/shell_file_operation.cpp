#include "runs/shell_file_operation.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "support/platform.h"

namespace tarvo {

namespace {

int ErrnoOfOsError(TOsError error) {
  switch (error) {
    case kOsFileNotFound:
    case kOsPathNotFound: return ENOENT;
    case kOsTooManyOpenFiles: return EMFILE;
    case kOsAccessDenied:
    case kOsNetworkAccessDenied: return EACCES;
    case kOsInvalidHandle: return EBADF;
    case kOsNotEnoughMemory: return ENOMEM;
    case kOsNotSameDevice: return EXDEV;
    case kOsWriteProtect: return EROFS;
    case kOsSharingViolation:
    case kOsLockViolation: return EBUSY;
    case kOsFileExists:
    case kOsAlreadyExists: return EEXIST;
    case kOsInvalidParameter: return EINVAL;
    case kOsDiskFull: return ENOSPC;
    case kOsDirNotEmpty: return ENOTEMPTY;
    case kOsNameTooLong: return ENAMETOOLONG;
    default: return EIO;
  }
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string FileNameOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool PathTaken(const std::string& path) {
  return OsFileExists(path) || OsDirectoryExists(path);
}

// "name (2).ext", "name (3).ext", ...: the first that is free.
std::string FreeName(const std::string& path) {
  const std::filesystem::path p(path);
  const std::string stem = (p.parent_path() / p.stem()).string();
  const std::string extension = p.extension().string();
  for (int n = 2;; ++n) {
    std::string candidate = stem + " (" + std::to_string(n) + ")" + extension;
    if (!PathTaken(candidate)) return candidate;
  }
}

[[nodiscard]] TOsError CopyFile(const std::string& source, const std::string& destination) {
  TOsFile in;
  TOsOpenOptions read_options;
  read_options.read_only = true;
  read_options.sequential_scan = true;
  if (const TOsError error = in.Open(source, read_options); error != kOsOk) return error;
  TOsFile out;
  if (const TOsError error = out.Create(destination, TOsOpenOptions{}); error != kOsOk) return error;
  std::vector<std::byte> buffer(64 * 1024);
  std::int64_t offset = 0;
  for (;;) {
    std::size_t read = 0;
    if (const TOsError error = in.ReadAt(offset, buffer, read); error != kOsOk) return error;
    if (read == 0) break;
    std::size_t written = 0;
    if (const TOsError error = out.WriteAt(offset, std::span(buffer).first(read), written); error != kOsOk) {
      return error;
    }
    offset += static_cast<std::int64_t>(read);
  }
  return out.Flush();
}

}  // namespace

std::string OsErrorText(TOsError error) {
  return std::strerror(ErrnoOfOsError(error));
}

std::uint16_t TShellFileOperation::FlagWord() const {
  return static_cast<std::uint16_t>(Options | (MultipleDestinations() ? kShellMultiDestFiles : 0));
}

bool TShellFileOperation::MultipleDestinations() const {
  for (const std::string& line : SourceFiles) {
    if (line.find('=') != std::string::npos) return true;
  }
  return false;
}

std::vector<std::pair<std::string, std::string>> TShellFileOperation::Requests() const {
  std::vector<std::pair<std::string, std::string>> requests;
  if (MultipleDestinations()) {
    std::string folder = DestFolder;
    if (!folder.empty() && folder.back() != '/') folder += '/';
    for (const std::string& line : SourceFiles) {
      const std::size_t equals = line.find('=');
      if (equals == std::string::npos) continue;
      requests.emplace_back(line.substr(0, equals), folder + line.substr(equals + 1));
    }
    return requests;
  }
  for (const std::string& line : SourceFiles) {
    std::string destination;
    switch (Operation) {
      case TShellFileOperationType::fotDelete: break;
      case TShellFileOperationType::fotRename:
        // The new name; a bare name stays in the file's own directory.
        destination = DestFolder.find('/') == std::string::npos ? DirectoryOf(line) + DestFolder : DestFolder;
        break;
      case TShellFileOperationType::fotCopy:
      case TShellFileOperationType::fotMove:
        if (!DestFolder.empty()) {
          destination = DestFolder + (DestFolder.back() == '/' ? "" : "/") + FileNameOf(line);
        }
        break;
    }
    requests.emplace_back(line, destination);
  }
  return requests;
}

TOsError TShellFileOperation::Perform(const std::string& source, const std::string& destination) const {
  if (Operation == TShellFileOperationType::fotDelete) {
    if (OsDirectoryExists(source)) return kOsAccessDenied;  // files only: a directory is never removed
    return OsDeleteFile(source);
  }
  if (destination.empty() || !PathTaken(source)) {
    return destination.empty() ? kOsInvalidParameter : kOsFileNotFound;
  }
  std::string target = destination;
  if (PathTaken(target)) {
    if ((Options & fofRenameCollision) != 0) {
      target = FreeName(target);
    } else if (Operation != TShellFileOperationType::fotCopy) {
      if (const TOsError error = OsDeleteFile(target); error != kOsOk) return error;
    }
  }
  if (Operation == TShellFileOperationType::fotCopy) return CopyFile(source, target);
  return OsMoveFile(source, target);
}

bool TShellFileOperation::Execute() {
  if (SourceFiles.empty()) return true;
  TOsError first_failure = kOsOk;
  std::string failed_file;
  for (const auto& [source, destination] : Requests()) {
    const TOsError error = Perform(source, destination);
    if (error != kOsOk && first_failure == kOsOk) {
      first_failure = error;
      failed_file = source;
    }
  }
  if (first_failure == kOsOk) return true;
  const std::string text = OsErrorText(first_failure);
  if ((Options & fofNoErrorUI) == 0 && ErrorWindow) ErrorWindow(failed_file + "\r\n" + text);
  if (OnError) {
    bool handled = false;
    OnError(*this, text, handled);
  }
  return false;
}

}  // namespace tarvo

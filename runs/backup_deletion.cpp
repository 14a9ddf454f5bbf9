#include "runs/backup_deletion.h"

#include <filesystem>
#include <string>
#include <vector>

#include "runs/maintenance_texts.h"
#include "support/platform_names.h"

namespace tarvo {

namespace {

// The size of a backup as deleting it frees space: a symbolic link named like a backup frees
// nothing of what it points to.
std::uintmax_t BackupSize(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(path, error))) return 0;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  return error ? 0 : size;
}

}  // namespace

std::string SizeText(std::uintmax_t bytes) {
  static constexpr const char* kUnits[] = {"KB", "MB", "GB", "TB"};
  if (bytes < 1024) return std::to_string(bytes) + " Bytes";
  double value = static_cast<double>(bytes) / 1024;
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  // One decimal, with the German decimal comma.
  const auto tenths = static_cast<std::uintmax_t>(value * 10 + 0.5);
  return std::to_string(tenths / 10) + "," + std::to_string(tenths % 10) + " " + kUnits[unit];
}

std::string BackupsDeletedEntry(std::size_t files, std::uintmax_t bytes) {
  return std::to_string(files) + (files == 1 ? kBackupDeletedOne : kBackupsDeletedMany) + SizeText(bytes) +
         kSpaceFreed;
}

void TBackupDeletion::DeleteBackups() {
  if (!ConfirmationBox(components_.Window(), kDeleteBackupsQuestion)) return;
  const std::string& directory = components_.DatabaseDirectory();
  std::vector<std::string> names;
  if (ListDirectory(directory, kBackupPattern, TListKind::kFiles, names) != kOsOk) names.clear();
  TShellFileOperation& shell = components_.ShellFileOperator();
  // Emptied first: the names of an earlier run in this process are gone or made anew, and passing
  // them again would report files that no longer exist.
  shell.SourceFiles.clear();
  std::vector<std::uintmax_t> sizes;
  for (const std::string& name : names) {
    shell.SourceFiles.push_back(directory + name);
    sizes.push_back(BackupSize(directory + name));
  }
  // The shell reports its own failures; the run goes on either way, and its log says what is gone.
  (void)shell.Execute();
  std::size_t deleted = 0;
  std::uintmax_t freed = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::error_code error;
    if (std::filesystem::symlink_status(directory + names[i], error).type() !=
        std::filesystem::file_type::not_found) {
      continue;
    }
    ++deleted;
    freed += sizes[i];
  }
  components_.Window().AddLogEntry(BackupsDeletedEntry(deleted, freed));
}

}  // namespace tarvo

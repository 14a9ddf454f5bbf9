#include "app/backup_deletion.h"

#include <string>
#include <vector>

#include "app/maintenance_texts.h"
#include "support/platform_names.h"

namespace tarvo {

void TBackupDeletion::DeleteBackups() {
  if (!ConfirmationBox(components_.Window(), kDeleteBackupsQuestion)) return;
  const std::string& directory = components_.DatabaseDirectory();
  std::vector<std::string> names;
  if (ListDirectory(directory, kBackupPattern, TListKind::kFiles, names) != kOsOk) names.clear();
  TShellFileOperation& shell = components_.ShellFileOperator();
  // Emptied first: the names of an earlier run in this process are gone or made anew, and passing
  // them again would report files that no longer exist.
  shell.SourceFiles.clear();
  for (const std::string& name : names) shell.SourceFiles.push_back(directory + name);
  // The shell reports its own failures; the run goes on either way.
  (void)shell.Execute();
}

}  // namespace tarvo

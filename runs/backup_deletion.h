// TBackupDeletion: the end of a reorganization run. Asks whether to delete the backup copies that
// restructure and optimize left beside the tables ("*.?bk": .DBK, .IBK, .BBK and any other name
// of that form) and, on yes, deletes them for good through the shell file operation and logs how
// many are gone and how much space that freed.
#pragma once

#include <cstdint>
#include <string>

#include "runs/maintenance_components.h"

namespace tarvo {

// A size as the log shows it: "512 Bytes", "12,5 KB", "1,2 MB" (units of 1024).
std::string SizeText(std::uintmax_t bytes);
// The log line after a deletion: how many backups are gone and the space they took.
std::string BackupsDeletedEntry(std::size_t files, std::uintmax_t bytes);

class TBackupDeletion {
 public:
  explicit TBackupDeletion(TMaintenanceComponents& components) : components_(components) {}

  void DeleteBackups();

 private:
  TMaintenanceComponents& components_;
};

}  // namespace tarvo

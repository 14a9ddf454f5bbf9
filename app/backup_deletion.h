// TBackupDeletion: the end of a reorganization run. Asks whether to delete the backup copies that
// restructure and optimize left beside the tables ("*.?bk": .DBK, .IBK, .BBK and any other name
// of that form) and, on yes, deletes them for good through the shell file operation.
#pragma once

#include "app/maintenance_components.h"

namespace tarvo {

class TBackupDeletion {
 public:
  explicit TBackupDeletion(TMaintenanceComponents& components) : components_(components) {}

  void DeleteBackups();

 private:
  TMaintenanceComponents& components_;
};

}  // namespace tarvo

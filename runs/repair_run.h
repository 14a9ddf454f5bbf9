// TRepairRun: "Reparieren". The user picks one or more table files; each is verified and repaired
// in place by the engine, in the dialog's order, its findings appended to the log by the table's
// repair log event and a closing line after each table.
#pragma once

#include "runs/maintenance_components.h"

namespace tarvo {

class TRepairRun {
 public:
  explicit TRepairRun(TMaintenanceComponents& components) : components_(components) {}

  // A cancelled dialog leaves everything as it was. An exception ends the run (the remaining
  // files stay untouched) after the window is enabled and the cursor restored.
  void Run();

 private:
  TMaintenanceComponents& components_;
};

}  // namespace tarvo

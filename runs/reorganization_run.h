// TReorganizationRun: "Reorganisieren". Every table of the database directory except USER.DAT is
// opened exclusively once (a table that another program holds ends the run and the program),
// restructured in place from its own definition, then optimized into fresh files; each step goes
// to the log. At the end the user is asked whether to delete the backup copies.
#pragma once

#include <string>
#include <vector>

#include "runs/maintenance_components.h"

namespace tarvo {

class TReorganizationRun {
 public:
  explicit TReorganizationRun(TMaintenanceComponents& components) : components_(components) {}

  // The whole run. Exceptions other than a failed exclusive open leave it, after the window is
  // enabled and the cursor restored.
  void Run();

  // One table; false when it could not be opened (the program is then asked to end).
  bool ProcessTable(const std::string& name);

  // The "*.dat" names of the database directory in listing order, USER.DAT left out.
  std::vector<std::string> TableNames(bool& found_any) const;

 private:
  TMaintenanceComponents& components_;
};

}  // namespace tarvo

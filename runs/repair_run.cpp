#include "runs/repair_run.h"

#include <string>
#include <vector>

#include "runs/maintenance_texts.h"

namespace tarvo {

void TRepairRun::Run() {
  TWindowOperations& window = components_.Window();
  TTarvoTable& table = components_.Table();
  TOpenDialogSettings& dialog = components_.OpenDialog();
  dialog.hide_read_only = true;
  dialog.allow_multi_select = true;
  const std::vector<std::string> files = window.ChooseFiles(dialog);
  if (files.empty()) return;
  window.ClearLog();
  window.AddLogEntry(kRepairStarted);
  for (const std::string& file : files) {
    table.SetDatabaseName(DirectoryWithDelimiter(file));
    table.SetTableName(file.substr(DirectoryWithDelimiter(file).size()));
    TBusyGuard busy(window);
    window.ProcessPendingEvents();
    window.SetProgress(0);
    window.ProcessPendingEvents();
    table.RepairTable();
    window.AddLogEntry(kRepairTablePrefix + UpperCaseName(table.TableName()) + kRepairFinishedSuffix);
  }
}

}  // namespace tarvo

#include "runs/reorganization_run.h"

#include <algorithm>

#include "components/database_texts.h"
#include "engine/tables/table_exchange.h"
#include "errors/engine_error.h"
#include "runs/backup_deletion.h"
#include "runs/maintenance_texts.h"
#include "support/platform_names.h"

namespace tarvo {

namespace {

// Closes the table on every way out of a scope.
class TTableCloseGuard {
 public:
  explicit TTableCloseGuard(TTarvoTable& table) : table_(table) {}
  ~TTableCloseGuard() {
    try {
      table_.Close();
    } catch (...) {
      // The exception that is leaving already says what went wrong.
    }
  }
  TTableCloseGuard(const TTableCloseGuard&) = delete;
  TTableCloseGuard& operator=(const TTableCloseGuard&) = delete;

 private:
  TTarvoTable& table_;
};

}  // namespace

std::vector<std::string> TReorganizationRun::TableNames(bool& found_any) const {
  std::vector<std::string> names;
  found_any = false;
  // A table whose files were being exchanged when a run was cut off can lack its data file
  // until the exchange is completed or rolled back.
  try {
    (void)RecoverTableExchanges(components_.DatabaseDirectory());
  } catch (const ETarvoEngineError&) {
    // Another program is changing that table now; it is listed (or not) as it stands.
  }
  if (ListDirectory(components_.DatabaseDirectory(), "*.dat", TListKind::kFiles, names) != kOsOk) {
    return {};
  }
  found_any = !names.empty();
  // Directories are never tables: opening one would only report it as in use.
  // Only the first USER.DAT goes; the listing holds no two entries of one name anyway.
  const auto user = std::find_if(names.begin(), names.end(), [](const std::string& name) {
    return SameNameIgnoringCase(name, kExcludedTable);
  });
  if (user != names.end()) names.erase(user);
  return names;
}

void TReorganizationRun::Run() {
  TWindowOperations& window = components_.Window();
  bool found_any = false;
  const std::vector<std::string> names = TableNames(found_any);
  if (!found_any) {
    InformationBox(window, kNoTablesFound + components_.DatabaseDirectory());
    return;
  }
  TBusyGuard busy(window);
  window.ClearLog();
  window.AddLogEntry(kReorganizationStarted);
  for (const std::string& name : names) {
    window.ProcessPendingEvents();
    if (!ProcessTable(name)) return;
  }
  window.AddLogEntry(kReorganizationFinished);
  TBackupDeletion(components_).DeleteBackups();
}

bool TReorganizationRun::ProcessTable(const std::string& name) {
  TWindowOperations& window = components_.Window();
  TTarvoTable& table = components_.Table();
  // 1. Point the table at the database directory (through "Kelto", also after a repair run
  //    pointed it elsewhere) and open it exclusively: the one way to learn that another
  //    program uses it.
  table.SetDatabaseName(kDatabaseName);
  table.SetTableName(name);
  table.SetSessionName(kSessionName);
  table.SetExclusive(true);
  try {
    table.Open();
  } catch (const EDatabaseError&) {
    ErrorBox(window, kTableInUseBefore + name + kTableInUseAfter);
    window.Terminate();
    return false;
  }
  // 2. The header values the rebuild keeps, the encryption with the password that opened the
  //    table among them: a rebuild must never leave the table's data deciphered on disk.
  std::uint16_t language_id = 0;
  std::uint16_t sort_id = 0;
  std::uint16_t blob_block_size = 0;
  std::int32_t last_auto_inc_value = 0;
  bool encrypted = false;
  std::string password;
  {
    TTableCloseGuard close_after_reading(table);
    language_id = table.LanguageID();
    sort_id = table.SortID();
    blob_block_size = table.BlobBlockSize();
    last_auto_inc_value = table.LastAutoIncValue();
    encrypted = table.Encrypted();
    password = table.Password();
  }
  TTableCloseGuard close_at_end(table);
  // 3. Restructure in place from the table's own definitions.
  window.AddLogEntry(kProcessingTable + UpperCaseName(name));
  window.SetProgress(0);
  table.RestructureFieldDefs().Update();
  table.RestructureIndexDefs().Update();
  const TRestructureWay way =
      table.RestructureTable(language_id, sort_id, 0, 0, encrypted, password, std::string(), blob_block_size,
                             last_auto_inc_value, false);
  window.ProcessPendingEvents();
  // 4. Optimize in primary-key order. The old files become the backups, unless the restructure
  //    already kept the table as it was before the run: those backups are not replaced.
  window.SetProgress(0);
  window.AddLogEntry(kReindexedStartingOptimize);
  table.OptimizeTable(std::string(), way != TRestructureWay::kHeaderOnly);
  window.AddLogEntry(kProcessingFinished + UpperCaseName(name));
  window.AddLogEntry(std::string());
  return true;
}

}  // namespace tarvo

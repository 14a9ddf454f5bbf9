// TMaintenanceComponents: the non-visual part of the maintenance window, free of any toolkit: the
// database component "Kelto", the table component with its event wiring, the settings of the
// open dialog, the shell file operation, and the database directory. The handlers of the table's
// events report to a TWindowOperations; the runs (reorganization_run.h, repair_run.h,
// backup_deletion.h) work on this object.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "components/tarvo_database.h"
#include "components/tarvo_table.h"
#include "runs/shell_file_operation.h"
#include "runs/window_operations.h"

namespace tarvo {

class TMaintenanceComponents {
 public:
  explicit TMaintenanceComponents(TWindowOperations& window);
  ~TMaintenanceComponents();
  TMaintenanceComponents(const TMaintenanceComponents&) = delete;
  TMaintenanceComponents& operator=(const TMaintenanceComponents&) = delete;

  TWindowOperations& Window() const { return window_; }
  TTarvoDatabase& Database() const { return *database_; }
  TTarvoTable& Table() const { return *table_; }
  TShellFileOperation& ShellFileOperator() const { return *shell_file_operator_; }
  TOpenDialogSettings& OpenDialog() { return open_dialog_; }

  // The directory of the program's executable with its trailing "/" ("" before Connect).
  const std::string& DatabaseDirectory() const { return database_directory_; }

  // When the window is first shown: the database directory from the executable's path, given to
  // the database component, which connects; then the open dialog starts there. An exception
  // leaves the remaining steps undone.
  void Connect(const std::string& executable_path);

  // The table's progress events: the bar follows PercentDone, then pending events are handled.
  // The sender must be a table (std::bad_cast otherwise).
  void TableProgress(TComponent& sender, std::int32_t current_record, std::uint16_t percent_done);
  // The table's repair log: the message with "..." appended.
  void TableRepairLog(TComponent& sender, const std::string& log_message);

 private:
  TWindowOperations& window_;
  std::string database_directory_;
  std::unique_ptr<TTarvoDatabase> database_;
  std::unique_ptr<TTarvoTable> table_;
  std::unique_ptr<TShellFileOperation> shell_file_operator_;
  TOpenDialogSettings open_dialog_;
};

// The directory part of a path with its trailing "/" ("" when there is none).
std::string DirectoryWithDelimiter(const std::string& path);
// A file name upper-cased character by character (the simple mapping, so the length in characters
// stays; ß stays ß).
std::string UpperCaseName(const std::string& name);

// The application's default exception handler: the exception's message in an error box titled
// with the application title; the program runs on.
void ShowApplicationException(TWindowOperations& window, std::exception_ptr exception);
// Runs one handler of the window; an exception that leaves it goes to ShowApplicationException.
void RunHandler(TWindowOperations& window, const std::function<void()>& handler);

}  // namespace tarvo

// TfrmMain: the maintenance program's one window. Shows the information text, the log of the last
// run and a progress bar, and offers three menu commands: "Beenden", "Reorganisieren" and
// "Reparieren". The runs themselves are free of Qt (reorganization_run.h, repair_run.h,
// backup_deletion.h); the window implements TWindowOperations for them with Qt widgets. Modal
// dialogs go through the TWindowDialogs given to it, so tests can answer them.
#pragma once

#include <QMainWindow>
#include <memory>
#include <string>

#include "app/window_dialogs.h"
#include "runs/maintenance_components.h"
#include "runs/window_operations.h"
#include "support/platform.h"

class QAction;
class QFrame;
class QLabel;
class QMenuBar;
class QPlainTextEdit;
class QProgressBar;

namespace tarvo {

class TfrmMain : public QMainWindow, public TWindowOperations {
  Q_OBJECT

 public:
  // `executable_path` decides the database directory (the directory the program lies in).
  explicit TfrmMain(TWindowDialogs& dialogs, std::string executable_path = OsExecutablePath(),
                    QWidget* parent = nullptr);
  ~TfrmMain() override;

  // The handlers. Each hands an exception that leaves it to the application's exception box.
  void FormShow();
  void btnEndeClick();
  void btnKeltoClick();
  void mnurepairClick();
  void TableRestructureProgress(TComponent& sender, std::int32_t current_record, std::uint16_t percent_done);
  void TableOptimizeProgress(TComponent& sender, std::int32_t current_record, std::uint16_t percent_done);
  void TableRepairProgress(TComponent& sender, std::int32_t current_record, std::uint16_t percent_done);
  void TableRepairLog(TComponent& sender, const std::string& log_message);

  TMaintenanceComponents& Components() { return *components_; }
  const std::string& DatabaseDirectory() const { return components_->DatabaseDirectory(); }
  // Whether the program has been asked to end (after a table in use, or "Beenden").
  bool TerminationRequested() const { return termination_requested_; }
  // The log view's lines.
  QStringList LogLines() const;

  // TWindowOperations
  void ClearLog() override;
  void AddLogEntry(const std::string& entry) override;
  void SetProgress(int percent) override;
  TMessageAnswer ShowMessage(TMessageKind kind, const std::string& caption, const std::string& text) override;
  std::vector<std::string> ChooseFiles(const TOpenDialogSettings& settings) override;
  void SetWaitCursor(bool wait) override;
  void SetWindowEnabled(bool enabled) override;
  void ProcessPendingEvents() override;
  void Terminate() override;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildControls();

  TWindowDialogs& dialogs_;
  std::string executable_path_;
  std::unique_ptr<TMaintenanceComponents> components_;
  bool shown_ = false;
  bool termination_requested_ = false;
  int busy_depth_ = 0;  // > 0 while a run has the window disabled
  int wait_cursors_ = 0;

  QFrame* Bevel1 = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QPlainTextEdit* Memo = nullptr;
  QProgressBar* ProgressBar1 = nullptr;
  QMenuBar* MainMenu1 = nullptr;
  QAction* mnuBeenden = nullptr;
  QAction* mnuKelto = nullptr;
  QAction* mnurepair = nullptr;
};

// The information text of Label1 as the label shows it (lines joined with "\n").
QString InformationText();

}  // namespace tarvo

// tarvo reorganize DIR [--delete-backups | --keep-backups]
//
// The maintenance window's reorganization run on the tables of DIR, through the same run object:
// the window is a terminal here. Its log lines go to standard output, one line per line of the
// window's log; information boxes to standard output, error boxes to standard error; the question
// about the backup copies is answered by the option, on the terminal, or (no terminal) with no.
#include <filesystem>
#include <iostream>
#include <memory>

#include "cli/commands.h"
#include "cli/progress_display.h"
#include "cli/terminal.h"
#include "components/session_list.h"
#include "components/tarvo_session.h"
#include "runs/maintenance_components.h"
#include "runs/maintenance_texts.h"
#include "runs/reorganization_run.h"

namespace tarvo::cli {

namespace {

enum class TBackupChoice { kAsk, kDelete, kKeep };

struct TReorganizeOptions {
  std::string directory;
  bool delete_backups = false;
  bool keep_backups = false;
};

// Asks a yes/no question on the terminal (text on standard error); true for "j", false for "n"
// or the end of input.
bool AskYesNo(const std::string& text) {
  for (const std::string& line : SplitLogEntry(text)) std::cerr << line << "\n";
  for (;;) {
    std::cerr << "(j/n) " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) {
      std::cerr << "\n";
      return false;
    }
    if (answer == "j" || answer == "J" || answer == "ja" || answer == "Ja") return true;
    if (answer == "n" || answer == "N" || answer == "nein" || answer == "Nein") return false;
  }
}

// The window of the runs on a terminal.
class TTerminalWindow : public TWindowOperations {
 public:
  TTerminalWindow(TProgressDisplay& progress, TBackupChoice backups)
      : progress_(progress), backups_(backups) {}

  // What was printed stays on the terminal.
  void ClearLog() override {}
  void AddLogEntry(const std::string& entry) override {
    progress_.Clear();
    step_reported_ = false;
    for (const std::string& line : SplitLogEntry(entry)) std::cout << line << "\n";
    std::cout.flush();
  }
  // The bar shows once the step reports its own progress (the run's resets at a table's start are
  // not worth a line).
  void SetProgress(int percent) override {
    if (step_reported_) progress_.Update(records_, percent);
  }
  TMessageAnswer ShowMessage(TMessageKind kind, const std::string&, const std::string& text) override {
    progress_.Clear();
    switch (kind) {
      case TMessageKind::kInformation:
        for (const std::string& line : SplitLogEntry(text)) std::cout << line << "\n";
        std::cout.flush();
        return TMessageAnswer::kOk;
      case TMessageKind::kError:
        std::cout.flush();
        for (const std::string& line : SplitLogEntry(text)) std::cerr << line << "\n";
        error_shown_ = true;
        return TMessageAnswer::kOk;
      case TMessageKind::kConfirmation: break;
    }
    std::cout.flush();
    const bool yes = backups_ == TBackupChoice::kDelete ||
                     (backups_ == TBackupChoice::kAsk && StdinIsTerminal() && AskYesNo(text));
    return yes ? TMessageAnswer::kYes : TMessageAnswer::kNo;
  }
  // The reorganization never opens the file dialog.
  std::vector<std::string> ChooseFiles(const TOpenDialogSettings&) override { return {}; }
  void SetWaitCursor(bool) override {}
  void SetWindowEnabled(bool) override {}
  void ProcessPendingEvents() override {}
  void Terminate() override { terminated_ = true; }

  // The records of the running operation, from the table's progress events.
  void SetRecords(std::int64_t records) {
    records_ = records;
    step_reported_ = true;
  }

  bool Terminated() const { return terminated_; }
  bool ErrorShown() const { return error_shown_; }

 private:
  TProgressDisplay& progress_;
  TBackupChoice backups_;
  std::int64_t records_ = 0;
  bool step_reported_ = false;
  bool terminated_ = false;
  bool error_shown_ = false;
};

// The table's progress event as the window has it, with the record count and a label for the
// progress line first.
TProgressEvent WithRecordCount(TProgressEvent window_handler, TTerminalWindow& window,
                               TProgressDisplay& progress, const TTarvoTable& table, const char* step) {
  auto label = std::make_shared<std::string>();
  return [=, &window, &progress, &table](TComponent& sender, std::int32_t current, std::uint16_t percent) {
    const std::string now = UpperCaseName(table.TableName()) + " " + step;
    if (now != *label || current == 0) {
      *label = now;
      progress.Start(now);
    }
    window.SetRecords(current);
    window_handler(sender, current, percent);
  };
}

int RunReorganize(const TReorganizeOptions& options, const TCliState& state) {
  std::error_code error;
  if (!std::filesystem::is_directory(options.directory, error)) {
    std::cerr << "tarvo: " << options.directory << " is not a directory\n";
    return kExitError;
  }
  std::string directory = options.directory;
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();

  const TBackupChoice backups = options.delete_backups ? TBackupChoice::kDelete
                                : options.keep_backups ? TBackupChoice::kKeep
                                                       : TBackupChoice::kAsk;
  TProgressDisplay progress(state.quiet);
  TTerminalWindow window(progress, backups);
  TTerminalPromptScope password_prompt;
  TMaintenanceComponents components(window);
  TTarvoTable& table = components.Table();
  table.OnRestructureProgress =
      WithRecordCount(table.OnRestructureProgress, window, progress, table, "Reindexierung");
  table.OnOptimizeProgress =
      WithRecordCount(table.OnOptimizeProgress, window, progress, table, "Optimierung");
  RunHandler(window, [&] {
    if (!state.passwords.empty()) {
      TTarvoSession& session = Sessions().FindSessionOrFail(kSessionName);
      for (const std::string& password : state.passwords) session.AddPassword(password);
    }
    // The window's database directory is the one its program lies in.
    components.Connect(directory + "/tarvo");
    TReorganizationRun(components).Run();
  });
  progress.Clear();
  if (window.Terminated()) return kExitInUse;
  return window.ErrorShown() ? kExitError : kExitOk;
}

void SetupReorganize(CLI::App& app, TCliState& state) {
  auto options = std::make_shared<TReorganizeOptions>();
  CLI::App* command = app.add_subcommand(
      "reorganize", "Reorganize every table of a directory (except USER.DAT): reindex, then optimize");
  command->add_option("DIR", options->directory, "The database directory")->required();
  CLI::Option* remove =
      command->add_flag("--delete-backups", options->delete_backups, "Delete the backup copies at the end");
  CLI::Option* keep =
      command->add_flag("--keep-backups", options->keep_backups, "Keep the backup copies (*.?BK) at the end");
  remove->excludes(keep);
  command->footer(
      "The log goes to standard output, one line per line of the maintenance window's log; information\n"
      "to standard output, errors to standard error. Without an option the backup question is asked\n"
      "on the terminal (j/n); without a terminal the backups are kept.\n"
      "Exit status: 0 done, 2 error (the run stops at that table), 3 a table is in use by another\n"
      "program or cannot be opened (the run stops before it; later tables are not touched).\n"
      "Example:\n  tarvo reorganize /srv/daten --keep-backups");
  command->callback(
      [options, &state] { state.action = [options, &state] { return RunReorganize(*options, state); }; });
}

}  // namespace

TARVO_COMMAND(50, SetupReorganize);

}  // namespace tarvo::cli

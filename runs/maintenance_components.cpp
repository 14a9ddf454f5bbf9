#include "runs/maintenance_components.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <typeinfo>

#include "runs/maintenance_texts.h"

namespace tarvo {

TMaintenanceComponents::TMaintenanceComponents(TWindowOperations& window)
    : window_(window),
      database_(std::make_unique<TTarvoDatabase>()),
      table_(std::make_unique<TTarvoTable>()),
      shell_file_operator_(std::make_unique<TShellFileOperation>()) {
  database_->SetName("Database");
  database_->SetDatabaseName(kDatabaseName);
  database_->SetSessionName(kSessionName);

  table_->SetName("Table");
  table_->SetDatabaseName(kDatabaseName);
  table_->SetSessionName(kSessionName);
  table_->AutoDisplayLabels = false;
  table_->CopyOnAppend = false;
  const TProgressEvent progress = [this](TComponent& sender, std::int32_t current, std::uint16_t percent) {
    TableProgress(sender, current, percent);
  };
  table_->OnRepairProgress = progress;
  table_->OnRepairLog = [this](TComponent& sender, const std::string& message) {
    TableRepairLog(sender, message);
  };
  table_->OnOptimizeProgress = progress;
  table_->OnRestructureProgress = progress;

  open_dialog_.title = kOpenDialogTitle;
  open_dialog_.filter = kOpenDialogFilter;
  open_dialog_.default_extension = kOpenDialogDefaultExtension;

  shell_file_operator_->SetName("ShellFileOperator");
  shell_file_operator_->Operation = TShellFileOperationType::fotDelete;
  shell_file_operator_->Options = fofRenameCollision | fofFilesOnly | fofNoConfirmMkDir | fofNoConfirmation;
  shell_file_operator_->ErrorWindow = [this](const std::string& text) { ErrorBox(window_, text); };
}

TMaintenanceComponents::~TMaintenanceComponents() {
  // The table goes before the database it may still use.
  try {
    table_->Close();
  } catch (...) {
    // Nothing to report to at the end of the program.
  }
  table_.reset();
  database_.reset();
}

void TMaintenanceComponents::Connect(const std::string& executable_path) {
  database_directory_ = DirectoryWithDelimiter(executable_path);
  database_->SetDirectory(database_directory_);
  database_->SetConnected(true);
  open_dialog_.initial_directory = database_directory_;
}

void TMaintenanceComponents::TableProgress(TComponent& sender, std::int32_t, std::uint16_t percent_done) {
  if (dynamic_cast<TTarvoTable*>(&sender) == nullptr) throw std::bad_cast();
  window_.SetProgress(percent_done);
  window_.ProcessPendingEvents();
}

void TMaintenanceComponents::TableRepairLog(TComponent&, const std::string& log_message) {
  window_.AddLogEntry(log_message + kRepairLogSuffix);
}

std::string DirectoryWithDelimiter(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string UpperCaseName(const std::string& name) {
  std::string result;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(name.data());
  const auto length = static_cast<std::int32_t>(name.size());
  std::int32_t i = 0;
  while (i < length) {
    const std::int32_t start = i;
    UChar32 c = 0;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) {
      // Not UTF-8: the bytes stand for themselves.
      result.append(name, static_cast<std::size_t>(start), static_cast<std::size_t>(i - start));
      continue;
    }
    std::uint8_t out[U8_MAX_LENGTH];
    std::int32_t out_length = 0;
    UBool error = false;
    U8_APPEND(out, out_length, U8_MAX_LENGTH, u_toupper(c), error);
    (void)error;  // room for the longest sequence is always there
    result.append(reinterpret_cast<const char*>(out), static_cast<std::size_t>(out_length));
  }
  return result;
}

void ShowApplicationException(TWindowOperations& window, std::exception_ptr exception) {
  std::string message;
  try {
    std::rethrow_exception(exception);
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
    message = "Unbekannter Fehler";
  }
  window.ShowMessage(TMessageKind::kError, kApplicationTitle, message);
}

void RunHandler(TWindowOperations& window, const std::function<void()>& handler) {
  try {
    handler();
  } catch (...) {
    ShowApplicationException(window, std::current_exception());
  }
}

}  // namespace tarvo

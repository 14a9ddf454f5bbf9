// TWindowOperations: what the maintenance runs need of a window, and nothing more: the log view,
// the progress bar, modal message boxes and the file-open dialog, the wait cursor, the enabled
// state, processing of pending events and the request to end the program. The desktop window
// implements it with Qt; tests and a command-line front end implement it without any toolkit, so
// the very same runs work behind all of them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarvo {

enum class TMessageKind { kInformation, kError, kConfirmation };
// The button that closed a box: information and error boxes have OK only, confirmations Yes/No.
enum class TMessageAnswer { kOk, kYes, kNo };

// The captions of the boxes and their buttons.
inline constexpr const char* kInformationCaption = "Information";
inline constexpr const char* kErrorCaption = "Fehler";
inline constexpr const char* kConfirmationCaption = "Bestätigung";
inline constexpr const char* kOkButtonText = "OK";
inline constexpr const char* kYesButtonText = "&Ja";
inline constexpr const char* kNoButtonText = "&Nein";

// The caption that goes with a kind of box.
const char* MessageCaption(TMessageKind kind);

// The settings of the file-open dialog (the window's "OpenDialog").
struct TOpenDialogSettings {
  std::string title;
  std::string filter;             // "Description (*.EXT)"; matched without regard to case
  std::string default_extension;  // without the dot
  std::string initial_directory;
  bool hide_read_only = false;
  bool allow_multi_select = false;
};

class TWindowOperations {
 public:
  virtual ~TWindowOperations() = default;

  // The log view is a list of lines (see SplitLogEntry).
  virtual void ClearLog() = 0;
  virtual void AddLogEntry(const std::string& entry) = 0;
  // Position of the progress bar, 0 to 100.
  virtual void SetProgress(int percent) = 0;
  // A modal box; returns the button pressed.
  virtual TMessageAnswer ShowMessage(TMessageKind kind, const std::string& caption,
                                     const std::string& text) = 0;
  // The modal file-open dialog: the chosen full file names in the dialog's order; empty when cancelled.
  virtual std::vector<std::string> ChooseFiles(const TOpenDialogSettings& settings) = 0;
  // The screen-wide hourglass (true) or the default cursor (false).
  virtual void SetWaitCursor(bool wait) = 0;
  virtual void SetWindowEnabled(bool enabled) = 0;
  // Lets the toolkit handle what is pending (painting above all) from inside a handler.
  virtual void ProcessPendingEvents() = 0;
  // Asks the program to end once the current handler has returned.
  virtual void Terminate() = 0;
};

// The lines an appended entry shows as: split at each CR LF, so "A\r\nB" is two lines, "A\r\n" is
// "A" and an empty line, and "" is one empty line.
std::vector<std::string> SplitLogEntry(std::string_view entry);

// The names typed into the file-open dialog's name field: one name, or several each in double
// quotes ("a.DAT" "b.DAT"), as the dialog writes a multiple selection.
std::vector<std::string> SplitTypedFileNames(std::string_view text);

// Typed names resolved to files: relative names in `directory`, `default_extension` added to a
// name without one, letter case ignored as everywhere in the system. Names that lead to no file
// (or to several that differ only in case) are the missing ones.
struct TChosenFiles {
  std::vector<std::string> found;    // full paths, in the typed order
  std::vector<std::string> missing;  // as typed
};
TChosenFiles ResolveChosenFiles(const std::string& directory, const std::vector<std::string>& names,
                                const std::string& default_extension);

// The boxes the runs show.
void InformationBox(TWindowOperations& window, const std::string& text);
void ErrorBox(TWindowOperations& window, const std::string& text);
// True exactly when the user answered Yes.
bool ConfirmationBox(TWindowOperations& window, const std::string& text);

// Hourglass and disabled window for a scope; both are restored on every way out.
class TBusyGuard {
 public:
  explicit TBusyGuard(TWindowOperations& window) : window_(window) {
    window_.SetWaitCursor(true);
    window_.SetWindowEnabled(false);
  }
  ~TBusyGuard() {
    window_.SetWindowEnabled(true);
    window_.SetWaitCursor(false);
  }
  TBusyGuard(const TBusyGuard&) = delete;
  TBusyGuard& operator=(const TBusyGuard&) = delete;

 private:
  TWindowOperations& window_;
};

}  // namespace tarvo

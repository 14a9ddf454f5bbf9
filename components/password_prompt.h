// The password prompt for encrypted tables. When the engine finds no fitting password and the
// session's OnPassword is not assigned, the session asks the process's TPasswordPrompt (the
// window registers its modal dialog as one). TPasswordDialogLogic is what the dialog's controls
// do, kept apart from any window: the enabled states of the buttons and the session operations
// behind them.
#pragma once

#include <string>

namespace tarvo {

class TTarvoSession;

// The dialog's texts.
inline constexpr const char* kPasswordDialogCaption = "Enter password";
inline constexpr const char* kPasswordGroupCaption = "Password";
inline constexpr const char* kPasswordAddCaption = "&Add";
inline constexpr const char* kPasswordRemoveCaption = "&Remove";
inline constexpr const char* kPasswordRemoveAllCaption = "Re&move all";
inline constexpr const char* kPasswordOkCaption = "&OK";
inline constexpr const char* kPasswordCancelCaption = "Cancel";
// Above the field: which table asks (a run may meet several encrypted tables).
inline constexpr const char* kPasswordTablePrefix = "Table: ";

class TPasswordPrompt {
 public:
  virtual ~TPasswordPrompt() = default;
  // Shows the prompt for `session` modally; true exactly when it was closed with OK (the open
  // then tries the session's passwords again), false to give up (the open fails with 10498).
  virtual bool Prompt(TTarvoSession& session) = 0;
};

// The process's prompt; nullptr (the start) means none: an open without a fitting password fails.
void SetPasswordPrompt(TPasswordPrompt* prompt);
TPasswordPrompt* CurrentPasswordPrompt();

enum class TPromptResult { kNone, kOk, kCancel };

// One prompt's state: the text of the edit field and whether a password was added meanwhile.
class TPasswordDialogLogic {
 public:
  explicit TPasswordDialogLogic(TTarvoSession& session) : session_(session) {}

  // The edit field's text changed.
  void SetText(const std::string& text) { text_ = text; }
  const std::string& Text() const { return text_; }

  bool AddEnabled() const { return !text_.empty(); }
  bool RemoveEnabled() const { return !text_.empty(); }
  bool RemoveAllEnabled() const { return true; }
  bool OkEnabled() const { return !text_.empty() || password_added_; }
  bool PasswordAdded() const { return password_added_; }

  // Each does nothing while its button is disabled and returns whether it acted. Add and Remove
  // empty the edit field (the window then focuses it).
  bool Add();
  bool Remove();
  bool RemoveAll();
  // Adds the text (also an empty one after an earlier Add; the session ignores it) and closes
  // with OK.
  bool Ok();
  // Closes with Cancel (also Escape and the close box); the session keeps what the buttons did.
  void Cancel() { result_ = TPromptResult::kCancel; }

  TPromptResult Result() const { return result_; }
  bool Accepted() const { return result_ == TPromptResult::kOk; }

 private:
  TTarvoSession& session_;
  std::string text_;
  bool password_added_ = false;
  TPromptResult result_ = TPromptResult::kNone;
};

}  // namespace tarvo

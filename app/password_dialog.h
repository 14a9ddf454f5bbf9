// TTarvoPasswordDialog: the modal prompt for the password of an encrypted table (English texts),
// naming the table that asks.
// The controls only show and forward: what each button does and when it is enabled is
// TPasswordDialogLogic's. TPasswordDialogPrompt registers the dialog as the session's prompt.
#pragma once

#include <QDialog>

#include "components/password_prompt.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tarvo {

class TTarvoPasswordDialog : public QDialog {
  Q_OBJECT

 public:
  TTarvoPasswordDialog(TTarvoSession& session, QWidget* parent = nullptr);

  const TPasswordDialogLogic& Logic() const { return logic_; }

 private:
  void EditChange();
  void AddButtonClick();
  void RemoveButtonClick();
  void RemoveAllButtonClick();
  void OKButtonClick();
  void ShowStates();

  TPasswordDialogLogic logic_;
  QLabel* TableLabel = nullptr;  // only when the session names the table that asks
  QGroupBox* GroupBox1 = nullptr;
  QLineEdit* Edit = nullptr;
  QPushButton* AddButton = nullptr;
  QPushButton* RemoveButton = nullptr;
  QPushButton* RemoveAllButton = nullptr;
  QPushButton* OKButton = nullptr;
  QPushButton* CancelButton = nullptr;
};

// The process's password prompt while it exists: shows the dialog modally for each request.
class TPasswordDialogPrompt : public TPasswordPrompt {
 public:
  TPasswordDialogPrompt() { SetPasswordPrompt(this); }
  ~TPasswordDialogPrompt() override {
    if (CurrentPasswordPrompt() == this) SetPasswordPrompt(nullptr);
  }
  TPasswordDialogPrompt(const TPasswordDialogPrompt&) = delete;
  TPasswordDialogPrompt& operator=(const TPasswordDialogPrompt&) = delete;

  bool Prompt(TTarvoSession& session) override;
};

}  // namespace tarvo

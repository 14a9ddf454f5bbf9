#include "app/password_dialog.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

#include "components/tarvo_session.h"

namespace tarvo {

TTarvoPasswordDialog::TTarvoPasswordDialog(TTarvoSession& session, QWidget* parent)
    : QDialog(parent), logic_(session) {
  setObjectName("TarvoPasswordDialog");
  setWindowTitle(QString::fromUtf8(kPasswordDialogCaption));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  // The table that asks, on a line of its own above the controls, which move down to make room.
  const QString table = QString::fromStdString(session.PasswordTableName());
  const int top = table.isEmpty() ? 0 : 22;
  setFixedSize(273, 132 + top);
  if (!table.isEmpty()) {
    TableLabel = new QLabel(QString::fromUtf8(kPasswordTablePrefix) + table, this);
    TableLabel->setObjectName("TableLabel");
    TableLabel->setGeometry(8, 8, 257, 18);
  }

  GroupBox1 = new QGroupBox(QString::fromUtf8(kPasswordGroupCaption), this);
  GroupBox1->setObjectName("GroupBox1");
  GroupBox1->setGeometry(8, 8 + top, 257, 81);

  Edit = new QLineEdit(GroupBox1);
  Edit->setObjectName("Edit");
  Edit->setGeometry(16, 18, 225, 21);
  Edit->setEchoMode(QLineEdit::Password);
  // Every character shows as "*".
  Edit->setStyleSheet("lineedit-password-character: 42");

  AddButton = new QPushButton(QString::fromUtf8(kPasswordAddCaption), GroupBox1);
  AddButton->setObjectName("AddButton");
  AddButton->setGeometry(16, 46, 65, 25);
  AddButton->setAutoDefault(false);
  RemoveButton = new QPushButton(QString::fromUtf8(kPasswordRemoveCaption), GroupBox1);
  RemoveButton->setObjectName("RemoveButton");
  RemoveButton->setGeometry(88, 46, 65, 25);
  RemoveButton->setAutoDefault(false);
  RemoveAllButton = new QPushButton(QString::fromUtf8(kPasswordRemoveAllCaption), GroupBox1);
  RemoveAllButton->setObjectName("RemoveAllButton");
  RemoveAllButton->setGeometry(160, 46, 81, 25);
  RemoveAllButton->setAutoDefault(false);

  OKButton = new QPushButton(QString::fromUtf8(kPasswordOkCaption), this);
  OKButton->setObjectName("OKButton");
  OKButton->setGeometry(109, 98 + top, 75, 25);
  OKButton->setDefault(true);
  CancelButton = new QPushButton(QString::fromUtf8(kPasswordCancelCaption), this);
  CancelButton->setObjectName("CancelButton");
  CancelButton->setGeometry(190, 98 + top, 75, 25);
  CancelButton->setAutoDefault(false);

  connect(Edit, &QLineEdit::textChanged, this, [this] { EditChange(); });
  connect(AddButton, &QPushButton::clicked, this, [this] { AddButtonClick(); });
  connect(RemoveButton, &QPushButton::clicked, this, [this] { RemoveButtonClick(); });
  connect(RemoveAllButton, &QPushButton::clicked, this, [this] { RemoveAllButtonClick(); });
  connect(OKButton, &QPushButton::clicked, this, [this] { OKButtonClick(); });
  // Cancel, Escape and the close box all reject.
  connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
  connect(this, &QDialog::rejected, this, [this] { logic_.Cancel(); });

  setTabOrder(Edit, AddButton);
  setTabOrder(AddButton, RemoveButton);
  setTabOrder(RemoveButton, RemoveAllButton);
  setTabOrder(RemoveAllButton, OKButton);
  setTabOrder(OKButton, CancelButton);
  Edit->setFocus();
  ShowStates();
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
}

void TTarvoPasswordDialog::ShowStates() {
  AddButton->setEnabled(logic_.AddEnabled());
  RemoveButton->setEnabled(logic_.RemoveEnabled());
  RemoveAllButton->setEnabled(logic_.RemoveAllEnabled());
  OKButton->setEnabled(logic_.OkEnabled());
}

void TTarvoPasswordDialog::EditChange() {
  logic_.SetText(Edit->text().toStdString());
  ShowStates();
}

void TTarvoPasswordDialog::AddButtonClick() {
  if (logic_.Add()) Edit->clear();
  Edit->setFocus();
  ShowStates();
}

void TTarvoPasswordDialog::RemoveButtonClick() {
  if (logic_.Remove()) Edit->clear();
  Edit->setFocus();
  ShowStates();
}

void TTarvoPasswordDialog::RemoveAllButtonClick() {
  logic_.RemoveAll();
  Edit->setFocus();
}

void TTarvoPasswordDialog::OKButtonClick() {
  if (logic_.Ok()) accept();
}

bool TPasswordDialogPrompt::Prompt(TTarvoSession& session) {
  TTarvoPasswordDialog dialog(session, QApplication::activeWindow());
  return dialog.exec() == QDialog::Accepted && dialog.Logic().Accepted();
}

}  // namespace tarvo

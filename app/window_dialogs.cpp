#include "app/window_dialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

namespace tarvo {

TMessageAnswer TModalWindowDialogs::ShowMessage(QWidget* parent, TMessageKind kind, const QString& caption,
                                                const QString& text) {
  QMessageBox box(parent);
  box.setObjectName("MessageBox");
  box.setWindowTitle(caption);
  box.setText(text);
  if (kind == TMessageKind::kConfirmation) {
    box.setIcon(QMessageBox::Question);
    // Set explicitly: without a German catalogue Qt's standard buttons read "&Yes" and "&No".
    QPushButton* yes = box.addButton(QString::fromUtf8(kYesButtonText), QMessageBox::YesRole);
    QPushButton* no = box.addButton(QString::fromUtf8(kNoButtonText), QMessageBox::NoRole);
    box.setDefaultButton(yes);
    box.setEscapeButton(no);
    box.exec();
    return box.clickedButton() == yes ? TMessageAnswer::kYes : TMessageAnswer::kNo;
  }
  box.setIcon(kind == TMessageKind::kError ? QMessageBox::Critical : QMessageBox::Information);
  QPushButton* ok = box.addButton(QString::fromUtf8(kOkButtonText), QMessageBox::AcceptRole);
  box.setDefaultButton(ok);
  box.setEscapeButton(ok);
  box.exec();
  return TMessageAnswer::kOk;
}

QStringList TModalWindowDialogs::ChooseFiles(QWidget* parent, const TOpenDialogSettings& settings) {
  QFileDialog dialog(parent);
  dialog.setObjectName("OpenDialog");
  dialog.setWindowTitle(QString::fromStdString(settings.title));
  dialog.setOption(QFileDialog::DontUseNativeDialog, true);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(settings.allow_multi_select ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
  // Without QDir::CaseSensitive the name filter matches *.DAT, *.dat and *.Dat alike.
  dialog.setFilter(QDir::AllDirs | QDir::Files | QDir::Drives | QDir::NoDotAndDotDot);
  dialog.setNameFilter(QString::fromStdString(settings.filter));
  dialog.setDefaultSuffix(QString::fromStdString(settings.default_extension));
  dialog.setDirectory(QString::fromStdString(settings.initial_directory));
  if (dialog.exec() != QDialog::Accepted) return {};
  return dialog.selectedFiles();
}

}  // namespace tarvo

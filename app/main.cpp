// The maintenance program: one window over the tables of the directory it lies in. It reads no
// command-line argument, environment variable or configuration file of its own.
#include <QApplication>

#include "app/main_window.h"
#include "app/password_dialog.h"
#include "app/window_dialogs.h"
#include "runs/maintenance_texts.h"

int main(int, char** argv) {
  // Only the program's name reaches Qt: the arguments are not read.
  int qt_argc = 1;
  char* qt_argv[] = {argv[0], nullptr};
  QApplication application(qt_argc, qt_argv);
  QApplication::setApplicationName(QString::fromUtf8(tarvo::kApplicationTitle));
  (void)tarvo::InstallGermanTranslations();
  tarvo::TPasswordDialogPrompt password_prompt;
  tarvo::TModalWindowDialogs dialogs;
  tarvo::TfrmMain window(dialogs);
  window.show();
  return QApplication::exec();
}

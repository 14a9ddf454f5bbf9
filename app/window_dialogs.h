// TWindowDialogs: the modal dialogs of the maintenance window (message boxes and the file-open
// dialog) behind one small interface, so tests answer them without showing anything modal.
// TModalWindowDialogs shows the real ones.
#pragma once

#include <QString>
#include <QStringList>

#include "runs/window_operations.h"

class QWidget;

namespace tarvo {

class TWindowDialogs {
 public:
  virtual ~TWindowDialogs() = default;
  // `text` lines are joined with "\n".
  virtual TMessageAnswer ShowMessage(QWidget* parent, TMessageKind kind, const QString& caption,
                                     const QString& text) = 0;
  // The chosen full file names in the dialog's order; empty when cancelled.
  virtual QStringList ChooseFiles(QWidget* parent, const TOpenDialogSettings& settings) = 0;
};

// The real dialogs. A box is as wide as its longest line needs (within the screen). The open
// dialog resolves typed names without regard to case and reports those that lead to no file
// through ShowMessage, staying open.
class TModalWindowDialogs : public TWindowDialogs {
 public:
  TMessageAnswer ShowMessage(QWidget* parent, TMessageKind kind, const QString& caption,
                             const QString& text) override;
  QStringList ChooseFiles(QWidget* parent, const TOpenDialogSettings& settings) override;
};

// Loads the toolkit's German texts (standard dialogs and buttons) and German number and date
// formats, whatever the user's locale. Requires the application object; false when the
// catalogue is not installed (the toolkit's texts then stay English).
bool InstallGermanTranslations();

}  // namespace tarvo

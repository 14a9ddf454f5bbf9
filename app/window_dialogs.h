// TWindowDialogs: the modal dialogs of the maintenance window (message boxes and the file-open
// dialog) behind one small interface, so tests answer them without showing anything modal.
// TModalWindowDialogs shows the real ones.
#pragma once

#include <QString>
#include <QStringList>

#include "app/window_operations.h"

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

class TModalWindowDialogs : public TWindowDialogs {
 public:
  TMessageAnswer ShowMessage(QWidget* parent, TMessageKind kind, const QString& caption,
                             const QString& text) override;
  QStringList ChooseFiles(QWidget* parent, const TOpenDialogSettings& settings) override;
};

}  // namespace tarvo

#include "app/window_dialogs.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTranslator>
#include <algorithm>
#include <functional>

#include "runs/maintenance_texts.h"

namespace tarvo {

namespace {

// The open dialog with the names in its name field resolved as the engine resolves them: without
// regard to case, the default extension added where a name has none. A name that leads to no
// file is reported and the dialog stays open, so that the user can correct it; the toolkit's own
// check would compare case-sensitively and drop such a name from a list without a word.
class TOpenDialog : public QFileDialog {
 public:
  using TReport = std::function<void(QWidget* dialog, const QString& text)>;

  TOpenDialog(QWidget* parent, std::string default_extension, TReport report)
      : QFileDialog(parent), default_extension_(std::move(default_extension)), report_(std::move(report)) {}

  const QStringList& Chosen() const { return chosen_; }

 protected:
  // The controls exist once the dialog shows. The toolkit disables "Open" while a typed name is
  // not a file as spelled; here a name in any case, or a missing one to report, may be confirmed.
  void showEvent(QShowEvent* event) override {
    QFileDialog::showEvent(event);
    if (name_edit_ != nullptr) return;
    name_edit_ = findChild<QLineEdit*>("fileNameEdit");
    auto* buttons = findChild<QDialogButtonBox*>("buttonBox");
    QPushButton* open = buttons != nullptr ? buttons->button(QDialogButtonBox::Open) : nullptr;
    if (name_edit_ == nullptr || open == nullptr) return;
    connect(name_edit_, &QLineEdit::textChanged, this, [this, open] {
      if (!name_edit_->text().trimmed().isEmpty()) open->setEnabled(true);
    });
  }

 public:
  void accept() override {
    const std::vector<std::string> typed = name_edit_ != nullptr
                                               ? SplitTypedFileNames(name_edit_->text().toStdString())
                                               : std::vector<std::string>();
    const std::string directory = this->directory().absolutePath().toStdString();
    // Nothing typed, or a folder to go into: the toolkit's own handling.
    if (typed.empty() ||
        (typed.size() == 1 &&
         QFileInfo(QDir(QString::fromStdString(directory)), QString::fromStdString(typed[0])).isDir())) {
      QFileDialog::accept();
      return;
    }
    const TChosenFiles files = ResolveChosenFiles(directory, typed, default_extension_);
    if (!files.missing.empty()) {
      QStringList lines;
      for (const std::string& name : files.missing) {
        lines << QString::fromUtf8(kFileNotFoundBefore) + QString::fromStdString(name) +
                     QString::fromUtf8(kFileNotFoundAfter);
      }
      lines << QString::fromUtf8(kCheckFileName);
      report_(this, lines.join('\n'));
      return;
    }
    chosen_.clear();
    for (const std::string& file : files.found) chosen_ << QString::fromStdString(file);
    QDialog::accept();
  }

 private:
  std::string default_extension_;
  TReport report_;
  QLineEdit* name_edit_ = nullptr;
  QStringList chosen_;
};

}  // namespace

TMessageAnswer TModalWindowDialogs::ShowMessage(QWidget* parent, TMessageKind kind, const QString& caption,
                                                const QString& text) {
  QMessageBox box(parent);
  box.setObjectName("MessageBox");
  box.setWindowTitle(caption);
  box.setText(text);
  // The box breaks the text only where it says: the toolkit would wrap long lines at half the
  // screen's width, leaving single words on lines of their own.
  if (auto* label = box.findChild<QLabel*>("qt_msgbox_label"); label != nullptr) {
    int widest = 0;
    for (const QString& line : text.split('\n')) {
      widest = std::max(widest, label->fontMetrics().horizontalAdvance(line));
    }
    const QScreen* screen = parent != nullptr ? parent->screen() : QGuiApplication::primaryScreen();
    const int room = screen != nullptr ? screen->availableGeometry().width() - 160 : widest;
    label->setMinimumWidth(std::min(widest + 4, room));
  }
  if (kind == TMessageKind::kConfirmation) {
    box.setIcon(QMessageBox::Question);
    // Set explicitly: the texts are the program's own, whatever catalogue the toolkit has.
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
  TOpenDialog dialog(parent, settings.default_extension, [this](QWidget* over, const QString& text) {
    ShowMessage(over, TMessageKind::kError, QString::fromUtf8(kErrorCaption), text);
  });
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
  return dialog.Chosen().isEmpty() ? dialog.selectedFiles() : dialog.Chosen();
}

bool InstallGermanTranslations() {
  QCoreApplication* application = QCoreApplication::instance();
  if (application == nullptr) return false;
  // Dates and sizes in the dialogs too, whatever the user's locale.
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  auto* translator = new QTranslator(application);
  if (!translator->load(QLocale(QLocale::German, QLocale::Germany), "qtbase", "_",
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete translator;
    return false;
  }
  return QCoreApplication::installTranslator(translator);
}

}  // namespace tarvo

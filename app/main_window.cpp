#include "app/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QLabel>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScreen>
#include <QShowEvent>
#include <QVBoxLayout>

#include "runs/maintenance_texts.h"
#include "runs/reorganization_run.h"
#include "runs/repair_run.h"

namespace tarvo {

namespace {

// The client area, in the toolkit's logical pixels.
constexpr int kClientWidth = 508;
constexpr int kClientHeight = 487;

QString FromCrLf(const std::string& text) {
  return QString::fromStdString(text).replace("\r\n", "\n");
}

}  // namespace

QString InformationText() {
  QStringList lines;
  for (const char* line : kInformationLines) lines << QString::fromUtf8(line);
  return lines.join('\n');
}

TfrmMain::TfrmMain(TWindowDialogs& dialogs, std::string executable_path, QWidget* parent)
    : QMainWindow(parent),
      dialogs_(dialogs),
      executable_path_(std::move(executable_path)),
      components_(std::make_unique<TMaintenanceComponents>(*this)) {
  setObjectName("frmMain");
  BuildControls();
  // The table's events come to the window's handlers.
  TTarvoTable& table = components_->Table();
  table.OnRepairProgress = [this](TComponent& s, std::int32_t c, std::uint16_t p) {
    TableRepairProgress(s, c, p);
  };
  table.OnRepairLog = [this](TComponent& s, const std::string& m) { TableRepairLog(s, m); };
  table.OnOptimizeProgress = [this](TComponent& s, std::int32_t c, std::uint16_t p) {
    TableOptimizeProgress(s, c, p);
  };
  table.OnRestructureProgress = [this](TComponent& s, std::int32_t c, std::uint16_t p) {
    TableRestructureProgress(s, c, p);
  };
}

TfrmMain::~TfrmMain() {
  while (wait_cursors_ > 0) SetWaitCursor(false);
}

void TfrmMain::BuildControls() {
  setWindowTitle(QString::fromUtf8(kMainWindowCaption));
  // A fixed single border with only the close box.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);

  auto* client = new QWidget(this);
  client->setObjectName("ClientArea");
  client->setFixedSize(kClientWidth, kClientHeight);
  setCentralWidget(client);

  Bevel1 = new QFrame(client);
  Bevel1->setObjectName("Bevel1");
  Bevel1->setFrameShape(QFrame::Box);
  Bevel1->setFrameShadow(QFrame::Sunken);
  Bevel1->setGeometry(8, 8, 489, 457);

  Label1 = new QLabel(client);
  Label1->setObjectName("Label1");
  Label1->setGeometry(24, 16, 465, 208);
  Label1->setTextFormat(Qt::PlainText);
  Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Label1->setWordWrap(false);  // the lines break where the text says
  Label1->setText(InformationText());

  Label2 = new QLabel(QString::fromUtf8(kCurrentCaption), client);
  Label2->setObjectName("Label2");
  Label2->move(24, 440);
  Label2->adjustSize();

  Memo = new QPlainTextEdit(client);
  Memo->setObjectName("Memo");
  Memo->setGeometry(24, 232, 457, 201);
  Memo->setReadOnly(true);
  // Long repair messages wrap, at a blank where there is one, so each reads whole down to its
  // outcome.
  Memo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  Memo->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  Memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  QFont memo_font = Memo->font();
  memo_font.setPointSizeF(memo_font.pointSizeF() + 1);  // one step larger than the window's
  Memo->setFont(memo_font);

  ProgressBar1 = new QProgressBar(client);
  ProgressBar1->setObjectName("ProgressBar1");
  ProgressBar1->setGeometry(72, 440, 409, 16);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);

  setTabOrder(Memo, ProgressBar1);
  Memo->setFocus();

  MainMenu1 = new QMenuBar(this);
  MainMenu1->setObjectName("MainMenu1");
  setMenuBar(MainMenu1);
  mnuBeenden = MainMenu1->addAction(QString::fromUtf8(kMenuEndCaption));
  mnuBeenden->setObjectName("mnuBeenden");
  mnuKelto = MainMenu1->addAction(QString::fromUtf8(kMenuReorganizeCaption));
  mnuKelto->setObjectName("mnuKelto");
  mnurepair = MainMenu1->addAction(QString::fromUtf8(kMenuRepairCaption));
  mnurepair->setObjectName("mnurepair");
  connect(mnuBeenden, &QAction::triggered, this, [this] { btnEndeClick(); });
  connect(mnuKelto, &QAction::triggered, this, [this] { btnKeltoClick(); });
  connect(mnurepair, &QAction::triggered, this, [this] { mnurepairClick(); });

  layout()->setSizeConstraint(QLayout::SetFixedSize);
  adjustSize();
  setFixedSize(size());
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
}

void TfrmMain::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (shown_ || event->spontaneous()) return;
  shown_ = true;
  FormShow();
}

void TfrmMain::closeEvent(QCloseEvent* event) {
  // A run cannot be left halfway: the window stays until it ends.
  if (busy_depth_ > 0) {
    event->ignore();
    return;
  }
  QMainWindow::closeEvent(event);
}

void TfrmMain::FormShow() {
  RunHandler(*this, [this] { components_->Connect(executable_path_); });
}

void TfrmMain::btnEndeClick() {
  RunHandler(*this, [this] { Terminate(); });
}

void TfrmMain::btnKeltoClick() {
  RunHandler(*this, [this] { TReorganizationRun(*components_).Run(); });
}

void TfrmMain::mnurepairClick() {
  RunHandler(*this, [this] { TRepairRun(*components_).Run(); });
}

void TfrmMain::TableRestructureProgress(TComponent& sender, std::int32_t current_record,
                                        std::uint16_t percent_done) {
  components_->TableProgress(sender, current_record, percent_done);
}

void TfrmMain::TableOptimizeProgress(TComponent& sender, std::int32_t current_record,
                                     std::uint16_t percent_done) {
  components_->TableProgress(sender, current_record, percent_done);
}

void TfrmMain::TableRepairProgress(TComponent& sender, std::int32_t current_record,
                                   std::uint16_t percent_done) {
  components_->TableProgress(sender, current_record, percent_done);
}

void TfrmMain::TableRepairLog(TComponent& sender, const std::string& log_message) {
  components_->TableRepairLog(sender, log_message);
}

QStringList TfrmMain::LogLines() const {
  if (Memo->document()->isEmpty()) return {};
  return Memo->toPlainText().split('\n');
}

void TfrmMain::ClearLog() {
  Memo->clear();
}

void TfrmMain::AddLogEntry(const std::string& entry) {
  for (const std::string& line : SplitLogEntry(entry)) Memo->appendPlainText(QString::fromStdString(line));
}

void TfrmMain::SetProgress(int percent) {
  ProgressBar1->setValue(percent);
}

TMessageAnswer TfrmMain::ShowMessage(TMessageKind kind, const std::string& caption, const std::string& text) {
  return dialogs_.ShowMessage(this, kind, QString::fromStdString(caption), FromCrLf(text));
}

std::vector<std::string> TfrmMain::ChooseFiles(const TOpenDialogSettings& settings) {
  std::vector<std::string> files;
  for (const QString& file : dialogs_.ChooseFiles(this, settings)) files.push_back(file.toStdString());
  return files;
}

void TfrmMain::SetWaitCursor(bool wait) {
  if (wait) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ++wait_cursors_;
  } else if (wait_cursors_ > 0) {
    QApplication::restoreOverrideCursor();
    --wait_cursors_;
  }
}

void TfrmMain::SetWindowEnabled(bool enabled) {
  busy_depth_ += enabled ? -1 : 1;
  if (busy_depth_ < 0) busy_depth_ = 0;
  const bool idle = busy_depth_ == 0;
  // The menu's actions too: their shortcuts would otherwise still reach them while events are
  // processed during a run.
  for (QAction* action : {mnuBeenden, mnuKelto, mnurepair}) action->setEnabled(idle);
  setEnabled(idle);
}

void TfrmMain::ProcessPendingEvents() {
  QApplication::processEvents();
}

void TfrmMain::Terminate() {
  termination_requested_ = true;
  // Ends the event loop once the current handler returns; windows are not asked to close.
  QCoreApplication::exit(0);
}

}  // namespace tarvo

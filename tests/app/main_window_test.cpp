// The real window on Qt's offscreen platform, driven through its menu actions; its boxes and the
// open dialog are answered by a scripted TWindowDialogs, never shown. Checks what the user sees:
// captions and controls, the log, the boxes, the progress bar, and a window that is usable again
// after every run. Also the password dialog over its logic.
#include "app/main_window.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <deque>
#include <filesystem>

#include "app/maintenance_texts.h"
#include "app/password_dialog.h"
#include "components/session_list.h"
#include "components/tarvo_session.h"
#include "tests/app/app_tables.h"
#include "tests/testing/child_process.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

namespace fs = std::filesystem;
using testing::ExportRows;
using testing::FileBytes;
using testing::MakeTable;
using testing::TChildProcess;
using testing::TTempDir;

TARVO_CHILD(HoldTable) {
  TTarvoTable table;
  table.SetDatabaseName(args.at(0));
  table.SetTableName(args.at(1));
  table.SetExclusive(true);
  table.Open();
  testing::TellParent("held");
  testing::HearFromParent();
  table.Close();
  return 0;
}

struct TBox {
  TMessageKind kind;
  QString caption;
  QString text;
  bool window_enabled;
};

// Answers the window's dialogs from a script and remembers what was asked.
class TScriptedDialogs : public TWindowDialogs {
 public:
  TMessageAnswer ShowMessage(QWidget* parent, TMessageKind kind, const QString& caption,
                             const QString& text) override {
    boxes.push_back({kind, caption, text, parent->isEnabled()});
    if (kind != TMessageKind::kConfirmation) return TMessageAnswer::kOk;
    if (answers.empty()) {
      ADD_FAILURE() << "unexpected question: " << text.toStdString();
      return TMessageAnswer::kNo;
    }
    const TMessageAnswer answer = answers.front();
    answers.pop_front();
    return answer;
  }
  QStringList ChooseFiles(QWidget*, const TOpenDialogSettings& settings) override {
    dialogs.push_back(settings);
    return files;
  }

  std::vector<TBox> boxes;
  std::deque<TMessageAnswer> answers;
  std::vector<TOpenDialogSettings> dialogs;
  QStringList files;
};

class TMainWindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "main_window_test";
    static char* argv[] = {name, nullptr};
    if (QApplication::instance() == nullptr) new QApplication(argc, argv);
  }

  // A window whose program lies in `directory`, shown as at start-up.
  void Start(const fs::path& directory) {
    window_ = std::make_unique<TfrmMain>(dialogs_, (directory / "tarvo-reorganisation").string());
    window_->show();
  }
  void Trigger(const char* action) {
    auto* found = window_->findChild<QAction*>(action);
    ASSERT_NE(nullptr, found) << action;
    found->trigger();
  }
  QStringList Log() const { return window_->findChild<QPlainTextEdit*>("Memo")->toPlainText().split('\n'); }
  int Progress() const { return window_->findChild<QProgressBar*>("ProgressBar1")->value(); }
  void ExpectUsable() const {
    EXPECT_TRUE(window_->isEnabled());
    for (const char* name : {"mnuBeenden", "mnuKelto", "mnurepair"}) {
      EXPECT_TRUE(window_->findChild<QAction*>(name)->isEnabled()) << name;
    }
    EXPECT_EQ(nullptr, QApplication::overrideCursor());
  }

  TTempDir dir_;
  TScriptedDialogs dialogs_;
  std::unique_ptr<TfrmMain> window_;
};

TEST_F(TMainWindowTest, WindowAsTheUserSeesIt) {
  Start(dir_.Path());
  EXPECT_EQ("Datenbank Reorganisation", window_->windowTitle());
  EXPECT_EQ(window_->minimumSize(), window_->maximumSize());
  EXPECT_FALSE(window_->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
  EXPECT_TRUE(window_->windowFlags() & Qt::WindowCloseButtonHint);

  const QStringList lines = window_->findChild<QLabel*>("Label1")->text().split('\n');
  ASSERT_EQ(13, lines.size());
  for (int i = 0; i < 13; ++i) EXPECT_EQ(QString::fromUtf8(kInformationLines[i]), lines[i]) << i;
  EXPECT_EQ("  ", lines[1]);
  EXPECT_EQ("Aktuell:", window_->findChild<QLabel*>("Label2")->text());

  auto* memo = window_->findChild<QPlainTextEdit*>("Memo");
  ASSERT_NE(nullptr, memo);
  EXPECT_TRUE(memo->isReadOnly());
  EXPECT_EQ(Qt::ScrollBarAlwaysOff, memo->horizontalScrollBarPolicy());
  EXPECT_NE(Qt::ScrollBarAlwaysOff, memo->verticalScrollBarPolicy());
  auto* bar = window_->findChild<QProgressBar*>("ProgressBar1");
  EXPECT_EQ(0, bar->minimum());
  EXPECT_EQ(100, bar->maximum());
  EXPECT_NE(nullptr, window_->findChild<QWidget*>("Bevel1"));

  auto* menu = window_->findChild<QMenuBar*>("MainMenu1");
  ASSERT_NE(nullptr, menu);
  QStringList captions;
  for (QAction* action : menu->actions()) {
    captions << action->text();
    EXPECT_EQ(nullptr, action->menu());
  }
  EXPECT_EQ((QStringList{"Beenden", "Reorganisieren", "Reparieren"}), captions);

  EXPECT_EQ("Database", window_->Components().Database().Name());
  EXPECT_EQ("Table", window_->Components().Table().Name());
  EXPECT_EQ("ShellFileOperator", window_->Components().ShellFileOperator().Name());
}

TEST_F(TMainWindowTest, ShowingConnectsTheProgramsDirectoryWithBlanksAndUmlauts) {
  const fs::path odd = dir_.Path() / "Lager Daten ÄÖÜ ß";
  fs::create_directories(odd);
  Start(odd);
  EXPECT_EQ(odd.string() + "/", window_->DatabaseDirectory());
  EXPECT_TRUE(window_->Components().Database().Connected());
  EXPECT_TRUE(dialogs_.boxes.empty());
}

TEST_F(TMainWindowTest, NoTableBoxNamesTheDirectory) {
  Start(dir_.Path());
  Trigger("mnuKelto");
  ASSERT_EQ(1u, dialogs_.boxes.size());
  EXPECT_EQ("Information", dialogs_.boxes[0].caption);
  EXPECT_EQ(QString::fromStdString("Es wurden keine Dateien zur Reorganisation gefunden!\nDatenbankpfad: " +
                                   dir_.Dir()),
            dialogs_.boxes[0].text);
  ExpectUsable();
}

TEST_F(TMainWindowTest, OnlyUserDatLogsTheFrameAndAsksAboutBackups) {
  MakeTable(dir_.Path(), "User.Dat", 2);
  Start(dir_.Path());
  dialogs_.answers = {TMessageAnswer::kNo};
  Trigger("mnuKelto");
  EXPECT_EQ((QStringList{"Beginne Reorganisation...", "", "Reorganisation beendet", ""}), Log());
  ASSERT_EQ(1u, dialogs_.boxes.size());
  EXPECT_EQ("Bestätigung", dialogs_.boxes[0].caption);
  EXPECT_FALSE(dialogs_.boxes[0].window_enabled);  // asked while the run holds the window
  ExpectUsable();
}

TEST_F(TMainWindowTest, TableInUseShowsTheErrorAndEndsTheProgram) {
  MakeTable(dir_.Path(), "Kunden.dat", 2);
  MakeTable(dir_.Path(), "Lager.dat", 2);
  const std::string later = FileBytes(dir_.Path() / "Lager.dat");
  TChildProcess holder("HoldTable", {dir_.Dir(), "Kunden.dat"});
  ASSERT_EQ("held", holder.Receive());
  Start(dir_.Path());
  Trigger("mnuKelto");
  ASSERT_EQ(1u, dialogs_.boxes.size());
  EXPECT_EQ("Fehler", dialogs_.boxes[0].caption);
  EXPECT_TRUE(dialogs_.boxes[0].text.startsWith("Die Tabelle \"Kunden.dat\" ist im Zugriff eines Programms."))
      << dialogs_.boxes[0].text.toStdString();
  EXPECT_TRUE(dialogs_.boxes[0].text.endsWith("\nDas Programm wird beendet!"));
  EXPECT_TRUE(window_->TerminationRequested());
  EXPECT_EQ(later, FileBytes(dir_.Path() / "Lager.dat"));
  ExpectUsable();
  holder.Send("done");
  EXPECT_EQ(0, holder.Wait());
}

TEST_F(TMainWindowTest, EngineErrorInARunShowsTheApplicationsBoxAndFreesTheWindow) {
  MakeTable(dir_.Path(), "Kunden.dat", 2);
  TChildProcess holder("HoldTable", {dir_.Dir(), "Kunden.dat"});
  ASSERT_EQ("held", holder.Receive());
  Start(dir_.Path());
  dialogs_.files = {QString::fromStdString(dir_.File("Kunden.dat"))};
  Trigger("mnurepair");
  ASSERT_EQ(1u, dialogs_.boxes.size());
  EXPECT_EQ(TMessageKind::kError, dialogs_.boxes[0].kind);
  EXPECT_EQ("Reorganisation", dialogs_.boxes[0].caption);
  EXPECT_TRUE(dialogs_.boxes[0].text.startsWith("Tarvo Engine Error # "))
      << dialogs_.boxes[0].text.toStdString();
  EXPECT_EQ((QStringList{"Beginne Reparatur...", ""}), Log());
  ExpectUsable();
  holder.Send("done");
  EXPECT_EQ(0, holder.Wait());
}

TEST_F(TMainWindowTest, CancelledRepairLeavesTheLog) {
  MakeTable(dir_.Path(), "User.dat", 1);
  Start(dir_.Path());
  dialogs_.answers = {TMessageAnswer::kNo};
  Trigger("mnuKelto");
  const QStringList before = Log();
  Trigger("mnurepair");
  ASSERT_EQ(1u, dialogs_.dialogs.size());
  EXPECT_EQ("Tabelle zur Reparatur auswählen", dialogs_.dialogs[0].title);
  EXPECT_EQ(dir_.Dir(), dialogs_.dialogs[0].initial_directory);
  EXPECT_TRUE(dialogs_.dialogs[0].allow_multi_select);
  EXPECT_EQ(before, Log());
  ExpectUsable();
}

TEST_F(TMainWindowTest, ProgressBarReachesBothEndsAndLogMessagesGetDots) {
  Start(dir_.Path());
  TTarvoTable& table = window_->Components().Table();
  window_->TableOptimizeProgress(table, 1, 100);
  EXPECT_EQ(100, Progress());
  window_->TableRestructureProgress(table, 1, 0);
  EXPECT_EQ(0, Progress());
  window_->TableRepairProgress(table, 5, 37);
  EXPECT_EQ(37, Progress());
  window_->ClearLog();
  window_->TableRepairLog(table, "Header checked");
  EXPECT_EQ(QStringList{"Header checked..."}, Log());
}

TEST_F(TMainWindowTest, ThreeTableExampleThroughTheMenu) {
  MakeTable(dir_.Path(), "A.dat", 30);
  MakeTable(dir_.Path(), "USER.DAT", 2);
  MakeTable(dir_.Path(), "b.DAT", 30);
  const std::string rows_a = ExportRows(dir_.Path() / "A.dat");
  const std::string user = FileBytes(dir_.Path() / "USER.DAT");
  Start(dir_.Path());
  dialogs_.answers = {TMessageAnswer::kYes};
  Trigger("mnuKelto");
  ExpectUsable();
  ASSERT_FALSE(dialogs_.boxes.empty());
  EXPECT_EQ(
      (QStringList{"Beginne Reorganisation...", "", "Bearbeite Tabelle: A.DAT",
                   "Reindexierung abgeschlossen.", "Beginne Optimierung...", "Bearbeitung beendet: A.DAT", "",
                   "Bearbeite Tabelle: B.DAT", "Reindexierung abgeschlossen.", "Beginne Optimierung...",
                   "Bearbeitung beendet: B.DAT", "", "Reorganisation beendet", ""}),
      Log());
  EXPECT_EQ(100, Progress());
  EXPECT_EQ(rows_a, ExportRows(dir_.Path() / "A.dat"));
  EXPECT_EQ(user, FileBytes(dir_.Path() / "USER.DAT"));
}

TEST_F(TMainWindowTest, PasswordDialogAddsAndAnswersOk) {
  TTarvoSession& session = *Sessions().DefaultSession();
  TTarvoPasswordDialog dialog(session);
  EXPECT_EQ("Enter password", dialog.windowTitle());
  auto* edit = dialog.findChild<QLineEdit*>("Edit");
  auto* add = dialog.findChild<QPushButton*>("AddButton");
  auto* remove = dialog.findChild<QPushButton*>("RemoveButton");
  auto* ok = dialog.findChild<QPushButton*>("OKButton");
  ASSERT_TRUE(edit && add && remove && ok);
  EXPECT_EQ(QLineEdit::Password, edit->echoMode());
  EXPECT_EQ("Password", dialog.findChild<QGroupBox*>("GroupBox1")->title());
  EXPECT_EQ("&Add", add->text());
  EXPECT_EQ("Re&move all", dialog.findChild<QPushButton*>("RemoveAllButton")->text());
  EXPECT_EQ("Cancel", dialog.findChild<QPushButton*>("CancelButton")->text());
  EXPECT_FALSE(add->isEnabled());
  EXPECT_FALSE(remove->isEnabled());
  EXPECT_FALSE(ok->isEnabled());
  edit->setText("geheim");
  EXPECT_TRUE(add->isEnabled() && remove->isEnabled() && ok->isEnabled());
  add->click();
  EXPECT_TRUE(edit->text().isEmpty());
  EXPECT_TRUE(ok->isEnabled());  // a password was added during this prompt
  ok->click();
  EXPECT_EQ(QDialog::Accepted, dialog.result());
  EXPECT_TRUE(dialog.Logic().Accepted());
  session.RemoveAllPasswords();
}

TEST_F(TMainWindowTest, PasswordDialogCancelGivesUp) {
  TTarvoSession& session = *Sessions().DefaultSession();
  TTarvoPasswordDialog dialog(session);
  dialog.findChild<QLineEdit*>("Edit")->setText("x");
  dialog.findChild<QPushButton*>("CancelButton")->click();
  EXPECT_EQ(QDialog::Rejected, dialog.result());
  EXPECT_FALSE(dialog.Logic().Accepted());
}

}  // namespace
}  // namespace tarvo

// The real window on Qt's offscreen platform, driven through its menu actions; its boxes and the
// open dialog are answered by a scripted TWindowDialogs, never shown. Checks what the user sees:
// captions and controls, the log, the boxes, the progress bar, and a window that is usable again
// after every run. Also the password dialog over its logic.
#include "app/main_window.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "app/password_dialog.h"
#include "components/session_list.h"
#include "components/tarvo_session.h"
#include "runs/maintenance_texts.h"
#include "tests/runs/maintenance_tables.h"
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

// The program's own dialogs; their boxes are only recorded (confirmations answered No) unless
// `show_boxes` is set.
class TRealDialogs : public TModalWindowDialogs {
 public:
  TMessageAnswer ShowMessage(QWidget* parent, TMessageKind kind, const QString& caption,
                             const QString& text) override {
    boxes.push_back({kind, caption, text, parent->isEnabled()});
    if (show_boxes) return TModalWindowDialogs::ShowMessage(parent, kind, caption, text);
    return kind == TMessageKind::kConfirmation ? TMessageAnswer::kNo : TMessageAnswer::kOk;
  }

  bool show_boxes = false;
  std::vector<TBox> boxes;
};

// Acts on the modal windows that come up while `action` runs: each step takes the one that is
// active at that moment (a dialog that stays open takes the next step too). One that comes up
// after the last step is closed, and the test fails.
void WithModals(std::vector<std::function<void(QWidget*)>> steps, const std::function<void()>& action) {
  std::size_t next = 0;
  QTimer timer;
  timer.setInterval(50);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || !modal->isVisible()) return;
    if (next == steps.size()) {
      ADD_FAILURE() << "unexpected window " << modal->objectName().toStdString() << ": "
                    << modal->windowTitle().toStdString();
      modal->close();
      return;
    }
    steps[next++](modal);
  });
  timer.start();
  action();
  timer.stop();
  EXPECT_EQ(steps.size(), next) << "windows that never came";
}

// The name field of the open dialog: typed into and confirmed with Enter, as a user does.
void TypeIntoOpenDialog(QWidget* dialog, const QString& text) {
  auto* edit = dialog->findChild<QLineEdit*>("fileNameEdit");
  ASSERT_NE(nullptr, edit);
  QApplication::setActiveWindow(dialog);
  edit->setFocus();
  edit->clear();
  QTest::keyClicks(edit, text);
  QTest::keyClick(edit, Qt::Key_Return);
}

void SetWritable(const fs::path& file, bool writable) {
  const auto write = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  fs::permissions(file, write, writable ? fs::perm_options::add : fs::perm_options::remove);
}

// Screenshots of the window and its dialogs go beside the test's binary.
void SaveArtifact(QWidget* widget, const std::string& name) {
  const fs::path folder = fs::path(TARVO_APP_ARTIFACTS);
  fs::create_directories(folder);
  EXPECT_TRUE(widget->grab().save(QString::fromStdString((folder / name).string()))) << name;
}

class TMainWindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "main_window_test";
    static char* argv[] = {name, nullptr};
    if (QApplication::instance() == nullptr) new QApplication(argc, argv);
    ASSERT_TRUE(InstallGermanTranslations());
  }
  // A test whose window asked the program to end left the request standing: every modal loop
  // would return at once. The application's own loop starts by clearing it.
  void SetUp() override {
    QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
  }

  // A window whose program lies in `directory`, shown as at start-up.
  void Start(const fs::path& directory) { Start(directory, dialogs_); }
  void Start(const fs::path& directory, TWindowDialogs& dialogs) {
    window_ = std::make_unique<TfrmMain>(dialogs, (directory / "tarvo-reorganisation").string());
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
  QStringList log = Log();
  // After Yes, one line says what went: the three backups of each table.
  EXPECT_TRUE(log.takeLast().startsWith("6 Sicherungskopien gelöscht, ")) << Log().join('|').toStdString();
  EXPECT_EQ(
      (QStringList{"Beginne Reorganisation...", "", "Bearbeite Tabelle: A.DAT",
                   "Reindexierung abgeschlossen.", "Beginne Optimierung...", "Bearbeitung beendet: A.DAT", "",
                   "Bearbeite Tabelle: B.DAT", "Reindexierung abgeschlossen.", "Beginne Optimierung...",
                   "Bearbeitung beendet: B.DAT", "", "Reorganisation beendet", ""}),
      log);
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

TEST_F(TMainWindowTest, ReadOnlyTableDoesNotSpoilLaterRuns) {
  MakeTable(dir_.Path(), "Artikel.DAT", 20);
  MakeTable(dir_.Path(), "Kunden.DAT", 20);
  SetWritable(dir_.Path() / "Kunden.DAT", false);
  Start(dir_.Path());
  Trigger("mnuKelto");
  ASSERT_EQ(1u, dialogs_.boxes.size());
  EXPECT_TRUE(dialogs_.boxes[0].text.contains("# 11013")) << dialogs_.boxes[0].text.toStdString();
  // Writable again: the same process repairs and reorganizes both tables.
  SetWritable(dir_.Path() / "Kunden.DAT", true);
  dialogs_.boxes.clear();
  dialogs_.files = {QString::fromStdString(dir_.File("Kunden.DAT"))};
  Trigger("mnurepair");
  EXPECT_TRUE(Log().contains("Tabelle: KUNDEN.DAT Reparatur abgeschlossen")) << Log().join('|').toStdString();
  dialogs_.answers = {TMessageAnswer::kNo};
  Trigger("mnuKelto");
  EXPECT_TRUE(Log().contains("Bearbeitung beendet: KUNDEN.DAT")) << Log().join('|').toStdString();
  ASSERT_EQ(1u, dialogs_.boxes.size()) << dialogs_.boxes.back().text.toStdString();
  EXPECT_EQ(TMessageKind::kConfirmation, dialogs_.boxes[0].kind);
  ExpectUsable();
}

TEST_F(TMainWindowTest, RestructureOfAReadOnlyTableFailsInsteadOfClaimingSuccess) {
  MakeTable(dir_.Path(), "Kunden.DAT", 20);
  SetWritable(dir_.Path() / "Kunden.DAT", false);
  const std::string before = FileBytes(dir_.Path() / "Kunden.DAT");
  Start(dir_.Path());
  Trigger("mnuKelto");
  ASSERT_EQ(1u, dialogs_.boxes.size());
  EXPECT_EQ("Reorganisation", dialogs_.boxes[0].caption);
  EXPECT_TRUE(dialogs_.boxes[0].text.startsWith("Tarvo Engine Error # 11013 "))
      << dialogs_.boxes[0].text.toStdString();
  EXPECT_EQ((QStringList{"Beginne Reorganisation...", "", "Bearbeite Tabelle: KUNDEN.DAT"}), Log());
  EXPECT_EQ(before, FileBytes(dir_.Path() / "Kunden.DAT"));
  ExpectUsable();
}

TEST_F(TMainWindowTest, ReorganizationKeepsEncryptionAndTheTablesAsTheyWereAsBackups) {
  // Geheim is encrypted; Zahlen has a field type that the definitions give back as another
  // one, so its restructure copies the table and keeps the originals as backups.
  MakeTable(dir_.Path(), "Geheim.DAT", 40, {.password = "geheim"});
  MakeTable(dir_.Path(), "Zahlen.DAT", 40, {.password = "", .number_type = 13});
  const std::string rows = ExportRows(dir_.Path() / "Geheim.DAT", "geheim");
  std::map<std::string, std::string> originals;
  for (const char* ext : {"DAT", "IDX", "BLB"})
    originals[ext] = FileBytes(dir_.Path() / (std::string("Zahlen.") + ext));
  TPasswordDialogPrompt prompt;  // the dialog the program shows
  TRealDialogs dialogs;          // the backup question is answered No
  Start(dir_.Path(), dialogs);
  WithModals({[](QWidget* dialog) {
               auto* table = dialog->findChild<QLabel*>("TableLabel");
               EXPECT_TRUE(table != nullptr && table->text() == "Table: Geheim.DAT");
               dialog->findChild<QLineEdit*>("Edit")->setText("geheim");
               dialog->findChild<QPushButton*>("OKButton")->click();
             }},
             [&] { Trigger("mnuKelto"); });
  Sessions().DefaultSession()->RemoveAllPasswords();
  ASSERT_EQ(1u, dialogs.boxes.size()) << dialogs.boxes.back().text.toStdString();
  EXPECT_EQ(TMessageKind::kConfirmation, dialogs.boxes[0].kind);
  constexpr std::size_t kEncryptedFlag = 86;  // byte of the data file header
  for (const char* file : {"Geheim.DAT", "Geheim.DBK"}) {
    const std::string bytes = FileBytes(dir_.Path() / file);
    ASSERT_GT(bytes.size(), kEncryptedFlag) << file;
    EXPECT_EQ(1, bytes[kEncryptedFlag]) << file;
  }
  const std::string memo(60, 'b');  // the memo of the first record, in plain text
  for (const char* file : {"Geheim.BLB", "Geheim.BBK"}) {
    EXPECT_EQ(std::string::npos, FileBytes(dir_.Path() / file).find(memo)) << file;
  }
  EXPECT_EQ(rows, ExportRows(dir_.Path() / "Geheim.DAT", "geheim"));
  for (const auto& [from, to] :
       std::map<std::string, std::string>{{"DAT", "DBK"}, {"IDX", "IBK"}, {"BLB", "BBK"}}) {
    EXPECT_EQ(originals[from], FileBytes(dir_.Path() / ("Zahlen." + to))) << to;
  }
  ExpectUsable();
}

TEST_F(TMainWindowTest, LongRepairMessagesReadWhole) {
  MakeTable(dir_.Path(), "Kunden.DAT", 60);
  {
    // Blob blocks with broken headers: the repair reports the records that pointed there.
    std::fstream blob(dir_.File("Kunden.BLB"), std::ios::in | std::ios::out | std::ios::binary);
    blob.seekp(512 * 20);
    blob << std::string(64, '\xff');
  }
  Start(dir_.Path());
  dialogs_.files = {QString::fromStdString(dir_.File("Kunden.DAT"))};
  Trigger("mnurepair");
  QApplication::processEvents();
  auto* memo = window_->findChild<QPlainTextEdit*>("Memo");
  const QStringList log = Log();
  const auto longest = std::max_element(
      log.begin(), log.end(), [](const QString& a, const QString& b) { return a.size() < b.size(); });
  ASSERT_NE(log.end(), longest);
  EXPECT_GT(memo->fontMetrics().horizontalAdvance(*longest), memo->viewport()->width())
      << longest->toStdString();
  // Nothing lies beyond the view's right edge: the long lines wrap.
  EXPECT_EQ(0, memo->horizontalScrollBar()->maximum());
  EXPECT_EQ(log.join('\n'), memo->toPlainText());
  SaveArtifact(window_.get(), "main_window_after_repair.png");
}

TEST_F(TMainWindowTest, TypedNamesIgnoreCaseAndAMissingOneIsReported) {
  MakeTable(dir_.Path(), "Kunden.DAT", 5);
  MakeTable(dir_.Path(), "Lager.DAT", 5);
  TRealDialogs dialogs;
  Start(dir_.Path(), dialogs);
  WithModals({[](QWidget* dialog) { TypeIntoOpenDialog(dialog, R"("gibtsnicht.DAT" "Kunden.DAT")"); },
              [&](QWidget* dialog) {
                // The dialog stayed open after naming the missing file.
                ASSERT_EQ(1u, dialogs.boxes.size());
                EXPECT_EQ(TMessageKind::kError, dialogs.boxes[0].kind);
                EXPECT_EQ(
                    "Die Datei \"gibtsnicht.DAT\" wurde nicht gefunden.\nBitte prüfen Sie den Dateinamen.",
                    dialogs.boxes[0].text);
                TypeIntoOpenDialog(dialog, "lager");
              }},
             [&] { Trigger("mnurepair"); });
  EXPECT_EQ("Tabelle: LAGER.DAT Reparatur abgeschlossen", Log().value(Log().size() - 2))
      << Log().join('|').toStdString();
  EXPECT_FALSE(Log().join('|').contains("KUNDEN"));
  ExpectUsable();
}

TEST_F(TMainWindowTest, OpenDialogSpeaksGerman) {
  MakeTable(dir_.Path(), "Kunden.DAT", 2);
  TRealDialogs dialogs;
  Start(dir_.Path(), dialogs);
  WithModals({[](QWidget* dialog) {
               EXPECT_EQ("Tabelle zur Reparatur auswählen", dialog->windowTitle());
               QStringList texts;
               for (const char* name : {"lookInLabel", "fileNameLabel", "fileTypeLabel"}) {
                 texts << dialog->findChild<QLabel*>(name)->text();
               }
               for (QPushButton* button :
                    dialog->findChild<QDialogButtonBox*>("buttonBox")->findChildren<QPushButton*>()) {
                 texts << button->text();
               }
               EXPECT_EQ(
                   (QStringList{"Suchen in:", "Datei&name:", "Dateien des Typs:", "&Öffnen", "Abbrechen"}),
                   texts);
               SaveArtifact(dialog, "open_dialog.png");
               static_cast<QDialog*>(dialog)->reject();
             }},
             [&] { Trigger("mnurepair"); });
}

TEST_F(TMainWindowTest, InUseBoxIsAsWideAsItsLines) {
  MakeTable(dir_.Path(), "Kunden.DAT", 2);
  TChildProcess holder("HoldTable", {dir_.Dir(), "Kunden.DAT"});
  ASSERT_EQ("held", holder.Receive());
  TRealDialogs dialogs;
  dialogs.show_boxes = true;
  Start(dir_.Path(), dialogs);
  WithModals({[](QWidget* box) {
               auto* label = box->findChild<QLabel*>("qt_msgbox_label");
               ASSERT_NE(nullptr, label);
               const QStringList lines = label->text().split('\n');
               EXPECT_EQ(3, lines.size());
               for (const QString& line : lines) {
                 EXPECT_LE(label->fontMetrics().horizontalAdvance(line), label->contentsRect().width())
                     << line.toStdString();
               }
               SaveArtifact(box, "table_in_use_box.png");
               static_cast<QMessageBox*>(box)->buttons().front()->click();
             }},
             [&] { Trigger("mnuKelto"); });
  EXPECT_TRUE(window_->TerminationRequested());
  holder.Send("done");
  EXPECT_EQ(0, holder.Wait());
}

}  // namespace
}  // namespace tarvo

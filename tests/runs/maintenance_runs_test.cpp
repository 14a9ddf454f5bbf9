// The reorganization, repair and backup runs without any toolkit, through a fake window: the log
// line by line, the boxes with their texts, the end after a table in use, the window enabled again
// on every way out, and the directories the runs work in.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "components/tarvo_table.h"
#include "engine/index/index_tree.h"
#include "engine/tables/data_cursor.h"
#include "runs/backup_deletion.h"
#include "runs/maintenance_components.h"
#include "runs/maintenance_texts.h"
#include "runs/reorganization_run.h"
#include "runs/repair_run.h"
#include "tests/runs/fake_window.h"
#include "tests/runs/maintenance_tables.h"
#include "tests/testing/child_process.h"
#include "tests/testing/table_builder.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

namespace fs = std::filesystem;
using testing::DirectoryNames;
using testing::ExportRows;
using testing::FileBytes;
using testing::MakeTable;
using testing::TChildProcess;
using testing::TFakeWindow;
using testing::TTempDir;

// Holds a table open exclusively until the parent sends a line.
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

class TMaintenanceRunsTest : public ::testing::Test {
 protected:
  // The program lies in `directory`: the runs work there.
  void Connect(const fs::path& directory) {
    components_.Connect((directory / "tarvo-reorganisation").string());
  }

  void Reorganize() {
    RunHandler(window_, [this] { TReorganizationRun(components_).Run(); });
  }
  void Repair() {
    RunHandler(window_, [this] { TRepairRun(components_).Run(); });
  }
  std::string LastBoxText() const {
    return window_.boxes.empty() ? std::string() : window_.boxes.back().text;
  }
  void ExpectIdle() const {
    EXPECT_TRUE(window_.enabled);
    EXPECT_EQ(0, window_.wait_cursors);
  }

  TTempDir dir_;
  TFakeWindow window_;
  TMaintenanceComponents components_{window_};
};

TEST_F(TMaintenanceRunsTest, DatabaseDirectoryIsTheProgramsDirectoryWithItsDelimiter) {
  const fs::path odd = dir_.Path() / "Daten mit Blanks äöü Straße";
  fs::create_directories(odd);
  Connect(odd);
  EXPECT_EQ(odd.string() + "/", components_.DatabaseDirectory());
  EXPECT_EQ(odd.string() + "/", components_.Database().Directory());
  EXPECT_TRUE(components_.Database().Connected());
  EXPECT_EQ(odd.string() + "/", components_.OpenDialog().initial_directory);
}

TEST_F(TMaintenanceRunsTest, ComponentsAreSetUpAsTheWindowNeedsThem) {
  EXPECT_EQ("Kelto", components_.Database().DatabaseName());
  EXPECT_EQ("Default", components_.Database().SessionName());
  EXPECT_EQ("2.08", components_.Database().EngineVersion());
  TTarvoTable& table = components_.Table();
  EXPECT_EQ("Kelto", table.DatabaseName());
  EXPECT_EQ("Default", table.SessionName());
  EXPECT_FALSE(table.AutoDisplayLabels);
  EXPECT_FALSE(table.CopyOnAppend);
  EXPECT_TRUE(table.OnRepairProgress && table.OnRepairLog && table.OnOptimizeProgress &&
              table.OnRestructureProgress);
  EXPECT_FALSE(table.OnDataLost || table.OnUpgradeProgress || table.OnUpgradeLog || table.OnIndexProgress ||
               table.OnCopyProgress);
  EXPECT_EQ(0x0298, components_.ShellFileOperator().FlagWord());
  EXPECT_EQ(TShellFileOperationType::fotDelete, components_.ShellFileOperator().Operation);
  EXPECT_EQ("Tabelle zur Reparatur auswählen", components_.OpenDialog().title);
  EXPECT_EQ("Datenbanktabelle (*.DAT)", components_.OpenDialog().filter);
  EXPECT_EQ("DAT", components_.OpenDialog().default_extension);
}

TEST_F(TMaintenanceRunsTest, ProgressEventsMoveTheBarToBothEndsAndKeepTheWindowPainted) {
  components_.TableProgress(components_.Table(), 1, 0);
  EXPECT_EQ(0, window_.progress);
  components_.TableProgress(components_.Table(), 7, 100);
  EXPECT_EQ(100, window_.progress);
  EXPECT_EQ(2, window_.pending_processed);
  TComponent not_a_table;
  EXPECT_THROW(components_.TableProgress(not_a_table, 1, 50), std::bad_cast);
  components_.TableRepairLog(components_.Table(), "Checking header");
  EXPECT_EQ(std::vector<std::string>{"Checking header..."}, window_.log);
}

TEST_F(TMaintenanceRunsTest, NoTableShowsTheDirectoryAndLogsNothing) {
  fs::create_directories(dir_.Path() / "sub.dat");  // a directory is no table
  Connect(dir_.Path());
  window_.log = {"earlier"};
  Reorganize();
  ASSERT_EQ(1u, window_.boxes.size());
  EXPECT_EQ(TMessageKind::kInformation, window_.boxes[0].kind);
  EXPECT_EQ("Information", window_.boxes[0].caption);
  EXPECT_EQ("Es wurden keine Dateien zur Reorganisation gefunden!\r\nDatenbankpfad: " + dir_.Dir(),
            window_.boxes[0].text);
  EXPECT_EQ(std::vector<std::string>{"earlier"}, window_.log);
  EXPECT_EQ(0, window_.disabled_count);
  ExpectIdle();
}

TEST_F(TMaintenanceRunsTest, OnlyUserDatIsLeftAloneAndTheBackupQuestionComes) {
  MakeTable(dir_.Path(), "user.dat", 3);
  const std::string before = FileBytes(dir_.Path() / "user.dat");
  Connect(dir_.Path());
  window_.answers = {TMessageAnswer::kNo};
  Reorganize();
  EXPECT_EQ((std::vector<std::string>{"Beginne Reorganisation...", "", "Reorganisation beendet", ""}),
            window_.log);
  ASSERT_EQ(1u, window_.boxes.size());
  EXPECT_EQ("Bestätigung", window_.boxes[0].caption);
  EXPECT_EQ(kDeleteBackupsQuestion, window_.boxes[0].text);
  EXPECT_EQ(before, FileBytes(dir_.Path() / "user.dat"));
  ExpectIdle();
  EXPECT_FALSE(window_.terminated);
}

TEST_F(TMaintenanceRunsTest, TableInUseEndsTheRunAndTheProgramLeavingLaterTablesAlone) {
  MakeTable(dir_.Path(), "a.dat", 2);
  MakeTable(dir_.Path(), "c.dat", 2);
  const std::string later = FileBytes(dir_.Path() / "c.dat");
  TChildProcess holder("HoldTable", {dir_.Dir(), "a.dat"});
  ASSERT_EQ("held", holder.Receive());
  Connect(dir_.Path());
  Reorganize();
  ASSERT_EQ(1u, window_.boxes.size());
  EXPECT_EQ(TMessageKind::kError, window_.boxes[0].kind);
  EXPECT_EQ("Fehler", window_.boxes[0].caption);
  EXPECT_EQ(
      "Die Tabelle \"a.dat\" ist im Zugriff eines Programms. Sie kann nicht bearbeitet\r\n"
      "werden. Schließen Sie alle Programme, die auf die Datenbank zugreifen und versuchen Sie es erneut!\r\n"
      "Das Programm wird beendet!",
      window_.boxes[0].text);
  EXPECT_TRUE(window_.terminated);
  EXPECT_EQ((std::vector<std::string>{"Beginne Reorganisation...", ""}), window_.log);
  EXPECT_EQ(later, FileBytes(dir_.Path() / "c.dat"));
  ExpectIdle();
  holder.Send("done");
  EXPECT_EQ(0, holder.Wait());
}

TEST_F(TMaintenanceRunsTest, ThreeTableExampleLogsEachStepAndKeepsTheRecords) {
  MakeTable(dir_.Path(), "A.dat", 40);
  MakeTable(dir_.Path(), "USER.DAT", 3);
  MakeTable(dir_.Path(), "b.DAT", 25);
  const std::string rows_a = ExportRows(dir_.Path() / "A.dat");
  const std::string rows_b = ExportRows(dir_.Path() / "b.DAT");
  const std::string user = FileBytes(dir_.Path() / "USER.DAT");
  Connect(dir_.Path());
  window_.answers = {TMessageAnswer::kYes};
  Reorganize();
  ASSERT_FALSE(window_.log.empty());
  EXPECT_TRUE(window_.log.back().starts_with("6 Sicherungskopien gelöscht, ")) << window_.log.back();
  window_.log.pop_back();
  EXPECT_EQ((std::vector<std::string>{"Beginne Reorganisation...", "", "Bearbeite Tabelle: A.DAT",
                                      "Reindexierung abgeschlossen.", "Beginne Optimierung...",
                                      "Bearbeitung beendet: A.DAT", "", "Bearbeite Tabelle: B.DAT",
                                      "Reindexierung abgeschlossen.", "Beginne Optimierung...",
                                      "Bearbeitung beendet: B.DAT", "", "Reorganisation beendet", ""}),
            window_.log);
  ASSERT_EQ(1u, window_.boxes.size()) << LastBoxText();
  EXPECT_EQ(rows_a, ExportRows(dir_.Path() / "A.dat"));
  EXPECT_EQ(rows_b, ExportRows(dir_.Path() / "b.DAT"));
  EXPECT_EQ(user, FileBytes(dir_.Path() / "USER.DAT"));
  EXPECT_EQ(100, window_.progress);
  // Answered Yes: no backup copy is left.
  for (const std::string& name : DirectoryNames(dir_.Path())) {
    EXPECT_FALSE(name.size() > 3 && (name.ends_with("BK") || name.ends_with("bk"))) << name;
  }
  ExpectIdle();
}

TEST_F(TMaintenanceRunsTest, ReorganizesInADirectoryWithBlanksAndUmlauts) {
  const fs::path odd = dir_.Path() / "Meine Daten ÄÖÜ";
  fs::create_directories(odd);
  MakeTable(odd, "Kunden.dat", 10);
  const std::string rows = ExportRows(odd / "Kunden.dat");
  Connect(odd);
  window_.answers = {TMessageAnswer::kNo};
  Reorganize();
  ASSERT_EQ(1u, window_.boxes.size()) << LastBoxText();
  EXPECT_EQ("Bearbeite Tabelle: KUNDEN.DAT", window_.log.at(2));
  EXPECT_EQ(rows, ExportRows(odd / "Kunden.dat"));
  // Answered No: the optimize's backups stay.
  EXPECT_TRUE(fs::exists(odd / "Kunden.DBK") || fs::exists(odd / "Kunden.dbk"));
}

TEST_F(TMaintenanceRunsTest, AnEngineErrorEndsTheRunWithTheApplicationsErrorBox) {
  MakeTable(dir_.Path(), "A.dat", 2);
  MakeTable(dir_.Path(), "B.dat", 2);
  const fs::path other = dir_.Path() / "other";
  fs::create_directories(other);
  MakeTable(other, "held.dat", 2);
  TChildProcess holder("HoldTable", {other.string() + "/", "held.dat"});
  ASSERT_EQ("held", holder.Receive());
  Connect(dir_.Path());
  window_.chosen_files = {(dir_.Path() / "A.dat").string(), (other / "held.dat").string(),
                          (dir_.Path() / "B.dat").string()};
  Repair();
  ASSERT_FALSE(window_.boxes.empty());
  const testing::TShownBox& box = window_.boxes.back();
  EXPECT_EQ("Reorganisation", box.caption);
  EXPECT_EQ(0u, box.text.rfind("Tarvo Engine Error # ", 0)) << box.text;
  ExpectIdle();
  // No closing line for the failing table, and none after it.
  for (const std::string& line : window_.log) EXPECT_EQ(std::string::npos, line.find("HELD.DAT")) << line;
  EXPECT_EQ(std::string::npos, window_.log.back().find("B.DAT"));
  holder.Send("done");
  EXPECT_EQ(0, holder.Wait());
}

// An index that misses a record: the reorganization ends with the engine's refusal to optimize,
// which names the way out, and the table keeps its files.
TEST_F(TMaintenanceRunsTest, AnIndexMissingARecordEndsTheRunWithTheRefusal) {
  MakeTable(dir_.Path(), "A.dat", 5);
  {
    testing::TTestEngine engine(dir_.Dir());
    TDataCursor cursor(*engine.session, *engine.directory);
    TCursorOpenOptions options;
    options.table_name = "A.dat";
    options.exclusive = true;
    cursor.Open(options);
    ASSERT_TRUE(cursor.GoToSlot(3));
    TIndexTree tree(cursor.Table().IndexFile(), kPrimarySlot, cursor.Descriptors(), cursor.LanguageID(),
                    cursor.SortID());
    tree.Remove(tree.BuildKey(cursor.CurrentRecord()));
  }
  Connect(dir_.Path());
  Reorganize();
  EXPECT_EQ(0u, LastBoxText().rfind("Tarvo Engine Error # 8965 ", 0)) << LastBoxText();
  EXPECT_NE(std::string::npos, LastBoxText().find("repair the table")) << LastBoxText();
  EXPECT_FALSE(fs::exists(dir_.Path() / "A.DBK"));
  ExpectIdle();
}

TEST_F(TMaintenanceRunsTest, RepairWorksThroughTheChosenFilesInOrder) {
  const fs::path other = dir_.Path() / "anderes Verzeichnis";
  fs::create_directories(other);
  MakeTable(dir_.Path(), "Kunden.dat", 5);
  MakeTable(other, "artikel.dat", 5);
  MakeTable(dir_.Path(), "Orders.DAT", 5);
  Connect(dir_.Path());
  window_.chosen_files = {(dir_.Path() / "Orders.DAT").string(), (other / "artikel.dat").string(),
                          (dir_.Path() / "Kunden.dat").string()};
  Repair();
  ASSERT_EQ(1u, window_.dialogs.size());
  EXPECT_TRUE(window_.dialogs[0].hide_read_only);
  EXPECT_TRUE(window_.dialogs[0].allow_multi_select);
  EXPECT_TRUE(window_.boxes.empty()) << LastBoxText();
  ASSERT_GE(window_.log.size(), 2u);
  EXPECT_EQ("Beginne Reparatur...", window_.log[0]);
  EXPECT_EQ("", window_.log[1]);
  std::vector<std::string> closing;
  for (std::size_t i = 2; i < window_.log.size(); ++i) {
    const std::string& line = window_.log[i];
    if (line.starts_with("Tabelle: ")) {
      closing.push_back(line);
      EXPECT_EQ("", window_.log.at(i + 1));
    } else if (!line.empty()) {
      EXPECT_TRUE(line.ends_with("...")) << line;
    }
  }
  EXPECT_EQ((std::vector<std::string>{"Tabelle: ORDERS.DAT Reparatur abgeschlossen",
                                      "Tabelle: ARTIKEL.DAT Reparatur abgeschlossen",
                                      "Tabelle: KUNDEN.DAT Reparatur abgeschlossen"}),
            closing);
  ExpectIdle();
}

TEST_F(TMaintenanceRunsTest, CancelledRepairLeavesTheLog) {
  Connect(dir_.Path());
  window_.log = {"Beginne Reorganisation...", ""};
  Repair();
  EXPECT_EQ((std::vector<std::string>{"Beginne Reorganisation...", ""}), window_.log);
  EXPECT_TRUE(window_.boxes.empty());
  EXPECT_EQ(0, window_.disabled_count);
}

class TBackupDeletionTest : public TMaintenanceRunsTest {
 protected:
  void SetUp() override {
    for (const char* name : {"A.DBK", "A.IBK", "A.BBK", "b.dbk", "b.ibk", "b.bbk", "Notes.abk", "b.bk",
                             "A.DAT", "A.IDX", "A.BLB", "readme.txt"}) {
      std::ofstream(dir_.Path() / name) << name;
    }
  }
  const std::vector<std::string> kRemaining = {"A.BLB", "A.DAT", "A.IDX", "b.bk", "readme.txt"};
};

TEST_F(TBackupDeletionTest, AnsweringNoTouchesNothing) {
  Connect(dir_.Path());
  const std::vector<std::string> before = DirectoryNames(dir_.Path());
  window_.answers = {TMessageAnswer::kNo};
  TBackupDeletion(components_).DeleteBackups();
  EXPECT_EQ(before, DirectoryNames(dir_.Path()));
}

TEST_F(TBackupDeletionTest, AnsweringYesDeletesEveryBackupForGood) {
  Connect(dir_.Path());
  window_.answers = {TMessageAnswer::kYes};
  TBackupDeletion(components_).DeleteBackups();
  EXPECT_EQ(kRemaining, DirectoryNames(dir_.Path()));
  ASSERT_EQ(1u, window_.boxes.size());  // the question only
  EXPECT_EQ(std::vector<std::string>{"7 Sicherungskopien gelöscht, 39 Bytes freigegeben"}, window_.log);
  // A second run in the same process does not pass the first run's names again.
  window_.answers = {TMessageAnswer::kYes};
  TBackupDeletion(components_).DeleteBackups();
  EXPECT_EQ(2u, window_.boxes.size());
  EXPECT_TRUE(components_.ShellFileOperator().SourceFiles.empty());
}

TEST_F(TBackupDeletionTest, WorksInADirectoryWithBlanksAndUmlauts) {
  const fs::path odd = dir_.Path() / "Daten Ä ü";
  fs::create_directories(odd);
  for (const char* name : {"K.DBK", "K.IBK", "K.DAT"}) std::ofstream(odd / name) << name;
  Connect(odd);
  window_.answers = {TMessageAnswer::kYes};
  TBackupDeletion(components_).DeleteBackups();
  EXPECT_EQ(std::vector<std::string>{"K.DAT"}, DirectoryNames(odd));
}

TEST_F(TBackupDeletionTest, AFileThatCannotGoIsShownInAnErrorBoxAndTheRestGoes) {
  fs::permissions(dir_.Path() / "A.IBK",
                  fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  Connect(dir_.Path());
  window_.answers = {TMessageAnswer::kYes};
  TBackupDeletion(components_).DeleteBackups();
  ASSERT_EQ(2u, window_.boxes.size());
  EXPECT_EQ(TMessageKind::kError, window_.boxes[1].kind);
  EXPECT_EQ(dir_.Dir() + "A.IBK\r\n" + std::strerror(EACCES), window_.boxes[1].text);
  EXPECT_EQ(std::vector<std::string>{"6 Sicherungskopien gelöscht, 34 Bytes freigegeben"}, window_.log);
  std::vector<std::string> remaining = kRemaining;
  remaining.insert(remaining.begin() + 2, "A.IBK");
  EXPECT_EQ(remaining, DirectoryNames(dir_.Path()));
}

TEST(TSizeTextTest, BytesThenOneDecimalWithAComma) {
  const std::vector<std::pair<std::uintmax_t, std::string>> cases = {{0, "0 Bytes"},
                                                                     {1023, "1023 Bytes"},
                                                                     {1024, "1,0 KB"},
                                                                     {1536, "1,5 KB"},
                                                                     {5 * 1024 * 1024 + 300 * 1024, "5,3 MB"},
                                                                     {3ull << 30, "3,0 GB"}};
  for (const auto& [bytes, text] : cases) EXPECT_EQ(text, SizeText(bytes)) << bytes;
  EXPECT_EQ("1 Sicherungskopie gelöscht, 2,0 KB freigegeben", BackupsDeletedEntry(1, 2048));
}

TEST(TUpperCaseNameTest, EveryLetterUpperCasedByTheSimpleMapping) {
  EXPECT_EQ("KUNDEN.DAT", UpperCaseName("Kunden.dat"));
  EXPECT_EQ("ÄRGER.DAT", UpperCaseName("ärger.dat"));
  EXPECT_EQ("STRAßE.DAT", UpperCaseName("straße.dat"));  // ß has no single upper-case letter
  EXPECT_EQ("A\xFF.DAT", UpperCaseName("a\xFF.dat"));    // not UTF-8: kept
}

TEST(TSplitLogEntryTest, CrLfSeparatesLines) {
  EXPECT_EQ((std::vector<std::string>{"A", ""}), SplitLogEntry("A\r\n"));
  EXPECT_EQ((std::vector<std::string>{"A", "B"}), SplitLogEntry("A\r\nB"));
  EXPECT_EQ(std::vector<std::string>{""}, SplitLogEntry(""));
  EXPECT_EQ(std::vector<std::string>{"A\nB"}, SplitLogEntry("A\nB"));
}

}  // namespace
}  // namespace tarvo

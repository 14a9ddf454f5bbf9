// The German texts of the maintenance program: captions, the information text, log entries and
// box texts. Entries and texts join their lines with CR LF, as the log and the boxes show them.
#pragma once

namespace tarvo {

inline constexpr const char* kApplicationTitle = "Reorganisation";
inline constexpr const char* kMainWindowCaption = "Datenbank Reorganisation";
inline constexpr const char* kCurrentCaption = "Aktuell:";
inline constexpr const char* kMenuEndCaption = "Beenden";
inline constexpr const char* kMenuReorganizeCaption = "Reorganisieren";
inline constexpr const char* kMenuRepairCaption = "Reparieren";

// The 13 lines of the information text (several end in a blank; lines 2 and 8 are two blanks).
inline constexpr const char* kInformationLines[] = {
    "Reorganisation der Datenbanken!",
    "  ",
    "Von Zeit zu Zeit sollten Sie die Datenreorganisation starten. Durch die ",
    "Reorganisation wird der Zugriff auf die Daten beschleunigt. Führen Sie die ",
    "Skarvel ca. 3 mal im Jahr durch, oder  wenn Sie viele Daten gelöscht ",
    "haben! Und nachdem die Datenbanken repariert wurden. Bei großen ",
    "Datenbeständen kann die Reorganisation einige Zeit in Anspruch nehmen.",
    "  ",
    "WICHTIG: Starten Sie die Reorganisation nur, wenn Sie über eine aktuelle ",
    "Datensicherung der Daten verfügen. Unterbrechen Sie den Reorgansiations-",
    "lauf auf keinen Fall, dies kann zu Datenverlusten führen. Solange die Fest-",
    "platte arbeitet und die Fortschrittsanzeige läuft, arbeitet das Programm.",
    "Es wird empfohlen keine weiteren Programme auszuführen.",
};

// The database component's name for the database directory.
inline constexpr const char* kDatabaseName = "Kelto";
inline constexpr const char* kSessionName = "Default";
inline constexpr const char* kExcludedTable = "USER.DAT";

// Reorganization.
inline constexpr const char* kNoTablesFound =
    "Es wurden keine Dateien zur Reorganisation gefunden!\r\nDatenbankpfad: ";
inline constexpr const char* kReorganizationStarted = "Beginne Reorganisation...\r\n";
inline constexpr const char* kReorganizationFinished = "Reorganisation beendet\r\n";
inline constexpr const char* kProcessingTable = "Bearbeite Tabelle: ";
inline constexpr const char* kReindexedStartingOptimize =
    "Reindexierung abgeschlossen.\r\nBeginne Optimierung...";
inline constexpr const char* kProcessingFinished = "Bearbeitung beendet: ";
inline constexpr const char* kTableInUseBefore = "Die Tabelle \"";
inline constexpr const char* kTableInUseAfter =
    "\" ist im Zugriff eines Programms. Sie kann nicht bearbeitet\r\n"
    "werden. Schließen Sie alle Programme, die auf die Datenbank zugreifen und versuchen Sie es erneut!\r\n"
    "Das Programm wird beendet!";

// Repair.
inline constexpr const char* kOpenDialogTitle = "Tabelle zur Reparatur auswählen";
inline constexpr const char* kOpenDialogFilter = "Datenbanktabelle (*.DAT)";
inline constexpr const char* kOpenDialogDefaultExtension = "DAT";
// A name typed into the open dialog that leads to no file: one line per name, then the advice.
inline constexpr const char* kFileNotFoundBefore = "Die Datei \"";
inline constexpr const char* kFileNotFoundAfter = "\" wurde nicht gefunden.";
inline constexpr const char* kCheckFileName = "Bitte prüfen Sie den Dateinamen.";
inline constexpr const char* kRepairStarted = "Beginne Reparatur...\r\n";
inline constexpr const char* kRepairTablePrefix = "Tabelle: ";
inline constexpr const char* kRepairFinishedSuffix = " Reparatur abgeschlossen\r\n";
inline constexpr const char* kRepairLogSuffix = "...";

// Deletion of backups.
inline constexpr const char* kDeleteBackupsQuestion =
    "Sollen die während der Reorganisation angelegten\r\n"
    "Sicherungskopien gelöscht werden?\r\n"
    "Die Sicherungskopien verdoppeln den Platzbedarf\r\n"
    "auf der Festplatte!";
inline constexpr const char* kBackupPattern = "*.?bk";
// The log line after the deletion: "6 Sicherungskopien gelöscht, 1,2 MB freigegeben".
inline constexpr const char* kBackupDeletedOne = " Sicherungskopie gelöscht, ";
inline constexpr const char* kBackupsDeletedMany = " Sicherungskopien gelöscht, ";
inline constexpr const char* kSpaceFreed = " freigegeben";

}  // namespace tarvo

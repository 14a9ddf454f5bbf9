// Table file exchange and snapshot guard: the two ways in which a maintenance operation changes a
// table's files so that a failure or a crash at any moment leaves one complete table under the
// table's name, either the old one or the new one.
//
// An exchange puts the files of a freshly built table in place of the table's files (optimize,
// restructure by copying). A snapshot guard protects a change made in place (repair, rebuilding
// the indexes): the table's files are copied first, and an interrupted change is rolled back from
// the copies.
//
// Before the first file of the table is touched an intent file "<table>.XCH" is written beside the
// table and flushed (with its directory). Its lines:
//
//   line                                meaning
//   tarvo-exchange 2                    format marker
//   keep-backups<TAB>0|1                exchange: whether the old files stay as backups
//   aside<TAB>FROM<TAB>TO<TAB>ID        exchange: an old file moved out of the way (data file first)
//   place<TAB>FROM<TAB>TO<TAB>ID        exchange: a new file moved into place (data file last)
//   restore<TAB>COPY<TAB>FILE<TAB>ID<TAB>FILE_ID
//                                       guard: FILE is rolled back from its copy COPY
//   absent<TAB>FILE                     guard: FILE did not exist; a roll-back deletes it
//   discard<TAB>COPY                    guard, committed: the copy is only to be deleted
//   end                                 the list is complete
//
// Files are named relative to the intent file's own directory (a file of a private directory
// elsewhere by its absolute path), so that the intent means the same files however the table's
// directory is spelled when it is opened. ID is "device:inode" of the file that the step moves
// (of the copy for a guard), FILE_ID that of the table's file when its copy was taken. The
// recovery drops, without touching a file, an exchange's intent whose table no longer stands as
// the exchange left it (a name that holds a file no step put there), and a guard's intent whose
// copy is no longer a file of its own (a link). Intents of the earlier format ("tarvo-exchange 1": paths as
// the writer spelled the directory, no identities) are still read, as naming the files of the
// directory in which they lie.
//
// The process that writes the intent file keeps it open exclusively until it removes it, so that
// nobody else acts on it while the change runs; a process that dies releases it with its
// descriptors. An exchange commits when every "place" step is done; the intent file goes after
// the last new file is in place (and, without backups, after the old files are deleted; while one
// of them cannot be deleted it stays, so that the recovery deletes that file later). A
// guarded change commits when its intent file is rewritten to list only the copies to delete,
// after every changed file is on the disk; the intent file goes when the copies are gone.
// RecoverTableExchange completes a committed exchange and rolls back everything else; every open
// of a table calls it first. Tables in memory keep no intent file; their exchange rolls back in
// the process on a failure.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace tarvo {

// The hidden subdirectory of a table's directory that holds scratch tables and snapshots.
inline constexpr char kScratchSubdirectory[] = ".tarvo-scratch";

struct TExchangePlan {
  std::string directory;      // of the table, with a trailing "/"; "" for a table in memory
  std::string table_base;     // the table's name without extension
  std::string new_directory;  // of the new table, with a trailing "/"; "" in memory
  std::string new_base;       // the new table's name without extension
  bool in_memory = false;
  bool keep_backups = true;  // the old files become ".DBK", ".IBK", ".BBK"; else they are deleted
};

// The scratch folder to use in `directory` (with a trailing "/"), made when needed: the hidden
// subdirectory when it is a directory of our own that nobody else may write into, else a private
// folder made afresh beside it under a new name (".tarvo-scratch-" and six characters). Raises
// 11010 when neither can be had. Remove it when it is empty at the end.
std::string UseScratchFolder(const std::string& directory);

// The intent file of a table: directory + base + ".XCH".
std::string ExchangeIntentPath(const std::string& directory, const std::string& table_base);

// Requires: neither table is open anywhere in the process, and the new files are on the disk.
// Raises the file layer's codes; a failure before the commit rolls every step back.
void ExchangeTableFiles(const TExchangePlan& plan);

// Completes or rolls back an interrupted exchange or guarded change of table `table_name` (with
// or without extension) in `directory`. Returns whether there was one. Raises 10241 when another
// process is in the middle of one, and the file layer's code when a step cannot be done; the
// intent file then stays for the next attempt. An old file that cannot be deleted after a commit
// is no failure (the table is complete): the intent file stays for the next attempt.
bool RecoverTableExchange(const std::string& directory, const std::string& table_name);

// The same for every table of `directory` that has an intent file (before its tables are listed:
// a table caught between its files can lack its data file). Returns how many there were; goes
// on past a table that fails and raises the first failure at the end.
int RecoverTableExchanges(const std::string& directory);

// Gives the new file `path` the owner, group and permissions of the table's file `model` (found
// whatever the case of its name; nothing when there is none) and makes that durable.
void TakeOwnerAndMode(const std::string& path, const std::string& model);

// Writes the file's data to the disk (a no-op for files that do not exist).
void SyncFileToDisk(const std::string& path);

class TIntentFile;

// Guards a change made in place to a table that this process holds open exclusively. Take()
// copies the table's files and writes the intent file; Commit() ends the guard once the table is
// closed and its files are on the disk (raising when the commit itself cannot be written). Without Commit(),
// the destructor rolls the table back from the copies (the table must be closed by then); when that fails the
// intent file stays for RecoverTableExchange.
class TSnapshotGuard {
 public:
  TSnapshotGuard();
  ~TSnapshotGuard();
  TSnapshotGuard(const TSnapshotGuard&) = delete;
  TSnapshotGuard& operator=(const TSnapshotGuard&) = delete;

  // `directory` with a trailing "/"; `table_base` without extension; `files` the table's files
  // (those that do not exist are deleted by a roll-back).
  void Take(const std::string& directory, const std::string& table_base,
            const std::vector<std::string>& files);
  void Commit();
  bool Active() const { return intent_ != nullptr; }

 private:
  std::string directory_;
  std::string scratch_directory_;  // of the copies
  std::vector<std::string> copies_;
  std::string intent_text_;  // what the intent file says until the commit
  std::unique_ptr<TIntentFile> intent_;
};

}  // namespace tarvo

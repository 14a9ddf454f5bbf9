// Table file exchange: puts the files of a freshly built table in place of a table's files, so
// that a failure or a crash at any moment leaves one complete table (the old or the new one)
// under the table's name.
//
// Before the first old file is touched an intent file "<table>.XCH" is written beside the table
// and flushed (with its directory). It lists every step of the exchange:
//
//   line                          meaning
//   tarvo-exchange 1              format marker
//   keep-backups<TAB>0|1          whether the old files stay as backups
//   aside<TAB>FROM<TAB>TO         an old file moved out of the way (data file first)
//   place<TAB>FROM<TAB>TO         a new file moved into place (data file last)
//   end                           the list is complete
//
// The exchange commits when every "place" step is done. The intent file goes after the last
// new file is in place (and, without backups, after the old files are deleted; while one of them
// cannot be deleted the intent file stays, so that the recovery deletes it later). An interrupted
// exchange is completed (all new files in place) or rolled back (otherwise) by
// RecoverTableExchange. Tables in memory keep no intent file; their exchange rolls back in
// the process on a failure.
#pragma once

#include <string>

namespace tarvo {

struct TExchangePlan {
  std::string directory;      // of the table, with a trailing "/"; "" for a table in memory
  std::string table_base;     // the table's name without extension
  std::string new_directory;  // of the new table, with a trailing "/"; "" in memory
  std::string new_base;       // the new table's name without extension
  bool in_memory = false;
  bool keep_backups = true;  // the old files become ".DBK", ".IBK", ".BBK"; else they are deleted
};

// The intent file of a table: directory + base + ".XCH".
std::string ExchangeIntentPath(const std::string& directory, const std::string& table_base);

// Requires: neither table is open anywhere in the process, and the new files are on the disk.
// Raises the file layer's codes; a failure before the commit rolls every step back.
void ExchangeTableFiles(const TExchangePlan& plan);

// Completes or rolls back an exchange of table `table_name` (with or without extension) in
// `directory` that was interrupted. Returns whether there was one. Raises when a step cannot be
// done; the intent file then stays for the next attempt. An old file that cannot be deleted after
// the commit is no failure (the table is complete): the intent file stays for the next attempt.
bool RecoverTableExchange(const std::string& directory, const std::string& table_name);

// Writes the file's data to the disk (a no-op for files that do not exist).
void SyncFileToDisk(const std::string& path);

}  // namespace tarvo

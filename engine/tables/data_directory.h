// TDataDirectory: one directory of tables in an engine session, or the in-memory store ("MEMORY",
// empty path). Owns the TDataTable objects open in it; a table is listed while cursors have it
// open or a transaction holds it. Operations return 0 or a negated engine code; the cursor layer
// raises.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/format/table_definition.h"
#include "support/abstract_file.h"

namespace tarvo {

class TDataSession;
class TDataTable;

// How a cursor asks for a table.
struct TTableOpenRequest {
  bool exclusive = false;
  bool temporary = false;
  bool sequential = false;
  bool in_memory = false;
  bool read_only = false;     // the opener only reads (files it may not write are opened for reading)
  bool allow_attach = false;  // join a table even when it or the request is exclusive (internal use)
  bool repair = false;        // opened to be verified or repaired (TTableFlags::repair)
};

class TDataDirectory {
 public:
  TDataDirectory(TDataSession& session, std::string database_name, std::string path,
                 std::string universal_path);
  ~TDataDirectory();
  TDataDirectory(const TDataDirectory&) = delete;
  TDataDirectory& operator=(const TDataDirectory&) = delete;

  TDataSession& Session() const { return session_; }
  const std::string& DatabaseName() const { return database_name_; }
  const std::string& Path() const { return path_; }  // with a trailing "/"; empty for the memory store
  const std::string& UniversalPath() const { return universal_path_; }
  bool InMemory() const { return path_.empty(); }
  bool InTransaction() const { return in_transaction_; }

  int ReferenceCount() const { return reference_count_; }
  void AddReference() { ++reference_count_; }
  int ReleaseReference() { return --reference_count_; }

  // The table of that name, opened for a cursor; shared with the session's other cursors.
  // Raises on failure (11013 naming the table for a conflict within the session; file-level
  // errors as the file layer reports them). A failed open leaves the table unopened.
  TDataTable& OpenTable(const std::string& table_name, const TTableOpenRequest& request);
  // −11010 for a table that is not listed.
  [[nodiscard]] int CloseTable(TDataTable* table, bool discard);
  // Creates the table's files. Raises; 11013 when the table is open in this session. With a
  // creation other than kReplace an existing table fails with 13060 and is left alone.
  void CreateTable(const std::string& table_name, const TTableDefinition& definition, bool in_memory = false,
                   TFileCreation creation = TFileCreation::kReplace);
  // With `to_backups` the files get the backup extensions instead of the new name's.
  void RenameTable(const std::string& table_name, const std::string& new_name, bool to_backups,
                   bool in_memory = false);
  void DeleteTable(const std::string& table_name, bool in_memory = false);
  bool TableExists(const std::string& table_name, bool in_memory = false) const;
  // The first free name "<5 digits of the thread id><counter>.DAT".
  // `first` (when given) is the counter to start from, and receives the counter taken.
  std::string UniqueTableName(bool in_memory = false, int* first = nullptr) const;

  TDataTable* FindTable(const std::string& table_name, bool in_memory) const;
  std::size_t TableCount() const { return tables_.size(); }

  // Transactions over every listed table.
  void StartTransaction();
  void Commit(bool release);
  void Rollback();
  // Savepoints of the transaction, numbered from 0 up as they nest. Savepoint(n) keeps the state
  // of every table as savepoint n (and as any lower number the directory has no savepoint for
  // yet: until then nothing changed here since the transaction began). RollbackToSavepoint(n)
  // puts back the state of savepoint n, which stays, and ends those above it;
  // ReleaseSavepoint(n) ends savepoint n and those above it, keeping their changes. Numbers the
  // directory already has (or, for the other two, has not) are left alone, so that every SQL
  // table of the directory may pass on the same call. Outside a transaction nothing happens.
  void Savepoint(int number);
  void ReleaseSavepoint(int number);
  void RollbackToSavepoint(int number);
  std::size_t SavepointCount() const { return savepoints_; }

 private:
  void ReleaseUnusedTables();
  // The table name with the stem of its data file as the directory spells it.
  std::string NameOnDisk(const std::string& normalized) const;

  TDataSession& session_;
  std::string database_name_;
  std::string path_;
  std::string universal_path_;
  std::vector<std::unique_ptr<TDataTable>> tables_;
  int reference_count_ = 1;
  bool in_transaction_ = false;
  std::size_t savepoints_ = 0;  // savepoint n is the table's n-th undo level from the oldest
};

// The table name as the engine keeps it: trimmed, with the extension ".DAT".
std::string NormalizeTableName(const std::string& table_name);

// A table name names a file of its directory and nothing else: a name with a path delimiter ("/",
// "\\", ":"), a zero byte, or the name "." or ".." raises 11010. Whoever holds a path splits it
// into directory and name first; the engine never joins such a name to its directory.
void CheckTableName(const std::string& table_name);
bool IsPlainTableName(const std::string& table_name);

}  // namespace tarvo

// The two ways into PostgreSQL of `tarvo convert`: TPostgresTarget loads the tables into a
// database through libpq, TPsqlScriptTarget writes a script that psql loads where no server can
// be reached from here. Both carry the rows as the text form of COPY (pg_copy.h), so both load the
// same values, and both make each table in a transaction of its own: CREATE TABLE, the rows in one
// COPY, then the indexes, then COMMIT. A table that is complete therefore stays when a later one
// fails (the converter names the complete ones), and none is ever seen half loaded.
//
// A row whose required field is NULL would stop the COPY and with it the whole table: both
// targets refuse such a row themselves, with the column's name, and the table goes on.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "sql/migrate/convert_target.h"
#include "sql/migrate/pg_connection.h"
#include "sql/migrate/pg_copy.h"

namespace tarvo::sql {

// The rows of one table as COPY text, with the checks both targets make.
class TPgCopyRows {
 public:
  void Start(const TTableSchema& schema);
  // Appends the row to Text(), or returns why it is refused (and appends nothing). Values changed
  // to fit their column are named in `changed`.
  std::optional<std::string> Add(std::span<const TSqlValue> values, std::vector<std::string>& changed);
  std::string& Text() { return text_; }
  // The statements around the rows.
  std::string CopyStatement() const;
  std::string CreateStatement() const;
  // The primary key, added after the rows (nothing when it is an index of IndexStatements).
  std::optional<std::string> PrimaryKeyStatement() const;
  std::optional<std::string> PrimaryKeyColumns() const;  // "(a, b)"
  std::vector<std::string> IndexStatements() const;
  const TTableSchema& Schema() const { return schema_; }

 private:
  TTableSchema schema_;
  std::vector<TPgCopyKind> kinds_;
  std::vector<bool> required_;
  std::string text_;
};

class TPostgresTarget : public TConvertTarget {
 public:
  // Connects (`conninfo`: a libpq connection string or postgresql:// URI) and makes sure that none
  // of `tables` (UTF-8 names) exists in the database unless `replace`, in which case each is dropped
  // in the transaction that makes it anew. Throws EPgError.
  TPostgresTarget(const std::string& conninfo, const std::vector<std::string>& tables, bool replace);
  ~TPostgresTarget() override;

  void BeginTable(const TTableSchema& schema) override;
  std::optional<std::string> AddRow(std::span<const TSqlValue> values) override;
  std::vector<std::string> TakeChangedValues() override;
  std::vector<std::string> EndTable() override;
  void AbandonTable() noexcept override;
  void Finish() override;

 private:
  void SendRows();
  void StartSender();
  void StopSender();
  std::thread sender_;
  std::mutex mutex_;
  std::condition_variable changed_cv_;
  std::deque<std::string> queue_;
  bool sending_done_ = false;
  std::exception_ptr send_error_;

  TPgConnection connection_;
  bool replace_;
  TPgCopyRows rows_;
  std::vector<std::string> changed_;
};

class TPsqlScriptTarget : public TConvertTarget {
 public:
  // Creates the script file `path` (the caller has made sure that it may). Throws
  // std::runtime_error.
  explicit TPsqlScriptTarget(const std::string& path);
  ~TPsqlScriptTarget() override;

  void BeginTable(const TTableSchema& schema) override;
  std::optional<std::string> AddRow(std::span<const TSqlValue> values) override;
  std::vector<std::string> TakeChangedValues() override;
  std::vector<std::string> EndTable() override;
  void AbandonTable() noexcept override;
  void Finish() override;

 private:
  void Write(const std::string& text);

  std::string path_;
  std::FILE* file_ = nullptr;
  long table_start_ = -1;  // where the table's statements began in the file, while it is open
  TPgCopyRows rows_;
  std::vector<std::string> changed_;
};

}  // namespace tarvo::sql

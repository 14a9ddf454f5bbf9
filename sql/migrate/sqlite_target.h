// TSqliteTarget: tables into a new SQLite database file. Each table is one transaction: its
// CREATE TABLE, its rows through one prepared INSERT, then its indexes, committed in EndTable;
// an abandoned table is rolled back and leaves nothing. A unique index that the rows do not
// allow (a damaged table's duplicates) is made without UNIQUE and reported.
#pragma once

#include <string>

#include "sql/migrate/convert_target.h"

struct sqlite3;
struct sqlite3_stmt;

namespace tarvo::sql {

class TSqliteTarget : public TConvertTarget {
 public:
  // Opens (creating) the database file `path`; the caller has made sure that it may. Throws
  // std::runtime_error with SQLite's message.
  explicit TSqliteTarget(const std::string& path);
  ~TSqliteTarget() override;
  TSqliteTarget(const TSqliteTarget&) = delete;
  TSqliteTarget& operator=(const TSqliteTarget&) = delete;

  void BeginTable(const TTableSchema& schema) override;
  std::optional<std::string> AddRow(std::span<const TSqlValue> values) override;
  std::vector<std::string> EndTable() override;
  void AbandonTable() noexcept override;
  void Finish() override;

 private:
  void Execute(const std::string& statement);
  [[noreturn]] void Fail(const std::string& what);

  std::string path_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  TTableSchema schema_;
};

}  // namespace tarvo::sql

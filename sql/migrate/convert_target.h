// TConvertTarget: where `tarvo convert` moves tables to (a SQLite file, a PostgreSQL database, a
// script). The converter calls, for each table in turn:
//
//   BeginTable(schema)   create the table (CREATE TABLE, no secondary index yet)
//   AddRow(values)...    one call per record, values in field order (sql/sql_values.h)
//   EndTable()           create the indexes after the data; when it returns the table is
//                        complete in the target (committed, written)
// or, when the table cannot be finished, AbandonTable() (nothing of it stays), and after the
// last table Finish(). A target throws for failures that end the whole conversion (a full disk, a
// lost connection); the converter then names the tables that are complete.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sql/migrate/table_schema.h"
#include "sql/sql_values.h"

namespace tarvo::sql {

class TConvertTarget {
 public:
  virtual ~TConvertTarget() = default;

  virtual void BeginTable(const TTableSchema& schema) = 0;
  // Nothing when the row was taken, else the target's reason for refusing it (a NOT NULL, CHECK
  // or key constraint); the conversion goes on with the next record.
  virtual std::optional<std::string> AddRow(std::span<const TSqlValue> values) = 0;
  // The values that the last AddRow, having taken its row, had to change to fit the target (one
  // text each, naming its column); nothing from a target that takes every value as it is.
  virtual std::vector<std::string> TakeChangedValues() { return {}; }
  // The reasons of indexes that could not be made (each names its index); the table and its
  // other indexes are complete all the same.
  virtual std::vector<std::string> EndTable() = 0;
  virtual void AbandonTable() noexcept = 0;
  virtual void Finish() = 0;
};

}  // namespace tarvo::sql

// The result sets of `tarvo sql` on standard output, in one of four forms:
//   table  aligned columns under a header line and a rule, numbers to the right, values as in
//          csv with control characters shown as escapes (\n, \t, \x01);
//   csv    RFC 4180 as `tarvo export --format csv` writes it: a header line, CRLF line ends,
//          quotes where needed, NULL an empty field, blobs in hex after "\x";
//   json   one array of objects per result set, keys the column names in column order;
//   jsonl  one object per row and line.
// In JSON, integers and reals are numbers, text strings, blobs {"b64": "..."} (as `tarvo export`
// writes byte values) and NULL null; a column name that occurs twice stays twice.
// Each statement that has result columns is one result set.
#pragma once

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <sqlite3.h>

namespace tarvo::cli {

enum class TSqlFormat { kTable, kCsv, kJson, kJsonl };

std::optional<TSqlFormat> SqlFormatByName(const std::string& name);

class TSqlResultWriter {
 public:
  virtual ~TSqlResultWriter() = default;
  // A statement with result columns begins, ends: every result set is closed, also after an
  // error in its middle (the rows so far are written).
  virtual void Begin(sqlite3_stmt* statement) = 0;
  // The statement's current row.
  virtual void Row(sqlite3_stmt* statement) = 0;
  virtual void End() = 0;
};

std::unique_ptr<TSqlResultWriter> MakeSqlResultWriter(TSqlFormat format, std::ostream& out);

}  // namespace tarvo::cli

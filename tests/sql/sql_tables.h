// The tables the SQL tests query: the same rows once as Tarvo tables (made with `tarvo create` and
// `tarvo import`, some slots deleted afterwards through an engine cursor) and once as plain SQLite
// tables, with the rowid of every row equal to its record's slot number. Rows are kept in the form
// SQL shows them, and queries come back in that form, so both sides compare value for value.
#pragma once

#include <sqlite3.h>

#include <compare>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace tarvo::testing {

// A BLOB value (bytes), distinct from TEXT.
struct TBlob {
  std::string bytes;
  auto operator<=>(const TBlob&) const = default;
};
// One SQL value: NULL, INTEGER, REAL, TEXT (UTF-8) or BLOB.
using TCell = std::variant<std::monostate, std::int64_t, double, std::string, TBlob>;
using TRow = std::vector<TCell>;

// The value as SQL would write it, for messages ("NULL", 12, 1.5, 'text', x'0a').
std::string CellText(const TCell& cell);
std::string RowsText(const std::vector<TRow>& rows);
// The rows of two sorted lists that the other lacks, for a test's failure message.
std::string MissingRowsText(const std::vector<TRow>& ours, const std::vector<TRow>& theirs);

// How a column is written to a Tarvo table and declared in a plain one.
enum class TColumnKind {
  kAutoInc,
  kInteger,
  kBoolean,
  kReal,
  kFixed,
  kText,
  kDate,
  kTime,
  kDateTime,
  kBytes
};

struct TSqlColumn {
  std::string name;
  TColumnKind kind;
  // The declared type of the plain copy: the module's, except where that type's affinity would
  // change the values as stored (a fixed-point value kept as exact TEXT).
  std::string sql_type;
};

struct TSqlTable {
  std::string name;        // the Tarvo table's name and the plain table's
  std::string definition;  // the JSON definition `tarvo create` takes
  std::vector<TSqlColumn> columns;
  std::vector<TRow> rows;                   // row i is slot i + 1
  std::vector<std::int32_t> deleted_slots;  // slots deleted after the import
};

// Customers: every field type, NULLs, texts outside ASCII; a primary index, a case-insensitive
// one, one over two text fields, a descending one, a unique one, one over a float, and one with a
// descending second field; `language` 1031 or 0.
TSqlTable CustomerTable(const std::string& name, int language);
// Orders of those customers (some of customers deleted or never there), with an index on the
// customer and a descending one on the day.
TSqlTable OrderTable(const std::string& name);
// Regions by city: a plain table only, for joins of a Tarvo table with a native one.
TSqlTable RegionTable(const std::string& name);

// Creates the Tarvo table `table.name` in `dir` (a folder path with or without a trailing '/').
void CreateTarvoTable(const std::string& dir, const TSqlTable& table);
// Creates the plain table in `db` with the rows not deleted.
void CreatePlainTable(sqlite3* db, const TSqlTable& table);

// The rows of a statement (every statement of `sql` is run; the rows are the last one's), or an
// error message in `error` (then empty rows).
std::vector<TRow> QueryRows(sqlite3* db, const std::string& sql, std::string* error = nullptr);
// Runs statements that return no rows; the error message or "".
std::string Execute(sqlite3* db, const std::string& sql);
// The details of EXPLAIN QUERY PLAN for `sql`, one line each.
std::string QueryPlan(sqlite3* db, const std::string& sql);

}  // namespace tarvo::testing

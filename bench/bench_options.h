// The command line, the figures and the SQLite handle shared by the programs that run one
// operation on either side of the comparison in bench/compare (tarvo-bench-ops, tarvo-bench-sql):
//
//   PROGRAM OPERATION (--tarvo DIR | --sqlite FILE) [--size N] [--count N] [--seed S] [FLAGS]
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bench/bench_tables.h"

namespace tarvo::bench {

// What one program takes besides the common options.
struct TSideProgram {
  const char* name;        // as the messages name it
  const char* operations;  // the usage line's list, "a|b|c"
  bool takes_exclusive;    // the flag --exclusive
};

struct TSideOptions {
  std::string operation;
  std::string tarvo_directory;
  std::string sqlite_file;
  std::int32_t size = 1'000'000;
  std::int32_t count = -1;  // not given: the program chooses by operation
  std::uint64_t seed = kDefaultSeed;
  bool exclusive = false;
};

// The figures both sides must agree on.
struct TSideResult {
  std::int64_t rows = 0;
  std::int64_t hits = 0;
  std::int64_t text_bytes = 0;
};

// Says what is wrong (when `problem` is not empty) and how the program is called, on standard
// error, and ends the process with status 2.
[[noreturn]] void Usage(const TSideProgram& program, const std::string& problem);

// The options of argv; calls Usage on anything it does not take, when neither or both of
// --tarvo and --sqlite are given, and for a size that is not positive.
TSideOptions ParseSideOptions(const TSideProgram& program, int argc, char** argv);

// "seconds=", "rows=", "hits=" and "text_bytes=" lines on standard output.
void PrintSideResult(double seconds, const TSideResult& result);

// A database of the SQLite library; the statements prepared through it are finalized with it.
class TSqliteDatabase {
 public:
  // Opens `file` for reading and writing; `create` makes it when missing (":memory:").
  explicit TSqliteDatabase(const std::string& file, bool create = false);
  ~TSqliteDatabase();
  TSqliteDatabase(const TSqliteDatabase&) = delete;
  TSqliteDatabase& operator=(const TSqliteDatabase&) = delete;

  sqlite3_stmt* Prepare(const std::string& sql);
  // True for a row, false when done; throws on an error.
  bool Step(sqlite3_stmt* statement);
  void Execute(const std::string& sql);
  // Throws for a result code other than SQLITE_OK.
  void Check(int rc, const std::string& what) const;
  [[noreturn]] void Fail(const std::string& what) const;
  sqlite3* Handle() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
  std::vector<sqlite3_stmt*> statements_;
};

}  // namespace tarvo::bench

#include "bench/bench_options.h"

#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string_view>

namespace tarvo::bench {

void Usage(const TSideProgram& program, const std::string& problem) {
  if (!problem.empty()) std::cerr << program.name << ": " << problem << "\n";
  std::cerr << "usage: " << program.name << " " << program.operations
            << " (--tarvo DIR | --sqlite FILE) [--size N] [--count N] [--seed S]"
            << (program.takes_exclusive ? " [--exclusive]" : "") << "\n";
  std::exit(2);
}

TSideOptions ParseSideOptions(const TSideProgram& program, int argc, char** argv) {
  if (argc < 2) Usage(program, "");
  TSideOptions options;
  options.operation = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (program.takes_exclusive && arg == "--exclusive") {
      options.exclusive = true;
      continue;
    }
    if (i + 1 >= argc) Usage(program, "missing value after " + std::string(arg));
    const std::string value = argv[++i];
    if (arg == "--tarvo") {
      options.tarvo_directory = value;
    } else if (arg == "--sqlite") {
      options.sqlite_file = value;
    } else if (arg == "--size") {
      options.size = static_cast<std::int32_t>(std::strtol(value.c_str(), nullptr, 10));
    } else if (arg == "--count") {
      options.count = static_cast<std::int32_t>(std::strtol(value.c_str(), nullptr, 10));
    } else if (arg == "--seed") {
      options.seed = std::strtoull(value.c_str(), nullptr, 10);
    } else {
      Usage(program, "unknown option " + std::string(arg));
    }
  }
  if (options.tarvo_directory.empty() == options.sqlite_file.empty()) Usage(program, "give --tarvo or --sqlite");
  if (options.size <= 0) Usage(program, "--size must be a positive number");
  return options;
}

void PrintSideResult(double seconds, const TSideResult& result) {
  std::cout << "seconds=" << seconds << "\nrows=" << result.rows << "\nhits=" << result.hits
            << "\ntext_bytes=" << result.text_bytes << "\n";
}

TSqliteDatabase::TSqliteDatabase(const std::string& file, bool create) {
  Check(sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0), nullptr),
        "open");
}

TSqliteDatabase::~TSqliteDatabase() {
  for (sqlite3_stmt* statement : statements_) sqlite3_finalize(statement);
  sqlite3_close(db_);
}

sqlite3_stmt* TSqliteDatabase::Prepare(const std::string& sql) {
  sqlite3_stmt* statement = nullptr;
  Check(sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr), sql);
  statements_.push_back(statement);
  return statement;
}

bool TSqliteDatabase::Step(sqlite3_stmt* statement) {
  const int rc = sqlite3_step(statement);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  Fail(sqlite3_sql(statement));
}

void TSqliteDatabase::Execute(const std::string& sql) {
  Check(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr), sql);
}

void TSqliteDatabase::Check(int rc, const std::string& what) const {
  if (rc != SQLITE_OK) Fail(what);
}

void TSqliteDatabase::Fail(const std::string& what) const {
  throw std::runtime_error("sqlite: " + what + ": " + sqlite3_errmsg(db_));
}

}  // namespace tarvo::bench

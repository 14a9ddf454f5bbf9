// tarvo-bench-sql: the same SQL statements over the People table (bench_tables.h) on both sides,
// for the side-by-side comparison in bench/compare: over the Tarvo table through the virtual-table
// module (an in-memory database with the directory attached), or over the SQLite database that
// tarvo-bench-tables wrote.
//
//   tarvo-bench-sql OPERATION (--tarvo DIR | --sqlite FILE) [--size N] [--count N] [--seed S]
//
// Operations:
//   sql-point   --count random look-ups (default 200,000) of IDs 1 .. --size (every 10th is deleted,
//               so a tenth miss) with one prepared
//               SELECT Name, City, Amount, Born, Active FROM People WHERE ID = ?1
//   sql-range   --count ranges (default 50) of about 10,000 records each on the index of (City,
//               Born): SELECT Name, City, Born FROM People WHERE City BETWEEN ?1 AND ?2, the
//               bounds two cities chosen at random from the generator's rows such that the range
//               holds at least 10,000 records
//   sql-scan    one full scan with aggregates:
//               SELECT count(*), sum(Amount), max(Born), sum(length(Name)), sum(Active) FROM People
//   sql-update  --count single-row updates (default 10,000) of random IDs in one transaction:
//               UPDATE People SET Amount = Amount + 1 WHERE ID = ?1
//
// The keys and bounds are made before the clock starts. Printed on standard output: "seconds="
// the time of the operation alone (opening the database and attaching the table included), and
// figures both sides must agree on: "rows=" rows read or changed, "hits=" look-ups that found
// their key, "text_bytes=" the bytes of the text columns read.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bench/bench_options.h"
#include "bench/bench_tables.h"
#include "sql/tarvo_module.h"

namespace tarvo::bench {
namespace {

constexpr std::int64_t kRangeRecords = 10'000;

constexpr TSideProgram kProgram = {"tarvo-bench-sql", "sql-point|sql-range|sql-scan|sql-update", false};

TSideOptions ParseOptions(int argc, char** argv) {
  TSideOptions options = ParseSideOptions(kProgram, argc, argv);
  if (options.count < 0) {
    if (options.operation == "sql-point") options.count = 200'000;
    if (options.operation == "sql-range") options.count = 50;
    if (options.operation == "sql-update") options.count = 10'000;
  }
  return options;
}

// The database the statements run in: an in-memory one with the Tarvo directory attached through
// the virtual-table module, or the SQLite file.
class TDatabase : public TSqliteDatabase {
 public:
  explicit TDatabase(const TSideOptions& options)
      : TSqliteDatabase(options.tarvo_directory.empty() ? options.sqlite_file : ":memory:",
                        !options.tarvo_directory.empty()) {
    if (options.tarvo_directory.empty()) return;
    Check(sql::RegisterTarvoModule(Handle()), "tarvo module");
    sqlite3_stmt* attach = Prepare("SELECT tarvo_attach(?1)");
    sqlite3_bind_text(attach, 1, options.tarvo_directory.c_str(), -1, SQLITE_TRANSIENT);
    while (Step(attach)) {
    }
    sqlite3_reset(attach);
  }
};

std::int64_t TextBytes(sqlite3_stmt* statement, int column) {
  return sqlite3_column_type(statement, column) == SQLITE_TEXT ? sqlite3_column_bytes(statement, column) : 0;
}

std::vector<std::int32_t> RandomIds(const TSideOptions& options) {
  TPicker picker(options.seed ^ 0x5EEDull);
  std::vector<std::int32_t> ids(static_cast<std::size_t>(options.count));
  for (auto& id : ids) id = static_cast<std::int32_t>(picker.Below(static_cast<std::uint32_t>(options.size))) + 1;
  return ids;
}

// Pairs of cities (in byte order, as SQL compares them) that enclose at least kRangeRecords of
// the records that remain after every 10th is deleted, with random first cities.
std::vector<std::pair<std::string, std::string>> RandomRanges(const TSideOptions& options) {
  std::map<std::string, std::int64_t> per_city;
  TPeopleGenerator generator(options.seed);
  TPeopleRow row;
  for (std::int32_t id = 1; id <= options.size; ++id) {
    generator.Next(row);
    if (id % 10 != 0) ++per_city[row.city];
  }
  const std::vector<std::pair<std::string, std::int64_t>> cities(per_city.begin(), per_city.end());
  TPicker picker(options.seed ^ 0xCA7ull);
  std::vector<std::pair<std::string, std::string>> ranges;
  for (std::int32_t i = 0; i < options.count; ++i) {
    std::size_t first = picker.Below(static_cast<std::uint32_t>(cities.size()));
    std::size_t last = first;
    std::int64_t records = cities[first].second;
    while (records < kRangeRecords && last + 1 < cities.size()) records += cities[++last].second;
    while (records < kRangeRecords && first > 0) records += cities[--first].second;
    ranges.emplace_back(cities[first].first, cities[last].first);
  }
  return ranges;
}

TSideResult Run(const TSideOptions& options, double& seconds) {
  TSideResult result;
  const std::vector<std::int32_t> ids =
      options.operation == "sql-point" || options.operation == "sql-update" ? RandomIds(options)
                                                                            : std::vector<std::int32_t>{};
  const auto ranges = options.operation == "sql-range" ? RandomRanges(options)
                                                       : std::vector<std::pair<std::string, std::string>>{};
  const auto started = std::chrono::steady_clock::now();
  {
    TDatabase db(options);
    if (options.operation == "sql-point") {
      sqlite3_stmt* select = db.Prepare("SELECT Name, City, Amount, Born, Active FROM People WHERE ID = ?1");
      for (const std::int32_t id : ids) {
        sqlite3_bind_int(select, 1, id);
        while (db.Step(select)) {
          ++result.hits;
          ++result.rows;
          result.text_bytes += TextBytes(select, 0) + TextBytes(select, 1) + TextBytes(select, 3);
        }
        sqlite3_reset(select);
      }
    } else if (options.operation == "sql-range") {
      sqlite3_stmt* select = db.Prepare("SELECT Name, City, Born FROM People WHERE City BETWEEN ?1 AND ?2");
      for (const auto& [from, to] : ranges) {
        sqlite3_bind_text(select, 1, from.data(), static_cast<int>(from.size()), SQLITE_STATIC);
        sqlite3_bind_text(select, 2, to.data(), static_cast<int>(to.size()), SQLITE_STATIC);
        while (db.Step(select)) {
          ++result.rows;
          result.text_bytes += TextBytes(select, 0) + TextBytes(select, 1) + TextBytes(select, 2);
        }
        sqlite3_reset(select);
      }
    } else if (options.operation == "sql-scan") {
      sqlite3_stmt* select = db.Prepare(
          "SELECT count(*), sum(Amount), max(Born), sum(length(Name)), sum(Active) FROM People");
      while (db.Step(select)) {
        result.rows = sqlite3_column_int64(select, 0);
        result.text_bytes = sqlite3_column_int64(select, 3);
        result.hits = sqlite3_column_int64(select, 4);
      }
    } else if (options.operation == "sql-update") {
      sqlite3_stmt* update = db.Prepare("UPDATE People SET Amount = Amount + 1 WHERE ID = ?1");
      db.Execute("BEGIN");
      for (const std::int32_t id : ids) {
        sqlite3_bind_int(update, 1, id);
        while (db.Step(update)) {
        }
        result.rows += sqlite3_changes(db.Handle());
        sqlite3_reset(update);
      }
      db.Execute("COMMIT");
    } else {
      Usage(kProgram, "unknown operation " + options.operation);
    }
  }
  seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return result;
}

int Main(int argc, char** argv) {
  const TSideOptions options = ParseOptions(argc, argv);
  double seconds = 0;
  const TSideResult result = Run(options, seconds);
  PrintSideResult(seconds, result);
  return 0;
}

}  // namespace
}  // namespace tarvo::bench

int main(int argc, char** argv) {
  return tarvo::bench::RunProgram("tarvo-bench-sql", tarvo::bench::Main, argc, argv);
}

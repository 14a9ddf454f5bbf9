// tarvo-bench-tables: writes the People table of the benchmarks (bench_tables.h) for the
// side-by-side comparison in bench/compare.
//
//   tarvo-bench-tables --count N [--seed S] [--table NAME] [--tarvo DIR] [--sql FILE|-]
//                      [--jsonl FILE] [--json FILE]
//   tarvo-bench-tables --empty DIR [--table NAME]
//
// --tarvo builds DIR/NAME.DAT, .IDX and .BLB through the engine (every 10th record deleted);
// --sql writes the same rows as one SQL script for the sqlite3 shell: the table with
// `ID INTEGER PRIMARY KEY`, the indexes on `Name COLLATE NOCASE` and on `(City, Born)` created
// before the rows go in (as the engine keeps its indexes while loading), the rows, and the
// deletion of every 10th ID, all in one transaction. "-" writes the script to standard output,
// to be piped into sqlite3. Dates go in as 'YYYY-MM-DD' text, Active as 0/1, Notes as text or NULL.
// --jsonl writes the `count` records (none deleted) as JSON Lines for `tarvo import`, one object a
// line with the fields in table order (ID, Name, City, Amount, Born as "YYYY-MM-DD", Active as
// true/false, Notes as a string or null); --json writes the same objects as one JSON array, for
// SQLite's json_each. --empty creates the table without records in DIR.
// What was generated is reported on standard error as "key=value" lines.
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "bench/bench_tables.h"
#include "engine/format/calendar.h"

namespace tarvo::bench {
namespace {

struct TToolOptions {
  std::int32_t count = 0;
  std::uint64_t seed = kDefaultSeed;
  std::string table = kPeopleTable;
  std::string tarvo_directory;
  std::string sql_file;
  std::string jsonl_file;
  std::string json_file;
  std::string empty_directory;
};

constexpr int kRowsPerInsert = 200;

[[noreturn]] void Usage(const std::string& problem) {
  if (!problem.empty()) std::cerr << "tarvo-bench-tables: " << problem << "\n";
  std::cerr << "usage: tarvo-bench-tables --count N [--seed S] [--table NAME] [--tarvo DIR] [--sql FILE|-]\n"
               "                          [--jsonl FILE] [--json FILE]\n"
               "       tarvo-bench-tables --empty DIR [--table NAME]\n";
  std::exit(2);
}

TToolOptions ParseOptions(int argc, char** argv) {
  TToolOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") Usage("");
    if (i + 1 >= argc) Usage("missing value after " + std::string(arg));
    const std::string value = argv[++i];
    if (arg == "--count") {
      options.count = static_cast<std::int32_t>(std::strtol(value.c_str(), nullptr, 10));
    } else if (arg == "--seed") {
      options.seed = std::strtoull(value.c_str(), nullptr, 10);
    } else if (arg == "--table") {
      options.table = value;
    } else if (arg == "--tarvo") {
      options.tarvo_directory = value;
    } else if (arg == "--sql") {
      options.sql_file = value;
    } else if (arg == "--jsonl") {
      options.jsonl_file = value;
    } else if (arg == "--json") {
      options.json_file = value;
    } else if (arg == "--empty") {
      options.empty_directory = value;
    } else {
      Usage("unknown option " + std::string(arg));
    }
  }
  const bool rows_wanted = !options.tarvo_directory.empty() || !options.sql_file.empty() ||
                           !options.jsonl_file.empty() || !options.json_file.empty();
  if (options.empty_directory.empty() && !rows_wanted) Usage("give --tarvo, --sql, --jsonl, --json or --empty");
  if (rows_wanted && options.count <= 0) Usage("--count must be a positive number");
  if (options.table.empty() || options.table.find_first_of("\"'/") != std::string::npos) {
    Usage("the table name must not be empty nor hold quotes or slashes");
  }
  return options;
}

// `text` as an SQL string literal.
void AppendQuoted(std::string& out, std::string_view text) {
  out += '\'';
  for (const char c : text) {
    if (c == '\'') out += '\'';
    out += c;
  }
  out += '\'';
}

// The date as 'YYYY-MM-DD' between `quote`s.
void AppendDate(std::string& out, std::int32_t day_number, char quote = '\'') {
  const std::optional<TDate> date = DateFromDayNumber(day_number);
  char text[16];
  std::snprintf(text, sizeof text, "%c%04d-%02d-%02d%c", quote, date->Year, date->Month, date->Day, quote);
  out += text;
}

// Shortest text that reads back as the same double.
void AppendDouble(std::string& out, double value) {
  char text[32];
  const auto result = std::to_chars(text, text + sizeof text, value);
  out.append(text, result.ptr);
  if (std::string_view(text, result.ptr).find_first_of(".eE") == std::string_view::npos) out += ".0";
}

void Flush(std::FILE* file, std::string& out) {
  if (std::fwrite(out.data(), 1, out.size(), file) != out.size()) {
    throw std::runtime_error("writing failed");
  }
  out.clear();
}

void WriteSqlScript(const TToolOptions& options) {
  std::FILE* file = options.sql_file == "-" ? stdout : std::fopen(options.sql_file.c_str(), "wb");
  if (file == nullptr) throw std::runtime_error("cannot create " + options.sql_file);
  const std::string& t = options.table;
  std::string out;
  out.reserve(1 << 22);
  out += "PRAGMA journal_mode=OFF;\nPRAGMA synchronous=OFF;\nBEGIN;\n";
  out += "CREATE TABLE \"" + t +
         "\"(ID INTEGER PRIMARY KEY, Name TEXT, City TEXT, Amount REAL, Born DATE, Active BOOLEAN, "
         "Notes TEXT);\n";
  out += "CREATE INDEX \"" + t + "ByName\" ON \"" + t + "\"(Name COLLATE NOCASE);\n";
  out += "CREATE INDEX \"" + t + "ByCityBorn\" ON \"" + t + "\"(City, Born);\n";
  TPeopleGenerator generator(options.seed);
  TPeopleRow row;
  for (std::int32_t id = 1; id <= options.count; ++id) {
    generator.Next(row);
    out += (id - 1) % kRowsPerInsert == 0 ? "INSERT INTO \"" + t + "\" VALUES\n(" : ",\n(";
    out += std::to_string(id);
    out += ',';
    AppendQuoted(out, row.name);
    out += ',';
    AppendQuoted(out, row.city);
    out += ',';
    AppendDouble(out, row.amount);
    out += ',';
    AppendDate(out, row.born);
    out += row.active ? ",1," : ",0,";
    if (row.has_notes) {
      AppendQuoted(out, row.notes);
    } else {
      out += "NULL";
    }
    out += ')';
    if (id % kRowsPerInsert == 0 || id == options.count) out += ";\n";
    if (out.size() > (1 << 21)) Flush(file, out);
  }
  out += "DELETE FROM \"" + t + "\" WHERE ID % 10 = 0;\nCOMMIT;\n";
  Flush(file, out);
  if (file == stdout ? std::fflush(file) != 0 : std::fclose(file) != 0) {
    throw std::runtime_error("writing the SQL script failed");
  }
}

// `text` as a JSON string.
void AppendJsonString(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}

// The records as JSON objects: one a line, or (`array`) as the elements of one array.
void WriteJson(const TToolOptions& options, const std::string& path, bool array) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) throw std::runtime_error("cannot create " + path);
  std::string out;
  out.reserve(1 << 22);
  if (array) out += "[\n";
  TPeopleGenerator generator(options.seed);
  TPeopleRow row;
  for (std::int32_t id = 1; id <= options.count; ++id) {
    generator.Next(row);
    out += "{\"ID\":" + std::to_string(id) + ",\"Name\":";
    AppendJsonString(out, row.name);
    out += ",\"City\":";
    AppendJsonString(out, row.city);
    out += ",\"Amount\":";
    AppendDouble(out, row.amount);
    out += ",\"Born\":";
    AppendDate(out, row.born, '"');
    out += row.active ? ",\"Active\":true,\"Notes\":" : ",\"Active\":false,\"Notes\":";
    if (row.has_notes) {
      AppendJsonString(out, row.notes);
    } else {
      out += "null";
    }
    out += array && id < options.count ? "},\n" : "}\n";
    if (out.size() > (1 << 21)) Flush(file, out);
  }
  if (array) out += "]\n";
  Flush(file, out);
  if (std::fclose(file) != 0) throw std::runtime_error("writing " + path + " failed");
}

int Main(int argc, char** argv) {
  const TToolOptions options = ParseOptions(argc, argv);
  if (!options.tarvo_directory.empty()) {
    const TPeopleStats stats =
        BuildPeopleTable(options.tarvo_directory, options.count, options.seed, 1000, options.table);
    std::cerr << "added=" << stats.added << "\ndeleted=" << stats.deleted << "\nnotes=" << stats.notes
              << "\nnote_bytes=" << stats.note_bytes << "\nrepeated_names=" << stats.repeated_names
              << "\ndistinct_cities=" << stats.distinct_cities << "\nload_seconds=" << stats.load_seconds
              << "\ndelete_seconds=" << stats.delete_seconds << "\n";
  }
  if (!options.sql_file.empty()) WriteSqlScript(options);
  if (!options.jsonl_file.empty()) WriteJson(options, options.jsonl_file, false);
  if (!options.json_file.empty()) WriteJson(options, options.json_file, true);
  if (!options.empty_directory.empty()) CreateEmptyPeopleTable(options.empty_directory, options.table);
  return 0;
}

}  // namespace
}  // namespace tarvo::bench

int main(int argc, char** argv) {
  return tarvo::bench::RunProgram("tarvo-bench-tables", tarvo::bench::Main, argc, argv);
}

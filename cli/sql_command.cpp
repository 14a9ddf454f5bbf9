// tarvo sql DIR [QUERY]: attaches every table of DIR as a virtual table of an in-memory SQLite
// database and runs the statements of QUERY (several separated by ";"; read from standard input
// when QUERY is absent or "-") one after the other, writing the rows of each in the chosen form
// (sql_output.h). `--param NAME=VALUE` binds VALUE as text to :NAME (SQLite converts it where a
// column or an operator wants a number); a parameter without a value is an error, never a silent
// NULL. The first failing statement ends the run with SQLite's message and exit status 2; what
// the statements before it did stays. A transaction left open at the end is rolled back and the
// run fails, so that changes never vanish unreported.
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "cli/commands.h"
#include "cli/sql_output.h"
#include "sql/tarvo_module.h"

namespace tarvo::cli {

namespace {

struct TSqlArgs {
  std::string directory;
  std::string query;
  std::string format = "table";
  std::vector<std::string> params;
};

// A failure with SQLite's message, or with our own about the statements.
class ESqlFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TDatabaseCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct TStatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using TStatement = std::unique_ptr<sqlite3_stmt, TStatementFinalizer>;

[[noreturn]] void RaiseSqlite(sqlite3* db) {
  throw ESqlFailure(sqlite3_errmsg(db));
}

// Runs one statement that takes a single text argument and returns no rows of interest.
void CallWithText(sqlite3* db, const char* sql, const std::string& argument) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) RaiseSqlite(db);
  const TStatement statement(raw);
  sqlite3_bind_text(raw, 1, argument.data(), static_cast<int>(argument.size()), SQLITE_TRANSIENT);
  int rc = SQLITE_ROW;
  while (rc == SQLITE_ROW) rc = sqlite3_step(raw);
  if (rc != SQLITE_DONE) RaiseSqlite(db);
}

std::map<std::string, std::string> ParseParams(const std::vector<std::string>& params) {
  std::map<std::string, std::string> values;
  for (const std::string& param : params) {
    const auto equals = param.find('=');
    std::string name = param.substr(0, equals);
    if (!name.empty() && name.front() == ':') name.erase(0, 1);
    values[":" + name] = param.substr(equals + 1);
  }
  return values;
}

void BindParams(sqlite3_stmt* statement, const std::map<std::string, std::string>& values) {
  for (int i = 1; i <= sqlite3_bind_parameter_count(statement); ++i) {
    const char* name = sqlite3_bind_parameter_name(statement, i);
    const auto found = name == nullptr ? values.end() : values.find(name);
    if (found == values.end()) {
      throw ESqlFailure(std::string("no value for the parameter ") + (name == nullptr ? "?" : name) +
                        " (give --param NAME=VALUE for :NAME)");
    }
    const std::string& value = found->second;
    sqlite3_bind_text(statement, i, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
  }
}

// Runs the statements of `sql` one by one; throws ESqlFailure at the first that fails.
void RunStatements(sqlite3* db, const std::string& sql, const std::map<std::string, std::string>& params,
                   TSqlResultWriter& writer) {
  const char* next = sql.c_str();
  const char* const end = next + sql.size();
  while (next < end) {
    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(db, next, static_cast<int>(end - next), &raw, &tail) != SQLITE_OK) RaiseSqlite(db);
    next = tail;
    if (raw == nullptr) continue;  // only blanks or a comment
    const TStatement statement(raw);
    BindParams(raw, params);
    const bool rows = sqlite3_column_count(raw) > 0;
    if (rows) writer.Begin(raw);
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) writer.Row(raw);
    if (rows) writer.End();
    if (rc != SQLITE_DONE) RaiseSqlite(db);
  }
}

int RunSql(const TSqlArgs& args, TCliState& state) {
  const TSqlFormat format = SqlFormatByName(args.format).value_or(TSqlFormat::kTable);
  std::string query = args.query;
  if (query.empty() || query == "-") query.assign(std::istreambuf_iterator<char>(std::cin), {});
  const auto params = ParseParams(args.params);

  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(":memory:", &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  const std::unique_ptr<sqlite3, TDatabaseCloser> db(raw);
  const auto writer = MakeSqlResultWriter(format, std::cout);
  try {
    if (opened != SQLITE_OK) RaiseSqlite(raw);
    if (sql::RegisterTarvoModule(raw) != SQLITE_OK) RaiseSqlite(raw);
    for (const std::string& password : state.passwords) CallWithText(raw, "SELECT tarvo_password(?1)", password);
    CallWithText(raw, "SELECT tarvo_attach(?1)", args.directory);
    RunStatements(raw, query, params, *writer);
    if (sqlite3_get_autocommit(raw) == 0) {
      sqlite3_exec(raw, "ROLLBACK", nullptr, nullptr, nullptr);
      throw ESqlFailure("the transaction begun was neither committed nor rolled back: its changes were undone");
    }
  } catch (const ESqlFailure& e) {
    std::cout.flush();
    std::cerr << e.what() << "\n";
    return kExitError;
  }
  std::cout.flush();
  return std::cout ? kExitOk : kExitError;
}

void SetupSql(CLI::App& app, TCliState& state) {
  auto args = std::make_shared<TSqlArgs>();
  CLI::App* command = app.add_subcommand("sql", "Run SQL statements over the tables of a directory");
  command->add_option("DIR", args->directory, "The directory whose tables to attach")->required();
  command->add_option("QUERY", args->query,
                      "Statements separated by ';' (standard input when absent or '-')");
  command->add_option("--format", args->format, "table (default), csv, json or jsonl")
      ->check(CLI::IsMember({"table", "csv", "json", "jsonl"}));
  command->add_option("--param", args->params, "NAME=VALUE: the text VALUE bound to :NAME (repeatable)")
      ->check([](const std::string& value) {
        const auto equals = value.find('=');
        return equals == std::string::npos || equals == 0 || (equals == 1 && value[0] == ':')
                   ? std::string("want NAME=VALUE")
                   : std::string();
      });
  command->footer(
      "Every table of DIR is a table of the same name (USER included). Blob values are BLOBs, memos\n"
      "TEXT, dates 'YYYY-MM-DD', times 'HH:MM:SS.mmm', date-times 'YYYY-MM-DD HH:MM:SS.mmm'.\n"
      "For interactive work, load the extension libtarvo_sqlite into the sqlite3 shell (see README).\n"
      "Example:\n"
      "  tarvo sql data \"SELECT Name, Born FROM Kunden WHERE ID = :id\" --param id=42 --format csv");
  command->callback([args, &state] { state.action = [args, &state] { return RunSql(*args, state); }; });
}

}  // namespace

TARVO_COMMAND(70, SetupSql);

}  // namespace tarvo::cli

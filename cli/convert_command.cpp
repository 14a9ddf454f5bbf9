// tarvo convert DIR --to TARGET [--replace]: every table of a directory into another database
// (sql/migrate). Each table is opened shared, so that the application may keep running; one that
// another program holds exclusively is reported and skipped. A line per table and a summary go to
// standard output, a progress line per table to a terminal. When the target fails, the command
// stops and names the tables that are complete in it.
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>

#include "cli/commands.h"
#include "cli/progress_display.h"
#include "cli/table_list.h"
#include "cli/terminal.h"
#include "engine/format/field_messages.h"
#include "engine/tables/table_by_path.h"
#include "errors/engine_error.h"
#include "sql/migrate/postgres_target.h"
#include "sql/migrate/sqlite_target.h"
#include "sql/migrate/table_transfer.h"

namespace tarvo::cli {

namespace {

struct TConvertArgs {
  std::string directory;
  std::string to;
  std::string dialect;
  bool replace = false;
};

// Whether `--to` names a PostgreSQL server: a postgresql:// (or postgres://) URI or a libpq
// connection string of key=value pairs ("host=/run/postgresql dbname=daten"). A file whose name
// looks like one is named with a directory in front ("./a=b.sqlite").
bool IsPostgresConnection(const std::string& to) {
  if (to.starts_with("postgresql://") || to.starts_with("postgres://")) return true;
  const auto equals = to.find('=');
  if (equals == std::string::npos || equals == 0) return false;
  return std::all_of(to.begin(), to.begin() + static_cast<std::ptrdiff_t>(equals), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == ' ';
  });
}

// Makes way for the file target `path`: false after a message on standard error when it exists and
// `replace` is not given, or when it cannot be removed. `companions` go with it.
bool ClearFileTarget(const std::string& path, bool replace, std::initializer_list<const char*> companions) {
  std::error_code error;
  if (std::filesystem::symlink_status(path, error).type() == std::filesystem::file_type::not_found)
    return true;
  if (!replace) {
    std::cerr << "tarvo: " << path << " exists; give --replace to overwrite it\n";
    return false;
  }
  if (std::filesystem::is_directory(path, error)) {
    std::cerr << "tarvo: " << path << " is a directory\n";
    return false;
  }
  for (const char* suffix : companions) {
    std::filesystem::remove(path + suffix, error);
    if (error) {
      std::cerr << "tarvo: cannot remove " << path << suffix << ": " << error.message() << "\n";
      return false;
    }
  }
  return true;
}

// The target that `--to` and `--dialect` name, or nothing after a message on standard error: a
// PostgreSQL database (a connection), a script for psql (a file with --dialect postgresql) or a
// SQLite database file. An existing file, or a table that the database already has, is kept unless
// `--replace` is given.
std::unique_ptr<sql::TConvertTarget> MakeTarget(const TConvertArgs& args,
                                                const std::vector<std::string>& tables) {
  std::optional<sql::TSqlDialect> dialect;
  if (!args.dialect.empty()) {
    dialect = sql::ParseDialect(args.dialect);
    if (!dialect) {
      std::cerr << "tarvo: unknown dialect '" << args.dialect << "' (sqlite or postgresql)\n";
      return nullptr;
    }
  }
  if (IsPostgresConnection(args.to)) {
    if (dialect == sql::TSqlDialect::kSqlite) {
      std::cerr << "tarvo: " << args.to << " is a PostgreSQL connection, not a SQLite file\n";
      return nullptr;
    }
    std::vector<std::string> names;
    for (const std::string& table : tables) names.push_back(std::filesystem::path(table).stem().string());
    try {
      return std::make_unique<sql::TPostgresTarget>(args.to, names, args.replace);
    } catch (const sql::EPgError& e) {
      std::cerr << "tarvo: " << e.what() << "\n";
      return nullptr;
    }
  }
  if (dialect == sql::TSqlDialect::kPostgresql) {
    if (!ClearFileTarget(args.to, args.replace, {""})) return nullptr;
    return std::make_unique<sql::TPsqlScriptTarget>(args.to);
  }
  // The old database goes with its journals, so none of them is taken for the new one's.
  if (!ClearFileTarget(args.to, args.replace, {"", "-journal", "-wal", "-shm"})) return nullptr;
  return std::make_unique<sql::TSqliteTarget>(args.to);
}

// Set by SIGINT and SIGTERM while a conversion runs: the table being moved is given up (nothing
// of it stays in the target) and the command names the tables that are complete.
volatile std::sig_atomic_t stop_requested = 0;
extern "C" void RequestStop(int) {
  stop_requested = 1;
}

class TStopOnSignal {
 public:
  TStopOnSignal() {
    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // the reads and writes under way go on
    sigaction(SIGINT, &action, &old_int_);
    sigaction(SIGTERM, &action, &old_term_);
  }
  ~TStopOnSignal() {
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
  }
  TStopOnSignal(const TStopOnSignal&) = delete;
  TStopOnSignal& operator=(const TStopOnSignal&) = delete;

 private:
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
};

std::int64_t TableBytes(TDataTable& table) {
  std::int64_t bytes = table.DataFile().GetSize() + table.IndexFile().GetSize();
  if (table.HasBlobFile()) bytes += table.BlobFile().GetSize();
  return bytes;
}

std::string Megabytes(std::int64_t bytes) {
  std::ostringstream out;
  out << std::fixed << std::setprecision(1) << static_cast<double>(bytes) / 1e6 << " MB";
  return out.str();
}

std::string NameList(const std::vector<std::string>& names) {
  if (names.empty()) return "none";
  std::string out;
  for (const std::string& name : names) out += (out.empty() ? "" : ", ") + name;
  return out;
}

// ", 1 left out, 2 without a value"; empty without losses.
std::string LossText(std::int64_t left_out, std::int64_t incomplete) {
  std::string text;
  if (left_out > 0) text += ", " + std::to_string(left_out) + " left out";
  if (incomplete > 0) text += ", " + std::to_string(incomplete) + " without a value";
  return text;
}

int RunConvert(const TConvertArgs& args, TCliState& state) {
  const auto started = std::chrono::steady_clock::now();
  const std::vector<std::string> tables = TablePaths(args.directory);
  auto target = MakeTarget(args, tables);
  if (target == nullptr) return kExitError;

  TStopOnSignal stop_on_signal;
  TProgressDisplay progress(state.quiet);
  int status = kExitOk;
  std::int64_t records = 0;
  std::int64_t left_out = 0;
  std::int64_t incomplete = 0;
  std::int64_t bytes = 0;
  std::vector<std::string> complete;
  std::vector<std::string> skipped;
  std::vector<std::string> failed;
  auto stopped = [&](std::size_t t) {
    progress.Clear();
    std::cout.flush();
    std::vector<std::string> rest;
    for (std::size_t r = t; r < tables.size(); ++r)
      rest.push_back(std::filesystem::path(tables[r]).stem().string());
    std::cout << "Stopped. Complete in the target: " << NameList(complete)
              << "; not converted: " << NameList(rest) << "\n";
    return kExitError;
  };
  for (std::size_t t = 0; t < tables.size(); ++t) {
    const std::string name = std::filesystem::path(tables[t]).stem().string();
    if (stop_requested != 0) {
      std::cerr << "tarvo: interrupted\n";
      return stopped(t);
    }
    state.language = 0;
    std::unique_ptr<TOpenedTable> opened;
    try {
      opened = OpenTableByPath(tables[t], false, true, state.passwords, TerminalPasswordQuestion());
    } catch (const std::exception& e) {
      progress.Clear();
      const int why = ReportFailure(e, state.language);
      status = std::max(status, why);
      (why == kExitInUse ? skipped : failed).push_back(name);
      std::cout << name << ": "
                << (why == kExitInUse ? "skipped, in use by another program" : "not converted") << "\n";
      continue;
    }
    state.language = opened->cursor->LanguageID();
    progress.Start(name);
    try {
      const sql::TTransferOutcome outcome =
          sql::TransferTable(*opened->cursor, *target, [&](std::int64_t count, int percent) {
            // The last call comes after the table is complete.
            if (stop_requested != 0 && percent < 100) throw std::runtime_error("tarvo: interrupted");
            progress.Update(count, percent);
          });
      progress.Clear();
      records += outcome.records;
      left_out += outcome.left_out;
      incomplete += outcome.incomplete;
      bytes += TableBytes(opened->cursor->Table());
      complete.push_back(name);
      std::cout << name << ": " << outcome.records << " records"
                << LossText(outcome.left_out, outcome.incomplete) << "\n";
      for (const std::string& loss : outcome.losses) std::cout << "  " << loss << "\n";
      for (const std::string& index : outcome.index_failures) std::cout << "  index " << index << "\n";
      if (!outcome.losses.empty() || !outcome.index_failures.empty()) status = std::max(status, kExitDamage);
    } catch (const ETarvoEngineError& e) {
      // The table could not be read to its end; nothing of it stays in the target.
      progress.Clear();
      std::cout << name << ": not converted\n";
      std::cout.flush();
      status = std::max(status, ReportFailure(e, state.language));
      failed.push_back(name);
    } catch (const std::exception& e) {
      progress.Clear();
      std::cerr << MessageText(e, state.language) << "\n";
      return stopped(t);
    }
  }
  target->Finish();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::ostringstream time;
  time << std::fixed << std::setprecision(1) << seconds << " s";
  std::cout << complete.size() << " tables, " << records << " records, " << Megabytes(bytes) << " in "
            << time.str();
  std::cout << LossText(left_out, incomplete) << "\n";
  if (!skipped.empty()) std::cout << "Skipped (in use): " << NameList(skipped) << "\n";
  if (!failed.empty()) std::cout << "Not converted: " << NameList(failed) << "\n";
  std::cout.flush();
  return status;
}

void SetupConvert(CLI::App& app, TCliState& state) {
  auto args = std::make_shared<TConvertArgs>();
  CLI::App* command = app.add_subcommand("convert", "Move every table of a directory into another database");
  command->add_option("DIR", args->directory, "The database directory")->required();
  command
      ->add_option("--to", args->to,
                   "The target: a SQLite database file, a PostgreSQL database (postgresql://... or a\n"
                   "libpq connection string such as \"host=/run/postgresql dbname=daten\"), or with\n"
                   "--dialect postgresql a script for psql")
      ->required();
  command->add_option("--dialect", args->dialect, "The dialect of a file target (sqlite, postgresql)");
  command->add_flag("--replace", args->replace, "Overwrite a target that exists");
  command->footer(
      "Exit status: 0 done, 1 records of a damaged table left out or without a value (named), 2 error,\n"
      "3 a table in use by another program (skipped; the others are converted).\n"
      "Examples:\n  tarvo convert /srv/daten --to daten.sqlite\n"
      "  tarvo convert /srv/daten --to postgresql://user@server/daten\n"
      "  tarvo convert /srv/daten --to daten.sql --dialect postgresql && psql -d daten -f daten.sql");
  command->callback([args, &state] { state.action = [args, &state] { return RunConvert(*args, state); }; });
}

}  // namespace

TARVO_COMMAND(63, SetupConvert);

}  // namespace tarvo::cli

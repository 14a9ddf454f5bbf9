// tarvo schema TABLE.DAT|DIR --dialect sqlite|postgresql: the tables' definitions as SQL
// (sql/migrate/table_schema.h). A table that cannot be opened is reported and left out; the
// others are still written.
#include <iostream>

#include "cli/commands.h"
#include "cli/table_list.h"
#include "cli/terminal.h"
#include "engine/tables/table_by_path.h"
#include "sql/migrate/table_schema.h"

namespace tarvo::cli {

namespace {

struct TSchemaArgs {
  std::string path;
  std::string dialect = "sqlite";
};

int RunSchema(const TSchemaArgs& args, TCliState& state) {
  const auto dialect = sql::ParseDialect(args.dialect);
  if (!dialect) {
    std::cerr << "tarvo: unknown dialect '" << args.dialect << "' (sqlite or postgresql)\n";
    return kExitError;
  }
  int status = kExitOk;
  for (const std::string& table : TablePaths(args.path)) {
    state.language = 0;
    try {
      auto opened = OpenTableByPath(table, false, true, state.passwords, TerminalPasswordQuestion());
      state.language = opened->cursor->LanguageID();
      std::cout << sql::SchemaScript(sql::SchemaOf(*opened->cursor), *dialect);
    } catch (const std::exception& e) {
      std::cout.flush();
      status = std::max(status, ReportFailure(e, state.language));
    }
  }
  std::cout.flush();
  return std::cout ? status : kExitError;
}

void SetupSchema(CLI::App& app, TCliState& state) {
  auto args = std::make_shared<TSchemaArgs>();
  CLI::App* command =
      app.add_subcommand("schema", "Write the definition of tables as SQL (CREATE TABLE, CREATE INDEX)");
  command->add_option("TABLE", args->path, "A table's data file (.DAT) or a directory of tables")->required();
  command->add_option("--dialect", args->dialect, "sqlite (the default) or postgresql");
  command->footer(
      "Exit status: 0 done, 2 error, 3 a table in use by another program (the others are written).\n"
      "Example:\n  tarvo schema data --dialect postgresql > schema.sql");
  command->callback([args, &state] { state.action = [args, &state] { return RunSchema(*args, state); }; });
}

}  // namespace

TARVO_COMMAND(62, SetupSchema);

}  // namespace tarvo::cli

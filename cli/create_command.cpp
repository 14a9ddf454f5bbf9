// tarvo create TABLE --definition FILE.json
#include <fstream>
#include <iostream>

#include "cli/cli_table.h"
#include "cli/commands.h"
#include "cli/table_definition_json.h"
#include "errors/engine_error.h"

namespace tarvo::cli {

namespace {

struct TCreateOptions {
  std::string table;
  std::string definition;
};

int RunCreate(const TCreateOptions& options, TCliState& state) {
  const std::optional<nlohmann::json> json = ReadDefinitionFile(options.definition);
  if (!json) return kExitError;
  state.language = DefinitionLanguage(*json);
  const TTablePath path = SplitTablePath(options.table);
  TCliEngine engine(path.directory, state.passwords);
  const std::string name = NormalizeTableName(path.table);
  if (engine.Directory().TableExists(name)) RaiseEngineError(kTableExists, name);
  try {
    // Made only under a free name: of two creators of one table exactly one wins.
    engine.Directory().CreateTable(name, ParseTableDefinition(*json, name), false, TFileCreation::kNew);
  } catch (const std::invalid_argument& e) {
    std::cerr << e.what() << "\n";
    return kExitError;
  }
  return kExitOk;
}

void SetupCreate(CLI::App& app, TCliState& state) {
  auto options = std::make_shared<TCreateOptions>();
  CLI::App* command = app.add_subcommand("create", "Create a new, empty table from a JSON definition");
  command->add_option("TABLE", options->table, "The data file of the new table (DIR/NAME.DAT)")->required();
  command->add_option("--definition", options->definition, "The table definition (JSON)")->required();
  command->footer(
      "Example:\n  tarvo create data/Kunden.DAT --definition kunden.json\n"
      "The definition format is described in the README; `tarvo info --json` prints it for a table.");
  command->callback(
      [options, &state] { state.action = [options, &state] { return RunCreate(*options, state); }; });
}

}  // namespace

TARVO_COMMAND(10, SetupCreate);

}  // namespace tarvo::cli

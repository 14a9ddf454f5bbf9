// tarvo export TABLE [--index NAME]: writes every record as one JSON object per line
// (record_json.h) with its blob values, in the order of the primary index, of the named secondary index, or,
// for a table without primary index, in slot order.
#include <iostream>

#include "cli/cli_table.h"
#include "cli/commands.h"
#include "cli/record_json.h"
#include "cli/terminal.h"

namespace tarvo::cli {

namespace {

struct TExportArgs {
  std::string table;
  std::string index;
};

int RunExport(const TExportArgs& args, TCliState& state) {
  auto opened = OpenTableByPath(args.table, false, true, state.passwords, TerminalPasswordQuestion());
  TDataCursor& cursor = *opened->cursor;
  state.language = cursor.LanguageID();
  cursor.SelectIndex(StoredIndexName(cursor.Table().IndexFile().Header(), args.index, cursor.LanguageID()));
  for (bool on = cursor.First(); on; on = cursor.Next()) {
    std::cout << CurrentRecordToJson(cursor).dump() << "\n";
  }
  std::cout.flush();
  return std::cout ? kExitOk : kExitError;
}

void SetupExport(CLI::App& app, TCliState& state) {
  auto args = std::make_shared<TExportArgs>();
  CLI::App* command = app.add_subcommand("export", "Write the records of a table as JSON Lines");
  command->add_option("TABLE", args->table, "The table's data file (.DAT)")->required();
  command->add_option("--index", args->index, "A secondary index whose order to follow");
  command->footer("Example:\n  tarvo export data/Kunden.DAT --index ByName > kunden.jsonl");
  command->callback([args, &state] { state.action = [args, &state] { return RunExport(*args, state); }; });
}

}  // namespace

TARVO_COMMAND(61, SetupExport);

}  // namespace tarvo::cli

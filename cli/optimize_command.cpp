// tarvo optimize TABLE [--index NAME] [--no-backup]
#include <iostream>
#include <memory>

#include "cli/cli_table.h"
#include "cli/commands.h"
#include "cli/progress_display.h"
#include "engine/maintenance/optimize.h"

namespace tarvo::cli {

namespace {

struct TOptimizeOptions {
  std::string table;
  std::string index;
  bool no_backup = false;
};

int RunOptimize(const TOptimizeOptions& options, TCliState& state) {
  const TTablePath path = SplitTablePath(options.table);
  TCliEngine engine(path.directory, state.passwords);
  TCursorOpenOptions open;
  open.table_name = path.table;
  std::string index;
  if (!options.index.empty()) {
    // The name given is UTF-8; the table holds it in its code page.
    TDataCursor reader(engine.Session(), engine.Directory());
    TCursorOpenOptions read_only = open;
    read_only.read_only = true;
    reader.Open(read_only);
    state.language = reader.LanguageID();
    index = StoredIndexName(reader.Table().IndexFile().Header(), options.index, reader.LanguageID());
    reader.Close();
  }
  TDataCursor cursor(engine.Session(), engine.Directory());
  open.exclusive = true;
  std::int32_t records = 0;
  TProgressDisplay progress(state.quiet);
  progress.Start(path.table);
  try {
    OptimizeTable(cursor, open, index, options.no_backup,
                  [&records, &progress](std::int32_t current, std::uint16_t percent) {
                    records = current;
                    progress.Update(current, percent);
                  });
  } catch (...) {
    // Names in the message are in the table's code page.
    if (state.language == 0) state.language = cursor.LanguageID();
    throw;
  }
  progress.Clear();
  if (!state.quiet) {
    std::cout << "Optimized " << path.table << ": " << records << " records"
              << (options.no_backup ? "" : " (old files kept as .DBK, .IBK, .BBK)") << "\n";
  }
  return kExitOk;
}

void SetupOptimize(CLI::App& app, TCliState& state) {
  auto options = std::make_shared<TOptimizeOptions>();
  CLI::App* command = app.add_subcommand(
      "optimize", "Rewrite a table into fresh files in the order of an index, without deleted slots");
  command->add_option("TABLE", options->table, "The data file of the table (DIR/NAME.DAT)")->required();
  command->add_option("--index", options->index, "The index whose order the records take (default: primary)");
  command->add_flag("--no-backup", options->no_backup, "Delete the old files instead of keeping backups");
  command->footer("Example:\n  tarvo optimize data/Kunden.DAT --index ByName");
  command->callback(
      [options, &state] { state.action = [options, &state] { return RunOptimize(*options, state); }; });
}

}  // namespace

TARVO_COMMAND(60, SetupOptimize);

}  // namespace tarvo::cli

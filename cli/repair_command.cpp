// tarvo repair TABLE...
#include "cli/repair_command.h"

#include <algorithm>
#include <iostream>
#include <memory>

#include "cli/cli_table.h"
#include "cli/progress_display.h"
#include "engine/format/field_messages.h"
#include "support/code_page.h"
#include "engine/maintenance/repair.h"
#include "engine/tables/data_cursor.h"

namespace tarvo::cli {

int RunRepairCommand(const std::vector<std::string>& tables, bool verify_only, TCliState& state) {
  // Every table gets its turn: one that cannot be opened is reported and the next one checked.
  // The exit status is the worst seen.
  int status = kExitOk;
  TProgressDisplay progress(state.quiet);
  for (const std::string& name : tables) {
    const TTablePath path = SplitTablePath(name);
    TCliEngine engine(path.directory, state.passwords);
    TDataCursor cursor(engine.Session(), engine.Directory());
    TCursorOpenOptions open;
    open.table_name = path.table;
    open.exclusive = true;
    open.read_only = verify_only;
    TRepairOptions options;
    options.verify_only = verify_only;
    int lines = 0;
    TRepairCallbacks callbacks;
    callbacks.log = [&lines, &progress, &cursor](const std::string& message) {
      ++lines;
      progress.Clear();
      std::cout << PrintableText(message, cursor.LanguageID()) << "\n" << std::flush;
    };
    callbacks.progress = [&progress](std::int32_t current, std::uint16_t percent) {
      progress.Update(current, percent);
    };
    progress.Start(path.table);
    try {
      RepairTable(cursor, open, options, callbacks);
    } catch (const std::exception& e) {
      progress.Clear();
      std::cout.flush();
      status = std::max(status, ReportFailure(e, cursor.LanguageID()));
      continue;
    }
    progress.Clear();
    std::cout.flush();
    // The start and the end line alone: nothing was found.
    if (verify_only && lines > 2) status = std::max(status, kExitDamage);
  }
  return status;
}

namespace {

struct TRepairCommandOptions {
  std::vector<std::string> tables;
};

void SetupRepair(CLI::App& app, TCliState& state) {
  auto options = std::make_shared<TRepairCommandOptions>();
  CLI::App* command = app.add_subcommand("repair", "Verify and repair tables in place, one after the other");
  command->add_option("TABLE", options->tables, "Data files of the tables (DIR/NAME.DAT)")->required();
  command->footer(
      "Every finding is printed as one line. Exit status: 0 done, 2 error, 3 table in use.\n"
      "Example:\n  tarvo repair data/Kunden.DAT");
  command->callback([options, &state] {
    state.action = [options, &state] { return RunRepairCommand(options->tables, false, state); };
  });
}

}  // namespace

}  // namespace tarvo::cli

TARVO_COMMAND(41, tarvo::cli::SetupRepair);

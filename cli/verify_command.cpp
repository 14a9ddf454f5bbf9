// tarvo verify TABLE...
#include <memory>

#include "cli/repair_command.h"

namespace tarvo::cli {

namespace {

struct TVerifyOptions {
  std::vector<std::string> tables;
};

void SetupVerify(CLI::App& app, TCliState& state) {
  auto options = std::make_shared<TVerifyOptions>();
  CLI::App* command = app.add_subcommand("verify", "Check tables for damage without repairing them");
  command->add_option("TABLE", options->tables, "Data files of the tables (DIR/NAME.DAT)")->required();
  command->footer(
      "Every finding is printed as one line. Exit status: 0 no damage, 1 damage reported,\n"
      "2 error, 3 table in use.\nExample:\n  tarvo verify data/Kunden.DAT");
  command->callback([options, &state] {
    state.action = [options, &state] { return RunRepairCommand(options->tables, true, state); };
  });
}

}  // namespace

}  // namespace tarvo::cli

TARVO_COMMAND(40, tarvo::cli::SetupVerify);

// tarvo: the command-line tool. Exit status of every subcommand: 0 success, 1 damage found
// (verification only), 2 usage or engine error (message on standard error), 3 table in use by
// another program.
#include "cli/commands.h"

int main(int argc, char** argv) {
  return tarvo::cli::Run(argc, argv);
}

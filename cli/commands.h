// The command-line tool's frame: every subcommand lives in a file of its own and registers a
// setup function with TARVO_COMMAND; the setup adds its CLI11 subcommand and, when the
// subcommand is chosen, stores the action that Run() executes after parsing.
#pragma once

#include <CLI/CLI.hpp>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "support/locale.h"

namespace tarvo::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitDamage = 1;
inline constexpr int kExitError = 2;
inline constexpr int kExitInUse = 3;

// What the options common to all subcommands say, and the chosen action.
struct TCliState {
  std::function<int()> action;  // returns the exit status; engine errors escape to Run()
  bool quiet = false;
  std::vector<std::string> passwords;
  // The language of the table a command works on, once known: the code page of the field and
  // index names in its messages.
  TLanguageId language = 0;
};

using TCommandSetup = void (*)(CLI::App& app, TCliState& state);

// Registers a subcommand; `order` sorts them in the help text.
bool RegisterCommand(int order, TCommandSetup setup);

#define TARVO_COMMAND_CONCAT2(a, b) a##b
#define TARVO_COMMAND_CONCAT(a, b) TARVO_COMMAND_CONCAT2(a, b)
#define TARVO_COMMAND(order, setup)                                                   \
  [[maybe_unused]] static const bool TARVO_COMMAND_CONCAT(tarvo_command_, __LINE__) = \
      ::tarvo::cli::RegisterCommand(order, setup)

// Parses the arguments, runs the chosen subcommand and returns the exit status.
int Run(int argc, char** argv);

// Prints the message of a failure (names converted from the code page of `language`) with the
// system's reason where the engine's code does not tell it, and returns its exit status: 3 when
// another program holds the table, 2 otherwise.
int ReportFailure(const std::exception& e, TLanguageId language);

}  // namespace tarvo::cli

#include "cli/commands.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <utility>

#include "engine/format/field_messages.h"
#include "support/code_page.h"
#include "errors/engine_error.h"
#include "support/platform_errors.h"

namespace tarvo::cli {

namespace {

constexpr const char* kOverview =
    "tarvo: create, inspect, import, export, reorganize, verify and repair Tarvo tables.\n"
    "A table T in directory D is D/T.DAT with D/T.IDX and, with blob fields, D/T.BLB.\n"
    "Results go to standard output, messages about errors to standard error. The long operations\n"
    "show a progress line on standard error when it is a terminal (not with --quiet).\n"
    "Encrypted tables: give --password (repeatable); on a terminal the tool asks when one is missing.\n"
    "Exit status: 0 success, 1 damage found (verify), 2 usage or engine error, 3 table in use.";

constexpr const char* kOverviewFooter =
    "Every command has its own --help with an example, e.g. `tarvo verify --help`.\n"
    "Example:\n  tarvo --password geheim verify /srv/daten/Kunden.DAT";

std::vector<std::pair<int, TCommandSetup>>& Commands() {
  static std::vector<std::pair<int, TCommandSetup>> commands;
  return commands;
}

}  // namespace

bool RegisterCommand(int order, TCommandSetup setup) {
  Commands().emplace_back(order, setup);
  return true;
}

int Run(int argc, char** argv) {
  CLI::App app{kOverview, "tarvo"};
  app.set_version_flag("--version", std::string("tarvo ") + TARVO_VERSION);
  app.require_subcommand(0, 1);
  app.footer(kOverviewFooter);

  TCliState state;
  app.add_option("--password", state.passwords, "A password of encrypted tables (repeatable)");
  app.add_flag("--quiet", state.quiet, "No progress display");
  auto commands = Commands();
  std::stable_sort(commands.begin(), commands.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [order, setup] : commands) setup(app, state);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    app.exit(e);
    return kExitOk;
  } catch (const CLI::CallForAllHelp& e) {
    app.exit(e);
    return kExitOk;
  } catch (const CLI::CallForVersion& e) {
    app.exit(e);
    return kExitOk;
  } catch (const CLI::ParseError& e) {
    // One line: what is wrong, and where to read more.
    std::cerr << "tarvo: " << e.what() << " (see tarvo --help)\n";
    return kExitError;
  }

  if (!state.action) {
    std::cout << app.help();
    return kExitOk;
  }
  ClearLastSystemErrorNumber();
  try {
    return state.action();
  } catch (const std::exception& e) {
    return ReportFailure(e, state.language);
  }
}

int ReportFailure(const std::exception& e, TLanguageId language) {
  std::cerr << MessageText(e, language) << "\n";
  const auto* engine = dynamic_cast<const ETarvoEngineError*>(&e);
  if (engine == nullptr) return kExitError;
  const TEngineCode code = EngineCode(*engine);
  // 11013 means in use only when another program's share mode or lock refused us; for a file
  // the system will not open (permissions, a directory, a FIFO) it is an error like any other.
  const TOsError os_error = LastMappedOsError();
  const bool in_use = code == kTableLocked || code == kNeedsExclusive || code == kTableInUse ||
                      (code == kAccessDenied && (os_error == kOsSharingViolation || os_error == kOsLockViolation));
  // Reading, writing, access and unknown system errors do not say why: the system's own reason
  // does (a full disk, a read-only file system, a failing device, permissions, a directory).
  const bool says_why = code != kReadError && code != kWriteError && code != kUnknownOsError && code != kAccessDenied;
  if (!in_use && !says_why && LastSystemErrorNumber() != 0)
    std::cerr << "tarvo: " << std::strerror(LastSystemErrorNumber()) << "\n";
  ClearLastSystemErrorNumber();
  return in_use ? kExitInUse : kExitError;
}

}  // namespace tarvo::cli

// What `tarvo verify` and `tarvo repair` share: each named table is verified or repaired in turn,
// every log message one line on standard output.
#pragma once

#include <string>
#include <vector>

#include "cli/commands.h"

namespace tarvo::cli {

// Returns the worst status seen: kExitDamage for a verification that reported anything besides
// its start and end lines, kExitError or kExitInUse for a table that failed (its message printed,
// the tables after it still verified or repaired), else kExitOk. A verification opens the
// tables for reading only.
int RunRepairCommand(const std::vector<std::string>& tables, bool verify_only, TCliState& state);

}  // namespace tarvo::cli

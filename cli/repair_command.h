// What `tarvo verify` and `tarvo repair` share: each named table is verified or repaired in turn,
// every log message one line on standard output.
#pragma once

#include <string>
#include <vector>

#include "cli/commands.h"

namespace tarvo::cli {

// Returns kExitDamage when a verification reported anything besides its start and end lines,
// else kExitOk; engine errors escape (Run() turns them into kExitError or kExitInUse) and the
// tables after the failing one are not touched.
int RunRepairCommand(const std::vector<std::string>& tables, bool verify_only, const TCliState& state);

}  // namespace tarvo::cli

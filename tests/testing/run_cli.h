// Runs the built `tarvo` tool (TARVO_CLI, set by CMake for every test) as a process and
// collects its exit status and output.
#pragma once

#include <string>
#include <vector>

namespace tarvo::testing {

struct TCliResult {
  int status = -1;
  std::string out;
  std::string err;
};

TCliResult RunCli(const std::vector<std::string>& args, const std::string& input = {});

// As RunCli, the tool running as user and group `id` (the caller must be root).
TCliResult RunCliAsUser(unsigned id, const std::vector<std::string>& args);

}  // namespace tarvo::testing

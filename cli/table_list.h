// The tables a command that takes TABLE.DAT or a directory works on.
#pragma once

#include <string>
#include <vector>

namespace tarvo::cli {

// For a directory: the path of every "*.dat" file in it (USER.DAT included), sorted by name;
// otherwise `path` itself. Throws std::runtime_error for a directory that cannot be listed.
std::vector<std::string> TablePaths(const std::string& path);

}  // namespace tarvo::cli

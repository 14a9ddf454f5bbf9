#include "cli/cli_table.h"

#include "cli/terminal.h"

namespace tarvo::cli {

TTablePath SplitTablePath(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return {"", path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

TCliEngine::TCliEngine(const std::string& directory, const std::vector<std::string>& passwords)
    : directory_(session_.GetDirectory("", directory)) {
  PreparePasswords(session_, passwords);
}

TCliEngine::~TCliEngine() {
  (void)session_.ReleaseDirectory(directory_);
}

}  // namespace tarvo::cli

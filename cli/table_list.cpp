#include "cli/table_list.h"

#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "support/platform_names.h"

namespace tarvo::cli {

std::vector<std::string> TablePaths(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_directory(path, error)) return {path};
  std::vector<std::string> names;
  if (ListDirectory(path, "*.dat", TListKind::kFiles, names) != kOsOk) {
    throw std::runtime_error("tarvo: cannot list the directory " + path);
  }
  std::vector<std::string> paths;
  for (const std::string& name : names) paths.push_back((std::filesystem::path(path) / name).string());
  return paths;
}

}  // namespace tarvo::cli

// What the tests that make file operations fail during a maintenance run share besides
// DirectoryBytes: a directory's files put back byte for byte, every entry of a directory (hidden
// folders and empty ones included), the descriptors the process holds, and the dry run that
// counts the calls a failure can be injected into.
#pragma once

#include <dirent.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/fault_injector.h"
#include "tests/engine/maintenance/maintenance_tables.h"

namespace tarvo::testing {

// Every entry below a directory, folders with a trailing "/".
inline std::set<std::string> DirectoryEntries(const std::filesystem::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    std::string name = std::filesystem::relative(entry.path(), dir).string();
    if (entry.is_directory()) name += "/";
    names.insert(name);
  }
  return names;
}

// Puts a directory back to `files` exactly: whatever else is in it goes, and each listed file
// gets its bytes (written anew, so that no engine object can still see an old inode's data).
inline void RestoreDirectory(const std::filesystem::path& dir,
                             const std::map<std::string, std::vector<std::byte>>& files) {
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    std::filesystem::remove_all(entry.path());
  for (const auto& [name, bytes] : files) {
    const std::filesystem::path path = dir / name;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
}

// The descriptors this process holds, whoever opened them.
inline std::size_t OpenDescriptorCount() {
  std::size_t count = 0;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count - 1;  // the one reading the folder
}

// How many calls of the kinds in `ops` one undisturbed run of `run` makes.
inline std::int64_t CountFaultCalls(std::uint32_t ops, const std::function<void()>& run) {
  TFaultScope count(ops, 0, 0);
  run();
  return TFaultInjector::Calls();
}

}  // namespace tarvo::testing

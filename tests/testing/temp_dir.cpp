#include "tests/testing/temp_dir.h"

#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace tarvo::testing {

TTempDir::TTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tarvo-test-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
}

TTempDir::~TTempDir() {
  std::error_code ignored;
  // Read-only files and folders must become writable again before they can be removed.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
  }
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path FixturesDir() {
  const char* dir = std::getenv("TARVO_FIXTURES");
  if (dir == nullptr || *dir == '\0') throw std::runtime_error("TARVO_FIXTURES is not set");
  return dir;
}

void CopyFixture(const std::string& folder, const std::filesystem::path& into) {
  for (const auto& entry : std::filesystem::directory_iterator(FixturesDir() / folder)) {
    if (!entry.is_regular_file()) continue;
    const auto target = into / entry.path().filename();
    std::filesystem::copy_file(entry.path(), target, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(target,
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                                     std::filesystem::perms::group_read | std::filesystem::perms::others_read,
                                 std::filesystem::perm_options::replace);
  }
}

}  // namespace tarvo::testing

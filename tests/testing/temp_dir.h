// TTempDir: a fresh directory under the system's temporary folder, removed with everything in it
// when the object goes. CopyFixture copies a table of tests/fixtures into it with write bits
// set, since the fixtures themselves are read-only.
#pragma once

#include <filesystem>
#include <string>

namespace tarvo::testing {

class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  // The directory as the engine takes it: with a trailing "/".
  std::string Dir() const { return path_.string() + "/"; }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// The folder of the fixture tables (TARVO_FIXTURES, set by CMake for every test).
std::filesystem::path FixturesDir();

// Copies every file of fixture folder `folder` (e.g. "basic") into `into`, writable.
void CopyFixture(const std::string& folder, const std::filesystem::path& into);

}  // namespace tarvo::testing

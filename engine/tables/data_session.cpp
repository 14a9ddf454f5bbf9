#include "engine/tables/data_session.h"

#include <unistd.h>

#include <algorithm>

#include "errors/engine_error.h"
#include "engine/tables/data_directory.h"
#include "support/platform_names.h"
#include "support/short_text.h"

namespace tarvo {

namespace {

std::string CurrentDirectory() {
  std::vector<char> buffer(256);
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (buffer.size() > 65536) return "./";
    buffer.resize(buffer.size() * 2);
  }
  return WithTrailingDelimiter(buffer.data());
}

bool IsMemoryName(const std::string& name) {
  return SameNameIgnoringCase(TrimBlanks(name), "MEMORY");
}

}  // namespace

std::string WithTrailingDelimiter(const std::string& directory) {
  std::string result(TrimBlanks(directory));
  if (!result.empty() && result.back() != '/') result += '/';
  return CutToShortText(result);
}

TDataSession::TDataSession() : start_directory_(CurrentDirectory()) {}

TDataSession::~TDataSession() = default;

void TDataSession::SetPrivateDirectory(const std::string& directory) {
  private_directory_ = WithTrailingDelimiter(CutToShortText(directory));
}

const std::string& TDataSession::TemporaryDirectory() const {
  return private_directory_.empty() ? start_directory_ : private_directory_;
}

void TDataSession::AddPassword(const std::string& password) {
  const std::string text = CutToShortText(password);
  if (text.empty() || HasPassword(text)) return;
  passwords_.push_back(text);
}

void TDataSession::RemovePassword(const std::string& password) {
  const std::string text = CutToShortText(password);
  std::erase(passwords_, text);
}

bool TDataSession::HasPassword(const std::string& password) const {
  return std::find(passwords_.begin(), passwords_.end(), password) != passwords_.end();
}

void TDataSession::RemoveAllPasswords() {
  passwords_.clear();
}

TDataDirectory* TDataSession::GetDirectory(const std::string& database_name, const std::string& path) {
  std::string dir_path;
  if (!IsMemoryName(database_name)) {
    dir_path = WithTrailingDelimiter(path);
    if (dir_path.empty()) dir_path = start_directory_;
  }
  // Paths on this platform have no separate universal form: the path itself serves.
  const std::string& universal = dir_path;
  for (const auto& directory : directories_) {
    if (directory->InMemory() == dir_path.empty() &&
        SameNameIgnoringCase(TrimBlanks(directory->UniversalPath()), TrimBlanks(universal))) {
      directory->AddReference();
      return directory.get();
    }
  }
  directories_.push_back(std::make_unique<TDataDirectory>(*this, database_name, dir_path, universal));
  return directories_.back().get();
}

int TDataSession::ReleaseDirectory(TDataDirectory* directory) {
  const auto it = std::find_if(directories_.begin(), directories_.end(),
                               [directory](const auto& d) { return d.get() == directory; });
  if (it == directories_.end() || (*it)->ReferenceCount() == 0) return -kAccessDenied;
  if ((*it)->ReleaseReference() == 0) directories_.erase(it);
  return 0;
}

}  // namespace tarvo

#include "support/platform_names.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>

namespace tarvo {

namespace {

// Code points of a name, each folded to upper case. An invalid byte becomes a value above every
// code point, so it matches only the same byte.
std::vector<UChar32> FoldedCodePoints(std::string_view text) {
  std::vector<UChar32> result;
  result.reserve(text.size());
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(std::min<std::size_t>(text.size(), INT32_MAX));
  std::int32_t i = 0;
  while (i < length) {
    const std::int32_t start = i;
    UChar32 c = 0;
    U8_NEXT(bytes, i, length, c);
    result.push_back(c < 0 ? 0x110000 + bytes[start] : u_toupper(c));
  }
  return result;
}

}  // namespace

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
  return FoldedCodePoints(a) == FoldedCodePoints(b);
}

bool MatchesWildcard(std::string_view pattern_text, std::string_view name_text) {
  const std::vector<UChar32> pattern = FoldedCodePoints(pattern_text);
  const std::vector<UChar32> name = FoldedCodePoints(name_text);
  // Greedy match with one backtrack point (the last star): linear in practice, never exponential.
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t star = SIZE_MAX;
  std::size_t star_n = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      star_n = n;
    } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (star != SIZE_MAX) {
      p = star + 1;
      n = ++star_n;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

TOsError ListDirectory(const std::string& directory, std::string_view pattern, TListKind kind,
                       std::vector<std::string>& names) {
  names.clear();
  const std::string dir = directory.empty() ? std::string(".") : directory;
  std::unique_ptr<DIR, int (*)(DIR*)> stream(::opendir(dir.c_str()), &::closedir);
  if (!stream) return OsErrorFromErrno(errno, TErrnoContext::kGeneral, dir + "/.");
  const std::string prefix = dir.back() == '/' ? dir : dir + "/";
  while (const dirent* entry = ::readdir(stream.get())) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == ".." || !MatchesWildcard(pattern, name)) continue;
    struct stat st {};
    if (::stat((prefix + entry->d_name).c_str(), &st) != 0) continue;  // gone meanwhile, or a dangling link
    if (S_ISDIR(st.st_mode) && kind == TListKind::kFiles) continue;
    names.emplace_back(name);
  }
  std::sort(names.begin(), names.end());
  return kOsOk;
}

TOsError ResolveFileName(const std::string& path, std::string& resolved, std::vector<std::string>* matches) {
  resolved.clear();
  if (matches != nullptr) matches->clear();
  struct stat st {};
  if (!path.empty() && ::lstat(path.c_str(), &st) == 0) {
    resolved = path;
    return kOsOk;
  }
  const auto slash = path.find_last_of('/');
  const std::string prefix = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (base.empty()) return OsErrorFromErrno(ENOENT, TErrnoContext::kGeneral, path);
  std::unique_ptr<DIR, int (*)(DIR*)> stream(::opendir(prefix.empty() ? "." : prefix.c_str()), &::closedir);
  if (!stream) return OsErrorFromErrno(errno == ENOENT ? ENOTDIR : errno, TErrnoContext::kGeneral, path);
  std::vector<std::string> found;
  while (const dirent* entry = ::readdir(stream.get())) {
    if (SameNameIgnoringCase(entry->d_name, base)) found.push_back(prefix + entry->d_name);
  }
  if (found.empty()) return kOsFileNotFound;
  if (found.size() > 1) {
    std::sort(found.begin(), found.end());
    if (matches != nullptr) *matches = std::move(found);
    return kOsAmbiguousName;
  }
  resolved = std::move(found.front());
  return kOsOk;
}

}  // namespace tarvo

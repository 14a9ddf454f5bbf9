// File names as the engine sees them: compared without regard to case (each code point through
// the simple upper-case mapping, so "ä" equals "Ä" but "ß" never equals "SS"), matched against
// wildcard patterns, listed, and resolved to the one file on disk that a name means. Names are
// UTF-8; a byte that is not part of a valid sequence stands for itself.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "support/platform_errors.h"

namespace tarvo {

bool SameNameIgnoringCase(std::string_view a, std::string_view b);

// `*` matches any run of characters (also none), `?` exactly one character; everything else
// matches itself without regard to case. "*.?bk" matches "a.DBK" and "Notes.abk", not "b.bk".
bool MatchesWildcard(std::string_view pattern, std::string_view name);

enum class TListKind { kFiles, kFilesAndDirectories };

// The names (without the directory) in `directory` that match `pattern`, sorted by byte value.
// "." and ".." are never listed.
[[nodiscard]] TOsError ListDirectory(const std::string& directory, std::string_view pattern, TListKind kind,
                                     std::vector<std::string>& names);

// The path of the file that `path` names: `path` itself if it exists as written, else the one entry
// of its directory whose name equals the last part without regard to case. No entry:
// kOsFileNotFound (kOsPathNotFound without the directory). Several entries: kOsAmbiguousName, with
// their paths, sorted, in `matches`; none of them is chosen.
[[nodiscard]] TOsError ResolveFileName(const std::string& path, std::string& resolved,
                                       std::vector<std::string>* matches = nullptr);

}  // namespace tarvo

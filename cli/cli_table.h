// What every subcommand that works on a table needs: the table path split into its directory and
// name, and an engine session with that directory.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/format/index_header.h"
#include "engine/tables/data_directory.h"
#include "engine/tables/data_session.h"

namespace tarvo::cli {

struct TTablePath {
  std::string directory;  // with a trailing "/"; the current directory when the path has none
  std::string table;      // the file name as given (any letter case, with or without ".DAT")
};

TTablePath SplitTablePath(const std::string& path);

// The name as stored (bytes of the table's code page) of the secondary index of `indexes` named
// `utf8` (compared as characters, without regard to case, blanks trimmed); when none has that
// name, the name converted as it is, for the engine to refuse.
std::string StoredIndexName(const TIndexHeader& indexes, const std::string& utf8, TLanguageId language);

// An engine session holding one directory for as long as it lives.
class TCliEngine {
 public:
  TCliEngine(const std::string& directory, const std::vector<std::string>& passwords);
  ~TCliEngine();
  TCliEngine(const TCliEngine&) = delete;
  TCliEngine& operator=(const TCliEngine&) = delete;

  TDataSession& Session() { return session_; }
  TDataDirectory& Directory() { return *directory_; }

 private:
  TDataSession session_;
  TDataDirectory* directory_;
};

}  // namespace tarvo::cli

// What every subcommand that works on a table needs: the table path split into its directory and
// name, and an engine session with that directory.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/tables/data_directory.h"
#include "engine/tables/data_session.h"

namespace tarvo::cli {

struct TTablePath {
  std::string directory;  // with a trailing "/"; the current directory when the path has none
  std::string table;      // the file name as given (any letter case, with or without ".DAT")
};

TTablePath SplitTablePath(const std::string& path);

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

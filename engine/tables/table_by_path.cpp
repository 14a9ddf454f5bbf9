#include "engine/tables/table_by_path.h"

#include <filesystem>

namespace tarvo {

void PreparePasswords(TDataSession& session, const std::vector<std::string>& passwords,
                      TPasswordQuestion ask) {
  for (const std::string& password : passwords) session.AddPassword(password);
  if (!ask) return;
  // Shared by the callback's copies; counts the questions of this session.
  auto attempts = std::make_shared<int>(0);
  session.OnPassword = [&session, attempts, ask = std::move(ask)](const std::string&) {
    if (++*attempts > kPasswordAttempts) return false;
    const std::optional<std::string> password = ask();
    if (!password || password->empty()) return false;
    session.AddPassword(*password);
    return true;
  };
}

TOpenedTable::~TOpenedTable() {
  cursor.reset();
  // A destructor raises nothing.
  if (session != nullptr && directory != nullptr) (void)session->ReleaseDirectory(directory);
}

std::unique_ptr<TOpenedTable> OpenTableByPath(const std::string& path, bool exclusive, bool read_only,
                                              const std::vector<std::string>& passwords,
                                              TPasswordQuestion ask) {
  const std::filesystem::path file(path);
  const std::string folder = file.has_parent_path() ? file.parent_path().string() : std::string(1, '.');
  auto opened = std::make_unique<TOpenedTable>();
  opened->session = std::make_unique<TDataSession>();
  PreparePasswords(*opened->session, passwords, std::move(ask));
  opened->directory = opened->session->GetDirectory("", folder);
  opened->cursor = std::make_unique<TDataCursor>(*opened->session, *opened->directory);
  TCursorOpenOptions options;
  options.table_name = file.filename().string();
  options.exclusive = exclusive;
  options.read_only = read_only;
  opened->cursor->Open(options);
  return opened;
}

}  // namespace tarvo

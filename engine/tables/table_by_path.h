// A table named by the path of its data file (any letter case, with or without ".DAT"), opened
// through an engine session of its own, and the passwords such a session knows: those given and,
// when the caller has a way to ask (a terminal), further ones asked for when an encrypted table
// needs one.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/tables/data_cursor.h"
#include "engine/tables/data_directory.h"
#include "engine/tables/data_session.h"

namespace tarvo {

// How often one session asks before it gives up (the open then fails with the engine's password
// error).
inline constexpr int kPasswordAttempts = 3;

// Asks for one password; nothing (or an empty text) gives up.
using TPasswordQuestion = std::function<std::optional<std::string>()>;

// Gives the session `passwords` and, when `ask` is given, a password callback that asks it.
void PreparePasswords(TDataSession& session, const std::vector<std::string>& passwords,
                      TPasswordQuestion ask = {});

// A table opened through its own session; the cursor closes before the directory is released.
struct TOpenedTable {
  std::unique_ptr<TDataSession> session;
  TDataDirectory* directory = nullptr;
  std::unique_ptr<TDataCursor> cursor;
  ~TOpenedTable();
};
// Raises what the cursor's open raises.
std::unique_ptr<TOpenedTable> OpenTableByPath(const std::string& path, bool exclusive, bool read_only,
                                              const std::vector<std::string>& passwords,
                                              TPasswordQuestion ask = {});

}  // namespace tarvo

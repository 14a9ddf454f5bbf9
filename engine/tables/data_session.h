// TDataSession: one engine session. Holds the settings that govern locking and flushing, the
// passwords known to the session, and the directories (TDataDirectory) in use, which it owns.
// Not guarded itself: the session component serialises every call into the engine.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/locale.h"

namespace tarvo {

class TDataDirectory;

// Asked when the table `table_name` needs a password that the session does not know. Returns
// true when a password was added to the session (the open then checks again).
using TPasswordCallback = std::function<bool(const std::string& table_name)>;

class TDataSession {
 public:
  TDataSession();
  ~TDataSession();
  TDataSession(const TDataSession&) = delete;
  TDataSession& operator=(const TDataSession&) = delete;

  // Settings (the session component hands its properties down).
  const std::string& StartDirectory() const { return start_directory_; }
  const std::string& PrivateDirectory() const { return private_directory_; }
  void SetPrivateDirectory(const std::string& directory);  // trimmed, "/" appended when not empty
  // Where scratch tables go: the private directory if set, else the start directory.
  const std::string& TemporaryDirectory() const;

  bool ForceBufferFlush = false;
  bool StrictChangeDetection = false;
  std::uint8_t LockRetryCount = 15;
  std::uint16_t LockWaitTime = 100;  // milliseconds
  TLanguageId LanguageID = 0;
  TSortId SortID = 0;
  // Fixed-retry locks (header byte, writer range, reader byte): attempts after the first and the
  // pause between them. Tests lower them to stay fast.
  int FixedLockRetries = 8192;
  std::uint32_t FixedLockPause = 3;  // milliseconds
  TPasswordCallback OnPassword;

  // Passwords: exact, case-sensitive comparison; empty or known texts are not added again.
  void AddPassword(const std::string& password);
  void RemovePassword(const std::string& password);
  bool HasPassword(const std::string& password) const;
  void RemoveAllPasswords();
  const std::vector<std::string>& Passwords() const { return passwords_; }

  // The directory object for (database name, path); "MEMORY" in any case is the in-memory store.
  // A directory with the same universal path is shared and its reference count raised.
  TDataDirectory* GetDirectory(const std::string& database_name, const std::string& path);
  // Lowers the reference count; the directory is freed at 0. −11013 for an unknown directory.
  [[nodiscard]] int ReleaseDirectory(TDataDirectory* directory);
  std::size_t DirectoryCount() const { return directories_.size(); }

 private:
  std::string start_directory_;
  std::string private_directory_;
  std::vector<std::string> passwords_;
  std::vector<std::unique_ptr<TDataDirectory>> directories_;
};

// Trims blanks and appends "/" unless empty or already there.
std::string WithTrailingDelimiter(const std::string& directory);

}  // namespace tarvo

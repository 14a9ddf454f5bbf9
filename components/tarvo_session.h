// TTarvoSession: the session component. Carries the settings that apply to all its tables and,
// while active, owns one engine session (TDataSession) to which it hands them down. Databases
// (TTarvoDatabase) belong to one session each; data sets find their database through it, and
// a data set whose database name belongs to no database component gets a temporary database
// owned by the session (OpenDatabase). Every engine call made through a session holds the
// process-wide session lock (session_list.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "components/component.h"
#include "support/locale.h"

namespace tarvo {

class TDataSession;
class TTarvoDatabase;
class TTarvoSession;
class TTarvoSessionList;

inline constexpr const char* kComponentVersion = "2.08";

// Asked when a table needs a password; the handler adds passwords and sets `continue_open`.
using TTarvoPasswordEvent = std::function<void(TTarvoSession& sender, bool& continue_open)>;

// The user's default language identifier, or 0 where the system's character set is double-byte.
TLanguageId DefaultSessionLanguage();

class TTarvoSession : public TComponent {
 public:
  // Raises "This auto-session already exists." when `owner` holds a session with automatic naming.
  explicit TTarvoSession(TComponent* owner = nullptr);
  // The session list creates its default session through this one.
  TTarvoSession(TComponent* owner, TTarvoSessionList& list);
  ~TTarvoSession() override;

  // Properties, in their published order.
  std::string EngineVersion() const { return kComponentVersion; }
  void SetEngineVersion(const std::string&) {}  // read-only: ignored
  bool Active() const { return engine_session_ != nullptr; }
  void SetActive(bool active);
  bool AutoSessionName() const { return auto_session_name_; }
  void SetAutoSessionName(bool value);
  bool ForceBufferFlush() const { return force_buffer_flush_; }
  void SetForceBufferFlush(bool value);
  bool KeepConnections() const { return keep_connections_; }
  void SetKeepConnections(bool value) { keep_connections_ = value; }
  std::uint8_t LockRetryCount() const { return lock_retry_count_; }
  void SetLockRetryCount(std::uint8_t value);
  std::uint16_t LockWaitTime() const { return lock_wait_time_; }
  void SetLockWaitTime(std::uint16_t value);
  const std::string& PrivateDir() const { return private_dir_; }
  void SetPrivateDir(const std::string& value);
  const std::string& SessionName() const { return session_name_; }
  void SetSessionName(const std::string& name);
  bool StrictChangeDetection() const { return strict_change_detection_; }
  void SetStrictChangeDetection(bool value);
  TLanguageId LanguageID() const { return language_id_; }
  void SetLanguageID(TLanguageId value);
  TSortId SortID() const { return sort_id_; }
  void SetSortID(TSortId value);
  TTarvoPasswordEvent OnPassword;
  TNotifyEvent OnStartup;

  // Start and stop (Active := true / false).
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }

  // The database of that name, a temporary one created for it when there is none, connected and
  // with its use count raised. Under the session lock.
  TTarvoDatabase& OpenDatabase(const std::string& name, TComponent* owner);
  // Lowers the use count; at 0 without KeepConnection a database disconnects, a temporary one goes.
  void CloseDatabase(TTarvoDatabase& database);
  // The first database with `owner`, HandleShared and that name, else the first with that name
  // (names without regard to case); nullptr when none.
  TTarvoDatabase* FindDatabase(const std::string& name, const TComponent* owner = nullptr) const;
  const std::vector<TTarvoDatabase*>& Databases() const { return databases_; }

  // The session's passwords (the password prompt uses these). Each holds the session lock;
  // on an inactive session the session is started first.
  void AddPassword(const std::string& password);
  void RemovePassword(const std::string& password);
  void RemoveAllPasswords();

  bool IsDefault() const;
  // The engine session while active, else nullptr.
  TDataSession* EngineSession() const { return engine_session_.get(); }
  int AutoNumber() const { return auto_number_; }

  // The engine's password callback: OnPassword if assigned, else the password prompt.
  bool AskForPassword(const std::string& table_name);
  // The table whose password is asked for while OnPassword or the prompt runs ("" otherwise).
  const std::string& PasswordTableName() const { return password_table_name_; }

  // Databases register here (TTarvoDatabase calls these).
  void AddDatabase(TTarvoDatabase* database);
  void RemoveDatabase(TTarvoDatabase* database);

 protected:
  void NameChanged() override;

 private:
  void Start();
  void Stop();
  void CheckInactive() const;
  void ApplySettings();
  void NameAutomatically();
  void SetSessionNameInternal(const std::string& name);

  TTarvoSessionList& list_;
  bool auto_session_name_ = false;
  bool force_buffer_flush_ = false;
  bool keep_connections_ = false;
  std::uint8_t lock_retry_count_ = 15;
  std::uint16_t lock_wait_time_ = 100;
  std::string private_dir_;
  std::string session_name_;
  std::string password_table_name_;
  bool strict_change_detection_ = false;
  TLanguageId language_id_;
  TSortId sort_id_ = 0;

  std::vector<TTarvoDatabase*> databases_;
  std::unique_ptr<TDataSession> engine_session_;
  int auto_number_ = -1;
  bool auto_naming_ = false;  // the automatic naming itself is setting the name
};

}  // namespace tarvo

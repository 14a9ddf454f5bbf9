// TTarvoDatabase: the database component. Names a directory of tables and, while connected,
// holds the engine's directory object for it (TDataDirectory). Data sets use a database through
// their session (TTarvoSession::OpenDatabase); a temporary database is one the session created
// for a data set's database name, freed again when nobody uses it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "components/component.h"

namespace tarvo {

class TDataDirectory;
class TTarvoDBDataSet;
class TTarvoSession;

// Whether a database or table name is a path: on this platform one that contains "/", "\" or ":".
// (Scanning bytes is safe for UTF-8: these bytes never occur inside a multi-byte character.)
bool IsPathName(std::string_view name);
// A database name that is not a path starts with a letter, "_" or a character code 129 to 254.
bool IsValidDatabaseName(std::string_view name);

class TTarvoDatabase : public TComponent {
 public:
  // The owning session is `owner` if that is a session, else the default session.
  explicit TTarvoDatabase(TComponent* owner = nullptr);
  ~TTarvoDatabase() override;

  // Properties, in their published order.
  std::string EngineVersion() const;
  void SetEngineVersion(const std::string&) {}  // read-only: ignored
  bool Connected() const { return directory_ != nullptr; }
  void SetConnected(bool connected);
  const std::string& DatabaseName() const { return database_name_; }
  void SetDatabaseName(const std::string& name);
  const std::string& Directory() const { return directory_path_; }
  void SetDirectory(const std::string& directory);
  bool HandleShared() const { return handle_shared_; }
  void SetHandleShared(bool value) { handle_shared_ = value; }
  bool KeepConnection() const { return keep_connection_; }
  void SetKeepConnection(bool value);
  const std::string& SessionName() const { return session_name_; }
  void SetSessionName(const std::string& name);
  TNotifyEvent BeforeConnect;

  void Open() { SetConnected(true); }
  void Close() { SetConnected(false); }

  TTarvoSession& Session() const { return *session_; }
  bool Temporary() const { return temporary_; }
  int UseCount() const { return use_count_; }
  // The engine's directory object while connected, else nullptr.
  TDataDirectory* Handle() const { return directory_; }
  // A temporary database named by a path uses that path; every other one its Directory.
  std::string EffectiveDirectory() const;
  const std::vector<TTarvoDBDataSet*>& DataSets() const { return data_sets_; }

  // Used by the session and the data sets.
  void MakeTemporary() { temporary_ = true; }
  void AddUse() { ++use_count_; }
  void ReleaseUse() {
    if (use_count_ > 0) --use_count_;
  }
  void AddDataSet(TTarvoDBDataSet* data_set) { data_sets_.push_back(data_set); }
  void RemoveDataSet(TTarvoDBDataSet* data_set);
  // Moves the database to another session's list.
  void MoveToSession(TTarvoSession& session);
  bool Disconnecting() const { return disconnecting_; }

 private:
  void Connect();
  void Disconnect();
  void CheckDisconnected() const;
  // The name checks of DatabaseName: a valid name, and no other database of the session bearing
  // it (a temporary one without users gives way and is freed).
  void CheckDatabaseName(const std::string& name);

  TTarvoSession* session_;
  std::string database_name_;
  std::string directory_path_;
  bool handle_shared_ = false;
  bool keep_connection_ = true;
  std::string session_name_;
  bool temporary_ = false;
  int use_count_ = 0;
  std::vector<TTarvoDBDataSet*> data_sets_;
  TDataDirectory* directory_ = nullptr;
  bool disconnecting_ = false;
};

}  // namespace tarvo

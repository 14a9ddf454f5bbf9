#include "components/tarvo_database.h"

#include <algorithm>
#include <cctype>

#include "components/database_texts.h"
#include "errors/engine_error.h"
#include "components/session_list.h"
#include "components/tarvo_data_set.h"
#include "components/tarvo_session.h"
#include "engine/tables/data_directory.h"
#include "engine/tables/data_session.h"
#include "support/platform.h"
#include "support/platform_names.h"
#include "support/short_text.h"

namespace tarvo {

bool IsPathName(std::string_view name) {
  return name.find_first_of("/\\:") != std::string_view::npos;
}

bool IsValidDatabaseName(std::string_view name) {
  if (name.empty() || IsPathName(name)) return false;
  const auto first = static_cast<unsigned char>(name.front());
  return std::isalpha(first) != 0 || first == '_' || (first >= 129 && first <= 254);
}

TTarvoDatabase::TTarvoDatabase(TComponent* owner) : TComponent(owner) {
  session_ = dynamic_cast<TTarvoSession*>(owner);
  if (session_ == nullptr) session_ = Sessions().DefaultSession();
  session_name_ = session_->SessionName();
  session_->AddDatabase(this);
}

TTarvoDatabase::~TTarvoDatabase() {
  MarkDestroying();
  try {
    Disconnect();
  } catch (...) {
    // A destructor cannot report the failure; the directory object is released regardless.
  }
  // Data sets that still use the database (outside their open cursor) forget it.
  const std::vector<TTarvoDBDataSet*> left = data_sets_;
  for (TTarvoDBDataSet* data_set : left) data_set->DatabaseGone(*this);
  session_->RemoveDatabase(this);
}

std::string TTarvoDatabase::EngineVersion() const {
  return kComponentVersion;
}

void TTarvoDatabase::SetConnected(bool connected) {
  if (connected) {
    Connect();
  } else {
    Disconnect();
  }
}

void TTarvoDatabase::CheckDisconnected() const {
  if (Connected()) DatabaseError(kSDatabaseOpen);
}

void TTarvoDatabase::SetDatabaseName(const std::string& name) {
  if (name == database_name_) return;
  CheckDisconnected();
  CheckDatabaseName(name);
  database_name_ = name;
}

void TTarvoDatabase::CheckDatabaseName(const std::string& name) {
  if (!(name.empty() || temporary_ || IsValidDatabaseName(name)))
    DatabaseError(kSInvalidDatabaseName, {name});
  if (name.empty()) return;
  const std::vector<TTarvoDatabase*> others = session_->Databases();
  for (TTarvoDatabase* other : others) {
    if (other == this || !SameNameIgnoringCase(other->DatabaseName(), name)) continue;
    if (handle_shared_ && other->HandleShared()) continue;
    if (other->Temporary() && other->UseCount() == 0 && !other->Destroying()) {
      delete other;  // an unused temporary database gives way
      continue;
    }
    DatabaseError(kSDuplicateDatabaseName, {name});
  }
}

void TTarvoDatabase::SetDirectory(const std::string& directory) {
  if (directory == directory_path_) return;
  CheckDisconnected();
  directory_path_ = directory;
}

void TTarvoDatabase::SetKeepConnection(bool value) {
  keep_connection_ = value;
  if (!value && use_count_ == 0 && Connected()) Disconnect();
}

void TTarvoDatabase::SetSessionName(const std::string& name) {
  CheckDisconnected();
  if (name == session_name_) return;
  session_name_ = name;
  if (TTarvoSession* session = Sessions().FindSession(name); session != nullptr && session != session_) {
    MoveToSession(*session);
  }
}

void TTarvoDatabase::MoveToSession(TTarvoSession& session) {
  if (&session == session_) return;
  session_->RemoveDatabase(this);
  session_ = &session;
  session_->AddDatabase(this);
}

std::string TTarvoDatabase::EffectiveDirectory() const {
  return temporary_ && IsPathName(database_name_) ? database_name_ : directory_path_;
}

void TTarvoDatabase::RemoveDataSet(TTarvoDBDataSet* data_set) {
  std::erase(data_sets_, data_set);
}

// 1. BeforeConnect. 2. A name is required (a temporary database may have none). 3. The session
// that SessionName names, started; the name checked. 4. HandleShared: share a connected twin's
// directory object. 5. Else the engine opens one for (alias, effective directory).
void TTarvoDatabase::Connect() {
  if (Connected()) return;
  if (BeforeConnect) BeforeConnect(*this);
  if (database_name_.empty() && !temporary_) DatabaseError(kSDatabaseNameMissing);
  TTarvoSession& session = Sessions().FindSessionOrFail(session_name_);
  MoveToSession(session);
  CheckDatabaseName(database_name_);
  session_->SetActive(true);
  TSessionLockGuard lock;
  if (handle_shared_) {
    for (TTarvoDatabase* other : session_->Databases()) {
      if (other != this && other->HandleShared() && other->Connected() &&
          SameNameIgnoringCase(other->DatabaseName(), database_name_)) {
        // The twin's object with a reference of our own: it stays valid when the twin disconnects.
        directory_ = other->Handle();
        directory_->AddReference();
        return;
      }
    }
  }
  const std::string alias = IsPathName(database_name_) ? std::string() : database_name_;
  TDataSession& engine = *session_->EngineSession();
  TDataDirectory* directory =
      engine.GetDirectory(CutToShortText(alias), CutToShortText(EffectiveDirectory()));
  if (!directory->InMemory() && !OsDirectoryExists(directory->Path())) {
    const std::string path = directory->Path();
    (void)engine.ReleaseDirectory(directory);  // just taken above; the missing path is the error
    RaiseEngineError(kInvalidPath, path);
  }
  directory_ = directory;
}

// The data sets that use the database close (last to first); then the directory object goes
// back to the engine session and the use count is cleared.
void TTarvoDatabase::Disconnect() {
  if (!Connected()) return;
  disconnecting_ = true;
  std::exception_ptr failure;
  for (std::size_t i = data_sets_.size(); i-- > 0;) {
    if (i >= data_sets_.size()) continue;
    try {
      data_sets_[i]->Close();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  {
    TSessionLockGuard lock;
    if (TDataSession* engine = session_->EngineSession(); engine != nullptr) {
      (void)engine->ReleaseDirectory(directory_);  // taken at connect, so released without fail
    }
    directory_ = nullptr;
  }
  use_count_ = 0;
  disconnecting_ = false;
  if (failure) std::rethrow_exception(failure);
}

}  // namespace tarvo

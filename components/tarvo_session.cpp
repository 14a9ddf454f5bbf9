#include "components/tarvo_session.h"

#include <unicode/uloc.h>

#include <algorithm>
#include <string_view>

#include "components/database_texts.h"
#include "components/password_prompt.h"
#include "components/session_list.h"
#include "components/tarvo_data_set.h"
#include "components/tarvo_database.h"
#include "engine/tables/data_session.h"
#include "support/platform_names.h"
#include "support/short_text.h"

namespace tarvo {

TLanguageId DefaultSessionLanguage() {
  const char* locale = uloc_getDefault();
  char language[16] = {};
  UErrorCode status = U_ZERO_ERROR;
  uloc_getLanguage(locale, language, sizeof(language), &status);
  if (U_FAILURE(status)) return 0;
  // The languages whose Windows code pages are double-byte ones.
  const std::string_view lang(language);
  if (lang == "ja" || lang == "zh" || lang == "ko") return 0;
  return static_cast<TLanguageId>(uloc_getLCID(locale) & 0xFFFF);
}

TTarvoSession::TTarvoSession(TComponent* owner) : TTarvoSession(owner, Sessions()) {}

TTarvoSession::TTarvoSession(TComponent* owner, TTarvoSessionList& list)
    : TComponent(owner), list_(list), language_id_(DefaultSessionLanguage()) {
  if (owner != nullptr) {
    for (TComponent* sibling : owner->Components()) {
      const auto* session = dynamic_cast<const TTarvoSession*>(sibling);
      if (session != nullptr && session != this && session->AutoSessionName())
        DatabaseError(kSAutoSessionExists);
    }
  }
  list_.AddSession(this);
}

TTarvoSession::~TTarvoSession() {
  MarkDestroying();
  try {
    Stop();
  } catch (...) {
    // A destructor cannot report the failure; the engine session is freed regardless.
  }
  engine_session_.reset();
  DestroyComponents();
  if (auto_number_ >= 0) list_.FreeAutoNumber(auto_number_);
  list_.RemoveSession(this);
  // Databases of other owners that named this session fall back to the default session.
  TTarvoSession* fallback = list_.DefaultSession();
  const std::vector<TTarvoDatabase*> left = databases_;
  for (TTarvoDatabase* database : left) {
    if (fallback != nullptr && fallback != this) database->MoveToSession(*fallback);
  }
}

bool TTarvoSession::IsDefault() const {
  return list_.DefaultSession() == this;
}

void TTarvoSession::SetActive(bool active) {
  if (active) {
    Start();
  } else {
    Stop();
  }
}

// 1. Under the session lock: OnStartup. 2. A name is required. 3. The default session starts
// first. 4. The engine session, then the settings; a failure stops the session again.
void TTarvoSession::Start() {
  TSessionLockGuard lock(list_.SessionLock());
  if (Active()) return;
  if (OnStartup) OnStartup(*this);
  if (session_name_.empty()) DatabaseError(kSSessionNameMissing);
  if (!IsDefault()) {
    if (TTarvoSession* default_session = list_.DefaultSession(); default_session != nullptr) {
      default_session->SetActive(true);
    }
  }
  engine_session_ = std::make_unique<TDataSession>();
  engine_session_->OnPassword = [this](const std::string& table_name) { return AskForPassword(table_name); };
  try {
    ApplySettings();
  } catch (...) {
    Stop();
    throw;
  }
}

// Temporary databases are freed, the others disconnected (last to first); then the engine
// session goes.
void TTarvoSession::Stop() {
  TSessionLockGuard lock(list_.SessionLock());
  if (!Active()) return;
  for (std::size_t i = databases_.size(); i-- > 0;) {
    if (i >= databases_.size()) continue;
    TTarvoDatabase* database = databases_[i];
    if (database->Temporary()) {
      if (!database->Destroying()) delete database;
    } else {
      database->SetConnected(false);
    }
  }
  engine_session_.reset();
}

void TTarvoSession::ApplySettings() {
  TDataSession& engine = *engine_session_;
  engine.SetPrivateDirectory(CutToShortText(private_dir_));
  engine.StrictChangeDetection = strict_change_detection_;
  engine.ForceBufferFlush = force_buffer_flush_;
  engine.LockRetryCount = lock_retry_count_;
  engine.LockWaitTime = lock_wait_time_;
  engine.LanguageID = language_id_;
  engine.SortID = sort_id_;
}

void TTarvoSession::CheckInactive() const {
  if (Active()) DatabaseError(kSSessionActive);
}

void TTarvoSession::SetAutoSessionName(bool value) {
  if (value == auto_session_name_) return;
  CheckInactive();
  if (value) {
    if (Owner() != nullptr) {
      for (TComponent* sibling : Owner()->Components()) {
        if (sibling != this && dynamic_cast<TTarvoSession*>(sibling) != nullptr) {
          DatabaseError(kSAutoSessionExclusive);
        }
      }
    }
    auto_number_ = list_.TakeAutoNumber();
    auto_session_name_ = true;
    try {
      NameAutomatically();
    } catch (...) {
      list_.FreeAutoNumber(auto_number_);
      auto_number_ = -1;
      auto_session_name_ = false;
      throw;
    }
  } else {
    list_.FreeAutoNumber(auto_number_);
    auto_number_ = -1;
    auto_session_name_ = false;
  }
}

// Names the session "<component name>_<n + 1>" and gives that name to the databases and data
// sets of the same owner.
void TTarvoSession::NameAutomatically() {
  const std::string name = Name() + "_" + std::to_string(auto_number_ + 1);
  auto_naming_ = true;
  try {
    SetSessionName(name);
  } catch (...) {
    auto_naming_ = false;
    throw;
  }
  auto_naming_ = false;
  if (Owner() == nullptr) return;
  for (TComponent* sibling : Owner()->Components()) {
    if (auto* database = dynamic_cast<TTarvoDatabase*>(sibling); database != nullptr) {
      if (database->SessionName() != session_name_) database->SetSessionName(session_name_);
    } else if (auto* data_set = dynamic_cast<TTarvoDBDataSet*>(sibling); data_set != nullptr) {
      if (data_set->SessionName() != session_name_) data_set->SetSessionName(session_name_);
    }
  }
}

void TTarvoSession::NameChanged() {
  if (auto_session_name_) NameAutomatically();
}

void TTarvoSession::SetSessionName(const std::string& name) {
  if (auto_session_name_ && !auto_naming_) DatabaseError(kSAutoSessionActive);
  CheckInactive();
  if (!name.empty() && list_.FindOtherSession(name, this) != nullptr)
    DatabaseError(kSDuplicateSessionName, {name});
  session_name_ = name;
}

void TTarvoSession::SetForceBufferFlush(bool value) {
  if (Active()) {
    TSessionLockGuard lock(list_.SessionLock());
    if (value != force_buffer_flush_) engine_session_->ForceBufferFlush = value;
  }
  force_buffer_flush_ = value;
}

void TTarvoSession::SetLockRetryCount(std::uint8_t value) {
  if (Active()) {
    TSessionLockGuard lock(list_.SessionLock());
    if (value != lock_retry_count_) engine_session_->LockRetryCount = value;
  }
  lock_retry_count_ = value;
}

void TTarvoSession::SetLockWaitTime(std::uint16_t value) {
  if (Active()) {
    TSessionLockGuard lock(list_.SessionLock());
    if (value != lock_wait_time_) engine_session_->LockWaitTime = value;
  }
  lock_wait_time_ = value;
}

void TTarvoSession::SetPrivateDir(const std::string& value) {
  if (Active()) {
    TSessionLockGuard lock(list_.SessionLock());
    if (value != private_dir_) engine_session_->SetPrivateDirectory(CutToShortText(value));
  }
  private_dir_ = value;
}

void TTarvoSession::SetStrictChangeDetection(bool value) {
  if (Active()) {
    TSessionLockGuard lock(list_.SessionLock());
    if (value != strict_change_detection_) engine_session_->StrictChangeDetection = value;
  }
  strict_change_detection_ = value;
}

void TTarvoSession::SetLanguageID(TLanguageId value) {
  if (Active()) {
    TSessionLockGuard lock(list_.SessionLock());
    if (value != language_id_) engine_session_->LanguageID = value;
  }
  language_id_ = value;
}

void TTarvoSession::SetSortID(TSortId value) {
  if (Active()) {
    TSessionLockGuard lock(list_.SessionLock());
    if (value != sort_id_) engine_session_->SortID = value;
  }
  sort_id_ = value;
}

TTarvoDatabase* TTarvoSession::FindDatabase(const std::string& name, const TComponent* owner) const {
  for (TTarvoDatabase* database : databases_) {
    if (database->Owner() == owner && database->HandleShared() &&
        SameNameIgnoringCase(database->DatabaseName(), name)) {
      return database;
    }
  }
  for (TTarvoDatabase* database : databases_) {
    if (SameNameIgnoringCase(database->DatabaseName(), name)) return database;
  }
  return nullptr;
}

// 1. The database of that name; 2. else a temporary one; 3. connected (a temporary database
// that fails to connect is freed); 4. its use count raised.
TTarvoDatabase& TTarvoSession::OpenDatabase(const std::string& name, TComponent* owner) {
  TSessionLockGuard lock(list_.SessionLock());
  TTarvoDatabase* database = FindDatabase(name, owner);
  bool created = false;
  if (database == nullptr) {
    database = new TTarvoDatabase(this);
    created = true;
    try {
      database->MakeTemporary();
      database->SetDatabaseName(name);
      database->SetKeepConnection(keep_connections_);
    } catch (...) {
      delete database;
      throw;
    }
  }
  try {
    database->SetConnected(true);
  } catch (...) {
    if (created) delete database;
    throw;
  }
  database->AddUse();
  return *database;
}

void TTarvoSession::CloseDatabase(TTarvoDatabase& database) {
  database.ReleaseUse();
  if (database.UseCount() > 0 || database.KeepConnection() || database.Disconnecting()) return;
  if (!database.Temporary()) {
    database.SetConnected(false);
  } else if (!database.Destroying()) {
    delete &database;
  }
}

void TTarvoSession::AddPassword(const std::string& password) {
  TSessionLockGuard lock(list_.SessionLock());
  Start();
  engine_session_->AddPassword(CutToShortText(password));
}

void TTarvoSession::RemovePassword(const std::string& password) {
  TSessionLockGuard lock(list_.SessionLock());
  Start();
  engine_session_->RemovePassword(CutToShortText(password));
}

void TTarvoSession::RemoveAllPasswords() {
  TSessionLockGuard lock(list_.SessionLock());
  Start();
  engine_session_->RemoveAllPasswords();
}

bool TTarvoSession::AskForPassword(const std::string& table_name) {
  // Named for the handler and the prompt while they decide.
  password_table_name_ = table_name;
  struct TForget {
    std::string& name;
    ~TForget() { name.clear(); }
  } forget{password_table_name_};
  if (OnPassword) {
    bool continue_open = false;
    OnPassword(*this, continue_open);
    return continue_open;
  }
  if (TPasswordPrompt* prompt = CurrentPasswordPrompt(); prompt != nullptr) return prompt->Prompt(*this);
  return false;
}

void TTarvoSession::AddDatabase(TTarvoDatabase* database) {
  databases_.push_back(database);
}

void TTarvoSession::RemoveDatabase(TTarvoDatabase* database) {
  std::erase(databases_, database);
}

}  // namespace tarvo

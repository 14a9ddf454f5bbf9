#include "components/session_list.h"

#include <algorithm>

#include "components/database_texts.h"
#include "components/tarvo_session.h"
#include "support/file_list.h"
#include "support/platform_names.h"

namespace tarvo {

void TSessionLock::Acquire() {
  mutex_.lock();
  holder_ = std::this_thread::get_id();
  ++depth_;
}

void TSessionLock::Release() {
  if (--depth_ == 0) holder_ = std::thread::id();
  mutex_.unlock();
}

int TSessionLock::Depth() const {
  return holder_ == std::this_thread::get_id() ? depth_ : 0;
}

TSessionLockGuard::TSessionLockGuard(TSessionLock& lock) : lock_(lock) {
  lock_.Acquire();
}

TSessionLockGuard::TSessionLockGuard() : TSessionLockGuard(SessionLock()) {}

TTarvoSessionList::TTarvoSessionList() = default;

TTarvoSessionList::~TTarvoSessionList() {
  owned_default_.reset();
}

void TTarvoSessionList::CreateDefaultSession() {
  owned_default_ = std::make_unique<TTarvoSession>(nullptr, *this);
  owned_default_->SetSessionName("Default");
}

void TTarvoSessionList::AddSession(TTarvoSession* session) {
  std::lock_guard lock(list_lock_);
  if (sessions_.empty() && default_session_ == nullptr) default_session_ = session;
  sessions_.push_back(session);
}

void TTarvoSessionList::RemoveSession(TTarvoSession* session) {
  std::lock_guard lock(list_lock_);
  std::erase(sessions_, session);
  if (default_session_ == session) default_session_ = nullptr;
}

TTarvoSession* TTarvoSessionList::DefaultSession() const {
  std::lock_guard lock(list_lock_);
  return default_session_;
}

TTarvoSession* TTarvoSessionList::FindSession(const std::string& name) const {
  std::lock_guard lock(list_lock_);
  if (name.empty()) return default_session_;
  for (TTarvoSession* session : sessions_) {
    if (SameNameIgnoringCase(session->SessionName(), name)) return session;
  }
  return nullptr;
}

TTarvoSession& TTarvoSessionList::FindSessionOrFail(const std::string& name) const {
  TTarvoSession* session = FindSession(name);
  if (session == nullptr) DatabaseError(kSInvalidSessionName, {name});
  return *session;
}

TTarvoSession* TTarvoSessionList::FindOtherSession(const std::string& name,
                                                   const TTarvoSession* except) const {
  std::lock_guard lock(list_lock_);
  for (TTarvoSession* session : sessions_) {
    if (session != except && SameNameIgnoringCase(session->SessionName(), name)) return session;
  }
  return nullptr;
}

std::size_t TTarvoSessionList::Count() const {
  std::lock_guard lock(list_lock_);
  return sessions_.size();
}

std::vector<TTarvoSession*> TTarvoSessionList::List() const {
  std::lock_guard lock(list_lock_);
  return sessions_;
}

int TTarvoSessionList::TakeAutoNumber() {
  std::lock_guard lock(list_lock_);
  for (std::size_t n = 0; n < auto_numbers_.size(); ++n) {
    if (!auto_numbers_.test(n)) {
      auto_numbers_.set(n);
      return static_cast<int>(n);
    }
  }
  DatabaseError(kSAutoSessionExists);
}

void TTarvoSessionList::FreeAutoNumber(int number) {
  std::lock_guard lock(list_lock_);
  if (number >= 0 && static_cast<std::size_t>(number) < auto_numbers_.size()) {
    auto_numbers_.reset(static_cast<std::size_t>(number));
  }
}

TTarvoSessionList& Sessions() {
  static TTarvoSessionList* const list = [] {
    // The file list must outlive the sessions: their tables close through it at the end.
    (void)EngineFileList();
    static TTarvoSessionList instance;
    instance.CreateDefaultSession();
    return &instance;
  }();
  return *list;
}

TSessionLock& SessionLock() {
  return Sessions().SessionLock();
}

}  // namespace tarvo

// TTarvoSessionList: the process's sessions. Created on first use together with the default
// session "Default" (owned by the list, without an owner) and freed at the end of the process.
// Also holds the set of automatic session numbers and the process-wide session lock, a
// re-entrant lock that guards session activation and every engine call made through a session.
#pragma once

#include <atomic>
#include <bitset>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarvo {

class TTarvoSession;

// A re-entrant lock that counts how deeply its holder holds it; released at depth 0.
class TSessionLock {
 public:
  void Acquire();
  void Release();
  // How deeply the calling thread holds the lock (0: it does not).
  int Depth() const;

 private:
  std::recursive_mutex mutex_;
  std::atomic<std::thread::id> holder_{};
  int depth_ = 0;  // Changed by the holder only.
};

class TSessionLockGuard {
 public:
  explicit TSessionLockGuard(TSessionLock& lock);
  TSessionLockGuard();  // the process-wide session lock
  ~TSessionLockGuard() { lock_.Release(); }
  TSessionLockGuard(const TSessionLockGuard&) = delete;
  TSessionLockGuard& operator=(const TSessionLockGuard&) = delete;

 private:
  TSessionLock& lock_;
};

class TTarvoSessionList {
 public:
  TTarvoSessionList();
  ~TTarvoSessionList();
  TTarvoSessionList(const TTarvoSessionList&) = delete;
  TTarvoSessionList& operator=(const TTarvoSessionList&) = delete;

  // The first session ever added becomes the default session.
  void AddSession(TTarvoSession* session);
  void RemoveSession(TTarvoSession* session);

  TTarvoSession* DefaultSession() const;
  // Without regard to case; an empty name gives the default session; nullptr when none matches.
  TTarvoSession* FindSession(const std::string& name) const;
  // Raises "Session name %s is not valid." when none matches.
  TTarvoSession& FindSessionOrFail(const std::string& name) const;
  // Another session than `except` bearing `name` (without regard to case), nullptr if none.
  TTarvoSession* FindOtherSession(const std::string& name, const TTarvoSession* except) const;

  std::size_t Count() const;
  std::vector<TTarvoSession*> List() const;

  // The lowest free automatic session number (from 0), taken; and freeing one.
  int TakeAutoNumber();
  void FreeAutoNumber(int number);

  TSessionLock& SessionLock() { return session_lock_; }

 private:
  friend TTarvoSessionList& Sessions();
  void CreateDefaultSession();

  mutable std::mutex list_lock_;
  std::vector<TTarvoSession*> sessions_;      // Guarded by list_lock_.
  TTarvoSession* default_session_ = nullptr;  // Guarded by list_lock_.
  std::bitset<1024> auto_numbers_;            // Guarded by list_lock_.
  TSessionLock session_lock_;
  std::unique_ptr<TTarvoSession> owned_default_;
};

// The process's session list, with its default session "Default".
TTarvoSessionList& Sessions();
// The process-wide session lock.
TSessionLock& SessionLock();

}  // namespace tarvo

#include "components/tarvo_session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <latch>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "components/database_texts.h"
#include "components/session_list.h"
#include "components/tarvo_database.h"
#include "components/tarvo_table.h"
#include "engine/tables/data_session.h"

namespace tarvo {
namespace {

std::string ErrorText(const std::function<void()>& action) {
  try {
    action();
  } catch (const EDatabaseError& e) {
    return e.what();
  }
  return "nothing raised";
}

TEST(TTarvoSessionTest, NewSessionHasTheDocumentedSettings) {
  TTarvoSession session;
  EXPECT_EQ("2.08", session.EngineVersion());
  session.SetEngineVersion("9.99");
  EXPECT_EQ("2.08", session.EngineVersion());
  EXPECT_FALSE(session.Active());
  EXPECT_FALSE(session.AutoSessionName());
  EXPECT_FALSE(session.ForceBufferFlush());
  EXPECT_FALSE(session.KeepConnections());
  EXPECT_EQ(15, session.LockRetryCount());
  EXPECT_EQ(100, session.LockWaitTime());
  EXPECT_EQ("", session.PrivateDir());
  EXPECT_EQ("", session.SessionName());
  EXPECT_FALSE(session.StrictChangeDetection());
  EXPECT_EQ(DefaultSessionLanguage(), session.LanguageID());
  EXPECT_EQ(0, session.SortID());
  EXPECT_EQ(-1, session.AutoNumber());
}

TEST(TTarvoSessionTest, StartingRequiresANameAndStartsTheDefaultSessionFirst) {
  TTarvoSession& default_session = *Sessions().DefaultSession();
  default_session.Close();
  TTarvoSession session;
  int started = 0;
  session.OnStartup = [&](TComponent& sender) {
    EXPECT_EQ(&session, &sender);
    ++started;
  };
  EXPECT_EQ("Session name is missing.", ErrorText([&] { session.Open(); }));
  EXPECT_FALSE(session.Active());
  session.SetSessionName("Second");
  session.SetLockRetryCount(3);
  session.SetPrivateDir("/tmp");
  session.Open();
  EXPECT_EQ(2, started);
  EXPECT_TRUE(default_session.Active());
  ASSERT_NE(nullptr, session.EngineSession());
  EXPECT_NE(default_session.EngineSession(), session.EngineSession());
  EXPECT_EQ(3, session.EngineSession()->LockRetryCount);
  EXPECT_EQ("/tmp/", session.EngineSession()->PrivateDirectory());
  // Settings of an active session reach the engine session at once.
  session.SetLockRetryCount(7);
  session.SetLockWaitTime(5);
  session.SetStrictChangeDetection(true);
  session.SetForceBufferFlush(true);
  session.SetSortID(1);
  EXPECT_EQ(7, session.EngineSession()->LockRetryCount);
  EXPECT_EQ(5, session.EngineSession()->LockWaitTime);
  EXPECT_TRUE(session.EngineSession()->StrictChangeDetection);
  EXPECT_TRUE(session.EngineSession()->ForceBufferFlush);
  EXPECT_EQ(1, session.EngineSession()->SortID);
  session.Close();
  EXPECT_EQ(nullptr, session.EngineSession());
  EXPECT_EQ(7, session.LockRetryCount());
}

TEST(TTarvoSessionTest, SessionNamesAreUniqueWithoutRegardToCase) {
  TTarvoSession first;
  first.SetSessionName("Work");
  TTarvoSession second;
  EXPECT_EQ("Session name wORK already exists.", ErrorText([&] { second.SetSessionName("wORK"); }));
  EXPECT_EQ("Session name default already exists.", ErrorText([&] { second.SetSessionName("default"); }));
  first.SetSessionName("WORK");  // its own name in another case
  EXPECT_EQ(&first, Sessions().FindSession("work"));
  first.Open();
  EXPECT_EQ("Cannot perform this operation on an active session.",
            ErrorText([&] { first.SetSessionName("Other"); }));
  EXPECT_EQ("Cannot perform this operation on an active session.",
            ErrorText([&] { first.SetAutoSessionName(true); }));
}

TEST(TTarvoSessionTest, AutomaticNamingNamesSessionDatabasesAndDataSetsOfTheOwner) {
  TComponent form;
  form.SetName("Form1");
  auto* database = new TTarvoDatabase(&form);
  auto* table = new TTarvoTable(&form);
  auto* session = new TTarvoSession(&form);
  session->SetName("Session1");
  session->SetAutoSessionName(true);
  EXPECT_EQ("Session1_1", session->SessionName());
  EXPECT_EQ("Session1_1", database->SessionName());
  EXPECT_EQ(session, &database->Session());
  EXPECT_EQ("Session1_1", table->SessionName());
  EXPECT_EQ("Cannot perform this operation on the active auto-session.",
            ErrorText([&] { session->SetSessionName("Mine"); }));
  // The lowest free number is taken; renaming the component renames the session.
  TComponent other_form;
  auto* other = new TTarvoSession(&other_form);
  other->SetName("S");
  other->SetAutoSessionName(true);
  EXPECT_EQ("S_2", other->SessionName());
  session->SetName("Main");
  EXPECT_EQ("Main_1", session->SessionName());
  EXPECT_EQ("This auto-session already exists.", ErrorText([&] { new TTarvoSession(&form); }));
  EXPECT_EQ(1u + 1u + 1u, form.ComponentCount());  // the refused session left its owner
  session->SetAutoSessionName(false);
  TComponent third_form;
  auto* third = new TTarvoSession(&third_form);
  third->SetName("T");
  third->SetAutoSessionName(true);
  EXPECT_EQ("T_1", third->SessionName());  // number 0 was freed
  // An owner with a second session refuses automatic naming.
  TComponent fourth_form;
  auto* plain = new TTarvoSession(&fourth_form);
  auto* sibling = new TTarvoSession(&fourth_form);
  EXPECT_EQ("The active auto-session can be the only active session.",
            ErrorText([&] { sibling->SetAutoSessionName(true); }));
  EXPECT_FALSE(plain->AutoSessionName());
}

TEST(TTarvoSessionTest, PasswordsReachTheEngineSession) {
  TTarvoSession session;
  session.SetSessionName("Passwords");
  session.AddPassword("one");
  session.AddPassword("two");
  session.AddPassword("");
  ASSERT_TRUE(session.Active());
  EXPECT_EQ((std::vector<std::string>{"one", "two"}), session.EngineSession()->Passwords());
  session.RemovePassword("one");
  EXPECT_EQ((std::vector<std::string>{"two"}), session.EngineSession()->Passwords());
  session.RemoveAllPasswords();
  EXPECT_TRUE(session.EngineSession()->Passwords().empty());
}

TEST(TTarvoSessionTest, StopFreesTemporaryDatabasesAndDisconnectsTheOthers) {
  TTarvoSession session;
  session.SetSessionName("Stopping");
  auto* named = new TTarvoDatabase(&session);
  named->SetDatabaseName("Named");
  named->SetDirectory("/tmp");
  named->Open();
  session.SetKeepConnections(true);
  TTarvoDatabase& temporary = session.OpenDatabase("/tmp/", nullptr);
  session.CloseDatabase(temporary);  // kept: KeepConnections
  ASSERT_EQ(2u, session.Databases().size());
  EXPECT_TRUE(session.Databases()[1]->Connected());
  session.Close();
  ASSERT_EQ(1u, session.Databases().size());
  EXPECT_EQ(named, session.Databases()[0]);
  EXPECT_FALSE(named->Connected());
}

TEST(TSessionListTest, DefaultSessionAndLookups) {
  TTarvoSessionList& list = Sessions();
  TTarvoSession* default_session = list.DefaultSession();
  ASSERT_NE(nullptr, default_session);
  EXPECT_EQ("Default", default_session->SessionName());
  EXPECT_EQ(nullptr, default_session->Owner());
  EXPECT_TRUE(default_session->IsDefault());
  EXPECT_EQ(default_session, list.FindSession(""));
  EXPECT_EQ(default_session, list.FindSession("DEFAULT"));
  EXPECT_EQ(nullptr, list.FindSession("Nobody"));
  EXPECT_EQ("Session name Nobody is not valid.", ErrorText([&] { list.FindSessionOrFail("Nobody"); }));
  const std::size_t before = list.Count();
  {
    TTarvoSession session;
    EXPECT_EQ(before + 1, list.Count());
  }
  EXPECT_EQ(before, list.Count());
}

TEST(TSessionListTest, SessionLockIsReentrantAndCounted) {
  TSessionLock& lock = SessionLock();
  EXPECT_EQ(0, lock.Depth());
  std::mutex events_mutex;
  std::vector<std::string> events;
  const auto event = [&](const std::string& what) {
    std::lock_guard<std::mutex> guard(events_mutex);
    events.push_back(what);
  };
  std::thread other;
  {
    TSessionLockGuard outer;
    TSessionLockGuard inner;
    EXPECT_EQ(2, lock.Depth());
    std::latch started(2);
    other = std::thread([&] {
      EXPECT_EQ(0, lock.Depth());
      started.arrive_and_wait();
      TSessionLockGuard guard;
      event("other holds it at depth " + std::to_string(lock.Depth()));
    });
    started.arrive_and_wait();
    // A pause (not measured) in which the other thread tries the lock while it is held here.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(2, lock.Depth());
    event("released");
  }
  other.join();
  EXPECT_EQ(0, lock.Depth());
  // The other thread gets the lock only once both levels here are let go.
  EXPECT_EQ(events, (std::vector<std::string>{"released", "other holds it at depth 1"}));
}

}  // namespace
}  // namespace tarvo

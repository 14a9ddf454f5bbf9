#include "components/tarvo_data_set.h"

#include "components/database_texts.h"
#include "components/session_list.h"
#include "components/tarvo_database.h"
#include "components/tarvo_session.h"
#include "engine/tables/data_cursor.h"

namespace tarvo {

TTarvoDataSet::TTarvoDataSet(TComponent* owner) : TDataSet(owner) {}

TTarvoDataSet::~TTarvoDataSet() = default;

void TTarvoDataSet::InternalClose() {
  if (cursor_ == nullptr) return;
  std::unique_ptr<TDataCursor> cursor = std::move(cursor_);
  TSessionLockGuard lock;
  cursor->Close();
}

TTarvoDBDataSet::TTarvoDBDataSet(TComponent* owner) : TTarvoDataSet(owner) {}

TTarvoDBDataSet::~TTarvoDBDataSet() {
  try {
    Close();
  } catch (...) {
    // A destructor cannot report the failure; the cursor is gone regardless.
  }
  if (database_ != nullptr) {
    db_flags_ = 0;
    try {
      CloseDatabaseUse();
    } catch (...) {
    }
  }
}

void TTarvoDBDataSet::InternalClose() {
  struct TRelease {
    TTarvoDBDataSet& data_set;
    ~TRelease() {
      try {
        data_set.SetDBFlag(TDBFlag::kOpen, false);
      } catch (...) {
        // The database stays in use only if its own disconnect failed; nothing to report to.
      }
    }
  } release{*this};
  TTarvoDataSet::InternalClose();
}

void TTarvoDBDataSet::SetDatabaseName(const std::string& name) {
  if (name == database_name_) return;
  if (InMemoryDataSet()) {
    database_name_ = "Memory";
    return;
  }
  CheckInactive();
  if (database_ != nullptr) DatabaseError(kSDatabaseOpen);
  database_name_ = name;
  DataEvent(TDataEvent::kPropertyChange);
}

void TTarvoDBDataSet::SetSessionName(const std::string& name) {
  CheckInactive();
  session_name_ = name;
  DataEvent(TDataEvent::kPropertyChange);
}

TTarvoSession& TTarvoDBDataSet::DBSession() const {
  return Sessions().FindSessionOrFail(session_name_);
}

void TTarvoDBDataSet::SetDBFlag(TDBFlag flag, bool value) {
  const auto bit = static_cast<std::uint16_t>(1u << static_cast<int>(flag));
  if (value) {
    if ((db_flags_ & bit) != 0) return;
    if (db_flags_ == 0) OpenDatabaseUse();
    db_flags_ |= bit;
  } else {
    if ((db_flags_ & bit) == 0) return;
    db_flags_ &= static_cast<std::uint16_t>(~bit);
    if (db_flags_ == 0) CloseDatabaseUse();
  }
}

// A database that was made before its session exists in the default session: it moves to the
// session it names (by connecting) before this data set looks for it.
void TTarvoDBDataSet::OpenDatabaseUse() {
  TTarvoSession& session = DBSession();
  if (session.FindDatabase(database_name_, Owner()) == nullptr) {
    TTarvoSession* default_session = Sessions().DefaultSession();
    if (default_session != nullptr && default_session != &session) {
      if (TTarvoDatabase* early = default_session->FindDatabase(database_name_, Owner()); early != nullptr) {
        early->SetConnected(true);
      }
    }
  }
  TTarvoDatabase& database = session.OpenDatabase(database_name_, Owner());
  database.AddDataSet(this);
  database_ = &database;
}

void TTarvoDBDataSet::CloseDatabaseUse() {
  TTarvoDatabase* database = database_;
  if (database == nullptr) return;
  database_ = nullptr;
  database->RemoveDataSet(this);
  database->Session().CloseDatabase(*database);
}

void TTarvoDBDataSet::DatabaseGone(TTarvoDatabase& database) {
  if (database_ != &database) return;
  database.RemoveDataSet(this);
  database_ = nullptr;
  db_flags_ = 0;
}

}  // namespace tarvo

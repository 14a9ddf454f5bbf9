// TTarvoDataSet: a data set over one engine cursor (held while open). TTarvoDBDataSet adds the
// database it works in (DatabaseName, SessionName) and the use of that database, recorded as up
// to 16 reasons ("usage bits"): the first bit set opens the database through the session, the
// last one cleared closes it again (a temporary database then goes away).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "components/data_set.h"

namespace tarvo {

class TDataCursor;
class TTarvoDatabase;
class TTarvoSession;

class TTarvoDataSet : public TDataSet {
 public:
  explicit TTarvoDataSet(TComponent* owner = nullptr);
  ~TTarvoDataSet() override;

  bool AutoDisplayLabels = true;
  bool CopyOnAppend = true;

  // The engine cursor while open, else nullptr.
  TDataCursor* Handle() const { return cursor_.get(); }

 protected:
  void InternalClose() override;

  std::unique_ptr<TDataCursor> cursor_;
};

// The reasons for which a data set uses its database.
enum class TDBFlag : int {
  kOpen = 0,       // the cursor is open
  kOperation = 3,  // a maintenance operation or a header read runs
  kFieldDefs = 4,  // field definitions are read
  kIndexDefs = 5,  // index definitions are read
};

class TTarvoDBDataSet : public TTarvoDataSet {
 public:
  explicit TTarvoDBDataSet(TComponent* owner = nullptr);
  ~TTarvoDBDataSet() override;

  const std::string& DatabaseName() const { return database_name_; }
  // No change for an equal name; a data set in memory is always in "Memory". Otherwise it must
  // be closed and not use its database ("Cannot perform this operation on an open database.").
  void SetDatabaseName(const std::string& name);
  const std::string& SessionName() const { return session_name_; }
  // Requires a closed data set; raises the property-change event on every assignment.
  virtual void SetSessionName(const std::string& name);

  // Sets or clears one usage bit (0 to 15); see the header comment.
  void SetDBFlag(TDBFlag flag, bool value);
  std::uint16_t DBFlags() const { return db_flags_; }
  // The database in use, nullptr while none is.
  TTarvoDatabase* Database() const { return database_; }
  // The session that SessionName names ("Session name %s is not valid." if none).
  TTarvoSession& DBSession() const;

  // The database tells its data sets that it goes.
  void DatabaseGone(TTarvoDatabase& database);

 protected:
  void InternalClose() override;
  // Whether the data set lives in the in-memory store.
  virtual bool InMemoryDataSet() const { return false; }
  void SetDatabaseNameRaw(const std::string& name) { database_name_ = name; }

 private:
  void OpenDatabaseUse();
  void CloseDatabaseUse();

  std::string database_name_;
  std::string session_name_;
  std::uint16_t db_flags_ = 0;
  TTarvoDatabase* database_ = nullptr;
};

// Holds one usage bit for a scope.
class TDBFlagGuard {
 public:
  TDBFlagGuard(TTarvoDBDataSet& data_set, TDBFlag flag) : data_set_(data_set), flag_(flag) {
    data_set_.SetDBFlag(flag_, true);
  }
  ~TDBFlagGuard() {
    try {
      data_set_.SetDBFlag(flag_, false);
    } catch (...) {
      // Releasing the database cannot be reported from here.
    }
  }
  TDBFlagGuard(const TDBFlagGuard&) = delete;
  TDBFlagGuard& operator=(const TDBFlagGuard&) = delete;

 private:
  TTarvoDBDataSet& data_set_;
  TDBFlag flag_;
};

}  // namespace tarvo

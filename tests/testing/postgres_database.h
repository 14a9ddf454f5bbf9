// A fresh database on the throw-away PostgreSQL server that the test command starts
// (scripts/with-postgres passes its connection string in TARVO_POSTGRES). Each
// TPostgresDatabase creates a database of its own and drops it when it goes; queries return
// every value in PostgreSQL's text form. TPostgresTest is the fixture: it skips the test, with a
// message saying why, when no server was given (ctest run by hand), and otherwise gives each test
// a fresh database in Database().
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvo::testing {

using TPgRow = std::vector<std::optional<std::string>>;  // NULL is nullopt

class TPostgresDatabase {
 public:
  // The server's connection string, empty when TARVO_POSTGRES is not set.
  static std::string ServerConnInfo();

  TPostgresDatabase();  // throws std::runtime_error when the server cannot be reached
  ~TPostgresDatabase();
  TPostgresDatabase(const TPostgresDatabase&) = delete;
  TPostgresDatabase& operator=(const TPostgresDatabase&) = delete;

  const std::string& Name() const { return name_; }
  // A libpq connection string (key=value form) for this database.
  const std::string& ConnInfo() const { return conninfo_; }

  // Runs one or more statements; throws std::runtime_error with the server's message.
  void Execute(const std::string& sql);
  std::vector<TPgRow> Query(const std::string& sql);
  // The single value of a one-row, one-column query.
  std::optional<std::string> Value(const std::string& sql);

 private:
  struct TConnection;
  std::string name_;
  std::string conninfo_;
  std::unique_ptr<TConnection> connection_;
};

template <typename TBase = ::testing::Test>
class TPostgresTest : public TBase {
 protected:
  void SetUp() override {
    if (TPostgresDatabase::ServerConnInfo().empty()) {
      GTEST_SKIP() << "no PostgreSQL server: TARVO_POSTGRES is not set (scripts/with-postgres sets it)";
    }
    db_ = std::make_unique<TPostgresDatabase>();
  }
  void TearDown() override { db_.reset(); }
  TPostgresDatabase& Database() { return *db_; }

 private:
  std::unique_ptr<TPostgresDatabase> db_;
};

}  // namespace tarvo::testing

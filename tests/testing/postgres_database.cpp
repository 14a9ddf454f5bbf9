#include "tests/testing/postgres_database.h"

#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>

namespace tarvo::testing {

struct TPostgresDatabase::TConnection {
  PGconn* conn = nullptr;
  ~TConnection() { PQfinish(conn); }
};

namespace {

void IgnoreNotice(void*, const char*) {}

PGconn* ConnectOrThrow(const std::string& conninfo) {
  PGconn* conn = PQconnectdb(conninfo.c_str());
  if (PQstatus(conn) != CONNECTION_OK) {
    const std::string message = PQerrorMessage(conn);
    PQfinish(conn);
    throw std::runtime_error("PostgreSQL: cannot connect with '" + conninfo + "': " + message);
  }
  PQsetNoticeProcessor(conn, IgnoreNotice, nullptr);  // "... does not exist, skipping"
  return conn;
}

void ExecuteOn(PGconn* conn, const std::string& sql) {
  PGresult* result = PQexec(conn, sql.c_str());
  const auto status = PQresultStatus(result);
  const std::string message = PQresultErrorMessage(result);
  PQclear(result);
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    throw std::runtime_error("PostgreSQL: " + message + "in: " + sql.substr(0, 400));
  }
}

// key='value' with the quotes and backslashes of the value escaped, as libpq reads it.
std::string ConnInfoPair(const std::string& key, const std::string& value) {
  std::string text = key + "='";
  for (char c : value) {
    if (c == '\'' || c == '\\') text += '\\';
    text += c;
  }
  return text + "'";
}

}  // namespace

std::string TPostgresDatabase::ServerConnInfo() {
  const char* conninfo = std::getenv("TARVO_POSTGRES");
  return conninfo == nullptr ? std::string() : std::string(conninfo);
}

TPostgresDatabase::TPostgresDatabase() : connection_(std::make_unique<TConnection>()) {
  static std::atomic<int> counter{0};
  name_ = "tarvo_test_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
  const std::string server = ServerConnInfo();
  if (server.empty()) throw std::runtime_error("TARVO_POSTGRES is not set");
  TConnection admin{ConnectOrThrow(server)};
  ExecuteOn(admin.conn, "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
  ExecuteOn(admin.conn,
            "CREATE DATABASE " + name_ + " TEMPLATE template0 ENCODING 'UTF8' LC_COLLATE 'C' LC_CTYPE 'C'");
  // The server's settings in effect (a URI or key=value form alike), with this database's name.
  PQconninfoOption* options = PQconninfo(admin.conn);
  for (PQconninfoOption* option = options; option != nullptr && option->keyword != nullptr; ++option) {
    if (option->val == nullptr || *option->val == '\0' || std::string(option->keyword) == "dbname") continue;
    conninfo_ += ConnInfoPair(option->keyword, option->val) + " ";
  }
  PQconninfoFree(options);
  conninfo_ += ConnInfoPair("dbname", name_);
  connection_->conn = ConnectOrThrow(conninfo_);
}

TPostgresDatabase::~TPostgresDatabase() {
  connection_.reset();
  try {
    TConnection admin{ConnectOrThrow(ServerConnInfo())};
    ExecuteOn(admin.conn, "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
  } catch (const std::exception& e) {
    ADD_FAILURE() << "dropping the test database " << name_ << ": " << e.what();
  }
}

void TPostgresDatabase::Execute(const std::string& sql) {
  ExecuteOn(connection_->conn, sql);
}

std::vector<TPgRow> TPostgresDatabase::Query(const std::string& sql) {
  PGresult* result = PQexec(connection_->conn, sql.c_str());
  if (PQresultStatus(result) != PGRES_TUPLES_OK) {
    const std::string message = PQresultErrorMessage(result);
    PQclear(result);
    throw std::runtime_error("PostgreSQL: " + message + "in: " + sql.substr(0, 400));
  }
  std::vector<TPgRow> rows(static_cast<std::size_t>(PQntuples(result)));
  for (int r = 0; r < PQntuples(result); ++r) {
    for (int c = 0; c < PQnfields(result); ++c) {
      if (PQgetisnull(result, r, c)) {
        rows[r].push_back(std::nullopt);
      } else {
        rows[r].push_back(
            std::string(PQgetvalue(result, r, c), static_cast<std::size_t>(PQgetlength(result, r, c))));
      }
    }
  }
  PQclear(result);
  return rows;
}

std::optional<std::string> TPostgresDatabase::Value(const std::string& sql) {
  const auto rows = Query(sql);
  if (rows.size() != 1 || rows[0].size() != 1) {
    throw std::runtime_error("PostgreSQL: expected one value from: " + sql);
  }
  return rows[0][0];
}

}  // namespace tarvo::testing

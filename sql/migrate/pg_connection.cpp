#include "sql/migrate/pg_connection.h"

#include <libpq-fe.h>

namespace tarvo::sql {

namespace {

// libpq's messages end in a line break.
std::string Trimmed(const char* message) {
  std::string text = message == nullptr ? "" : message;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

void IgnoreNotice(void*, const char*) {}

}  // namespace

struct TPgConnection::TState {
  PGconn* conn = nullptr;
  bool copying = false;  // between BeginCopy and EndCopy
  ~TState() { PQfinish(conn); }

  [[noreturn]] void Fail(const std::string& what) const {
    throw EPgError("PostgreSQL: " + what + ": " + Trimmed(PQerrorMessage(conn)));
  }

  // Takes `result` over, throws with its message unless its status is `expected`.
  void Check(PGresult* result, ExecStatusType expected, const std::string& what) const {
    const ExecStatusType status = PQresultStatus(result);
    if (status != expected) {
      const std::string message = result != nullptr ? Trimmed(PQresultErrorMessage(result)) : "";
      const char* sqlstate = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
      std::string code = sqlstate != nullptr ? sqlstate : "";
      PQclear(result);
      throw EPgError(
          "PostgreSQL: " + what + ": " + (message.empty() ? Trimmed(PQerrorMessage(conn)) : message),
          std::move(code));
    }
    PQclear(result);
  }
};

TPgConnection::TPgConnection(const std::string& conninfo) : state_(std::make_unique<TState>()) {
  state_->conn = PQconnectdb(conninfo.c_str());
  if (state_->conn == nullptr) throw EPgError("PostgreSQL: out of memory");
  if (PQstatus(state_->conn) != CONNECTION_OK) state_->Fail("cannot connect");
  PQsetNoticeProcessor(state_->conn, IgnoreNotice, nullptr);
  if (PQsetClientEncoding(state_->conn, "UTF8") != 0) state_->Fail("cannot use UTF-8");
}

TPgConnection::~TPgConnection() = default;

void TPgConnection::Execute(const std::string& sql) {
  PGresult* result = PQexec(state_->conn, sql.c_str());
  // A statement list reports the status of its last statement; a query in it is fine too.
  if (PQresultStatus(result) == PGRES_TUPLES_OK) {
    PQclear(result);
    return;
  }
  state_->Check(result, PGRES_COMMAND_OK, "statement failed");
}

std::vector<std::vector<std::optional<std::string>>> TPgConnection::Query(const std::string& sql) {
  PGresult* result = PQexec(state_->conn, sql.c_str());
  if (PQresultStatus(result) != PGRES_TUPLES_OK) state_->Check(result, PGRES_TUPLES_OK, "query failed");
  std::vector<std::vector<std::optional<std::string>>> rows(static_cast<std::size_t>(PQntuples(result)));
  for (int r = 0; r < PQntuples(result); ++r) {
    for (int c = 0; c < PQnfields(result); ++c) {
      if (PQgetisnull(result, r, c) != 0) {
        rows[static_cast<std::size_t>(r)].emplace_back();
      } else {
        rows[static_cast<std::size_t>(r)].emplace_back(
            std::string(PQgetvalue(result, r, c), static_cast<std::size_t>(PQgetlength(result, r, c))));
      }
    }
  }
  PQclear(result);
  return rows;
}

void TPgConnection::BeginCopy(const std::string& copy_statement) {
  state_->Check(PQexec(state_->conn, copy_statement.c_str()), PGRES_COPY_IN, "COPY failed");
  state_->copying = true;
}

void TPgConnection::CopyData(std::string_view bytes) {
  if (PQputCopyData(state_->conn, bytes.data(), static_cast<int>(bytes.size())) != 1) {
    state_->Fail("sending COPY data failed");
  }
}

void TPgConnection::EndCopy() {
  state_->copying = false;
  if (PQputCopyEnd(state_->conn, nullptr) != 1) state_->Fail("ending COPY failed");
  // The COPY's own result; the connection is ready again once every result has been taken.
  PGresult* result = PQgetResult(state_->conn);
  for (PGresult* more = PQgetResult(state_->conn); more != nullptr; more = PQgetResult(state_->conn))
    PQclear(more);
  state_->Check(result, PGRES_COMMAND_OK, "COPY failed");
}

void TPgConnection::Abandon() noexcept {
  PGconn* conn = state_->conn;
  if (state_->copying) {
    // End the COPY with an error of our own, so the server drops what it had.
    state_->copying = false;
    (void)PQputCopyEnd(conn, "abandoned");
  }
  for (PGresult* result = PQgetResult(conn); result != nullptr; result = PQgetResult(conn)) PQclear(result);
  if (PQtransactionStatus(conn) != PQTRANS_IDLE) PQclear(PQexec(conn, "ROLLBACK"));
}

}  // namespace tarvo::sql

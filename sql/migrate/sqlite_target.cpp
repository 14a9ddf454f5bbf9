#include "sql/migrate/sqlite_target.h"

#include <sqlite3.h>

#include <stdexcept>

namespace tarvo::sql {

TSqliteTarget::TSqliteTarget(const std::string& path) : path_(path) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
    const std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw std::runtime_error("tarvo: cannot create " + path + ": " + message);
  }
  // Index builds sort in the page cache: 64 MiB of it.
  Execute("PRAGMA cache_size = -65536");
}

TSqliteTarget::~TSqliteTarget() {
  AbandonTable();
  sqlite3_close(db_);
}

void TSqliteTarget::Fail(const std::string& what) {
  throw std::runtime_error("tarvo: " + path_ + ": " + what + ": " + sqlite3_errmsg(db_));
}

void TSqliteTarget::Execute(const std::string& statement) {
  char* error = nullptr;
  if (sqlite3_exec(db_, statement.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = error != nullptr ? error : "failed";
    sqlite3_free(error);
    throw std::runtime_error("tarvo: " + path_ + ": " + message + " (in " + statement.substr(0, 200) + ")");
  }
}

void TSqliteTarget::BeginTable(const TTableSchema& schema) {
  schema_ = schema;
  Execute("BEGIN");
  try {
    Execute(CreateTableStatement(schema, TSqlDialect::kSqlite));
    std::string insert = "INSERT INTO " + QuoteIdentifier(schema.table, TSqlDialect::kSqlite) + " VALUES (";
    for (std::size_t i = 0; i < schema.fields.size(); ++i) insert += i == 0 ? "?" : ", ?";
    insert += ")";
    if (sqlite3_prepare_v2(db_, insert.c_str(), -1, &insert_, nullptr) != SQLITE_OK)
      Fail("preparing the rows");
  } catch (...) {
    AbandonTable();
    throw;
  }
}

std::optional<std::string> TSqliteTarget::AddRow(std::span<const TSqlValue> values) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    const int at = static_cast<int>(i) + 1;
    const TSqlValue& value = values[i];
    int rc = SQLITE_OK;
    if (std::holds_alternative<std::monostate>(value)) {
      rc = sqlite3_bind_null(insert_, at);
    } else if (const auto* number = std::get_if<std::int64_t>(&value)) {
      rc = sqlite3_bind_int64(insert_, at, *number);
    } else if (const auto* real = std::get_if<double>(&value)) {
      rc = sqlite3_bind_double(insert_, at, *real);
    } else if (const auto* text = std::get_if<std::string>(&value)) {
      rc = sqlite3_bind_text64(insert_, at, text->data(), text->size(), SQLITE_STATIC, SQLITE_UTF8);
    } else {
      const auto& bytes = std::get<TSqlBytes>(value);
      // A zero-length blob is bound as one, never as NULL.
      rc = bytes.empty() ? sqlite3_bind_zeroblob(insert_, at, 0)
                         : sqlite3_bind_blob64(insert_, at, bytes.data(), bytes.size(), SQLITE_STATIC);
    }
    if (rc == SQLITE_TOOBIG) {
      sqlite3_reset(insert_);
      return std::string(sqlite3_errstr(rc));
    }
    if (rc != SQLITE_OK) Fail("binding a value");
  }
  const int rc = sqlite3_step(insert_);
  sqlite3_reset(insert_);
  if (rc == SQLITE_DONE) return std::nullopt;
  const int primary = rc & 0xFF;
  if (primary == SQLITE_CONSTRAINT || primary == SQLITE_MISMATCH || primary == SQLITE_TOOBIG) {
    return std::string(sqlite3_errmsg(db_));
  }
  Fail("adding a row");
}

std::vector<std::string> TSqliteTarget::EndTable() {
  sqlite3_finalize(insert_);
  insert_ = nullptr;
  std::vector<std::string> failures;
  for (const std::string& statement : IndexStatements(schema_, TSqlDialect::kSqlite)) {
    char* error = nullptr;
    if (sqlite3_exec(db_, statement.c_str(), nullptr, nullptr, &error) == SQLITE_OK) continue;
    const std::string message = error != nullptr ? error : "failed";
    sqlite3_free(error);
    const std::string unique = "CREATE UNIQUE INDEX ";
    if (statement.starts_with(unique) && (sqlite3_errcode(db_) & 0xFF) == SQLITE_CONSTRAINT) {
      // The rows break the index's uniqueness: the index keeps its order without it.
      Execute("CREATE INDEX " + statement.substr(unique.size()));
      failures.push_back(statement.substr(unique.size(), statement.find(" ON ") - unique.size()) +
                         " made without UNIQUE: " + message);
      continue;
    }
    throw std::runtime_error("tarvo: " + path_ + ": " + message + " (in " + statement + ")");
  }
  Execute("COMMIT");
  return failures;
}

void TSqliteTarget::AbandonTable() noexcept {
  if (insert_ != nullptr) {
    sqlite3_finalize(insert_);
    insert_ = nullptr;
  }
  if (db_ != nullptr && sqlite3_get_autocommit(db_) == 0)
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

void TSqliteTarget::Finish() {
  if (sqlite3_close(db_) != SQLITE_OK) Fail("closing");
  db_ = nullptr;
}

}  // namespace tarvo::sql

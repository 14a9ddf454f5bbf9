// TPgConnection: one connection to a PostgreSQL server through libpq, for loading tables into it:
// plain statements, and the COPY ... FROM STDIN stream that carries the rows. Every failure throws
// EPgError with the server's or libpq's message (never the connection string, which may hold a
// password). The connection speaks UTF-8 whatever the server's default, and the server's notices
// ("... does not exist, skipping") are not printed.
#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvo::sql {

class EPgError : public std::runtime_error {
 public:
  EPgError(const std::string& message, std::string sqlstate = {})
      : std::runtime_error(message), sqlstate_(std::move(sqlstate)) {}
  // The server's five-character SQLSTATE code ("23505": a unique key repeated), empty when the
  // failure was not the server's answer.
  const std::string& SqlState() const { return sqlstate_; }

 private:
  std::string sqlstate_;
};

class TPgConnection {
 public:
  // `conninfo`: any libpq connection string, "key=value ..." or a postgresql:// URI.
  explicit TPgConnection(const std::string& conninfo);
  ~TPgConnection();
  TPgConnection(const TPgConnection&) = delete;
  TPgConnection& operator=(const TPgConnection&) = delete;

  // Runs one or more statements.
  void Execute(const std::string& sql);
  // The rows of a query, each value in PostgreSQL's text form (NULL: nullopt).
  std::vector<std::vector<std::optional<std::string>>> Query(const std::string& sql);

  // Starts `copy_statement` (COPY ... FROM STDIN ...); the data follows through CopyData and ends
  // with EndCopy, which throws when the server refused any of it.
  void BeginCopy(const std::string& copy_statement);
  void CopyData(std::string_view bytes);
  void EndCopy();
  // Ends a COPY in progress without its data, and rolls the open transaction back; never throws
  // (for clean-up after a failure).
  void Abandon() noexcept;

 private:
  struct TState;
  std::unique_ptr<TState> state_;
};

}  // namespace tarvo::sql

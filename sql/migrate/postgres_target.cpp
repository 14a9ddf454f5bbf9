#include "sql/migrate/postgres_target.h"

#include <unistd.h>

#include <stdexcept>

#include "engine/format/field_types.h"

namespace tarvo::sql {

namespace {

constexpr TSqlDialect kPg = TSqlDialect::kPostgresql;
// Rows go to the server in pieces of about this many bytes.
constexpr std::size_t kSendBytes = 1 << 20;

// The table as made before its rows: the primary key is added after them (a sorted build is much
// faster than keeping the key's tree while the rows come), like the other indexes.
TTableSchema WithoutPrimaryKey(const TTableSchema& schema) {
  TTableSchema copy = schema;
  if (HasPrimaryKeyClause(schema, kPg)) copy.indexes.erase(copy.indexes.begin());
  return copy;
}

}  // namespace

void TPgCopyRows::Start(const TTableSchema& schema) {
  schema_ = schema;
  kinds_.clear();
  required_.clear();
  for (const TFieldDescriptor& d : schema.fields) {
    kinds_.push_back(PgCopyKindOf(d));
    required_.push_back(d.Required != 0 || IsAutoIncrement(d.FieldType, d.FieldSubType));
  }
  text_.clear();
}

std::optional<std::string> TPgCopyRows::Add(std::span<const TSqlValue> values,
                                            std::vector<std::string>& changed) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (required_[i] && std::holds_alternative<std::monostate>(values[i])) {
      return "no value for the required column " + schema_.columns[i];
    }
  }
  const std::size_t start = text_.size();
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) text_ += '\t';
    if (!AppendCopyValue(text_, values[i], kinds_[i])) {
      if (kinds_[i] == TPgCopyKind::kTemporal) {
        if (required_[i]) {
          text_.resize(start);
          return "the required column " + schema_.columns[i] + " holds no valid value";
        }
        changed.push_back(schema_.columns[i] + ": not a valid value, left NULL");
      } else {
        changed.push_back(schema_.columns[i] + ": zero characters left out");
      }
    }
  }
  text_ += '\n';
  return std::nullopt;
}

std::string TPgCopyRows::CreateStatement() const {
  return CreateTableStatement(WithoutPrimaryKey(schema_), kPg);
}

std::string TPgCopyRows::CopyStatement() const {
  std::vector<std::string> columns;
  for (const std::string& column : schema_.columns) columns.push_back(QuoteIdentifier(column, kPg));
  return sql::CopyStatement(QuoteIdentifier(schema_.table, kPg), columns);
}

std::optional<std::string> TPgCopyRows::PrimaryKeyColumns() const {
  if (!HasPrimaryKeyClause(schema_, kPg)) return std::nullopt;
  std::string columns;
  for (const int f : schema_.indexes.front().fields) {
    columns +=
        (columns.empty() ? "" : ", ") + QuoteIdentifier(schema_.columns[static_cast<std::size_t>(f)], kPg);
  }
  return "(" + columns + ")";
}

std::optional<std::string> TPgCopyRows::PrimaryKeyStatement() const {
  const auto columns = PrimaryKeyColumns();
  if (!columns) return std::nullopt;
  return "ALTER TABLE " + QuoteIdentifier(schema_.table, kPg) + " ADD PRIMARY KEY " + *columns + ";";
}

std::vector<std::string> TPgCopyRows::IndexStatements() const {
  return sql::IndexStatements(WithoutPrimaryKey(schema_), kPg);
}

// --- TPostgresTarget ---

TPostgresTarget::TPostgresTarget(const std::string& conninfo, const std::vector<std::string>& tables,
                                 bool replace)
    : connection_(conninfo), replace_(replace) {
  connection_.Execute("SET standard_conforming_strings = on");
  if (replace_) return;
  std::string present;
  for (const std::string& table : tables) {
    // to_regclass finds the table as an unqualified name would, along the search path.
    const auto rows =
        connection_.Query("SELECT to_regclass(" + QuoteText(QuoteIdentifier(table, kPg)) + ") IS NOT NULL");
    if (!rows.empty() && rows[0][0] == "t") present += (present.empty() ? "" : ", ") + table;
  }
  if (!present.empty()) {
    throw EPgError("the database already has the table(s) " + present + "; give --replace to replace them");
  }
}

TPostgresTarget::~TPostgresTarget() {
  StopSender();
}

void TPostgresTarget::BeginTable(const TTableSchema& schema) {
  rows_.Start(schema);
  try {
    connection_.Execute("BEGIN");
    if (replace_) connection_.Execute("DROP TABLE IF EXISTS " + QuoteIdentifier(schema.table, kPg));
    connection_.Execute(rows_.CreateStatement());
    connection_.BeginCopy(rows_.CopyStatement());
    StartSender();
  } catch (...) {
    AbandonTable();
    throw;
  }
}

std::optional<std::string> TPostgresTarget::AddRow(std::span<const TSqlValue> values) {
  changed_.clear();
  auto refused = rows_.Add(values, changed_);
  if (rows_.Text().size() >= kSendBytes) SendRows();
  return refused;
}

std::vector<std::string> TPostgresTarget::TakeChangedValues() {
  return std::move(changed_);
}

// The rows go to the server from a thread of their own, a few pieces ahead: a blocking send waits
// until the server has taken the piece, and the next one is read from the table meanwhile.
void TPostgresTarget::SendRows() {
  std::unique_lock lock(mutex_);
  changed_cv_.wait(lock, [&] { return queue_.size() < 8 || send_error_; });
  queue_.push_back(std::move(rows_.Text()));
  rows_.Text().clear();
  changed_cv_.notify_all();
}

void TPostgresTarget::StartSender() {
  sending_done_ = false;
  send_error_ = nullptr;
  sender_ = std::thread([this] {
    for (;;) {
      std::string chunk;
      {
        std::unique_lock lock(mutex_);
        changed_cv_.wait(lock, [&] { return !queue_.empty() || sending_done_; });
        if (queue_.empty()) return;
        chunk = std::move(queue_.front());
        queue_.pop_front();
        changed_cv_.notify_all();
      }
      try {
        connection_.CopyData(chunk);
      } catch (...) {
        std::unique_lock lock(mutex_);
        send_error_ = std::current_exception();
        queue_.clear();
        changed_cv_.notify_all();
        return;
      }
    }
  });
}

void TPostgresTarget::StopSender() {
  if (!sender_.joinable()) return;
  {
    std::unique_lock lock(mutex_);
    sending_done_ = true;
    changed_cv_.notify_all();
  }
  sender_.join();
}

std::vector<std::string> TPostgresTarget::EndTable() {
  SendRows();
  StopSender();
  if (send_error_) std::rethrow_exception(send_error_);
  connection_.EndCopy();
  std::vector<std::string> failures;
  // Each index in a savepoint of its own: a unique one that the rows break (a damaged table's
  // repeated keys) is made again without uniqueness, and the transaction goes on.
  auto make = [&](const std::string& statement, const std::string& plain, const std::string& what) {
    connection_.Execute("SAVEPOINT tarvo_index");
    try {
      connection_.Execute(statement);
    } catch (const EPgError& e) {
      if (e.SqlState() != "23505" || plain.empty()) throw;
      connection_.Execute("ROLLBACK TO SAVEPOINT tarvo_index");
      connection_.Execute(plain);
      failures.push_back(what + ": " + e.what());
    }
    connection_.Execute("RELEASE SAVEPOINT tarvo_index");
  };
  const std::string table = rows_.Schema().table;
  if (const auto primary = rows_.PrimaryKeyStatement()) {
    const std::string name = table + "_primary";
    make(*primary,
         "CREATE INDEX " + QuoteIdentifier(name, kPg) + " ON " + QuoteIdentifier(table, kPg) + " " +
             *rows_.PrimaryKeyColumns() + ";",
         name + " made without PRIMARY KEY");
  }
  const std::string unique = "CREATE UNIQUE INDEX ";
  for (const std::string& statement : rows_.IndexStatements()) {
    if (!statement.starts_with(unique)) {
      make(statement, "", "");
      continue;
    }
    const std::string rest = statement.substr(unique.size());
    make(statement, "CREATE INDEX " + rest, rest.substr(0, rest.find(" ON ")) + " made without UNIQUE");
  }
  connection_.Execute("COMMIT");
  return failures;
}

void TPostgresTarget::AbandonTable() noexcept {
  StopSender();
  rows_.Text().clear();
  connection_.Abandon();
}

void TPostgresTarget::Finish() {}

// --- TPsqlScriptTarget ---

TPsqlScriptTarget::TPsqlScriptTarget(const std::string& path) : path_(path) {
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) throw std::runtime_error("tarvo: cannot create " + path);
  // psql stops at the first error; the table's transaction then leaves nothing of it.
  Write("\\set ON_ERROR_STOP on\nSET client_encoding = 'UTF8';\nSET standard_conforming_strings = on;\n");
}

TPsqlScriptTarget::~TPsqlScriptTarget() {
  if (file_ != nullptr) std::fclose(file_);
}

void TPsqlScriptTarget::Write(const std::string& text) {
  if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) {
    throw std::runtime_error("tarvo: writing " + path_ + " failed");
  }
}

void TPsqlScriptTarget::BeginTable(const TTableSchema& schema) {
  rows_.Start(schema);
  table_start_ = std::ftell(file_);
  Write("\nBEGIN;\n" + rows_.CreateStatement() + "\n" + rows_.CopyStatement() + ";\n");
}

std::optional<std::string> TPsqlScriptTarget::AddRow(std::span<const TSqlValue> values) {
  changed_.clear();
  auto refused = rows_.Add(values, changed_);
  if (rows_.Text().size() >= kSendBytes) {
    Write(rows_.Text());
    rows_.Text().clear();
  }
  return refused;
}

std::vector<std::string> TPsqlScriptTarget::TakeChangedValues() {
  return std::move(changed_);
}

std::vector<std::string> TPsqlScriptTarget::EndTable() {
  std::string end = "\\.\n";
  if (const auto primary = rows_.PrimaryKeyStatement()) end += *primary + "\n";
  for (const std::string& statement : rows_.IndexStatements()) end += statement + "\n";
  rows_.Text() += end + "COMMIT;\n";
  Write(rows_.Text());
  rows_.Text().clear();
  if (std::fflush(file_) != 0) throw std::runtime_error("tarvo: writing " + path_ + " failed");
  table_start_ = -1;
  return {};
}

void TPsqlScriptTarget::AbandonTable() noexcept {
  // Nothing of the table stays: the file ends where the table began.
  rows_.Text().clear();
  if (table_start_ >= 0 && std::fflush(file_) == 0) {
    (void)ftruncate(fileno(file_), table_start_);
    (void)std::fseek(file_, table_start_, SEEK_SET);
  }
  table_start_ = -1;
}

void TPsqlScriptTarget::Finish() {
  const int closed = std::fclose(file_);
  file_ = nullptr;
  if (closed != 0) throw std::runtime_error("tarvo: writing " + path_ + " failed");
}

}  // namespace tarvo::sql

#include "engine/tables/data_directory.h"

#include <algorithm>
#include <cstdlib>
#include <exception>

#include "errors/engine_error.h"
#include "engine/tables/data_session.h"
#include "engine/tables/data_table.h"
#include "support/file_list.h"
#include "support/platform.h"
#include "support/platform_names.h"
#include "support/short_text.h"

namespace tarvo {

std::string NormalizeTableName(const std::string& table_name) {
  std::string name(TrimBlanks(CutToShortText(table_name)));
  // The extension, if any, is replaced by ".DAT"; only a dot after the last delimiter counts.
  const auto slash = name.find_last_of('/');
  const auto dot = name.find_last_of('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) name.resize(dot);
  return CutToShortText(name + ".DAT");
}

bool IsPlainTableName(const std::string& table_name) {
  const std::string_view name = TrimBlanks(table_name);
  if (name.find_first_of(std::string_view("/\\:\0", 4)) != std::string_view::npos) return false;
  return name != "." && name != "..";
}

void CheckTableName(const std::string& table_name) {
  if (!IsPlainTableName(table_name)) RaiseEngineError(kInvalidPath, std::string(TrimBlanks(table_name)));
}

TDataDirectory::TDataDirectory(TDataSession& session, std::string database_name, std::string path,
                               std::string universal_path)
    : session_(session),
      database_name_(std::move(database_name)),
      path_(std::move(path)),
      universal_path_(std::move(universal_path)) {}

TDataDirectory::~TDataDirectory() = default;

TDataTable* TDataDirectory::FindTable(const std::string& table_name, bool in_memory) const {
  const std::string name = NormalizeTableName(table_name);
  for (const auto& table : tables_) {
    if (table->InMemory() == in_memory && SameNameIgnoringCase(table->TableName(), name)) return table.get();
  }
  return nullptr;
}

std::string TDataDirectory::NameOnDisk(const std::string& normalized) const {
  std::string resolved;
  if (ResolveFileName(path_ + normalized, resolved) != kOsOk) return normalized;
  // The stem as the directory spells it; the extension stays ".DAT".
  const auto slash = normalized.find_last_of('/');
  const std::string prefix = slash == std::string::npos ? std::string() : normalized.substr(0, slash + 1);
  const std::string file = resolved.substr(resolved.find_last_of('/') + 1);
  const auto dot = file.find_last_of('.');
  return prefix + (dot == std::string::npos ? file : file.substr(0, dot)) + ".DAT";
}

TDataTable& TDataDirectory::OpenTable(const std::string& table_name, const TTableOpenRequest& request) {
  CheckTableName(table_name);
  // Files keep the letter case they have on disk, also through renames and exchanges.
  const std::string name =
      request.in_memory ? NormalizeTableName(table_name) : NameOnDisk(NormalizeTableName(table_name));
  TDataTable* table = FindTable(name, request.in_memory);
  const TTableFlags flags{request.exclusive, request.temporary, request.sequential, request.in_memory,
                          request.repair, request.read_only};
  if (table != nullptr && table->IsOpen() && table->OpenCount() > 0) {
    if ((table->Exclusive() || request.exclusive) && !request.allow_attach) {
      RaiseEngineError(kAccessDenied, name);
    }
    table->AddOpener();
    return *table;
  }
  bool listed_here = false;
  if (table == nullptr) {
    tables_.push_back(std::make_unique<TDataTable>(*this, name, request.in_memory));
    table = tables_.back().get();
    listed_here = true;
  }
  table->SetFlags(flags);
  try {
    table->Open();
    if (in_transaction_) {
      // Nothing of the table changed in the transaction before now: each savepoint is now.
      table->StartTransaction();
      for (std::size_t n = 0; n < savepoints_; ++n) table->Savepoint();
    }
  } catch (...) {
    if (listed_here) {
      std::erase_if(tables_, [table](const auto& t) { return t.get() == table; });
    }
    throw;
  }
  return *table;
}

int TDataDirectory::CloseTable(TDataTable* table, bool discard) {
  const auto it =
      std::find_if(tables_.begin(), tables_.end(), [table](const auto& t) { return t.get() == table; });
  if (it == tables_.end()) return -kInvalidPath;
  std::exception_ptr failure;
  if (table->OpenCount() > 0) {
    try {
      table->Close(discard);
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (table->OpenCount() == 0 && !table->InTransaction()) tables_.erase(it);
  if (failure) std::rethrow_exception(failure);
  return 0;
}

void TDataDirectory::CreateTable(const std::string& table_name, const TTableDefinition& definition,
                                 bool in_memory, TFileCreation creation) {
  CheckTableName(table_name);
  const std::string name = NormalizeTableName(table_name);
  if (TDataTable* listed = FindTable(name, in_memory); listed != nullptr && listed->OpenCount() > 0) {
    RaiseEngineError(kAccessDenied, name);
  }
  TDataTable table(*this, name, in_memory);
  table.SetFlags(TTableFlags{true, false, false, in_memory});
  table.Create(definition, creation);
}

namespace {

// The three files of a table: base name without extension, in-memory flag.
struct TTableFiles {
  std::string data;
  std::string index;
  std::string blob;
};

TTableFiles FilesOf(const std::string& directory, const std::string& base, bool backups) {
  if (backups) return {directory + base + ".DBK", directory + base + ".IBK", directory + base + ".BBK"};
  return {directory + base + ".DAT", directory + base + ".IDX", directory + base + ".BLB"};
}

std::string BaseOf(const std::string& normalized) {
  return normalized.substr(0, normalized.size() - 4);
}

void CheckResult(int rc, const std::string& name) {
  if (rc < 0) RaiseEngineError(static_cast<TEngineCode>(-rc), name);
}

}  // namespace

void TDataDirectory::RenameTable(const std::string& table_name, const std::string& new_name, bool to_backups,
                                 bool in_memory) {
  CheckTableName(table_name);
  if (!to_backups) CheckTableName(new_name);
  CheckTableName(table_name);
  const std::string name = NormalizeTableName(table_name);
  if (TDataTable* listed = FindTable(name, in_memory); listed != nullptr && listed->OpenCount() > 0) {
    RaiseEngineError(kAccessDenied, name);
  }
  const std::string dir = in_memory ? std::string() : path_;
  const TTableFiles from = FilesOf(dir, BaseOf(name), false);
  const TTableFiles to = to_backups ? FilesOf(dir, BaseOf(name), true)
                                    : FilesOf(dir, BaseOf(NormalizeTableName(new_name)), false);
  TFileList& files = EngineFileList();
  const std::pair<const std::string*, const std::string*> moves[] = {
      {&from.data, &to.data}, {&from.index, &to.index}, {&from.blob, &to.blob}};
  for (const auto& [source, target] : moves) {
    if (!files.EntryExists(*source, in_memory)) continue;
    CheckResult(files.RenameEntry(*source, in_memory, *target), *source);
  }
}

void TDataDirectory::DeleteTable(const std::string& table_name, bool in_memory) {
  CheckTableName(table_name);
  const std::string name = NormalizeTableName(table_name);
  if (TDataTable* listed = FindTable(name, in_memory); listed != nullptr && listed->OpenCount() > 0) {
    RaiseEngineError(kAccessDenied, name);
  }
  const TTableFiles files_of = FilesOf(in_memory ? std::string() : path_, BaseOf(name), false);
  TFileList& files = EngineFileList();
  CheckResult(files.DeleteEntry(files_of.data, in_memory), files_of.data);
  if (files.EntryExists(files_of.index, in_memory)) {
    CheckResult(files.DeleteEntry(files_of.index, in_memory), files_of.index);
  }
  if (files.EntryExists(files_of.blob, in_memory)) {
    CheckResult(files.DeleteEntry(files_of.blob, in_memory), files_of.blob);
  }
}

bool TDataDirectory::TableExists(const std::string& table_name, bool in_memory) const {
  if (!IsPlainTableName(table_name)) return false;
  const std::string name = NormalizeTableName(table_name);
  if (FindTable(name, in_memory) != nullptr) return true;
  return EngineFileList().EntryExists((in_memory ? std::string() : path_) + name, in_memory);
}

std::string TDataDirectory::UniqueTableName(bool in_memory, int* first) const {
  std::string digits = std::to_string(std::abs(static_cast<long long>(OsThreadId())));
  digits.resize(std::min<std::size_t>(digits.size(), 5));
  for (int counter = first != nullptr ? *first : 0;; ++counter) {
    const std::string name = digits + std::to_string(counter) + ".DAT";
    if (TableExists(name, in_memory)) continue;
    if (first != nullptr) *first = counter;
    return name;
  }
}

void TDataDirectory::StartTransaction() {
  try {
    for (const auto& table : tables_) table->StartTransaction();
  } catch (...) {
    for (const auto& table : tables_) {
      try {
        table->Rollback();
      } catch (...) {
      }
    }
    throw;
  }
  in_transaction_ = true;
}

void TDataDirectory::Commit(bool release) {
  for (const auto& table : tables_) table->Commit(release);
  in_transaction_ = false;
  savepoints_ = 0;
  ReleaseUnusedTables();
}

void TDataDirectory::Rollback() {
  for (const auto& table : tables_) table->Rollback();
  in_transaction_ = false;
  savepoints_ = 0;
  ReleaseUnusedTables();
}

void TDataDirectory::Savepoint(int number) {
  if (!in_transaction_ || number < 0) return;
  const auto wanted = static_cast<std::size_t>(number) + 1;
  for (; savepoints_ < wanted; ++savepoints_) {
    for (const auto& table : tables_) table->Savepoint();
  }
}

void TDataDirectory::ReleaseSavepoint(int number) {
  if (number < 0) return;
  for (; savepoints_ > static_cast<std::size_t>(number); --savepoints_) {
    for (const auto& table : tables_) table->ReleaseSavepoint();
  }
}

void TDataDirectory::RollbackToSavepoint(int number) {
  if (number < 0 || savepoints_ <= static_cast<std::size_t>(number)) return;
  // Every table is put back even when one of them fails; the first failure counts.
  std::exception_ptr failure;
  for (const auto& table : tables_) {
    try {
      for (std::size_t n = savepoints_; n > static_cast<std::size_t>(number); --n) table->RollbackToSavepoint();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  savepoints_ = static_cast<std::size_t>(number);
  Savepoint(number);
  if (failure) std::rethrow_exception(failure);
}

void TDataDirectory::ReleaseUnusedTables() {
  std::erase_if(tables_, [](const auto& t) { return t->OpenCount() == 0 && !t->InTransaction(); });
}

}  // namespace tarvo

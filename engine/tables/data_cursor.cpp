#include "engine/tables/data_cursor.h"

#include <algorithm>

#include "components/engine_error.h"
#include "engine/format/header_check.h"
#include "engine/tables/data_directory.h"
#include "engine/tables/data_session.h"
#include "engine/tables/table_lock_guard.h"

namespace tarvo {

TDataCursor::TDataCursor(TDataSession& session, TDataDirectory& directory)
    : session_(session), directory_(directory) {}

TDataCursor::~TDataCursor() {
  try {
    Close();
  } catch (...) {
    // Closing in a destructor: the failure cannot be reported; the table is unlisted regardless.
  }
}

void TDataCursor::Open(const TCursorOpenOptions& options) {
  if (IsOpen()) RaiseEngineError(kTableInUse, NormalizeTableName(options_.table_name));
  TTableOpenRequest request;
  request.exclusive = options.exclusive;
  request.temporary = options.temporary;
  request.sequential = options.sequential;
  request.in_memory = options.in_memory;
  TDataTable& table = directory_.OpenTable(options.table_name, request);
  table_ = &table;
  options_ = options;
  try {
    CheckPassword();
    if (table.OpenCount() == 1 && options.purpose == TCursorPurpose::kNormal) CheckHeaders();
    TakeCopies();
  } catch (...) {
    table_ = nullptr;
    (void)directory_.CloseTable(&table, false);
    throw;
  }
}

void TDataCursor::Close() {
  if (table_ == nullptr) return;
  TDataTable* table = table_;
  table_ = nullptr;
  const int rc = directory_.CloseTable(table, false);
  if (rc < 0) RaiseEngineError(static_cast<TEngineCode>(-rc), options_.table_name);
}

void TDataCursor::CheckPassword() {
  TDataFile& data = table_->DataFile();
  if (!data.Encrypted()) return;
  const std::string password = data.Password();
  for (;;) {
    if (session_.HasPassword(password)) return;
    if (!session_.OnPassword || !session_.OnPassword())
      RaiseEngineError(kPasswordRequired, table_->TableName());
  }
}

void TDataCursor::CheckHeaders() {
  TTableLockGuard reader(*table_, TTableLockKind::kReader);
  TDataFile& data = table_->DataFile();
  const TEngineCode data_code =
      CheckDataHeader(data.Header(), data.Descriptors(), static_cast<std::uint64_t>(data.GetSize()),
                      [](TLanguageId language, TSortId sort) { return LocaleIsValid(language, sort); });
  if (data_code != 0) RaiseEngineError(data_code, table_->TableName());
  table_->IndexFile().VerifyHeader(data.Descriptors());
  if (table_->BlobFile().IsOpen()) table_->BlobFile().VerifyHeader();
}

void TDataCursor::TakeCopies() {
  TDataFile& data = table_->DataFile();
  read_only_ = options_.read_only || table_->ReadOnly();
  language_id_ = data.LanguageID();
  sort_id_ = data.SortID();
  record_size_ = data.RecordSize();
  descriptors_ = data.Descriptors();
  char_map_ = GetCharMap(language_id_, sort_id_);
  seen_counters_ = table_->ChangeCounters();
}

std::uint32_t TDataCursor::BlobBlockSize() const {
  return table_->DataFile().BlobBlockSize();
}

std::int32_t TDataCursor::LastAutoIncrement() const {
  return table_->DataFile().LastAutoIncrement();
}

TDataHeader ReadClosedTableHeader(TDataDirectory& directory, const std::string& table_name, bool in_memory) {
  const std::string name = NormalizeTableName(table_name);
  TFileHandler file;
  file.SetFileName((in_memory ? std::string() : directory.Path()) + name);
  file.SetInMemory(in_memory);
  file.Open();
  std::array<std::byte, kDataHeaderSize> raw{};
  try {
    (void)file.ReadAt(0, raw, false);
  } catch (...) {
    file.Close();
    throw;
  }
  file.Close();
  return DecodeDataHeader(raw);
}

}  // namespace tarvo

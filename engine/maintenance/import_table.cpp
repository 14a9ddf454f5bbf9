#include "engine/maintenance/import_table.h"

#include <chrono>
#include <functional>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "errors/engine_error.h"
#include "engine/format/data_header.h"
#include "engine/format/record_layout.h"
#include "engine/maintenance/import_bulk.h"
#include "engine/maintenance/scratch_table.h"
#include "engine/tables/data_directory.h"
#include "engine/tables/data_table.h"
#include "engine/tables/table_lock_guard.h"

namespace tarvo {

namespace {

// The exclusive open was refused because another program holds the table: the records then go
// in through a shared open.
bool HeldElsewhere(TEngineCode code) {
  return code == kAccessDenied || code == kLockFailure;
}

// Adds the records of `source` through `cursor` until the input ends or a record is refused, or
// `go_on` (when given) returns false before a record; returns whether it stopped for `go_on`.
// With `table_name`, the cursor's table is a copy built for that table, and what goes wrong is
// told of that table.
template <class TResult>
bool AddAll(TDataCursor& cursor, const TImportSource& source, TResult& result,
            const std::string& table_name = {}, const std::function<bool()>& go_on = {},
            std::vector<std::int32_t>* slots = nullptr) {
  const std::string copy_base = table_name.empty() ? std::string() : cursor.Table().BaseName();
  TImportTarget target(cursor);
  const TDataHeader& header = cursor.Table().DataFile().Header();
  for (;;) {
    if (go_on && !go_on()) return true;
    std::vector<std::byte> record = cursor.NewRecordBuffer();
    // A refused add takes no slot. Where one was taken all the same (a value that could not be
    // stored after its keys), the record is half there: a table nobody else writes shows it.
    const std::int32_t next_slot = header.NextRecordSlot;
    const std::int32_t first_free = header.FirstFreeRecord;
    try {
      cursor.KeepSuppliedAutoIncrement = false;
      if (!source(target, record)) return false;
      const std::int32_t slot = cursor.AddRecord(record, false);
      if (slots != nullptr) slots->push_back(slot);
    } catch (const ETarvoEngineError& e) {
      const bool slot_taken = header.NextRecordSlot != next_slot || header.FirstFreeRecord != first_free;
      const bool refusal = IsImportRefusal(EngineCode(e)) && !(cursor.Exclusive() && slot_taken);
      try {
        RethrowNamingTable(e, copy_base, table_name);
      } catch (const ETarvoEngineError&) {
        cursor.CloseBlobValues(record);
        if (!refusal) throw;
        result.refusal = std::current_exception();
        return false;
      }
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception&) {
      cursor.CloseBlobValues(record);
      result.refusal = std::current_exception();
      return false;
    }
    ++result.added;
  }
}

// Adds the records through a shared open in batches: each batch of at most kBatchRecords records
// or kBatchTime is added under one writer lock and written as a whole (TDataTable::BeginBatch), so
// that the other openers see whole batches. A refused record ends the last batch with the records
// before it.
constexpr std::int64_t kBatchRecords = 1000;
constexpr std::chrono::milliseconds kBatchTime{100};

void AddInBatches(TDataCursor& cursor, const TImportSource& source, TImportResult& result) {
  TDataTable& table = cursor.Table();
  std::int64_t batched = 0;
  std::chrono::steady_clock::time_point started;
  const TImportSource in_batch = [&](TImportTarget& target, std::span<std::byte> record) {
    if (table.InBatch() && (batched >= kBatchRecords || std::chrono::steady_clock::now() - started >= kBatchTime)) {
      table.EndBatch();
    }
    if (!table.InBatch()) {
      (void)table.BeginBatch();
      batched = 0;
      started = std::chrono::steady_clock::now();
    }
    ++batched;
    return source(target, record);
  };
  try {
    AddAll(cursor, in_batch, result);
  } catch (...) {
    try {
      table.EndBatch();
    } catch (...) {
      // The first failure is the one to report.
    }
    throw;
  }
  table.EndBatch();
}

// Builds the scratch copy of the table open in `cursor`: its records added in bulk to a copy of
// its files. Should a unique index refuse a record only as the indexes are written, the copy is
// built once more from a fresh one and the records before that record.
std::unique_ptr<TScratchTable> BuildCopy(TDataCursor& cursor, const TImportSource& source,
                                         TImportResult& result) {
  TDataTable& table = cursor.Table();
  const std::string table_name = table.TableName();
  const auto one_by_one = [&](TDataCursor& copy) {
    return [&](const std::function<bool()>& go_on, TBulkImportRun& run) {
      return AddAll(copy, source, run, table_name, go_on, &run.reused_slots);
    };
  };
  auto scratch = std::make_unique<TScratchTable>(cursor.Session(), cursor.Directory(), false);
  TBulkImportRun run;
  try {
    TDataCursor& copy = scratch->CopyOf(table);
    AddInBulk(copy, source, table_name, scratch->SpillBase(), one_by_one(copy), run);
  } catch (const ETarvoEngineError& e) {
    RethrowNamingTable(e, scratch->Base(), table_name);
  }
  result.added = run.added;
  result.refusal = run.refusal;
  if (!run.duplicate) return scratch;
  // The records from the refused one on go with the first copy.
  const std::int64_t before =
      static_cast<std::int64_t>(run.reused_slots.size()) + (run.duplicate->record - run.first_appended);
  auto again = std::make_unique<TScratchTable>(cursor.Session(), cursor.Directory(), false);
  TBulkImportRun redo;
  try {
    TDataCursor& copy = again->CopyOf(table);
    const TImportSource records = RecordsBefore(scratch->Cursor().Table(), run, before);
    AddInBulk(copy, records, table_name, again->SpillBase(), one_by_one(copy), redo);
    // Records that went in once go in again.
    if (redo.refusal) std::rethrow_exception(redo.refusal);
    if (redo.duplicate || redo.added != before) RaiseEngineError(kIndexBuffersCorrupt, table_name);
  } catch (const ETarvoEngineError& e) {
    RethrowNamingTable(e, again->Base(), table_name);
  }
  result.added = before;
  result.refused_record = before;
  try {
    RaiseEngineError(kDuplicateKey, table_name, {}, {}, run.duplicate->index);
  } catch (const ETarvoEngineError&) {
    result.refusal = std::current_exception();
  }
  return again;
}

}  // namespace

void TImportTarget::WaitingForInput() {
  cursor_.Table().EndBatch();
}

TImportTarget::TImportTarget(TDataCursor& cursor) : cursor_(cursor) {}

TImportTarget::~TImportTarget() = default;

void TImportTarget::NoteAppended(std::int32_t id) {
  // Runs of consecutive identifiers are kept as one entry.
  auto next = appended_.upper_bound(id);
  if (next != appended_.begin()) {
    auto at = std::prev(next);
    if (id <= at->second) return;
    if (id == at->second + 1) {
      at->second = id;
      if (next != appended_.end() && next->first == id + 1) {
        at->second = next->second;
        appended_.erase(next);
      }
      return;
    }
  }
  if (next != appended_.end() && next->first == id + 1) {
    const std::int32_t last = next->second;
    appended_.erase(next);
    appended_.emplace(id, last);
    return;
  }
  appended_.emplace(id, id);
}

bool TImportTarget::IdentifierInUse(std::int32_t id) {
  if (auto next = appended_.upper_bound(id); next != appended_.begin() && id <= std::prev(next)->second)
    return true;
  TDataTable& table = cursor_.Table();
  if (!identifiers_) {
    identifiers_ = std::make_unique<TIndexTree>(table.IndexFile(), kSysDeletedSlot, cursor_.Descriptors(),
                                                cursor_.LanguageID(), cursor_.SortID());
  }
  // "Sys Deleted" holds the deleted flag and the identifier of every record: (0, id) is a record
  // in use.
  std::vector<std::byte> record = cursor_.NewRecordBuffer();
  SetRecordAutoIncrement(record, id);
  const TKey key = identifiers_->BuildKey(record);
  // What other openers added is seen under the reader lock (an exclusive table takes none).
  TTableLockGuard reader(table, TTableLockKind::kReader);
  return identifiers_->Find(key);
}

TImportResult ImportRecords(TDataCursor& cursor, const TCursorOpenOptions& options, const TImportSource& source) {
  const std::string name = NormalizeTableName(options.table_name);
  if (cursor.IsOpen()) RaiseEngineError(kTableInUse, name);
  if (options.read_only) RaiseEngineError(kAccessDenied, name);
  TImportResult result;
  TCursorOpenOptions open = options;
  open.exclusive = true;
  open.purpose = TCursorPurpose::kNormal;
  std::optional<TMaintenanceOpen> opened;
  try {
    opened.emplace(cursor, open);
  } catch (const ETarvoEngineError& e) {
    if (!HeldElsewhere(EngineCode(e))) throw;
  }
  if (!opened) {
    // Another program has the table open: one record after the other, in batches.
    open.exclusive = false;
    opened.emplace(cursor, open);
    AddInBatches(cursor, source, result);
    opened->Close();
    return result;
  }
  TDataTable& table = cursor.Table();
  // A table whose files may not be written is not replaced by a copy that may.
  if (cursor.ReadOnly()) RaiseEngineError(kAccessDenied, table.TableName());
  if (options.in_memory) {
    AddAll(cursor, source, result);
    opened->Close();
    return result;
  }
  // 1. The table's files copied beside it, and the records added to the copy.
  const std::string table_name = table.TableName();
  const std::unique_ptr<TScratchTable> scratch = BuildCopy(cursor, source, result);
  // Nothing added: the table stays as it is, the copy goes with the scratch area.
  if (result.added == 0) return result;
  try {
    // 2. The copy on the disk, then exchanged; the old files are removed after the exchange.
    scratch->Finish();
  } catch (const ETarvoEngineError& e) {
    RethrowNamingTable(e, scratch->Base(), table_name);
  }
  opened->Close();
  ExchangeWithScratch(cursor.Directory(), table_name, *scratch, false, false);
  result.exchanged = true;
  return result;
}

}  // namespace tarvo

// Import: adds a stream of records to a table so that, whatever cuts the run off (a kill, a power
// loss, a full disk, an I/O error), the table afterwards opens and holds what it held before plus
// a prefix of the records.
//
// When the table can be opened exclusively, its files are copied into the scratch area
// (scratch_table.h), the records are added to the copy in bulk (import_bulk.h), and the copy is
// exchanged with the table's files (table_exchange.h) as optimize does, the old files going to
// names that are removed after the exchange. Until the exchange commits the table's own files are
// only read, so a run cut off before it leaves the table as it was. A record that is refused ends
// the input: the records before it are exchanged in.
//
// When another program has the table open, the records are added one by one through a shared
// open, in batches: each batch is added under one writer lock and written as a whole, so the other
// program sees whole batches, and a cut costs at most the batch being added. A refused record
// ends the input; the records before it are written.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <span>

#include "engine/index/index_tree.h"
#include "engine/tables/data_cursor.h"

namespace tarvo {

// What the source of the records builds each record with.
class TImportTarget {
 public:
  explicit TImportTarget(TDataCursor& cursor);
  ~TImportTarget();
  TImportTarget(const TImportTarget&) = delete;
  TImportTarget& operator=(const TImportTarget&) = delete;

  // The cursor the records are added through: its descriptors and locale give the layout, blob
  // values are set through it, and KeepSuppliedAutoIncrement says whether the record brings its
  // own auto-increment value.
  TDataCursor& Cursor() const { return cursor_; }
  // Whether a record in use (one imported before included) has `id` as its auto-increment value.
  bool IdentifierInUse(std::int32_t id);
  // Called by a source before it waits for its input (a pipe with nothing to read yet): the
  // batch added so far is written and the other openers are not kept out meanwhile.
  void WaitingForInput();
  // A record was added whose key is not in "Sys Deleted" yet.
  void NoteAppended(std::int32_t id);

 private:
  TDataCursor& cursor_;
  std::unique_ptr<TIndexTree> identifiers_;  // the system index "Sys Deleted", made on first use
  std::map<std::int32_t, std::int32_t> appended_;  // identifiers noted: first of a run → its last
};

// Fills `record` (zeroed, the table's RecordSize bytes) with the next record and returns true;
// false at the end of the input. Throws to refuse the record, which ends the import.
using TImportSource = std::function<bool(TImportTarget& target, std::span<std::byte> record)>;

struct TImportResult {
  std::int64_t added = 0;  // records now in the table
  bool exchanged = false;  // built beside the table and exchanged in (not through a shared open)
  // What ended the import before its input did: a refusal by the source or by the engine (a
  // duplicate key, a value outside its limits, a full table). The records before it are in the
  // table.
  std::exception_ptr refusal;
  // When the refused record was one taken from the source before others (a key that a unique
  // index held already, found as the indexes were written): how many records came before it.
  // -1 when the refusal is the last record taken.
  std::int64_t refused_record = -1;
};

// Requires: `cursor` not open; `options` name the table, not read-only (11013). Raises the open's
// codes, and I/O failures: a failure in the scratch area changes nothing, a failure of a shared
// add costs at most that record.
TImportResult ImportRecords(TDataCursor& cursor, const TCursorOpenOptions& options, const TImportSource& source);

}  // namespace tarvo

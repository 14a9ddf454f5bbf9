// The records of an import added to a table that this process alone has open (the scratch copy
// of import_table.h) in bulk: each record with its blob values appended in long runs
// (bulk_append.h), its keys gathered and sorted on a second thread, and at the end every index
// written at once (index_build.h): an empty tree bottom-up, a tree that holds keys by inserting
// the new ones in the index's order. The files are what adding the records one after the other
// leaves, apart from where the index pages lie.
//
// A record that an added record would take again (a deleted slot, a free blob block) is taken by
// adding the records one by one until none is left; the rest go in bulk.
//
// A key that a unique index holds already is found only when the trees are written, after the
// records behind the refused one are in the copy: the run then tells which record that was, and
// the copy is built once more from a fresh one and the records before it (RecordsBefore).
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "errors/engine_error.h"
#include "engine/maintenance/import_table.h"
#include "engine/maintenance/index_build.h"

namespace tarvo {

// Whether a failure refused one record and left the table as it was before it (a value, a key, a
// lock, a full table), as opposed to a failure of the files (reading, writing, damage found),
// after which the table being built cannot be trusted.
bool IsImportRefusal(TEngineCode code);

struct TBulkImportRun {
  std::int64_t added = 0;      // records taken from the source and put into the table
  std::exception_ptr refusal;  // what the source or the checks refused, ending the input
  // The first record that a unique index refused while the trees were written: the table then
  // holds it and the records after it, and its trees are of no use.
  std::optional<TIndexBuild::TDuplicate> duplicate;
  std::vector<std::int32_t> reused_slots;  // the slots of the records added one by one, in turn
  std::int32_t first_appended = 0;         // the slot of the first record appended in bulk
};

// Adds the records of `source` through the table of `cursor` until the input ends or a record
// is refused. `one_by_one` adds records through the cursor, noting them and a refusal in the
// run, while `go_on` returns true, and returns whether it stopped for `go_on` (not at the end of
// the input or at a refusal). What goes wrong is told of `table_name`; the sorting spills beside
// `spill_base`. Requires: `cursor` open exclusively on a table on the disk.
using TAddOneByOne = std::function<bool(const std::function<bool()>& go_on, TBulkImportRun& run)>;
void AddInBulk(TDataCursor& cursor, const TImportSource& source, const std::string& table_name,
               const std::string& spill_base, const TAddOneByOne& one_by_one, TBulkImportRun& run);

// The first `count` records that `run` added to `table`, in the order they were added, each as a
// record that keeps its auto-increment value and sets its blob values anew.
TImportSource RecordsBefore(TDataTable& table, const TBulkImportRun& run, std::int64_t count);

}  // namespace tarvo

// Optimize: rewrites a table into fresh files, its records in the order of one index in slots 1
// to N without deleted slots, every index built anew by adding the records one by one, and the
// blob values written anew. The new table is built in the scratch area (scratch_table.h) and its
// files are exchanged with the table's (table_exchange.h) only once they are complete and on the
// disk; until then the table's own files are only read.
#pragma once

#include <string>

#include "engine/maintenance/scratch_table.h"

namespace tarvo {

// Requires: `cursor` not open; `options` name the table, exclusive, not read-only (10031, 10253,
// 11013). `index_name` "" takes the primary order; 10022 for a name no index has (before
// anything is created). `progress` (may be empty) gets (i, Trunc(i × 100 / slots)) after the
// i-th record, slots being the table's record slots with the deleted ones. With `no_backup` the
// old files are deleted, otherwise kept as ".DBK", ".IBK" and ".BBK" (replacing older ones).
void OptimizeTable(TDataCursor& cursor, const TCursorOpenOptions& options, const std::string& index_name,
                   bool no_backup, const TMaintenanceProgress& progress);

// The definition and table-wide values of an open table, as a new table takes them.
TTableDefinition DefinitionOf(TDataTable& table);

}  // namespace tarvo

// TransferTable: one open table into a TConvertTarget. The records are read in slot order, which
// needs no index tree, so a table whose trees are damaged still gives every record. A record the
// table cannot give whole (a blob value that cannot be read) goes over without that value; a
// record the target refuses stays behind; both are counted and named.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/tables/data_cursor.h"
#include "sql/migrate/convert_target.h"

namespace tarvo::sql {

struct TTransferOutcome {
  std::int64_t records = 0;                 // rows the target took
  std::int64_t left_out = 0;                // records the target refused
  std::int64_t incomplete = 0;              // records taken without a value that could not be read
  std::vector<std::string> losses;          // one line per record left out or incomplete, in UTF-8
  std::vector<std::string> index_failures;  // indexes the target could not make
};

// Called now and then with the records read so far and the percentage of the slots passed.
using TTransferProgress = std::function<void(std::int64_t records, int percent)>;

// Moves the table of `cursor` (opened for reading) into `target`: BeginTable, the rows, EndTable.
// When reading fails half-way, the table is abandoned in the target and the error raised.
TTransferOutcome TransferTable(TDataCursor& cursor, TConvertTarget& target,
                               const TTransferProgress& progress);

}  // namespace tarvo::sql

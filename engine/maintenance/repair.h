// The verification and repair of a table in place: one operation on an engine cursor that is not
// open. The cursor opens the table exclusively for it (without the open-time header checks, so that
// a damaged table opens), runs the phases below and closes the table again, which writes back every
// changed header, descriptor, record, page and block:
//
//   1. the start line ("Verification of table NAME started at TIME" / "Repair of table ...")
//   2. repair only: every index tree dropped (the record phase rebuilds them)
//   3. data file header and field descriptors
//   4. index definitions
//   5. blob file alignment (tables with blob fields)
//   6. every record slot: logical record IDs, blob references and chains, the deleted-record chain,
//      repair only: every key rebuilt; a record that breaks a unique index is deleted
//   7. the active record count and the auto-increment counter; verification only: every index
//      tree walked once (engine/index/tree_check.h) and its keys compared with the keys made
//      from the records ("Invalid index tree for index NAME", "Invalid free page chain for
//      index NAME", "Invalid index keys for index NAME", "for primary index" for slot 0,
//      "Invalid active record count in index file header", each + ", error not fixed")
//   8. the end line
//
// Damage is never raised: each finding is one log line ending in its outcome ("error fixed",
// "error not fixed", ...), cut to 255 characters. Failures of the operation itself (preconditions,
// the open, file errors) are raised as engine errors; the table is closed on every way out.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/tables/data_cursor.h"

namespace tarvo {

struct TRepairOptions {
  // true: report only (a few fixes without a verification variant are still made).
  bool verify_only = false;
  // true: a blob block that carries another stamp than its chain expects is given that stamp.
  bool lenient_blob_ownership = false;
};

struct TRepairCallbacks {
  std::function<void(const std::string& message)> log;
  std::function<void(std::int32_t current_record, std::uint16_t percent_done)> progress;
};

// Raises 10031 when `cursor` is open, 10253 when `open.exclusive` is false, 11013 in repair mode
// for a read-only cursor or table, and whatever the open raises (no start line is sent then).
void RepairTable(TDataCursor& cursor, const TCursorOpenOptions& open, const TRepairOptions& options,
                 const TRepairCallbacks& callbacks);

// The local date and time as the log lines show it (the user's date and time format).
std::string RepairTimeText();

}  // namespace tarvo

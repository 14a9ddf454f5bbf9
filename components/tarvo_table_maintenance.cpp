// TTarvoTable's table-wide maintenance: restructure, optimize and repair.
#include "components/tarvo_table.h"

#include "components/engine_error.h"
#include "components/session_list.h"
#include "components/tarvo_database.h"
#include "components/tarvo_session.h"
#include "engine/maintenance/repair.h"
#include "engine/tables/data_cursor.h"
#include "support/short_text.h"

namespace tarvo {

void TTarvoTable::RestructureTable(std::uint16_t, std::uint16_t, std::uint16_t, std::uint16_t, bool,
                                   const std::string&, const std::string&, std::uint16_t, std::int32_t,
                                   bool) {
  RaiseEngineError(kNotInitialized, TableName());
}

void TTarvoTable::OptimizeTable(const std::string&, bool) {
  RaiseEngineError(kNotInitialized, TableName());
}

void TTarvoTable::RepairTable() {
  RunRepair(false);
}

void TTarvoTable::VerifyTable() {
  RunRepair(true);
}

// The table must be closed; an engine cursor of its own opens it exclusively for the operation
// and is freed on every way out; the database is in use (bit 3) for the call.
void TTarvoTable::RunRepair(bool verify_only) {
  CheckInactive();
  TDBFlagGuard use(*this, TDBFlag::kOperation);
  TSessionLockGuard lock;
  CheckTableName();
  TTarvoDatabase& database = *Database();
  TDataCursor cursor(*database.Session().EngineSession(), *database.Handle());
  TCursorOpenOptions open;
  open.table_name = CutToShortText(TableName());
  open.exclusive = true;
  open.read_only = ReadOnly();
  open.in_memory = InMemory();
  TRepairOptions options;
  options.verify_only = verify_only;
  options.lenient_blob_ownership = false;
  TRepairCallbacks callbacks;
  callbacks.log = [this](const std::string& message) {
    if (OnRepairLog) OnRepairLog(*this, message);
  };
  callbacks.progress = [this](std::int32_t current, std::uint16_t percent) {
    if (OnRepairProgress) OnRepairProgress(*this, current, percent);
  };
  tarvo::RepairTable(cursor, open, options, callbacks);
}

}  // namespace tarvo

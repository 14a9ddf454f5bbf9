// TTarvoTable's table-wide maintenance: restructure, optimize and repair.
#include <vector>

#include "errors/engine_error.h"
#include "components/session_list.h"
#include "components/tarvo_database.h"
#include "components/tarvo_session.h"
#include "components/tarvo_table.h"
#include "engine/maintenance/optimize.h"
#include "engine/maintenance/repair.h"
#include "engine/maintenance/restructure.h"
#include "engine/tables/data_cursor.h"
#include "support/short_text.h"

namespace tarvo {

TCursorOpenOptions TTarvoTable::MaintenanceOpenOptions() const {
  TCursorOpenOptions options;
  options.table_name = CutToShortText(TableName());
  options.exclusive = true;
  options.read_only = ReadOnly();
  options.in_memory = InMemory();
  return options;
}

TRestructureWay TTarvoTable::RestructureTable(std::uint16_t language_id, std::uint16_t sort_id,
                                              std::uint16_t user_major_version,
                                              std::uint16_t user_minor_version, bool encrypted,
                                              const std::string& password, const std::string& description,
                                              std::uint16_t blob_block_size, std::int32_t last_auto_inc_value,
                                              bool no_backup) {
  // 1. A closed table, and the database in use for the call.
  CheckInactive();
  TDBFlagGuard use(*this, TDBFlag::kOperation);
  TSessionLockGuard lock;
  CheckTableName();
  // 3. The field definitions as engine descriptors.
  TRestructureRequest request;
  for (std::size_t i = 0; i < restructure_field_defs_.Count(); ++i) {
    request.fields.push_back(restructure_field_defs_[i].ToDescriptor());
  }
  // 4. The index definitions, the primary one first ("Das Feld '%s' wurde nicht gefunden" for a
  // key field no field definition bears, before the engine is called).
  TRestructureIndexDefs& indexes = restructure_index_defs_;
  for (std::size_t i = 1; i < indexes.Count(); ++i) {
    if ((indexes[i].Options & kIxPrimary) != 0) {
      indexes.Move(i, 0);
      break;
    }
  }
  if (indexes.Count() == 0 || (indexes[0].Options & kIxPrimary) == 0) request.indexes.emplace_back();
  for (std::size_t i = 0; i < indexes.Count(); ++i) {
    request.indexes.push_back(indexes[i].ToDescriptor(restructure_field_defs_));
  }
  request.language_id = language_id;
  request.sort_id = sort_id;
  request.user_major_version = user_major_version;
  request.user_minor_version = user_minor_version;
  request.encrypted = encrypted;
  request.password = CutToShortText(password);
  request.description = CutToShortText(description);
  request.blob_block_size = blob_block_size;
  request.last_auto_inc_value = last_auto_inc_value;
  request.no_backup = no_backup;
  // 2., 5. The engine cursor and the callbacks.
  TTarvoDatabase& database = *Database();
  TDataCursor cursor(*database.Session().EngineSession(), *database.Handle());
  TCursorOpenOptions options = MaintenanceOpenOptions();
  options.read_only = false;  // a restructure always writes
  TRestructureCallbacks callbacks;
  callbacks.progress = [this](std::int32_t current, std::uint16_t percent) {
    if (OnRestructureProgress) OnRestructureProgress(*this, current, percent);
  };
  callbacks.data_lost = [this](std::uint8_t cause, const std::string& context, bool& continue_run,
                               bool& stop_asking) {
    if (OnDataLost) OnDataLost(*this, cause, CutToShortText(context), continue_run, stop_asking);
  };
  // 6. The restructure; the cursor goes with this scope on every way out.
  return tarvo::RestructureTable(cursor, options, std::move(request), callbacks);
}

void TTarvoTable::OptimizeTable(const std::string& index_name, bool no_backup) {
  CheckInactive();
  TDBFlagGuard use(*this, TDBFlag::kOperation);
  TSessionLockGuard lock;
  CheckTableName();
  TTarvoDatabase& database = *Database();
  TDataCursor cursor(*database.Session().EngineSession(), *database.Handle());
  const TCursorOpenOptions options = MaintenanceOpenOptions();
  const TMaintenanceProgress progress = [this](std::int32_t current, std::uint16_t percent) {
    if (OnOptimizeProgress) OnOptimizeProgress(*this, current, percent);
  };
  tarvo::OptimizeTable(cursor, options, CutToShortText(index_name), no_backup, progress);
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
  const TCursorOpenOptions open = MaintenanceOpenOptions();
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

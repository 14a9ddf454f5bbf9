// TTarvoTable: the data set through which the application reaches one table. Opens and closes
// an engine cursor on it (Exclusive, ReadOnly, InMemory), reads values of the table's header
// whether the table is open or closed, and keeps the table's field and index definitions
// in the form a restructure takes (TRestructureFieldDefs, TRestructureIndexDefs), loaded on
// demand and invalidated whenever the table, database or session name changes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "components/restructure_defs.h"
#include "components/tarvo_data_set.h"
#include "engine/maintenance/restructure.h"
#include "engine/tables/data_cursor.h"

namespace tarvo {

class TDataCursor;

// The events of the table component. The sender is the table.
using TProgressEvent =
    std::function<void(TComponent& sender, std::int32_t current_record, std::uint16_t percent_done)>;
using TLogEvent = std::function<void(TComponent& sender, const std::string& log_message)>;
using TUpgradeProgressEvent =
    std::function<void(TComponent& sender, const std::string& upgrade_step, std::uint16_t percent_done)>;
// Why a restructure would lose data (the restructure defines the values).
using TDataLossCause = std::uint8_t;
using TDataLostEvent =
    std::function<void(TComponent& sender, TDataLossCause cause, const std::string& context_info,
                       bool& continue_restructure, bool& stop_asking)>;

class TTarvoTable : public TTarvoDBDataSet {
 public:
  explicit TTarvoTable(TComponent* owner = nullptr);
  ~TTarvoTable() override;

  // Properties, in their published order (FieldDefs and IndexDefs come from TDataSet).
  std::string EngineVersion() const;
  void SetEngineVersion(const std::string&) {}  // read-only: ignored
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool value);
  const std::string& IndexFieldNames() const { return index_field_names_; }
  void SetIndexFieldNames(const std::string& names) { index_field_names_ = names; }
  const std::string& IndexName() const { return index_name_; }
  void SetIndexName(const std::string& name) { index_name_ = name; }
  bool InMemory() const { return in_memory_; }
  // True also puts the table in the database "Memory".
  void SetInMemory(bool value);
  TProgressEvent OnRepairProgress;
  TLogEvent OnRepairLog;
  TUpgradeProgressEvent OnUpgradeProgress;
  TLogEvent OnUpgradeLog;
  TProgressEvent OnIndexProgress;
  TProgressEvent OnCopyProgress;
  TProgressEvent OnOptimizeProgress;
  TProgressEvent OnRestructureProgress;
  TDataLostEvent OnDataLost;
  std::string MasterFields;
  TComponent* MasterSource = nullptr;
  // While the table is open, also true when the engine opened it read-only (read-only files);
  // that state goes with the cursor, so it never carries over to a later open.
  bool ReadOnly() const { return read_only_ || (cursor_ != nullptr && cursor_->ReadOnly()); }
  void SetReadOnly(bool value);
  const std::string& TableName() const { return table_name_; }
  // A name with a directory (one containing "/", "\" or ":") sets DatabaseName to the directory
  // part with its delimiter (not for a table in memory) and TableName to the rest.
  void SetTableName(const std::string& name);
  bool StoreDefs = false;

  void SetSessionName(const std::string& name) override;

  // Header values; readable whether the table is open or closed (a closed table stays closed).
  std::uint16_t LanguageID();
  std::uint16_t SortID();
  std::uint16_t BlobBlockSize();
  std::int32_t LastAutoIncValue();
  bool Encrypted();
  // The password of an encrypted table; known only while the table is open (its open found the
  // password among the session's), "" otherwise.
  std::string Password() const;

  TRestructureFieldDefs& RestructureFieldDefs() { return restructure_field_defs_; }
  TRestructureIndexDefs& RestructureIndexDefs() { return restructure_index_defs_; }

  // Table maintenance. Each requires a closed table, runs on an engine cursor of its own, and
  // reports only through the events above during the call.
  // Rebuilds the table from RestructureFieldDefs/RestructureIndexDefs with these attributes.
  // `last_auto_inc_value` −1 keeps the table's counter; `no_backup` false keeps backups. Returns
  // the way the engine took (only header values, indexes in place, or a copy).
  TRestructureWay RestructureTable(std::uint16_t language_id, std::uint16_t sort_id,
                                   std::uint16_t user_major_version, std::uint16_t user_minor_version,
                                   bool encrypted, const std::string& password,
                                   const std::string& description, std::uint16_t blob_block_size,
                                   std::int32_t last_auto_inc_value, bool no_backup);
  // Rewrites the table in the order of the named index ("" = primary order).
  void OptimizeTable(const std::string& index_name, bool no_backup);
  // Verifies and repairs the table (always repairs, strict blob ownership).
  void RepairTable();
  // Verifies the table: reports through OnRepairLog and OnRepairProgress like RepairTable and
  // mends only what has no verification variant.
  void VerifyTable();

  // Loaders behind the collections' Update (they call these).
  void LoadRestructureFieldDefs(TRestructureFieldDefs& defs);
  void LoadRestructureIndexDefs(TRestructureIndexDefs& defs);
  void UpdateIndexDefs() override;

 protected:
  void InternalOpen() override;
  void DataEvent(TDataEvent event) override;
  bool InMemoryDataSet() const override { return in_memory_; }

 private:
  // Runs `read` on the open cursor, or on a temporary cursor opened shared for it.
  void WithCursor(const std::function<void(TDataCursor&)>& read);
  void CheckTableName() const;
  void RunRepair(bool verify_only);
  // The engine cursor's options of a maintenance operation: this table, exclusive.
  TCursorOpenOptions MaintenanceOpenOptions() const;

  bool exclusive_ = false;
  std::string index_field_names_;
  std::string index_name_;
  bool in_memory_ = false;
  bool read_only_ = false;
  std::string table_name_;
  TRestructureFieldDefs restructure_field_defs_{this};
  TRestructureIndexDefs restructure_index_defs_{this};
};

}  // namespace tarvo

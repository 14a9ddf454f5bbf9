// What restructure and optimize share: their progress callback and its arithmetic, the checks
// before a maintenance operation opens a table, the scratch area in which the new table is
// built, and the steps that finish a new table (caches sized for one exclusive writer, blob
// values copied, files made durable, exchanged with the old table's files).
//
// The scratch area is the session's private directory when one is set. Otherwise it is the
// hidden subdirectory ".tarvo-scratch" of the table's own directory (made when needed, removed
// when empty at the end), so that a scratch table never lies among the directory's tables and
// never in the process's current directory. Tables in memory use the in-memory store.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/format/byte_codec.h"
#include "engine/format/table_definition.h"
#include "engine/tables/data_cursor.h"
#include "engine/tables/table_exchange.h"

namespace tarvo {

class TDataDirectory;
class TDataSession;
class TBlobValueBuffer;
class TDataTable;

// (current record, percent done).
using TMaintenanceProgress = std::function<void(std::int32_t current, std::uint16_t percent)>;

// Trunc(current / slots × 100), computed in floating point; 0 for a table without slots.
std::uint16_t ProgressPercent(std::int32_t current, std::int32_t slots);

// Raises 10031 for an open cursor, 10253 unless `options` ask for an exclusive table, 11013 for
// read-only options.
void CheckMaintenancePreconditions(const TDataCursor& cursor, const TCursorOpenOptions& options);

// Opens the cursor for a maintenance operation and closes it on every way out.
class TMaintenanceOpen {
 public:
  TMaintenanceOpen(TDataCursor& cursor, const TCursorOpenOptions& options);
  ~TMaintenanceOpen();
  TMaintenanceOpen(const TMaintenanceOpen&) = delete;
  TMaintenanceOpen& operator=(const TMaintenanceOpen&) = delete;
  // Closes now; failures raise.
  void Close();

 private:
  TDataCursor& cursor_;
};

// The scratch directory object, held for the operation, and the new table in it.
class TScratchTable {
 public:
  // Requires: `table_directory` is the directory of the table being rebuilt.
  TScratchTable(TDataSession& session, TDataDirectory& table_directory, bool in_memory);
  // Closes the new table if still open, deletes its files unless Keep() was called, releases the
  // directory and removes the hidden subdirectory when it is empty.
  ~TScratchTable();
  TScratchTable(const TScratchTable&) = delete;
  TScratchTable& operator=(const TScratchTable&) = delete;

  TDataDirectory& Directory() const { return *directory_; }
  // Creates the new table under a fresh name and opens it exclusively in slot order, keeping
  // supplied auto-increment values, with caches sized for a bulk load.
  TDataCursor& Create(const TTableDefinition& definition);
  // Copies the files of `table` (open exclusively by this process, on the disk) under a fresh
  // name and opens the copy exclusively as Create() opens a new table. Requires: not in memory.
  TDataCursor& CopyOf(TDataTable& table);
  TDataCursor& Cursor() const { return *cursor_; }
  const std::string& Name() const { return name_; }
  std::string Base() const;
  // Where the new table's spill files go: its directory and base name.
  std::string SpillBase() const;
  // Writes everything, closes the new table and puts its files on the disk.
  void Finish();
  // The files now belong to the table (moved into place).
  void Keep() { keep_ = true; }

 private:
  void RemoveFiles() noexcept;

  TDataSession& session_;
  TDataDirectory* directory_ = nullptr;
  std::string hidden_path_;  // the hidden subdirectory when we use it, else ""
  bool in_memory_;
  std::string name_;
  std::unique_ptr<TDataCursor> cursor_;
  bool keep_ = false;
};

// Raises the caches of an exclusively opened table for one pass over it, within a fixed memory
// budget whatever the table's size.
void SizeCachesForBulk(TDataTable& table);

// Copies the blob value referred to by slot `old_slot` (a blob field's slot of an old record)
// into the new table's blob file with a fresh stamp, and writes the new reference into
// `new_slot`. An empty value leaves the new field null.
void CopyBlobValue(TDataTable& old_table, TConstBytes old_slot, TDataCursor& target,
                   std::span<std::byte> record, std::uint16_t field_number);
// Loads a blob field's whole value from a record's slot.
std::vector<std::byte> LoadBlobOf(TDataTable& table, TConstBytes slot);
// The same into `into`, valid until it is used again.
std::span<const std::byte> LoadBlobOf(TDataTable& table, TConstBytes slot, TBlobValueBuffer& into);
// Frees the blob values of a record that could not be added after its values were stored.
void FreeStoredBlobs(TDataTable& table, std::span<const TFieldDescriptor> fields, TConstBytes record);

// Inside the handler of `error`, raised while the new table `scratch_base` (its name without
// extension; empty before it was made) was built for table `table_name`: raises it again naming
// `table_name` when it names the new table or one of its files, else rethrows it as it is. The
// new table's name means nothing to the user.
[[noreturn]] void RethrowNamingTable(const ETarvoEngineError& error, const std::string& scratch_base,
                                     const std::string& table_name);

// Raises `code` for `table_name` with what the user can do about it after the message: the
// code's message, " - " and `advice`.
[[noreturn]] void RaiseAdvising(TEngineCode code, const std::string& table_name, const std::string& advice);

// Puts the new table's files in place of the table's: backups or deletion as asked.
void ExchangeWithScratch(TDataDirectory& table_directory, const std::string& table_name,
                         TScratchTable& scratch, bool in_memory, bool keep_backups);

}  // namespace tarvo

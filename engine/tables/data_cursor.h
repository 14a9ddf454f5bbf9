// TDataCursor: the engine cursor through which everything above the engine reads and changes a
// table. Opening joins (or opens) the session's TDataTable of that name, checks the password and,
// for the first opener of the session, the three files' headers under the reader lock; the cursor
// then keeps copies of the locale, the field descriptors and the change counters it has seen.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/format/data_header.h"
#include "engine/format/field_descriptor.h"
#include "engine/tables/data_table.h"
#include "support/locale.h"

namespace tarvo {

class TDataDirectory;
class TDataSession;

// Why a cursor is opened: repair and restructure cursors open damaged tables without the
// open-time header checks.
enum class TCursorPurpose { kNormal, kRepair, kRestructure };

struct TCursorOpenOptions {
  std::string table_name;
  bool exclusive = false;
  bool read_only = false;
  bool in_memory = false;
  bool temporary = false;
  bool sequential = false;
  TCursorPurpose purpose = TCursorPurpose::kNormal;
};

class TDataCursor {
 public:
  TDataCursor(TDataSession& session, TDataDirectory& directory);
  ~TDataCursor();
  TDataCursor(const TDataCursor&) = delete;
  TDataCursor& operator=(const TDataCursor&) = delete;

  // Raises: 11013 for a conflicting open, 11010 for a missing data file, 10498 without the
  // password, and the header checks' codes. A failed open leaves the cursor closed.
  void Open(const TCursorOpenOptions& options);
  void Close();
  bool IsOpen() const { return table_ != nullptr; }

  TDataSession& Session() const { return session_; }
  TDataDirectory& Directory() const { return directory_; }
  TDataTable& Table() const { return *table_; }
  const TCursorOpenOptions& Options() const { return options_; }
  bool ReadOnly() const { return read_only_; }
  bool Exclusive() const { return options_.exclusive; }

  // Copies taken at open.
  TLanguageId LanguageID() const { return language_id_; }
  TSortId SortID() const { return sort_id_; }
  std::uint16_t FieldCount() const { return static_cast<std::uint16_t>(descriptors_.size()); }
  std::uint16_t RecordSize() const { return record_size_; }
  const std::vector<TFieldDescriptor>& Descriptors() const { return descriptors_; }
  const TCharMap& CharMap() const { return char_map_; }
  // From the table's header in memory.
  std::uint32_t BlobBlockSize() const;
  std::int32_t LastAutoIncrement() const;

  const TDataTable::TChangeCounters& SeenCounters() const { return seen_counters_; }
  void NoteCounters() { seen_counters_ = table_->ChangeCounters(); }

 private:
  void CheckPassword();
  void CheckHeaders();
  void TakeCopies();

  TDataSession& session_;
  TDataDirectory& directory_;
  TCursorOpenOptions options_;
  TDataTable* table_ = nullptr;
  bool read_only_ = false;
  TLanguageId language_id_ = 0;
  TSortId sort_id_ = 0;
  std::uint16_t record_size_ = 0;
  std::vector<TFieldDescriptor> descriptors_;
  TCharMap char_map_{};
  TDataTable::TChangeCounters seen_counters_;
};

// The header of a table that is not open, read straight from its data file through a shared
// open (the maintenance application reads LanguageID, SortID, BlobBlockSize and
// LastAutoIncrement this way).
TDataHeader ReadClosedTableHeader(TDataDirectory& directory, const std::string& table_name,
                                  bool in_memory = false);

}  // namespace tarvo

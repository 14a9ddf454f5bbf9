// Restructure: gives a table a new definition (fields, indexes) and new table-wide values, in
// the cheapest of three ways:
//   1. nothing changed in structure or indexes: descriptors and header values are rewritten;
//   2. only indexes changed: the index file is rebuilt in place, with ".IBK" as its backup
//      (restored when the run is stopped or fails);
//   3. the structure changed: every record is converted into a new table in the scratch area,
//      whose files then take the table's place (table_exchange.h), the old ones kept as ".DBK",
//      ".IBK", ".BBK" unless told otherwise.
// Fields of the new definition are paired with the table's by FieldNumber; index definitions
// name their key fields by those numbers too. Values that cannot be carried over are reported
// through the data-lost callback, which may stop the run (the table is then left as it was).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/format/field_descriptor.h"
#include "engine/format/index_header.h"
#include "engine/maintenance/scratch_table.h"
#include "support/locale.h"

namespace tarvo {

// Why data is lost. Values handed to callers: never renumber.
inline constexpr std::uint8_t kLossPostFailure = 0;        // adding the record failed otherwise
inline constexpr std::uint8_t kLossKeyViolation = 1;       // duplicate in a unique index (index name)
inline constexpr std::uint8_t kLossValidityViolation = 2;  // below min, above max, required (field)
inline constexpr std::uint8_t kLossFieldRemoved = 3;       // an old field has no new field (old name)
inline constexpr std::uint8_t kLossConversionLoss = 4;     // a value did not convert (old name)

// (cause, context, continue, stop asking). Both flags start as continue = true, stop asking =
// false and keep their values between calls.
using TDataLostCallback = std::function<void(std::uint8_t cause, const std::string& context,
                                             bool& continue_run, bool& stop_asking)>;

struct TRestructureRequest {
  TLanguageId language_id = 0;
  TSortId sort_id = 0;
  std::uint16_t user_major_version = 0;  // UserWord1
  std::uint16_t user_minor_version = 0;  // UserWord2
  bool encrypted = false;
  std::string password;
  std::string description;
  std::uint16_t blob_block_size = 512;
  std::vector<TFieldDescriptor> fields;   // in the new order; FieldNumber pairs with the old field
  std::vector<TIndexDescriptor> indexes;  // [0] the primary index (no fields: none), then secondary
  std::int32_t last_auto_inc_value = -1;  // -1 keeps the table's value
  bool no_backup = false;
};

struct TRestructureCallbacks {
  TMaintenanceProgress progress;  // (slot, Trunc(slot × 100 / slots)) after each slot, ways 2 and 3
  TDataLostCallback data_lost;
};

// A request that keeps everything of `definition` (its fields, indexes, locale, block size, user
// words, description and encryption) and the table's auto-increment counter.
TRestructureRequest RequestFromDefinition(const TTableDefinition& definition);

// Which way a restructure took (for tests and the command line).
enum class TRestructureWay { kHeaderOnly = 1, kIndexesInPlace = 2, kCopy = 3 };

// Requires: `cursor` not open; `options` exclusive and not read-only (10031, 10253, 11013); a
// table whose files are read-only raises 11013 too. Validation failures raise before anything
// changes. Returns the way taken.
TRestructureWay RestructureTable(TDataCursor& cursor, const TCursorOpenOptions& options,
                                 TRestructureRequest request, const TRestructureCallbacks& callbacks);

// Converts the value of old field `from` (its slot in a record) into new field `to`'s slot by the
// conversion rules; returns false when the value could not be carried over completely (the slot
// then holds zero, or stays null for a pair without a rule).
bool ConvertFieldValue(const TFieldDescriptor& from, TConstBytes from_slot, const TFieldDescriptor& to,
                       TBytes to_slot, TLanguageId language, TSortId sort);

}  // namespace tarvo

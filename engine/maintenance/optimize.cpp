#include "engine/maintenance/optimize.h"

#include <algorithm>

#include "errors/engine_error.h"
#include "engine/blob/blob_chain.h"
#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/format/record_layout.h"
#include "engine/maintenance/bulk_append.h"
#include "engine/maintenance/index_build.h"
#include "engine/maintenance/ordered_records.h"
#include "engine/tables/data_directory.h"
#include "engine/tables/data_table.h"

namespace tarvo {

TTableDefinition DefinitionOf(TDataTable& table) {
  TDataFile& data = table.DataFile();
  const TIndexHeader& header = table.IndexFile().Header();
  TTableDefinition definition;
  definition.fields = data.Descriptors();
  definition.indexes.push_back(table.IndexFile().NoPrimaryIndex() ? TIndexDescriptor{} : header.slots[0]);
  for (int slot = 1; slot <= header.secondary_count; ++slot) {
    definition.indexes.push_back(header.slots[static_cast<std::size_t>(slot)]);
  }
  for (TIndexDescriptor& index : definition.indexes) {
    index.root = 0;
    index.free_head = 0;
  }
  definition.language_id = data.LanguageID();
  definition.sort_id = data.SortID();
  definition.blob_block_size = static_cast<std::uint16_t>(data.BlobBlockSize());
  definition.description = data.Description();
  definition.password = data.Password();
  definition.encrypted = data.Encrypted();
  definition.user_word1 = data.UserWord1();
  definition.user_word2 = data.UserWord2();
  return definition;
}

void OptimizeTable(TDataCursor& cursor, const TCursorOpenOptions& options, const std::string& index_name,
                   bool no_backup, const TMaintenanceProgress& progress) {
  // 1. Preconditions, and the table open for this operation alone.
  CheckMaintenancePreconditions(cursor, options);
  TCursorOpenOptions open = options;
  open.purpose = TCursorPurpose::kNormal;
  TMaintenanceOpen opened(cursor, open);
  TDataTable& old_table = cursor.Table();
  const std::string table_name = old_table.TableName();
  // 2. The order (10022 before anything is created).
  cursor.SelectIndex(index_name);
  TScratchTable scratch(cursor.Session(), cursor.Directory(), options.in_memory);
  try {
    // 3. The new table with the table's own definition.
    TDataCursor& target = scratch.Create(DefinitionOf(old_table));
    TDataTable& new_table = target.Table();
    SizeCachesForBulk(old_table);
    const std::vector<TFieldDescriptor>& old_fields = cursor.Descriptors();
    const std::vector<TFieldDescriptor>& new_fields = target.Descriptors();
    const std::int32_t slots = old_table.DataFile().RecordSlotCount();
    const std::int32_t old_last_auto_increment = old_table.DataFile().LastAutoIncrement();
    // 4. The records in index order (read past the cursor: an entry naming a deleted slot does not
    // end the copy), with their blob values, appended to the new files in long runs; their keys
    // are gathered as each record is written (on the sorting thread, which alone writes the index
    // file until keys.Finish()).
    TIndexBuild keys(new_table, AllIndexSlots(new_table.IndexFile()), scratch.SpillBase(), options.in_memory,
                     kCopyIndexBudget, slots, true);
    // The keys of the order's index, and of "Sys Deleted" (slots in order), come sorted.
    keys.StreamInOrder(cursor.IndexSlot());
    keys.StreamInOrder(kSysDeletedSlot);
    TBulkAppend append(target);
    TDataFile& new_data = new_table.DataFile();
    std::vector<std::byte> buffer = target.NewRecordBuffer();
    TBlobValueBuffer value;
    TOrderedRecords records(old_table, cursor.IndexSlot());
    std::int32_t i = 1;
    for (std::span<const std::byte> record = records.Next(); !record.empty(); record = records.Next(), ++i) {
      std::fill(buffer.begin(), buffer.end(), std::byte{0});
      for (std::size_t k = 0; k < old_fields.size() && k < new_fields.size(); ++k) {
        const TFieldDescriptor& d = old_fields[k];
        if (!IsStored(d)) continue;
        const TConstBytes from = ConstFieldSlot(record, d);
        const TBytes to = FieldSlot(buffer, new_fields[k]);
        if (d.FieldType == kTypeBlob) {
          append.StoreBlob(buffer, new_fields[k], LoadBlobOf(old_table, from, value));
        } else {
          std::copy_n(from.begin(), std::min(from.size(), to.size()), to.begin());
        }
      }
      SetRecordAutoIncrement(buffer, RecordAutoIncrement(record));
      keys.Add(buffer, append.Append(buffer));
      if (progress) progress(i, ProgressPercent(i, slots));
    }
    // A record that the order's index does not name would be gone with the old files: the copy
    // is refused before anything is exchanged.
    const std::int64_t copied = i - 1;
    const std::int64_t in_use = records.RecordsInUse();
    if (copied != in_use) {
      RaiseAdvising(kIndexBuffersCorrupt, table_name,
                    "its index names " + std::to_string(copied) + " of its " + std::to_string(in_use) +
                        " records; repair the table, then optimize it (nothing was changed)");
    }
    keys.Finish();  // first: the sorting thread writes index pages until then
    append.Finish();
    // The counter never goes back: values of deleted records are not handed out again.
    if (old_last_auto_increment > new_data.LastAutoIncrement())
      new_data.SetLastAutoIncrement(old_last_auto_increment);
    // 5. Both tables closed, the new files on the disk, then exchanged.
    scratch.Finish();
  } catch (const ETarvoEngineError& e) {
    RethrowNamingTable(e, scratch.Base(), table_name);
  }
  opened.Close();
  ExchangeWithScratch(cursor.Directory(), table_name, scratch, options.in_memory, !no_backup);
}

}  // namespace tarvo

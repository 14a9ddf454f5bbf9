#include "engine/maintenance/import_bulk.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <new>
#include <span>

#include "engine/blob/blob_chain.h"
#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/format/record_layout.h"
#include "engine/index/index_file.h"
#include "engine/maintenance/bulk_append.h"
#include "engine/maintenance/scratch_table.h"
#include "engine/tables/data_table.h"

namespace tarvo {

bool IsImportRefusal(TEngineCode code) {
  return !IsIoCode(code) && (code >> 8) != 0x23;
}

namespace {

// A blob value that the source set in a record: the field, and the value (none: the field stays
// NULL, with no stamp, as a cursor's post leaves it).
struct TSetValue {
  const TFieldDescriptor* field = nullptr;
  std::vector<std::byte> bytes;
};

// Whether the next added record would take something back: a deleted slot or a free blob block.
bool TakesBack(TDataTable& table) {
  const TRecordCache& records = table.Records();
  if (records.SlotForNextAppend() != table.DataFile().Header().NextRecordSlot) return true;
  return table.HasBlobFile() && table.BlobFile().Header().free_head != 0;
}

// The values the source set in `record` (open in the cursor, named by handles), read out; the
// values are closed and their slots left as they were before.
void TakeSetValues(TDataCursor& cursor, std::span<std::byte> record, std::vector<TSetValue>& values,
                   std::vector<std::int64_t>& sizes) {
  values.clear();
  sizes.clear();
  if (cursor.OpenBlobCount() == 0) return;
  const std::vector<TFieldDescriptor>& fields = cursor.Descriptors();
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const TFieldDescriptor& d = fields[i];
    if (d.FieldType != kTypeBlob || !IsStored(d) || GetBlobRef(FieldSlot(record, d)).Reference >= 0) continue;
    const auto number = static_cast<std::uint16_t>(i + 1);
    std::int64_t size = 0;
    if (const TEngineCode code = cursor.GetBlobSize(number, record, size); code != 0) {
      RaiseEngineError(code, cursor.Table().TableName(), d.FieldName);
    }
    if (size > std::numeric_limits<std::int32_t>::max()) {
      RaiseEngineError(kInvalidBlobLength, cursor.Table().TableName(), d.FieldName);
    }
    TSetValue& value = values.emplace_back();
    value.field = &d;
    value.bytes.resize(static_cast<std::size_t>(size));
    std::size_t copied = 0;
    if (const TEngineCode code = cursor.ReadBlob(number, record, 0, value.bytes, copied); code != 0) {
      RaiseEngineError(code, cursor.Table().TableName(), d.FieldName);
    }
    sizes.push_back(size);
  }
  cursor.CloseBlobValues(record);
}

}  // namespace

void AddInBulk(TDataCursor& cursor, const TImportSource& source, const std::string& table_name,
               const std::string& spill_base, const TAddOneByOne& one_by_one, TBulkImportRun& run) {
  TDataTable& table = cursor.Table();
  // 1. The slots and blocks to take back, one record after the other.
  if (!one_by_one([&] { return TakesBack(table); }, run)) return;
  // The cursor's work on the disk, so that the appends past the caches find nothing pending.
  table.WriteAll(true, false);
  // 2. The rest appended, their keys gathered on the second thread.
  const std::string copy_base = table.BaseName();
  TImportTarget target(cursor);
  TBulkAppend append(cursor);
  run.first_appended = table.DataFile().Header().NextRecordSlot;
  // The keys of a table that holds records are inserted into its trees in order while there are
  // few of them; past a quarter of its slots, writing every tree anew from all the records is
  // faster, and the keys are no longer gathered.
  const std::int64_t slots_before = run.first_appended - 1;
  const std::vector<int> indexes = AllIndexSlots(table.IndexFile());
  auto keys = std::make_unique<TIndexBuild>(table, indexes, spill_base, false, kCopyIndexBudget, -1, true);
  keys->CollectDuplicates(run.first_appended);
  std::vector<std::byte> record = cursor.NewRecordBuffer();
  std::vector<TSetValue> values;
  std::vector<std::int64_t> sizes;
  for (;;) {
    std::fill(record.begin(), record.end(), std::byte{0});
    bool keep = false;
    try {
      cursor.KeepSuppliedAutoIncrement = false;
      if (!source(target, record)) break;
      keep = cursor.KeepSuppliedAutoIncrement;
      // The checks of an added record, in its order: the fields, the room for it and its values.
      cursor.Validate(record);
      TakeSetValues(cursor, record, values, sizes);
      if (!append.Fits(sizes)) RaiseEngineError(kTableFull, table.TableName());
    } catch (const ETarvoEngineError& e) {
      const bool refusal = IsImportRefusal(EngineCode(e));
      try {
        RethrowNamingTable(e, copy_base, table_name);
      } catch (const ETarvoEngineError&) {
        cursor.CloseBlobValues(record);
        if (!refusal) throw;
        run.refusal = std::current_exception();
        break;
      }
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception&) {
      cursor.CloseBlobValues(record);
      run.refusal = std::current_exception();
      break;
    }
    for (const TSetValue& value : values) append.StoreBlob(record, *value.field, value.bytes);
    const std::int32_t slot = append.Append(record, keep);
    if (keys != nullptr) keys->Add(record, slot);
    target.NoteAppended(RecordAutoIncrement(record));
    ++run.added;
    if (keys != nullptr && slots_before > 0 && (slot - slots_before) * 4 > slots_before) keys.reset();
  }
  // 3. Every tree written (first: the sorting thread writes index pages until then), the headers
  // brought up to date.
  if (keys != nullptr) {
    keys->Finish();
    append.Finish();
    run.duplicate = keys->FirstDuplicate();
    return;
  }
  append.Finish();
  TIndexFile& index = table.IndexFile();
  const std::int32_t active = index.ActiveRecordCount();
  index.Empty();
  index.MutableHeader().active_records = active;
  run.duplicate = BuildIndexesFromRecords(table, indexes, spill_base, false, kCopyIndexBudget, -1, true,
                                          run.first_appended);
}

TImportSource RecordsBefore(TDataTable& table, const TBulkImportRun& run, std::int64_t count) {
  auto taken = std::make_shared<std::int64_t>(0);
  auto value = std::make_shared<TBlobValueBuffer>();
  return [&table, &run, count, taken, value](TImportTarget& target, std::span<std::byte> record) {
    const std::int64_t i = *taken;
    if (i >= count) return false;
    ++*taken;
    const auto reused = static_cast<std::int64_t>(run.reused_slots.size());
    const std::int32_t slot = i < reused ? run.reused_slots[static_cast<std::size_t>(i)]
                                         : run.first_appended + static_cast<std::int32_t>(i - reused);
    TRecordPin pin = table.Records().GetRecord(nullptr, slot, true, TReadAhead::kSlotOrder);
    if (!pin) RaiseEngineError(kRecordBuffersCorrupt, table.TableName());
    const std::span<const std::byte> stored = pin->Bytes();
    std::copy_n(stored.begin(), std::min(stored.size(), record.size()), record.begin());
    TDataCursor& cursor = target.Cursor();
    const std::vector<TFieldDescriptor>& fields = cursor.Descriptors();
    for (std::size_t k = 0; k < fields.size(); ++k) {
      const TFieldDescriptor& d = fields[k];
      if (d.FieldType != kTypeBlob || !IsStored(d)) continue;
      const std::span<const std::byte> bytes = LoadBlobOf(table, ConstFieldSlot(stored, d), *value);
      PutBlobRef(FieldSlot(record, d), TBlobRef{});
      if (!bytes.empty()) cursor.SetBlobField(record, static_cast<std::uint16_t>(k + 1), bytes);
    }
    cursor.KeepSuppliedAutoIncrement = cursor.HasAutoIncrementField();
    return true;
  };
}

}  // namespace tarvo

// The table and the operations that the crash and power-loss sweeps run: a table with memo and
// binary blob values of every size class, deleted slots and case-insensitive and compound
// indexes; what a table holds as far as its users can tell, read with its trees and blob chains
// checked; and the maintenance operations, each of which a second run finds done.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/blob/blob_chain.h"
#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/format/record_layout.h"
#include "engine/maintenance/import_table.h"
#include "engine/maintenance/optimize.h"
#include "engine/maintenance/repair.h"
#include "engine/maintenance/restructure.h"
#include "engine/maintenance/scratch_table.h"
#include "engine/tables/data_cursor.h"
#include "support/fault_injector.h"
#include "tests/testing/blob_checker.h"
#include "tests/testing/table_builder.h"
#include "tests/testing/temp_dir.h"
#include "tests/testing/tree_checker.h"

namespace tarvo::testing {

inline constexpr const char* kTable = "T";
inline constexpr int kRecords = 200;
inline constexpr int kDeleteEvery = 7;
// The calls at which a sweep ends the operation.
inline constexpr std::uint32_t kCrashOps =
    TFaultOp::kWrite | TFaultOp::kFlush | TFaultOp::kRename | TFaultOp::kDelete;

// ID (auto-increment, primary), Name text(20) with a case-insensitive index, Count int32 with an
// index over (Count, Name), Memo (memo blob) and Data (binary blob).
inline TTableDefinition CrashDefinition() {
  TTableDefinition d;
  d.fields = {Field("ID", kTypeInt32, 0, kSubTypeAutoInc), Field("Name", kTypeText, 20),
              Field("Count", kTypeInt32), Field("Memo", kTypeBlob, 0, kSubTypeMemo),
              Field("Data", kTypeBlob, 0, kSubTypeBinary)};
  for (std::size_t i = 0; i < d.fields.size(); ++i)
    d.fields[i].FieldNumber = static_cast<std::uint16_t>(i + 1);
  d.indexes = {Index("", {1}, true), Index("ByName", {2}, false, 3), Index("ByCount", {3, 2}, false, 1)};
  d.indexes[1].case_insensitive = 1;
  d.blob_block_size = 512;
  return d;
}

inline std::vector<std::byte> Pattern(std::size_t size, int seed) {
  std::vector<std::byte> v(size);
  for (std::size_t i = 0; i < size; ++i)
    v[i] = static_cast<std::byte>((i * 131 + static_cast<std::size_t>(seed) * 7) & 0xFF);
  return v;
}

inline TCursorOpenOptions ExclusiveOptions() {
  TCursorOpenOptions options;
  options.table_name = kTable;
  options.exclusive = true;
  return options;
}

// Blob values of 0 bytes, under a block, exactly one and several blocks; names that differ only
// in case; every kDeleteEvery-th record deleted, its blob blocks going to the free list.
inline void BuildTable(const std::string& dir) {
  TTestEngine engine(dir);
  engine.directory->CreateTable(kTable, CrashDefinition());
  TDataCursor cursor(*engine.session, *engine.directory);
  cursor.Open(ExclusiveOptions());
  const auto& f = cursor.Descriptors();
  static constexpr std::size_t kMemoSizes[] = {0, 1, 100, 511, 512, 513, 1500, 5000};
  static constexpr std::size_t kDataSizes[] = {0, 2049, 7, 0, 512, 300, 1024};
  static const char* const kNames[] = {"alpha", "Alpha", "BETA", "beta", "Gamma", "delta"};
  for (int i = 0; i < kRecords; ++i) {
    std::vector<std::byte> record = cursor.NewRecordBuffer();
    PutText(FieldSlot(record, f[1]), std::string(kNames[i % 6]) + std::to_string(i % 40), 0, 0, 0);
    PutInt32(FieldSlot(record, f[2]), (i * 37) % 101);
    cursor.SetBlobField(record, f[3].FieldNumber, Pattern(kMemoSizes[i % 8], i));
    cursor.SetBlobField(record, f[4].FieldNumber, Pattern(kDataSizes[i % 7], i + 1000));
    (void)cursor.AddRecord(record, false);
  }
  for (std::int32_t slot = kDeleteEvery; slot <= kRecords; slot += kDeleteEvery) {
    ASSERT_TRUE(cursor.GoToSlot(slot));
    const std::vector<std::byte> image = cursor.CurrentRecord();
    cursor.DeleteRecord(image, false);
  }
  cursor.Close();
}

// What a table holds, as far as its users can tell: the header values, field and index
// definitions, and every record in slot order with its blob values loaded.
struct TTableState {
  std::string definition;
  std::vector<std::string> records;
  bool operator==(const TTableState&) const = default;
};

inline void AppendBytes(std::string& out, std::span<const std::byte> bytes) {
  out += std::to_string(bytes.size()) + ":";
  out.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// Opens the table normally, reads its state and runs the tree and blob checkers on it.
inline TTableState ReadCheckedState(const std::string& dir) {
  TTestEngine engine(dir);
  TDataCursor cursor(*engine.session, *engine.directory);
  cursor.Open(ExclusiveOptions());
  TDataTable& table = cursor.Table();
  TTableState state;
  const TTableDefinition d = DefinitionOf(table);
  state.definition = "autoinc " + std::to_string(cursor.LastAutoIncrement()) + "\n";
  for (const TFieldDescriptor& f : d.fields) {
    state.definition += "field " + f.FieldName + " " + std::to_string(f.FieldType) + "/" +
                        std::to_string(f.FieldSubType) + "/" + std::to_string(f.FieldSize) + "\n";
  }
  for (const TIndexDescriptor& x : d.indexes) {
    state.definition += "index " + x.name + " u" + std::to_string(x.unique) + " ci" +
                        std::to_string(x.case_insensitive) + " d" + std::to_string(x.descending) + " c" +
                        std::to_string(x.compression) + " fields";
    for (std::size_t i = 0; i < x.field_count; ++i)
      state.definition += " " + std::to_string(x.field_numbers[i]);
    state.definition += "\n";
  }
  std::vector<TChainRef> chains;
  cursor.SelectSlotOrder();
  for (bool on = cursor.First(); on; on = cursor.Next()) {
    const std::vector<std::byte>& r = cursor.CurrentRecord();
    std::string text =
        std::to_string(cursor.CurrentSlot()) + "#" + std::to_string(RecordAutoIncrement(r)) + "|";
    for (const TFieldDescriptor& f : cursor.Descriptors()) {
      if (f.FieldType == kTypeBlob) {
        AppendBytes(text, LoadBlobOf(table, ConstFieldSlot(r, f)));
        const TBlobRef ref = GetBlobRef(ConstFieldSlot(r, f));
        chains.push_back({ref.Reference, ref.Stamp});
      } else {
        AppendBytes(text, ConstFieldSlot(r, f));
      }
    }
    state.records.push_back(std::move(text));
  }
  const auto trees = CheckAllIndexTrees(table);
  EXPECT_TRUE(trees.empty()) << trees.front();
  const auto keys = CheckOneKeyPerRecord(table, FileRecordReader(table));
  EXPECT_TRUE(keys.empty()) << keys.front();
  const auto count = CheckActiveRecordCount(table, FileRecordReader(table));
  EXPECT_TRUE(count.empty()) << count.front();
  const TBlobCheckReport report = CheckBlobFile(table.BlobFile(), chains);
  EXPECT_TRUE(report.Ok()) << report.Text();
  cursor.Close();
  return state;
}

inline void CopyTableFiles(const std::filesystem::path& from, const std::filesystem::path& to) {
  for (const char* extension : {".DAT", ".IDX", ".BLB"}) {
    std::filesystem::copy_file(from / (std::string(kTable) + extension), to / (std::string(kTable) + extension));
  }
}

using TOperation = std::function<void(TTestEngine& engine)>;

inline TRestructureRequest OwnRequest(TTestEngine& engine) {
  TDataCursor cursor(*engine.session, *engine.directory);
  cursor.Open(ExclusiveOptions());
  const TTableDefinition d = DefinitionOf(cursor.Table());
  cursor.Close();
  return RequestFromDefinition(d);
}

inline TRestructureWay Restructure(TTestEngine& engine, const TRestructureRequest& request) {
  TDataCursor cursor(*engine.session, *engine.directory);
  TRestructureCallbacks callbacks;
  callbacks.data_lost = [](std::uint8_t, const std::string&, bool&, bool&) {};
  return RestructureTable(cursor, ExclusiveOptions(), request, callbacks);
}

inline void Optimize(TTestEngine& engine, bool no_backup) {
  TDataCursor cursor(*engine.session, *engine.directory);
  OptimizeTable(cursor, ExclusiveOptions(), "ByName", no_backup, {});
}

// Name widened and a field added (a second run finds them done and changes nothing).
inline void RestructureByCopy(TTestEngine& engine) {
  TRestructureRequest request = OwnRequest(engine);
  if (request.fields.size() == 5) {
    request.fields[1].FieldSize = 40;
    TFieldDescriptor note = Field("Note", kTypeText, 10);
    note.FieldNumber = 100;  // a new field
    request.fields.push_back(note);
  }
  Restructure(engine, request);
}

// ByCount changed and a descending index added (a second run finds them done).
inline void RestructureIndexes(TTestEngine& engine) {
  TRestructureRequest request = OwnRequest(engine);
  if (request.indexes.size() == 3) {
    request.indexes[2].compression = 3;
    TIndexDescriptor by_count_desc = Index("ByCountDesc", {3, 1}, false, 2);
    by_count_desc.descending = 1;
    by_count_desc.field_descending.fill(1);
    request.indexes.push_back(by_count_desc);
  }
  EXPECT_NE(Restructure(engine, request), TRestructureWay::kCopy);
}

// Records with identifiers of their own and memo and binary values of up to several blocks, then
// a refused one: they stay. The first take the deleted slots and free blob blocks back one by one,
// the last ones are appended in bulk. A second run is refused at its first record (its identifier
// is taken), so that it changes nothing.
inline void Import(TTestEngine& engine) {
  constexpr int kImported = kRecords / kDeleteEvery + 7;
  TDataCursor cursor(*engine.session, *engine.directory);
  int i = 0;
  const TImportResult result =
      ImportRecords(cursor, ExclusiveOptions(), [&](TImportTarget& target, std::span<std::byte> record) {
        const std::int32_t id = 1000 + i;
        if (i == kImported || target.IdentifierInUse(id)) throw std::invalid_argument("refused");
        TDataCursor& c = target.Cursor();
        const auto& f = c.Descriptors();
        SetRecordAutoIncrement(record, id);
        c.KeepSuppliedAutoIncrement = true;
        PutText(FieldSlot(record, f[1]), "import" + std::to_string(i), 0, 0, 0);
        PutInt32(FieldSlot(record, f[2]), i);
        c.SetBlobField(record, f[3].FieldNumber, Pattern(static_cast<std::size_t>(600 * (i % 8)), i));
        c.SetBlobField(record, f[4].FieldNumber, Pattern(1100, i + 50));
        ++i;
        return true;
      });
  EXPECT_TRUE(result.refusal);
}

// The auto-increment counter below the highest ID: the repair raises it.
inline void LowerAutoIncrementCounter(const std::filesystem::path& dir) {
  std::fstream file(dir / "T.DAT", std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(17);
  const char value[4] = {5, 0, 0, 0};
  file.write(value, 4);
}

inline void Repair(TTestEngine& engine) {
  TDataCursor cursor(*engine.session, *engine.directory);
  TRepairCallbacks callbacks;
  callbacks.log = [](const std::string&) {};
  RepairTable(cursor, ExclusiveOptions(), {}, callbacks);
}

}  // namespace tarvo::testing

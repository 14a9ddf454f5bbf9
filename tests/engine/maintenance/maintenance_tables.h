// A table for the maintenance tests: ID (auto-increment, primary), Name text(20), Count int32,
// Memo (blob), with secondary indexes of every key compression, one of them descending and one
// unique; helpers to fill it, snapshot its records and check its trees and blob file.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "engine/blob/blob_chain.h"
#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/format/record_layout.h"
#include "engine/maintenance/scratch_table.h"
#include "engine/tables/data_cursor.h"
#include "engine/tables/data_table.h"
#include "tests/testing/blob_checker.h"
#include "tests/testing/table_builder.h"
#include "tests/testing/temp_dir.h"
#include "tests/testing/tree_checker.h"

namespace tarvo::testing {

inline TTableDefinition ItemsDefinition(bool with_blob = true) {
  TTableDefinition d;
  d.fields = {Field("ID", kTypeInt32, 0, kSubTypeAutoInc), Field("Name", kTypeText, 20),
              Field("Count", kTypeInt32)};
  if (with_blob) d.fields.push_back(Field("Memo", kTypeBlob, 0, kSubTypeMemo));
  for (std::size_t i = 0; i < d.fields.size(); ++i)
    d.fields[i].FieldNumber = static_cast<std::uint16_t>(i + 1);
  d.indexes = {Index("", {1}, true), Index("ByName", {2}, false, 3), Index("ByCount", {3}, true, 1),
               Index("ByNameDesc", {2, 3}, false, 2), Index("Plain", {3}, false, 0)};
  d.indexes[1].case_insensitive = 1;
  d.indexes[3].descending = 1;
  d.indexes[3].field_descending.fill(1);
  d.blob_block_size = 512;
  return d;
}

struct TItem {
  std::int32_t id = 0;
  std::string name;
  std::int32_t count = 0;
  std::vector<std::byte> memo;
  bool operator==(const TItem&) const = default;
};

inline std::vector<std::byte> MemoOfSize(std::size_t size, int seed) {
  std::vector<std::byte> v(size);
  for (std::size_t i = 0; i < size; ++i)
    v[i] = static_cast<std::byte>((i * 31 + static_cast<std::size_t>(seed)) & 0xFF);
  return v;
}

inline std::unique_ptr<TDataCursor> OpenItems(TTestEngine& engine, bool exclusive,
                                              const std::string& name = "Items") {
  auto cursor = std::make_unique<TDataCursor>(*engine.session, *engine.directory);
  TCursorOpenOptions options;
  options.table_name = name;
  options.exclusive = exclusive;
  cursor->Open(options);
  return cursor;
}

// Creates the table with `count` records (memo sizes cycling through block boundaries) and
// deletes every `delete_every`-th record (0: none).
inline void BuildItems(TTestEngine& engine, int count, int delete_every, bool with_blob = true,
                       const std::string& name = "Items") {
  engine.directory->CreateTable(name, ItemsDefinition(with_blob));
  auto cursor = OpenItems(engine, true, name);
  const auto& f = cursor->Descriptors();
  static constexpr std::size_t kSizes[] = {0, 1, 100, 511, 512, 513, 1500, 5000};
  for (int i = 0; i < count; ++i) {
    std::vector<std::byte> record = cursor->NewRecordBuffer();
    PutText(FieldSlot(record, f[1]), "Name" + std::to_string((i * 7) % 50), 0, 0, 0);
    PutInt32(FieldSlot(record, f[2]), 1000 - i);
    if (with_blob) cursor->SetBlobField(record, f[3].FieldNumber, MemoOfSize(kSizes[i % 8], i));
    (void)cursor->AddRecord(record, false);
  }
  if (delete_every > 0) {
    for (std::int32_t slot = delete_every; slot <= count; slot += delete_every) {
      ASSERT_TRUE(cursor->GoToSlot(slot));
      const std::vector<std::byte> image = cursor->CurrentRecord();
      cursor->DeleteRecord(image, false);
    }
  }
  cursor->Close();
}

// The records in slot order, with their slot numbers.
inline std::vector<std::pair<std::int32_t, TItem>> Snapshot(TTestEngine& engine,
                                                            const std::string& name = "Items") {
  auto cursor = OpenItems(engine, true, name);
  cursor->SelectSlotOrder();
  const auto& f = cursor->Descriptors();
  std::vector<std::pair<std::int32_t, TItem>> items;
  for (bool on = cursor->First(); on; on = cursor->Next()) {
    const auto& r = cursor->CurrentRecord();
    TItem item;
    item.id = RecordAutoIncrement(r);
    for (const TFieldDescriptor& d : f) {
      if (d.FieldName == "Name" && d.FieldType == kTypeText)
        item.name = GetText(ConstFieldSlot(r, d)).value_or("");
      if (d.FieldName == "Count") item.count = GetInt32(ConstFieldSlot(r, d)).value_or(0);
      if (d.FieldType == kTypeBlob) item.memo = LoadBlobOf(cursor->Table(), ConstFieldSlot(r, d));
    }
    items.emplace_back(cursor->CurrentSlot(), item);
  }
  return items;
}

// Tree checker on every index, one key per record, and the blob checker on every value.
inline void ExpectSoundTable(TTestEngine& engine, bool compact = true, const std::string& name = "Items") {
  auto cursor = OpenItems(engine, true, name);
  TDataTable& table = cursor->Table();
  const auto trees = CheckAllIndexTrees(table);
  EXPECT_TRUE(trees.empty()) << (trees.empty() ? "" : trees.front());
  const auto keys = CheckOneKeyPerRecord(table, FileRecordReader(table));
  EXPECT_TRUE(keys.empty()) << (keys.empty() ? "" : keys.front());
  const auto count = CheckActiveRecordCount(table, FileRecordReader(table));
  EXPECT_TRUE(count.empty()) << (count.empty() ? "" : count.front());
  if (!table.HasBlobFile()) return;
  std::vector<TChainRef> chains;
  cursor->SelectSlotOrder();
  for (bool on = cursor->First(); on; on = cursor->Next()) {
    const TBlobRef ref = GetBlobRef(ConstFieldSlot(cursor->CurrentRecord(), cursor->Descriptors().back()));
    chains.push_back({ref.Reference, ref.Stamp});
  }
  const TBlobCheckReport report = CheckBlobFile(table.BlobFile(), chains);
  EXPECT_TRUE(report.Ok()) << report.Text();
  if (compact) {
    EXPECT_EQ(report.free_blocks, 0);
  }
}

// Every file of a directory with its bytes (the hidden scratch area included).
inline std::map<std::string, std::vector<std::byte>> DirectoryBytes(const std::filesystem::path& dir) {
  std::map<std::string, std::vector<std::byte>> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file())
      files[std::filesystem::relative(entry.path(), dir).string()] = ReadFileBytes(entry.path());
  }
  return files;
}

}  // namespace tarvo::testing

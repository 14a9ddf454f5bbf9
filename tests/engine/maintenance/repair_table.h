// A small real table for the repair tests: ID (auto-increment, primary), Name text(20) with a
// non-unique index, Code integer with a unique index, Memo (blob), created in a temporary folder.
// Records are added through an exclusive cursor; memo values are stored straight into the blob
// file. Damage is made in the closed files, then the repair runs on a cursor of its own.
#pragma once

#include <gtest/gtest.h>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/blob/blob_chain.h"
#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/format/record_layout.h"
#include "engine/maintenance/repair.h"
#include "engine/tables/data_cursor.h"
#include "tests/testing/blob_checker.h"
#include "tests/testing/table_builder.h"
#include "tests/testing/temp_dir.h"
#include "tests/testing/tree_checker.h"

namespace tarvo::repair_test {

inline constexpr std::uint16_t kId = 1, kName = 2, kCode = 3, kMemo = 4;
inline constexpr std::int64_t kDataHeader = 127 + 4 * 768;
// 9 + Name (1 + 21) + Code (1 + 4) + Memo (1 + 8); the memo's slot: flag 36, reference 37, stamp 41.
inline constexpr std::int64_t kRecordSize = 45;
inline constexpr std::int64_t kMemoSlot = 36;

inline TTableDefinition RepairDefinition() {
  using testing::Field;
  using testing::Index;
  TTableDefinition d;
  d.fields = {Field("ID", kTypeInt32, 0, kSubTypeAutoInc), Field("Name", kTypeText, 20),
              Field("Code", kTypeInt32), Field("Memo", kTypeBlob, 0, kSubTypeMemo)};
  for (std::size_t i = 0; i < d.fields.size(); ++i)
    d.fields[i].FieldNumber = static_cast<std::uint16_t>(i + 1);
  d.indexes = {Index("", {1}, true), Index("ByName", {2}), Index("ByCode", {3}, true)};
  d.indexes[1].case_insensitive = 1;
  return d;
}

struct TRepairResult {
  std::vector<std::string> lines;
  std::vector<std::pair<std::int32_t, std::uint16_t>> progress;
};

class TRepairTable {
 public:
  TRepairTable() : engine_(dir_.Dir()) { engine_.directory->CreateTable("T", RepairDefinition()); }

  std::unique_ptr<TDataCursor> Open(bool exclusive = true) {
    auto cursor = std::make_unique<TDataCursor>(*engine_.session, *engine_.directory);
    TCursorOpenOptions options;
    options.table_name = "T";
    options.exclusive = exclusive;
    cursor->Open(options);
    return cursor;
  }

  // Adds records (name, code, memo size; 0 = no memo); returns their slots.
  std::vector<std::int32_t> Add(const std::vector<std::tuple<std::string, std::int32_t, std::size_t>>& rows) {
    auto cursor = Open();
    std::vector<std::int32_t> slots;
    const auto& fields = cursor->Descriptors();
    for (const auto& [name, code, memo] : rows) {
      std::vector<std::byte> record = cursor->NewRecordBuffer();
      PutText(FieldSlot(record, fields[kName - 1]), name, 0, 0, 0);
      PutInt32(FieldSlot(record, fields[kCode - 1]), code);
      if (memo > 0) {
        std::vector<std::byte> value(memo);
        for (std::size_t i = 0; i < memo; ++i) value[i] = static_cast<std::byte>('a' + i % 26);
        cursor->SetBlobField(record, kMemo, value);
      }
      slots.push_back(cursor->AddRecord(record, false));
    }
    return slots;
  }

  // Deletes the record as another program might leave it: its slot still names the memo's
  // chain, whose blocks stay in use (a repair frees what deleted records still name).
  void Delete(std::int32_t slot) {
    std::vector<std::uint8_t> memo_slot;
    std::uint16_t memo_offset = 0;
    {
      auto cursor = Open();
      ASSERT_TRUE(cursor->GoToSlot(slot));
      std::vector<std::byte> record = cursor->CurrentRecord();
      const TFieldDescriptor& memo = cursor->Descriptors()[kMemo - 1];
      memo_offset = memo.RecordOffset;
      for (const std::byte b : ConstFieldSlot(record, memo)) memo_slot.push_back(static_cast<std::uint8_t>(b));
      if (GetBlobRef(ConstFieldSlot(record, memo)).Reference != 0) {
        // Clearing the reference leaves the chain where it is.
        SetNull(FieldSlot(record, memo));
        cursor->ChangeRecord(record, false, true);
        record = cursor->CurrentRecord();
      }
      cursor->DeleteRecord(record, false);
    }
    Patch(".DAT", RecordOffset(slot) + memo_offset, memo_slot);
  }

  TRepairResult Run(bool verify_only, bool lenient = false) {
    TRepairResult result;
    TDataCursor cursor(*engine_.session, *engine_.directory);
    TCursorOpenOptions open;
    open.table_name = "T";
    open.exclusive = true;
    TRepairCallbacks callbacks;
    callbacks.log = [&](const std::string& m) { result.lines.push_back(m); };
    callbacks.progress = [&](std::int32_t r, std::uint16_t p) { result.progress.emplace_back(r, p); };
    RepairTable(cursor, open, {verify_only, lenient}, callbacks);
    return result;
  }

  std::string File(const char* extension) const { return dir_.File(std::string("T") + extension); }
  std::vector<std::byte> Bytes(const char* extension) const {
    return testing::ReadFileBytes(File(extension));
  }

  void Patch(const char* extension, std::int64_t offset, const std::vector<std::uint8_t>& bytes) {
    std::fstream f(File(extension), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(offset);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  void PatchI32(const char* extension, std::int64_t offset, std::int32_t value) {
    const auto u = static_cast<std::uint32_t>(value);
    Patch(extension, offset,
          {static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8),
           static_cast<std::uint8_t>(u >> 16), static_cast<std::uint8_t>(u >> 24)});
  }
  void Resize(const char* extension, std::uintmax_t size) {
    std::filesystem::resize_file(File(extension), size);
  }
  // A field descriptor's name (field 1-based).
  void SetFieldName(int field, const std::string& name) {
    std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(name.size())};
    bytes.insert(bytes.end(), name.begin(), name.end());
    while (bytes.size() < 31) bytes.push_back(0);
    Patch(".DAT", 127 + 768 * (field - 1) + 2, bytes);
  }
  static std::int64_t RecordOffset(std::int32_t slot) { return kDataHeader + (slot - 1) * kRecordSize; }

  // The table opens normally, every tree and the blob file pass their checks, and a verification
  // finds nothing.
  void ExpectSound() {
    {
      auto cursor = Open();
      TDataTable& table = cursor->Table();
      const auto read = testing::FileRecordReader(table);
      for (const auto& e : testing::CheckAllIndexTrees(table)) ADD_FAILURE() << e;
      for (const auto& e : testing::CheckOneKeyPerRecord(table, read)) ADD_FAILURE() << e;
      for (const auto& e : testing::CheckSysDeletedKeys(table, read)) ADD_FAILURE() << e;
      for (const auto& e : testing::CheckActiveRecordCount(table, read)) ADD_FAILURE() << e;
      std::vector<testing::TChainRef> chains;
      const TFieldDescriptor memo = cursor->Descriptors()[kMemo - 1];
      for (std::int32_t slot = 1; slot < table.DataFile().Header().NextRecordSlot; ++slot) {
        const std::vector<std::byte> record = read(slot);
        if (IsRecordDeleted(record)) continue;
        const TBlobRef ref = GetBlobRef(ConstFieldSlot(record, memo));
        if (ref.Reference != 0) chains.push_back({ref.Reference, ref.Stamp});
      }
      const auto report = testing::CheckBlobFile(table.BlobFile(), chains);
      EXPECT_TRUE(report.Ok()) << report.Text();
    }
    const TRepairResult again = Run(true);
    EXPECT_EQ(again.lines.size(), 2u) << Joined(again.lines);
  }

  static std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& l : lines) text += l + "\n";
    return text;
  }

  TDataSession& Session() { return *engine_.session; }
  TDataDirectory& Directory() { return *engine_.directory; }

 private:
  testing::TTempDir dir_;
  testing::TTestEngine engine_;
};

// The findings between the start and the end line.
inline std::vector<std::string> Findings(const TRepairResult& result) {
  if (result.lines.size() < 2) return {};
  return {result.lines.begin() + 1, result.lines.end() - 1};
}

}  // namespace tarvo::repair_test

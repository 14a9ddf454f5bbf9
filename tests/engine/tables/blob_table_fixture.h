// A table with blob fields for the cursor tests: ID (auto-increment, primary index), Name (text
// 40, secondary index ByName, not unique), Notes (memo), Pic (graphic), in a temporary folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/tables/data_cursor.h"
#include "tests/engine/records/record_tables.h"

namespace tarvo::testing {

inline constexpr std::uint16_t kBlobId = 1;
inline constexpr std::uint16_t kBlobName = 2;
inline constexpr std::uint16_t kBlobNotes = 3;
inline constexpr std::uint16_t kBlobPic = 4;

inline TTableDefinition BlobCursorDefinition(std::uint16_t block_size = 512) {
  TTableDefinition definition;
  definition.fields = {Field("ID", kTypeInt32, 0, kSubTypeAutoInc), Field("Name", kTypeText, 40),
                       Field("Notes", kTypeBlob, 0, kSubTypeMemo),
                       Field("Pic", kTypeBlob, 0, kSubTypeGraphic)};
  for (std::size_t i = 0; i < definition.fields.size(); ++i) {
    definition.fields[i].FieldNumber = static_cast<std::uint16_t>(i + 1);
  }
  definition.indexes = {IndexOn("", {kBlobId}, true), IndexOn("ByName", {kBlobName}, false)};
  definition.blob_block_size = block_size;
  return definition;
}

inline std::unique_ptr<TDataCursor> OpenCursor(TTestDatabase& db, const std::string& name, bool exclusive) {
  auto cursor = std::make_unique<TDataCursor>(db.session, *db.directory);
  TCursorOpenOptions options;
  options.table_name = name;
  options.exclusive = exclusive;
  cursor->Open(options);
  return cursor;
}

inline std::vector<std::byte> BytesOf(const std::string& text) {
  const auto* data = reinterpret_cast<const std::byte*>(text.data());
  return {data, data + text.size()};
}

inline std::vector<std::byte> RandomBytes(std::size_t size, std::mt19937& random) {
  std::vector<std::byte> bytes(size);
  for (auto& b : bytes) b = static_cast<std::byte>(random() & 0xFF);
  return bytes;
}

inline std::vector<std::byte> Pattern(std::size_t size, unsigned seed = 1) {
  std::mt19937 random(seed);
  return RandomBytes(size, random);
}

inline void PutName(TDataCursor& cursor, std::span<std::byte> record, const std::string& name) {
  PutText(FieldSlot(record, cursor.Descriptors()[kBlobName - 1]), name, 0, 0, 0);
}

inline std::string NameOf(TDataCursor& cursor, std::span<const std::byte> record) {
  return GetText(ConstFieldSlot(record, cursor.Descriptors()[kBlobName - 1])).value_or("");
}

}  // namespace tarvo::testing

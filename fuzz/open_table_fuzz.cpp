// Opens a table whose three files hold arbitrary bytes. Input layout: the data file's length and
// the index file's length (uint32 each, little-endian), then the data file, the index file, and
// the rest as the blob file. The files live in the in-memory store, so a run touches no disk.
// Whatever the bytes, opening either succeeds or raises an engine error: never a crash, a hang
// or an access outside a buffer. An opened table is then read through the cursor: its records in
// slot order and every blob value of each, so that damaged records and blob chains are met too,
// and opened exclusively, the records as a copy reads them along every index.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "errors/engine_error.h"
#include "engine/format/field_types.h"
#include "engine/maintenance/ordered_records.h"
#include "engine/tables/data_cursor.h"
#include "engine/tables/data_directory.h"
#include "engine/tables/data_session.h"
#include "support/file_handler.h"

namespace {

std::uint32_t ReadU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void PutFile(const std::string& name, std::span<const std::uint8_t> bytes) {
  tarvo::TFileHandler file(name, true);
  file.CreateNew();
  if (!bytes.empty()) file.WriteAt(0, std::as_bytes(bytes));
  file.Close();
}

// Reads records and their blob values; a damaged record or chain ends the walk with its error.
void ReadEverything(tarvo::TDataCursor& cursor) {
  constexpr int kMaxRecords = 4000;
  cursor.SelectSlotOrder();
  int records = 0;
  for (bool on = cursor.First(); on && records < kMaxRecords; on = cursor.Next(), ++records) {
    const auto& fields = cursor.Descriptors();
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].FieldType != tarvo::kTypeBlob) continue;
      try {
        (void)cursor.ReadBlobField(static_cast<std::uint16_t>(i + 1));
      } catch (const tarvo::ETarvoEngineError&) {
        // A damaged value of one record: the others are read still.
      }
    }
  }
}

// Reads the records as a copy does, in the order of each index and in slot order.
void ReadInIndexOrder(tarvo::TDataTable& table) {
  constexpr int kMaxRecords = 4000;
  std::vector<int> orders = {tarvo::kSlotOrder};
  if (!table.IndexFile().NoPrimaryIndex()) orders.push_back(tarvo::kPrimarySlot);
  for (int slot = 1; slot <= table.IndexFile().SecondaryIndexCount(); ++slot) orders.push_back(slot);
  for (const int order : orders) {
    try {
      tarvo::TOrderedRecords records(table, order);
      for (int n = 0; n < kMaxRecords && !records.Next().empty(); ++n) {
      }
    } catch (const tarvo::ETarvoEngineError&) {
      // A damaged index or record ends that walk.
    }
  }
}

void RemoveFile(const std::string& name) {
  tarvo::TFileHandler file(name, true);
  try {
    if (file.EntryExists()) file.Delete();
  } catch (const tarvo::ETarvoEngineError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  const std::size_t rest = size - 8;
  const std::size_t data_length = std::min<std::size_t>(ReadU32(data), rest);
  const std::size_t index_length = std::min<std::size_t>(ReadU32(data + 4), rest - data_length);
  const std::uint8_t* p = data + 8;
  PutFile("FUZZ.DAT", {p, data_length});
  PutFile("FUZZ.IDX", {p + data_length, index_length});
  PutFile("FUZZ.BLB", {p + data_length + index_length, rest - data_length - index_length});

  tarvo::TDataSession session;
  session.FixedLockRetries = 0;
  tarvo::TDataDirectory* directory = session.GetDirectory("MEMORY", "");
  for (const bool exclusive : {false, true}) {
    tarvo::TDataCursor cursor(session, *directory);
    tarvo::TCursorOpenOptions options;
    options.table_name = "FUZZ";
    options.in_memory = true;
    options.exclusive = exclusive;
    try {
      cursor.Open(options);
      (void)cursor.LastAutoIncrement();
      ReadEverything(cursor);
      if (exclusive) ReadInIndexOrder(cursor.Table());
      cursor.Close();
    } catch (const tarvo::ETarvoEngineError&) {
    }
  }
  (void)session.ReleaseDirectory(directory);
  for (const char* name : {"FUZZ.DAT", "FUZZ.IDX", "FUZZ.BLB"}) RemoveFile(name);
  return 0;
}

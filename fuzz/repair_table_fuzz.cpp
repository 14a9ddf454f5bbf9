// Damages a small valid table (blobs, a primary and two secondary indexes, deleted records) as
// the input says and repairs it. Input: records of 7 bytes: file (0 data, 1 index, 2 blob, 3 cut a
// file to the offset), offset (uint32, taken modulo the file's length), operation (0 set byte,
// 1 xor byte, 2 set 32-bit word), value. The files live in the in-memory store; the table is
// made once and copied for each input.
// Whatever the damage: no crash, no hang; and when the repair ran to its end without a finding it
// cannot fix, the table opens normally and a verification reports only its start and end lines.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "errors/engine_error.h"
#include "engine/blob/blob_chain.h"
#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/maintenance/repair.h"
#include "engine/tables/data_cursor.h"
#include "engine/tables/data_directory.h"
#include "engine/tables/data_session.h"
#include "fuzz/fuzz_definitions.h"
#include "support/file_handler.h"

namespace tarvo::fuzz {

namespace {

void MakeTable(TDataSession& session, TDataDirectory& directory) {
  TTableDefinition def;
  def.fields = Numbered({Field("ID", kTypeInt32, 0, kSubTypeAutoInc), Field("Name", kTypeText, 12),
                         Field("Code", kTypeInt32), Field("Memo", kTypeBlob, 0, kSubTypeMemo)});
  def.indexes = {Index("", 1, true), Index("ByName", 2, false), Index("ByCode", 3, true)};
  def.indexes[1].case_insensitive = 1;
  def.blob_block_size = 64;
  directory.CreateTable("FZ", def, true);
  TDataCursor cursor(session, directory);
  TCursorOpenOptions open;
  open.table_name = "FZ";
  open.exclusive = true;
  open.in_memory = true;
  cursor.Open(open);
  const auto& fields = cursor.Descriptors();
  for (int i = 0; i < 8; ++i) {
    std::vector<std::byte> record = cursor.NewRecordBuffer();
    PutText(FieldSlot(record, fields[1]), "N" + std::to_string(i % 5), 0, 0, 0);
    PutInt32(FieldSlot(record, fields[2]), i * 7);
    if (i % 3 != 1) {
      const std::int32_t stamp = cursor.Table().DataFile().NextBlobStamp();
      const std::vector<std::byte> value(static_cast<std::size_t>(20 + i * 23), std::byte{0x41});
      PutBlobRef(FieldSlot(record, fields[3]),
                 {StoreBlobValue(cursor.Table().BlobFile(), 0, value, stamp), stamp});
    }
    cursor.AddRecord(record, false);
  }
  for (const std::int32_t slot : {3, 6}) {
    if (!cursor.GoToSlot(slot)) continue;
    const std::vector<std::byte> record = cursor.CurrentRecord();
    cursor.DeleteRecord(record, false);  // the memo stays behind for the repair to free
  }
  cursor.Close();
}

void Damage(const char* name, std::uint32_t offset, std::uint8_t operation, std::uint8_t value, bool cut) {
  TFileHandler file(name, true);
  file.Open();
  const std::int64_t size = file.GetSize();
  if (size > 0) {
    const std::int64_t at = static_cast<std::int64_t>(offset % static_cast<std::uint64_t>(size));
    if (cut) {
      file.WriteAt(at, {});
    } else {
      std::byte bytes[4] = {};
      const std::size_t n = operation == 2 ? 4 : 1;
      (void)file.ReadAt(at, std::span<std::byte>(bytes, n), true);
      if (operation == 0) bytes[0] = std::byte{value};
      if (operation == 1) bytes[0] ^= std::byte{value};
      if (operation == 2) std::memset(bytes, value, 4);
      file.WriteAt(at, std::span<const std::byte>(bytes, n));
    }
  }
  file.Close();
}

std::vector<std::byte> ReadFile(const char* name) {
  TFileHandler file(name, true);
  file.Open();
  std::vector<std::byte> bytes(static_cast<std::size_t>(file.GetSize()));
  (void)file.ReadAt(0, bytes, false);
  file.Close();
  return bytes;
}

void WriteFile(const char* name, const std::vector<std::byte>& bytes) {
  TFileHandler file(name, true);
  file.CreateNew();
  if (!bytes.empty()) file.WriteAt(0, bytes);
  file.Close();
}

void RemoveFiles() {
  for (const char* name : {"FZ.DAT", "FZ.IDX", "FZ.BLB"}) {
    TFileHandler file(name, true);
    try {
      if (file.EntryExists()) file.Delete();
    } catch (const ETarvoEngineError&) {
    }
  }
}

std::vector<std::string> Run(TDataSession& session, TDataDirectory& directory, bool verify_only) {
  std::vector<std::string> lines;
  TDataCursor cursor(session, directory);
  TCursorOpenOptions open;
  open.table_name = "FZ";
  open.exclusive = true;
  open.in_memory = true;
  TRepairCallbacks callbacks;
  callbacks.log = [&](const std::string& m) { lines.push_back(m); };
  RepairTable(cursor, open, {verify_only, false}, callbacks);
  return lines;
}

}  // namespace

void RepairOneInput(const std::uint8_t* data, std::size_t size) {
  RemoveFiles();
  TDataSession session;
  session.FixedLockRetries = 0;
  TDataDirectory* directory = session.GetDirectory("MEMORY", "");
  // The table is made once; every input starts from a copy of its three files. That is half the
  // time of a run saved, and every input meets the same bytes.
  static const std::vector<std::vector<std::byte>> sound = [&] {
    MakeTable(session, *directory);
    return std::vector<std::vector<std::byte>>{ReadFile("FZ.DAT"), ReadFile("FZ.IDX"), ReadFile("FZ.BLB")};
  }();
  WriteFile("FZ.DAT", sound[0]);
  WriteFile("FZ.IDX", sound[1]);
  WriteFile("FZ.BLB", sound[2]);
  for (std::size_t i = 0; i + 7 <= size && i < 7 * 16; i += 7) {
    const std::uint8_t which = data[i] % 4;
    const std::uint32_t offset =
        static_cast<std::uint32_t>(data[i + 1]) | static_cast<std::uint32_t>(data[i + 2]) << 8 |
        static_cast<std::uint32_t>(data[i + 3]) << 16 | static_cast<std::uint32_t>(data[i + 4]) << 24;
    const char* names[] = {"FZ.DAT", "FZ.IDX", "FZ.BLB"};
    const bool cut = which == 3;
    Damage(names[cut ? data[i + 6] % 3 : which], offset, data[i + 5] % 3, data[i + 6], cut);
  }
  std::vector<std::string> lines;
  try {
    lines = Run(session, *directory, false);
  } catch (const ETarvoEngineError&) {
    RemoveFiles();
    return;  // damage the operation cannot get past (a lost password, a cut header, ...)
  }
  bool unfixable = false;
  for (const std::string& line : lines) {
    if (line.find("cannot be fixed") != std::string::npos) unfixable = true;
  }
  if (!unfixable) {
    try {
      TDataCursor cursor(session, *directory);
      TCursorOpenOptions open;
      open.table_name = "FZ";
      open.in_memory = true;
      cursor.Open(open);
      cursor.Close();
    } catch (const ETarvoEngineError& e) {
      // A locale this system cannot serve is no damage a repair can mend.
      if (EngineCode(e) != kLocaleUnavailable) {
        for (const std::string& line : lines) std::fprintf(stderr, "repair: %s\n", line.c_str());
        std::fprintf(stderr, "open: %s\n", e.what());
        std::abort();
      }
      unfixable = true;
    }
  }
  if (!unfixable) {
    const std::vector<std::string> findings = Run(session, *directory, true);
    if (findings.size() != 2) {
      // What the repair left behind, for whoever reads the crash report.
      for (const std::string& line : lines) std::fprintf(stderr, "repair: %s\n", line.c_str());
      for (const std::string& line : findings) std::fprintf(stderr, "verify: %s\n", line.c_str());
      std::abort();
    }
  }
  (void)session.ReleaseDirectory(directory);
  RemoveFiles();
}

}  // namespace tarvo::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tarvo::fuzz::RepairOneInput(data, size);
  return 0;
}

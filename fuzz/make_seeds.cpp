// Writes the seed inputs of the fuzz targets: make_seeds OUT FIXTURES writes OUT/open_table_fuzz
// and OUT/repair_table_fuzz. From the repository root, after a build without TARVO_FUZZ:
//   build/dev/fuzz/make_seeds fuzz/corpus tests/fixtures
// The output is the same byte for byte on every run.
//
// open_table_fuzz seeds are whole tables: small copies of the fixture tables (their definitions
// and first records: every field type, descending and compressed indexes, no primary index, a
// 1024-byte blob block), small generated tables (empty, encrypted, a tree of several levels), and
// damaged variants of them: cut files, header fields out of range, a deleted-record chain into
// live records, lost and misplaced index roots, cycles in index pages and in blob chains.
// repair_table_fuzz seeds are lists of damage operations on the target's own table.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "errors/engine_error.h"
#include "engine/blob/blob_header.h"
#include "engine/blob/block.h"
#include "engine/format/data_header.h"
#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/format/index_header.h"
#include "engine/index/page.h"
#include "engine/maintenance/optimize.h"
#include "engine/tables/data_cursor.h"
#include "engine/tables/data_directory.h"
#include "engine/tables/data_session.h"
#include "engine/tables/data_table.h"
#include "fuzz/fuzz_definitions.h"
#include "support/file_handler.h"

namespace tarvo::fuzz {
namespace {

namespace fs = std::filesystem;
using TBytes = std::vector<std::uint8_t>;

struct TTableBytes {
  TBytes data;
  TBytes index;
  TBytes blob;
};

TBytes ReadMemoryFile(const std::string& name) {
  TFileHandler file(name, true);
  if (!file.EntryExists()) return {};
  file.Open();
  TBytes bytes(static_cast<std::size_t>(file.GetSize()));
  (void)file.ReadAt(0, std::as_writable_bytes(std::span(bytes)), false);
  file.Close();
  return bytes;
}

void DeleteMemoryTable(TDataDirectory& memory, const std::string& name) {
  if (memory.TableExists(name, true)) memory.DeleteTable(name, true);
}

TTableBytes TakeMemoryTable(TDataDirectory& memory, const std::string& name) {
  TTableBytes table{ReadMemoryFile(name + ".DAT"), ReadMemoryFile(name + ".IDX"),
                    ReadMemoryFile(name + ".BLB")};
  DeleteMemoryTable(memory, name);
  return table;
}

std::uint32_t GetU32(const TBytes& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
         static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

std::uint16_t GetU16(const TBytes& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

void PutU32(TBytes& b, std::size_t at, std::uint32_t value) {
  if (at + 4 > b.size()) return;
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void PutU16(TBytes& b, std::size_t at, std::uint16_t value) {
  if (at + 2 > b.size()) return;
  b[at] = static_cast<std::uint8_t>(value);
  b[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

// Copies the first `records` records of a table on disk into an in-memory table `name`.
void CopyFixture(TDataSession& session, TDataDirectory& memory, const fs::path& folder,
                 const std::string& table, const std::string& name, int records) {
  TDataDirectory* source_dir = session.GetDirectory("", folder.string() + "/");
  {
    TDataCursor source(session, *source_dir);
    TCursorOpenOptions open;
    open.table_name = table;
    open.read_only = true;
    source.Open(open);
    TTableDefinition definition = DefinitionOf(source.Table());
    memory.CreateTable(name, definition, true);
    TDataCursor target(session, memory);
    TCursorOpenOptions create;
    create.table_name = name;
    create.in_memory = true;
    create.exclusive = true;
    target.Open(create);
    target.KeepSuppliedAutoIncrement = true;
    source.SelectSlotOrder();
    const auto& fields = source.Descriptors();
    int copied = 0;
    for (bool on = source.First(); on && copied < records; on = source.Next(), ++copied) {
      std::vector<std::byte> record = source.CurrentRecord();
      std::vector<std::pair<std::uint16_t, std::vector<std::byte>>> blobs;
      for (std::size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].FieldType != kTypeBlob) continue;
        const auto number = static_cast<std::uint16_t>(i + 1);
        blobs.emplace_back(number, source.ReadBlobField(number));
        PutBlobRef(FieldSlot(record, fields[i]), {});
      }
      for (const auto& [number, value] : blobs) target.SetBlobField(record, number, value);
      target.AddRecord(record, false);
    }
    target.Close();
    source.Close();
  }
  (void)session.ReleaseDirectory(source_dir);
}

// ID autoinc (primary), Name text, Code int (unique), Memo; `records` records, every third
// without a memo, every fifth deleted.
void MakeTable(TDataSession& session, TDataDirectory& memory, const std::string& name, int records,
               bool encrypted, std::uint8_t name_size, std::size_t indexes = 3,
               std::uint8_t compression = 3) {
  TTableDefinition def;
  def.fields = Numbered({Field("ID", kTypeInt32, 0, kSubTypeAutoInc), Field("Name", kTypeText, name_size),
                         Field("Code", kTypeInt32), Field("Memo", kTypeBlob, 0, kSubTypeMemo)});
  def.indexes = {Index("", 1, true), Index("ByName", 2, false), Index("ByCode", 3, true)};
  def.indexes[1].case_insensitive = 1;
  def.indexes[1].compression = compression;
  def.indexes.resize(indexes);
  def.blob_block_size = 64;
  def.encrypted = encrypted;
  def.password = encrypted ? "seed" : "";
  memory.CreateTable(name, def, true);
  session.AddPassword("seed");
  TDataCursor cursor(session, memory);
  TCursorOpenOptions open;
  open.table_name = name;
  open.exclusive = true;
  open.in_memory = true;
  cursor.Open(open);
  const auto& fields = cursor.Descriptors();
  for (int i = 0; i < records; ++i) {
    std::vector<std::byte> record = cursor.NewRecordBuffer();
    PutText(FieldSlot(record, fields[1]), "Name" + std::to_string(i * 7919 % records), 0, 0, 0);
    PutInt32(FieldSlot(record, fields[2]), i * 3);
    if (i % 3 != 1) {
      const std::vector<std::byte> memo(static_cast<std::size_t>(10 + i * 37 % 150), std::byte{'m'});
      cursor.SetBlobField(record, 4, memo);
    }
    cursor.AddRecord(record, false);
  }
  for (int slot = 5; slot <= records; slot += 5) {
    if (!cursor.GoToSlot(slot)) continue;
    const std::vector<std::byte> record = cursor.CurrentRecord();
    cursor.DeleteRecord(record, false);
  }
  cursor.Close();
  session.RemovePassword("seed");
}

void WriteFile(const fs::path& path, const TBytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void WriteOpenSeed(const fs::path& folder, const std::string& name, const TTableBytes& t) {
  TBytes input(8);
  PutU32(input, 0, static_cast<std::uint32_t>(t.data.size()));
  PutU32(input, 4, static_cast<std::uint32_t>(t.index.size()));
  input.insert(input.end(), t.data.begin(), t.data.end());
  input.insert(input.end(), t.index.begin(), t.index.end());
  input.insert(input.end(), t.blob.begin(), t.blob.end());
  WriteFile(folder / name, input);
}

// Index descriptor slot `slot` (0 primary) of an index file.
std::size_t SlotAt(int slot) {
  return kOffIdxSlots + static_cast<std::size_t>(slot) * kIndexDescriptorSize;
}

// The blob block size of a table, from its data header.
std::size_t BlockSize(const TTableBytes& t) {
  const std::uint16_t b = GetU16(t.data, kDataOffBlobBlockSize);
  return b == 0 ? 512 : b;
}

// The first block of a chain of at least two blocks, or 0.
std::size_t ChainHead(const TTableBytes& t) {
  const std::size_t b = BlockSize(t);
  for (std::size_t at = kFirstBlockOffset; at + b <= t.blob.size(); at += b) {
    if (GetU32(t.blob, at + kOffBlockPrev) == 0 && GetU32(t.blob, at + kOffBlockNext) != 0 &&
        GetU32(t.blob, at + kOffBlockTotalSize) != 0) {
      return at;
    }
  }
  return 0;
}

using TDamage = std::function<void(TTableBytes&)>;

void WriteDamaged(const fs::path& folder, const std::string& name, TTableBytes t, const TDamage& damage) {
  const TTableBytes sound = t;
  damage(t);
  if (t.data == sound.data && t.index == sound.index && t.blob == sound.blob) {
    throw std::runtime_error("the damage " + name + " found nothing to damage");
  }
  WriteOpenSeed(folder, name, t);
}

void MakeOpenSeeds(const fs::path& out, const fs::path& fixtures) {
  const fs::path folder = out / "open_table_fuzz";
  fs::create_directories(folder);
  TDataSession session;
  session.FixedLockRetries = 0;
  TDataDirectory* memory = session.GetDirectory("MEMORY", "");

  // Small copies of the fixture tables.
  CopyFixture(session, *memory, fixtures / "basic", "Kunden", "KUNDEN", 5);
  const TTableBytes kunden = TakeMemoryTable(*memory, "KUNDEN");
  CopyFixture(session, *memory, fixtures / "noprimary", "Journal", "JOURNAL", 8);
  const TTableBytes journal = TakeMemoryTable(*memory, "JOURNAL");
  CopyFixture(session, *memory, fixtures / "blocks1024", "Notizen", "NOTIZEN", 4);
  const TTableBytes notizen = TakeMemoryTable(*memory, "NOTIZEN");
  WriteOpenSeed(folder, "fixture_every_type", kunden);
  WriteOpenSeed(folder, "fixture_no_primary", journal);
  WriteOpenSeed(folder, "fixture_blocks1024", notizen);

  // Generated tables.
  MakeTable(session, *memory, "FULL", 12, false, 12);
  const TTableBytes full = TakeMemoryTable(*memory, "FULL");
  // The damaged variants start from a table with the primary index only: a smaller input.
  MakeTable(session, *memory, "SMALL", 10, false, 12, 1);
  const TTableBytes small = TakeMemoryTable(*memory, "SMALL");
  MakeTable(session, *memory, "EMPTY", 0, false, 12, 1);
  const TTableBytes empty = TakeMemoryTable(*memory, "EMPTY");
  MakeTable(session, *memory, "SECRET", 6, true, 12, 1);
  const TTableBytes secret = TakeMemoryTable(*memory, "SECRET");
  // Long names, uncompressed: the ByName tree gets a node level above its leaves.
  MakeTable(session, *memory, "DEEP", 100, false, 60, 2, 0);
  TTableBytes deep = TakeMemoryTable(*memory, "DEEP");
  deep.blob.clear();  // the memos do not matter here; without them the input stays small
  WriteOpenSeed(folder, "three_indexes_blobs", full);
  WriteOpenSeed(folder, "empty", empty);
  WriteOpenSeed(folder, "empty_no_blob_file", {empty.data, empty.index, {}});
  WriteOpenSeed(folder, "encrypted", secret);
  WriteOpenSeed(folder, "deep_tree_no_blobs", deep);

  // Cut files.
  WriteDamaged(folder, "cut_data_header", small, [](TTableBytes& t) { t.data.resize(kDataHeaderSize / 2); });
  WriteDamaged(folder, "cut_data_record", small, [](TTableBytes& t) { t.data.resize(t.data.size() - 7); });
  WriteDamaged(folder, "cut_index_page", small,
               [](TTableBytes& t) { t.index.resize(kIndexHeaderSize + 100); });
  WriteDamaged(folder, "cut_blob_header", small,
               [](TTableBytes& t) { t.blob.resize(kBlobHeaderSize + 100); });

  // Header fields out of range.
  WriteDamaged(folder, "header_record_size", small,
               [](TTableBytes& t) { PutU16(t.data, kDataOffRecordSize, 0xFFFF); });
  WriteDamaged(folder, "header_field_count", small,
               [](TTableBytes& t) { PutU16(t.data, kDataOffFieldCount, 900); });
  WriteDamaged(folder, "header_block_size", small,
               [](TTableBytes& t) { PutU16(t.data, kDataOffBlobBlockSize, 17); });

  // Chains: the deleted-record chain into live records and around, the blob free list into a value.
  WriteDamaged(folder, "deleted_chain_into_live", small,
               [](TTableBytes& t) { PutU32(t.data, kDataOffFirstFreeRecord, 1); });

  // Index roots: lost (as after a crash), off the page grid, past the end, the header itself.
  WriteDamaged(folder, "index_roots_lost", small, [](TTableBytes& t) {
    for (int slot = 0; slot < kIndexSlotCount; ++slot) PutU32(t.index, SlotAt(slot) + kOffDescRoot, 0);
    PutU32(t.index, kOffIdxActiveRecords, 0);
  });
  WriteDamaged(folder, "index_root_off_grid", small,
               [](TTableBytes& t) { PutU32(t.index, SlotAt(0) + kOffDescRoot, kIndexPageSize + 13); });
  WriteDamaged(folder, "index_root_past_end", small,
               [](TTableBytes& t) { PutU32(t.index, SlotAt(1) + kOffDescRoot, 64 * kIndexPageSize); });

  // Cycles in index pages: a node's first child is the node itself, a leaf's next page is itself.
  WriteDamaged(folder, "index_node_cycle", deep, [](TTableBytes& t) {
    const std::uint32_t root = GetU32(t.index, SlotAt(1) + kOffDescRoot);
    const std::uint16_t key_length = GetU16(t.index, SlotAt(1) + kOffDescKeyLength);
    if (root + kPageSize <= t.index.size() && t.index[root + kOffPageKind] == 0) {
      PutU32(t.index, root + kPageHeaderSize + key_length, root);
    }
  });
  WriteDamaged(folder, "index_leaf_cycle", deep, [](TTableBytes& t) {
    const std::uint32_t root = GetU32(t.index, SlotAt(1) + kOffDescRoot);
    const std::uint16_t key_length = GetU16(t.index, SlotAt(1) + kOffDescKeyLength);
    if (root + kPageSize > t.index.size()) return;
    const std::uint32_t leaf = GetU32(t.index, root + kPageHeaderSize + key_length);
    if (leaf + kPageSize <= t.index.size()) PutU32(t.index, leaf + kOffPageNext, leaf);
  });

  // Cycles in blob chains: a block naming itself, two blocks naming each other, a size too big.
  WriteDamaged(folder, "blob_chain_self", small, [](TTableBytes& t) {
    const std::size_t head = ChainHead(t);
    if (head != 0) PutU32(t.blob, head + kOffBlockNext, static_cast<std::uint32_t>(head));
  });
  WriteDamaged(folder, "blob_chain_loop", small, [](TTableBytes& t) {
    const std::size_t head = ChainHead(t);
    if (head == 0) return;
    const std::uint32_t second = GetU32(t.blob, head + kOffBlockNext);
    if (second + kBlockHeaderSize <= t.blob.size()) {
      PutU32(t.blob, second + kOffBlockNext, static_cast<std::uint32_t>(head));
    }
  });
  WriteDamaged(folder, "blob_total_size", small, [](TTableBytes& t) {
    const std::size_t head = ChainHead(t);
    if (head != 0) PutU32(t.blob, head + kOffBlockTotalSize, 0x7FFFFFFF);
  });
  (void)session.ReleaseDirectory(memory);
}

// One damage operation of repair_table_fuzz: file (0 data, 1 index, 2 blob, 3 cut), offset,
// operation (0 set byte, 1 xor byte, 2 set word), value (for a cut: the file, modulo 3).
void Op(TBytes& input, std::uint8_t file, std::uint32_t offset, std::uint8_t operation, std::uint8_t value) {
  input.push_back(file);
  for (int i = 0; i < 4; ++i) input.push_back(static_cast<std::uint8_t>(offset >> (8 * i)));
  input.push_back(operation);
  input.push_back(value);
}

void MakeRepairSeeds(const fs::path& out) {
  const fs::path folder = out / "repair_table_fuzz";
  fs::create_directories(folder);
  const auto seed = [&](const std::string& name, const std::function<void(TBytes&)>& ops) {
    TBytes input;
    ops(input);
    WriteFile(folder / name, input);
  };
  constexpr std::uint8_t kData = 0, kIndex = 1, kBlob = 2, kCut = 3;
  constexpr std::uint8_t kSet = 0, kXor = 1, kWord = 2;
  const std::uint32_t page1 = kIndexPageSize;
  seed("sound", [](TBytes&) {});
  seed("cut_data", [&](TBytes& i) { Op(i, kCut, kDataHeaderSize + 30, 0, 0); });
  seed("cut_index", [&](TBytes& i) { Op(i, kCut, page1 + 200, 0, 1); });
  seed("cut_blob", [&](TBytes& i) { Op(i, kCut, kBlobHeaderSize + 70, 0, 2); });
  seed("data_header_fields", [&](TBytes& i) {
    Op(i, kData, kDataOffFirstFreeRecord, kWord, 0x01);
    Op(i, kData, kDataOffNextRecordSlot, kWord, 0x7F);
    Op(i, kData, kDataOffLastAutoIncrement, kWord, 0xFF);
  });
  seed("record_bytes", [&](TBytes& i) {
    Op(i, kData, kDataHeaderSize + 100, kXor, 0xFF);
    Op(i, kData, kDataHeaderSize + 180, kSet, 0x00);
  });
  seed("index_roots", [&](TBytes& i) {
    Op(i, kIndex, static_cast<std::uint32_t>(SlotAt(0) + kOffDescRoot), kWord, 0);
    Op(i, kIndex, static_cast<std::uint32_t>(SlotAt(1) + kOffDescRoot + 1), kSet, 0x30);
  });
  seed("index_page_cycle", [&](TBytes& i) {
    Op(i, kIndex, page1 + kOffPageNext + 1, kSet, 0x10);
    Op(i, kIndex, page1 + kOffPageCount, kWord, 0xFF);
  });
  seed("index_slot_fields", [&](TBytes& i) {
    Op(i, kIndex, kOffIdxSecondaryCount, kSet, 30);
    Op(i, kIndex, static_cast<std::uint32_t>(SlotAt(2) + kOffDescKeyLength), kWord, 0x7F);
  });
  seed("blob_self_pointer",
       [&](TBytes& i) { Op(i, kBlob, kFirstBlockOffset + kOffBlockNext + 1, kSet, 0x02); });
  seed("blob_chain_stamps", [&](TBytes& i) {
    Op(i, kBlob, kFirstBlockOffset + 64 + kOffBlockStamp, kWord, 0x11);
    Op(i, kBlob, kFirstBlockOffset + 128 + kOffBlockTotalSize, kWord, 0x7F);
  });
  seed("blob_header", [&](TBytes& i) {
    Op(i, kBlob, kOffBlbFreeHead, kWord, 0x02);
    Op(i, kBlob, kOffBlbEndOffset + 3, kSet, 0x7F);
  });
  seed("everywhere", [&](TBytes& i) {
    Op(i, kData, kDataOffRecordSize, kXor, 0x01);
    Op(i, kIndex, page1 + kPageHeaderSize, kXor, 0x80);
    Op(i, kBlob, kFirstBlockOffset + kOffBlockPrev, kWord, 0x03);
    Op(i, kCut, 0xFFFFFFFF, 0, 1);
  });
}

}  // namespace
}  // namespace tarvo::fuzz

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: make_seeds OUT FIXTURES\n";
    return 2;
  }
  try {
    tarvo::fuzz::MakeOpenSeeds(argv[1], argv[2]);
    tarvo::fuzz::MakeRepairSeeds(argv[1]);
  } catch (const std::exception& e) {
    std::cerr << "make_seeds: " << e.what() << "\n";
    return 1;
  }
  return 0;
}

// Small tables with blob values, whole and with damaged chains, read through the cursor the way
// the open-table fuzz target reads them. With TARVO_WRITE_FUZZ_SEEDS set to a folder, the test
// also writes them there as seeds of that target (data and index file lengths, then the three
// files), which is how fuzz/corpus/open_table_fuzz/blobs_* were made.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "engine/format/byte_codec.h"
#include "tests/engine/tables/blob_table_fixture.h"
#include "tests/testing/blob_checker.h"
#include "tests/testing/engine_matchers.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

using namespace testing;

constexpr std::size_t kD = 494;
constexpr std::int64_t kBlock = 512;

struct TTableFiles {
  std::vector<std::byte> data;
  std::vector<std::byte> index;
  std::vector<std::byte> blob;
};

// Eight records; the first one's Notes are the file's first chain: blocks at 512, 1024, 1536.
TTableFiles BuildTable(const TTempDir& dir) {
  {
    TTestDatabase db(dir.Dir());
    db.directory->CreateTable("Seed", BlobCursorDefinition());
    auto cursor = OpenCursor(db, "Seed", true);
    const std::vector<std::size_t> sizes = {3 * kD, 0, 1, kD - 1, kD, kD + 1, 2 * kD, 7};
    for (std::size_t i = 0; i < sizes.size(); ++i) {
      auto record = cursor->NewRecordBuffer();
      PutName(*cursor, record, "r" + std::to_string(i));
      cursor->SetBlobField(record, kBlobNotes, Pattern(sizes[i], static_cast<unsigned>(i)));
      cursor->SetBlobField(record, kBlobPic,
                           Pattern(sizes[(i + 3) % sizes.size()], static_cast<unsigned>(i + 9)));
      (void)cursor->AddRecord(record, false);
    }
    cursor->Close();
  }
  return {ReadFileBytes(dir.File("Seed.DAT")), ReadFileBytes(dir.File("Seed.IDX")),
          ReadFileBytes(dir.File("Seed.BLB"))};
}

void WriteFiles(const TTableFiles& files, const TTempDir& dir) {
  for (const auto& [name, bytes] : {std::pair{"Seed.DAT", &files.data}, std::pair{"Seed.IDX", &files.index},
                                    std::pair{"Seed.BLB", &files.blob}}) {
    std::ofstream out(dir.File(name), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes->data()), static_cast<std::streamsize>(bytes->size()));
  }
}

void WriteSeed(const TTableFiles& files, const std::string& name) {
  const char* folder = std::getenv("TARVO_WRITE_FUZZ_SEEDS");
  if (folder == nullptr) return;
  std::vector<std::byte> seed(8);
  PutU32(seed, 0, static_cast<std::uint32_t>(files.data.size()));
  PutU32(seed, 4, static_cast<std::uint32_t>(files.index.size()));
  for (const auto* part : {&files.data, &files.index, &files.blob})
    seed.insert(seed.end(), part->begin(), part->end());
  ASSERT_LT(seed.size(), 60'000u);
  std::ofstream out(std::filesystem::path(folder) / name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(seed.data()), static_cast<std::streamsize>(seed.size()));
}

// The code each record's Notes and Pic give when read (0: the value came).
std::vector<int> ReadAll(const TTempDir& dir) {
  TTestDatabase db(dir.Dir());
  auto cursor = OpenCursor(db, "Seed", false);
  std::vector<int> codes;
  cursor->SelectSlotOrder();
  for (bool on = cursor->First(); on; on = cursor->Next()) {
    for (const std::uint16_t field : {kBlobNotes, kBlobPic}) {
      try {
        (void)cursor->ReadBlobField(field);
        codes.push_back(0);
      } catch (const ETarvoEngineError& e) {
        codes.push_back(EngineCode(e));
      }
    }
  }
  return codes;
}

TEST(BlobSeedTest, WholeAndDamagedChainsReadThroughTheCursor) {
  TTempDir built;
  const TTableFiles whole = BuildTable(built);
  ASSERT_FALSE(HasFatalFailure());
  std::vector<int> all_read(16, 0);
  {
    TTempDir dir;
    WriteFiles(whole, dir);
    EXPECT_EQ(all_read, ReadAll(dir));
    WriteSeed(whole, "blobs_whole");
  }
  // A block that names itself as the next one.
  {
    TTableFiles damaged = whole;
    PutI32(damaged.blob, kBlock + 4, static_cast<std::int32_t>(kBlock));
    TTempDir dir;
    WriteFiles(damaged, dir);
    std::vector<int> expected = all_read;
    expected[0] = kBlobBuffersCorrupt;
    EXPECT_EQ(expected, ReadAll(dir));
    WriteSeed(damaged, "blobs_chain_loop");
  }
  // The second block carries another stamp.
  {
    TTableFiles damaged = whole;
    PutI32(damaged.blob, 2 * kBlock + 10, 0x5A5A);
    TTempDir dir;
    WriteFiles(damaged, dir);
    std::vector<int> expected = all_read;
    expected[0] = kRecordChanged;
    EXPECT_EQ(expected, ReadAll(dir));
    WriteSeed(damaged, "blobs_foreign_stamp");
  }
  // A chain that ends early, and a blob file cut in the middle of its blocks.
  {
    TTableFiles damaged = whole;
    PutI32(damaged.blob, 2 * kBlock + 4, 0);
    TTempDir dir;
    WriteFiles(damaged, dir);
    std::vector<int> expected = all_read;
    expected[0] = kEndOfBlob;
    EXPECT_EQ(expected, ReadAll(dir));
    WriteSeed(damaged, "blobs_chain_short");
  }
  {
    TTableFiles damaged = whole;
    damaged.blob.resize(damaged.blob.size() / 2);
    TTempDir dir;
    WriteFiles(damaged, dir);
    bool refused = false;
    try {
      refused = ReadAll(dir) != all_read;
    } catch (const ETarvoEngineError&) {
      refused = true;
    }
    EXPECT_TRUE(refused);
    WriteSeed(damaged, "blobs_cut");
  }
}

}  // namespace
}  // namespace tarvo

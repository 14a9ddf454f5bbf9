// The data file's record cache: fetching, read-ahead, write-back in runs, eviction, trimming,
// enciphering, the table's slot limits and the deleted-record chain.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "engine/format/data_file.h"
#include "engine/format/encipher.h"
#include "engine/records/record_cache.h"
#include "tests/engine/records/record_tables.h"
#include "tests/testing/engine_matchers.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

using testing::PeopleDefinition;
using testing::TTempDir;
using testing::TTestDatabase;

class RecordCacheTest : public ::testing::Test {
 protected:
  TDataTable& Create(const TTableDefinition& definition, const std::string& name = "People") {
    db_.directory->CreateTable(name, definition);
    return Open(name);
  }
  TDataTable& Open(const std::string& name = "People") {
    TTableOpenRequest request;
    request.exclusive = true;
    table_ = &db_.directory->OpenTable(name, request);
    return *table_;
  }
  void Close() {
    ASSERT_EQ(db_.directory->CloseTable(table_, false), 0);
    table_ = nullptr;
  }
  // Appends `count` records whose byte 9 holds the slot number.
  void Append(int count) {
    TRecordCache& cache = table_->Records();
    for (int i = 0; i < count; ++i) {
      TRecordPin pin = cache.GetRecord(nullptr, cache.File().Header().NextRecordSlot, true, TReadAhead::kNone);
      pin->Clear(true);
      pin->Bytes()[9] = static_cast<std::byte>(pin->SlotNumber());
      pin->SetModified(true);
    }
  }
  std::byte Byte9(std::int32_t slot, TReadAhead read_ahead = TReadAhead::kNone) {
    TRecordPin pin = table_->Records().GetRecord(nullptr, slot, true, read_ahead);
    return pin->Bytes()[9];
  }

  TTempDir dir_;
  TTestDatabase db_{dir_.Dir()};
  TDataTable* table_ = nullptr;
};

TEST_F(RecordCacheTest, SlotZeroAndSlotsBeyondTheEndAreNotRecords) {
  TRecordCache& cache = Create(PeopleDefinition(true)).Records();
  Append(2);
  EXPECT_ENGINE_ERROR(kRecordBuffersCorrupt, cache.GetRecord(nullptr, 0, true, TReadAhead::kNone));
  EXPECT_ENGINE_ERROR(kRecordBuffersCorrupt, cache.GetRecord(nullptr, 5, true, TReadAhead::kNone));
}

TEST(RecordSlotLimitTest, TheHundredMillionthSlotIsTheLast) {
  EXPECT_TRUE(CanCreateSlot(1, 65535));
  EXPECT_TRUE(CanCreateSlot(100'000'000, 9));
  EXPECT_FALSE(CanCreateSlot(100'000'001, 9));
  // 100,000,000 slots of 20 bytes are exactly 2,000,000,000 bytes: still below 2,000,000,001.
  EXPECT_TRUE(CanCreateSlot(100'000'000, 20));
  EXPECT_FALSE(CanCreateSlot(100'000'000, 21));
  EXPECT_TRUE(CanCreateSlot(30'518, 65'535));
  EXPECT_FALSE(CanCreateSlot(30'519, 65'535));
  EXPECT_FALSE(CanCreateSlot(0, 9));
}

TEST_F(RecordCacheTest, CreatingTheLastSlotMovesTheHeaderAndTheNextOneIsRefused) {
  TTableDefinition definition = PeopleDefinition(false);
  definition.fields.resize(1);  // the identifier alone: 9-byte records stay below the byte limit
  TDataTable& table = Create(definition);
  TRecordCache& cache = table.Records();
  TDataFile& data = cache.File();
  ASSERT_EQ(data.RecordSize(), 9);
  // Only the header says so: the slot is created in the cache and never written.
  data.MutableHeader().NextRecordSlot = 100'000'000;
  {
    TRecordPin pin = cache.GetRecord(nullptr, 100'000'000, true, TReadAhead::kNone);
    EXPECT_EQ(pin->SlotNumber(), 100'000'000);
  }
  EXPECT_EQ(data.Header().NextRecordSlot, 100'000'001);
  EXPECT_ENGINE_ERROR(kTableFull, cache.GetRecord(nullptr, 100'000'001, true, TReadAhead::kNone));
  EXPECT_EQ(data.Header().NextRecordSlot, 100'000'001);
  table.DiscardAll(false, true);
}

TEST_F(RecordCacheTest, ReadAheadRefreshesOnlyRecordsThatNobodyPinsOrChanged) {
  TDataTable& table = Create(PeopleDefinition(true));
  Append(10);
  table.WriteAll(true, true);
  Close();
  TRecordCache& cache = Open().Records();
  TRecordPin pinned = cache.GetRecord(nullptr, 5, true, TReadAhead::kNone);
  pinned->Bytes()[9] = std::byte{0x55};  // in memory only, not marked modified
  {
    TRecordPin unpinned = cache.GetRecord(nullptr, 6, true, TReadAhead::kNone);
    unpinned->Bytes()[9] = std::byte{0x66};
  }
  const auto reads = cache.CacheCounters().read_operations;
  // Slot 3 is not cached: the read covers 3 to 10.
  EXPECT_EQ(Byte9(3, TReadAhead::kSlotOrder), std::byte{3});
  EXPECT_EQ(cache.CacheCounters().read_operations, reads + 1);
  EXPECT_EQ(pinned->Bytes()[9], std::byte{0x55}) << "a pinned record is left alone";
  EXPECT_EQ(Byte9(6), std::byte{6}) << "an unpinned clean record is refreshed";
  const auto hits = cache.CacheCounters().cache_hits;
  EXPECT_EQ(Byte9(10), std::byte{10});
  EXPECT_EQ(cache.CacheCounters().cache_hits, hits + 1) << "slot 10 came with the read-ahead";
  // Backwards, the read ends with the slot asked for.
  cache.ReleaseAll();
  EXPECT_EQ(pinned->Bytes()[9], std::byte{0x55}) << "a pinned record survives emptying the cache";
  TRecordPin last = cache.GetRecord(nullptr, 9, false, TReadAhead::kSlotOrder);
  EXPECT_NE(cache.CachedRecord(1), nullptr);
  EXPECT_EQ(cache.CachedRecord(10), nullptr);
}

TEST_F(RecordCacheTest, AReadNeverTakesMoreSlotsThanTheCacheHolds) {
  // Otherwise the end of a read evicts its beginning, and a walk reads every record many times.
  TDataTable& table = Create(PeopleDefinition(true));
  Append(200);
  table.WriteAll(true, true);
  Close();
  TRecordCache& cache = Open().Records();
  cache.SetCacheSize(16);
  ASSERT_GT(cache.RecordsPerRead(), 16);
  for (std::int32_t slot = 1; slot <= 200; ++slot) {
    ASSERT_EQ(Byte9(slot, TReadAhead::kSlotOrder), static_cast<std::byte>(slot));
  }
  EXPECT_EQ(cache.CacheCounters().records_read, 200);
  EXPECT_EQ(cache.CacheCounters().read_operations, 200 / 16 + 1);
}

TEST_F(RecordCacheTest, ModifiedRecordsAreWrittenInRunsOfConsecutiveSlots) {
  TDataTable& table = Create(PeopleDefinition(true));
  Append(10);
  table.WriteAll(true, true);
  TRecordCache& cache = table.Records();
  for (const std::int32_t slot : {2, 3, 4, 8}) {
    TRecordPin pin = cache.GetRecord(nullptr, slot, true, TReadAhead::kNone);
    pin->Bytes()[9] = std::byte{0x70};
    pin->SetModified(true);
  }
  const auto writes = cache.CacheCounters().write_operations;
  EXPECT_TRUE(cache.WriteModifiedRecords());
  EXPECT_EQ(cache.CacheCounters().write_operations, writes + 2);
  EXPECT_FALSE(cache.WriteModifiedRecords());
  Close();
  Open();
  EXPECT_EQ(Byte9(1), std::byte{1});
  for (const std::int32_t slot : {2, 3, 4, 8}) EXPECT_EQ(Byte9(slot), std::byte{0x70});
  EXPECT_EQ(Byte9(5), std::byte{5});
}

TEST_F(RecordCacheTest, AFullCacheWritesToMakeRoomAndRefusesWhenEverythingIsPinned) {
  TDataTable& table = Create(PeopleDefinition(true));
  TRecordCache& cache = table.Records();
  TDataFile& data = cache.File();
  cache.SetCacheSize(3);
  Append(7);  // each new slot is modified: room comes from writing the others
  EXPECT_LE(cache.CachedCount(), 3u);
  EXPECT_TRUE(table.DataWritten());
  table.WriteAll(true, true);
  {
    TRecordPin a = cache.GetRecord(nullptr, 1, true, TReadAhead::kNone);
    TRecordPin b = cache.GetRecord(nullptr, 2, true, TReadAhead::kNone);
    TRecordPin c = cache.GetRecord(nullptr, 3, true, TReadAhead::kNone);
    EXPECT_ENGINE_ERROR(kRecordBuffersCorrupt, cache.GetRecord(nullptr, 6, true, TReadAhead::kNone));
  }
  for (std::int32_t slot = 1; slot <= 7; ++slot) EXPECT_EQ(Byte9(slot), static_cast<std::byte>(slot));
  cache.SetCacheSize(0);
  EXPECT_EQ(cache.CacheSize(), DefaultCacheSize(data.RecordSize()));
  EXPECT_EQ(DefaultCacheSize(16), 8191);
  EXPECT_EQ(DefaultCacheSize(100), 1310);
  EXPECT_EQ(DefaultCacheSize(0), 8191);
}

TEST_F(RecordCacheTest, TrimDropsTheHighestCleanSlots) {
  TDataTable& table = Create(PeopleDefinition(true));
  TRecordCache& cache = table.Records();
  Append(8);
  table.WriteAll(false, true);
  cache.SetCacheSize(5);
  EXPECT_EQ(cache.CachedCount(), 8u);
  cache.Trim();
  EXPECT_EQ(cache.CachedCount(), 5u);
  EXPECT_NE(cache.CachedRecord(5), nullptr);
  EXPECT_EQ(cache.CachedRecord(6), nullptr);
  EXPECT_EQ(cache.CacheCapacity(), 5);
}

TEST_F(RecordCacheTest, RecordsOfAnEncryptedTableAreEncipheredInTheFileOnly) {
  TTableDefinition definition = PeopleDefinition(true);
  definition.encrypted = true;
  definition.password = "geheim";
  TDataTable& table = Create(definition);
  Append(3);
  table.WriteAll(true, true);
  const std::int64_t offset = table.DataFile().RecordOffset(2);
  const std::uint16_t size = table.DataFile().RecordSize();
  Close();
  std::ifstream file(dir_.File("People.DAT"), std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(file)), {});
  std::vector<std::byte> raw(size);
  for (std::size_t i = 0; i < size; ++i)
    raw[i] = static_cast<std::byte>(bytes[static_cast<std::size_t>(offset) + i]);
  Encipher(raw, kRecordKey);
  EXPECT_EQ(RecordSlotLink(raw), 2);
  EXPECT_EQ(raw[9], std::byte{2});
  Open();
  EXPECT_EQ(Byte9(2), std::byte{2});
}

TEST_F(RecordCacheTest, DeletedSlotsAreReusedLastFirstOnlyWithAPrimaryIndex) {
  for (const bool primary : {true, false}) {
    SCOPED_TRACE(primary ? "primary index" : "no primary index");
    const std::string name = primary ? "WithKey" : "WithoutKey";
    TDataTable& table = Create(PeopleDefinition(primary), name);
    TRecordCache& cache = table.Records();
    TDataFile& data = cache.File();
    Append(8);
    for (const std::int32_t slot : {3, 7}) {
      TRecordPin pin = cache.GetRecord(nullptr, slot, true, TReadAhead::kNone);
      cache.FreeSlot(*pin);
    }
    EXPECT_EQ(data.Header().FirstFreeRecord, 7);
    EXPECT_EQ(cache.CachedRecord(7)->Link(), primary ? 3 : 0);
    std::vector<std::int32_t> taken;
    for (int i = 0; i < 3; ++i) taken.push_back(cache.AllocateSlot(nullptr)->SlotNumber());
    if (primary) {
      EXPECT_EQ(taken, (std::vector<std::int32_t>{7, 3, 9}));
    } else {
      EXPECT_EQ(taken, (std::vector<std::int32_t>{9, 10, 11}));
    }
    EXPECT_EQ(data.Header().FirstFreeRecord, 0);
    Close();
  }
}

}  // namespace
}  // namespace tarvo

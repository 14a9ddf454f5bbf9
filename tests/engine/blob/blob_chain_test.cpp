// Blob values as chains: sizes at block boundaries, rewriting in place, freeing, stamps, damaged
// chains of every kind, a randomized comparison against an in-memory model, and the chains of
// the Kunden fixture written by an independent implementation.
#include "engine/blob/blob_chain.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <map>
#include <random>
#include <tuple>

#include "engine/format/field_values.h"
#include "engine/format/record_layout.h"
#include "tests/engine/blob/blob_table.h"
#include "tests/testing/blob_checker.h"
#include "tests/testing/engine_matchers.h"

namespace tarvo {
namespace {

using blob_test::Pattern;
using blob_test::TBlobTable;
using testing::TChainRef;

constexpr std::int32_t kB = 512;
constexpr std::size_t kD = 494;

std::int32_t Block(int k, std::int32_t block_size = kB) {
  return kFirstBlockOffset + k * block_size;
}

class BlobChainTest : public ::testing::Test {
 protected:
  TBlobFile& Blob() { return t_.Blob(); }
  void Patch(std::int32_t offset, auto change) {
    TBlockPin pin(Blob(), &Blob().GetBlockForWrite(offset, 1, false));
    change(*pin);
  }
  testing::TBlobCheckReport Check(std::initializer_list<TChainRef> chains) {
    const std::vector<TChainRef> list(chains);
    return testing::CheckBlobFile(Blob(), list);
  }
  TBlobTable t_;
};

TEST_F(BlobChainTest, ValuesOfDAndDPlusOneBytes) {
  const auto d = Pattern(kD, 1);
  const auto d1 = Pattern(kD + 1, 2);
  const std::int32_t a = StoreBlobValue(Blob(), 0, d, 1);
  const std::int32_t b = StoreBlobValue(Blob(), 0, d1, 2);
  EXPECT_EQ(Block(0), a);
  EXPECT_EQ(Block(1), b);
  EXPECT_EQ(Block(3), Blob().Header().end_offset);
  EXPECT_EQ(kD, Blob().CachedBlock(a)->UsedBytes());
  EXPECT_EQ(0, Blob().CachedBlock(a)->NextBlock());
  EXPECT_EQ(kD, Blob().CachedBlock(b)->UsedBytes());
  EXPECT_EQ(static_cast<std::int32_t>(kD + 1), Blob().CachedBlock(b)->TotalSize());
  EXPECT_EQ(1, Blob().CachedBlock(Block(2))->UsedBytes());
  EXPECT_EQ(0, Blob().CachedBlock(Block(2))->TotalSize());
  t_.Reopen();
  EXPECT_EQ(d, LoadBlobValue(Blob(), a, 1));
  EXPECT_EQ(d1, LoadBlobValue(Blob(), b, 2));
  EXPECT_EQ((std::vector<std::byte>{}), LoadBlobValue(Blob(), 0, 0));
  const auto report = Check({{a, 1}, {b, 2}});
  EXPECT_TRUE(report.Ok()) << report.Text();
}

// Values loaded one after another into one buffer: each comes out whole, whether the buffer
// grows for it or holds more than it needs from an earlier one.
TEST_F(BlobChainTest, ValuesLoadedIntoOneBufferComeOutWhole) {
  const auto small = Pattern(kD / 2, 3);
  const auto large = Pattern(5 * kD + 7, 4);
  const std::int32_t a = StoreBlobValue(Blob(), 0, small, 11);
  const std::int32_t b = StoreBlobValue(Blob(), 0, large, 12);
  TBlobValueBuffer buffer;
  for (const auto& [first, stamp, value] : {std::tuple{a, 11, &small}, std::tuple{b, 12, &large},
                                            std::tuple{a, 11, &small}, std::tuple{0, 0, &small}}) {
    const auto loaded = LoadBlobValue(Blob(), first, stamp, buffer);
    if (first == 0) {
      EXPECT_TRUE(loaded.empty());
    } else {
      EXPECT_TRUE(std::equal(loaded.begin(), loaded.end(), value->begin(), value->end()));
    }
  }
  EXPECT_ENGINE_ERROR(kRecordChanged, (void)LoadBlobValue(Blob(), b, 13, buffer));
}

TEST_F(BlobChainTest, AShorterValueIsWrittenInPlaceAndTheRestFreed) {
  const std::int32_t first = StoreBlobValue(Blob(), 0, Pattern(5 * kD, 3), 1);
  const auto shorter = Pattern(kD + 10, 4);
  EXPECT_EQ(first, StoreBlobValue(Blob(), first, shorter, 2));
  EXPECT_EQ(Block(5), Blob().Header().end_offset);
  EXPECT_EQ(Block(4), Blob().Header().free_head);  // freed in chain order: 2, 3, 4
  EXPECT_EQ(shorter, LoadBlobValue(Blob(), first, 2));
  const auto report = Check({{first, 2}});
  EXPECT_TRUE(report.Ok()) << report.Text();
  EXPECT_EQ(3, report.free_blocks);
}

TEST_F(BlobChainTest, ALongerValueTakesTheOldChainThenFreeBlocksThenNewOnes) {
  const std::int32_t a = StoreBlobValue(Blob(), 0, Pattern(2 * kD, 5), 1);
  const std::int32_t b = StoreBlobValue(Blob(), 0, Pattern(2 * kD, 6), 2);
  FreeBlobValue(Blob(), b, 2);
  const auto longer = Pattern(5 * kD, 7);
  EXPECT_EQ(a, StoreBlobValue(Blob(), a, longer, 3));
  std::vector<std::int32_t> chain;
  for (std::int32_t at = a; at != 0; at = Blob().CachedBlock(at)->NextBlock()) chain.push_back(at);
  EXPECT_EQ((std::vector<std::int32_t>{Block(0), Block(1), Block(3), Block(2), Block(4)}), chain);
  EXPECT_EQ(0, Blob().Header().free_head);
  const auto report = Check({{a, 3}});
  EXPECT_TRUE(report.Ok()) << report.Text();
  EXPECT_EQ(longer, report.values.at(a));
}

TEST_F(BlobChainTest, AnEmptyValueFreesTheWholeChain) {
  const std::int32_t first = StoreBlobValue(Blob(), 0, Pattern(3 * kD, 8), 1);
  EXPECT_EQ(0, StoreBlobValue(Blob(), first, {}, 2));
  const auto report = Check({});
  EXPECT_TRUE(report.Ok()) << report.Text();
  EXPECT_EQ(3, report.free_blocks);
  EXPECT_EQ(0, StoreBlobValue(Blob(), 0, {}, 3));  // nothing to free
}

TEST_F(BlobChainTest, EveryStoreStampsEveryBlockAndOldStampsNoLongerLoad) {
  const std::int32_t first = StoreBlobValue(Blob(), 0, Pattern(3 * kD, 9), 4);
  const auto again = Pattern(3 * kD, 10);
  EXPECT_EQ(first, StoreBlobValue(Blob(), first, again, 5));
  EXPECT_ENGINE_ERROR(kRecordChanged, (void)LoadBlobValue(Blob(), first, 4));
  EXPECT_EQ(again, LoadBlobValue(Blob(), first, 5));
  const auto report = Check({{first, 5}});  // the checker compares every block's stamp
  EXPECT_TRUE(report.Ok()) << report.Text();
}

TEST_F(BlobChainTest, ABlockWithAnotherStampFailsToLoad) {
  const std::int32_t first = StoreBlobValue(Blob(), 0, Pattern(3 * kD, 11), 6);
  Patch(Block(2), [](TBlock& b) { b.SetBlobStamp(7); });
  EXPECT_ENGINE_ERROR(kRecordChanged, (void)LoadBlobValue(Blob(), first, 6));
}

TEST_F(BlobChainTest, AChainShorterThanItsSizeFailsToLoad) {
  const std::int32_t first = StoreBlobValue(Blob(), 0, Pattern(3 * kD, 12), 6);
  Patch(Block(1), [](TBlock& b) { b.SetNextBlock(0); });
  EXPECT_ENGINE_ERROR(kEndOfBlob, (void)LoadBlobValue(Blob(), first, 6));
  Patch(Block(1), [](TBlock& b) { b.SetNextBlock(Block(2)); });
  Patch(Block(2), [](TBlock& b) { b.SetUsedBytes(3); });
  EXPECT_ENGINE_ERROR(kEndOfBlob, (void)LoadBlobValue(Blob(), first, 6));
}

TEST_F(BlobChainTest, SizesNoChainOfTheFileCanHoldFailWithoutAllocating) {
  const std::int32_t first = StoreBlobValue(Blob(), 0, Pattern(2 * kD, 13), 6);
  for (const std::int32_t size : {2000000000, static_cast<std::int32_t>(3 * kD), -5}) {
    SCOPED_TRACE(size);
    Patch(first, [&](TBlock& b) { b.SetTotalSize(size); });
    EXPECT_ENGINE_ERROR(kEndOfBlob, (void)LoadBlobValue(Blob(), first, 6));
  }
}

// Damaged links: each kind fails with 8963 on loading, storing over and freeing, and never
// loops. The chain is 0 -> 1 -> 2 -> 3 with a size that would let a loop run on.
TEST_F(BlobChainTest, DamagedLinksFailAndNeverLoop) {
  struct TDamage {
    const char* what;
    int block;
    std::int32_t next;
  };
  const TDamage damages[] = {
      {"names itself", 1, Block(1)},  {"back to the first", 2, Block(0)}, {"off the grid", 1, Block(2) + 7},
      {"past the end", 1, Block(60)}, {"into the header", 1, 100},        {"negative", 2, -512},
  };
  // Spare blocks, so that a runaway walk would find room to run in.
  (void)StoreBlobValue(Blob(), 0, Pattern(40 * kD, 14), 99);
  for (const TDamage& damage : damages) {
    SCOPED_TRACE(damage.what);
    Blob().MutableHeader().free_head = 0;
    const std::int32_t first = StoreBlobValue(Blob(), 0, Pattern(4 * kD, 15), 8);
    const int base = (first - kFirstBlockOffset) / kB;
    Patch(first, [](TBlock& b) { b.SetTotalSize(30 * kD); });
    const std::int32_t bad =
        damage.next >= kFirstBlockOffset && damage.next < Block(60) ? damage.next + base * kB : damage.next;
    Patch(Block(base + damage.block), [&](TBlock& b) { b.SetNextBlock(bad); });
    EXPECT_ENGINE_ERROR(kBlobBuffersCorrupt, (void)LoadBlobValue(Blob(), first, 8));
    EXPECT_ENGINE_ERROR(kBlobBuffersCorrupt, (void)StoreBlobValue(Blob(), first, Pattern(20 * kD, 16), 9));
    Blob().MutableHeader().free_head = 0;
    Patch(first, [](TBlock& b) { b.SetBlobStamp(8); });
    EXPECT_ENGINE_ERROR(kBlobBuffersCorrupt, FreeBlobValue(Blob(), first, 8));
  }
  Blob().MutableHeader().free_head = 0;
}

// A loop far down a long chain, past the blocks a walk keeps in place, is found as well.
TEST_F(BlobChainTest, ALoopDeepInALongChainFails) {
  const std::int32_t first = StoreBlobValue(Blob(), 0, Pattern(24 * kD, 18), 5);
  const int base = (first - kFirstBlockOffset) / kB;
  (void)StoreBlobValue(Blob(), 0, Pattern(40 * kD, 19), 6);  // room for a runaway walk
  Patch(first, [](TBlock& b) { b.SetTotalSize(60 * kD); });
  for (const int from : {20, 23}) {
    SCOPED_TRACE(from);
    Patch(Block(base + from), [&](TBlock& b) { b.SetNextBlock(Block(base + 17)); });
    EXPECT_ENGINE_ERROR(kBlobBuffersCorrupt, (void)LoadBlobValue(Blob(), first, 5));
  }
}

TEST_F(BlobChainTest, AFirstBlockThatNamesNoBlockFails) {
  (void)StoreBlobValue(Blob(), 0, Pattern(kD, 17), 1);
  for (const std::int32_t bad : {Block(1), Block(0) + 1, 5, -1024}) {
    SCOPED_TRACE(bad);
    EXPECT_ENGINE_ERROR(kBlobBuffersCorrupt, (void)LoadBlobValue(Blob(), bad, 1));
    EXPECT_ENGINE_ERROR(kBlobBuffersCorrupt, (void)StoreBlobValue(Blob(), bad, Pattern(3, 1), 2));
    EXPECT_ENGINE_ERROR(kBlobBuffersCorrupt, FreeBlobValue(Blob(), bad, 1));
  }
}

// Thousands of values of random sizes added, rewritten, shrunk, grown and freed, compared with a
// model; the cache is small so that eviction, read-ahead and run writes all take part.
class BlobChainRandomTest : public ::testing::TestWithParam<std::uint16_t> {};

TEST_P(BlobChainRandomTest, MatchesAModelAndKeepsEveryBlockAccountedFor) {
  const std::uint16_t block_size = GetParam();
  TBlobTable t(block_size);
  t.Blob().SetCacheCapacity(16);
  const std::size_t d = t.Blob().DataSize();
  struct TValue {
    std::int32_t first = 0;
    std::int32_t stamp = 0;
    std::vector<std::byte> bytes;
  };
  std::vector<TValue> values(120);
  std::mt19937 random(block_size);
  std::int32_t stamp = 0;
  const auto random_size = [&]() -> std::size_t {
    switch (random() % 8) {
      case 0: return 0;
      case 1: return 1;
      case 2: return d - 1;
      case 3: return d;
      case 4: return d + 1;
      case 5: return 2 * d;
      case 6: return random() % (12 * d);
      default: return random() % (40 * d);
    }
  };
  for (int step = 0; step < 3000; ++step) {
    TValue& v = values[random() % values.size()];
    const std::size_t size = random() % 6 == 0 ? 0 : random_size();
    v.bytes = Pattern(size, static_cast<unsigned>(step));
    v.stamp = ++stamp;
    v.first = StoreBlobValue(t.Blob(), v.first, v.bytes, v.stamp);
    ASSERT_EQ(v.bytes.empty(), v.first == 0);
    if (step % 500 == 499) {
      t.Reopen();
      t.Blob().SetCacheCapacity(16);
    } else if (step % 97 == 0) {
      t.Table().WriteAll(false, true);
      t.Table().DiscardAll(true, true);  // written first: the cache starts empty
    } else if (step % 41 == 0) {
      t.Table().WriteAll(true, false);
    }
  }
  std::vector<TChainRef> chains;
  for (const TValue& v : values) {
    ASSERT_EQ(v.bytes, LoadBlobValue(t.Blob(), v.first, v.stamp));
    chains.push_back({v.first, v.stamp});
  }
  auto report = testing::CheckBlobFile(t.Blob(), chains);
  ASSERT_TRUE(report.Ok()) << report.Text();
  for (const TValue& v : values) {
    if (v.first != 0) {
      EXPECT_EQ(v.bytes, report.values.at(v.first));
    }
  }
  // Values replaced by values of the same size need no new blocks.
  const std::int32_t end = t.Blob().Header().end_offset;
  for (TValue& v : values) {
    v.bytes = Pattern(v.bytes.size(), 7777);
    v.stamp = ++stamp;
    v.first = StoreBlobValue(t.Blob(), v.first, v.bytes, v.stamp);
  }
  EXPECT_EQ(end, t.Blob().Header().end_offset);
  t.Reopen();
  chains.clear();
  for (const TValue& v : values) {
    ASSERT_EQ(v.bytes, LoadBlobValue(t.Blob(), v.first, v.stamp));
    chains.push_back({v.first, v.stamp});
  }
  report = testing::CheckBlobFile(t.Blob(), chains);
  EXPECT_TRUE(report.Ok()) << report.Text();
  EXPECT_EQ(end, report.file_size);
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, BlobChainRandomTest, ::testing::Values(512, 64, 100, 4096));

std::vector<std::byte> Base64(const std::string& text) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<std::byte> out;
  unsigned buffer = 0;
  int bits = 0;
  for (const char c : text) {
    if (c == '=') break;
    buffer = buffer << 6 | static_cast<unsigned>(kAlphabet.find(c));
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::byte>((buffer >> bits) & 0xFF));
    }
  }
  return out;
}

std::vector<std::byte> Expected(const nlohmann::json& row, const std::string& field) {
  if (!row.contains(field) || row[field].is_null()) return {};
  if (row[field].is_string()) {
    const std::string text = row[field].get<std::string>();
    std::vector<std::byte> out(text.size());
    std::transform(text.begin(), text.end(), out.begin(), [](char c) { return static_cast<std::byte>(c); });
    return out;
  }
  return Base64(row[field]["b64"].get<std::string>());
}

TEST(BlobChainFixtureTest, EveryChainOfKundenLoadsAsItsRow) {
  testing::TTempDir dir;
  testing::CopyFixture("basic", dir.Path());
  std::vector<nlohmann::json> rows;
  std::ifstream in(testing::FixturesDir() / "basic" / "Kunden.rows.jsonl");
  for (std::string line; std::getline(in, line);) rows.push_back(nlohmann::json::parse(line));

  TDataSession session;
  TDataDirectory* directory = session.GetDirectory("kunden", dir.Dir());
  {
    TDataCursor cursor(session, *directory);
    TCursorOpenOptions options;
    options.table_name = "Kunden";
    options.exclusive = true;
    cursor.Open(options);
    TDataFile& data = cursor.Table().DataFile();
    TBlobFile& blob = cursor.Table().BlobFile();
    const auto file = testing::ReadFileBytes(dir.Path() / "Kunden.DAT");
    const auto& fields = cursor.Descriptors();
    const auto by_name = [&](const std::string& name) {
      return *std::find_if(fields.begin(), fields.end(),
                           [&](const TFieldDescriptor& f) { return f.FieldName == name; });
    };
    const TFieldDescriptor notes = by_name("Notes");
    const TFieldDescriptor pic = by_name("Pic");
    std::vector<TChainRef> chains;
    int loaded = 0;
    for (std::int32_t n = 1; n <= data.RecordSlotCount(); ++n) {
      const auto at =
          static_cast<std::size_t>(data.RecordAreaOffset() + std::int64_t{n - 1} * data.RecordSize());
      ASSERT_LE(at + data.RecordSize(), file.size());
      const TConstBytes record(file.data() + at, data.RecordSize());
      if (IsRecordDeleted(record)) continue;
      const std::int32_t id = RecordAutoIncrement(record);
      ASSERT_GE(id, 1);
      ASSERT_LE(static_cast<std::size_t>(id), rows.size());
      const nlohmann::json& row = rows[static_cast<std::size_t>(id - 1)];
      for (const TFieldDescriptor& field : {notes, pic}) {
        SCOPED_TRACE(field.FieldName + " of record " + std::to_string(n));
        const TBlobRef ref = GetBlobRef(ConstFieldSlot(record, field));
        EXPECT_EQ(Expected(row, field.FieldName), LoadBlobValue(blob, ref.Reference, ref.Stamp));
        chains.push_back({ref.Reference, ref.Stamp});
        if (ref.Reference != 0) ++loaded;
      }
    }
    EXPECT_GT(loaded, 300);
    // Every block of the fixture is in a live record's chain or on its free list.
    const auto report = testing::CheckBlobBytes(testing::ReadFileBytes(dir.Path() / "Kunden.BLB"),
                                                blob.BlockSize(), false, chains);
    EXPECT_TRUE(report.Ok()) << report.Text();
  }
  (void)session.ReleaseDirectory(directory);
}

}  // namespace
}  // namespace tarvo

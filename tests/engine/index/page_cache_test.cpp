// The page cache of the index file: appending and reusing pages, eviction of the least recently
// used clean page, pins, write-back in runs, dropping, trimming and enciphered page images.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "errors/engine_error.h"
#include "engine/format/encipher.h"
#include "engine/index/index_file.h"
#include "engine/tables/data_table.h"
#include "tests/engine/index/index_test_table.h"
#include "tests/testing/engine_matchers.h"
#include "tests/testing/tree_checker.h"

namespace tarvo {
namespace {

using testing::Field;
using testing::MakeIndex;
using testing::Numbered;
using testing::TIndexTestTable;

constexpr int kSlot = 1;

std::vector<TFieldDescriptor> Fields() {
  return Numbered({Field("ID", kTypeInt32, 0, kSubTypeAutoInc), Field("Name", kTypeText, 40)});
}

std::vector<TIndexDescriptor> Indexes() {
  return {MakeIndex({"", {1}, {}, true}), MakeIndex({"ByName", {2}, {}, false, false, false, 0})};
}

std::vector<std::byte> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> chars((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::byte> out(chars.size());
  std::memcpy(out.data(), chars.data(), chars.size());
  return out;
}

class TPageCacheTest : public ::testing::Test {
 protected:
  TPageCacheTest() : table_(Fields(), Indexes()) {}
  TIndexFile& File() { return table_.File(); }
  // Appends `n` pages to the index, each a leaf holding one entry so that it can be written.
  std::vector<std::int32_t> Append(int n) {
    std::vector<std::int32_t> offsets;
    for (int i = 0; i < n; ++i) {
      TPagePin page = File().AllocatePage(kSlot);
      const TKey key(File().Header().slots[kSlot].key_length, std::byte{static_cast<unsigned char>(i + 1)});
      page->InsertEntry(0, key, i + 1);
      offsets.push_back(page->Offset());
    }
    return offsets;
  }
  TIndexTestTable table_;
};

TEST_F(TPageCacheTest, NewPagesAppendAtTheEndOfThePageArea) {
  EXPECT_EQ(File().Header().next_page, 4096);
  EXPECT_EQ(Append(1), std::vector<std::int32_t>{4096});
  EXPECT_EQ(File().Header().next_page, 8192);
  EXPECT_ENGINE_ERROR(kIndexBuffersCorrupt, (void)File().GetPage(kSlot, 0));
  EXPECT_ENGINE_ERROR(kIndexBuffersCorrupt, (void)File().GetPage(kSlot, 100));
  EXPECT_ENGINE_ERROR(kIndexBuffersCorrupt, (void)File().GetPage(kSlot, 8192 + 4096));
  File().MutableHeader().next_page = (kMaxIndexFileEnd / 4096 + 1) * 4096;
  EXPECT_ENGINE_ERROR(kTableFull, (void)File().AllocatePage(kSlot));
  File().MutableHeader().next_page = 8192;
}

TEST_F(TPageCacheTest, AFreedPageIsReusedBeforeTheFileGrows) {
  const std::vector<std::int32_t> offsets = Append(3);
  {
    TPagePin page = File().GetPage(kSlot, offsets[1]);
    File().FreePage(*page);
  }
  EXPECT_EQ(File().Header().slots[kSlot].free_head, offsets[1]);
  TPagePin again = File().AllocatePage(kSlot);
  EXPECT_EQ(again->Offset(), offsets[1]);
  EXPECT_EQ(again->EntryCount(), 0);
  EXPECT_FALSE(again->Free());
  EXPECT_EQ(File().Header().slots[kSlot].free_head, 0);
  EXPECT_EQ(File().Header().next_page, offsets.back() + 4096);
}

TEST_F(TPageCacheTest, FlushWritesRunsOfAdjacentPagesAndPagesReadBackExactly) {
  const std::vector<std::int32_t> offsets = Append(6);
  File().FlushPages();
  EXPECT_EQ(File().CacheStats().write_runs, 1);
  // Two separate changes: two runs.
  File().GetPage(kSlot, offsets[1])->SetRecordNumber(1, 77);
  File().GetPage(kSlot, offsets[4])->SetRecordNumber(1, 78);
  File().FlushPages();
  EXPECT_EQ(File().CacheStats().write_runs, 3);
  File().FlushPages();  // nothing dirty: nothing written
  EXPECT_EQ(File().CacheStats().write_runs, 3);
  // A pinned page waits for the next flush.
  {
    TPagePin pinned = File().GetPage(kSlot, offsets[2]);
    pinned->SetRecordNumber(1, 79);
    File().FlushPages();
    EXPECT_TRUE(pinned->Modified());
  }
  File().FlushPages();
  EXPECT_EQ(File().CacheStats().write_runs, 4);
  // The bytes on disk are the page images.
  const std::vector<std::byte> bytes = FileBytes(table_.IndexPath());
  ASSERT_GE(bytes.size(), static_cast<std::size_t>(offsets.back() + 4096));
  TPage page(PageFormatOf(File().Header().slots[kSlot], kSlot));
  ASSERT_EQ(page.Decode(std::span<const std::byte, kPageSize>(bytes.data() + offsets[2], kPageSize)), 0);
  EXPECT_EQ(page.RecordNumber(1), 79);
  File().DropPages();
  EXPECT_EQ(File().GetPage(kSlot, offsets[4])->RecordNumber(1), 78);
}

TEST_F(TPageCacheTest, TheLeastRecentlyUsedCleanPageMakesRoom) {
  File().SetPageCacheCapacity(4);
  const std::vector<std::int32_t> offsets = Append(4);
  EXPECT_EQ(File().CachedPageCount(kSlot), 4);
  File().FlushPages();
  (void)File().GetPage(kSlot, offsets[0]);  // now the most recent
  Append(1);                                // takes the place of offsets[1]
  EXPECT_EQ(File().CachedPageCount(kSlot), 4);
  const std::int64_t reads = File().CacheStats().reads_done;
  (void)File().GetPage(kSlot, offsets[0]);
  EXPECT_EQ(File().CacheStats().reads_done, reads);
  (void)File().GetPage(kSlot, offsets[1]);
  EXPECT_EQ(File().CacheStats().reads_done, reads + 1);
  // Dirty pages are written to make room outside transactions.
  Append(8);
  EXPECT_EQ(File().CachedPageCount(kSlot), 4);
}

TEST_F(TPageCacheTest, InnerNodesStayCachedBesideTheLeaves) {
  // Three nodes and eight leaves on disk; a capacity of two leaves.
  const std::vector<std::int32_t> offsets = Append(11);
  for (int i = 0; i < 3; ++i) File().GetPage(kSlot, offsets[i])->SetKind(TPageKind::kNode);
  File().FlushPages();
  File().DropPages();
  File().SetPageCacheCapacity(2);
  for (int round = 0; round < 2; ++round) {
    for (int leaf = 3; leaf < 11; ++leaf) {
      const std::int64_t reads = File().CacheStats().reads_done;
      for (int node = 0; node < 3; ++node) (void)File().GetPage(kSlot, offsets[node]);
      (void)File().GetPage(kSlot, offsets[leaf]);
      // A descent after the first reads only its leaf.
      EXPECT_EQ(File().CacheStats().reads_done - reads, round == 0 && leaf == 3 ? 4 : 1);
    }
  }
  EXPECT_EQ(File().CachedPageCount(kSlot), 3 + 2);
  File().TrimCache();
  EXPECT_EQ(File().CachedPageCount(kSlot), 3 + 2);
}

TEST_F(TPageCacheTest, PinnedPagesAreNeverTakenAndAFullCacheFails) {
  File().SetPageCacheCapacity(2);
  std::vector<TPagePin> pins;
  pins.push_back(File().AllocatePage(kSlot));
  pins.push_back(File().AllocatePage(kSlot));
  EXPECT_ENGINE_ERROR(kIndexBuffersCorrupt, (void)File().AllocatePage(kSlot));
  EXPECT_EQ(pins[0]->PinCount(), 1);
  pins.clear();
  EXPECT_NO_THROW((void)File().AllocatePage(kSlot));
  // Inside a transaction nothing is written: the slot's cache grows instead.
  table_.Table().StartTransaction();
  pins.push_back(File().AllocatePage(kSlot));
  pins.push_back(File().AllocatePage(kSlot));
  pins.push_back(File().AllocatePage(kSlot));
  EXPECT_EQ(File().SlotCapacity(kSlot), 2 + kPageCacheGrowth);
  const std::int64_t runs = File().CacheStats().write_runs;
  pins.clear();
  table_.Table().Rollback();
  EXPECT_EQ(File().CacheStats().write_runs, runs);
  File().TrimCache();
  EXPECT_EQ(File().SlotCapacity(kSlot), 2);
}

TEST_F(TPageCacheTest, DropAndTrimReturnPagesToThePool) {
  File().SetPageCacheCapacity(30);
  const std::vector<std::int32_t> offsets = Append(20);
  File().FlushPages();
  EXPECT_EQ(File().CachedPageCount(kSlot), 20);
  File().SetPageCacheCapacity(kDefaultPageCacheCapacity);
  File().TrimCache();
  EXPECT_EQ(File().CachedPageCount(kSlot), kDefaultPageCacheCapacity);
  const std::size_t pooled = File().PageStack().Size();
  EXPECT_GE(pooled, 5u);
  {
    TPagePin held = File().GetPage(kSlot, offsets[0]);
    File().DropPages();
    EXPECT_EQ(File().CachedPageCount(kSlot), 0);
    EXPECT_EQ(held->Offset(), offsets[0]);  // still valid until released
  }
  EXPECT_EQ(File().PageStack().Size(), pooled + kDefaultPageCacheCapacity);
}

TEST(TPageCacheEncryptedTest, PageImagesAreEncipheredOnDisk) {
  TIndexTestTable table(Fields(), Indexes(), 0, 0, true);
  std::vector<testing::TLeafEntry> before;
  {
    auto tree = table.Tree(kSlot);
    for (int i = 1; i <= 200; ++i) {
      std::vector<std::byte> r = table.NewRecord(i);
      table.SetText(r, 2, "name " + std::to_string(i * 7919 % 1000));
      tree->Insert(tree->BuildKey(r), i);
    }
    before = testing::CheckIndexTree(*tree).entries;
  }
  table.Table().WriteAll(false, false);
  const std::vector<std::byte> bytes = FileBytes(table.IndexPath());
  const std::int32_t root = table.File().RootPage(kSlot);
  std::vector<std::byte> image(bytes.begin() + root, bytes.begin() + root + kPageSize);
  EXPECT_NE(image[0], std::byte{0});  // a root node's kind byte 0, enciphered
  Encipher(image, kRecordKey);
  TPage plain(PageFormatOf(table.File().Header().slots[kSlot], kSlot));
  ASSERT_EQ(plain.Decode(std::span<const std::byte, kPageSize>(image.data(), kPageSize)), 0);
  EXPECT_EQ(plain.Kind(), TPageKind::kRootNode);
  table.Reopen();
  auto tree = table.Tree(kSlot);
  const testing::TTreeReport report = testing::CheckIndexTree(*tree);
  EXPECT_TRUE(report.Ok()) << report.Text();
  EXPECT_EQ(report.entries, before);
}

}  // namespace
}  // namespace tarvo

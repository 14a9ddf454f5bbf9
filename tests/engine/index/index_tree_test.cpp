// The index trees' edge cases: the leftmost path, empty indexes, compressed leaves that only
// leave the tree when empty, the order of equal values, NULLs and descending fields, failures
// that leave the tree unchanged, leaf-level positions, and keys appended at a leaf's end writing
// the same pages as the general insert.
#include "engine/index/index_tree.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "errors/engine_error.h"
#include "tests/engine/index/index_test_table.h"
#include "tests/testing/blob_checker.h"
#include "tests/testing/engine_matchers.h"
#include "tests/testing/tree_checker.h"

namespace tarvo {
namespace {

using testing::Field;
using testing::MakeIndex;
using testing::Numbered;
using testing::TIndexTestTable;

constexpr std::uint16_t kName = 2;
constexpr std::uint16_t kNum = 3;
constexpr std::uint16_t kSmall = 4;

// Slots of the table below.
constexpr int kByName = 1;      // Name, not unique, no compression (long keys: many levels)
constexpr int kByNameDup = 2;   // Name, not unique, duplicate bytes
constexpr int kByNumDesc = 3;   // Num, not unique, descending
constexpr int kByNumSmall = 4;  // Num, Small descending, unique
constexpr int kByNameFull = 5;  // Name, unique, full compression
constexpr int kByNameCut = 6;   // Name, not unique, trailing bytes

std::vector<TFieldDescriptor> Fields() {
  return Numbered({Field("ID", kTypeInt32, 0, kSubTypeAutoInc), Field("Name", kTypeText, 200),
                   Field("Num", kTypeInt32), Field("Small", kTypeInt16)});
}

std::vector<TIndexDescriptor> Indexes() {
  return {MakeIndex({"", {1}, {}, true}),
          MakeIndex({"ByName", {kName}, {}, false, false, false, 0}),
          MakeIndex({"ByNameDup", {kName}, {}, false, false, false, 1}),
          MakeIndex({"ByNumDesc", {kNum}, {}, false, true, false, 0}),
          MakeIndex({"ByNumSmall", {kNum, kSmall}, {false, true}, true, false, false, 0}),
          MakeIndex({"ByNameFull", {kName}, {}, true, false, false, 3}),
          MakeIndex({"ByNameCut", {kName}, {}, false, false, false, 2})};
}

std::string Name(int i) {
  std::string s = std::to_string(100000 + i);
  return s + std::string(150, 'x');  // long keys: few entries per page
}

class TIndexTreeTest : public ::testing::Test {
 protected:
  TIndexTreeTest() : table_(Fields(), Indexes()) {}

  std::vector<std::byte> Record(std::int32_t id, const std::string& name, std::int32_t num = 0,
                                std::int16_t small = 0) {
    std::vector<std::byte> r = table_.NewRecord(id);
    table_.SetText(r, kName, name);
    table_.SetInt32(r, kNum, num);
    table_.SetInt16(r, kSmall, small);
    return r;
  }
  testing::TTreeReport Check(TIndexTree& tree) {
    testing::TTreeReport report = testing::CheckIndexTree(tree);
    EXPECT_TRUE(report.Ok()) << report.Text();
    return report;
  }
  std::vector<std::int32_t> Records(TIndexTree& tree) {
    std::vector<std::int32_t> out;
    for (const auto& e : Check(tree).entries) out.push_back(e.record);
    return out;
  }

  TIndexTestTable table_;
};

TEST_F(TIndexTreeTest, KeyBelowAllUpdatesTheLeftmostPath) {
  auto tree = table_.Tree(kByName);
  for (int i = 1; i <= 600; ++i) tree->Insert(tree->BuildKey(Record(i, Name(i))), i);
  ASSERT_GE(Check(*tree).depth, 3);
  const TKey low = tree->BuildKey(Record(601, "0"));
  tree->Insert(low, 601);
  // Every node on the leftmost path starts with the new key.
  std::int32_t offset = tree->Root();
  for (;;) {
    TPagePin page = tree->PinPage(offset);
    EXPECT_EQ(TKey(page->Key(1).begin(), page->Key(1).end()), low);
    if (page->IsLeaf()) break;
    offset = page->ChildPage(1);
  }
  EXPECT_EQ(Check(*tree).entries.front().record, 601);
  TIndexPosition pos(*tree);
  ASSERT_TRUE(pos.First());
  EXPECT_EQ(pos.RecordNumber(), 601);
  EXPECT_EQ(pos.Ordinal(), 1);
}

TEST_F(TIndexTreeTest, EmptiedIndexHasNoRootAndTheNextKeyMakesARootLeaf) {
  for (int slot : {kByName, kByNameDup}) {
    auto tree = table_.Tree(slot);
    std::vector<TKey> keys;
    for (int i = 1; i <= 300; ++i) {
      keys.push_back(tree->BuildKey(Record(i, Name(i))));
      tree->Insert(keys.back(), i);
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
      tree->Remove(keys[(i * 7) % keys.size()]);
      if (i % 37 == 0) Check(*tree);
    }
    EXPECT_EQ(tree->Root(), 0);
    EXPECT_EQ(tree->KeyCount(), 0);
    EXPECT_FALSE(tree->Find(keys[0]));
    TIndexPosition pos(*tree);
    EXPECT_FALSE(pos.First());
    EXPECT_FALSE(pos.Last());
    const std::int32_t end = table_.File().Header().next_page;
    tree->Insert(keys[5], 6);
    TPagePin root = tree->PinPage(tree->Root());
    EXPECT_EQ(root->Kind(), TPageKind::kRootLeaf);
    EXPECT_EQ(table_.File().Header().next_page, end) << "a freed page is taken before the file grows";
  }
}

TEST_F(TIndexTreeTest, CompressedLeavesLeaveTheTreeOnlyWhenEmpty) {
  auto tree = table_.Tree(kByNameDup);
  for (int i = 1; i <= 400; ++i) tree->Insert(tree->BuildKey(Record(i, Name(i))), i);
  const testing::TTreeReport before = Check(*tree);
  ASSERT_GE(before.pages, 4);
  // Empty all but one entry of the second leaf: it stays, however small.
  std::int32_t leaf = tree->Root();
  for (;;) {
    TPagePin page = tree->PinPage(leaf);
    if (page->IsLeaf()) break;
    leaf = page->ChildPage(1);
  }
  std::vector<TKey> second;
  {
    TPagePin first = tree->PinPage(leaf);
    TPagePin page = tree->PinPage(first->NextPage());
    for (int i = 1; i <= page->EntryCount(); ++i)
      second.emplace_back(page->Key(i).begin(), page->Key(i).end());
  }
  for (std::size_t i = 0; i + 1 < second.size(); ++i) tree->Remove(second[i]);
  EXPECT_EQ(Check(*tree).pages, before.pages);
  tree->Remove(second.back());
  const testing::TTreeReport after = Check(*tree);
  EXPECT_EQ(after.pages, before.pages - 1);
  EXPECT_EQ(after.free_pages, before.free_pages + 1);
}

TEST_F(TIndexTreeTest, EqualValuesOrderByAutoIncrementAndDescendingReverses) {
  auto by_name = table_.Tree(kByName);
  auto by_num_desc = table_.Tree(kByNumDesc);
  for (std::int32_t id : {5, 2, 9, 7}) {
    by_name->Insert(by_name->BuildKey(Record(id, "same", 1)), id);
    by_num_desc->Insert(by_num_desc->BuildKey(Record(id, "same", 1)), id);
  }
  by_num_desc->Insert(by_num_desc->BuildKey(Record(3, "same", 2)), 3);
  EXPECT_EQ(Records(*by_name), (std::vector<std::int32_t>{2, 5, 7, 9}));
  EXPECT_EQ(Records(*by_num_desc), (std::vector<std::int32_t>{3, 9, 7, 5, 2}));
}

TEST_F(TIndexTreeTest, NullSortsFirstAndADescendingSecondFieldOrdersBackwards) {
  auto tree = table_.Tree(kByNumSmall);
  std::vector<std::byte> null_num = Record(1, "a", 0, 0);
  table_.SetNullField(null_num, kNum);
  tree->Insert(tree->BuildKey(Record(2, "a", -5, 1)), 2);
  tree->Insert(tree->BuildKey(Record(3, "a", 7, -2)), 3);
  tree->Insert(tree->BuildKey(Record(4, "a", 7, 3)), 4);
  tree->Insert(tree->BuildKey(null_num), 1);
  tree->Insert(tree->BuildKey(Record(5, "a", 7, 0)), 5);
  EXPECT_EQ(Records(*tree), (std::vector<std::int32_t>{1, 2, 4, 5, 3}));
}

TEST_F(TIndexTreeTest, FailuresLeaveTheTreeAsItWas) {
  auto tree = table_.Tree(kByNameFull);
  for (int i = 1; i <= 50; ++i) tree->Insert(tree->BuildKey(Record(i, Name(i))), i);
  const auto before = Check(*tree).entries;
  EXPECT_ENGINE_ERROR(kIndexBuffersCorrupt, tree->Remove(tree->BuildKey(Record(99, "missing"))));
  EXPECT_ENGINE_ERROR(kIndexBuffersCorrupt, tree->Replace(tree->BuildKey(Record(99, "missing")),
                                                          tree->BuildKey(Record(99, "new")), 99));
  EXPECT_EQ(Check(*tree).entries, before);
  EXPECT_EQ(tree->KeyCount(), 50);
  try {
    tree->CheckUnique(tree->BuildKey(Record(77, Name(3))));
    ADD_FAILURE() << "no duplicate reported";
  } catch (const ETarvoEngineError& e) {
    EXPECT_EQ(EngineCode(e), kDuplicateKey);
    EXPECT_NE(std::string(e.what()).find("ByNameFull"), std::string::npos) << e.what();
  }
  tree->CheckUnique(tree->BuildKey(Record(77, "fresh")));
  EXPECT_ENGINE_ERROR(kIndexBuffersCorrupt, (void)table_.File().GetPage(kByNameFull, 0));
}

// A parent with a single entry (as another writer may leave it): its child has no neighbour
// under the same parent, so an under-full child stays and an empty one leaves the tree.
TEST_F(TIndexTreeTest, SingleEntryParentsAreNeverWrittenOutsideTheirEntries) {
  auto tree = table_.Tree(kByNumSmall);
  TIndexFile& file = table_.File();
  auto key = [&](int n) { return tree->BuildKey(Record(n, "a", n, 0)); };
  TPagePin root = file.AllocatePage(kByNumSmall), n1 = file.AllocatePage(kByNumSmall),
           n2 = file.AllocatePage(kByNumSmall), a = file.AllocatePage(kByNumSmall),
           b = file.AllocatePage(kByNumSmall), c = file.AllocatePage(kByNumSmall);
  const auto fill = [&](TPage& leaf, int from, int to) {
    leaf.SetKind(TPageKind::kLeaf);
    for (int n = from; n <= to; ++n) leaf.InsertEntry(leaf.EntryCount(), key(n), n);
  };
  fill(*a, 1, 3);
  fill(*b, 4, 150);
  fill(*c, 151, 300);
  const auto link = [](TPage& left, TPage& right) {
    left.SetNextPage(right.Offset());
    right.SetPrevPage(left.Offset());
  };
  link(*a, *b);
  link(*b, *c);
  link(*n1, *n2);
  n1->SetKind(TPageKind::kNode);
  n2->SetKind(TPageKind::kNode);
  n1->InsertEntry(0, a->Key(1), a->Offset(), 3);
  n2->InsertEntry(0, b->Key(1), b->Offset(), 147);
  n2->InsertEntry(1, c->Key(1), c->Offset(), 150);
  root->SetKind(TPageKind::kRootNode);
  root->InsertEntry(0, n1->Key(1), n1->Offset(), 3);
  root->InsertEntry(1, n2->Key(1), n2->Offset(), 297);
  file.SetRootPage(kByNumSmall, root->Offset());
  for (TPagePin* pin : {&root, &n1, &n2, &a, &b, &c}) pin->Release();
  ASSERT_TRUE(Check(*tree).Ok());

  tree->Remove(key(1));  // A under-full, alone under N1: stays
  EXPECT_EQ(Check(*tree).pages, 6);
  tree->Remove(key(2));
  tree->Remove(key(3));  // A empty: leaves the tree, N1 with it, and the root collapses
  const testing::TTreeReport report = Check(*tree);
  EXPECT_EQ(report.depth, 2);
  EXPECT_EQ(report.entries.size(), 297u);
  EXPECT_EQ(tree->KeyCount(), 297);
}

TEST_F(TIndexTreeTest, PositionsWalkSeekAndCount) {
  auto tree = table_.Tree(kByName);
  for (int i = 1; i <= 400; i += 1) tree->Insert(tree->BuildKey(Record(i, Name(i * 2))), i);  // even numbers
  EXPECT_EQ(tree->KeyCount(), 400);
  TIndexPosition pos(*tree);
  // Bounds with a partial key: the name part of "100100..." (between 100098 and 100102 exist).
  const TKey probe = tree->BuildKey(Record(0, Name(101)));
  const std::span<const std::byte> prefix(probe.data(), 8);  // indicator and 7 characters "1001010"
  ASSERT_TRUE(pos.Seek(prefix, TBound::kLower));
  EXPECT_EQ(pos.RecordNumber(), 51);  // Name(102)
  ASSERT_TRUE(pos.Seek(prefix, TBound::kUpper));
  EXPECT_EQ(pos.RecordNumber(), 50);  // Name(100)
  EXPECT_EQ(pos.Ordinal(), 50);
  ASSERT_TRUE(pos.Next());
  EXPECT_EQ(pos.RecordNumber(), 51);
  ASSERT_TRUE(pos.Prior());
  ASSERT_TRUE(pos.Prior());
  EXPECT_EQ(pos.RecordNumber(), 49);
  EXPECT_FALSE(pos.Seek(tree->BuildKey(Record(0, "2")), TBound::kLower));  // above all
  EXPECT_FALSE(pos.Valid());
  ASSERT_TRUE(pos.Prior());  // off the end: back to the last
  EXPECT_EQ(pos.RecordNumber(), 400);
  EXPECT_FALSE(pos.Next());
  EXPECT_FALSE(pos.Seek(tree->BuildKey(Record(0, "0")), TBound::kUpper));  // below all
  ASSERT_TRUE(pos.Next());
  EXPECT_EQ(pos.RecordNumber(), 1);
  ASSERT_TRUE(pos.SeekOrdinal(321));
  EXPECT_EQ(pos.RecordNumber(), 321);
  EXPECT_EQ(pos.Ordinal(), 321);
  EXPECT_FALSE(pos.SeekOrdinal(401));
  EXPECT_FALSE(pos.SeekExact(tree->BuildKey(Record(0, Name(3)))));
  EXPECT_TRUE(pos.SeekExact(tree->BuildKey(Record(2, Name(4)))));
}

TEST_F(TIndexTreeTest, TreesSurviveCloseAndReopen) {
  std::vector<testing::TLeafEntry> before;
  {
    auto tree = table_.Tree(kByNameFull);
    for (int i = 1; i <= 500; ++i) tree->Insert(tree->BuildKey(Record(i, Name(i * 37 % 500))), i);
    before = Check(*tree).entries;
  }
  table_.Reopen();
  auto tree = table_.Tree(kByNameFull);
  EXPECT_EQ(table_.File().CachedPageCount(kByNameFull), 0);
  EXPECT_EQ(Check(*tree).entries, before);
  EXPECT_GT(table_.File().CacheStats().reads_done, 0);
}

TEST_F(TIndexTreeTest, KeysAppendedAtALeafsEndWriteTheSameFileAsTheGeneralInsert) {
  // Ascending keys (leaves and roots split at the right end, pages written between the inserts)
  // with now and then one into the middle; the same inserts through the general way into a
  // second table.
  TIndexTestTable general(Fields(), Indexes());
  const std::vector<int> slots = {kPrimarySlot, kByName, kByNameDup, kByNameFull, kByNameCut};
  for (const bool append : {true, false}) {
    TIndexTestTable& table = append ? table_ : general;
    for (const int slot : slots) {
      auto tree = table.Tree(slot);
      tree->SetAppendAtEnd(append);
      for (int i = 1; i <= 700; ++i) {
        const int id = i % 37 == 0 ? 2 * i - 41 : 2 * i;
        std::vector<std::byte> r = table.NewRecord(id);
        table.SetText(r, kName, Name(id));
        tree->Insert(tree->BuildKey(r), id);
        table.File().FlushPages();
      }
      EXPECT_TRUE(testing::CheckIndexTree(*tree).Ok()) << slot;
    }
    table.Reopen();
  }
  const std::vector<std::byte> appended = testing::ReadFileBytes(table_.IndexPath());
  const std::vector<std::byte> inserted = testing::ReadFileBytes(general.IndexPath());
  ASSERT_EQ(appended.size(), inserted.size());
  const auto differ = std::mismatch(appended.begin(), appended.end(), inserted.begin());
  EXPECT_TRUE(differ.first == appended.end())
      << "first difference at byte " << differ.first - appended.begin();
}

}  // namespace
}  // namespace tarvo

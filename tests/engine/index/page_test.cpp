#include "engine/index/page.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "errors/engine_error.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

using TBytes = std::vector<std::byte>;
using TImage = std::array<std::byte, kPageSize>;
constexpr int kCorrupt = -kIndexBuffersCorrupt;

TBytes B(std::initializer_list<int> values) {
  TBytes out;
  for (int v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

TBytes Cat(std::initializer_list<TBytes> parts) {
  TBytes out;
  for (const TBytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TBytes Str(const std::string& s) {
  TBytes out;
  for (char c : s) out.push_back(static_cast<std::byte>(c));
  return out;
}

TBytes Le32(std::int32_t v) {
  return B({v & 0xFF, (v >> 8) & 0xFF, (v >> 16) & 0xFF, (v >> 24) & 0xFF});
}

TImage Image(int kind, int count, std::int32_t prev, std::int32_t next, int compressed,
             const TBytes& entries) {
  TImage image{};
  image[0] = static_cast<std::byte>(kind);
  image[1] = static_cast<std::byte>(count & 0xFF);
  image[2] = static_cast<std::byte>(count >> 8);
  const TBytes p = Le32(prev), n = Le32(next);
  std::copy(p.begin(), p.end(), image.begin() + 3);
  std::copy(n.begin(), n.end(), image.begin() + 7);
  image[11] = static_cast<std::byte>(compressed & 0xFF);
  image[12] = static_cast<std::byte>(compressed >> 8);
  std::copy(entries.begin(), entries.end(), image.begin() + 13);
  return image;
}

TPageFormat Format(int key_length, int compression, bool unique) {
  TPageFormat f;
  f.key_length = static_cast<std::uint16_t>(key_length);
  f.compression = static_cast<std::uint8_t>(compression);
  f.unique = unique;
  return f;
}

TBytes KeyOf(const TPage& page, int pos) {
  const auto k = page.Key(pos);
  return TBytes(k.begin(), k.end());
}

// Builds a leaf from keys and record numbers, checks its image against `expected` both ways.
void ExpectLeafImage(const TPageFormat& format, const std::vector<TBytes>& keys, const TImage& expected) {
  TPage page(format, 8192);
  page.SetKind(TPageKind::kRootLeaf);
  for (std::size_t i = 0; i < keys.size(); ++i)
    page.InsertEntry(static_cast<int>(i), keys[i], static_cast<int>(i) + 1);
  page.CheckPage();
  TImage image{};
  ASSERT_EQ(0, page.Encode(image));
  EXPECT_EQ(expected, image);
  EXPECT_FALSE(page.Modified());

  TPage back(format, 8192);
  ASSERT_EQ(0, back.Decode(expected));
  back.CheckPage();
  ASSERT_EQ(static_cast<int>(keys.size()), back.EntryCount());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(keys[i], KeyOf(back, static_cast<int>(i) + 1));
    EXPECT_EQ(static_cast<int>(i) + 1, back.RecordNumber(static_cast<int>(i) + 1));
  }
}

// --- Hand-written images of every stored form ---

TEST(PageTest, NodePageMatchesHandWrittenBytes) {
  const TPageFormat format = Format(5, 3, false);  // a node is never compressed
  const TBytes k1 = B({1, 0x80, 0, 0, 1}), k2 = B({1, 0x80, 0, 0, 0x42});
  const TImage expected = Image(0, 2, 0, 0, 0, Cat({k1, Le32(8192), Le32(179), k2, Le32(12288), Le32(46)}));
  TPage page(format, 16384);
  page.SetKind(TPageKind::kRootNode);
  page.InsertEntry(0, k1, 8192, 179);
  page.InsertEntry(1, k2, 12288, 46);
  TImage image{};
  ASSERT_EQ(0, page.Encode(image));
  EXPECT_EQ(expected, image);

  TPage back(format, 16384);
  ASSERT_EQ(0, back.Decode(expected));
  EXPECT_EQ(TPageKind::kRootNode, back.Kind());
  EXPECT_EQ(12288, back.ChildPage(2));
  EXPECT_EQ(46, back.SubtreeCount(2));
  EXPECT_EQ(225, back.SubtreeTotal());
  EXPECT_EQ(0, back.CompressedBytes());
}

TEST(PageTest, UncompressedLeafMatchesHandWrittenBytes) {
  const TBytes k1 = Str("ABCDE"), k2 = Str("ABCDF");
  ExpectLeafImage(Format(5, 0, true), {k1, k2}, Image(3, 2, 0, 0, 0, Cat({k1, Le32(1), k2, Le32(2)})));
}

TEST(PageTest, DuplicateBytesLeafStoresOnlyTheNewBytes) {
  const TBytes entries =
      Cat({B({0, 0}), Str("ABCD"), Le32(1), B({3, 0}), Str("E"), Le32(2), B({4, 0}), Le32(3)});
  ExpectLeafImage(Format(4, 1, true), {Str("ABCD"), Str("ABCE"), Str("ABCE")},
                  Image(3, 3, 0, 0, static_cast<int>(entries.size()), entries));
}

TEST(PageTest, TrailingBytesLeafCutsZerosButNeverTheSuffix) {
  // Unique: every trailing zero goes, also of an all-zero key.
  const TBytes unique_entries = Cat({B({2, 0}), Str("AB"), Le32(1), B({4, 0}), Le32(2)});
  ExpectLeafImage(Format(4, 2, true), {Cat({Str("AB"), B({0, 0})}), B({0, 0, 0, 0})},
                  Image(3, 2, 0, 0, static_cast<int>(unique_entries.size()), unique_entries));
  // Not unique: the zeros before the suffix go, the suffix's own zeros stay.
  const TBytes key = Cat({Str("A"), B({0, 0, 0}), B({0x80, 0, 0, 0})});
  const TBytes entries = Cat({B({3, 0}), Str("A"), B({0x80, 0, 0, 0}), Le32(1)});
  ExpectLeafImage(Format(8, 2, false), {key}, Image(3, 1, 0, 0, static_cast<int>(entries.size()), entries));
}

TEST(PageTest, FullCompressionLeafMatchesHandWrittenBytes) {
  // Not unique, at least 5 bytes left after the shared ones: zeros before the suffix are cut.
  const TBytes k1 = Cat({Str("AB"), B({0, 0, 0}), B({0x80, 0, 0, 1})});
  const TBytes k2 = Cat({Str("AC"), B({0, 0, 0}), B({0x80, 0, 0, 2})});
  const TBytes e = Cat(
      {B({0, 3}), Str("AB"), B({0x80, 0, 0, 1}), Le32(1), B({1, 3}), Str("C"), B({0x80, 0, 0, 2}), Le32(2)});
  ExpectLeafImage(Format(9, 3, false), {k1, k2}, Image(3, 2, 0, 0, static_cast<int>(e.size()), e));

  // Not unique, fewer than 5 bytes left: nothing is cut, not even zeros of the suffix.
  const TBytes s1 = B({'A', 'B', 'C', 'D', 0x80, 0, 0, 0});
  const TBytes s2 = B({'A', 'B', 'C', 'D', 0x80, 0, 1, 0});
  const TBytes e2 = Cat({B({0, 0}), s1, Le32(1), B({6, 0}), B({1, 0}), Le32(2)});
  ExpectLeafImage(Format(8, 3, false), {s1, s2}, Image(3, 2, 0, 0, static_cast<int>(e2.size()), e2));

  // Unique: the zeros at the end go.
  const TBytes u1 = B({'A', 'B', 0, 0}), u2 = B({'A', 'C', 0, 0});
  const TBytes e3 = Cat({B({0, 2}), Str("AB"), Le32(1), B({1, 2}), Str("C"), Le32(2)});
  ExpectLeafImage(Format(4, 3, true), {u1, u2}, Image(3, 2, 0, 0, static_cast<int>(e3.size()), e3));
}

TEST(PageTest, FullCompressionCapsCountsAt255) {
  const int n = 300;
  TBytes k1(n, std::byte{'A'}), k2(n, std::byte{'A'});
  k2[n - 1] = std::byte{'B'};
  TBytes z(n, std::byte{0});
  z[0] = std::byte{'Z'};
  TPage page(Format(n, 3, true), 4096);
  page.InsertEntry(0, k1, 1);
  page.InsertEntry(1, k2, 2);
  page.InsertEntry(2, z, 3);
  EXPECT_EQ(255, page.PrefixCount(2));
  EXPECT_EQ(255, page.CutCount(3));
  EXPECT_EQ((n + 6) + (n - 255 + 6) + (n - 255 + 6), page.CompressedBytes());
  TImage image{};
  ASSERT_EQ(0, page.Encode(image));
  TPage back(page.Format(), 4096);
  ASSERT_EQ(0, back.Decode(image));
  EXPECT_EQ(k2, KeyOf(back, 2));
  EXPECT_EQ(z, KeyOf(back, 3));
}

// --- Random key sets through every compression ---

// Sorted distinct keys like real ones: text with shared prefixes, blanks or zeros at the end,
// and for an index that is not unique an ascending 4-byte suffix.
std::vector<TBytes> RandomKeys(std::mt19937& rng, int key_length, bool unique, int count) {
  const int field = unique ? key_length : key_length - 4;
  const std::string prefixes[] = {"", "M", "MEIER", "MEYER", "MUELLER", "SCHMIDT"};
  std::set<TBytes> fields;
  for (int i = 0; i < count * 4 && static_cast<int>(fields.size()) < count; ++i) {
    TBytes k(field, std::byte{0});
    std::string text = prefixes[rng() % 6];
    const int extra = static_cast<int>(rng() % 6);
    for (int j = 0; j < extra; ++j) text.push_back("AB Z\x01\xE4"[rng() % 6]);
    if (rng() % 3 == 0) text.append(rng() % 8, ' ');
    for (int j = 0; j < field && j < static_cast<int>(text.size()); ++j)
      k[j] = static_cast<std::byte>(text[j]);
    if (rng() % 5 == 0 && field > 0) k[field - 1] = static_cast<std::byte>(rng() % 3);
    fields.insert(k);
  }
  std::vector<TBytes> keys(fields.begin(), fields.end());
  if (!unique) {
    std::vector<TBytes> with_suffix;
    std::uint32_t stamp = 0x80000000u + (rng() % 3 == 0 ? 0 : rng() % 1000);
    for (const TBytes& k : keys) {
      // Equal field parts would differ in the suffix alone: give some keys a twin.
      const int copies = rng() % 4 == 0 ? 2 : 1;
      for (int c = 0; c < copies; ++c, stamp += rng() % 300 + 1) {
        TBytes full = k;
        for (int s = 3; s >= 0; --s) full.push_back(static_cast<std::byte>((stamp >> (8 * s)) & 0xFF));
        with_suffix.push_back(full);
      }
    }
    keys = with_suffix;
  }
  return keys;
}

TEST(PageTest, EveryCompressionRoundTripsRandomKeySets) {
  std::mt19937 rng(4711);
  for (int compression = 0; compression <= 3; ++compression) {
    for (bool unique : {true, false}) {
      for (int key_length : {5, 9, 16, 46, 300}) {
        for (int round = 0; round < 4; ++round) {
          SCOPED_TRACE(::testing::Message() << "compression " << compression << " unique " << unique
                                            << " length " << key_length << " round " << round);
          const TPageFormat format = Format(key_length, compression, unique);
          const std::vector<TBytes> keys = RandomKeys(rng, key_length, unique, 400);
          TPage page(format, 4096 * (round + 1));
          page.SetKind(TPageKind::kLeaf);
          page.SetPrevPage(4096 * 9);
          for (const TBytes& k : keys) {
            if (!page.FitsInsert(page.EntryCount(), k)) break;
            page.InsertEntry(page.EntryCount(), k, static_cast<std::int32_t>(rng()));
            ASSERT_FALSE(page.Overflows());
          }
          page.CheckPage();
          ASSERT_GT(page.EntryCount(), 0);
          TImage image{};
          ASSERT_EQ(0, page.Encode(image));
          const int stored_count = static_cast<int>(image[11]) | (static_cast<int>(image[12]) << 8);
          EXPECT_EQ(page.IsCompressedLeaf() ? page.StoredSize() : 0, stored_count);
          // Bytes behind the last entry are zero.
          const std::size_t end = kPageHeaderSize + page.StoredSize();
          EXPECT_TRUE(
              std::all_of(image.begin() + end, image.end(), [](std::byte b) { return b == std::byte{0}; }));

          TPage back(format, page.Offset());
          ASSERT_EQ(0, back.Decode(image));
          back.CheckPage();
          ASSERT_EQ(page.EntryCount(), back.EntryCount());
          for (int i = 1; i <= page.EntryCount(); ++i) {
            ASSERT_EQ(KeyOf(page, i), KeyOf(back, i)) << "entry " << i;
            ASSERT_EQ(page.RecordNumber(i), back.RecordNumber(i));
          }
          EXPECT_EQ(4096 * 9, back.PrevPage());
          TImage again{};
          ASSERT_EQ(0, back.Encode(again));
          EXPECT_EQ(image, again);
        }
      }
    }
  }
}

TEST(PageTest, InsertAndRemoveInTheMiddleKeepCountsRight) {
  std::mt19937 rng(99);
  for (int compression = 0; compression <= 3; ++compression) {
    SCOPED_TRACE(compression);
    const TPageFormat format = Format(26, compression, false);
    std::vector<TBytes> keys = RandomKeys(rng, 26, false, 400);
    std::shuffle(keys.begin(), keys.end(), rng);
    TPage page(format, 4096);
    int refused = 0;
    for (const TBytes& k : keys) {
      int after = 0;
      while (after < page.EntryCount() && KeyOf(page, after + 1) < k) ++after;
      // FitsInsert predicts exactly whether the page overflows after the insertion.
      const bool fits = page.FitsInsert(after, k);
      page.InsertEntry(after, k, after);
      ASSERT_EQ(fits, !page.Overflows());
      if (!fits) {
        page.RemoveEntry(after + 1);
        ++refused;
      }
      page.CheckPage();
    }
    EXPECT_GT(refused, 0);
    for (int i = 2; i <= page.EntryCount(); ++i) ASSERT_LT(KeyOf(page, i - 1), KeyOf(page, i));
    // Remove every third entry, then a run, then replace the first key.
    for (int pos = page.EntryCount(); pos >= 1; pos -= 3) page.RemoveEntry(pos);
    page.CheckPage();
    page.RemoveEntries(2, 5);
    page.CheckPage();
    page.SetKey(1, TBytes(26, std::byte{0}));
    page.CheckPage();
    TImage image{};
    ASSERT_EQ(0, page.Encode(image));
    TPage back(format, 4096);
    ASSERT_EQ(0, back.Decode(image));
    ASSERT_EQ(page.EntryCount(), back.EntryCount());
    for (int i = 1; i <= page.EntryCount(); ++i) ASSERT_EQ(KeyOf(page, i), KeyOf(back, i));
  }
}

TEST(PageTest, SplitMovesEntriesBetweenPages) {
  std::mt19937 rng(5);
  const TPageFormat format = Format(46, 3, false);
  const std::vector<TBytes> keys = RandomKeys(rng, 46, false, 200);
  TPage p(format, 4096);
  for (const TBytes& k : keys) p.InsertEntry(p.EntryCount(), k, 1);
  const int n = p.EntryCount();
  TPage q(format, 8192);
  q.InsertEntries(0, p, n - n / 2 + 1, n / 2);
  p.RemoveEntries(n - n / 2 + 1, n / 2);
  p.CheckPage();
  q.CheckPage();
  EXPECT_EQ(n, p.EntryCount() + q.EntryCount());
  EXPECT_EQ(keys[n - n / 2], KeyOf(q, 1));
  EXPECT_EQ(0, q.PrefixCount(1));  // the first entry of a page shares nothing
}

// --- Capacity ---

TEST(PageTest, CompressedLeafOfExactly4083BytesIsWrittenAnd4084Overflows) {
  // Trailing-bytes compression, unique, key length 50: an entry takes 56 bytes less its zeros.
  const TPageFormat format = Format(50, 2, true);
  auto key = [](int i, int zeros) {
    TBytes k(50, std::byte{'x'});
    k[0] = static_cast<std::byte>(i >> 8);
    k[1] = static_cast<std::byte>(i & 0xFF);
    for (int z = 0; z < zeros; ++z) k[49 - z] = std::byte{0};
    return k;
  };
  for (int zeros : {5, 4}) {
    TPage page(format, 4096);
    for (int i = 0; i < 72; ++i) page.InsertEntry(i, key(i + 1, 0), i);
    EXPECT_EQ(72 * 56, page.CompressedBytes());
    const TBytes last = key(100, zeros);
    EXPECT_EQ(zeros == 5, page.FitsInsert(72, last));
    page.InsertEntry(72, last, 72);
    EXPECT_EQ(zeros == 5 ? 4083 : 4084, page.CompressedBytes());
    EXPECT_EQ(zeros == 4, page.Overflows());
    TImage image{};
    image.fill(std::byte{0x5A});
    if (zeros == 5) {
      EXPECT_EQ(0, page.Encode(image));
      TPage back(format, 4096);
      EXPECT_EQ(0, back.Decode(image));
      EXPECT_EQ(73, back.EntryCount());
    } else {
      EXPECT_EQ(kCorrupt, page.Encode(image));
      EXPECT_EQ(std::byte{0x5A}, image[0]);  // nothing written
      EXPECT_TRUE(page.Modified());
    }
  }
}

TEST(PageTest, InsertionChangesWhatTheNextEntryShares) {
  TPage page(Format(8, 1, true), 4096);
  page.InsertEntry(0, Str("AAAAAAAA"), 1);
  page.InsertEntry(1, Str("AAAAZZZZ"), 2);
  EXPECT_EQ(14 + 10, page.CompressedBytes());
  page.InsertEntry(1, Str("AAAAZZZA"), 3);
  EXPECT_EQ(7, page.PrefixCount(3));
  EXPECT_EQ(14 + 10 + 7, page.CompressedBytes());
  page.RemoveEntry(2);
  EXPECT_EQ(4, page.PrefixCount(2));
  EXPECT_EQ(14 + 10, page.CompressedBytes());
}

TEST(PageTest, NodeAndUncompressedLeafCapacities) {
  TPage leaf(Format(5, 0, true), 4096);
  EXPECT_EQ(4083 / 11, leaf.Capacity());  // 371
  TPage node(Format(5, 1, true), 4096);
  node.SetKind(TPageKind::kNode);
  EXPECT_EQ(4083 / 15, node.Capacity());  // 272
  EXPECT_FALSE(node.IsCompressedLeaf());

  TBytes k(5, std::byte{0});
  for (int i = 0; i < 371; ++i) {
    k[4] = static_cast<std::byte>(i & 0xFF);
    k[3] = static_cast<std::byte>(i >> 8);
    ASSERT_TRUE(leaf.FitsInsert(leaf.EntryCount(), k));
    leaf.InsertEntry(leaf.EntryCount(), k, i);
  }
  EXPECT_FALSE(leaf.FitsInsert(371, k));
  EXPECT_FALSE(leaf.Overflows());
  leaf.InsertEntry(371, k, 371);
  EXPECT_TRUE(leaf.Overflows());
  TImage image{};
  EXPECT_EQ(0, leaf.Encode(image));  // 372 x 9 bytes still lie within the page
  leaf.RemoveEntries(1, 372 - 185);
  EXPECT_FALSE(leaf.Underflows());  // 185 = 371 div 2
  leaf.RemoveEntry(1);
  EXPECT_TRUE(leaf.Underflows());
}

TEST(PageTest, CompressedLeafUnderflowsOnlyWhenEmpty) {
  TPage page(Format(9, 1, false), 4096);
  page.InsertEntry(0, TBytes(9, std::byte{1}), 1);
  EXPECT_FALSE(page.Underflows());
  page.RemoveEntry(1);
  EXPECT_TRUE(page.Underflows());
}

TEST(PageTest, FreePageIsWrittenWithoutEntries) {
  TPage page(Format(5, 0, true), 8192);
  page.SetKind(TPageKind::kLeaf);
  page.InsertEntry(0, TBytes(5, std::byte{7}), 1);
  page.SetNextPage(12288);
  page.SetFree(true);
  TImage image{};
  ASSERT_EQ(0, page.Encode(image));
  EXPECT_EQ(Image(2, 0, 0, 12288, 0, {}), image);
}

TEST(PageTest, FreshDecodeTakesTheHeaderOnly) {
  const TBytes k = Str("ABCDE");
  const TImage image = Image(2, 1, 4096, 8192, 0, Cat({k, Le32(1)}));
  TPage page(Format(5, 0, true), 12288);
  ASSERT_EQ(0, page.Decode(image, true));
  EXPECT_EQ(0, page.EntryCount());
  EXPECT_EQ(4096, page.PrevPage());
  EXPECT_EQ(8192, page.NextPage());
}

// --- Damaged pages ---

TEST(PageTest, InconsistentPagesAreCorruptNotCrashes) {
  const TPageFormat dup = Format(4, 1, true);
  const TPageFormat full = Format(9, 3, false);
  struct TCase {
    const char* what;
    TPageFormat format;
    TImage image;
  };
  const TCase cases[] = {
      {"unknown kind", dup, Image(4, 0, 0, 0, 0, {})},
      {"count beyond the page", Format(5, 0, true), Image(2, 454, 0, 0, 0, {})},
      {"node count beyond the page", Format(5, 0, true), Image(1, 315, 0, 0, 0, {}) /* 315 x 13 > 4083 */},
      {"first entry shares bytes", dup, Image(2, 1, 0, 0, 10, Cat({B({1, 0}), Str("BCD"), Le32(1)}))},
      {"prefix longer than the key", dup,
       Image(2, 2, 0, 0, 17, Cat({B({0, 0}), Str("ABCD"), Le32(1), B({5, 0}), Le32(2)}))},
      {"cut into the suffix", Format(8, 2, false), Image(2, 1, 0, 0, 6, Cat({B({5, 0}), Le32(1)}))},
      {"cut beyond the key", Format(4, 2, true), Image(2, 1, 0, 0, 6, Cat({B({5, 0}), Le32(1)}))},
      {"full cut beyond the rest", full, Image(2, 1, 0, 0, 6, Cat({B({0, 6}), Le32(1)}))},
      {"entries run past the page", dup, Image(2, 2000, 0, 0, 4083, {})},
      {"byte count disagrees", dup, Image(2, 1, 0, 0, 11, Cat({B({0, 0}), Str("ABCD"), Le32(1)}))},
  };
  for (const TCase& c : cases) {
    TPage page(c.format, 4096);
    page.InsertEntry(0, TBytes(c.format.key_length, std::byte{0}), 1);
    EXPECT_EQ(kCorrupt, page.Decode(c.image)) << c.what;
    EXPECT_EQ(0, page.EntryCount()) << c.what;
    page.CheckPage();
  }
}

TEST(PageTest, RandomBytesNeverReadOutsideThePage) {
  std::mt19937 rng(20240607);
  const TPageFormat formats[] = {Format(5, 0, true),   Format(9, 1, false),   Format(5, 2, true),
                                 Format(46, 3, false), Format(26, 1, false),  Format(3, 2, false),
                                 Format(0, 3, true),   Format(600, 3, false), Format(16, 0, false)};
  int decoded = 0;
  for (int round = 0; round < 4000; ++round) {
    const TPageFormat& format = formats[round % std::size(formats)];
    TImage image{};
    for (auto& b : image) b = static_cast<std::byte>(rng() % (round % 3 == 0 ? 256 : 4));
    image[0] = static_cast<std::byte>(rng() % 5);
    if (round % 2 == 0) {  // plausible counts reach deeper into the entries
      image[1] = static_cast<std::byte>(rng() % 200);
      image[2] = std::byte{0};
    }
    TPage page(format, 4096);
    const int rc = page.Decode(image);
    ASSERT_TRUE(rc == 0 || rc == kCorrupt);
    page.CheckPage();
    if (rc != 0) continue;
    ++decoded;
    TImage again{};
    if (page.Encode(again) != 0) continue;
    TPage back(format, 4096);
    ASSERT_EQ(0, back.Decode(again));
    ASSERT_EQ(page.EntryCount(), back.EntryCount());
    for (int i = 1; i <= page.EntryCount(); ++i) ASSERT_EQ(KeyOf(page, i), KeyOf(back, i));
  }
  EXPECT_GT(decoded, 100);
}

// --- The fixture tables ---

std::vector<std::byte> ReadFixture(const std::string& path) {
  std::ifstream in(testing::FixturesDir() / path, std::ios::binary);
  std::vector<char> chars((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::byte> bytes(chars.size());
  for (std::size_t i = 0; i < chars.size(); ++i) bytes[i] = static_cast<std::byte>(chars[i]);
  return bytes;
}

struct TTreeStats {
  std::int64_t leaf_entries = 0;
  int pages = 0;
};

// Walks one index tree level by level and checks every page against the file's bytes.
TTreeStats WalkTree(const std::vector<std::byte>& file, const TIndexHeader& h, int slot) {
  const TIndexDescriptor& d = h.slots[slot];
  const TPageFormat format = PageFormatOf(d, slot);
  TTreeStats stats;
  std::vector<std::int32_t> level{d.root};
  std::vector<TBytes> all_keys;
  bool root = true;
  while (!level.empty()) {
    std::vector<std::int32_t> next_level;
    std::int32_t expected_prev = 0;
    for (std::size_t i = 0; i < level.size(); ++i) {
      const std::int32_t offset = level[i];
      EXPECT_EQ(0, offset % 4096);
      EXPECT_LE(offset + 4096, static_cast<std::int64_t>(file.size()));
      if (offset % 4096 != 0 || offset + 4096 > static_cast<std::int64_t>(file.size())) return stats;
      const auto image = std::span<const std::byte>(file).subspan(offset).first<kPageSize>();
      TPage page(format, offset);
      EXPECT_EQ(0, page.Decode(image)) << "page " << offset;
      page.CheckPage();
      ++stats.pages;
      EXPECT_EQ(root, page.IsRoot());
      EXPECT_EQ(expected_prev, page.PrevPage());
      EXPECT_EQ(i + 1 < level.size() ? level[i + 1] : 0, page.NextPage());
      expected_prev = offset;
      TImage again{};
      EXPECT_EQ(0, page.Encode(again));
      EXPECT_TRUE(std::equal(again.begin(), again.end(), image.begin()))
          << "page " << offset << " re-encoded";
      for (int e = 1; e <= page.EntryCount(); ++e) {
        if (page.IsNode()) {
          next_level.push_back(page.ChildPage(e));
          // The node key is its child's lowest key and the count its child's leaf entries.
          const auto child_image =
              std::span<const std::byte>(file).subspan(page.ChildPage(e)).first<kPageSize>();
          TPage child(format, page.ChildPage(e));
          EXPECT_EQ(0, child.Decode(child_image));
          EXPECT_EQ(child.SubtreeTotal(), page.SubtreeCount(e));
          EXPECT_EQ(KeyOf(child, 1), KeyOf(page, e));
        } else {
          ++stats.leaf_entries;
          all_keys.push_back(KeyOf(page, e));
        }
      }
    }
    level = next_level;
    root = false;
  }
  // Plain byte order (the fixtures have language 0), reversed for a descending index.
  if (d.descending != 0) std::reverse(all_keys.begin(), all_keys.end());
  EXPECT_TRUE(std::is_sorted(all_keys.begin(), all_keys.end())) << "slot " << slot;
  return stats;
}

void CheckFixtureIndexes(const std::string& path, std::int64_t in_use, std::int64_t slots) {
  SCOPED_TRACE(path);
  const auto file = ReadFixture(path);
  ASSERT_GE(file.size(), kIndexHeaderSize);
  const TIndexHeader h = DecodeIndexHeader(std::span<const std::byte>(file).first<kIndexHeaderSize>());
  EXPECT_EQ(in_use, h.active_records);
  int pages = 0;
  for (int slot = h.no_primary != 0 ? 1 : 0; slot <= h.secondary_count; ++slot) {
    SCOPED_TRACE(slot);
    const TTreeStats stats = WalkTree(file, h, slot);
    EXPECT_EQ(in_use, stats.leaf_entries);
    pages += stats.pages;
  }
  // "Sys Deleted" indexes every record slot, deleted ones too.
  const TTreeStats sys = WalkTree(file, h, kSysDeletedSlot);
  EXPECT_EQ(slots, sys.leaf_entries);
  pages += sys.pages;
  // Every page of the file belongs to one of the trees.
  EXPECT_EQ(static_cast<int>(file.size() / 4096) - 1, pages);
}

TEST(PageTest, FixturePagesDecodeAndCountTheRecords) {
  CheckFixtureIndexes("basic/Kunden.IDX", 178, 200);
  CheckFixtureIndexes("noprimary/Journal.IDX", 150 - 30, 150);
  CheckFixtureIndexes("blocks1024/Notizen.IDX", 300 - 75, 300);
}

}  // namespace
}  // namespace tarvo

#include "support/char_maps.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <latch>
#include <thread>
#include <vector>

namespace tarvo {
namespace {

constexpr TLanguageId kGerman = 0x0407;

std::size_t Position(const TCharMap& map, std::uint8_t byte) {
  return static_cast<std::size_t>(std::find(map.begin(), map.end(), byte) - map.begin());
}

TEST(CharMapsTest, ByteOrderWithoutLanguage) {
  for (const TSortId sort : {TSortId{0}, TSortId{1}}) {
    const TCharMap map = GetCharMap(0, sort);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(i, map[i]);
  }
}

TEST(CharMapsTest, GermanMapPutsIgnorableBytesFirstInByteOrder) {
  const TCharMap map = GetCharMap(kGerman, 0);
  std::vector<std::uint8_t> ignorable;
  for (int b = 0x00; b <= 0x08; ++b) ignorable.push_back(static_cast<std::uint8_t>(b));
  for (int b = 0x0E; b <= 0x1F; ++b) ignorable.push_back(static_cast<std::uint8_t>(b));
  for (const std::uint8_t b : {0x7F, 0x81, 0x8D, 0x8F, 0x90, 0x9D, 0xAD}) ignorable.push_back(b);
  ASSERT_EQ(34u, ignorable.size());
  EXPECT_TRUE(std::equal(ignorable.begin(), ignorable.end(), map.begin()));

  TCharMap sorted = map;
  std::sort(sorted.begin(), sorted.end());
  for (int i = 0; i < 256; ++i) ASSERT_EQ(i, sorted[i]) << "not a permutation";

  EXPECT_LT(Position(map, 'a'), Position(map, 'A'));
  EXPECT_LT(Position(map, 'A'), Position(map, 0xE4));  // ä after a and A
  EXPECT_LT(Position(map, 0xE4), Position(map, 'b'));
  EXPECT_LT(Position(map, '9'), Position(map, 'a'));
  EXPECT_LT(Position(map, '-'), Position(map, '0'));  // string sort: punctuation has a place
}

TEST(CharMapsTest, MapsAreDeterministicAndCached) {
  const TCharMap built = BuildCharMap(kGerman, 1);
  EXPECT_EQ(built, BuildCharMap(kGerman, 1));
  EXPECT_EQ(built, GetCharMap(kGerman, 1));
  const std::size_t count = LanguageCharMaps().Count();
  EXPECT_EQ(built, GetCharMap(kGerman, 1));
  EXPECT_EQ(count, LanguageCharMaps().Count());
  EXPECT_NE(GetCharMap(0x0419, 0), GetCharMap(0x0409, 0));  // Cyrillic letters sort elsewhere
}

TEST(CharMapsTest, UnservedPairGetsByteOrder) {
  const TCharMap map = GetCharMap(0x9999, 0);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(i, map[i]);
}

TEST(CharMapsTest, ThreadsAskingAtOnceGetOneMap) {
  constexpr TLanguageId kPolish = 0x0415;
  const std::size_t before = LanguageCharMaps().Count();
  constexpr int kThreads = 6;
  std::vector<TCharMap> maps(kThreads);
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      maps[i] = GetCharMap(kPolish, 0);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(before + 1, LanguageCharMaps().Count());
  for (const TCharMap& map : maps) EXPECT_EQ(maps[0], map);
  EXPECT_EQ(BuildCharMap(kPolish, 0), maps[0]);
}

}  // namespace
}  // namespace tarvo

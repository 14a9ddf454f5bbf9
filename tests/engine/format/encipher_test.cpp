#include "engine/format/encipher.h"

#include <gtest/gtest.h>

#include <vector>

namespace tarvo {
namespace {

std::vector<std::byte> Pattern(std::size_t n) {
  std::vector<std::byte> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::byte>(i * 7 + 3);
  return v;
}

TEST(EncipherTest, XorsEachByteWithTheKeyStream) {
  std::vector<std::byte> block(3, std::byte{0});
  Encipher(block, {0x10, 0x20});
  // j = 0: 0x10 ^ 0x20; j = 1: 0x11 ^ 0x1F; j = 2: 0x12 ^ 0x1E.
  EXPECT_EQ(block, (std::vector{std::byte{0x30}, std::byte{0x0E}, std::byte{0x0C}}));

  std::vector<std::byte> wrap(300, std::byte{0});
  Encipher(wrap, {0xFF, 0x00});
  // j = 257: (0xFF + 1) mod 256 = 0x00, (0x00 - 1) mod 256 = 0xFF.
  EXPECT_EQ(wrap[257], std::byte{0xFF});
}

TEST(EncipherTest, TwiceIsIdentityForBothKeysAndManyLengths) {
  for (const TCipherKey key : {kHeaderKey, kRecordKey}) {
    for (const std::size_t n : {1u, 2u, 149u, 768u, 70'000u}) {
      const auto plain = Pattern(n);
      auto block = plain;
      Encipher(block, key);
      EXPECT_NE(block, plain) << n;
      Encipher(block, key);
      EXPECT_EQ(block, plain) << n;
    }
  }
}

TEST(EncipherTest, LengthWithLow16BitsZeroIsLeftUnchanged) {
  for (const std::size_t fields : {256u, 512u, 768u, 1024u}) {
    const auto plain = Pattern(fields * 768);
    auto block = plain;
    Encipher(block, kRecordKey);
    EXPECT_EQ(block, plain) << fields;
  }
  auto block = Pattern(65'536 + 768);
  const auto plain = block;
  Encipher(block, kRecordKey);
  EXPECT_NE(block, plain);
}

TEST(EncipherTest, OlderEnginesEncipheredTheBlockLengthModulo65536) {
  EXPECT_EQ(DescriptorCipherLength(100 * 768, 0), 100u * 768 % 65'536);
  EXPECT_EQ(DescriptorCipherLength(100 * 768, 20'800), 100u * 768);
  EXPECT_EQ(DescriptorCipherLength(16 * 768, 0), 16u * 768);
}

}  // namespace
}  // namespace tarvo

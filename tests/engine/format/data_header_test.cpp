#include "engine/format/data_header.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "engine/format/encipher.h"

namespace tarvo {
namespace {

using TRaw = std::array<std::byte, kDataHeaderSize>;

void Set(TRaw& raw, std::size_t off, std::initializer_list<int> bytes) {
  for (const int b : bytes) raw[off++] = static_cast<std::byte>(b);
}

TRaw HandWrittenHeader() {
  TRaw raw{};
  Set(raw, 0, {0x05, 0x00, 0x00, 0x00});          // HeaderChangeCount 5
  Set(raw, 4, {0x00, 0x04, 0x00, 0x00});          // BlobBlockSize 1024
  Set(raw, 8, {0x04});                            // FormatVersion
  Set(raw, 9, {0xC6, 0x00, 0x00, 0x00});          // FirstFreeRecord 198
  Set(raw, 13, {0xC9, 0x00, 0x00, 0x00});         // NextRecordSlot 201
  Set(raw, 17, {0xFF, 0xFF, 0xFF, 0x7F});         // LastAutoIncrement 2^31 - 1
  Set(raw, 21, {0x95, 0x00});                     // RecordSize 149
  Set(raw, 23, {0x10, 0x00});                     // FieldCount 16
  Set(raw, 25, {0x02, 0x00});                     // BlobFieldCount 2
  Set(raw, 27, {0, 0, 0, 0, 0, 0, 0xF8, 0x3F});   // LastWriteTime 1.5
  Set(raw, 35, {3, 'A', 'b', 'c'});               // Description "Abc"
  Set(raw, 86, {0});                              // not encrypted
  Set(raw, 103, {0x07, 0x04, 0x01, 0x00});        // LanguageID 0x0407, SortID 1
  Set(raw, 107, {0x02, 0x00, 0x08, 0x00});        // UserWord1 2, UserWord2 8
  Set(raw, 111, {0x01});                          // HeaderModified
  Set(raw, 112, {0xFE, 0xFF, 0xFF, 0xFF});        // BlobStampCounter -2
  Set(raw, 116, {0x40, 0x51, 0, 0, 0, 0, 0, 0});  // EngineVersion 20800
  Set(raw, 124, {0xAA, 0xBB, 0xCC});              // reserved
  return raw;
}

TEST(TDataHeaderTest, DecodesHandWrittenBytesAndEncodesThemBack) {
  const TRaw raw = HandWrittenHeader();
  const TDataHeader h = DecodeDataHeader(raw);
  EXPECT_EQ(h.HeaderChangeCount, 5);
  EXPECT_EQ(h.BlobBlockSize, 1024u);
  EXPECT_EQ(h.FormatVersion, 4);
  EXPECT_EQ(h.FirstFreeRecord, 198);
  EXPECT_EQ(h.NextRecordSlot, 201);
  EXPECT_EQ(h.LastAutoIncrement, 2147483647);
  EXPECT_EQ(h.RecordSize, 149);
  EXPECT_EQ(h.FieldCount, 16);
  EXPECT_EQ(h.BlobFieldCount, 2);
  EXPECT_EQ(h.LastWriteTime, 1.5);
  EXPECT_EQ(h.Description, "Abc");
  EXPECT_EQ(h.Encrypted, 0);
  EXPECT_EQ(h.Password, "");
  EXPECT_EQ(h.LanguageID, 0x0407);
  EXPECT_EQ(h.SortID, 1);
  EXPECT_EQ(h.UserWord1, 2);
  EXPECT_EQ(h.UserWord2, 8);
  EXPECT_EQ(h.HeaderModified, 1);
  EXPECT_EQ(h.BlobStampCounter, -2);
  EXPECT_EQ(h.EngineVersion, kEngineVersion);
  EXPECT_EQ(h.Reserved, (std::array{std::byte{0xAA}, std::byte{0xBB}, std::byte{0xCC}}));

  TRaw out;
  out.fill(std::byte{0x5A});
  EncodeDataHeader(h, out);
  EXPECT_EQ(out, raw);
}

TEST(TDataHeaderTest, ShortTextsAreCutAndTheirTailsZeroed) {
  TDataHeader h;
  h.Description = std::string(60, 'd');
  TRaw raw;
  raw.fill(std::byte{0x5A});
  EncodeDataHeader(h, raw);
  EXPECT_EQ(raw[kDataOffDescription], std::byte{50});
  EXPECT_EQ(DecodeDataHeader(raw).Description, std::string(50, 'd'));
  // Password: length 0, all 15 character bytes zero.
  for (std::size_t i = 0; i <= kPasswordWidth; ++i) EXPECT_EQ(raw[kDataOffPassword + i], std::byte{0});

  // A length byte above the width is read as the width.
  raw[kDataOffPassword] = std::byte{200};
  EXPECT_EQ(DecodeDataHeader(raw).Password.size(), kPasswordWidth);
}

TEST(TDataHeaderTest, EncryptedTextsAreStoredEncipheredWithAPlainLengthByte) {
  TDataHeader h;
  h.Encrypted = 1;
  SetPlainDescription(h, "Kundenstamm");
  SetPlainPassword(h, "a-secret-password-too-long");
  TRaw raw{};
  EncodeDataHeader(h, raw);

  EXPECT_EQ(raw[kDataOffDescription], std::byte{11});
  EXPECT_EQ(raw[kDataOffPassword], std::byte{15});
  EXPECT_NE(std::memcmp(&raw[kDataOffDescription + 1], "Kundenstamm", 11), 0);
  const TDataHeader back = DecodeDataHeader(raw);
  EXPECT_EQ(PlainDescription(back), "Kundenstamm");
  EXPECT_EQ(PlainPassword(back), "a-secret-passwo");
  EXPECT_EQ(back.Description, EncipherText("Kundenstamm", kHeaderKey));

  // Not encrypted: the description is plain, the password is not kept.
  TDataHeader plain;
  SetPlainDescription(plain, "Kunden");
  SetPlainPassword(plain, "pw");
  EXPECT_EQ(plain.Description, "Kunden");
  EXPECT_EQ(plain.Password, "");
}

TEST(TDataHeaderTest, CountersWrapToOneAndBlockSizeZeroReadsAs512) {
  EXPECT_EQ(NextCounterValue(2147483647), 1);
  EXPECT_EQ(NextCounterValue(0), 1);
  EXPECT_EQ(NextCounterValue(41), 42);
  TDataHeader h;
  EXPECT_EQ(EffectiveBlobBlockSize(h), 512u);
  h.BlobBlockSize = 2048;
  EXPECT_EQ(EffectiveBlobBlockSize(h), 2048u);
}

}  // namespace
}  // namespace tarvo

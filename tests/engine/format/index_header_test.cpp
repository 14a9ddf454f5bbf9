#include "engine/format/index_header.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "errors/engine_error.h"
#include "tests/testing/temp_dir.h"

namespace tarvo {
namespace {

std::vector<std::byte> ReadFixture(const std::string& path) {
  std::ifstream in(testing::FixturesDir() / path, std::ios::binary);
  std::vector<char> chars((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::byte> bytes(chars.size());
  for (std::size_t i = 0; i < chars.size(); ++i) bytes[i] = static_cast<std::byte>(chars[i]);
  return bytes;
}

TIndexHeader HeaderOf(const std::vector<std::byte>& file) {
  return DecodeIndexHeader(std::span<const std::byte>(file).first<kIndexHeaderSize>());
}

std::uint8_t At(std::span<const std::byte> b, std::size_t off) {
  return static_cast<std::uint8_t>(b[off]);
}

// The fields of the fixture table Kunden in field-number order: type and DataSize.
std::vector<TKeyFieldInfo> KundenFields() {
  return {{6, 4}, {1, 41}, {2, 4}, {3, 8},  {4, 2},  {5, 2},  {6, 4},   {7, 8},
          {7, 8}, {8, 8},  {9, 8}, {10, 4}, {11, 8}, {12, 2}, {15, 10}, {3, 8}};
}

// Kunden without its two blob fields, as in the fixture Journal.
std::vector<TKeyFieldInfo> JournalFields() {
  return {{6, 4}, {1, 41}, {2, 4}, {4, 2},  {5, 2},  {6, 4},  {7, 8},
          {7, 8}, {8, 8},  {9, 8}, {10, 4}, {11, 8}, {12, 2}, {15, 10}};
}

TEST(IndexHeaderTest, DescriptorMatchesHandWrittenBytes) {
  std::array<std::byte, kIndexDescriptorSize> raw{};
  const char name[] = "ByAmount";
  raw[0] = std::byte{8};
  for (int i = 0; i < 8; ++i) raw[1 + i] = static_cast<std::byte>(name[i]);
  raw[31] = std::byte{0x10};  // key length 16
  raw[33] = std::byte{1};     // descending
  raw[35] = std::byte{0};     // not unique
  raw[36] = std::byte{3};     // both compressions
  raw[37] = std::byte{2};     // two fields
  raw[39] = std::byte{1};     // the second descending
  raw[54] = std::byte{8};     // field 8
  raw[56] = std::byte{6};     // field 6
  raw[86] = std::byte{0x00};
  raw[87] = std::byte{0x50};  // root 0x5000
  raw[90] = std::byte{0x00};
  raw[91] = std::byte{0x60};  // free head 0x6000
  raw[95] = std::byte{7};
  raw[119] = std::byte{9};

  const TIndexDescriptor d = DecodeIndexDescriptor(raw);
  EXPECT_EQ("ByAmount", d.name);
  EXPECT_EQ(16, d.key_length);
  EXPECT_EQ(1, d.descending);
  EXPECT_EQ(0, d.unique);
  EXPECT_EQ(3, d.compression);
  EXPECT_EQ(2, d.field_count);
  EXPECT_EQ(0, d.field_descending[0]);
  EXPECT_EQ(1, d.field_descending[1]);
  EXPECT_EQ(8, d.field_numbers[0]);
  EXPECT_EQ(6, d.field_numbers[1]);
  EXPECT_EQ(0x5000, d.root);
  EXPECT_EQ(0x6000, d.free_head);
  EXPECT_EQ(7, d.byte95);
  EXPECT_EQ(9, d.reserved[23]);

  std::array<std::byte, kIndexDescriptorSize> again{};
  again.fill(std::byte{0xEE});
  EncodeIndexDescriptor(d, again);
  EXPECT_EQ(raw, again);
}

TEST(IndexHeaderTest, OverlongNameIsCutToThirtyCharacters) {
  std::array<std::byte, kIndexDescriptorSize> raw{};
  raw[0] = std::byte{200};
  for (int i = 1; i <= 30; ++i) raw[i] = std::byte{'X'};
  const TIndexDescriptor d = DecodeIndexDescriptor(raw);
  EXPECT_EQ(std::string(30, 'X'), d.name);
  TIndexDescriptor longer = d;
  longer.name = std::string(40, 'Y');
  EncodeIndexDescriptor(longer, raw);
  EXPECT_EQ(30, At(raw, 0));
  EXPECT_EQ(0, At(raw, 31));  // the key length is not overwritten
}

TEST(IndexHeaderTest, NewIndexFileImageIsExactlyAsWritten) {
  const auto image = NewIndexFileImage();
  ASSERT_EQ(4096u, image.size());
  EXPECT_EQ(1, At(image, 0));  // the first header write counted
  EXPECT_EQ(4, At(image, 8));
  EXPECT_EQ(0x00, At(image, 9));
  EXPECT_EQ(0x10, At(image, 10));  // next unused page 4096
  EXPECT_EQ(0, At(image, 13));
  const std::size_t sys = 14 + 31 * 120;
  EXPECT_EQ(11, At(image, sys));
  EXPECT_EQ('S', At(image, sys + 1));
  EXPECT_EQ('d', At(image, sys + 11));
  EXPECT_EQ(5, At(image, sys + 31));
  EXPECT_EQ(1, At(image, 3979));  // header-modified flag as it stood
  // Everything else is zero.
  int nonzero = 0;
  for (std::size_t i = 0; i < image.size(); ++i) nonzero += image[i] != std::byte{0};
  EXPECT_EQ(1 + 1 + 1 + 1 + 11 + 1 + 1, nonzero);

  const TIndexHeader h = NewIndexHeader();
  EXPECT_EQ(0, h.change_count);
  EXPECT_EQ(1, h.modified);
  EXPECT_EQ(-kWrongVersion, VerifyIndexHeader(h, KundenFields()));  // slot 0 still awaits its primary
}

TEST(IndexHeaderTest, FixtureHeaderRoundTripsAndMatchesTheSchema) {
  const auto file = ReadFixture("basic/Kunden.IDX");
  ASSERT_EQ(28672u, file.size());
  const TIndexHeader h = HeaderOf(file);
  std::array<std::byte, kIndexHeaderSize> again{};
  EncodeIndexHeader(h, again);
  EXPECT_TRUE(std::equal(again.begin(), again.end(), file.begin()));

  EXPECT_EQ(4, h.version);
  EXPECT_EQ(28672, h.next_page);
  EXPECT_EQ(4, h.secondary_count);
  EXPECT_EQ(178, h.active_records);
  EXPECT_EQ(0, h.no_primary);

  const TIndexDescriptor& primary = h.slots[kPrimarySlot];
  EXPECT_EQ("", primary.name);
  EXPECT_EQ(1, primary.unique);
  EXPECT_EQ(5, primary.key_length);  // ID: 1 + 4
  ASSERT_EQ(1, primary.field_count);
  EXPECT_EQ(1, primary.field_numbers[0]);

  struct TExpected {
    const char* name;
    std::uint16_t key_length;
    std::uint8_t descending, case_insensitive, unique, compression, field_count;
    std::uint16_t field1, field2;
    std::uint8_t field2_descending;
  };
  const TExpected expected[] = {{"ByName", 46, 0, 1, 0, 3, 1, 2, 0, 0},     // 1 + 41 + suffix 4
                                {"ByBorn", 9, 1, 0, 0, 1, 1, 3, 0, 0},      // 1 + 4 + 4
                                {"ByCount", 5, 0, 0, 1, 2, 1, 7, 0, 0},     // unique: no suffix
                                {"ByAmount", 16, 0, 0, 0, 0, 2, 8, 6, 1}};  // 9 + 3 + 4
  for (int slot = 1; slot <= 4; ++slot) {
    const TExpected& e = expected[slot - 1];
    const TIndexDescriptor& d = h.slots[slot];
    SCOPED_TRACE(e.name);
    EXPECT_EQ(e.name, d.name);
    EXPECT_EQ(e.key_length, d.key_length);
    EXPECT_EQ(e.descending, d.descending);
    EXPECT_EQ(e.case_insensitive, d.case_insensitive);
    EXPECT_EQ(e.unique, d.unique);
    EXPECT_EQ(e.compression, d.compression);
    EXPECT_EQ(e.field_count, d.field_count);
    EXPECT_EQ(e.field1, d.field_numbers[0]);
    EXPECT_EQ(e.field2, d.field_numbers[1]);
    EXPECT_EQ(0, d.field_descending[0]);
    EXPECT_EQ(e.field2_descending, d.field_descending[1]);
    EXPECT_NE(0, d.root);
    EXPECT_EQ(0, d.free_head);
  }
  EXPECT_EQ(SysDeletedDescriptor().name, h.slots[kSysDeletedSlot].name);
  EXPECT_EQ(5, h.slots[kSysDeletedSlot].key_length);
  EXPECT_EQ(TIndexDescriptor{}, h.slots[32]);
  EXPECT_EQ(0, CheckIndexHeaderOnOpen(h));
  EXPECT_EQ(0, VerifyIndexHeader(h, KundenFields()));
}

TEST(IndexHeaderTest, FixtureWithoutPrimaryIndexVerifies) {
  const TIndexHeader h = HeaderOf(ReadFixture("noprimary/Journal.IDX"));
  EXPECT_EQ(1, h.no_primary);
  EXPECT_EQ(TIndexDescriptor{}, h.slots[kPrimarySlot]);
  EXPECT_EQ(120, h.active_records);
  EXPECT_EQ(0, VerifyIndexHeader(h, JournalFields()));

  // Without the flag, the empty primary slot is damage.
  TIndexHeader flagless = h;
  flagless.no_primary = 0;
  EXPECT_EQ(-kWrongVersion, VerifyIndexHeader(flagless, JournalFields()));
}

TEST(IndexHeaderTest, VerificationRefusesEveryDamagedSlot) {
  const TIndexHeader good = HeaderOf(ReadFixture("basic/Kunden.IDX"));
  const auto fields = KundenFields();
  ASSERT_EQ(0, VerifyIndexHeader(good, fields));
  const int bad = -kWrongVersion;

  struct TCase {
    const char* what;
    void (*damage)(TIndexHeader&);
  };
  const TCase cases[] = {
      {"version", [](TIndexHeader& h) { h.version = 3; }},
      {"primary name", [](TIndexHeader& h) { h.slots[0].name = "P"; }},
      {"primary not unique", [](TIndexHeader& h) { h.slots[0].unique = 0; }},
      {"empty secondary name", [](TIndexHeader& h) { h.slots[2].name = ""; }},
      {"name starts with a digit", [](TIndexHeader& h) { h.slots[2].name = "1Born"; }},
      {"duplicate name without case", [](TIndexHeader& h) { h.slots[3].name = "BYNAME"; }},
      {"17 fields", [](TIndexHeader& h) { h.slots[4].field_count = 17; }},
      {"unknown field", [](TIndexHeader& h) { h.slots[1].field_numbers[0] = 17; }},
      {"field number 0", [](TIndexHeader& h) { h.slots[1].field_numbers[0] = 0; }},
      {"blob field", [](TIndexHeader& h) { h.slots[1].field_numbers[0] = 4; }},
      {"no fields", [](TIndexHeader& h) { h.slots[3].field_count = 0; }},
      {"key length disagrees", [](TIndexHeader& h) { h.slots[2].key_length = 8; }},
      {"compression 4", [](TIndexHeader& h) { h.slots[2].compression = 4; }},
      {"root beyond the pages", [](TIndexHeader& h) { h.slots[1].root = h.next_page; }},
      {"root inside the header", [](TIndexHeader& h) { h.slots[1].root = 100; }},
      {"root off a page boundary", [](TIndexHeader& h) { h.slots[1].root = 8192 + 13; }},
      {"free head beyond the pages", [](TIndexHeader& h) { h.slots[0].free_head = 1 << 30; }},
      {"system root beyond", [](TIndexHeader& h) { h.slots[31].root = h.next_page; }},
      {"system key length", [](TIndexHeader& h) { h.slots[31].key_length = 50; }},
      {"next page below the header end", [](TIndexHeader& h) { h.next_page = 0; }},
      {"31 secondary indexes", [](TIndexHeader& h) { h.secondary_count = 31; }},
  };
  for (const TCase& c : cases) {
    TIndexHeader h = good;
    c.damage(h);
    EXPECT_EQ(bad, VerifyIndexHeader(h, fields)) << c.what;
  }

  // A field part of more than 524 bytes: 13 text fields of 41 bytes.
  TIndexHeader wide = good;
  wide.slots[1].field_count = 13;
  for (int i = 0; i < 13; ++i) wide.slots[1].field_numbers[i] = 2;
  wide.slots[1].key_length = 13 * 42 + 4;
  EXPECT_EQ(bad, VerifyIndexHeader(wide, fields));
  wide.slots[1].field_count = 12;  // 504 bytes pass
  wide.slots[1].field_numbers[12] = 0;
  wide.slots[1].key_length = 12 * 42 + 4;
  EXPECT_EQ(0, VerifyIndexHeader(wide, fields));

  // In a file without pages, roots must be 0.
  TIndexHeader empty = good;
  empty.next_page = 4096;
  EXPECT_EQ(bad, VerifyIndexHeader(empty, fields));
  for (auto& slot : empty.slots) slot.root = 0;
  EXPECT_EQ(0, VerifyIndexHeader(empty, fields));

  // An unknown field ends the primary's list when there is no primary index.
  TIndexHeader lenient = good;
  lenient.no_primary = 1;
  lenient.slots[0] = TIndexDescriptor{};
  lenient.slots[0].field_count = 2;
  lenient.slots[0].field_numbers = {99, 1};
  EXPECT_EQ(0, VerifyIndexHeader(lenient, fields));
}

TIndexDescriptor Definition(const std::string& name, std::uint16_t field, std::uint16_t key_length,
                            bool unique) {
  TIndexDescriptor d;
  d.name = name;
  d.key_length = key_length;
  d.unique = unique ? 1 : 0;
  d.field_count = 1;
  d.field_numbers[0] = field;
  return d;
}

TEST(IndexHeaderTest, DefinitionsBuildTheFixtureSlots) {
  const TIndexHeader fixture = HeaderOf(ReadFixture("basic/Kunden.IDX"));
  const auto fields = KundenFields();
  TIndexHeader h = NewIndexHeader();
  ASSERT_EQ(0, SetPrimaryIndex(h, Definition("", 1, 5, true), fields));
  EXPECT_EQ(-kPrimaryExists, SetPrimaryIndex(h, Definition("", 1, 5, true), fields));
  for (int slot = 1; slot <= 4; ++slot) {
    TIndexDescriptor def = fixture.slots[slot];
    def.root = 12345;  // never taken from a definition
    ASSERT_EQ(0, AddSecondaryIndex(h, def, fields));
  }
  for (int slot = 0; slot <= 4; ++slot) {
    TIndexDescriptor expected = fixture.slots[slot];
    expected.root = 0;
    EXPECT_EQ(expected, h.slots[slot]) << slot;
  }
  EXPECT_EQ(4, h.secondary_count);
  EXPECT_EQ(0, h.no_primary);

  EXPECT_EQ(-kIndexExists, AddSecondaryIndex(h, Definition(" byname ", 2, 46, false), fields));
  EXPECT_EQ(-kIndexNameMissing, AddSecondaryIndex(h, Definition("  ", 2, 46, false), fields));
  EXPECT_EQ(-kInvalidIndexName, AddSecondaryIndex(h, Definition("9x", 2, 46, false), fields));
  EXPECT_EQ(-kInvalidIndexFieldType, AddSecondaryIndex(h, Definition("ByNotes", 4, 13, false), fields));
  TIndexDescriptor many = Definition("Many", 2, 46, false);
  many.field_count = 17;
  EXPECT_EQ(-kIndexLimits, AddSecondaryIndex(h, many, fields));
  for (int i = 5; i <= 30; ++i)
    ASSERT_EQ(0, AddSecondaryIndex(h, Definition("I" + std::to_string(i), 7, 9, false), fields));
  EXPECT_EQ(-kIndexLimits, AddSecondaryIndex(h, Definition("Full", 7, 9, false), fields));
  EXPECT_EQ(30, h.secondary_count);
  EXPECT_EQ(kSysDeletedName, h.slots[kSysDeletedSlot].name);  // untouched by 30 secondary indexes
}

TEST(IndexHeaderTest, DeleteStoreAndEmptyKeepTheirSlotRules) {
  TIndexHeader h = HeaderOf(ReadFixture("basic/Kunden.IDX"));
  const TIndexHeader fixture = h;
  DeleteSecondaryIndex(h, 2);
  EXPECT_EQ(3, h.secondary_count);
  EXPECT_EQ("ByName", h.slots[1].name);
  EXPECT_EQ("ByCount", h.slots[2].name);
  EXPECT_EQ("ByAmount", h.slots[3].name);
  EXPECT_EQ(fixture.slots[2], h.slots[4]);  // parked behind the last used slot

  TIndexDescriptor def = Definition("Renamed", 3, 9, false);
  def.restructure_mark = 1;
  def.free_head = 99;
  h.slots[1].free_head = 8192;
  h.slots[1].byte95 = 5;
  h.slots[1].reserved[3] = 1;
  StoreIndexDefinition(h, 1, def);
  EXPECT_EQ("Renamed", h.slots[1].name);
  EXPECT_EQ(9, h.slots[1].key_length);
  EXPECT_EQ(0, h.slots[1].root);
  EXPECT_EQ(8192, h.slots[1].free_head);  // the slot's own chain stays
  EXPECT_EQ(5, h.slots[1].byte95);
  EXPECT_EQ(0, h.slots[1].restructure_mark);
  EXPECT_EQ(0, h.slots[1].reserved[3]);

  EmptyIndexHeader(h);
  EXPECT_EQ(4096, h.next_page);
  EXPECT_EQ(0, h.active_records);
  for (int slot : {0, 1, 2, 3, kSysDeletedSlot}) {
    EXPECT_EQ(0, h.slots[slot].root);
    EXPECT_EQ(0, h.slots[slot].free_head);
  }

  SetNoPrimaryIndex(h, true);
  EXPECT_EQ(1, h.no_primary);
  EXPECT_EQ(TIndexDescriptor{}, h.slots[0]);
  TIndexHeader none = NewIndexHeader();
  EXPECT_EQ(0, SetPrimaryIndex(none, TIndexDescriptor{}, KundenFields()));
  EXPECT_EQ(1, none.no_primary);
}

TEST(IndexHeaderTest, OpenRefusesMoreThanThirtyTwoSecondaryIndexes) {
  TIndexHeader h = NewIndexHeader();
  h.secondary_count = 32;
  EXPECT_EQ(0, CheckIndexHeaderOnOpen(h));
  h.secondary_count = 33;
  EXPECT_EQ(-kHeaderCorrupt, CheckIndexHeaderOnOpen(h));
}

}  // namespace
}  // namespace tarvo

#include "support/code_page.h"

#include <gtest/gtest.h>
#include <unicode/ucnv.h>

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tarvo {
namespace {

TEST(CodePageTest, EveryByteOfEveryCodePageRoundTrips) {
  ASSERT_EQ(10u, TCodePage::Supported().size());
  for (const std::uint16_t number : TCodePage::Supported()) {
    SCOPED_TRACE(number);
    const TCodePage* page = TCodePage::Find(number);
    ASSERT_NE(nullptr, page);
    std::set<char16_t> seen;
    for (int b = 0; b < 256; ++b) {
      const auto byte = static_cast<std::uint8_t>(b);
      const char16_t c = page->ToUnicode(byte);
      EXPECT_TRUE(seen.insert(c).second) << "byte " << b << " shares its code point";
      EXPECT_EQ(byte, page->FromUnicode(c)) << "byte " << b;
    }
  }
}

// What ICU's converter makes of one code point: its single byte, or nothing when it stops.
std::optional<std::uint8_t> IcuByteOf(UConverter* converter, char32_t c) {
  UChar in[2];
  int32_t length = 0;
  if (c > 0xFFFF) {
    in[length++] = static_cast<UChar>(0xD7C0 + (c >> 10));
    in[length++] = static_cast<UChar>(0xDC00 | (c & 0x3FF));
  } else {
    in[length++] = static_cast<UChar>(c);
  }
  char out[8];
  UErrorCode status = U_ZERO_ERROR;
  ucnv_reset(converter);
  const int32_t written = ucnv_fromUChars(converter, out, sizeof out, in, length, &status);
  if (U_FAILURE(status) || written != 1) return std::nullopt;
  return static_cast<std::uint8_t>(out[0]);
}

TEST(CodePageTest, ConversionsAgreeWithIcuOverTheWholeBasicPlane) {
  for (const std::uint16_t number : TCodePage::Supported()) {
    SCOPED_TRACE(number);
    const TCodePage& page = *TCodePage::Find(number);
    UErrorCode status = U_ZERO_ERROR;
    const std::string name = "windows-" + std::to_string(number);
    std::unique_ptr<UConverter, void (*)(UConverter*)> converter(ucnv_open(name.c_str(), &status),
                                                                 ucnv_close);
    ucnv_setFromUCallBack(converter.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    ucnv_setToUCallBack(converter.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    ASSERT_TRUE(U_SUCCESS(status));
    std::set<std::uint8_t> unmapped;
    for (int b = 0; b < 256; ++b) {
      const char in = static_cast<char>(b);
      UChar out[4];
      status = U_ZERO_ERROR;
      ucnv_reset(converter.get());
      const int32_t length = ucnv_toUChars(converter.get(), out, 4, &in, 1, &status);
      if (U_FAILURE(status) || length != 1) {
        unmapped.insert(static_cast<std::uint8_t>(b));
        EXPECT_EQ(kUnmappedBase + b, page.ToUnicode(static_cast<std::uint8_t>(b))) << "byte " << b;
      } else {
        EXPECT_EQ(out[0], page.ToUnicode(static_cast<std::uint8_t>(b))) << "byte " << b;
      }
    }
    // Every code point of the basic plane, and some beyond it, which no code page holds.
    std::vector<char32_t> code_points;
    for (char32_t c = 0; c <= 0xFFFF; ++c) code_points.push_back(c);
    code_points.insert(code_points.end(), {0x10000, 0x1F600, 0x10FFFF, 0x110000, 0xFFFFFFFF});
    for (const char32_t c : code_points) {
      std::optional<std::uint8_t> expected;
      if (c >= kUnmappedBase && c < kUnmappedBase + 256u &&
          unmapped.count(static_cast<std::uint8_t>(c - kUnmappedBase))) {
        expected = static_cast<std::uint8_t>(c - kUnmappedBase);
      } else if (c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF)) {
        expected = IcuByteOf(converter.get(), c);
      }
      ASSERT_EQ(expected, page.FromUnicode(c)) << "code point " << std::hex << static_cast<std::uint32_t>(c);
      ASSERT_EQ(expected.value_or(kNoByteForm), page.Encode(c));
    }
  }
}

TEST(CodePageTest, UnmappedBytesGetPrivateUseCodePoints) {
  const std::vector<std::pair<std::uint16_t, std::vector<std::uint8_t>>> unmapped = {
      {1253, {0xD2, 0xFF}},
      {1255, {0xCA, 0xD9, 0xDA, 0xDB, 0xDC, 0xDD, 0xDE, 0xDF, 0xFB, 0xFC, 0xFF}},
      {1257, {0xA1, 0xA5}}};
  for (const auto& [number, bytes] : unmapped) {
    const TCodePage& page = *TCodePage::Find(number);
    for (const std::uint8_t b : bytes) {
      EXPECT_EQ(kUnmappedBase + b, page.ToUnicode(b)) << number << " byte " << int{b};
      EXPECT_EQ(b, page.ToUpper(b));
      EXPECT_EQ(b, page.ToLower(b));
    }
  }
  // A mapped byte is not private use.
  EXPECT_EQ(u'\u03C2', TCodePage::Find(1253)->ToUnicode(0xF2));
}

TEST(CodePageTest, KnownMappings) {
  EXPECT_EQ(u'\u20AC', TCodePage::Find(1252)->ToUnicode(0x80));
  EXPECT_EQ(u'\u0081', TCodePage::Find(1252)->ToUnicode(0x81));
  EXPECT_EQ(u'\u0160', TCodePage::Find(1250)->ToUnicode(0x8A));
  EXPECT_EQ(u'\u0410', TCodePage::Find(1251)->ToUnicode(0xC0));
  EXPECT_EQ(u'\u05D0', TCodePage::Find(1255)->ToUnicode(0xE0));
  EXPECT_EQ(u'\u0E01', TCodePage::Find(874)->ToUnicode(0xA1));
  EXPECT_EQ(nullptr, TCodePage::Find(437));
}

TEST(CodePageTest, CharacterWithoutByteFormBecomesQuestionMark) {
  const TCodePage& page = *TCodePage::Find(1252);
  EXPECT_EQ('?', page.Encode(U'\u0410'));
  EXPECT_EQ('?', page.Encode(U'\U0001F600'));
  EXPECT_FALSE(page.FromUnicode(U'\u0410').has_value());
  EXPECT_EQ(0xE4, page.Encode(U'\u00E4'));
}

TEST(CodePageTest, LanguagesUseTheirWindowsCodePage) {
  const std::vector<std::pair<TLanguageId, std::uint16_t>> expected = {
      {0x0000, 1252}, {0x0407, 1252}, {0x0409, 1252}, {0x040C, 1252}, {0x0405, 1250}, {0x0415, 1250},
      {0x041C, 1250}, {0x081A, 1250}, {0x041A, 1250}, {0x0C1A, 1251}, {0x0419, 1251}, {0x0422, 1251},
      {0x0423, 1251}, {0x0402, 1251}, {0x0408, 1253}, {0x041F, 1254}, {0x040D, 1255}, {0x0401, 1256},
      {0x0429, 1256}, {0x0425, 1257}, {0x0426, 1257}, {0x0427, 1257}, {0x042A, 1258}, {0x041E, 874},
      {0x042C, 1254}, {0x082C, 1251}, {0x0411, 0},    {0x0804, 0}};
  for (const auto& [language, code_page] : expected) {
    EXPECT_EQ(code_page, CodePageOfLanguage(language)) << std::hex << language;
  }
  EXPECT_EQ(1252, CodePageFor(0x0411).Number());
}

}  // namespace
}  // namespace tarvo

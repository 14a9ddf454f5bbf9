#include "support/locale.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace tarvo {
namespace {

constexpr TLanguageId kGerman = 0x0407;
constexpr TLanguageId kEnglishUsa = 0x0409;

TEST(LocaleTest, ValidityFollowsWhatCanBeServed) {
  EXPECT_EQ(0x10407u, LocaleId(kGerman, 1));
  EXPECT_TRUE(LocaleIsValid(0, 0));
  EXPECT_TRUE(LocaleIsValid(kGerman, 0));
  EXPECT_TRUE(LocaleIsValid(kGerman, 1));
  EXPECT_TRUE(LocaleIsValid(0x0807, 1));        // phone book offered for every German language
  EXPECT_FALSE(LocaleIsValid(kEnglishUsa, 1));  // unknown sort id
  EXPECT_FALSE(LocaleIsValid(kGerman, 7));
  EXPECT_FALSE(LocaleIsValid(0x9999, 0));  // unknown language
  EXPECT_FALSE(LocaleIsValid(0x7C07, 0));  // unknown sub-language of a known language
  EXPECT_FALSE(LocaleIsValid(0x0411, 0));  // double-byte code page
  EXPECT_FALSE(LocaleIsValid(0x0400, 0));  // no primary language
}

TEST(LocaleTest, UpperCaseKeepsLengthAndBytesWithoutUpperForm) {
  // windows-1252: ä ö ü ß µ ƒ ÿ
  const std::string text =
      "stra\xDF"
      "e \xE4\xF6\xFC \xB5\x83 \xFF";
  const std::string upper = UpperCase(kGerman, 0, text);
  EXPECT_EQ(
      "STRA\xDF"
      "E \xC4\xD6\xDC \xB5\x83 \x9F",
      upper);  // ÿ → Ÿ (0x9F)
  EXPECT_EQ(text.size(), upper.size());
  EXPECT_EQ(upper, UpperCase(0, 0, text));  // language 0 maps as English (USA)
  EXPECT_EQ(upper, UpperCase(kEnglishUsa, 0, text));
  EXPECT_EQ(
      "stra\xDF"
      "e \xE4\xF6\xFC \xB5\x83 \xFF",
      LowerCase(kGerman, 0, upper));
  EXPECT_EQ(std::string("A\0B", 3), UpperCase(kGerman, 0, std::string("a\0b", 3)));
}

TEST(LocaleTest, CaseMappingUsesTheLanguagesCodePage) {
  EXPECT_EQ("\xC0\xC1", UpperCase(0x0419, 0, "\xE0\xE1"));          // Russian а б in windows-1251
  EXPECT_EQ("\xD3\xD3\xD2", UpperCase(0x0408, 0, "\xF3\xF2\xD2"));  // Greek σ ς, unmapped D2 kept
  EXPECT_EQ("II", UpperCase(0x041F, 0, "i\xFD"));  // Turkish i and dotless ı, simple mapping
  EXPECT_EQ("i\xFD", LowerCase(0x041F, 0, "i\xFD"));
}

TEST(LocaleTest, ByteOrderWithoutLanguage) {
  EXPECT_EQ(-1, CompareText(0, 0, "abc", false, 0, "abcd"));  // the terminating zero takes part
  EXPECT_EQ(1, CompareText(0, 0, "abcd", false, 0, "abc"));
  EXPECT_EQ(-1, CompareText(0, 0, "abc", false, 0, "abd"));
  EXPECT_EQ(0, CompareText(0, 0, "abc", false, 0, "abc"));
  EXPECT_EQ(0, CompareText(0, 0, "", false, 0, ""));
  EXPECT_EQ(1, CompareText(0, 0, "\xE4", false, 0, "z"));  // unsigned bytes
  EXPECT_EQ(1, CompareText(0, 0, "a", false, 0, "B"));
  EXPECT_EQ(-1, CompareText(0, 0, "a", true, 0, "B"));  // upper-cased first
  EXPECT_EQ(0, CompareText(0, 0, "M\xFCller", true, 0, "M\xDCLLER"));
  // A text ends at its first zero byte.
  EXPECT_EQ(0, CompareText(0, 0, std::string("ab\0x", 4), false, 0, std::string("ab\0y", 4)));
}

TEST(LocaleTest, CountLimitsTheComparedCharacters) {
  for (const TLanguageId language : {TLanguageId{0}, kGerman}) {
    SCOPED_TRACE(language);
    EXPECT_EQ(0, CompareText(language, 0, "abcX", false, 3, "abcY"));
    EXPECT_EQ(-1, CompareText(language, 0, "abcX", false, 4, "abcY"));
    EXPECT_EQ(-1, CompareText(language, 0, "abc", false, 10, "abcd"));  // count beyond the texts
    EXPECT_EQ(0, CompareText(language, 0, "abc", false, 10, "abc"));
    EXPECT_EQ(0, CompareText(language, 0, "abcd", false, 3, "abc"));
  }
}

TEST(LocaleTest, TextEqualsItsUpperCaseWithoutCase) {
  const std::string text =
      "Gr\xFC\xDF"
      "e aus K\xF6ln, Stra\xDF"
      "e 7";
  for (const TLanguageId language : {TLanguageId{0}, kGerman}) {
    SCOPED_TRACE(language);
    const std::string upper = UpperCase(language, 0, text);
    EXPECT_EQ(0, CompareText(language, 0, text, true, 0, upper));
    EXPECT_NE(0, CompareText(language, 0, text, false, 0, upper));
  }
}

TEST(LocaleTest, GermanCollation) {
  EXPECT_EQ(-1, CompareText(kGerman, 0, "a", false, 0, "A"));  // case decides, lower case first
  EXPECT_EQ(0, CompareText(kGerman, 0, "resume", false, 0, "r\xE9sum\xE9"));  // accents ignored
  EXPECT_EQ(-1, CompareText(kGerman, 0, "co-op", false, 0, "coop"));          // string sort
  EXPECT_EQ(-1, CompareText(kGerman, 0, "\xE4pfel", false, 0, "Birne"));      // not byte order
  EXPECT_EQ(1, CompareText(kGerman, 0, "M\xFCller", false, 0, "Muff"));       // ü as u
}

TEST(LocaleTest, PhoneBookOrderSortsUmlautAsVowelWithE) {
  EXPECT_EQ(0, CompareText(kGerman, 1, "M\xFCller", false, 0, "Mueller"));
  EXPECT_EQ(0, CompareText(kGerman, 1, "M\xFCller", true, 0, "MUELLER"));
  EXPECT_EQ(-1, CompareText(kGerman, 1, "M\xFCller", false, 0, "Muff"));
  EXPECT_EQ(1, CompareText(kGerman, 0, "M\xFCller", false, 0, "Mueller"));
}

TEST(LocaleTest, UnservedLocaleComparesAsBytes) {
  EXPECT_EQ(1, CompareText(0x9999, 0, "a", false, 0, "B"));
  EXPECT_EQ(1, CompareChar(0x9999, 0, 'a', 'B'));
}

TEST(LocaleTest, CompareChar) {
  EXPECT_EQ(1, CompareChar(0, 0, 0xE4, 'z'));
  EXPECT_EQ(0, CompareChar(0, 0, 'a', 'a'));
  EXPECT_EQ(-1, CompareChar(kGerman, 0, 0xE4, 'z'));
  EXPECT_EQ(-1, CompareChar(kGerman, 0, 'a', 'A'));
  EXPECT_EQ(0, CompareChar(kGerman, 0, 'a', 0xE4));  // accent ignored
  EXPECT_EQ(1, CompareChar(kGerman, 0, 'b', 0xE4));
}

TEST(LocaleTest, LongTextsCompareWhole) {
  const std::string a = std::string(300, 'x') + "a";
  const std::string b = std::string(300, 'x') + "b";
  EXPECT_EQ(-1, CompareText(kGerman, 0, a, false, 0, b));
  EXPECT_EQ(0, CompareText(kGerman, 0, a, false, 300, b));
}

TEST(LocaleTest, ConcurrentComparisonsAgree) {
  const std::vector<TLanguageId> languages = {0x0407, 0x0419, 0x0408, 0x041F, 0x040C, 0x041D};
  const std::vector<std::string> texts = {"abc",
                                          "ABC",
                                          "\xE4"
                                          "b",
                                          "M\xFCller",
                                          "co-op",
                                          "\xE0\xE1"};
  auto results = [&] {
    std::vector<int> out;
    for (TLanguageId language : languages) {
      for (const auto& a : texts) {
        for (const auto& b : texts) {
          out.push_back(CompareText(language, 0, a, false, 0, b));
          out.push_back(CompareText(language, 1, a, true, 0, b));
        }
      }
    }
    return out;
  };
  std::vector<std::vector<int>> seen(4);
  std::vector<std::thread> threads;
  for (auto& s : seen) threads.emplace_back([&s, &results] { s = results(); });
  for (auto& t : threads) t.join();
  const std::vector<int> expected = results();
  for (const auto& s : seen) EXPECT_EQ(expected, s);
}

}  // namespace
}  // namespace tarvo

// Text case mapping and field-name rules under real locales (cp1252 for German and for language
// 0, which maps as English (USA)). Needs the locale services' implementation.
#include <gtest/gtest.h>

#include <vector>

#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/format/header_check.h"
#include "support/locale.h"
#include "tests/engine/format/format_builders.h"

namespace tarvo {
namespace {

constexpr TLanguageId kGerman = 0x0407;

TEST(FieldTextLocaleTest, CaseMappingKeepsTheLengthAndMapsAccentedLetters) {
  std::vector<std::byte> slot(DataSizeOf(kTypeText, 10) + 1);
  PutText(slot,
          "stra\xDF"
          "e \xE4\xF6\xFC  ",
          kCaseUpper, kGerman, 0);
  EXPECT_EQ(GetText(slot),
            "STRA\xDF"
            "E \xC4\xD6\xDC");  // ß has no single-byte capital
  PutText(slot, "\xC4RGER", kCaseLower, kGerman, 0);
  EXPECT_EQ(GetText(slot), "\xE4rger");
  PutText(slot, "\xE9t\xE9", kCaseUpper, 0, 0);  // language 0 maps as English (USA)
  EXPECT_EQ(GetText(slot), "\xC9T\xC9");
}

TEST(FieldTextLocaleTest, FieldNamesAreJudgedUpperCasedUnderTheTableLocale) {
  // ÿ (255) upper-cases to Ÿ (159), which may begin a name.
  EXPECT_TRUE(IsValidFieldName("\xFFx", 0, 0));
  EXPECT_TRUE(IsValidFieldName("\xE4x", kGerman, 0));

  std::vector<TFieldDescriptor> fields = {testing::Field("\xC4nderung", kTypeText, 5),
                                          testing::Field("\xE4NDERUNG", kTypeDate)};
  TDataHeader h = testing::LayOut(fields);
  h.LanguageID = kGerman;
  EXPECT_EQ(CheckDataHeader(h, fields, testing::FileLength(h), LocaleIsValid), kHeaderCorrupt);
  fields[1].FieldName = "Anderung";
  EXPECT_EQ(CheckDataHeader(h, fields, testing::FileLength(h), LocaleIsValid), 0);
}

}  // namespace
}  // namespace tarvo

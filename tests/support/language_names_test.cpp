#include "support/language_names.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace tarvo {
namespace {

TEST(LanguageNamesTest, TableHasTheLanguagesInOrder) {
  const auto names = LanguageNames();
  ASSERT_EQ(99u, names.size());
  EXPECT_EQ("ANSI Standard", names.front().name);
  EXPECT_EQ(0, names.front().id);
  EXPECT_EQ("Afrikaans", names[1].name);
  EXPECT_EQ("German (Standard)", names[48].name);
  EXPECT_EQ("German (Liechtenstein)", names[52].name);
  EXPECT_EQ("Vietnamese", names.back().name);
  std::set<std::string_view> unique_names;
  std::set<TLanguageId> unique_ids;
  for (const auto& language : names) {
    unique_names.insert(language.name);
    unique_ids.insert(language.id);
  }
  EXPECT_EQ(99u, unique_names.size());
  EXPECT_EQ(99u, unique_ids.size());
}

TEST(LanguageNamesTest, IdentifiersOfNamesWithoutRegardToCase) {
  const std::vector<std::pair<std::string, TLanguageId>> expected = {{"Afrikaans", 0x0436},
                                                                     {"Albanian", 0x041C},
                                                                     {"Arabic (Saudi Arabia)", 0x0401},
                                                                     {"arabic (iraq)", 0x0801},
                                                                     {"Dutch (Belgian)", 0x0813},
                                                                     {"ENGLISH (USA)", 0x0409},
                                                                     {"German (Standard)", 0x0407},
                                                                     {"german (swiss)", 0x0807},
                                                                     {"Portuguese (Standard)", 0x0816},
                                                                     {"Portuguese (Brazilian)", 0x0416},
                                                                     {"Serbian (Latin)", 0x081A},
                                                                     {"Spanish (Castilian)", 0x040A},
                                                                     {"Spanish (Modern)", 0x0C0A},
                                                                     {"Ukranian", 0x0422},
                                                                     {"Vietnamese", 0x042A},
                                                                     {"ansi standard", 0x0000}};
  for (const auto& [name, id] : expected) {
    EXPECT_TRUE(IsLanguageName(name)) << name;
    EXPECT_EQ(id, LanguageIdOfName(name)) << name;
  }
  EXPECT_FALSE(IsLanguageName("Klingon"));
  EXPECT_FALSE(IsLanguageName("German"));
  EXPECT_FALSE(LanguageIdOfName("").has_value());
}

TEST(LanguageNamesTest, OnlyGermanLanguagesOfferThePhoneBookOrder) {
  int offering = 0;
  for (const auto& language : LanguageNames()) {
    const auto sorts = SortOrderNames(language.id);
    ASSERT_FALSE(sorts.empty());
    EXPECT_EQ("Default Order", sorts[0]);
    EXPECT_EQ(kDefaultOrder, SortIdOfName(language.id, "default order"));
    if (sorts.size() > 1) {
      ++offering;
      EXPECT_EQ("German Phone Book Order", sorts[1]);
      EXPECT_TRUE(language.name.starts_with("German")) << language.name;
      EXPECT_EQ(kGermanPhoneBookOrder, SortIdOfName(language.id, "GERMAN PHONE BOOK ORDER"));
    } else {
      EXPECT_FALSE(IsSortOrderName(language.id, "German Phone Book Order")) << language.name;
    }
    EXPECT_FALSE(IsSortOrderName(language.id, "Dictionary Order"));
  }
  EXPECT_EQ(5, offering);
}

TEST(LanguageNamesTest, EveryNamedLocaleIsServed) {
  for (const auto& language : LanguageNames()) {
    for (const auto& sort_name : SortOrderNames(language.id)) {
      const TSortId sort = *SortIdOfName(language.id, sort_name);
      EXPECT_TRUE(LocaleIsValid(language.id, sort)) << language.name << " / " << sort_name;
    }
  }
}

}  // namespace
}  // namespace tarvo

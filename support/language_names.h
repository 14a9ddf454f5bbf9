// The names of the languages and sort orders that a table's locale can be given by, with their
// Windows language and sort identifiers. Names are compared without regard to case. The tables
// are constant; every function is safe from any thread.
#pragma once

#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "support/locale.h"

namespace tarvo {

struct TLanguageName {
  std::string_view name;
  TLanguageId id;
};

inline constexpr std::size_t kLanguageNameCount = 99;
inline constexpr std::string_view kDefaultOrderName = "Default Order";
inline constexpr std::string_view kGermanPhoneBookOrderName = "German Phone Book Order";
inline constexpr TSortId kDefaultOrder = 0;
inline constexpr TSortId kGermanPhoneBookOrder = 1;

// The languages in table order; the first is "ANSI Standard" (0, plain byte order).
std::span<const TLanguageName> LanguageNames();

bool IsLanguageName(std::string_view name);
std::optional<TLanguageId> LanguageIdOfName(std::string_view name);

// The sort-order names offered for a language: "Default Order" for every language, and
// "German Phone Book Order" for the five German ones.
std::vector<std::string_view> SortOrderNames(TLanguageId language);
bool IsSortOrderName(TLanguageId language, std::string_view sort_name);
// The sort id of a sort-order name offered for the language.
std::optional<TSortId> SortIdOfName(TLanguageId language, std::string_view sort_name);

}  // namespace tarvo

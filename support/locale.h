// Locale services: case mapping and comparison of single-byte text under a table's locale
// (LanguageID, SortID), and the locale's character map. LanguageID 0 means plain byte order
// and calls nothing else; every other language is served through ICU, its text being bytes of
// the language's Windows code page.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvo {

using TLanguageId = std::uint16_t;
using TSortId = std::uint16_t;
using TCharMap = std::array<std::uint8_t, 256>;

// (sort << 16) | language.
std::uint32_t LocaleId(TLanguageId language, TSortId sort);

// Whether the pair can be served here (language 0 always can).
bool LocaleIsValid(TLanguageId language, TSortId sort);

// Upper- and lower-case mapping of single-byte text; the result has the same length.
// Language 0 maps as English (USA).
std::string UpperCase(TLanguageId language, TSortId sort, std::string_view text);
std::string LowerCase(TLanguageId language, TSortId sort, std::string_view text);

// −1, 0 or 1. `count` 0 compares the whole texts, otherwise at most `count` characters of each.
// A text ends at its first zero byte. Language 0, and a pair that is not valid, compare as
// unsigned bytes (upper-cased first when case-insensitive, language 0 as English (USA)); any other language
// collates with string sort, ignoring non-spacing marks, and ignoring case when asked.
int CompareText(TLanguageId language, TSortId sort, std::string_view text1, bool case_insensitive,
                std::size_t count, std::string_view text2);

// −1, 0 or 1 for two single characters, collated as CompareText does case-sensitively.
int CompareChar(TLanguageId language, TSortId sort, std::uint8_t c1, std::uint8_t c2);

// The 256 byte values in collating order (identity for language 0); built once per pair.
TCharMap GetCharMap(TLanguageId language, TSortId sort);

}  // namespace tarvo

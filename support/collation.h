// Collators of the locales with a language: the ICU locale of a (language, sort) pair and one
// ICU collator per pair and comparison flag set, opened on first use and kept for the life of
// the process. A pair is served when ICU knows its language and sub-language, its sort id is 0
// or one ICU knows (German phone-book order for every German language), and its language has a
// single-byte code page. Collators are only used through ICU's const calls, so one collator is
// shared by every thread.
#pragma once

#include <unicode/ucol.h>

#include <cstdint>
#include <string>

#include "support/locale.h"

namespace tarvo {

// Comparison flags, with the values the engine has always used for them.
using TCompareFlags = std::uint32_t;
inline constexpr TCompareFlags kIgnoreCase = 0x0001;      // case does not count
inline constexpr TCompareFlags kIgnoreNonspace = 0x0002;  // accents and other marks do not count
inline constexpr TCompareFlags kStringSort = 0x1000;      // punctuation counts like letters
// The flags of text comparison and text keys.
inline constexpr TCompareFlags kTextCompareFlags = kStringSort | kIgnoreNonspace;

// The ICU locale of the pair ("de_DE", "de_DE@collation=phonebook"); empty when the pair is not
// served, and for language 0, which has none.
std::string IcuLocaleName(TLanguageId language, TSortId sort);

// The collator of the pair for `flags`, nullptr when the pair is not served. The collator lives
// until the process ends. Thread safe; the hot path takes no lock.
//   string sort       → alternate handling non-ignorable (else shifted)
//   ignore nonspace   → strength primary, plus the case level unless case is ignored
//   ignore case alone → strength secondary
//   neither           → strength tertiary
const UCollator* FindCollator(TLanguageId language, TSortId sort, TCompareFlags flags);

}  // namespace tarvo

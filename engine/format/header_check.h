// The check of a data file's header and field descriptors when a table is opened, as a pure
// function of the decoded header, the decoded (deciphered) descriptors and the file length. Its
// caller holds the table's reader lock and raises the code it returns.
//
// Steps, the first failure deciding:
//   0. FieldCount above 1,024, or not the number of descriptors given → 8961.
//   1. FormatVersion other than 4 → 12035.
//   2. LanguageID not 0 and the locale (LanguageID, SortID) not valid here → 15878.
//   3. For each descriptor i, with a running offset from 9 and DataSize recomputed from type and
//      size: the name, upper-cased under the table's locale, is non-empty, at most 30 characters
//      and begins with a letter, "_" or a character of code 129 to 254; no other descriptor has
//      the same name (case-insensitive, blanks trimmed); FieldType is not 0; FieldSize is at most
//      250 for types 1, 9 and 15 and 0 for all others; DefaultValue, MinValue and MaxValue are
//      valid texts for the type (value_text.h); FieldDecimals is 0 unless the type is 8; the
//      auto-increment field has RecordOffset 5, any other stored field the running offset, which
//      then grows by DataSize + 1 (computed fields have no place and are skipped); FieldNumber is
//      i.  → 8961.
//   4. RecordSize equals the final running offset → else 8961.
//   5. With L the file length and S = 127 + 768 x FieldCount: L is at least S; (L - S) is a
//      multiple of RecordSize; (L - S) / RecordSize + 1 equals NextRecordSlot → else 8961.
//
// A caller that accepts the table stores the recomputed DataSize and DecimalsCopy in its
// descriptor copies (RecomputeDataSizes, record_layout.h).
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "errors/engine_error.h"
#include "engine/format/data_header.h"
#include "engine/format/field_descriptor.h"
#include "support/locale.h"

namespace tarvo {

// Whether a locale can be served on this system (LocaleIsValid in production).
using TLocaleValidity = std::function<bool(TLanguageId, TSortId)>;

// 0 when the table may be opened, otherwise 8961, 12035 or 15878.
[[nodiscard]] TEngineCode CheckDataHeader(const TDataHeader& h, std::span<const TFieldDescriptor> descriptors,
                                          std::uint64_t file_length, const TLocaleValidity& locale_is_valid);

// Whether `name` is acceptable as a field name under the locale (step 3's first rule).
bool IsValidFieldName(std::string_view name, TLanguageId language, TSortId sort);
// Whether two field names are one under the locale, as step 3 compares them (blanks trimmed,
// upper-cased in the table's code page).
bool SameFieldName(std::string_view a, std::string_view b, TLanguageId language, TSortId sort);
// Whether a name may be given to a new field or index: it holds no NUL, which would end it for
// every reader that takes stored names as C strings. (Stored tables are not held to it.)
inline bool IsStorableName(std::string_view name) {
  return name.find('\0') == std::string_view::npos;
}

}  // namespace tarvo

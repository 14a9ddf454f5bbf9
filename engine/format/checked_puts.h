// Putting a value given from outside (an SQL statement, an imported document) into a field's
// slot, checked first: a value the field cannot keep exactly as given is refused with
// EFieldValueError naming the field, and the slot is left as it was. The callers turn their own
// kinds of values into the plain ones taken here and check the kind themselves.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "engine/format/byte_codec.h"
#include "engine/format/field_descriptor.h"
#include "support/locale.h"

namespace tarvo {

// Refuses a value for the field `d` with `reason`.
[[noreturn]] void RefuseFieldValue(const TFieldDescriptor& d, const std::string& reason);

// `utf8` in the table's code page; refused when one of its characters has no byte there (it
// would be stored as '?').
std::string CodePageTextOf(const std::string& utf8, const TFieldDescriptor& d, TLanguageId language);

// Text (1), `text` in the table's code page: refused when it holds a zero byte or is longer than
// the field without its trailing blanks (which are never stored).
void PutCheckedText(TBytes slot, const TFieldDescriptor& d, std::string_view text, TLanguageId language,
                    TSortId sort);

// Date (2), time (10) or date-time (11) from its text; `separator` is what stands between the date
// and the time of a date-time in the message (both ' ' and 'T' are read).
void PutCheckedTemporal(TBytes slot, const TFieldDescriptor& d, std::string_view text, char separator);
// The refusal of a date, time or date-time that is no such text.
std::string TemporalExpected(const TFieldDescriptor& d, char separator);

// Boolean (0 or 1) and the integers (5, 6, 12, 13), within the type's range.
void PutCheckedInteger(TBytes slot, const TFieldDescriptor& d, std::int64_t value);
// The range of those types.
struct TIntegerRange {
  std::int64_t Min = 0;
  std::int64_t Max = 0;
};
TIntegerRange IntegerRange(const TFieldDescriptor& d);

// Floating point (7) and 10-byte floating point (14).
void PutCheckedFloat(TBytes slot, const TFieldDescriptor& d, double value);
// An integer as the double that is stored; refused when no double has its value.
double ExactDoubleOf(const TFieldDescriptor& d, std::int64_t value);
double ExactDoubleOf(const TFieldDescriptor& d, std::uint64_t value);

// Fixed-point (8), the value x 10,000: refused when it has more decimal places than the field
// shows (they would not come back as given).
void PutCheckedFixed(TBytes slot, const TFieldDescriptor& d, std::int64_t scaled);
// The same from a decimal text.
void PutCheckedFixedText(TBytes slot, const TFieldDescriptor& d, std::string_view text);
// The refusal of a fixed-point value with more decimal places than the field shows.
[[noreturn]] void RefuseFixedPlaces(const TFieldDescriptor& d);

// Bytes (9, 15): refused when longer than the field.
void PutCheckedBytes(TBytes slot, const TFieldDescriptor& d, std::span<const std::byte> bytes);

// The auto-increment value of `record` (the field `d`): 1 to 2,147,483,647, as 0 and negative
// values mark damaged records and the counter never hands them out.
void PutCheckedAutoIncrement(TBytes record, const TFieldDescriptor& d, std::int64_t id);

}  // namespace tarvo

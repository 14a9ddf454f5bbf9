// The text forms of field values kept in a descriptor's DefaultValue, MinValue and MaxValue:
// parsing, formatting, validation, and comparison of such a text with a field value in a record
// (for the minimum and maximum checks). An empty text always means "none" and is valid.
//
// Accepted forms, by field type (blanks before and after the text are ignored for every type
// except text):
//   1  text                 any text
//   2  date                 YYYY-MM-DD (4-digit year 0001 to 9999, 2-digit month and day)
//   10 time                 HH:MM[:SS[.f]] (00:00 to 23:59:59.999; f = 1 to 3 digits of the second)
//   11 date and time        YYYY-MM-DD HH:MM[:SS[.f]] or YYYY-MM-DDTHH:MM[:SS[.f]]
//   4  boolean              TRUE or FALSE, in any case
//   5, 6, 12, 13 integers   [+|-]digits, within the type's range (int16, int32, uint16, uint32)
//   7, 14 floating point    [+|-]digits[.digits] or [+|-].digits, then optionally e|E[+|-]digits;
//                           the value must be finite
//   8  fixed-point          [+|-]digits[.d] with d = 1 to 4 digits (values are kept x 10,000)
//   3, 9, 15 blob and bytes only the empty text
//   any other type          only the empty text
//
// Formatting writes the forms the fixtures use: dates YYYY-MM-DD, times HH:MM:SS.mmm, date-times
// YYYY-MM-DDTHH:MM:SS.mmm, TRUE/FALSE, shortest round-trip decimal numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "engine/format/field_descriptor.h"
#include "engine/format/field_types.h"
#include "support/locale.h"

namespace tarvo {

std::optional<std::int32_t> ParseDateText(std::string_view text);  // day number
std::optional<std::int32_t> ParseTimeText(std::string_view text);  // ms since midnight
std::optional<double> ParseDateTimeText(std::string_view text);    // day number x 86,400,000 + ms
std::optional<bool> ParseBooleanText(std::string_view text);
std::optional<std::int64_t> ParseIntegerText(std::string_view text, std::int64_t min, std::int64_t max);
std::optional<double> ParseFloatText(std::string_view text);
std::optional<std::int64_t> ParseFixedText(std::string_view text);  // value x 10,000

// Empty for a day number outside 1 .. 9999-12-31.
std::string FormatDateText(std::int32_t day_number);
// Empty for a time outside 0 .. 86,399,999.
std::string FormatTimeText(std::int32_t ms);
// Rounded to whole milliseconds; empty outside the calendar's range.
std::string FormatDateTimeText(double ms);
std::string FormatFloatText(double value);
// `places` decimals (0 to 4), rounded half away from zero.
std::string FormatFixedText(std::int64_t scaled, int places);

// A field value in a comparable form: text (1); int64 for dates (day number), times (ms),
// booleans (0/1), integers and fixed-point (x 10,000); double for floats and date-times.
using TFieldValue = std::variant<std::string, std::int64_t, double>;

// The value of a non-empty text for the type; nullopt when the text is not a valid form or the
// type has no comparable values (blob, bytes, other codes).
std::optional<TFieldValue> ParseValueText(TTypeCode type, TTypeCode subtype, std::uint8_t size,
                                          std::uint8_t decimals, std::string_view text);

// Whether `text` may stand in DefaultValue, MinValue or MaxValue of such a field.
bool IsValidValueText(TTypeCode type, TTypeCode subtype, std::uint8_t size, std::uint8_t decimals,
                      std::string_view text);

// The field's value in `record` in comparable form; nullopt when it is null, not stored, or of a
// type without comparable values. Requires: a layout that passed the open-time check.
std::optional<TFieldValue> ReadFieldValue(const TFieldDescriptor& d, std::span<const std::byte> record);

// -1, 0 or 1. Texts compare case-sensitively under the locale; values of different kinds compare
// by kind (never happens for values of one field).
int CompareFieldValues(const TFieldValue& a, const TFieldValue& b, TLanguageId language, TSortId sort);

// -1, 0 or 1: the field's value in `record` compared with the value of `text`; nullopt when the
// field is null or the text is empty or gives no value for the field's type.
std::optional<int> CompareFieldWithText(const TFieldDescriptor& d, std::span<const std::byte> record,
                                        std::string_view text, TLanguageId language, TSortId sort);

}  // namespace tarvo

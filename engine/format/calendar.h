// The calendar of date, time and date-time field values: proleptic Gregorian dates counted as day
// numbers with 0001-01-01 as day 1, times as milliseconds since midnight, date-times as
// day number x 86,400,000 + milliseconds. Pure arithmetic; years 1 to 9999.
#pragma once

#include <cstdint>
#include <optional>

namespace tarvo {

inline constexpr std::int32_t kMsPerDay = 86'400'000;
inline constexpr std::int32_t kMaxDayNumber = 3'652'059;  // 9999-12-31

struct TDate {
  int Year = 1;
  int Month = 1;
  int Day = 1;
  bool operator==(const TDate&) const = default;
};

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);
// Year 1..9999, month 1..12, day within the month.
bool IsValidDate(int year, int month, int day);

// Day number of a valid date (asserted).
std::int32_t DayNumber(const TDate& date);
// The date of day numbers 1 .. kMaxDayNumber; nullopt outside.
std::optional<TDate> DateFromDayNumber(std::int32_t day_number);

// Date-time value from a day number and milliseconds since midnight.
double DateTimeValue(std::int32_t day_number, std::int32_t ms);

}  // namespace tarvo

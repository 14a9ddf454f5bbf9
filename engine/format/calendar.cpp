#include "engine/format/calendar.h"

#include <cassert>

namespace tarvo {

namespace {

constexpr int kDaysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

std::int32_t DaysBeforeYear(int year) {
  const std::int32_t y = year - 1;
  return y * 365 + y / 4 - y / 100 + y / 400;
}

}  // namespace

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
  constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  assert(month >= 1 && month <= 12);
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

bool IsValidDate(int year, int month, int day) {
  return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
         day <= DaysInMonth(year, month);
}

std::int32_t DayNumber(const TDate& date) {
  assert(IsValidDate(date.Year, date.Month, date.Day));
  const int leap_day = date.Month > 2 && IsLeapYear(date.Year) ? 1 : 0;
  return DaysBeforeYear(date.Year) + kDaysBeforeMonth[date.Month - 1] + leap_day + date.Day;
}

std::optional<TDate> DateFromDayNumber(std::int32_t day_number) {
  if (day_number < 1 || day_number > kMaxDayNumber) return std::nullopt;
  // Estimate the year from the mean year length, then correct by at most one either way.
  int year = static_cast<int>(static_cast<std::int64_t>(day_number) * 400 / 146'097) + 1;
  while (year > 1 && DaysBeforeYear(year) >= day_number) --year;
  while (DaysBeforeYear(year + 1) < day_number) ++year;
  const int day_of_year = day_number - DaysBeforeYear(year);  // 1-based
  const int leap_day = IsLeapYear(year) ? 1 : 0;
  // The month is the last whose first day is not after the day; from March on the leap day counts.
  int month = 12;
  while (month > 1 && kDaysBeforeMonth[month - 1] + (month > 2 ? leap_day : 0) >= day_of_year) --month;
  return TDate{year, month, day_of_year - kDaysBeforeMonth[month - 1] - (month > 2 ? leap_day : 0)};
}

double DateTimeValue(std::int32_t day_number, std::int32_t ms) {
  return static_cast<double>(day_number) * kMsPerDay + ms;
}

}  // namespace tarvo

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
  // Counted in years that begin on 1 March, so that the leap day ends the year, and in eras of
  // 400 years (146,097 days); day 1 (1 January of year 1) is day 306 after 1 March of year 0.
  const std::int32_t z = day_number - 1 + 306;
  const std::int32_t era = z / 146'097;
  const std::int32_t day_of_era = z - era * 146'097;
  const std::int32_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36'524 - day_of_era / 146'096) / 365;
  const std::int32_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::int32_t month_from_march = (5 * day_of_year + 2) / 153;
  const int day = day_of_year - (153 * month_from_march + 2) / 5 + 1;
  const int month = month_from_march < 10 ? month_from_march + 3 : month_from_march - 9;
  const int year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  return TDate{year, month, day};
}

double DateTimeValue(std::int32_t day_number, std::int32_t ms) {
  return static_cast<double>(day_number) * kMsPerDay + ms;
}

}  // namespace tarvo

#include "engine/format/value_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <type_traits>

#include "engine/format/calendar.h"
#include "engine/format/field_values.h"
#include "engine/format/record_layout.h"

namespace tarvo {

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

// Exactly `n` digits at the front of `text`, consumed.
std::optional<int> TakeDigits(std::string_view& text, std::size_t n) {
  if (text.size() < n) return std::nullopt;
  int value = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!IsDigit(text[i])) return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  text.remove_prefix(n);
  return value;
}

bool TakeChar(std::string_view& text, char c) {
  if (text.empty() || text.front() != c) return false;
  text.remove_prefix(1);
  return true;
}

std::optional<std::int32_t> TakeDate(std::string_view& text) {
  const auto year = TakeDigits(text, 4);
  if (!year || !TakeChar(text, '-')) return std::nullopt;
  const auto month = TakeDigits(text, 2);
  if (!month || !TakeChar(text, '-')) return std::nullopt;
  const auto day = TakeDigits(text, 2);
  if (!day || !IsValidDate(*year, *month, *day)) return std::nullopt;
  return DayNumber({*year, *month, *day});
}

std::optional<std::int32_t> TakeTime(std::string_view& text) {
  const auto hour = TakeDigits(text, 2);
  if (!hour || !TakeChar(text, ':')) return std::nullopt;
  const auto minute = TakeDigits(text, 2);
  if (!minute) return std::nullopt;
  int second = 0;
  int ms = 0;
  if (TakeChar(text, ':')) {
    const auto s = TakeDigits(text, 2);
    if (!s) return std::nullopt;
    second = *s;
    if (TakeChar(text, '.')) {
      int digits = 0;
      while (!text.empty() && IsDigit(text.front()) && digits < 3) {
        ms = ms * 10 + (text.front() - '0');
        text.remove_prefix(1);
        ++digits;
      }
      if (digits == 0) return std::nullopt;
      for (; digits < 3; ++digits) ms *= 10;
    }
  }
  if (*hour > 23 || *minute > 59 || second > 59) return std::nullopt;
  return ((*hour * 60 + *minute) * 60 + second) * 1000 + ms;
}

template <typename T>
std::optional<T> Whole(std::string_view text, std::optional<T> (*take)(std::string_view&)) {
  text = TrimBlanks(text);
  const auto value = take(text);
  if (!value || !text.empty()) return std::nullopt;
  return value;
}

int Sign(auto a, auto b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

}  // namespace

std::optional<std::int32_t> ParseDateText(std::string_view text) {
  return Whole(text, &TakeDate);
}

std::optional<std::int32_t> ParseTimeText(std::string_view text) {
  return Whole(text, &TakeTime);
}

std::optional<double> ParseDateTimeText(std::string_view text) {
  text = TrimBlanks(text);
  const auto day = TakeDate(text);
  if (!day || !(TakeChar(text, 'T') || TakeChar(text, ' '))) return std::nullopt;
  const auto ms = TakeTime(text);
  if (!ms || !text.empty()) return std::nullopt;
  return DateTimeValue(*day, *ms);
}

std::optional<bool> ParseBooleanText(std::string_view text) {
  text = TrimBlanks(text);
  auto equals = [text](std::string_view word) {
    if (text.size() != word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
      const char c = text[i] >= 'a' && text[i] <= 'z' ? static_cast<char>(text[i] - 'a' + 'A') : text[i];
      if (c != word[i]) return false;
    }
    return true;
  };
  if (equals("TRUE")) return true;
  if (equals("FALSE")) return false;
  return std::nullopt;
}

std::optional<std::int64_t> ParseIntegerText(std::string_view text, std::int64_t min, std::int64_t max) {
  text = TrimBlanks(text);
  const bool negative = TakeChar(text, '-');
  if (!negative) TakeChar(text, '+');
  if (text.empty()) return std::nullopt;
  std::uint64_t magnitude = 0;
  for (const char c : text) {
    if (!IsDigit(c)) return std::nullopt;
    if (magnitude > (std::numeric_limits<std::uint64_t>::max() - 9) / 10) return std::nullopt;
    magnitude = magnitude * 10 + static_cast<std::uint64_t>(c - '0');
  }
  constexpr std::uint64_t kMaxNegative = std::uint64_t{1} << 63;
  if (magnitude > (negative ? kMaxNegative : kMaxNegative - 1)) return std::nullopt;
  const std::int64_t value =
      negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
  if (value < min || value > max) return std::nullopt;
  return value;
}

std::optional<double> ParseFloatText(std::string_view text) {
  text = TrimBlanks(text);
  std::string_view rest = text;
  const bool negative = TakeChar(rest, '-');
  if (!negative) TakeChar(rest, '+');
  const std::string_view number = rest;
  std::size_t i = 0;
  std::size_t digits = 0;
  while (i < rest.size() && IsDigit(rest[i])) ++i, ++digits;
  if (i < rest.size() && rest[i] == '.') {
    ++i;
    while (i < rest.size() && IsDigit(rest[i])) ++i, ++digits;
  }
  if (digits == 0) return std::nullopt;
  if (i < rest.size() && (rest[i] == 'e' || rest[i] == 'E')) {
    ++i;
    if (i < rest.size() && (rest[i] == '+' || rest[i] == '-')) ++i;
    std::size_t exponent_digits = 0;
    while (i < rest.size() && IsDigit(rest[i])) ++i, ++exponent_digits;
    if (exponent_digits == 0) return std::nullopt;
  }
  if (i != rest.size()) return std::nullopt;
  double value = 0.0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (error != std::errc() || end != number.data() + number.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

std::optional<std::int64_t> ParseFixedText(std::string_view text) {
  text = TrimBlanks(text);
  const std::size_t dot = text.find('.');
  std::string_view whole = text.substr(0, dot);
  std::int64_t fraction = 0;
  if (dot != std::string_view::npos) {
    std::string_view digits = text.substr(dot + 1);
    if (digits.empty() || digits.size() > 4) return std::nullopt;
    for (const char c : digits) {
      if (!IsDigit(c)) return std::nullopt;
    }
    fraction = *TakeDigits(digits, digits.size());
    for (std::size_t n = text.size() - dot - 1; n < 4; ++n) fraction *= 10;
  }
  const bool negative = TakeChar(whole, '-');
  if (!negative) TakeChar(whole, '+');
  if (whole.empty()) return std::nullopt;
  for (const char c : whole) {
    if (!IsDigit(c)) return std::nullopt;
  }
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  const auto units = ParseIntegerText(whole, 0, kMax / kFixedScale);
  if (!units || *units * kFixedScale > kMax - fraction) return std::nullopt;
  const std::int64_t magnitude = *units * kFixedScale + fraction;
  return negative ? -magnitude : magnitude;
}

namespace {

// Writes `value` (not negative) as `width` digits, zero-padded; returns the end.
char* PutDigits(char* out, int value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return out + width;
}

}  // namespace

std::string FormatDateText(std::int32_t day_number) {
  const auto date = DateFromDayNumber(day_number);
  if (!date) return {};
  char buffer[10];
  char* out = PutDigits(buffer, date->Year, 4);
  *out++ = '-';
  out = PutDigits(out, date->Month, 2);
  *out++ = '-';
  out = PutDigits(out, date->Day, 2);
  return std::string(buffer, out);
}

std::string FormatTimeText(std::int32_t ms) {
  if (ms < 0 || ms >= kMsPerDay) return {};
  char buffer[12];
  char* out = PutDigits(buffer, ms / 3'600'000, 2);
  *out++ = ':';
  out = PutDigits(out, ms / 60'000 % 60, 2);
  *out++ = ':';
  out = PutDigits(out, ms / 1000 % 60, 2);
  *out++ = '.';
  out = PutDigits(out, ms % 1000, 3);
  return std::string(buffer, out);
}

std::string FormatDateTimeText(double ms) {
  if (!std::isfinite(ms) || ms < kMsPerDay || ms >= (kMaxDayNumber + 1.0) * kMsPerDay) return {};
  const auto total = static_cast<std::int64_t>(std::llround(ms));
  const auto day = static_cast<std::int32_t>(total / kMsPerDay);
  const std::string date = FormatDateText(day);
  if (date.empty()) return {};
  // Appended piece by piece: text + temporary string concatenations draw false overlap warnings
  // from some optimizers.
  std::string text = date;
  text += 'T';
  text += FormatTimeText(static_cast<std::int32_t>(total % kMsPerDay));
  return text;
}

std::string FormatFloatText(double value) {
  char buffer[32];
  const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return error == std::errc() ? std::string(buffer, end) : std::string();
}

std::string FormatFixedText(std::int64_t scaled, int places) {
  places = std::clamp(places, 0, 4);
  std::uint64_t divisor = 1;
  for (int i = places; i < 4; ++i) divisor *= 10;
  const bool negative = scaled < 0;
  const std::uint64_t magnitude =
      negative ? 0 - static_cast<std::uint64_t>(scaled) : static_cast<std::uint64_t>(scaled);
  const std::uint64_t rounded =
      magnitude / divisor + (magnitude % divisor * 2 >= divisor && divisor > 1 ? 1 : 0);
  std::uint64_t unit = 1;
  for (int i = 0; i < places; ++i) unit *= 10;
  std::string out;
  if (negative && rounded != 0) out += '-';
  out += std::to_string(rounded / unit);
  if (places > 0) {
    const std::string fraction = std::to_string(rounded % unit);
    out += '.';
    out.append(static_cast<std::size_t>(places) - fraction.size(), '0');
    out += fraction;
  }
  return out;
}

std::optional<TFieldValue> ParseValueText(TTypeCode type, TTypeCode /*subtype*/, std::uint8_t /*size*/,
                                          std::uint8_t /*decimals*/, std::string_view text) {
  auto wide = [](auto value) -> std::optional<TFieldValue> {
    if (!value) return std::nullopt;
    if constexpr (std::is_same_v<typename decltype(value)::value_type, double>) {
      return TFieldValue(*value);
    } else {
      return TFieldValue(static_cast<std::int64_t>(*value));
    }
  };
  switch (type) {
    case kTypeText: return TFieldValue(std::string(text));
    case kTypeDate: return wide(ParseDateText(text));
    case kTypeTime: return wide(ParseTimeText(text));
    case kTypeDateTime: return wide(ParseDateTimeText(text));
    case kTypeBoolean: return wide(ParseBooleanText(text));
    case kTypeInt16: return wide(ParseIntegerText(text, INT16_MIN, INT16_MAX));
    case kTypeInt32: return wide(ParseIntegerText(text, INT32_MIN, INT32_MAX));
    case kTypeUInt16: return wide(ParseIntegerText(text, 0, UINT16_MAX));
    case kTypeUInt32: return wide(ParseIntegerText(text, 0, UINT32_MAX));
    case kTypeFloat:
    case kTypeExtended: return wide(ParseFloatText(text));
    case kTypeFixed: return wide(ParseFixedText(text));
    default: return std::nullopt;
  }
}

bool IsValidValueText(TTypeCode type, TTypeCode subtype, std::uint8_t size, std::uint8_t decimals,
                      std::string_view text) {
  return text.empty() || ParseValueText(type, subtype, size, decimals, text).has_value();
}

std::optional<TFieldValue> ReadFieldValue(const TFieldDescriptor& d, std::span<const std::byte> record) {
  if (!IsStored(d)) return std::nullopt;
  if (IsAutoIncrement(d.FieldType, d.FieldSubType)) {
    return TFieldValue(static_cast<std::int64_t>(RecordAutoIncrement(record)));
  }
  const TConstBytes slot = ConstFieldSlot(record, d);
  auto wide = [](auto value) -> std::optional<TFieldValue> {
    if (!value) return std::nullopt;
    if constexpr (std::is_same_v<typename decltype(value)::value_type, double>) {
      return TFieldValue(*value);
    } else if constexpr (std::is_same_v<typename decltype(value)::value_type, std::string>) {
      return TFieldValue(std::move(*value));
    } else {
      return TFieldValue(static_cast<std::int64_t>(*value));
    }
  };
  switch (d.FieldType) {
    case kTypeText: return wide(GetText(slot));
    case kTypeDate: return wide(GetDate(slot));
    case kTypeTime: return wide(GetTime(slot));
    case kTypeDateTime: return wide(GetDateTime(slot));
    case kTypeBoolean: return wide(GetBoolean(slot));
    case kTypeInt16: return wide(GetInt16(slot));
    case kTypeInt32: return wide(GetInt32(slot));
    case kTypeUInt16: return wide(GetUInt16(slot));
    case kTypeUInt32: return wide(GetUInt32(slot));
    case kTypeFloat: return wide(GetFloat(slot));
    case kTypeExtended: return wide(GetExtended(slot));
    case kTypeFixed: return wide(GetFixed(slot));
    default: return std::nullopt;
  }
}

int CompareFieldValues(const TFieldValue& a, const TFieldValue& b, TLanguageId language, TSortId sort) {
  if (a.index() != b.index()) return Sign(a.index(), b.index());
  if (const auto* text = std::get_if<std::string>(&a)) {
    return CompareText(language, sort, *text, false, 0, std::get<std::string>(b));
  }
  if (const auto* number = std::get_if<std::int64_t>(&a)) return Sign(*number, std::get<std::int64_t>(b));
  return Sign(std::get<double>(a), std::get<double>(b));
}

std::optional<int> CompareFieldWithText(const TFieldDescriptor& d, std::span<const std::byte> record,
                                        std::string_view text, TLanguageId language, TSortId sort) {
  if (text.empty()) return std::nullopt;
  const auto limit = ParseValueText(d.FieldType, d.FieldSubType, d.FieldSize, d.FieldDecimals, text);
  if (!limit) return std::nullopt;
  const auto value = ReadFieldValue(d, record);
  if (!value) return std::nullopt;
  return CompareFieldValues(*value, *limit, language, sort);
}

}  // namespace tarvo

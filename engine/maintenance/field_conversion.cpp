// The conversion of a field value between field types during a restructure.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "engine/format/field_types.h"
#include "engine/format/field_values.h"
#include "engine/format/value_text.h"
#include "engine/maintenance/restructure.h"
#include "support/platform_names.h"
#include "support/short_text.h"

namespace tarvo {

namespace {

constexpr std::int64_t kMsPerDay = 86'400'000;
// The day of date-time value 0 in the day count of date-time fields.
constexpr std::int64_t kDateTimeZeroDay = 693'594;

bool IsBytesType(TTypeCode t) {
  return t == kTypeBytes || t == kTypeVarBytes;
}

// The old value's data bytes into the new slot, min of both sizes, flag set. A text target gets
// the bytes as characters up to the first zero byte, so it keeps its terminator and an empty
// text stays null.
void PutRaw(TConstBytes from, TBytes to, const TFieldDescriptor& to_field, TLanguageId language,
            TSortId sort) {
  if (to_field.FieldType == kTypeText) {
    std::string chars;
    for (const std::byte b : from.subspan(1)) {
      if (b == std::byte{0}) break;
      chars.push_back(static_cast<char>(b));
    }
    PutText(to, chars, to_field.CaseMapping, language, sort);
    return;
  }
  SetNull(to);
  const std::size_t n = std::min(from.size(), to.size()) - 1;
  std::copy_n(from.begin() + 1, n, to.begin() + 1);
  to[0] = std::byte{1};
}

// Rounds a value x 10,000 to `decimals` places (half away from zero).
std::int64_t RoundScaled(std::int64_t scaled, std::uint8_t decimals) {
  if (decimals >= 4) return scaled;
  std::int64_t unit = 1;
  for (int i = decimals; i < 4; ++i) unit *= 10;
  const std::int64_t half = unit / 2;
  return scaled >= 0 ? (scaled + half) / unit * unit : -((-scaled + half) / unit * unit);
}

std::int64_t ScaledFromDouble(double v, std::uint8_t decimals, bool& ok) {
  const double scaled = std::round(v * 10'000.0);
  if (!std::isfinite(scaled) || std::fabs(scaled) > 9.2e18) {
    ok = false;
    return 0;
  }
  return RoundScaled(static_cast<std::int64_t>(scaled), decimals);
}

// Stores an integer into an integer, float, boolean or fixed-point target (the rules' "same
// value", "times 10,000", and any non-zero value a true boolean). A value outside an integer
// target's range is not cut to its low bits: the target gets zero and false is returned.
bool PutInteger(const TFieldDescriptor& to, TBytes slot, std::int64_t v) {
  switch (to.FieldType) {
    case kTypeInt16:
      if (v < INT16_MIN || v > INT16_MAX) return PutInt16(slot, 0), false;
      PutInt16(slot, static_cast<std::int16_t>(v));
      break;
    case kTypeUInt16:
      if (v < 0 || v > UINT16_MAX) return PutUInt16(slot, 0), false;
      PutUInt16(slot, static_cast<std::uint16_t>(v));
      break;
    case kTypeInt32:
      if (v < INT32_MIN || v > INT32_MAX) return PutInt32(slot, 0), false;
      PutInt32(slot, static_cast<std::int32_t>(v));
      break;
    case kTypeUInt32:
      if (v < 0 || v > UINT32_MAX) return PutUInt32(slot, 0), false;
      PutUInt32(slot, static_cast<std::uint32_t>(v));
      break;
    case kTypeFloat: PutFloat(slot, static_cast<double>(v)); break;
    case kTypeBoolean: PutBoolean(slot, v == 0 ? 0 : 1); break;
    case kTypeFixed: PutFixed(slot, RoundScaled(v * kFixedScale, to.FieldDecimals)); break;
    default: break;
  }
  return true;
}

void PutZero(const TFieldDescriptor& to, TBytes slot) {
  SetNull(slot);
  switch (to.FieldType) {
    case kTypeText: break;  // empty text: null
    case kTypeDate: PutDate(slot, 0); break;
    case kTypeTime: PutTime(slot, 0); break;
    case kTypeDateTime: PutDateTime(slot, 0); break;
    case kTypeBytes:
    case kTypeVarBytes: PutBytes(slot, {}); break;
    default: PutInteger(to, slot, 0); break;
  }
}

void PutTextValue(const TFieldDescriptor& to, TBytes slot, const std::string& text, TLanguageId language,
                  TSortId sort) {
  PutText(slot, text, to.CaseMapping, language, sort);
}

// Text into any other type.
bool FromText(const std::string& text, const TFieldDescriptor& to, TBytes slot) {
  switch (to.FieldType) {
    case kTypeDate:
      if (auto v = ParseDateText(text)) return PutDate(slot, *v), true;
      break;
    case kTypeTime:
      if (auto v = ParseTimeText(text)) return PutTime(slot, *v), true;
      break;
    case kTypeDateTime:
      if (auto v = ParseDateTimeText(text)) return PutDateTime(slot, *v), true;
      break;
    case kTypeBoolean:
      if (auto v = ParseBooleanText(text)) return PutBoolean(slot, *v ? 1 : 0), true;
      break;
    case kTypeInt16:
    case kTypeInt32:
    case kTypeUInt16: {
      const std::int64_t min = to.FieldType == kTypeInt16   ? INT16_MIN
                               : to.FieldType == kTypeInt32 ? INT32_MIN
                                                            : 0;
      const std::int64_t max = to.FieldType == kTypeInt16   ? INT16_MAX
                               : to.FieldType == kTypeInt32 ? INT32_MAX
                                                            : UINT16_MAX;
      if (auto v = ParseIntegerText(text, min, max)) return PutInteger(to, slot, *v);
      break;
    }
    case kTypeFloat:
      if (auto v = ParseFloatText(text)) return PutFloat(slot, *v), true;
      break;
    case kTypeFixed:
      if (auto v = ParseFixedText(text)) return PutFixed(slot, RoundScaled(*v, to.FieldDecimals)), true;
      break;
    case kTypeBytes:
    case kTypeVarBytes: {
      PutBytes(slot, std::as_bytes(std::span(text.data(), text.size())));
      return true;
    }
    default: return false;
  }
  PutZero(to, slot);
  return false;
}

}  // namespace

bool ConvertFieldValue(const TFieldDescriptor& from, TConstBytes from_slot, const TFieldDescriptor& to,
                       TBytes to_slot, TLanguageId language, TSortId sort) {
  const TTypeCode ft = from.FieldType;
  const TTypeCode tt = to.FieldType;
  if (IsNull(from_slot) && !IsAutoIncrement(ft, from.FieldSubType)) return true;
  // Same type.
  if (ft == tt) {
    if (ft == kTypeText) {
      PutTextValue(to, to_slot, GetText(from_slot).value_or(std::string()), language, sort);
    } else if (IsBytesType(ft) || from_slot.size() != to_slot.size()) {
      PutRaw(from_slot, to_slot, to, language, sort);
    } else {
      std::copy(from_slot.begin(), from_slot.end(), to_slot.begin());
    }
    return true;
  }
  // Raw copies into and out of byte fields (a blob never takes part).
  if (ft == kTypeBlob || tt == kTypeBlob) return false;
  if (IsBytesType(ft) || (IsBytesType(tt) && ft != kTypeText)) {
    PutRaw(from_slot, to_slot, to, language, sort);
    return true;
  }
  // Types without rules are copied as they are.
  if (ft == kTypeUInt32 || ft == kTypeExtended || ft > kTypeVarBytes) {
    PutRaw(from_slot, to_slot, to, language, sort);
    return true;
  }
  switch (ft) {
    case kTypeText: return FromText(GetText(from_slot).value_or(std::string()), to, to_slot);
    case kTypeDate: {
      const std::int32_t day = GetDate(from_slot).value_or(0);
      if (tt == kTypeText) return PutTextValue(to, to_slot, FormatDateText(day), language, sort), true;
      if (tt == kTypeDateTime) return PutDateTime(to_slot, static_cast<double>(day) * kMsPerDay), true;
      return false;
    }
    case kTypeBoolean: {
      const bool v = GetBoolean(from_slot).value_or(false);
      if (tt == kTypeText) return PutTextValue(to, to_slot, v ? "True" : "False", language, sort), true;
      if (tt == kTypeInt16 || tt == kTypeInt32 || tt == kTypeUInt16)
        return PutInteger(to, to_slot, v ? 1 : 0);
      if (tt == kTypeFixed) return PutFixed(to_slot, v ? 1 : 0), true;
      return false;
    }
    case kTypeInt16:
    case kTypeUInt16:
    case kTypeInt32: {
      const std::int64_t v = ft == kTypeInt16    ? GetInt16(from_slot).value_or(0)
                             : ft == kTypeUInt16 ? GetUInt16(from_slot).value_or(0)
                                                 : GetInt32(from_slot).value_or(0);
      if (tt == kTypeText) return PutTextValue(to, to_slot, std::to_string(v), language, sort), true;
      if (tt == kTypeBoolean && ft == kTypeInt32) return false;
      if (tt == kTypeInt16 || tt == kTypeInt32 || tt == kTypeUInt16 || tt == kTypeFloat || tt == kTypeFixed ||
          tt == kTypeBoolean || tt == kTypeUInt32) {
        return PutInteger(to, to_slot, v);
      }
      return false;
    }
    case kTypeFloat: {
      const double v = GetFloat(from_slot).value_or(0.0);
      if (tt == kTypeText) return PutTextValue(to, to_slot, FormatFloatText(v), language, sort), true;
      if (tt == kTypeInt16 || tt == kTypeInt32 || tt == kTypeUInt16) {
        const double t = std::trunc(v);
        if (!std::isfinite(t) || std::fabs(t) > 9.2e18) return PutZero(to, to_slot), false;
        return PutInteger(to, to_slot, static_cast<std::int64_t>(t));
      }
      if (tt == kTypeFixed) {
        bool ok = true;
        const std::int64_t scaled = ScaledFromDouble(v, to.FieldDecimals, ok);
        PutFixed(to_slot, scaled);
        return ok;
      }
      return false;
    }
    case kTypeFixed: {
      const std::int64_t scaled = GetFixed(from_slot).value_or(0);
      if (tt == kTypeText)
        return PutTextValue(to, to_slot, FormatFixedText(scaled, from.FieldDecimals), language, sort), true;
      if (tt == kTypeInt16 || tt == kTypeInt32 || tt == kTypeUInt16)
        return PutInteger(to, to_slot, scaled / kFixedScale);
      if (tt == kTypeFloat) return PutFloat(to_slot, static_cast<double>(scaled) / kFixedScale), true;
      return false;
    }
    case kTypeTime: {
      const std::int32_t ms = GetTime(from_slot).value_or(0);
      if (tt == kTypeText) return PutTextValue(to, to_slot, FormatTimeText(ms), language, sort), true;
      if (tt == kTypeDateTime)
        return PutDateTime(to_slot, static_cast<double>(kDateTimeZeroDay * kMsPerDay + ms)), true;
      return false;
    }
    case kTypeDateTime: {
      const double v = GetDateTime(from_slot).value_or(0.0);
      if (tt == kTypeText) return PutTextValue(to, to_slot, FormatDateTimeText(v), language, sort), true;
      if (tt != kTypeDate && tt != kTypeTime) return false;
      const double day = std::floor(v / kMsPerDay);
      // A stored value no day number can hold (another writer's damage) is not converted.
      if (!std::isfinite(day) || day < INT32_MIN || day > INT32_MAX) return PutZero(to, to_slot), false;
      if (tt == kTypeDate) return PutDate(to_slot, static_cast<std::int32_t>(day)), true;
      return PutTime(to_slot, static_cast<std::int32_t>(v - day * kMsPerDay)), true;
    }
    default: return false;
  }
}

}  // namespace tarvo

#include "engine/format/field_values.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>

#include "engine/format/field_types.h"
#include "engine/format/record_layout.h"

namespace tarvo {

namespace {

constexpr std::size_t kFlag = 0;
constexpr std::size_t kData = 1;

void SetFlag(TBytes slot) {
  PutU8(slot, kFlag, 1);
}

}  // namespace

TBytes FieldSlot(TBytes record, const TFieldDescriptor& d) {
  assert(IsStored(d));
  const std::size_t size = IsAutoIncrement(d.FieldType, d.FieldSubType) ? 4 : d.DataSize + 1u;
  assert(d.RecordOffset + size <= record.size());
  return record.subspan(d.RecordOffset, size);
}

TConstBytes ConstFieldSlot(TConstBytes record, const TFieldDescriptor& d) {
  assert(IsStored(d));
  const std::size_t size = IsAutoIncrement(d.FieldType, d.FieldSubType) ? 4 : d.DataSize + 1u;
  assert(d.RecordOffset + size <= record.size());
  return record.subspan(d.RecordOffset, size);
}

bool IsNull(TConstBytes slot) {
  return GetU8(slot, kFlag) == 0;
}

void SetNull(TBytes slot) {
  ZeroFill(slot, 0, slot.size());
}

std::string StoredText(std::string_view text, std::size_t field_size, std::uint8_t case_mapping,
                       TLanguageId language, TSortId sort) {
  text = text.substr(0, std::min({text.size(), field_size, text.find('\0')}));
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (text.empty()) return {};
  switch (case_mapping) {
    case kCaseLower: return LowerCase(language, sort, text);
    case kCaseUpper: return UpperCase(language, sort, text);
    default: return std::string(text);
  }
}

std::optional<std::string> GetText(TConstBytes slot) {
  if (IsNull(slot)) return std::nullopt;
  return std::string(GetTextChars(slot));
}

std::string_view GetTextChars(TConstBytes slot) {
  assert(slot.size() >= 2);
  const TConstBytes chars = slot.subspan(kData, slot.size() - 2);  // the last byte is the terminator
  const auto end = std::find(chars.begin(), chars.end(), std::byte{0});
  return {reinterpret_cast<const char*>(chars.data()), static_cast<std::size_t>(end - chars.begin())};
}

void PutText(TBytes slot, std::string_view text, std::uint8_t case_mapping, TLanguageId language,
             TSortId sort) {
  assert(slot.size() >= 2);
  const std::string stored = StoredText(text, slot.size() - 2, case_mapping, language, sort);
  SetNull(slot);
  if (stored.empty()) return;
  SetFlag(slot);
  // A case mapping keeps the length, so the text still fits.
  PutChars(slot, kData, std::string_view(stored).substr(0, slot.size() - 2));
}

std::optional<std::int32_t> GetDate(TConstBytes slot) {
  return GetInt32(slot);
}
void PutDate(TBytes slot, std::int32_t day_number) {
  PutInt32(slot, day_number);
}
std::optional<std::int32_t> GetTime(TConstBytes slot) {
  return GetInt32(slot);
}
void PutTime(TBytes slot, std::int32_t ms) {
  PutInt32(slot, ms);
}
std::optional<double> GetDateTime(TConstBytes slot) {
  return GetFloat(slot);
}
void PutDateTime(TBytes slot, double ms) {
  PutFloat(slot, ms);
}

std::optional<bool> GetBoolean(TConstBytes slot) {
  if (IsNull(slot)) return std::nullopt;
  return GetU16(slot, kData) != 0;
}

void PutBoolean(TBytes slot, std::uint16_t value) {
  SetFlag(slot);
  PutU16(slot, kData, value != 0 ? 1 : 0);
}

std::optional<std::int16_t> GetInt16(TConstBytes slot) {
  if (IsNull(slot)) return std::nullopt;
  return GetI16(slot, kData);
}
void PutInt16(TBytes slot, std::int16_t value) {
  SetFlag(slot);
  PutI16(slot, kData, value);
}

std::optional<std::int32_t> GetInt32(TConstBytes slot) {
  if (IsNull(slot)) return std::nullopt;
  return GetI32(slot, kData);
}
void PutInt32(TBytes slot, std::int32_t value) {
  SetFlag(slot);
  PutI32(slot, kData, value);
}

std::optional<std::uint16_t> GetUInt16(TConstBytes slot) {
  if (IsNull(slot)) return std::nullopt;
  return GetU16(slot, kData);
}
void PutUInt16(TBytes slot, std::uint16_t value) {
  SetFlag(slot);
  PutU16(slot, kData, value);
}

std::optional<std::uint32_t> GetUInt32(TConstBytes slot) {
  if (IsNull(slot)) return std::nullopt;
  return GetU32(slot, kData);
}
void PutUInt32(TBytes slot, std::uint32_t value) {
  SetFlag(slot);
  PutU32(slot, kData, value);
}

std::optional<double> GetFloat(TConstBytes slot) {
  if (IsNull(slot)) return std::nullopt;
  return GetF64(slot, kData);
}
void PutFloat(TBytes slot, double value) {
  SetFlag(slot);
  PutF64(slot, kData, value);
}

std::optional<double> GetExtended(TConstBytes slot) {
  if (IsNull(slot)) return std::nullopt;
  return DecodeExtended(slot.subspan(kData).first<10>());
}
void PutExtended(TBytes slot, double value) {
  SetFlag(slot);
  EncodeExtended(value, slot.subspan(kData).first<10>());
}

double DecodeExtended(std::span<const std::byte, 10> raw) {
  const std::uint64_t mantissa = GetU64(raw, 0);
  const std::uint16_t sign_exp = GetU16(raw, 8);
  const std::uint64_t sign = static_cast<std::uint64_t>(sign_exp >> 15) << 63;
  const int biased = sign_exp & 0x7FFF;
  if (biased == 0x7FFF) {
    if ((mantissa << 1) == 0) return std::bit_cast<double>(sign | 0x7FF0'0000'0000'0000);
    // NaN: keep the top payload bits, always quiet.
    return std::bit_cast<double>(sign | 0x7FF8'0000'0000'0000 | ((mantissa << 1) >> 12));
  }
  if (mantissa == 0) return std::bit_cast<double>(sign);
  // value = mantissa x 2^(e - 63), normalised so that the top mantissa bit is set.
  int e = (biased == 0 ? 1 : biased) - 16383;
  const int lead = std::countl_zero(mantissa);
  const std::uint64_t m = mantissa << lead;
  e -= lead;
  if (e > 1023) return std::bit_cast<double>(sign | 0x7FF0'0000'0000'0000);
  // Bits of m to drop: 11 for a normal double, more for a subnormal one.
  const int drop = e >= -1022 ? 11 : 11 + (-1022 - e);
  if (drop > 64) return std::bit_cast<double>(sign);
  std::uint64_t keep;
  bool round_up;
  if (drop == 64) {
    keep = 0;
    round_up = m > (std::uint64_t{1} << 63);  // exactly half rounds to the even 0
  } else {
    keep = m >> drop;
    const std::uint64_t rest = m & ((std::uint64_t{1} << drop) - 1);
    const std::uint64_t half = std::uint64_t{1} << (drop - 1);
    round_up = rest > half || (rest == half && (keep & 1) != 0);
  }
  if (round_up) ++keep;
  std::uint64_t bits;
  if (e >= -1022) {
    if (keep == (std::uint64_t{1} << 53)) {
      keep >>= 1;
      ++e;
      if (e > 1023) return std::bit_cast<double>(sign | 0x7FF0'0000'0000'0000);
    }
    bits = static_cast<std::uint64_t>(e + 1023) << 52 | (keep & 0x000F'FFFF'FFFF'FFFF);
  } else {
    bits = keep;  // a carry into bit 52 yields the smallest normal number, as it should
  }
  return std::bit_cast<double>(sign | bits);
}

void EncodeExtended(double value, std::span<std::byte, 10> raw) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
  const std::uint16_t sign = (bits >> 63) != 0 ? 0x8000 : 0;
  const int biased = static_cast<int>((bits >> 52) & 0x7FF);
  const std::uint64_t fraction = bits & 0x000F'FFFF'FFFF'FFFF;
  std::uint64_t mantissa = 0;
  int exponent = 0;
  if (biased == 0x7FF) {
    exponent = 0x7FFF;
    mantissa = std::uint64_t{1} << 63 | fraction << 11;
    if (fraction != 0) mantissa |= std::uint64_t{1} << 62;  // quiet NaN
  } else if (biased != 0) {
    exponent = biased - 1023 + 16383;
    mantissa = std::uint64_t{1} << 63 | fraction << 11;
  } else if (fraction != 0) {
    // A subnormal double is a normal extended number: value = fraction x 2^-1074.
    const int top = 63 - std::countl_zero(fraction);
    exponent = top - 1074 + 16383;
    mantissa = fraction << (63 - top);
  }
  PutU64(raw, 0, mantissa);
  PutU16(raw, 8, static_cast<std::uint16_t>(sign | exponent));
}

std::optional<std::int64_t> GetFixed(TConstBytes slot) {
  if (IsNull(slot)) return std::nullopt;
  return GetI64(slot, kData);
}
void PutFixed(TBytes slot, std::int64_t scaled) {
  SetFlag(slot);
  PutI64(slot, kData, scaled);
}

std::optional<std::vector<std::byte>> GetBytes(TConstBytes slot) {
  if (IsNull(slot)) return std::nullopt;
  return std::vector<std::byte>(slot.begin() + kData, slot.end());
}

void PutBytes(TBytes slot, std::span<const std::byte> bytes) {
  SetNull(slot);
  SetFlag(slot);
  const std::size_t n = std::min(bytes.size(), slot.size() - kData);
  std::copy_n(bytes.begin(), n, slot.begin() + kData);
}

TBlobRef GetBlobRef(TConstBytes slot) {
  return {GetI32(slot, kData), GetI32(slot, kData + 4)};
}

void PutBlobRef(TBytes slot, const TBlobRef& ref) {
  PutU8(slot, kFlag, ref.Reference != 0 ? 1 : 0);
  PutI32(slot, kData, ref.Reference);
  PutI32(slot, kData + 4, ref.Stamp);
}

}  // namespace tarvo

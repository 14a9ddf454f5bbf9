// Field value encodings inside a record slot. Each function works on the field's slot: its
// null-flag byte followed by DataSize data bytes (FieldSlot and ConstFieldSlot cut it out of a
// record). Getters
// return nullopt for a null field (flag 0); putters set the flag to 1 and write the data, and
// SetNull writes flag 0 and zero-fills the data.
//
//   type            data bytes
//   1  text         characters, a zero byte, zero-filled to FieldSize + 1; trailing blanks
//                   removed, then mapped by CaseMapping; an empty text is stored as null
//   2  date         int32 day number, 0001-01-01 = day 1 (calendar.h)
//   10 time         int32 milliseconds since midnight
//   11 date-time    double, day number x 86,400,000 + milliseconds
//   4  boolean      uint16 0 or 1; any non-zero value given is stored as 1
//   5, 6, 12, 13    int16, int32, uint16, uint32
//   7  float        double
//   14 extended     10-byte x87 extended precision (converted from and to double)
//   8  fixed-point  int64 = value x 10,000
//   9, 15 bytes     raw, zero-filled to FieldSize
//   3  blob         int32 blob reference (0 = empty, flag 1 only when non-zero), int32 stamp
//
// The auto-increment field has no slot of its own: its value is the record's identifier at
// offset 5 (record_layout.h), never null.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/format/byte_codec.h"
#include "engine/format/field_descriptor.h"
#include "support/locale.h"

namespace tarvo {

inline constexpr std::int64_t kFixedScale = 10'000;  // fixed-point values are stored x 10,000

// The field's bytes in `record`: flag byte + DataSize bytes; for the auto-increment field the 4
// value bytes at offset 5. Requires (asserted): a stored field whose layout passed the open-time
// check, and a record of at least RecordSize bytes.
TBytes FieldSlot(TBytes record, const TFieldDescriptor& d);
TConstBytes ConstFieldSlot(TConstBytes record, const TFieldDescriptor& d);

bool IsNull(TConstBytes slot);
void SetNull(TBytes slot);

// Text (1). `slot` has FieldSize + 2 bytes. StoredText gives the text exactly as PutText stores
// it (cut to `field_size` characters and at a zero byte, trailing blanks removed, case-mapped);
// empty means the field becomes null.
std::string StoredText(std::string_view text, std::size_t field_size, std::uint8_t case_mapping,
                       TLanguageId language, TSortId sort);
std::optional<std::string> GetText(TConstBytes slot);
// The characters of a text slot that is not NULL, in place.
std::string_view GetTextChars(TConstBytes slot);
void PutText(TBytes slot, std::string_view text, std::uint8_t case_mapping, TLanguageId language,
             TSortId sort);

// Date (2) and time (10).
std::optional<std::int32_t> GetDate(TConstBytes slot);
void PutDate(TBytes slot, std::int32_t day_number);
std::optional<std::int32_t> GetTime(TConstBytes slot);
void PutTime(TBytes slot, std::int32_t ms);
// Date and time (11).
std::optional<double> GetDateTime(TConstBytes slot);
void PutDateTime(TBytes slot, double ms);

// Boolean (4): any non-zero stored or given value is true; PutBoolean stores 0 or 1.
std::optional<bool> GetBoolean(TConstBytes slot);
void PutBoolean(TBytes slot, std::uint16_t value);

// Integers (5, 6, 12, 13).
std::optional<std::int16_t> GetInt16(TConstBytes slot);
void PutInt16(TBytes slot, std::int16_t value);
std::optional<std::int32_t> GetInt32(TConstBytes slot);
void PutInt32(TBytes slot, std::int32_t value);
std::optional<std::uint16_t> GetUInt16(TConstBytes slot);
void PutUInt16(TBytes slot, std::uint16_t value);
std::optional<std::uint32_t> GetUInt32(TConstBytes slot);
void PutUInt32(TBytes slot, std::uint32_t value);

// Floating point (7) and 10-byte floating point (14).
std::optional<double> GetFloat(TConstBytes slot);
void PutFloat(TBytes slot, double value);
std::optional<double> GetExtended(TConstBytes slot);
void PutExtended(TBytes slot, double value);

// x87 extended precision: 64-bit mantissa with explicit integer bit, then sign and 15-bit
// exponent (bias 16,383), little-endian. Decoding rounds to the nearest double (ties to even);
// out-of-range magnitudes become infinities or zeros. Encoding is exact.
double DecodeExtended(std::span<const std::byte, 10> raw);
void EncodeExtended(double value, std::span<std::byte, 10> raw);

// Fixed-point (8): the value x 10,000.
std::optional<std::int64_t> GetFixed(TConstBytes slot);
void PutFixed(TBytes slot, std::int64_t scaled);

// Bytes (9, 15): all DataSize bytes; PutBytes cuts to DataSize and zero-fills.
std::optional<std::vector<std::byte>> GetBytes(TConstBytes slot);
void PutBytes(TBytes slot, std::span<const std::byte> bytes);

// Blob (3): reference and stamp as stored, also when the flag is 0.
struct TBlobRef {
  std::int32_t Reference = 0;  // 0 = empty
  std::int32_t Stamp = 0;
  bool operator==(const TBlobRef&) const = default;
};
TBlobRef GetBlobRef(TConstBytes slot);
// The flag becomes 1 only for a non-zero reference.
void PutBlobRef(TBytes slot, const TBlobRef& ref);

}  // namespace tarvo

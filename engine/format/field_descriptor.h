// TFieldDescriptor: one 768-byte field descriptor of a data file, decoded into plain values, and
// its codec. Descriptor i (1-based) follows the header at offset 127 + 768 x (i - 1). DataSize,
// DecimalsCopy and RecordOffset are derived values (record_layout.h derives them); the open-time
// check (header_check.h) verifies them against the type and size.
//
// Field descriptor: 768 bytes, little-endian.
//   off size  name               meaning
//     0   2   FieldNumber        uint16, the descriptor's 1-based position
//     2  31   FieldName          short text (30)
//    33  51   FieldDescription   short text (50)
//    84   1   FieldType          type code (field_types.h), never 0
//    85   1   FieldSubType       subtype code, 0 if none
//    86   1   FieldSize          characters or bytes for types 1, 9, 15 (at most 250), else 0
//    87   1   FieldDecimals      decimal places, only type 8
//    88   1   DataSize           record bytes of the value (after its null-flag byte)
//    89   1   DecimalsCopy       copy of FieldDecimals
//    90   2   RecordOffset       uint16, offset of the null-flag byte in the record (of the value
//                                itself for the auto-increment field)
//    92   1   Required           1 = a value must be given
//    93   1   CaseMapping        type 1: 0 unchanged, 1 lower-cased, 2 upper-cased
//    94  51   MinValue           short text (50), empty = none (value_text.h)
//   145  51   MaxValue           short text (50), empty = none
//   196  51   DefaultValue       short text (50), empty = none
//   247   1   NotStored          1 = computed field without a place in the record
//   248 520   ComputeExpression  short text with the expression of a computed field, then zeros;
//                                kept as raw bytes
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tarvo {

inline constexpr std::size_t kFieldDescriptorSize = 768;

inline constexpr std::size_t kDescOffFieldNumber = 0;
inline constexpr std::size_t kDescOffFieldName = 2;
inline constexpr std::size_t kDescOffFieldDescription = 33;
inline constexpr std::size_t kDescOffFieldType = 84;
inline constexpr std::size_t kDescOffFieldSubType = 85;
inline constexpr std::size_t kDescOffFieldSize = 86;
inline constexpr std::size_t kDescOffFieldDecimals = 87;
inline constexpr std::size_t kDescOffDataSize = 88;
inline constexpr std::size_t kDescOffDecimalsCopy = 89;
inline constexpr std::size_t kDescOffRecordOffset = 90;
inline constexpr std::size_t kDescOffRequired = 92;
inline constexpr std::size_t kDescOffCaseMapping = 93;
inline constexpr std::size_t kDescOffMinValue = 94;
inline constexpr std::size_t kDescOffMaxValue = 145;
inline constexpr std::size_t kDescOffDefaultValue = 196;
inline constexpr std::size_t kDescOffNotStored = 247;
inline constexpr std::size_t kDescOffComputeExpression = 248;

inline constexpr std::size_t kFieldNameWidth = 30;
inline constexpr std::size_t kFieldDescriptionWidth = 50;
inline constexpr std::size_t kValueTextWidth = 50;  // MinValue, MaxValue, DefaultValue
inline constexpr std::size_t kComputeExpressionSize = 520;

static_assert(kDescOffFieldName == kDescOffFieldNumber + 2);
static_assert(kDescOffFieldDescription == kDescOffFieldName + 1 + kFieldNameWidth);
static_assert(kDescOffFieldType == kDescOffFieldDescription + 1 + kFieldDescriptionWidth);
static_assert(kDescOffFieldSubType == kDescOffFieldType + 1);
static_assert(kDescOffFieldSize == kDescOffFieldSubType + 1);
static_assert(kDescOffFieldDecimals == kDescOffFieldSize + 1);
static_assert(kDescOffDataSize == kDescOffFieldDecimals + 1);
static_assert(kDescOffDecimalsCopy == kDescOffDataSize + 1);
static_assert(kDescOffRecordOffset == kDescOffDecimalsCopy + 1);
static_assert(kDescOffRequired == kDescOffRecordOffset + 2);
static_assert(kDescOffCaseMapping == kDescOffRequired + 1);
static_assert(kDescOffMinValue == kDescOffCaseMapping + 1);
static_assert(kDescOffMaxValue == kDescOffMinValue + 1 + kValueTextWidth);
static_assert(kDescOffDefaultValue == kDescOffMaxValue + 1 + kValueTextWidth);
static_assert(kDescOffNotStored == kDescOffDefaultValue + 1 + kValueTextWidth);
static_assert(kDescOffComputeExpression == kDescOffNotStored + 1);
static_assert(kDescOffComputeExpression + kComputeExpressionSize == kFieldDescriptorSize);

struct TFieldDescriptor {
  std::uint16_t FieldNumber = 0;
  std::string FieldName;
  std::string FieldDescription;
  std::uint8_t FieldType = 0;
  std::uint8_t FieldSubType = 0;
  std::uint8_t FieldSize = 0;
  std::uint8_t FieldDecimals = 0;
  std::uint8_t DataSize = 0;
  std::uint8_t DecimalsCopy = 0;
  std::uint16_t RecordOffset = 0;
  std::uint8_t Required = 0;
  std::uint8_t CaseMapping = 0;
  std::string MinValue;
  std::string MaxValue;
  std::string DefaultValue;
  std::uint8_t NotStored = 0;
  std::array<std::byte, kComputeExpressionSize> ComputeExpression{};

  bool operator==(const TFieldDescriptor&) const = default;
};

TFieldDescriptor DecodeFieldDescriptor(std::span<const std::byte, kFieldDescriptorSize> raw);
// Writes all 768 bytes; texts longer than their width are cut.
void EncodeFieldDescriptor(const TFieldDescriptor& d, std::span<std::byte, kFieldDescriptorSize> raw);

// The whole descriptor block (768 x count bytes, already deciphered), field 1 first.
// Requires (asserted): block.size() is a multiple of 768.
std::vector<TFieldDescriptor> DecodeFieldDescriptors(std::span<const std::byte> block);
std::vector<std::byte> EncodeFieldDescriptors(std::span<const TFieldDescriptor> descriptors);

}  // namespace tarvo

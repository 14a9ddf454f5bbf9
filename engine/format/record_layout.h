// The record layout of a data file: where each field sits in a record slot and how large a slot
// is, derived from the field descriptors; the fixed record header; and where slot n lies in the
// file.
//
// Record slot: RecordSize bytes.
//   off size  content
//     0   1   deleted flag: 0 = in use, 1 = deleted (on the deleted-record chain)
//     1   4   int32: in use, the record's own slot number; deleted, the next deleted slot (0 = end)
//     5   4   int32 auto-increment value, the record's logical identifier (every record has one)
//     9   …   each stored field in descriptor order: null-flag byte (1 = value, 0 = null), then
//             DataSize bytes
//
// RecordSize = 9 + sum of (DataSize + 1) over the fields, except the auto-increment field (type
// 6, subtype 29: RecordOffset 5, no flag byte, never null) and computed fields (NotStored = 1:
// no place in the record, RecordOffset 0).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/format/byte_codec.h"
#include "engine/format/field_descriptor.h"
#include "engine/format/field_types.h"

namespace tarvo {

inline constexpr std::size_t kRecOffDeleted = 0;
inline constexpr std::size_t kRecOffSlotLink = 1;
inline constexpr std::size_t kRecOffAutoIncrement = 5;
inline constexpr std::size_t kRecordHeaderSize = 9;
static_assert(kRecOffSlotLink == kRecOffDeleted + 1);
static_assert(kRecOffAutoIncrement == kRecOffSlotLink + 4);
static_assert(kRecordHeaderSize == kRecOffAutoIncrement + 4);

inline constexpr std::uint32_t kRecordSizeLimit = 65'535;

// Derives DataSize (from type and size), DecimalsCopy (:= FieldDecimals) and RecordOffset of every
// descriptor by the layout rule above. Unless `allow_computed`, NotStored and ComputeExpression
// are cleared first. Returns RecordSize, or -9498 for a 65th blob field, or -9477 when the
// record would exceed 65,535 bytes (checked in this order). Descriptors may be changed also when
// it fails.
[[nodiscard]] std::int32_t DeriveRecordLayout(std::span<TFieldDescriptor> descriptors, bool allow_computed);

// Sets DataSize (from type and size) and DecimalsCopy (:= FieldDecimals) of every descriptor, as
// the open-time check computes them; stored values of other writers are not trusted.
void RecomputeDataSizes(std::span<TFieldDescriptor> descriptors);

// Fields of type 3.
std::int16_t CountBlobFields(std::span<const TFieldDescriptor> descriptors);

// Whether the field has a place in the record (it is not computed).
inline bool IsStored(const TFieldDescriptor& d) {
  return d.NotStored == 0;
}

// Whether the field is a blob whose value is text (memo, formatted memo).
inline bool IsTextBlob(const TFieldDescriptor& d) {
  return d.FieldType == kTypeBlob && (d.FieldSubType == kSubTypeMemo || d.FieldSubType == kSubTypeFmtMemo);
}

// File offset of record slot `slot` (1-based).
inline std::uint64_t RecordFileOffset(std::uint16_t field_count, std::uint16_t record_size,
                                      std::int32_t slot) {
  return 127 + std::uint64_t{768} * field_count + std::uint64_t(slot - 1) * record_size;
}

// The record header. Requires (asserted): the record has at least 9 bytes.
inline bool IsRecordDeleted(TConstBytes record) {
  return GetU8(record, kRecOffDeleted) != 0;
}
inline std::int32_t RecordSlotLink(TConstBytes record) {
  return GetI32(record, kRecOffSlotLink);
}
inline std::int32_t RecordAutoIncrement(TConstBytes record) {
  return GetI32(record, kRecOffAutoIncrement);
}
inline void SetRecordDeleted(TBytes record, bool deleted) {
  PutU8(record, kRecOffDeleted, deleted ? 1 : 0);
}
inline void SetRecordSlotLink(TBytes record, std::int32_t slot) {
  PutI32(record, kRecOffSlotLink, slot);
}
inline void SetRecordAutoIncrement(TBytes record, std::int32_t value) {
  PutI32(record, kRecOffAutoIncrement, value);
}

}  // namespace tarvo

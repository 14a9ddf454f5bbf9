#include "engine/format/record_layout.h"

#include "errors/engine_error.h"
#include "engine/format/data_header.h"
#include "engine/format/field_types.h"

namespace tarvo {

std::int32_t DeriveRecordLayout(std::span<TFieldDescriptor> descriptors, bool allow_computed) {
  if (CountBlobFields(descriptors) > kMaxBlobFieldCount) return -static_cast<std::int32_t>(kBlobFieldLimits);
  std::uint32_t offset = kRecordHeaderSize;
  for (TFieldDescriptor& d : descriptors) {
    if (!allow_computed) {
      d.NotStored = 0;
      d.ComputeExpression.fill(std::byte{0});
    }
    d.DataSize = DataSizeOf(d.FieldType, d.FieldSize);
    d.DecimalsCopy = d.FieldDecimals;
    if (!IsStored(d)) {
      d.RecordOffset = 0;
    } else if (IsAutoIncrement(d.FieldType, d.FieldSubType)) {
      d.RecordOffset = kRecOffAutoIncrement;
    } else {
      // Offsets of fields past the limit are cut to 16 bits; the size check below rejects them.
      d.RecordOffset = static_cast<std::uint16_t>(offset);
      offset += d.DataSize + 1u;
    }
  }
  if (offset > kRecordSizeLimit) return -static_cast<std::int32_t>(kMaxRecordSize);
  return static_cast<std::int32_t>(offset);
}

void RecomputeDataSizes(std::span<TFieldDescriptor> descriptors) {
  for (TFieldDescriptor& d : descriptors) {
    d.DataSize = DataSizeOf(d.FieldType, d.FieldSize);
    d.DecimalsCopy = d.FieldDecimals;
  }
}

std::int16_t CountBlobFields(std::span<const TFieldDescriptor> descriptors) {
  std::int16_t count = 0;
  for (const TFieldDescriptor& d : descriptors) {
    if (d.FieldType == kTypeBlob) ++count;
  }
  return count;
}

}  // namespace tarvo
